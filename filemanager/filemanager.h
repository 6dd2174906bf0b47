// The results tree of one scan.
#pragma once
#include <cstdint>
#include <string>

#include "common/inc/ifilemanager.h"
#include "filemanager/fileop.h"
#include "filemanager/managerfileinfo.h"

class CFileManager : public IFileManager {
 public:
  CFileManager();
  virtual ~CFileManager();

  IFileManager* SetStorageDevice(IStorageDevice* device) override;
  IStorageDevice* GetStorageDevice() override;
  int SetNotifySink(INotifySink* sink) override;
  int AddFile(const char16_t* folderPath, IFileInfo* file) override;
  int GetFileOp(IFileInfo* file, IFileOP** out) override;
  int ListFiles(IFilter* filter, INotifySink* sink) override;
  int CreateFilter(IFilter** out) override;
  void Release() override;
  IDeviceBitmap* GetDeviceBitmap() override;

  uint64_t GetFileCount() const { return m_fileCount; }
  FmNode* Root() { return &m_root; }

 private:
  void PrepareReaders();
  FmNode* FindOrAddFolder(FmNode* parent, const std::u16string& name);
  void RepairTempName(CManagerFileInfo* entry);
  void FreeTree();

  FmNode m_root;
  uint64_t m_fileCount;
  IStorageDevice* m_device;
  INotifySink* m_sink;
  uint64_t m_listCounter;
  int m_firstUse;
  IDeviceBitmap* m_bitmap;
  CNormalFileOP m_normalOp;
  CEncFileOP m_encOp;
  CPermanentFileOP m_permanentOp;
  CCompressedFileOP m_compressedOp;
};
