// On-disk FAT and exFAT knowledge shared by the deleted-file scanners, the FAT inspector
// and the formatted-volume readers: boot-sector geometry, the FAT table and its chains,
// 32-byte directory entries and their names.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class IStorageDevice;

namespace fat {

// ---------------------------------------------------------------------------------------
// Boot sector: its layout and the rules every reader shares are in common/layout/fat_boot.h.
// ---------------------------------------------------------------------------------------
// kExfat describes only an exFAT FAT table (32-bit entries, no masking).
enum FatKind { kFat16 = 16, kFat32 = 32, kExfat = 64 };

struct FatGeometry {
  FatKind kind = kFat16;
  uint32_t bytesPerSector = 0;
  uint32_t sectorsPerCluster = 0;
  uint32_t clusterBytes = 0;
  uint32_t reservedSectors = 0;
  uint32_t numFats = 0;
  uint32_t sectorsPerFat = 0;
  uint32_t rootEntries = 0;      // FAT16 only
  uint32_t rootDirSectors = 0;   // FAT16 only, rounded up
  uint32_t rootCluster = 0;      // FAT32 only
  uint64_t totalSectors = 0;
  uint64_t fatOffset = 0;        // bytes, first FAT
  uint64_t fatBytes = 0;         // bytes of one FAT
  uint64_t rootDirOffset = 0;    // bytes, FAT16 fixed root region
  uint64_t rootDirBytes = 0;
  uint64_t dataOffset = 0;       // bytes, cluster 2
  uint32_t clusterCount = 0;
  uint32_t maxCluster = 0;       // clusterCount + 1

  bool IsDataCluster(uint64_t c) const { return c >= 2 && c <= maxCluster; }
  uint64_t ClusterOffset(uint32_t c) const { return dataOffset + uint64_t(c - 2) * clusterBytes; }
};

// A boot sector whose own fields are sound but do not describe the volume they sit on (a
// cluster count the FAT or the heap cannot hold): nothing may be read through it.
const int kBootDisagrees = -2;

// Decodes and checks the boot sector. volumeBytes is the device's size; 0 skips the
// checks against it. Returns RC_OK, RC_WRONG_FS (104) when the volume is not of the kind
// asked for (by cluster count and layout, see layout::FatKind) or not FAT at all, RC_FAIL
// when the geometry is inconsistent (sizes out of range, no or more than two FATs, regions
// that wrap or lie past the volume) in a sector whose type text names the kind,
// kBootDisagrees when the FAT is more than one sector too small for the clusters.
int ParseFatBoot(const uint8_t* sector, size_t len, FatKind kind, uint64_t volumeBytes,
                 FatGeometry* out);

// ---------------------------------------------------------------------------------------
// FAT table: the first FAT, in memory when small, else read through a cached window.
// ---------------------------------------------------------------------------------------
class FatTable {
 public:
  static const uint64_t kMemoryLimit = 16u << 20;

  // Loads from the device; false when a small FAT cannot be read whole.
  bool Init(IStorageDevice* device, const FatGeometry& geo);
  // Uses bytes already in memory (tests, fuzzing); the bytes are copied.
  void InitFromBytes(const FatGeometry& geo, const uint8_t* bytes, size_t len);

  // The entry of a cluster (masked to 28 bits on FAT32); false when unreadable or outside
  // the table.
  bool Get(uint32_t cluster, uint32_t* value);
  // An entry that carries a next cluster: anything else ends a chain.
  bool IsNext(uint32_t value) const { return m_geo.IsDataCluster(value); }
  bool IsEndMark(uint32_t value) const {
    if (m_geo.kind == kExfat) return value >= 0xFFFFFFF7u;
    return m_geo.kind == kFat32 ? value >= 0x0FFFFFF8u : value >= 0xFFF8u;
  }

 private:
  bool LoadWindow(uint64_t byteInFat);

