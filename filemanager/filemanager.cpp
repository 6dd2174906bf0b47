#include "filemanager/filemanager.h"

#include "scanoperate/filter_res.h"
#include <new>

#include <algorithm>
#include <cstring>
#include <deque>
#include <vector>

#include "common/inc/idevicebitmap.h"
#include "common/inc/ifilter.h"
#include "common/inc/inotifysink.h"
#include "common/inc/istoragedevice.h"
#include "common/inc/seams.h"
#include "filemanager/fileinfo.h"
#include "filemanager/wtext.h"
#include "scanoperate/scanoperator.h"

namespace {

const char16_t kRecycleBin[] = u"Recycle Bin";
const uint64_t kNoStart = ~0ull;

bool IsForbidden(char16_t c) {
  return c == 0x22 || c == 0x2A || c == 0x2F || c == 0x3A || c == 0x3C || c == 0x3E || c == 0x3F ||
         c == 0x5C || c == 0x7C;
}

// The first data sector that the duplicate test compares, or kNoStart when the file has
// no list of plain runs to compare (then only size and name decide).
uint64_t FirstStart(IFileInfo* f) {
  IRunList* runs = f->GetRunList();
  if (auto* r = dynamic_cast<RunList*>(runs)) return r->m_start;
  if (auto* e = dynamic_cast<CEncRunList*>(runs))
    if (e->m_second)
      if (auto* r = dynamic_cast<RunList*>(e->m_second->runs)) return r->m_start;
  return kNoStart;
}

bool IsResidentList(IFileInfo* f) { return f->GetRunList() && f->GetRunList()->IsResident(); }

size_t CountOf(const uint8_t* hay, size_t n, const char* needle, size_t m) {
  size_t count = 0;
  for (size_t i = 0; m && i + m <= n; ++i)
    if (std::memcmp(hay + i, needle, m) == 0) ++count;
  return count;
}

}  // namespace

IFileManager* CreateFileManager() { return new CFileManager; }

CFileManager::CFileManager()
    : m_fileCount(0), m_device(nullptr), m_sink(nullptr), m_listCounter(0), m_firstUse(1),
      m_bitmap(nullptr) {}

CFileManager::~CFileManager() {
  FreeTree();
  if (m_device) m_device->Release();
  if (m_bitmap) m_bitmap->Release();
  for (IDevice* d : m_adopted) d->Release();
}

void CFileManager::AdoptDevice(IDevice* device) {
  if (device) m_adopted.push_back(device);
}

void CFileManager::Release() { delete this; }

void CFileManager::FreeTree() {
  // Iterative: a deep or wide tree must not exhaust the stack.
  std::vector<FmNode*> stack;
  for (FmNode* c = m_root.firstChild; c; c = c->nextSibling) stack.push_back(c);
  while (!stack.empty()) {
    FmNode* n = stack.back();
    stack.pop_back();
    for (FmNode* c = n->firstChild; c; c = c->nextSibling) stack.push_back(c);
    delete n->folder;
    delete n->file;
    delete n->index;
    delete n;
  }
  delete m_root.index;
  m_root = FmNode();
  m_fileCount = 0;
}

IFileManager* CFileManager::SetStorageDevice(IStorageDevice* device) {
  ZQ_ASSERT(device && "pStorageDevice");
  if (device && device != m_device) {
    if (m_device) m_device->Release();
    m_device = device;
  }
  return this;
}

IStorageDevice* CFileManager::GetStorageDevice() { return m_device; }

int CFileManager::SetNotifySink(INotifySink* sink) {
  ZQ_ASSERT(sink && "pINotifySink");
  m_sink = sink;
  return 0;
}

IDeviceBitmap* CFileManager::GetDeviceBitmap() { return m_bitmap; }

void CFileManager::PrepareReaders() {
  CNormalFileOP* ops[4] = {&m_normalOp, &m_encOp, &m_permanentOp, &m_compressedOp};
  for (CNormalFileOP* op : ops) op->SetStorageDevice(m_device);
  int type = m_device ? m_device->GetType() : 0;
  if (!m_device || type == DT_FIXED_DISK || type == DT_OTHER_DISK) {
    if (m_bitmap) m_bitmap->Release();
    m_bitmap = NewNullDeviceBitmap();
    return;
  }
  if (!m_bitmap) {
    if (IScanOperator* scanner = CIScanDeviceFactory::CreateScanner(m_device, Scan_Deleted)) {
      m_bitmap = scanner->CreateDeviceBitmap();
      scanner->Release();
    }
    if (!m_bitmap) m_bitmap = NewNullDeviceBitmap();
  }
  for (CNormalFileOP* op : ops) op->SetBitmap(m_bitmap);
}

