#pragma once
#include <cstdint>

class IStorageDevice;
class IFileInfo;
class INotifySink;

// The reader of one found file's data.
class IFileOP {
 public:
  virtual ~IFileOP() {}
  virtual int Read(void* buf, uint32_t len, uint64_t offset, uint32_t* bytesRead) = 0;
  virtual int Write(const void* buf, uint32_t len, uint64_t offset, uint32_t* written) = 0;
  virtual int SetStorageDevice(IStorageDevice* device) = 0;
  virtual IStorageDevice* GetStorageDevice() = 0;
  virtual void SetFile(IFileInfo* file) = 0;
  virtual IFileInfo* GetFile() = 0;
  virtual int Wipe(IFileInfo* file, int mode, INotifySink* sink) = 0;
  virtual int GetValidity(uint32_t* percent) = 0;
  virtual int ExportEncrypted(const char16_t* target) = 0;
  virtual int MapOffset(uint64_t byteOffset, uint64_t* sector) = 0;
};