  IStorageDevice* m_device = nullptr;
  FatGeometry m_geo;
  std::vector<uint8_t> m_bytes;  // whole FAT or the current window
  uint64_t m_windowStart = 0;
  bool m_whole = false;
  bool m_windowValid = false;
};

// Follows a chain from first. Stops at an end mark, a value outside 2 .. maxCluster, a
// cluster seen before in this chain, an unreadable entry, or after cap clusters. *clean
// tells whether it stopped at an end mark.
std::vector<uint32_t> FollowChain(FatTable& table, uint32_t first, uint32_t cap, bool* clean);

// ---------------------------------------------------------------------------------------
// 32-byte directory entry
//    0 8  name (0x00 end, 0xE5 deleted, 0x05 stands for a leading 0xE5)
//    8 3  extension    11 u8 attributes (0x0F long name, 0x10 directory, 0x08 label)
//   12 u8 case flags: 0x08 base lower-case, 0x10 extension lower-case
//   14 u16 creation time   16 u16 creation date   18 u16 access date
//   20 u16 first cluster high word (FAT32)   22 u16 write time   24 u16 write date
//   26 u16 first cluster low word            28 u32 size
// Long-name entry: 0 ordinal (0x40 last), 13 UTF-16 characters at 1, 3, 5, 7, 9, 14, 16,
// 18, 20, 22, 24, 28, 30; 13 checksum of the short name.
// ---------------------------------------------------------------------------------------
const size_t kEntrySize = 32;
const uint8_t kAttrLongName = 0x0F;
const uint8_t kAttrDirectory = 0x10;
const uint8_t kAttrVolume = 0x08;
const uint8_t kDeletedMark = 0xE5;

enum EntryKind { kEntryEnd = 9, kEntryDeleted = 1, kEntryLabelOrBad = 3, kEntryLongName = 4, kEntryNormal = 2 };

// 1 when the 11 name bytes are not a valid 8.3 name, else 0. Spaces and a leading 0xE5 are
// passed over. With oem set, bytes 0x80 to 0xFF count as characters of the OEM code page
// (they are legal in 8.3 names) instead of invalid bytes.
int FatIsInvalidShortName(const uint8_t* name11, bool oem = false);
int FatClassifyEntry(const uint8_t* entry);
char16_t FatLfnChar(const uint8_t* entry, int index);
// The long name of a run that lies in one buffer in stored order: firstLfn is its first
// stored entry, shortEntry the entry just behind it (the run's end). The output is emptied,
// then the entries are read from the last one back to firstLfn, 13 characters each, up to a
// NUL or a 0xFFFF filler. Returns the characters gathered; 0 when the distance is no
// positive multiple of 32. Reads nothing outside the run.
int FatLongNameFromEntries(const uint8_t* shortEntry, const uint8_t* firstLfn, std::u16string* out);
// The 8.3 name as shown: case flags of byte 12 honoured, a deleted first byte shown as "_",
// a leading 0x05 standing for 0xE5, bytes mapped through code page 437, trailing blanks
// dropped. Returns the characters written, or -1 for a name beginning with a blank or
// holding bytes that no 8.3 name holds (out is then empty). The entry is left as it is.
int FatShortNameToString(const uint8_t* entry, std::u16string* out);
// The names the directory parse gives its entries, through the two routines above: the
// name, or an empty text where none results.
struct FatNameDecoder {
  // The run from firstLfn up to the entry that follows it.
  static std::u16string BuildLongName(const uint8_t* firstLfn, const uint8_t* follow);
  static std::u16string BuildShortName(const uint8_t* entry);
};
// Calendar fields to a local time value (month 1-12, years since 1900). Out-of-range days
// and months roll over as mktime does; -1 when the time cannot be represented.
int64_t FatMakeTime(int second, int minute, int hour, int day, int month, int yearsSince1900);
// Creation (bytes 14-17) and last-write (bytes 22-25) time and date as local time values;
// 0 when the seconds, minutes or hours are out of range or the month is above 12.
int64_t FatDecodeCreateTime(const uint8_t* entry);
int64_t FatDecodeWriteTime(const uint8_t* entry);
// -1 for a null or long-name entry, 0 when short-name bytes 6 and 7 are "~1", 1 otherwise.
int FatCompareTildeOne(const uint8_t* entry);
// Runs the long-name checksum of the FAT format over the 11 short-name bytes,
// starting from *sum (which the caller zeroes). False for null arguments.
bool FatShortNameChecksum(const uint8_t* entry, uint8_t* sum);
// The checksum an entry carries: a long-name entry's own (byte 13), or the checksum of a
// short entry's name. False for null arguments.
bool FatEntryChecksum(const uint8_t* entry, uint8_t* sum);
// 1 for the last (first stored) entry of a live long-name run, 0 for another, -1 otherwise.
int FatIsLastLfnEntry(const uint8_t* entry);
// OEM code page 437 to UTF-16.
char16_t Cp437ToUtf16(uint8_t b);

// DOS date (bits 0-4 day, 5-8 month, 9-15 years since 1980) split; false when the month
// or day is 0 or out of range.
bool DosDateParts(uint16_t date, int* year, int* month, int* day);

// One short entry of a directory with the long name that belongs to it.
struct FatDirItem {
  std::u16string name;       // long name when its run is consistent, else the 8.3 name
  std::u16string shortName;
  bool hasLongName = false;
  bool deleted = false;
  bool isDot = false;        // "." or ".."
  uint8_t attr = 0;
  uint16_t highWord = 0;
  uint32_t firstCluster = 0; // low word on FAT16, high|low masked to 28 bits on FAT32
  uint32_t size = 0;
  uint16_t createDate = 0, createTime = 0, writeDate = 0, writeTime = 0;
  size_t entryIndex = 0;     // index of the short entry in the directory stream
  uint8_t entry[32] = {};    // the short entry as stored

