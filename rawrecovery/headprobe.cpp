#include "rawrecovery/headprobe.h"

#include <cstring>
#include <string>

#include "rawrecovery/analysertype.h"
#include "rawrecovery/filehint.h"
#include "rawrecovery/rawanalyser.h"

namespace kraw {

namespace {

// Spellings the hint table does not carry as rows of their own.
struct Alias {
  const char* spelling;
  const char* ext;
};
const Alias kAliases[] = {{"jpeg", "jpg"}, {"jpe", "jpg"}, {"tiff", "tif"}, {"mpeg", "mpg"}, {"html", "htm"}};

// A unit that shows the caller's bytes without copying them.
ClusterBuf View(const uint8_t* data, uint32_t len) {
  ClusterBuf cb(0);
  cb.data = boost::shared_array<uint8_t>(const_cast<uint8_t*>(data), [](uint8_t*) {});
  cb.cluster_size = int(len);
  cb.lcn = 0;
  return cb;
}

}  // namespace

int TypeOfExtension(const char* ext) {
  if (!ext || !*ext) return 0;
  std::string e;
  for (const char* p = ext; *p; ++p) {
    char c = *p;
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    e.push_back(c);
  }
  for (const Alias& a : kAliases)
    if (e == a.spelling) e = a.ext;
  const FileHint* row = TableRow(e.c_str());
  if (!row || !FindAnalyserType(row->TypeId)) return 0;
  return row->TypeId;
}

int TypeOfName(const char16_t* name) {
  if (!name) return 0;
  const char16_t* dot = nullptr;
  for (const char16_t* p = name; *p; ++p)
    if (*p == u'.') dot = p;
  if (!dot || !dot[1]) return 0;
  char ext[9];
  size_t n = 0;
  for (const char16_t* p = dot + 1; *p; ++p) {
    // Extensions of the table are short and plain ASCII; anything else names no type.
    if (n + 1 >= sizeof ext || *p > 0x7F || *p == u' ') return 0;
    ext[n++] = char(*p);
  }
  ext[n] = 0;
  return TypeOfExtension(ext);
}

HeadProbe::HeadProbe() {}
HeadProbe::~HeadProbe() {}

CRawAnalyser* HeadProbe::Prototype(int typeId) {
  auto it = m_protos.find(typeId);
  if (it != m_protos.end()) return it->second.get();
  CRawAnalyser* a = CreateTypeAnalyser(typeId);
  m_protos[typeId].reset(a);
  return a;
}

bool HeadProbe::Begins(int typeId, const uint8_t* data, size_t len) {
  const AnalyserType* t = FindAnalyserType(typeId);
  if (!t || !data || len == 0 || !t->first.Has(data[0])) return false;
  CRawAnalyser* a = Prototype(typeId);
  if (!a) return false;
  if (len < kHeadBytes) {
    m_pad.assign(kHeadBytes, 0);
    std::memcpy(m_pad.data(), data, len);
    data = m_pad.data();
  }
  // An analyser's header test starts its own state afresh, so one prototype serves every
  // question.
  return Decides(a->CheckHeader(View(data, kHeadBytes)));
}

void HeadProbe::Heads(const uint8_t* data, std::vector<int>* types) {
  if (!data || !types) return;
  if (!m_dispatchBuilt) {
    size_t count = 0;
    const AnalyserType* all = AnalyserTypes(&count);
    for (size_t i = 0; i < count; ++i) {
      // A type no extension names can place no file.
      if (!all[i].exts || !*all[i].exts) continue;
      for (int b = 0; b < 256; ++b)
        if (all[i].first.Has(b)) m_byFirst[b].push_back(all[i].typeId);
    }
    m_dispatchBuilt = true;
  }
  ClusterBuf cb = View(data, kHeadBytes);
  for (int id : m_byFirst[data[0]]) {
    CRawAnalyser* a = Prototype(id);
    if (a && Decides(a->CheckHeader(cb))) types->push_back(id);
  }
}

int64_t HeadProbe::ProvenLength(int typeId, const Reader& read, uint64_t limit) {
  std::unique_ptr<CRawAnalyser> a(CreateTypeAnalyser(typeId));
  if (!a || !read) return -1;
  ClusterBuf cb(static_cast<int>(kHeadBytes));
  if (!cb.GetData() || !read(0, cb.GetData(), kHeadBytes)) return -1;
  int r = a->CheckHeader(cb);
  if (!Decides(r)) return -1;
  // The raw scanner hands the head's own unit on as the first one walked.
  if (r != AS_COMPLETE && r != AS_ENDED) {
    for (int64_t lcn = 0;; ++lcn) {
      if (lcn > 0) {
        if (uint64_t(lcn) * kHeadBytes > limit) return -1;
        cb.lcn = lcn;
        if (!read(uint64_t(lcn) * kHeadBytes, cb.GetData(), kHeadBytes)) return -1;
      }
      r = a->Continue(cb);
      if (Decides(r)) break;
    }
  }
  if (!a->EndProven()) return -1;
  int64_t n = a->FoundLength();
  return n > 0 && uint64_t(n) <= limit ? n : -1;
}

}  // namespace kraw
