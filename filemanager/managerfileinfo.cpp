#include "filemanager/managerfileinfo.h"

#include <cstring>

#include "common/inc/bytes.h"
#include "common/inc/iarchive.h"
#include "common/inc/kestrum_types.h"
#include "filemanager/archiveio.h"
#include "filemanager/wtext.h"

CFolderInfo::~CFolderInfo() { delete[] m_name; }

void CFolderInfo::SetName(const char16_t* name) {
  ZQ_ASSERT(name && "fn");
  if (!name) return;
  char16_t* copy = wtext::Dup(name);
  delete[] m_name;
  m_name = copy;
}

int CFolderInfo::Save(IArchive* archive) {
  if (!archive) return -1;
  size_t n = wtext::Len(m_name);
  if (n + 1 > MAX_PATH_ZQ) return -1;
  uint8_t buf[2 + 2 * MAX_PATH_ZQ];
  kbytes::PutLe16(buf, uint16_t(n + 1));
  for (size_t i = 0; i <= n; ++i) kbytes::PutLe16(buf + 2 + 2 * i, i < n ? m_name[i] : 0);
  return archive->Write(buf, uint32_t(2 + 2 * (n + 1)));
}

int CFolderInfo::Load(IArchive* archive) {
  if (!archive) return -1;
  uint16_t count = 0;
  char16_t units[MAX_PATH_ZQ];
  if (!archiveio::GetU16(archive, &count) || !archiveio::GetUnits(archive, count, units)) return -1;
  char16_t* name = new char16_t[count];
  std::memcpy(name, units, 2 * size_t(count));
  name[count - 1] = 0;
  delete[] m_name;
  m_name = name;
  return 0;
}

IFolderInfo* CFolderInfo::GetParentFolder() {
  if (!m_node || !m_node->parent) return nullptr;
  return m_node->parent->folder;  // null for the root
}

CManagerFileInfo::~CManagerFileInfo() {
  if (m_file) m_file->Release();
}

IFolderInfo* CManagerFileInfo::GetParentFolder() {
  ZQ_ASSERT(m_node && m_node->parent && "fmn->child");
  if (!m_node || !m_node->parent) return nullptr;
  return m_node->parent->folder;
}

int CManagerFileInfo::GetFullPath(char16_t* buf, uint32_t* len) {
  if (!buf || !len) return RC_BAD_PATH;
  // Folders from the file's own up to the one below the root, then reversed.
  std::u16string path;
  std::vector<const char16_t*> names;
  for (FmNode* n = m_node ? m_node->parent : nullptr; n && n->folder; n = n->parent)
    names.push_back(n->folder->GetName());
  path.push_back(u'/');
  for (auto it = names.rbegin(); it != names.rend(); ++it) {
    if (*it) path += *it;
    path.push_back(u'/');
  }
  if (GetName()) path += GetName();
  uint32_t n = uint32_t(path.size());
  if (n < *len) {
    std::memcpy(buf, path.c_str(), (n + 1) * sizeof(char16_t));
    *len = n;
    return 0;
  }
  *len = n;
  return 1;
}
