#include "filemanager/fileinfo.h"

#include <cstring>
#include <new>

#include "common/inc/bytes.h"
#include "common/layout/ntfs_boot.h"
#include "filemanager/archiveio.h"
#include "filemanager/wtext.h"

using namespace archiveio;

namespace {

// The pair that ends a saved run list.
const uint64_t kRunEndStart = 0xFFFFFFFFFFFFFFFDull;
const uint32_t kRunEndCount = 0xFFFFFFFDu;
// A saved list longer than this is corrupt: even a badly fragmented NTFS file stays far below.
const size_t kMaxLoadedRuns = 1u << 20;
// Resident bytes live inside one NTFS FILE record: up to its 4 KiB on a 4Kn disk.
const uint32_t kMaxResident = layout::kNtfsMaxRecordBytes;

// Writes count characters of UTF-16 as little-endian bytes.
int PutText(IArchive* a, const char16_t* s, size_t count) {
  for (size_t i = 0; i < count; ++i)
    if (PutU16(a, s[i]) != 0) return -1;
  return 0;
}

// Reads count (1..MAX_PATH_ZQ) UTF-16 characters into a new buffer whose last character is
// forced to be the terminator whatever the file held.
char16_t* GetText(IArchive* a, size_t count) {
  char16_t units[MAX_PATH_ZQ];
  if (!GetUnits(a, count, units)) return nullptr;
  char16_t* s = new (std::nothrow) char16_t[count];
  if (!s) return nullptr;
  std::memcpy(s, units, 2 * count);
  s[count - 1] = 0;
  return s;
}

void ReleaseRuns(IRunList* runs) {
  if (runs) runs->Release();
}

IRunList* CloneRuns(IRunList* runs) {
  if (!runs) return nullptr;
  if (auto* p = dynamic_cast<CPermanentRunList*>(runs)) return p->Clone();
  if (auto* e = dynamic_cast<CEncRunList*>(runs)) return e->Clone();
  if (auto* r = dynamic_cast<RunList*>(runs)) return r->Clone();
  return nullptr;
}

StreamDesc* NewStream() {
  StreamDesc* d = new StreamDesc;
  d->dataSize = 0;
  d->allocSize = 0;
  d->name = nullptr;
  d->resident = 0;
  d->runs = nullptr;
  return d;
}

void FreeStream(StreamDesc* d) {
  if (!d) return;
  delete[] d->name;
  ReleaseRuns(d->runs);
  delete d;
}

StreamDesc* CloneStream(const StreamDesc* d) {
  if (!d) return nullptr;
  StreamDesc* c = NewStream();
  c->dataSize = d->dataSize;
  c->allocSize = d->allocSize;
  c->name = wtext::Dup(d->name);
  c->runs = CloneRuns(d->runs);
  // The flag follows the object actually held, so that no reader takes one class for the other.
  c->resident = dynamic_cast<CPermanentRunList*>(c->runs) ? 1 : 0;
  return c;
}

int SaveStream(IArchive* a, const StreamDesc* d) {
  StreamDesc empty = {0, 0, nullptr, 0, nullptr};
  if (!d) d = &empty;
  uint8_t block[32] = {};
  kbytes::PutLe64(block, d->dataSize);
  kbytes::PutLe64(block + 8, d->allocSize);
  bool resident = d->runs && d->runs->IsResident();
  kbytes::PutLe32(block + 20, resident ? 1 : 0);
  if (a->Write(block, 32) != 0) return -1;
  size_t n = d->name ? wtext::Len(d->name) : 0;
  if (d->name) {
    if (n + 1 > MAX_PATH_ZQ) return -1;
    if (PutU32(a, uint32_t(n + 1)) != 0 || PutText(a, d->name, n + 1) != 0) return -1;
  } else if (PutU32(a, 0) != 0) {
    return -1;
  }
  if (d->runs) return d->runs->Save(a);
  RunList none;
  return none.Save(a);
}

StreamDesc* LoadStream(IArchive* a) {
  // 32 bytes: data size at 0, allocated size at 8, the resident flag at 20; the rest is
  // written as zeros.
  uint8_t block[32];
  uint64_t dataSize = 0, allocSize = 0;
  uint32_t resident = 0;
  if (a->Read(block, sizeof block) != 0 || !kbytes::ReadLe64(block, sizeof block, 0, &dataSize) ||
      !kbytes::ReadLe64(block, sizeof block, 8, &allocSize) || !kbytes::ReadLe32(block, sizeof block, 20, &resident))
    return nullptr;
  StreamDesc* d = NewStream();
  d->dataSize = dataSize;
  d->allocSize = allocSize;
  d->resident = resident ? 1 : 0;
  uint32_t count;
  if (!GetU32(a, &count)) return FreeStream(d), nullptr;
  if (count) {
    d->name = GetText(a, count);
    if (!d->name) return FreeStream(d), nullptr;
  }
  IRunList* runs = d->resident ? static_cast<IRunList*>(new CPermanentRunList)
                               : static_cast<IRunList*>(new RunList);
  if (runs->Load(a) != 0) {
    runs->Release();
    FreeStream(d);
    return nullptr;
  }
  d->runs = runs;
  return d;
}

}  // namespace

