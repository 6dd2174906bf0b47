// Found files, folders and where their data lies.
#pragma once
#include <cstdint>

#include "kestrum_types.h"

class IArchive;
class IFolderInfo;

class IRunList {
 public:
  virtual void Release() = 0;
  virtual int Save(IArchive* archive) = 0;
  virtual int Load(IArchive* archive) = 0;
  virtual bool IsResident() = 0;

 protected:
  ~IRunList() = default;
};

class IFileInfo {
 public:
  virtual uint64_t GetSize() = 0;
  virtual void SetSize(int64_t size) = 0;
  virtual uint64_t GetCreateTime() = 0;
  virtual uint64_t GetModifyTime() = 0;
  virtual void SetTimes(uint64_t create, uint64_t modify) = 0;
  virtual IRunList* GetRunList() = 0;
  virtual void SetRunList(IRunList* runs) = 0;
  virtual const char16_t* GetName() = 0;
  virtual void SetName(const char16_t* name) = 0;
  virtual uint32_t GetFlags() = 0;
  virtual void AddFlags(uint32_t flags) = 0;
  virtual void SetValidity(uint32_t percent) = 0;
  virtual uint32_t GetValidity() = 0;
  virtual int Save(IArchive* archive) = 0;
  virtual int Load(IArchive* archive) = 0;
  virtual IFolderInfo* GetParentFolder() = 0;
  virtual int GetFullPath(char16_t* buf, uint32_t* len) = 0;
  virtual void Release() = 0;

 protected:
  ~IFileInfo() = default;
};

class IFolderInfo {
 public:
  virtual const char16_t* GetName() = 0;
  virtual void SetName(const char16_t* name) = 0;
  virtual int Reserved2() = 0;
  virtual void Reserved3(void* arg) = 0;
  virtual int Save(IArchive* archive) = 0;
  virtual int Load(IArchive* archive) = 0;
  virtual IFolderInfo* GetParentFolder() = 0;
  virtual void Release() = 0;

 protected:
  ~IFolderInfo() = default;
};
