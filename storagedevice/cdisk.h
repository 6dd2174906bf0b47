// A physical disk; its two table readers live in dpt.h and gpt.h.
#pragma once
#include <cstdint>
#include <vector>

#include "common/inc/idevice.h"
#include "common/inc/ideviceio.h"
#include "storagedevice/devenum.h"
#include "storagedevice/dpt.h"
#include "storagedevice/gpt.h"

class ChannelForward;
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
  ChannelForward Channel();
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
