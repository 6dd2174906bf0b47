// Rebuilds the files of a formatted or damaged NTFS volume from the FILE records that
// survive anywhere on the device, without trusting the $MFT's own run list.
#pragma once
#include <cstdint>
#include <map>
#include <vector>

#include "filesystems/format/format.h"
#include "graphfs/graphfeeder.h"

class CNTFS;
struct NtfsBootInfo;
struct NtfsRun;

class CNTFSFormat : public CScanOperator, public IFormatReaderLink {
 public:
  CNTFSFormat(IStorageDevice* device, IFileManager* manager, CFormat* parent);
  virtual ~CNTFSFormat();

  int Scan(INotifySink* sink) override;
  int GetScanType() override { return Scan_FormatNtfs; }
  IDeviceBitmap* CreateDeviceBitmap() override { return nullptr; }
  void SetFormatParent(CFormat* parent) override { m_parent = parent; }

  int NameRoots(INotifySink* sink);
  // One fixed-up record found at a device sector into the graph.
  int BuildFilesFromRecords(const uint8_t* record, uint64_t sector);
  // The graph's file callback (folder path, name, file record, this object): a copy of the
  // record goes to the results tree, whose answer is returned.
  static int AddNodeToManager(const char16_t* folderPath, const char16_t* name, void* payload, void* user,
                              int);

 private:
  struct Vote {
    uint64_t sector;
    uint32_t sectorsPerCluster;
    bool used;
  };
  // Where records of the volume's own $MFT lie: device sectors from start on, the first
  // holding record firstRecord.
  struct MftExtent {
    uint64_t start;
    uint64_t sectors;
    uint64_t firstRecord;
  };
  // Clusters of the volume's own files' data.
  struct ClusterRange {
    uint64_t lcn;
    uint64_t count;
  };

  int ScanVolume(INotifySink* sink);
  // Cluster size and record size into the record reader; false when they do not fit.
  bool ApplyGeometry(uint32_t bytesPerSector, uint32_t sectorsPerCluster, uint32_t recordBytes,
                     uint64_t volumeSectors);
  // Builds the records kept while the geometry was open; with sortOut, once the volume was
  // placed during the search, only those of its own.
  void ResolvePending(bool sortOut = false);
  bool InsideVolume(uint64_t s) const;
  // A "$MFT" record confirmed at device sector s with clusters of spc sectors, found with no
  // boot sector: its runs give the volume's own $MFT, and the $Bitmap where the volume ends.
  void AnchorOnMftRecord(const uint8_t* record, uint64_t s, uint32_t spc);
  void CastVote(uint64_t sector, uint32_t sectorsPerCluster);
  void HandleRecord(uint8_t* record, uint64_t sector);
  // The $MFT that a sound boot sector at base names, read with the record size the boot
  // sector gives once record 0's allocated size confirms it: true with the record size set
  // and the $MFT's extents kept as the volume's own.
  bool ReadOwnMft(const NtfsBootInfo& boot, uint64_t base, uint64_t end);
  // Whether a record at device sector s belongs to the volume's own $MFT, present or old.
  bool IsOwnRecord(const uint8_t* record, uint64_t s);
  // The extents of a $MFT whose runs count clusters of spc device sectors from the volume's
  // start; false when they do not fit.
  bool AddOwnMft(const std::vector<NtfsRun>& runs, uint64_t spc);
  bool InOwnMft(uint64_t s) const;
  void ClearOwnMft();
  void NoteOwnData(const uint8_t* record);
  // Records that are not the volume's own: those lying in its own files' data are left out,
  // the rest are listed as before.
  void ResolveForeign();

  IStorageDevice* m_device;
  CNTFS* m_ntfs;
  char16_t m_rootName[264];
  CFormat* m_parent;
  CFormat* m_ownParent = nullptr;  // the dispatcher it makes for itself when made alone
  uint32_t m_found;
  uint32_t m_skipped;
  GFS::CGraphFeeder m_feeder;  // the graph of a running scan and its pending count

  // One scan's state.
  CFormatParam* m_param;
  INotifySink* m_sink;
  bool m_recompute;
  bool m_mftSearch;
  uint64_t m_volumeSectors;
  uint64_t m_deviceSectors;  // the scanned device's length, which the volume cannot pass
  std::vector<uint64_t> m_pendingSectors;
  // Set when the volume's own $MFT is known (from a sound boot sector at the start and its
  // record 0, or from a "$MFT" record the search confirmed): only the volume's own records
  // vote, those outside the volume are left out, and the others wait for the end.
  bool m_anchored = false;
  uint32_t m_bootSectorsPerCluster = 0;  // the anchoring boot sector's, for a vote without voters
  std::vector<MftExtent> m_ownMft;
  std::map<uint64_t, uint64_t> m_ownSpans;  // device sectors those extents cover: start, end
  std::vector<ClusterRange> m_ownData;
  std::vector<uint64_t> m_foreignSectors;
  Vote m_votes[3];
  uint64_t m_clusterHistogram[13];  // how often each power-of-two cluster size was estimated
};
