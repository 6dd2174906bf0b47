// NTFS metadata at the level of single MFT FILE records: boot-sector geometry, the
// update-sequence fixup, the attribute walk, names, dates and data runs.
//
// Every read of a record is bounded by the record size and by the record's bytes in use;
// every attribute, name, value and mapping pair by its attribute.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/layout/ntfs_attribute_list.h"
#include "common/layout/ntfs_file_record.h"

class IStorageDevice;
class IFileInfo;
class RunList;
namespace GFS {
class CGraphFileSystem;
}

// One extent of the $MFT: which records lie where on the device.
struct MftRun {
  uint64_t startSector;  // device sector of firstRecord
  uint64_t firstRecord;
  uint64_t lastRecord;   // inclusive
  MftRun* next;
};

// The geometry that the boot sector declares, already checked for consistency.
struct NtfsBootInfo {
  uint32_t bytesPerSector;
  uint32_t sectorsPerCluster;
  uint32_t clusterBytes;
  uint32_t recordBytes;
  uint64_t totalSectors;
  uint64_t mftLcn;
};

// RC_OK and *out filled, or RC_WRONG_FS (104) when the sector is not a sound NTFS boot sector.
int ParseNtfsBootSector(const uint8_t* boot, size_t len, NtfsBootInfo* out);

// One decoded mapping pair: lcn < 0 marks a sparse extent (a hole).
struct NtfsRun {
  int64_t lcn;
  uint64_t clusters;
};

// One attribute of a record, its bounds already checked against the record.
struct NtfsAttr {
  uint32_t offset;  // within the record
  uint32_t type;
  uint32_t length;
  bool nonResident;
  uint8_t nameLength;  // characters
  uint16_t nameOffset;
  uint16_t flags;
  // Resident attributes: the value, inside the attribute.
  uint32_t valueOffset;  // within the record
  uint32_t valueLength;
  // Non-resident attributes.
  uint64_t lowestVcn;
  uint32_t pairsOffset;  // within the record
  uint32_t pairsLength;  // up to the attribute's end
  uint64_t allocatedSize;
  uint64_t dataSize;
};

const uint32_t NTFS_AT_STANDARD_INFORMATION = 0x10;
const uint32_t NTFS_AT_FILE_NAME = 0x30;
const uint32_t NTFS_AT_DATA = 0x80;
const uint32_t NTFS_AT_INDEX_ALLOCATION = 0xA0;
const uint32_t NTFS_AT_BITMAP = 0xB0;
const uint32_t NTFS_AT_LOGGED_UTILITY_STREAM = 0x100;
const uint32_t NTFS_AT_END = 0xFFFFFFFF;

const uint16_t NTFS_ATTR_COMPRESSED = 0x0001;
const uint16_t NTFS_ATTR_ENCRYPTED = 0x4000;
const uint16_t NTFS_ATTR_SPARSE = 0x8000;

const uint16_t NTFS_RECORD_IN_USE = layout::kNtfsRecordInUse;
const uint16_t NTFS_RECORD_DIRECTORY = layout::kNtfsRecordDirectory;

const uint64_t NTFS_NO_SECTOR = 0xFFFFFFFFFFFFFFFFull;
// The most extension records followed for one base record through its attribute list.
const size_t NTFS_MAX_LISTED_RECORDS = 4096;

class CNTFS {
 public:
  explicit CNTFS(IStorageDevice* device);
  virtual ~CNTFS();

  // Root name put in front of full paths, and the device geometry in device sectors.
  int SetVolumeInfo(const char16_t* rootName, uint32_t bytesPerSector, uint32_t sectorsPerCluster);
  // Geometry from a parsed boot sector on a device of deviceSectorBytes: RC_WRONG_FS when the
  // record or cluster size is not a whole number of device sectors.
  int SetBootInfo(const NtfsBootInfo& boot, uint32_t deviceSectorBytes);

