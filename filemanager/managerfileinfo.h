// The nodes of the results tree: folder records and the entries that wrap found files.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/inc/ifileinfo.h"

class CFolderInfo;
class CManagerFileInfo;

// Lookup tables of one folder: child folders by folded name, and file entries by
// (size, first data sector) for the duplicate test, so that a folder of 200,000 files
// stays fast.
struct FmIndex {
  std::unordered_map<std::u16string, struct FmNode*> folders;
  std::map<std::pair<uint64_t, uint64_t>, std::vector<struct FmNode*>> files;
};

struct FmNode {
  FmNode* parent = nullptr;
  FmNode* firstChild = nullptr;
  FmNode* nextSibling = nullptr;
  FmNode* lastChild = nullptr;
  CFolderInfo* folder = nullptr;
  CManagerFileInfo* file = nullptr;
  FmIndex* index = nullptr;
};

class CFolderInfo : public IFolderInfo {
 public:
  explicit CFolderInfo(FmNode* node) : m_node(node), m_name(nullptr) {}
  virtual ~CFolderInfo();

  const char16_t* GetName() override { return m_name; }
  void SetName(const char16_t* name) override;
  int Reserved2() override { return 0; }
  void Reserved3(void*) override {}
  int Save(IArchive* archive) override;
  int Load(IArchive* archive) override;
  IFolderInfo* GetParentFolder() override;
  void Release() override {}

  FmNode* Node() const { return m_node; }

 private:
  FmNode* m_node;
  char16_t* m_name;
};

class CManagerFileInfo : public IFileInfo {
 public:
  CManagerFileInfo(FmNode* node, IFileInfo* wrapped) : m_node(node), m_file(wrapped) {}
  virtual ~CManagerFileInfo();

  uint64_t GetSize() override { return m_file->GetSize(); }
  void SetSize(int64_t) override {}
  uint64_t GetCreateTime() override { return m_file->GetCreateTime(); }
  uint64_t GetModifyTime() override { return m_file->GetModifyTime(); }
  void SetTimes(uint64_t c, uint64_t m) override { m_file->SetTimes(c, m); }
  IRunList* GetRunList() override { return m_file->GetRunList(); }
  void SetRunList(IRunList* runs) override { m_file->SetRunList(runs); }
  const char16_t* GetName() override { return m_file->GetName(); }
  void SetName(const char16_t* name) override { m_file->SetName(name); }
  uint32_t GetFlags() override { return m_file->GetFlags(); }
  void AddFlags(uint32_t flags) override { m_file->AddFlags(flags); }
  void SetValidity(uint32_t p) override { m_file->SetValidity(p); }
  uint32_t GetValidity() override { return m_file->GetValidity(); }
  int Save(IArchive* a) override { return m_file->Save(a); }
  int Load(IArchive* a) override { return m_file->Load(a); }
  IFolderInfo* GetParentFolder() override;
  int GetFullPath(char16_t* buf, uint32_t* len) override;
  void Release() override {}

  IFileInfo* Wrapped() const { return m_file; }
  FmNode* Node() const { return m_node; }

 private:
  FmNode* m_node;
  IFileInfo* m_file;
};
