// The base of every scanner, the plain parameter class and the factory by scan kind.
#pragma once
#include "common/inc/iscanoperator.h"
#include "common/inc/istoragedevice.h"
#include "common/inc/kestrum_types.h"

class SaveFileSystem;

class CScanOperator : public IScanOperator {
 public:
  CScanOperator();
  virtual ~CScanOperator();

  IFileManager* GetFileManager() override;
  IScanOperator* SetFileManager(IFileManager* manager) override;
  int GetScanParam(IScanParam** out) override;
  void Release() override;
  int GetFileOp(IFileInfo* file, IFileOP** out) override;
  int ListFiles(IFilter* filter, INotifySink* sink) override;
  int CreateFilter(IFilter** out) override;
  int SaveResult(const char16_t* path, INotifySink* sink) override;
  int LoadResult(INotifySink* sink, int skipDeviceCheck) override;

  // Attaches a saved result opened by the top object; the scanner owns it from then on.
  CScanOperator* SetResultFile(SaveFileSystem* file);

 protected:
  IFileManager* m_pFileManager;
  IScanParam* m_pScanParam;
  SaveFileSystem* m_pResultFile;
};

class CScanParam : public IScanParam {
 public:
  CScanParam() : m_reserved(0), m_value(0) {}
  virtual ~CScanParam() {}
  int SetValue(int value) override {
    m_value = value;
    return 0;
  }
  int GetValue() const { return m_value; }

 private:
  int m_reserved;
  int m_value;
};

class CIScanDeviceFactory {
 public:
  virtual ~CIScanDeviceFactory() {}
  static IScanOperator* CreateScanner(IStorageDevice* device, int scanType);
};