// ---------------------------------------------------------------- RunList

RunList::RunList() : m_start(0), m_count(0), m_next(nullptr) {}
RunList::RunList(uint64_t start, uint32_t count) : m_start(start), m_count(count), m_next(nullptr) {}

RunList::~RunList() {
  // Iterative: a chain of a million nodes must not recurse a million deep.
  RunList* p = m_next;
  m_next = nullptr;
  while (p) {
    RunList* next = p->m_next;
    p->m_next = nullptr;
    delete p;
    p = next;
  }
}

void RunList::Release() { delete this; }

uint64_t RunList::GetTotalCount() const {
  uint64_t total = 0;
  for (const RunList* p = this; p; p = p->m_next) total += p->m_count;
  return total;
}

RunList* RunList::Append(uint64_t start, uint32_t count) {
  RunList* last = this;
  while (last->m_next) last = last->m_next;
  last->m_next = new RunList(start, count);
  return last->m_next;
}

RunList* RunList::Clone() const {
  RunList* head = new RunList(m_start, m_count);
  RunList* tail = head;
  for (const RunList* p = m_next; p; p = p->m_next) {
    tail->m_next = new RunList(p->m_start, p->m_count);
    tail = tail->m_next;
  }
  return head;
}

int RunList::Save(IArchive* archive) {
  if (!archive) return -1;
  for (const RunList* p = this; p; p = p->m_next) {
    if (PutU64(archive, p->m_start) != 0 || PutU32(archive, p->m_count) != 0) return -1;
  }
  if (PutU64(archive, kRunEndStart) != 0 || PutU32(archive, kRunEndCount) != 0) return -1;
  return 0;
}

int RunList::Load(IArchive* archive) {
  if (!archive) return -1;
  delete m_next;
  m_next = nullptr;
  m_start = 0;
  m_count = 0;
  RunList* tail = nullptr;
  for (size_t n = 0;; ++n) {
    uint64_t start;
    uint32_t count;
    if (!GetU64(archive, &start) || !GetU32(archive, &count)) return -1;
    if (start == kRunEndStart && count == kRunEndCount) return 0;
    if (n >= kMaxLoadedRuns) return -1;
    if (!tail) {
      m_start = start;
      m_count = count;
      tail = this;
    } else {
      tail->m_next = new (std::nothrow) RunList(start, count);
      if (!tail->m_next) return -1;
      tail = tail->m_next;
    }
  }
}

// ---------------------------------------------------------------- CPermanentRunList

CPermanentRunList::CPermanentRunList() : m_value(0), m_data(nullptr), m_length(0) {}
CPermanentRunList::~CPermanentRunList() { delete[] m_data; }
void CPermanentRunList::Release() { delete this; }

int CPermanentRunList::SetData(const void* bytes, int len) {
  if (len <= 0 || uint32_t(len) > kMaxResident || !bytes) return RC_MISSING;
  uint8_t* copy = new (std::nothrow) uint8_t[len];
  if (!copy) return RC_NO_MEMORY;
  std::memcpy(copy, bytes, size_t(len));
  delete[] m_data;
  m_data = copy;
  m_length = uint32_t(len);
  return 0;
}