  uint32_t RecordBytes() const { return m_recordBytes; }
  uint32_t SectorsPerRecord() const { return m_recordBytes / m_bytesPerSector; }
  uint32_t BytesPerSector() const { return m_bytesPerSector; }
  uint32_t SectorsPerCluster() const { return m_sectorsPerCluster; }
  uint32_t ClusterBytes() const { return m_clusterBytes; }
  const char16_t* RootName() const { return m_rootName; }
  void SetBaseSector(uint64_t base) { m_baseSector = base; }

  // Every record argument below is RecordBytes() long.
  int ValidateRecord(const uint8_t* record) const;
  // The header's fields as they stand (flags, sequence, base and record number); false only
  // for a null record.
  bool ReadRecordHeader(const uint8_t* record, layout::NtfsFileRecordHeader* header) const;
  // Restores the sector tails from the update-sequence array; RC_CORRUPT_RECORD when the array
  // does not fit the record or a tail does not carry the sequence number (a torn write).
  int ApplyFixup(uint8_t* record) const;
  // The same for any multi-sector block (FILE records, INDX buffers) of `size` bytes.
  static int ApplyBlockFixup(uint8_t* block, uint32_t size);
  // *parentSequence (when asked) is the sequence number the parent reference carries.
  int GetFileName(const uint8_t* record, std::u16string& name, uint64_t* parent,
                  bool* isDirectory, uint64_t* dataSize, uint16_t* parentSequence = nullptr) const;
  // Reads record n, fixed up, into a buffer of RecordBytes(): RC_OK or an error.
  using RecordReader = std::function<int(uint64_t record, uint8_t* out)>;
  // GetFileName for base record n whose names its attribute list puts in extension records
  // (ntfs-3g moves them out first when a record overflows): the names of every listed record
  // that still has n for its base compete with the base's own.
  int GetListedFileName(const uint8_t* record, uint64_t n, const RecordReader& readRecord,
                        const std::function<int(const RunList*, uint64_t, uint8_t*)>& readRuns,
                        std::u16string& name, uint64_t* parent, bool* isDirectory,
                        uint64_t* dataSize, uint16_t* parentSequence) const;
  // The $FILE_NAME attributes of any record (an extension record too), taken when their
  // namespace ranks above *rank; *rank is raised to the one taken. RC_OK, or RC_CORRUPT_RECORD
  // when broken.
  int PickFileName(const uint8_t* record, std::u16string& name, uint64_t* parent,
                   uint16_t* parentSequence, int* rank) const;
  int GetStandardTimes(const uint8_t* record, uint64_t* creation, uint64_t* lastAccess,
                       uint64_t* modification, uint32_t* attributes) const;

  // Walks the attributes: call with *cursor = 0 first. 1 and *attr filled, 0 at the end
  // marker, RC_CORRUPT_RECORD when the record's layout is broken.
  int NextAttribute(const uint8_t* record, uint32_t* cursor, NtfsAttr* attr) const;
  // The first attribute of that type with no name; RC_MISSING when there is none.
  int FindUnnamed(const uint8_t* record, uint32_t type, NtfsAttr* attr) const;

  // Reads the first `size` bytes of a run list into out (holes as zeros): RC_OK or an error.
  using RunReader = std::function<int(const RunList* runs, uint64_t size, uint8_t* out)>;
  // The entries of the record's unnamed $ATTRIBUTE_LIST in order: a resident value from the
  // record, a non-resident one (from VCN 0, up to 1 MiB) through readRuns. RC_OK, RC_MISSING
  // when the record has none or its value cannot be had.
  int ReadAttributeList(const uint8_t* record, const RunReader& readRuns,
                        std::vector<layout::NtfsAttributeListEntry>* out) const;
  // The entries of an attribute-list value: an entry whose name lies outside it is left out,
  // and the list ends where an entry's length does not fit.
  static void DecodeAttributeList(const uint8_t* value, size_t size,
                                  std::vector<layout::NtfsAttributeListEntry>* out);