  bool IsDirectory() const { return (attr & kAttrDirectory) != 0; }
};

// Walks directory entries fed block by block in directory order (one cluster at a time),
// carrying a long-name run across block boundaries. Never reads outside the blocks given.
class FatDirParser {
 public:
  enum Result { kMore, kEnd, kStopped };
  typedef std::function<bool(const FatDirItem&)> Sink;  // false stops

  explicit FatDirParser(FatKind kind) : m_kind(kind) {}
  void Reset();
  // A trailing part of a block shorter than an entry is ignored.
  Result Feed(const uint8_t* p, size_t len, const Sink& sink);
  // The long-name entries that the last block left waiting for their short entry, and
  // taking such entries over from another parser (a directory read on elsewhere).
  const std::vector<uint8_t>& PendingRun() const { return m_run; }
  void Carry(const std::vector<uint8_t>& run) { m_run = run; }

 private:
  void DecodeShort(const uint8_t* e, FatDirItem* item);
  bool LongNameFor(const uint8_t* shortEntry, bool deleted, std::u16string* out);

  static const size_t kMaxRun = 20;  // 20 x 13 characters cover the longest name
  FatKind m_kind;
  std::vector<uint8_t> m_run;  // pending long-name entries, in stored order
  size_t m_index = 0;
};

// A FAT entry (true and *value set), or false when unknown.
typedef std::function<bool(uint32_t cluster, uint32_t* value)> FatEntryReader;
// The first 32 bytes of a cluster; false when they cannot be read (the search ends).
typedef std::function<bool(uint32_t cluster, uint8_t* entry32)> FirstEntryReader;

// A deleted FAT32 entry may have lost the high word of its first cluster (some systems
// clear it on deletion). The entry parsed just before it tells where the volume's writer
// stood: a file most likely lies just behind that entry's data, and a folder is found by
// its own "." entry, which still carries the whole number.
struct ItemInfo {
  uint32_t firstCluster = 0;
  uint32_t size = 0;
};

// The entries parsed so far, in parse order, with the volume's cluster size and highest
// data cluster. Without an entry nothing is guessed.
class ItemInfoList {
 public:
  // Keeps the volume's context and empties the list.
  void Init(uint32_t clusterBytes, uint32_t maxCluster) {
    m_items.clear();
    m_clusterBytes = clusterBytes;
    m_maxCluster = maxCluster;
  }
  void Add(uint32_t firstCluster, uint32_t size) { m_items.push_back({firstCluster, size}); }
  bool Empty() const { return m_items.empty(); }
  // The cluster just behind the last entry's data; 0 without a cluster size.
  uint64_t LastEnd() const;
  bool InHeap(uint64_t c) const { return c >= 2 && c <= m_maxCluster; }
  // A file's cluster *cluster (at most 0xFFFF) is moved into the 64 Ki block of LastEnd.
  // With a FAT at hand a genuine low cluster is kept: the move needs the candidate free or
  // the stored cluster in use. False when nothing is moved.
  bool NextHighWord(uint32_t* cluster, const FatEntryReader& fat) const;

