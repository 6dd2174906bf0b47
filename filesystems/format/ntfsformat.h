// Rebuilds the files of a formatted or damaged NTFS volume from the FILE records that
// survive anywhere on the device, without trusting the $MFT's own run list.
#pragma once
#include <cstdint>
#include <vector>

#include "filesystems/format/format.h"
#include "graphfs/graphfeeder.h"

class CNTFS;

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

  int ScanVolume(INotifySink* sink);
  // Cluster size and record size into the record reader; false when they do not fit.
  bool ApplyGeometry(uint32_t bytesPerSector, uint32_t sectorsPerCluster, uint32_t recordBytes,
                     uint64_t volumeSectors);
  void ResolvePending();
  void CastVote(uint64_t sector, uint32_t sectorsPerCluster);
  void HandleRecord(uint8_t* record, uint64_t sector);

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
  Vote m_votes[3];
  uint64_t m_clusterHistogram[13];  // how often each power-of-two cluster size was estimated
};
