// The results tree of one scan.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/inc/ifilemanager.h"
#include "filemanager/fileop.h"
#include "filemanager/managerfileinfo.h"

class IDevice;

// One entry of the breadth-first listing queue: a folder node and its path ("" for the
// root, "/a/b" below it).
struct Dir_Folder_Path {
  FmNode* node;
  std::u16string path;
};

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

  // Breadth-first from the root: each folder's path ("" for the root, "/a/b" below it),
  // then the entries of the files directly in it, in insertion order. A non-zero answer
  // of either callback ends the walk with that value.
  int WalkFolders(const std::function<int(const std::u16string& path)>& onFolder,
                  const std::function<int(IFileInfo* entry)>& onFile);
  // Makes the folders of a path that AddFile would accept, so that a reloaded tree keeps
  // the order of folders that hold only sub-folders. Null when the path is refused.
  FmNode* AddFolderPath(const char16_t* folderPath);
  // Devices the tree's facade reads from but nobody else frees (a device rebuilt from a
  // saved result): released after the facade, in the order given.
  void AdoptDevice(IDevice* device);

 private:
  // The folder parts of a path, trash names merged; *pathLen is the length of the parts
  // joined as "/a/b".
  static void SplitFolderPath(const char16_t* folderPath, std::vector<std::u16string>* parts,
                              size_t* pathLen);
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
  std::vector<IDevice*> m_adopted;
};
