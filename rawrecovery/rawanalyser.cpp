#include "rawrecovery/rawanalyser.h"

#include <cstring>


CRawAnalyser::CRawAnalyser() : m_start(0), m_end(0), m_size(0), m_state(AS_INITIAL), m_endProven(false), m_hint() {}
CRawAnalyser::~CRawAnalyser() {}

void CRawAnalyser::GetRange(int64_t* start, int64_t* end) {
  if (start) *start = m_start;
  if (end) *end = m_end;
}

int CRawAnalyser::GetState() { return m_state; }

void CRawAnalyser::TakeRow(int typeId) {
  const FileHint* row = FileHintTable::Instance()->FirstOfType(typeId);
  if (row) m_hint = *row;
  else m_hint.TypeId = typeId;
}

int64_t CRawAnalyser::SizeFor(const char* ext, const char* exts) const {
  if (!ext || !exts) return 0;
  int64_t v = 0;
  if (m_state == AS_ENDED) v = m_end - m_start;
  else if (m_state == AS_COMPLETE) v = m_size;
  size_t n = std::strlen(ext);
  for (const char* p = exts; *p;) {
    const char* q = std::strchr(p, '/');
    size_t len = q ? size_t(q - p) : std::strlen(p);
    if (len == n && std::strncmp(p, ext, n) == 0) {
      const FileHint* row = TableRow(ext);
      return row ? LimitSize(*row, v) : 0;
    }
    if (!q) break;
    p = q + 1;
  }
  return 0;
}

int64_t CRawAnalyser::LimitSize(const FileHint& row, int64_t v) const {
  if (m_endProven && v > 0 && v < row.MinSize && !FileHintTable::Instance()->MinSizeFromXml(&row))
    return v > row.MaxSize ? row.MaxSize : v;
  return row.CheckSize(v);
}

int64_t ClusterByteOffset(const ClusterBuf& cb) { return cb.lcn * int64_t(cb.cluster_size); }

bool IsAllZero(const void* p, size_t len) {
  const uint8_t* b = static_cast<const uint8_t*>(p);
  if (len == 0) return true;
  if (!b) return false;
  // Compare in 16-byte steps after a cheap first-byte test; empty space is the common case.
  if (b[0] != 0) return false;
  static const uint8_t zeros[64] = {};
  while (len >= 64) {
    if (std::memcmp(b, zeros, 64) != 0) return false;
    b += 64;
    len -= 64;
  }
  return std::memcmp(b, zeros, len) == 0;
}

bool FindZeroTail(const ClusterBuf& cb, unsigned* pos, int n) {
  if (!pos || n <= 0) return false;
  if (n > 512) n = 512;
  const uint8_t* d = cb.GetData();
  int sectors = cb.cluster_size / 512;
  for (int i = 1; i <= sectors; ++i) {
    unsigned p = unsigned(i * 512 - n);
    *pos = p;
    if (!IsAllZero(d + p, size_t(n))) continue;
    unsigned floor = unsigned((i - 1) * 512);
    int k = n;
    while (k < 512 && p > floor && d[p - 1] == 0) {
      --p;
      ++k;
    }
    *pos = p;
    return true;
  }
  return false;
}

bool IsSectorTailZero(const uint8_t* p, size_t avail, int64_t offset) {
  int64_t r = offset % 512;
  if (r < 0) r += 512;
  if (r == 0) return true;
  size_t rest = size_t(512 - r);
  if (rest > avail) rest = avail;
  return IsAllZero(p, rest);
}

FileHint GetAnalyserHint(const CRawAnalyser* a) { return a ? a->Hint() : FileHint(); }

const FileHint* TableRow(const char* ext) { return FileHintTable::Instance()->Find(ext); }

int64_t TableMaxSize(const char* ext) {
  const FileHint* row = TableRow(ext);
  return row ? row->MaxSize : 0;
}

bool ReachedAllMaxSizes(int64_t count, std::initializer_list<const char*> rows) {
  for (const char* r : rows)
    if (count < TableMaxSize(r)) return false;
  return true;
}

CRawAnalyserPool::CRawAnalyserPool() : m_prototypes(), m_dyn(nullptr) { InitDynAnalyser(); }

CRawAnalyserPool::~CRawAnalyserPool() {
  for (CRawAnalyser* a : m_prototypes) delete a;
  m_prototypes.clear();
  delete m_dyn;
}

void CRawAnalyserPool::SetDynAnalyser(CRawAnalyser* dyn) {
  delete m_dyn;
  m_dyn = dyn;
}

CRawAnalyser* CreateTypeAnalyser(int typeId) {
  const AnalyserType* t = FindAnalyserType(typeId);
  return t ? t->make() : nullptr;
}

CRawAnalyser* CRawAnalyserPool::CreateAnalyser(int typeId) {
  if (typeId == 100) return m_dyn;
  return CreateTypeAnalyser(typeId);
}

bool CRawAnalyserPool::AddAnalyser(const FileHint& row) {
  if (row.TypeId == 100) return false;
  // Every selected row, also one whose type is already pooled, enables its user signatures.
  SelectUserSignatures(m_dyn, row.ext);
  for (CRawAnalyser* a : m_prototypes)
    if (SameTypeId(a->Hint(), row)) return false;
  CRawAnalyser* a = CreateAnalyser(row.TypeId);
  if (!a) return false;
  m_prototypes.push_back(a);
  RebuildDispatch();
  return true;
}

void CRawAnalyserPool::RebuildDispatch() {
  for (auto& v : m_dispatch) v.clear();
  for (size_t i = 0; i < m_prototypes.size(); ++i) {
    const AnalyserType* t = FindAnalyserType(m_prototypes[i]->Hint().TypeId);
    for (int b = 0; b < 256; ++b)
      if (!t || t->first.Has(b)) m_dispatch[b].push_back(uint16_t(i));
  }
}

CRawAnalyser* CRawAnalyserPool::DetectAnalyser(const ClusterBuf& cb) {
  const uint8_t* d = cb.GetData();
  if (!d || cb.cluster_size < 4) return nullptr;
  if ((d[0] | d[1] | d[2] | d[3]) == 0) return nullptr;
  CRawAnalyser* found = nullptr;
  if (m_dyn && Decides(m_dyn->CheckHeader(cb))) found = m_dyn;
  // Only the prototypes whose headers can begin with this byte are asked, in pool order;
  // the first that takes the cluster wins, ahead of any user signature.
  for (uint16_t i : m_dispatch[d[0]]) {
    CRawAnalyser* a = m_prototypes[i];
    if (!Decides(a->CheckHeader(cb))) continue;
    CRawAnalyser* fresh = CreateAnalyser(a->Hint().TypeId);
    if (!fresh) return nullptr;  // no memory for a replacement: leave the pool intact
    m_prototypes[i] = fresh;
    return a;
  }
  return found;
}

void CRawAnalyserPool::ReleaseAnalyser(CRawAnalyser*& a) {
  if (!a) return;
  if (a == m_dyn || a->Hint().TypeId == 100) return;
  delete a;
  a = nullptr;
}
