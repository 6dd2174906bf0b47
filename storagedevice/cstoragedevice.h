// The facade through which scanners reach a device, with a private clone for file reads.
#pragma once
#include "common/inc/istoragedevice.h"

class CStorageDevice : public IStorageDevice {
 public:
  CStorageDevice();
  virtual ~CStorageDevice();

  void Release() override;
  int Attach(IDevice* device) override;
  int GetFileSystem() override;
  IDevice* GetDevice() override;
  int GetType() override;
  int GetSize(uint64_t* size) override;
  int GetClusterInfo(int* clusterBytes, int* sectorSize) override;
  int Read(void* buf, uint32_t count) override;
  int Write(const void* buf, uint32_t count) override;
  int64_t Seek(int64_t offset, int origin) override;
  int ReadSectors(int64_t first, void* buf, uint32_t count) override;
  int WriteSectors(int64_t first, const void* buf, uint32_t count) override;
  int CloneRead(void* buf, uint32_t count) override;
  int CloneWrite(const void* buf, uint32_t count) override;
  int64_t CloneSeek(int64_t offset, int origin) override;
  int CloneReadSectors(int64_t first, void* buf, uint32_t count) override;
  int CloneWriteSectors(int64_t first, const void* buf, uint32_t count) override;
  bool IsReadOnly() override;
  int Close(int closeDevice) override;

 private:
  IDevice* m_pDevice;
  IDevice* m_pClone;
};
