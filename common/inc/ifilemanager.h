#pragma once
#include <cstdint>

class IStorageDevice;
class INotifySink;
class IFileInfo;
class IFileOP;
class IFilter;
class IDeviceBitmap;

// The results tree of one scan.
class IFileManager {
 public:
  virtual IFileManager* SetStorageDevice(IStorageDevice* device) = 0;
  virtual IStorageDevice* GetStorageDevice() = 0;
  virtual int SetNotifySink(INotifySink* sink) = 0;
  virtual int AddFile(const char16_t* folderPath, IFileInfo* file) = 0;
  virtual int GetFileOp(IFileInfo* file, IFileOP** out) = 0;
  virtual int ListFiles(IFilter* filter, INotifySink* sink) = 0;
  virtual int CreateFilter(IFilter** out) = 0;
  virtual void Release() = 0;
  virtual IDeviceBitmap* GetDeviceBitmap() = 0;

 protected:
  ~IFileManager() = default;
};