int CPermanentRunList::GetData(const uint8_t** out) const {
  if (!out) return RC_MISSING;
  *out = m_data;
  return 0;
}

CPermanentRunList* CPermanentRunList::Clone() const {
  CPermanentRunList* c = new CPermanentRunList;
  c->m_value = m_value;
  if (m_data && m_length) c->SetData(m_data, int(m_length));
  return c;
}

int CPermanentRunList::Save(IArchive* archive) {
  if (!archive) return -1;
  if (PutU64(archive, m_value) != 0 || PutU32(archive, m_length) != 0) return -1;
  if (m_length && archive->Write(m_data, m_length) != 0) return -1;
  return 0;
}

int CPermanentRunList::Load(IArchive* archive) {
  if (!archive) return -1;
  uint64_t value;
  uint32_t len;
  if (!GetU64(archive, &value) || !GetU32(archive, &len)) return -1;
  if (len < 1 || len > kMaxResident) return -1;
  uint8_t buf[kMaxResident];
  if (archive->Read(buf, len) != 0) return -1;
  if (SetData(buf, int(len)) != 0) return -1;
  m_value = value;
  return 0;
}

// ---------------------------------------------------------------- CEncRunList

CEncRunList::CEncRunList() : m_first(nullptr), m_second(nullptr), m_value(0) {}
CEncRunList::~CEncRunList() {
  FreeStream(m_first);
  FreeStream(m_second);
}
void CEncRunList::Release() { delete this; }

uint64_t CEncRunList::GetDataSectorCount() const {
  if (!m_second || !m_second->runs) return 0;
  auto* r = dynamic_cast<RunList*>(m_second->runs);
  return r ? r->GetTotalCount() : 0;
}

CEncRunList* CEncRunList::Clone() const {
  CEncRunList* c = new CEncRunList;
  c->m_first = CloneStream(m_first);
  c->m_second = CloneStream(m_second);
  c->m_value = m_value;
  return c;
}

int CEncRunList::Save(IArchive* archive) {
  if (!archive) return -1;
  if (SaveStream(archive, m_first) != 0 || SaveStream(archive, m_second) != 0) return -1;
  return PutU64(archive, m_value);
}

int CEncRunList::Load(IArchive* archive) {
  if (!archive) return -1;
  StreamDesc* first = LoadStream(archive);
  if (!first) return -1;
  StreamDesc* second = LoadStream(archive);
  uint64_t value;
  if (!second || !GetU64(archive, &value)) {
    FreeStream(first);
    FreeStream(second);
    return -1;
  }
  FreeStream(m_first);
  FreeStream(m_second);
  m_first = first;
  m_second = second;
  m_value = value;
  return 0;
}

// ---------------------------------------------------------------- CFileInfo

CFileInfo::CFileInfo()
    : m_size(0), m_flags(0), m_name(nullptr), m_runs(nullptr), m_createTime(0), m_modifyTime(0),
      m_validity(0) {}

CFileInfo::~CFileInfo() {
  ReleaseRuns(m_runs);
  delete[] m_name;
}

uint64_t CFileInfo::GetSize() { return uint64_t(m_size); }
void CFileInfo::SetSize(int64_t size) {
  if (size >= 0) m_size = size;
}
uint64_t CFileInfo::GetCreateTime() { return uint64_t(m_createTime); }
uint64_t CFileInfo::GetModifyTime() { return uint64_t(m_modifyTime); }
void CFileInfo::SetTimes(uint64_t create, uint64_t modify) {
  m_createTime = int64_t(create);
  m_modifyTime = int64_t(modify);
}
IRunList* CFileInfo::GetRunList() { return m_runs; }
void CFileInfo::SetRunList(IRunList* runs) {
  if (runs == m_runs) return;
  ReleaseRuns(m_runs);
  m_runs = runs;
}
const char16_t* CFileInfo::GetName() { return m_name; }