FmNode* CFileManager::FindOrAddFolder(FmNode* parent, const std::u16string& name) {
  if (!parent->index) parent->index = new FmIndex;
  std::u16string key = wtext::Folded(name);
  auto it = parent->index->folders.find(key);
  if (it != parent->index->folders.end()) return it->second;
  FmNode* n = new FmNode;
  n->parent = parent;
  n->folder = new CFolderInfo(n);
  n->folder->SetName(name.c_str());
  if (parent->lastChild) parent->lastChild->nextSibling = n;
  else parent->firstChild = n;
  parent->lastChild = n;
  parent->index->folders.emplace(key, n);
  return n;
}

void CFileManager::SplitFolderPath(const char16_t* folderPath, std::vector<std::u16string>* parts,
                                   size_t* pathLen) {
  // Folder parts, with every old trash name merged into one "Recycle Bin".
  *pathLen = 0;
  for (const char16_t* p = folderPath; *p;) {
    while (*p == u'/') ++p;
    const char16_t* s = p;
    while (*p && *p != u'/') ++p;
    if (p == s) continue;
    std::u16string part(s, size_t(p - s));
    if (wtext::StartsWithNoCase(part.c_str(), "RECYCLER") ||
        wtext::StartsWithNoCase(part.c_str(), "Recycled") ||
        wtext::StartsWithNoCase(part.c_str(), "$RECYCLE.BIN"))
      part = kRecycleBin;
    *pathLen += 1 + part.size();
    parts->push_back(std::move(part));
  }
}

FmNode* CFileManager::AddFolderPath(const char16_t* folderPath) {
  if (!folderPath || !*folderPath) return nullptr;
  std::vector<std::u16string> parts;
  size_t pathLen = 0;
  SplitFolderPath(folderPath, &parts, &pathLen);
  // Room for "/" and a one-character name with its terminator, as AddFile requires.
  if (pathLen + 3 > MAX_PATH_ZQ) return nullptr;
  FmNode* folder = &m_root;
  for (const std::u16string& part : parts) folder = FindOrAddFolder(folder, part);
  return folder;
}

int CFileManager::WalkFolders(const std::function<int(const std::u16string& path)>& onFolder,
                              const std::function<int(IFileInfo* entry)>& onFile) {
  std::deque<Dir_Folder_Path> queue;
  queue.push_back({&m_root, std::u16string()});
  while (!queue.empty()) {
    Dir_Folder_Path item = std::move(queue.front());
    queue.pop_front();
    if (int r = onFolder(item.path)) return r;
    for (FmNode* c = item.node->firstChild; c; c = c->nextSibling) {
      if (c->folder) {
        const char16_t* fn = c->folder->GetName();
        queue.push_back({c, item.path + u"/" + (fn ? fn : u"")});
      } else if (c->file) {
        if (int r = onFile(c->file)) return r;
      }
    }
  }
  return 0;
}

namespace {

// Cuts a name to at most room characters as "stem~.ext", never splitting a surrogate pair.
// False when there is not room for a useful name.
bool ShortenToFit(std::u16string* name, size_t room) {
  const size_t kMinRoom = 12;
  if (room < kMinRoom) return false;
  if (name->size() <= room) return true;
  std::u16string ext;
  size_t dot = name->rfind(u'.');
  if (dot != std::u16string::npos && dot > 0 && name->size() - dot <= 16) ext = name->substr(dot);
  size_t stem = room - ext.size() - 1;
  if (stem > 0 && (*name)[stem - 1] >= 0xD800 && (*name)[stem - 1] <= 0xDBFF) --stem;
  *name = name->substr(0, stem) + u"~" + ext;
  return true;
}

}  // namespace

int CFileManager::AddFile(const char16_t* folderPath, IFileInfo* file) {
  if (m_firstUse) {
    m_firstUse = 0;
    PrepareReaders();
  }
  if (!file) return 0;
  const char16_t* name = file->GetName();
  if (!folderPath || !name || !*folderPath || !*name || wtext::StartsWithNoCase(name, "._")) {
    file->Release();
    return 0;
  }
  std::vector<std::u16string> parts;
  size_t pathLen = 0;
  SplitFolderPath(folderPath, &parts, &pathLen);
  // The full path as the tree will give it ("/" parts "/" name) must fit with its terminator.
  size_t nameLen = wtext::Len(name);
  if (file->GetSize() == 0) {
    file->Release();
    return 0;
  }
  std::u16string clean(name, nameLen);
  if (pathLen + 1 + nameLen + 1 > MAX_PATH_ZQ) {
    // A long name in a deep folder is shortened (its extension kept) rather than the file
    // being dropped; only a folder path that leaves no room for a name refuses it.
    if (!ShortenToFit(&clean, MAX_PATH_ZQ > pathLen + 2 ? MAX_PATH_ZQ - pathLen - 2 : 0)) {
      file->Release();
      return 0;
    }
    file->SetName(clean.c_str());
  }
  bool changed = false;
  for (char16_t& c : clean)
    if (IsForbidden(c)) c = u'_', changed = true;
  if (changed) file->SetName(clean.c_str());

  FmNode* folder = &m_root;
  for (const std::u16string& part : parts) folder = FindOrAddFolder(folder, part);
  if (!folder->index) folder->index = new FmIndex;

  bool resident = IsResidentList(file);
  std::pair<uint64_t, uint64_t> key(file->GetSize(), resident ? kNoStart : FirstStart(file));
  if (!resident) {
    auto it = folder->index->files.find(key);
    if (it != folder->index->files.end()) {
      for (FmNode* other : it->second) {
        IFileInfo* o = other->file;
        if (!IsResidentList(o) && wtext::EqualNoCase(o->GetName(), file->GetName())) {
          file->Release();
          return 0;
        }
      }
    }
  }
  FmNode* node = new FmNode;
  node->parent = folder;
  node->file = new CManagerFileInfo(node, file);
  if (folder->lastChild) folder->lastChild->nextSibling = node;
  else folder->firstChild = node;
  folder->lastChild = node;
  if (!resident) folder->index->files[key].push_back(node);
  ++m_fileCount;

  RepairTempName(node->file);
  if (m_sink &&
      m_sink->Notify(NE_FOUND_FILE, int64_t(reinterpret_cast<intptr_t>(folderPath)), 0, node->file) != 0)
    return 1;
  return 0;
}

