// The facade through which every scanner and reader reaches a device. The clone channel
// serves file-data reads and secure-erase writes without moving the scan's position.
#pragma once
#include <cstdint>

#include "idevice.h"

class IStorageDevice {
 public:
  virtual void Release() = 0;
  virtual int Attach(IDevice* device) = 0;
  virtual int GetFileSystem() = 0;
  virtual IDevice* GetDevice() = 0;
  virtual int GetType() = 0;
  virtual int GetSize(uint64_t* size) = 0;
  virtual int GetClusterInfo(int* clusterBytes, int* sectorSize) = 0;
  virtual int Read(void* buf, uint32_t count) = 0;
  virtual int Write(const void* buf, uint32_t count) = 0;
  virtual int64_t Seek(int64_t offset, int origin) = 0;
  virtual int ReadSectors(int64_t first, void* buf, uint32_t count) = 0;
  virtual int WriteSectors(int64_t first, const void* buf, uint32_t count) = 0;
  virtual int CloneRead(void* buf, uint32_t count) = 0;
  virtual int CloneWrite(const void* buf, uint32_t count) = 0;
  virtual int64_t CloneSeek(int64_t offset, int origin) = 0;
  virtual int CloneReadSectors(int64_t first, void* buf, uint32_t count) = 0;
  virtual int CloneWriteSectors(int64_t first, const void* buf, uint32_t count) = 0;
  virtual bool IsReadOnly() = 0;
  virtual int Close(int closeDevice) = 0;

 protected:
  ~IStorageDevice() = default;
};