void CFileInfo::SetName(const char16_t* name) {
  ZQ_ASSERT(name && "fname");
  if (!name) return;
  char16_t* copy = wtext::Dup(name);
  delete[] m_name;
  m_name = copy;
}

void CFileInfo::SetNameA(const char* name) {
  ZQ_ASSERT(name && "fname");
  if (!name) return;
  SetName(wtext::FromBytes(name).c_str());
}

uint32_t CFileInfo::GetFlags() { return m_flags; }
void CFileInfo::AddFlags(uint32_t flags) { m_flags |= flags; }
void CFileInfo::SetValidity(uint32_t percent) { m_validity = percent; }
uint32_t CFileInfo::GetValidity() { return m_validity; }
IFolderInfo* CFileInfo::GetParentFolder() { return nullptr; }
int CFileInfo::GetFullPath(char16_t*, uint32_t*) { return -1; }
void CFileInfo::Release() { delete this; }

int CFileInfo::Save(IArchive* archive) {
  if (!archive) return -1;
  size_t n = wtext::Len(m_name);
  if (n + 1 > MAX_PATH_ZQ) return -1;
  if (PutU32(archive, m_validity) != 0 || PutU32(archive, m_flags) != 0 ||
      PutU64(archive, uint64_t(m_size)) != 0 || PutU64(archive, uint64_t(m_createTime)) != 0 ||
      PutU64(archive, uint64_t(m_modifyTime)) != 0 || PutU16(archive, uint16_t(n + 1)) != 0)
    return -1;
  static const char16_t empty[1] = {0};
  if (PutText(archive, m_name ? m_name : empty, n + 1) != 0) return -1;
  if (m_flags & FF_NODATA) return 0;
  if (m_runs) {
    // The load picks the class from the flags: a list of another class would be misread.
    bool ok = (m_flags & FF_RESIDENT)    ? dynamic_cast<CPermanentRunList*>(m_runs) != nullptr
              : (m_flags & FF_ENCRYPTED) ? dynamic_cast<CEncRunList*>(m_runs) != nullptr
                                         : dynamic_cast<RunList*>(m_runs) != nullptr;
    return ok ? m_runs->Save(archive) : -1;
  }
  // A record that claims data but has none saves an empty list of the class that its flags
  // name, so that the load, which goes by the flags, reads what was written.
  if (m_flags & FF_RESIDENT) return -1;
  if (m_flags & FF_ENCRYPTED) {
    CEncRunList none;
    return none.Save(archive);
  }
  RunList none;
  return none.Save(archive);
}

int CFileInfo::Load(IArchive* archive) {
  if (!archive) return -1;
  uint32_t validity, flags;
  uint64_t size, ctime, mtime;
  uint16_t nameLen;
  if (!GetU32(archive, &validity) || !GetU32(archive, &flags) || !GetU64(archive, &size) ||
      !GetU64(archive, &ctime) || !GetU64(archive, &mtime) || !GetU16(archive, &nameLen))
    return -1;
  char16_t* name = GetText(archive, nameLen);
  if (!name) return -1;
  IRunList* runs = nullptr;
  if (!(flags & FF_NODATA)) {
    if (flags & FF_RESIDENT) runs = new CPermanentRunList;
    else if (flags & FF_ENCRYPTED) runs = new CEncRunList;
    else runs = new RunList;
    if (runs->Load(archive) != 0) {
      runs->Release();
      delete[] name;
      return -1;
    }
  }
  m_validity = validity;
  m_flags = flags;
  m_size = int64_t(size);
  m_createTime = int64_t(ctime);
  m_modifyTime = int64_t(mtime);
  delete[] m_name;
  m_name = name;
  SetRunList(runs);
  return 0;
}

IFileInfo* CloneFileInfo(IFileInfo* file) {
  if (!file) return nullptr;
  CFileInfo* c = new CFileInfo;
  c->AddFlags(file->GetFlags());
  c->SetTimes(file->GetCreateTime(), file->GetModifyTime());
  if (file->GetName()) c->SetName(file->GetName());
  c->SetSize(int64_t(file->GetSize()));
  c->SetValidity(file->GetValidity());
  c->SetRunList(CloneRuns(file->GetRunList()));
  return c;
}