  // One mapping pair from avail bytes: RC_OK, RC_MISSING at the terminating zero,
  // RC_CORRUPT_RECORD when it is malformed (a field wider than 8 bytes, a zero length, or
  // past avail).
  static int DecodeRunEntry(const uint8_t* entry, size_t avail, uint8_t* entrySize,
                            int64_t* lcnDelta, uint64_t* clusterCount, bool* sparse);
  // All pairs of one attribute; LCNs checked against the volume when its size is known.
  int DecodeMappingPairs(const uint8_t* pairs, size_t length, std::vector<NtfsRun>* out) const;
  // Pairs to a device-sector run list with holes kept (start RUN_HOLE); 43 when empty.
  int DecodeRunList(const uint8_t* pairs, uint32_t limit, RunList** out) const;
  // Decoded extents (holes kept) to a device-sector run list; 43 when empty, 12 no memory.
  int BuildRunList(const std::vector<NtfsRun>& runs, RunList** out) const;

  uint64_t ClusterToSector(uint64_t lcn) const;

  int BuildDataRuns(const uint8_t* record, IFileInfo* file, uint32_t attributeType);
  int BuildEncryptedRuns(const uint8_t* record, IFileInfo* file);
  int CreateFileInfo(const uint8_t* record, IFileInfo** out, const char16_t* name, uint64_t size);
  bool IsDataPlausible(IFileInfo* file) const;

  // The device sector of a record, or NTFS_NO_SECTOR when no run holds it.
  uint64_t RecordToSector(const MftRun* runs, uint64_t record) const;
  int ReadVolumeSectors(uint64_t lba, uint32_t count, uint8_t* buffer);
  static int FreeMftRuns(MftRun* head);
  static int SumRunSectors(const RunList* head, uint64_t* total);
  int EstimateSectorsPerCluster(const uint8_t* record, uint32_t* sectorsPerCluster,
                                uint64_t* firstLcn) const;

  // The path of a record from its parent references, read through the $MFT runs up to the
  // root (record 5): root name + the names joined by "/". A chain that breaks after at
  // least one name gives root name + "LostFile/" + the names found; 2 when not even the
  // record itself can be named.
  int BuildFullPath(const MftRun* runs, uint64_t record, std::u16string* path);
  // The folder entries of a directory record's index buffers into a graph, each under the
  // parent its key names: RC_OK, RC_MISSING when the record has no $INDEX_ALLOCATION,
  // RC_CORRUPT_RECORD when it is not a directory record.
  int ReadIndexAllocation(const uint8_t* record, GFS::CGraphFileSystem* graph);
  // Reads the runs, takes every sector that begins an INDX buffer and adds its entries
  // whose names hold no "."; 0, or 5 when some sectors could not be read.
  int WalkIndexBuffers(const RunList* runs, GFS::CGraphFileSystem* graph);
  // The entries of one INDX buffer, already fixed up; answers how many were added.
  static size_t AddIndexEntries(const uint8_t* block, uint32_t size, GFS::CGraphFileSystem* graph);
  // Appends the record's bytes to "MFT.DAT" in the current folder; 5 when it cannot.
  int DumpRecord(const uint8_t* record) const;

 private:
  // Appends one extent's nodes (split so that each count fits 32 bits); false on overflow.
  bool AppendRun(RunList** head, RunList** tail, const NtfsRun& run) const;
  // GetFileName with more names asked for after the record's own (the rank so far given).
  int FileNameOf(const uint8_t* record,
                 const std::function<void(std::u16string&, uint64_t*, uint16_t*, int*)>& moreNames,
                 std::u16string& name, uint64_t* parent, bool* isDirectory, uint64_t* dataSize,
                 uint16_t* parentSequence) const;

  IStorageDevice* m_device;
  uint32_t m_bytesPerSector;
  uint32_t m_clusterBytes;
  uint32_t m_sectorsPerCluster;
  char16_t m_rootName[264];
  uint64_t m_baseSector;
  uint32_t m_recordBytes;
  uint64_t m_totalClusters;  // 0 when unknown
};
