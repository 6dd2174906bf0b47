// The scanner contract.
#pragma once
#include <cstdint>

class IFileManager;
class INotifySink;
class IDeviceBitmap;
class IFileInfo;
class IFileOP;
class IFilter;

// Every operation does nothing and answers RC_OK unless a parameter class overrides it.
class IScanParam {
 public:
  virtual int SetValue(int value) { return 0; }
  virtual int AddFileType(const char* extension) { return 0; }
  virtual int SetRange(int64_t startByte, int64_t endByte) { return 0; }
  virtual int SetSkipUsedClusters(bool skip) { return 0; }
  virtual int Reserved(int value) { return 0; }
  virtual int SetScanMode(int mode) { return 0; }
  virtual int Enable() { return 0; }

 protected:
  ~IScanParam() = default;
};

class IScanOperator {
 public:
  virtual IFileManager* GetFileManager() = 0;
  virtual IScanOperator* SetFileManager(IFileManager* manager) = 0;
  virtual int GetScanParam(IScanParam** out) = 0;
  virtual int Scan(INotifySink* sink) = 0;
  virtual void Release() = 0;
  virtual int GetScanType() = 0;
  virtual IDeviceBitmap* CreateDeviceBitmap() = 0;
  virtual int GetFileOp(IFileInfo* file, IFileOP** out) = 0;
  virtual int ListFiles(IFilter* filter, INotifySink* sink) = 0;
  virtual int CreateFilter(IFilter** out) = 0;
  virtual int SaveResult(const char16_t* path, INotifySink* sink) = 0;
  virtual int LoadResult(INotifySink* sink, int skipDeviceCheck) = 0;

 protected:
  ~IScanOperator() = default;
};
