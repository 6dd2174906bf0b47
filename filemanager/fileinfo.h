// Found-file records, folder records and run lists.
#pragma once
#include <cstdint>

#include "common/inc/iarchive.h"
#include "common/inc/ifileinfo.h"
#include "common/inc/kestrum_types.h"

// One extent of a file's data and the link to the next. The head owns the chain.
// Sectors are device sectors of the storage facade, counted from the start of the
// scanned device.
class RunList : public IRunList {
 public:
  RunList();
  RunList(uint64_t start, uint32_t count);
  virtual ~RunList();  // frees the chain after this node, iteratively

  void Release() override;
  int Save(IArchive* archive) override;
  int Load(IArchive* archive) override;
  bool IsResident() override { return false; }

  uint64_t GetTotalCount() const;
  // Appends a run after the last node and returns it.
  RunList* Append(uint64_t start, uint32_t count);
  RunList* Clone() const;

  uint64_t m_start;
  uint32_t m_count;
  RunList* m_next;
};

// The start sector that marks a hole of a sparse file: the readers fill it with zeros.
const uint64_t RUN_HOLE = 0xFFFFFFFFFFFFFFFEull;

// Resident data kept in the record itself.
class CPermanentRunList : public IRunList {
 public:
  CPermanentRunList();
  virtual ~CPermanentRunList();

  void Release() override;
  int Save(IArchive* archive) override;
  int Load(IArchive* archive) override;
  bool IsResident() override { return true; }

  int SetData(const void* bytes, int len);  // 43 empty or over 4096 bytes, 12 no memory
  int GetData(const uint8_t** out) const;   // 43 for a null out
  uint32_t GetLength() const { return m_length; }
  CPermanentRunList* Clone() const;

  uint64_t m_value;
  uint8_t* m_data;
  uint32_t m_length;
};

// One stream of an EFS-encrypted NTFS file.
struct StreamDesc {
  uint64_t dataSize;
  uint64_t allocSize;  // 0 for a resident stream
  char16_t* name;      // owned, may be null
  uint32_t resident;   // 1: runs is a CPermanentRunList, 0: a RunList
  IRunList* runs;      // owned
};

class CEncRunList : public IRunList {
 public:
  CEncRunList();
  virtual ~CEncRunList();

  void Release() override;
  int Save(IArchive* archive) override;
  int Load(IArchive* archive) override;
  bool IsResident() override { return false; }

  uint64_t GetDataSectorCount() const;
  CEncRunList* Clone() const;

  StreamDesc* m_first;   // $LOGGED_UTILITY_STREAM holding the EFS metadata
  StreamDesc* m_second;  // the unnamed $DATA stream
  uint64_t m_value;
};

class CFileInfo : public IFileInfo {
 public:
  CFileInfo();
  virtual ~CFileInfo();

  uint64_t GetSize() override;
  void SetSize(int64_t size) override;
  uint64_t GetCreateTime() override;
  uint64_t GetModifyTime() override;
  void SetTimes(uint64_t create, uint64_t modify) override;
  IRunList* GetRunList() override;
  void SetRunList(IRunList* runs) override;
  const char16_t* GetName() override;
  void SetName(const char16_t* name) override;
  uint32_t GetFlags() override;
  void AddFlags(uint32_t flags) override;
  void SetValidity(uint32_t percent) override;
  uint32_t GetValidity() override;
  int Save(IArchive* archive) override;
  int Load(IArchive* archive) override;
  IFolderInfo* GetParentFolder() override;
  int GetFullPath(char16_t* buf, uint32_t* len) override;
  void Release() override;

  // 8-bit text in the system code page (UTF-8); bytes that are not valid UTF-8 are mapped
  // one by one so that a name never comes out empty.
  void SetNameA(const char* name);

 protected:
  int64_t m_size;
  uint32_t m_flags;
  char16_t* m_name;
  IRunList* m_runs;
  int64_t m_createTime;
  int64_t m_modifyTime;
  uint32_t m_validity;
};

// A deep copy whose run-list class follows the actual run list of the source.
IFileInfo* CloneFileInfo(IFileInfo* file);
