// Rebuilds the files of a formatted exFAT volume: every cluster that holds directory
// entries is parsed, each entry set becomes a file record, and the records are linked by
// the cluster numbers of their directories. Without a boot sector the geometry comes from
// the up-case table and the root directory, which mkfs.exfat lays side by side.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "filesystems/fatentry.h"
#include "filesystems/format/format.h"
#include "scanoperate/scanoperator.h"

namespace GFS {
class CGraphFileSystem;
}

class CExfatFormat : public CScanOperator, public IFormatReaderLink {
 public:
  // bootSector: the device sector where the old volume began (0 = the device's start).
  CExfatFormat(IStorageDevice* device, IFileManager* manager, uint64_t bootSector = 0);
  ~CExfatFormat() override;

  int GetScanParam(IScanParam**) override { return 1; }
  int Scan(INotifySink* sink) override;
  void Release() override { delete this; }
  int GetScanType() override { return Scan_FormatExfat; }
  IDeviceBitmap* CreateDeviceBitmap() override { return nullptr; }

  void SetBootSector(uint64_t sector) { m_bootSector = sector; }
  // Under the dispatcher the volume's start and the progress line are the dispatcher's.
  void SetFormatParent(CFormat* parent) override { m_parent = parent; }
  // A dispatcher's progress so far: this scan's percent never falls below it.
  void SetProgressBase(int percent) { m_percent = percent; }

  // 0; 43 nothing found; 5 read failure; 12 no memory.
  int ReadVolumeInfo();
  int RebuildFromUpcase();
  static int IsRootDirectoryStart(const uint8_t* sector);
  int WalkVolume(INotifySink* sink);

  uint32_t SectorsPerCluster() const { return m_spc; }
  uint32_t BytesPerSector() const { return m_bps; }
  uint64_t ClusterOriginSector() const { return m_bps ? m_origin / m_bps : 0; }
  uint64_t RootSector() const { return m_bps ? m_rootOffset / m_bps : 0; }

  static int AddNodeToManager(const char16_t* folder, const char16_t* name, void* payload, void* user, int);

 private:
  bool CheckUpcaseCandidate(uint64_t u, uint64_t r, const uint8_t* root, uint32_t spc);
  void TakeItem(const fat::ExfatItem& it, int64_t dirId);
  uint64_t ClusterOffset(uint64_t cluster) const { return m_origin + cluster * m_clusterBytes; }

  IStorageDevice* m_device;
  CFormat* m_parent = nullptr;
  uint64_t m_bootSector;
  uint32_t m_bps = 0;          // bytes per volume sector
  uint32_t m_devSector = 512;  // the facade's sector size
  uint32_t m_spc = 0;
  uint32_t m_clusterBytes = 0;
  uint64_t m_origin = 0;       // byte offset where cluster 0 would lie
  uint64_t m_volumeBytes = 0;
  uint64_t m_rootOffset = 0;
  uint64_t m_maxCluster = 0;
  int m_percent = 0;
  GFS::CGraphFileSystem* m_graph = nullptr;
  int m_pending = 0;
  int64_t m_emptyIds = 0;
};
