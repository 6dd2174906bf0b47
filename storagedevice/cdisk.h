// A physical disk and its two table readers.
#pragma once
#include <cstdint>
#include <vector>

#include "common/inc/idevice.h"
#include "common/inc/ideviceio.h"
#include "storagedevice/devenum.h"

class CVolume;
class INotifySink;

class CDisk : public IDevice {
 public:
  CDisk();
  virtual ~CDisk();

  int GetType() override;
  const char* GetName() override;
  int GetSize(uint64_t* size) override;
  int GetPartitionInfo(PartitionInfo* info) override;
  int GetGeometry(DiskGeometry* geometry) override;
  int Read(void* buf, uint32_t count) override;
  int Write(const void* buf, uint32_t count) override;
  void Release() override;
  int64_t Seek(int64_t offset, int origin) override;
  int ReadSectors(int64_t first, void* buf, uint32_t count) override;
  int WriteSectors(int64_t first, const void* buf, uint32_t count) override;
  int Close() override;
  IDeviceIo* GetIo() override;
  int Save(IArchive* archive) override;
  int Load(IArchive* archive) override;
  int Open() override;

  virtual int GetDiskIndex();
  // Searches the whole disk for boot records of volumes that no table lists. Each one found
  // is sent as event 9 with a new partition object that the receiver owns from then on,
  // whatever it answers (release it with IDevice::Release, before this disk). Mode 3 skips
  // the body of every volume confirmed with full confidence; any other mode reads all.
  // RC_OK, RC_CANCELLED (stopped through event 2 or 4), RC_MISSING (no sink) or RC_FAIL
  // (no channel).
  virtual int SearchPartitions(int mode, INotifySink* sink);

  int OpenByIndex(int index);
  std::vector<CVolume*>& GetVolumes() { return m_volumes; }
  uint32_t GetSectorSize() const { return m_geometry.BytesPerSector; }
  // The disk's length in sectors.
  int64_t TotalSectors() const;
  CVolume* AddPartitionVolume(int64_t start, int64_t count, int type);
  CVolume* AddGapVolume(int64_t start, int64_t count);
  int CloneFrom(IDevice* source);
  int IsAppleDevice();
  int GetScheme() const { return m_scheme; }

  // The partition sources, public so that each can be checked on its own.
  int ReadOsPartitionList();
  int ReadPartitionTables();
  void InsertGapVolumes();

 private:
  int DetectPartitionScheme();
  bool EnsureOpen();
  void ReleaseVolumes();

  IDeviceIo* m_pDev;
  std::vector<CVolume*> m_volumes;
  DiskGeometry m_geometry;
  int m_index;
  char m_path[64];
  Disk_Physical_Info m_physical;
  int m_scheme;
  int m_partitionCounter;
  bool m_readOnly;
};

// The MBR with its chain of extended boot records.
class CDpt {
 public:
  explicit CDpt(CDisk* disk);
  virtual ~CDpt();
  int Parse();
  std::vector<CVolume*>& Volumes() { return m_volumes; }
  // A chain longer than this is taken as corrupt.
  static constexpr int kMaxBootRecords = 128;

 private:
  int ReadTable(uint64_t sector, bool isMbr);
  void Clear();

  CDisk* m_disk;
  DiskGeometry m_geometry;
  std::vector<CVolume*> m_volumes;
  uint64_t m_extBase;
  uint64_t m_nextLink;
};

// The GUID partition table.
class CGpt {
 public:
  explicit CGpt(CDisk* disk);
  virtual ~CGpt();
  int Parse();
  std::vector<CVolume*>& Volumes() { return m_volumes; }
  // The entry array is read whole; more than this is taken as corrupt.
  static constexpr uint64_t kMaxEntryBytes = 4u << 20;

 private:
  int ReadTable(uint64_t headerSector);
  void Clear();

  CDisk* m_disk;
  DiskGeometry m_geometry;
  std::vector<CVolume*> m_volumes;
};