 private:
  std::vector<ItemInfo> m_items;
  uint32_t m_clusterBytes = 0;
  uint32_t m_maxCluster = 0;
};

// The deleted-file scan and the formatted reader both try this many high words.
const uint32_t kHighWordCandidates = 20;

// A folder's cluster: the high words from LastEnd's block on are tried, candidates of them,
// until a cluster begins with "." naming itself by both words. False when none does.
bool ProbeDeletedDirHighCluster(const ItemInfoList& list, uint32_t* cluster, uint32_t candidates,
                                const FirstEntryReader& read);
// The restoration for one parsed FAT32 item: only a deleted entry other than "." and ".."
// whose stored high word is zero (a high word that is there was not lost, even when it
// holds reserved bits alone), as a folder or as a file.
bool RestoreItemHighWord(FatDirItem* it, const ItemInfoList& list, const FatEntryReader& fat,
                         const FirstEntryReader& read);

// ---------------------------------------------------------------------------------------
// exFAT boot sector: its layout and shared rules are in common/layout/exfat_boot.h.
// ---------------------------------------------------------------------------------------
// The geometry of one exFAT volume, shared by the deleted-file scanner and the formatted
// reader. Sectors are the volume's own (bytesPerSector), not the device's.
struct ExfatVolume {
  uint32_t bytesPerSector = 0;
  uint32_t sectorsPerCluster = 0;
  uint32_t clusterBytes = 0;
  uint64_t volumeSectors = 0;
  uint64_t fatOffset = 0;     // bytes
  uint64_t fatBytes = 0;
  uint64_t heapOffset = 0;    // bytes, cluster 2
  uint32_t clusterCount = 0;
  uint32_t maxCluster = 0;
  uint32_t rootCluster = 0;