void CFileManager::RepairTempName(CManagerFileInfo* entry) {
  const char16_t* name = entry->GetName();
  size_t n = wtext::Len(name);
  if (n <= 4) return;
  std::u16string tail(name + n - 4);
  if (tail != u".tmp" && tail != u".TMP") return;
  uint64_t size = entry->GetSize();
  if (size <= 1024) return;
  IFileOP* op = nullptr;
  if (GetFileOp(entry, &op) != 0 || !op) return;
  uint8_t buf[1024];
  uint32_t got = 0;
  if (op->Read(buf, sizeof buf, size - 1024, &got) != 0 || got == 0) return;
  static const char ppt[] = "PowerPoint Document";
  uint8_t pptWide[37];
  for (size_t i = 0; i < 19; ++i) {
    pptWide[2 * i] = uint8_t(ppt[i]);
    if (2 * i + 1 < 37) pptWide[2 * i + 1] = 0;
  }
  const char16_t* ext = nullptr;
  if (CountOf(buf, got, "word/", 5) >= 3) ext = u"docx";
  else if (CountOf(buf, got, "xl/work", 7) >= 3) ext = u"xlsx";
  else if (CountOf(buf, got, "ppt/", 4) >= 3) ext = u"pptx";
  else if (CountOf(buf, got, "Microsoft Office Word", 21)) ext = u"doc";
  else if (CountOf(buf, got, "Microsoft Office Excel", 22)) ext = u"xls";
  else if (CountOf(buf, got, reinterpret_cast<const char*>(pptWide), 37)) ext = u"ppt";
  if (!ext) return;
  // A new name, set as a whole: the old buffer is never grown in place.
  std::u16string renamed(name);
  renamed.resize(renamed.rfind(u'.') + 1);
  renamed += ext;
  entry->SetName(renamed.c_str());
}

int CFileManager::GetFileOp(IFileInfo* file, IFileOP** out) {
  if (!file || !out) return -1;
  uint32_t flags = file->GetFlags();
  CNormalFileOP* op;
  if (flags & FF_RESIDENT) op = &m_permanentOp;
  else if (flags & FF_COMPRESSED) op = &m_compressedOp;
  else if (flags & FF_ENCRYPTED) op = &m_encOp;
  else if (flags & FF_NODATA) {
    *out = nullptr;
    return -1;
  } else {
    op = &m_normalOp;
  }
  if (m_firstUse) {
    // A reader asked for before any file was added still needs its device.
    op->SetStorageDevice(m_device);
  }
  op->SetFile(file);
  *out = op;
  return 0;
}

int CFileManager::ListFiles(IFilter* filter, INotifySink* sink) {
  if (!filter || !sink) return -1;
  m_listCounter = 0;
  if (!m_root.firstChild) return -1;
  std::deque<Dir_Folder_Path> queue;
  queue.push_back({&m_root, std::u16string()});
  while (!queue.empty()) {
    Dir_Folder_Path item = std::move(queue.front());
    queue.pop_front();
    for (FmNode* c = item.node->firstChild; c; c = c->nextSibling) {
      if (c->folder) {
        const char16_t* fn = c->folder->GetName();
        queue.push_back({c, item.path + u"/" + (fn ? fn : u"")});
        continue;
      }
      if (!c->file) continue;
      if (filter->Match(c->file))
        sink->Notify(NE_FOUND_FILE, int64_t(reinterpret_cast<intptr_t>(item.path.c_str())), 0, c->file);
      ++m_listCounter;
      if (m_listCounter % 100 == 0 && m_fileCount != 0) {
        if (sink->Notify(NE_PERCENT, int64_t(m_listCounter * 100 / m_fileCount), 0, nullptr) == -1)
          return 0;
      }
    }
  }
  return 0;
}

int CFileManager::CreateFilter(IFilter** out) {
  if (!out) return RC_FAIL;
  *out = new (std::nothrow) CSDK2Filter();
  return *out ? 0 : RC_NO_MEMORY;
}