  bool IsDataCluster(uint64_t c) const { return c >= 2 && c <= maxCluster; }
  uint64_t ClusterOffset(uint32_t c) const { return heapOffset + uint64_t(c - 2) * clusterBytes; }
  // Cluster c starts at c x sectorsPerCluster + the origin (the sector where cluster 0
  // would lie, two clusters before the heap).
  uint64_t ClusterToSector(uint64_t c) const {
    return bytesPerSector ? heapOffset / bytesPerSector + (c - 2) * sectorsPerCluster : 0;
  }
  // Both need bytesPerSector set first. The origin may lie before the volume's first
  // sector (a heap that begins within two clusters): the arithmetic wraps and adds back.
  void SetClusterSize(uint32_t sectors) {
    sectorsPerCluster = sectors;
    clusterBytes = bytesPerSector * sectors;
  }
  void SetClusterOrigin(uint64_t sector) { heapOffset = (sector + 2ull * sectorsPerCluster) * bytesPerSector; }
  // The entry types a directory of either reader may hold: file, stream extension and
  // file name in use or deleted, volume label (also the empty slot 0x03), allocation
  // bitmap, up-case table. 0 for such a type (*deleted set for a deleted file entry,
  // 0x05), RC_MISSING for any other, RC_BAD_ARGUMENT for a null entry.
  static int CheckEntryType(const uint8_t* entry, bool* deleted);
  // Its FAT as a FatTable reads it, for a volume that begins base bytes into the device.
  FatGeometry FatTableGeometry(uint64_t base) const {
    FatGeometry g;
    g.kind = kExfat;
    g.fatOffset = base + fatOffset;
    g.fatBytes = fatBytes;
    g.clusterCount = clusterCount;
    g.maxCluster = maxCluster;
    g.clusterBytes = clusterBytes;
    g.bytesPerSector = bytesPerSector;
    g.sectorsPerCluster = sectorsPerCluster;
    g.dataOffset = base + heapOffset;
    return g;
  }
};

// RC_OK, RC_WRONG_FS not exFAT, RC_FAIL inconsistent geometry (shifts out of range, regions
// past the volume), kBootDisagrees when the cluster count is more than one cluster off the
// heap's length (unless the FAT is what limits it) or the FAT cannot hold the count.
int ParseExfatBoot(const uint8_t* sector, size_t len, uint64_t volumeBytes, ExfatVolume* out);

// The root's first cluster against the geometry: its allocation-bitmap entry must cover
// exactly the cluster count and, like the up-case entry, lie inside the heap. RC_OK, or
// kBootDisagrees (also when either entry is missing).
int CheckExfatRoot(const ExfatVolume& g, const uint8_t* root, size_t len);

// Reads the boot sector at baseBytes and the root's first cluster and checks both: RC_OK,
// RC_WRONG_FS not exFAT, RC_READ_FAILED short read, RC_NO_MEMORY, RC_FAIL inconsistent,
// kBootDisagrees.
int ReadCheckedExfatBoot(IStorageDevice* device, uint64_t baseBytes, uint64_t volumeBytes, ExfatVolume* out);

// A boot region that holds its own checksum, with a geometry that fits the volume, over a
// root whose first cluster cannot be read or holds no directory entries (zeroed or
// overwritten): the layout is the volume's, its folders are what was lost. RC_OK with *out
// set; RC_WRONG_FS when the region is no such one, or when the root holds directory
// entries (then the root check decides); RC_NO_MEMORY.
// backupSectorBytes: 0 reads the main boot region; a sector size reads the backup region
// 12 such sectors on, taken only when its geometry has that sector size.
int ReadExfatBootOverDamagedRoot(IStorageDevice* device, uint64_t baseBytes, uint64_t volumeBytes,
                                 ExfatVolume* out, uint32_t backupSectorBytes = 0);

// The allocation bitmap of a volume whose root is lost, where formatters put it: among the
// first clusters of the heap, marking itself, the root cluster and the up-case table that
// follows it as in use, and nothing past the cluster count. True with *bitmap filled.
bool FindExfatBitmapWithoutRoot(IStorageDevice* device, uint64_t baseBytes, const ExfatVolume& g,
                                std::vector<uint8_t>* bitmap);

// One complete file entry set (file, stream extension, names).
struct ExfatItem {
  std::u16string name;
  bool deleted = false;      // the set carries the deleted type forms
  uint16_t attr = 0;
  bool noFatChain = false;
  uint32_t firstCluster = 0;
  uint64_t dataLength = 0;
  uint64_t validLength = 0;
  uint16_t createDate = 0, modifyDate = 0;
  // The set ended before the count of secondary entries its file entry claims.
  bool cut = false;
  bool IsDirectory() const { return (attr & 0x10) != 0; }
};

// Allocation-bitmap entry (type 0x81): 20 u32 first cluster, 24 u64 data length.
struct ExfatBitmapRef {
  uint32_t firstCluster = 0;
  uint64_t length = 0;
};

// Walks exFAT entries fed block by block in directory order; an entry set cut by a block
// end is completed from the next block. Sets whose types or name length do not agree are
// dropped. A file entry whose count of secondary entries was damaged upwards claims entries
// of the sets after it: its set ends at the first entry that is no secondary entry of its
// own state (the next file entry, the directory's end) and is kept, marked cut, when its
// stream entry and every name entry the stream asks for are there.
class ExfatDirParser {
 public:
  enum Result { kMore, kEnd, kStopped };
  typedef std::function<bool(const ExfatItem&)> Sink;

  void Reset() { m_set.clear(); m_expect = 0; }
  // An entry set was cut by the end of the last block fed.
  bool Pending() const { return m_expect > 0; }
  Result Feed(const uint8_t* p, size_t len, const Sink& sink);
  // The directory ends here: a set still open goes to the sink when it holds its stream
  // and names, and is cleared. False when the sink said stop.
  bool Flush(const Sink& sink);
  // The first allocation-bitmap entry seen, if any.
  bool bitmapFound = false;
  ExfatBitmapRef bitmap;

 private:
  bool DecodeSet(ExfatItem* item) const;
  std::vector<uint8_t> m_set;
  size_t m_expect = 0;  // entries of the set still to come
};

}  // namespace fat
