#include "rawrecovery/fileanalyser/docanalyser.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/inc/bytes.h"
#include "common/inc/kestrum_types.h"

namespace {

const uint8_t kOleMagic[8] = {0xd0, 0xcf, 0x11, 0xe0, 0xa1, 0xb1, 0x1a, 0xe1};
const uint32_t kFree = 0xffffffffu;

}  // namespace

// ---------------------------------------------------------------------------------------
// Compound file

CDocAnalyser::CDocAnalyser()
    : CSignatureAnalyser(2), m_cf(), m_clusterSize(0), m_pOleHeader(), m_sectorSize(512), m_nextDifat(-2),
      m_difatLeft(0), m_difatSeen(), m_difat(), m_fat(), m_fatComplete(false), m_held(0), m_ext(nullptr) {}


int CDocAnalyser::CheckHeader(const ClusterBuf& cb) {
  const uint8_t* d = cb.GetData();
  if (cb.cluster_size < 512 || std::memcmp(d, kOleMagic, 8) != 0) return AS_NONE;
  const kbytes::ByteView h(d, 512);
  uint16_t bom, shift;
  uint32_t difat, difatCount, entry;
  if (!h.Le16(28, &bom) || !h.Le16(30, &shift) || !h.Le32(68, &difat) || !h.Le32(72, &difatCount) ||
      !h.Le32(76, &entry))
    return AS_NONE;
  const int32_t firstDifat = int32_t(difat), firstEntry = int32_t(entry);
  if (bom != 0xfffe || shift < 7 || shift > 12 || firstDifat < -2 || firstEntry < 0) return AS_NONE;
  m_pOleHeader.assign(d, d + 512);
  m_sectorSize = 1 << shift;
  m_clusterSize = cb.cluster_size;
  m_cf.reset(new ClusterFile(cb.cluster_size));
  m_nextDifat = firstDifat;
  // A DIFAT chain can need no more sectors than a file of the largest compound-document
  // size has FAT sectors to list; a header claiming more cannot be believed.
  const int64_t per = m_sectorSize / 4;
  int64_t fatSectors = TableMaxSize("ppt") / m_sectorSize / per + 1;
  int64_t maxDifat = fatSectors > 109 ? (fatSectors - 109) / (per - 1) + 1 : 0;
  m_difatLeft = uint32_t(std::min<int64_t>(difatCount, maxDifat));
  m_difatSeen.clear();
  m_difat.clear();
  // The header's own 109 DIFAT entries fill it to its 512th byte.
  for (uint32_t v, at = 76; h.Le32(at, &v); at += 4) m_difat.push_back(v);
  m_fat.clear();
  m_fatComplete = false;
  m_held = 0;
  m_ext = nullptr;
  return Begin(cb, AS_HEADER, 0);
}

int CDocAnalyser::ReadSector(int64_t n, uint8_t* buf, int len) {
  if (m_pOleHeader.empty() || !buf || n < 0 || len < m_sectorSize || !m_cf) return -1;
  int64_t off = HeaderBytes() + n * m_sectorSize;
  if (off >= m_held) return 0;
  int k = int(std::min<int64_t>(m_sectorSize, m_held - off));
  if (m_cf->Seek(m_start + off) < 0) return 0;
  return m_cf->Read(buf, unsigned(k)) < 0 ? 0 : k;
}

int CDocAnalyser::BuildFat() {
  m_fat.clear();
  m_fatComplete = true;
  std::vector<uint8_t> sec(static_cast<size_t>(m_sectorSize));
  const int per = m_sectorSize / 4;
  for (uint32_t s : m_difat) {
    if (int32_t(s) < 0) break;
    if (ReadSector(s, sec.data(), m_sectorSize) == m_sectorSize) {
      for (uint32_t v, at = 0; kbytes::ReadLe32(sec.data(), sec.size(), at, &v); at += 4) m_fat.push_back(v);
    } else {
      m_fatComplete = false;
      m_fat.insert(m_fat.end(), size_t(per), 0xfffffffeu);
    }
  }
  while (!m_fat.empty() && m_fat.back() == kFree) m_fat.pop_back();
  m_size = int64_t(m_fat.size()) * m_sectorSize + HeaderBytes();
  // Sized from every one of its own FAT sectors: the file is whole.
  m_endProven = m_fatComplete && !m_fat.empty();
  return AS_COMPLETE;
}

int CDocAnalyser::Continue(const ClusterBuf& cb) {
  ZQ_ASSERT(!m_pOleHeader.empty());
  if (m_pOleHeader.empty()) return AS_NONE;
  m_size += cb.cluster_size;
  const int64_t count = m_size;
  if (ReachedAllMaxSizes(count, {"doc", "ppt", "xls"})) {
    m_state = BuildFat();
    m_endProven = false;  // sized at the limit, not by its own end
    return m_state;
  }
  if (!m_cf->Append(cb)) return AS_NONE;
  m_held = ClusterByteOffset(cb) + cb.cluster_size - m_start;
  if (m_nextDifat * m_sectorSize > count) return AS_NONE;
  std::vector<uint8_t> sec(static_cast<size_t>(m_sectorSize));
  while (m_difatLeft > 0) {
    // A DIFAT sector seen before ends the chain rather than walking it again.
    if (m_nextDifat < 0 ||
        std::find(m_difatSeen.begin(), m_difatSeen.end(), m_nextDifat) != m_difatSeen.end()) {
      m_difatLeft = 0;
      m_nextDifat = 0;
      break;
    }
    if (ReadSector(m_nextDifat, sec.data(), m_sectorSize) != m_sectorSize) return AS_NONE;
    m_difatSeen.push_back(m_nextDifat);
    for (uint32_t v, at = 0; kbytes::ReadLe32(sec.data(), sec.size(), at, &v); at += 4) m_difat.push_back(v);
    if (--m_difatLeft > 0) {
      int32_t next = int32_t(m_difat.back());
      m_difat.pop_back();
      if (next > 0) {
        m_nextDifat = next;
        return AS_NONE;
      }
      m_difatLeft = 0;
      m_nextDifat = 0;
    }
  }
  while (!m_difat.empty() && m_difat.back() == kFree) m_difat.pop_back();
  if (count < int64_t(m_difat.size()) * m_sectorSize * m_sectorSize) return AS_NONE;
  m_state = BuildFat();
  return m_state;
}

int CDocAnalyser::OnNewHeader(const FileHint& other, const ClusterBuf& cb) {
  if (other.TypeId == 3) return AS_NONE;
  if (other.TypeId == 39 || other.TypeId == 15 || other.TypeId == 20 || other.TypeId == 18) return AS_ABSORB;
  BuildFat();
  int64_t at = ClusterByteOffset(cb);
  // When every FAT sector was seen the size is known; a file that ends before the next
  // head is not carved with the bytes that lie between.
  if (m_fatComplete && !m_fat.empty() && m_size > 0 && m_size <= at - m_start) {
    m_state = AS_COMPLETE;
    return AS_COMPLETE;
  }
  m_endProven = false;
  return EndAt(at);
}

const char* CDocAnalyser::GetExtension() {
  if (m_ext) return m_ext;
  if (m_pOleHeader.empty()) return "doc/xls/ppt/vsd/msg";
  static const struct {
    const char16_t* name;
    int bytes;
    const char* ext;
  } kNames[] = {{u"Workbook", 16, "xls"},
                {u"PowerPoint", 20, "ppt"},
                {u"WordDocument", 24, "doc"},
                {u"VisioDocument", 26, "vsd"},
                {u"__nameid_version1.0", 38, "msg"}};
  std::vector<uint8_t> sec(static_cast<size_t>(m_sectorSize));
  uint32_t dirStart = kFree;
  kbytes::ReadLe32(m_pOleHeader.data(), m_pOleHeader.size(), 48, &dirStart);
  int64_t s = int32_t(dirStart);
  // Sector 0 is a valid place for the directory; the walk is capped so a FAT cycle ends.
  for (int walked = 0; walked < 100 && s >= 0 && s < int64_t(m_fat.size()); ++walked) {
    if (ReadSector(s, sec.data(), m_sectorSize) == m_sectorSize) {
      for (int e = 0; e + 128 <= m_sectorSize; e += 128) {
        for (const auto& k : kNames) {
          bool same = true;
          for (int i = 0; i < k.bytes / 2 && same; ++i) {
            uint16_t c;
            same = kbytes::ReadLe16(sec.data(), sec.size(), size_t(e + 2 * i), &c) && c == uint16_t(k.name[i]);
          }
          if (same) {
            m_ext = k.ext;
            return m_ext;
          }
        }
      }
    }
    s = int32_t(m_fat[size_t(s)]);
  }
  return "doc/xls/ppt/vsd/msg";
}

int64_t CDocAnalyser::GetSizeForExtension(const char* ext) { return SizeForTypeRows(ext); }

// ---------------------------------------------------------------------------------------
// ZIP family

namespace {

enum : unsigned {
  kDocx = 0x2, kPptx = 0x4, kXlsx = 0x8, kKey = 0x10, kPages = 0x20, kNumbers = 0x40, kOdt = 0x80,
  kOdp = 0x100, kOds = 0x200, kOdg = 0x400, kOdf = 0x800, kOoxml = 0x1000, kIwork = 0x2000, kOdfKind = 0x4000
};

bool Has(const ClusterBuf& cb, const char* s) {
  return FindBytes(cb.GetData(), size_t(cb.cluster_size), s, std::strlen(s)) != nullptr;
}

}  // namespace

CZipAnalyser::CZipAnalyser() : CSignatureAnalyser(3), m_js(), m_flags(0), m_ext() { SetAbsorbs({3, 1, 16}); }


int CZipAnalyser::CheckHeader(const ClusterBuf& cb) {
  if (cb.cluster_size < 512 || std::memcmp(cb.GetData(), "PK\x03\x04", 4) != 0) return AS_NONE;
  m_js.reset(new JointSearch(cb.cluster_size));
  m_flags = 0;
  return Begin(cb, AS_HEADER, 0);
}

void CZipAnalyser::Names(const ClusterBuf& cb) {
  if (m_flags & kOoxml) {
    if (!(m_flags & kDocx) && Has(cb, "word/_rels")) m_flags |= kDocx;
    else if (!(m_flags & kPptx) && Has(cb, "ppt/_rels")) m_flags |= kPptx;
    else if (!(m_flags & kXlsx) && Has(cb, "xl/_rels")) m_flags |= kXlsx;
    return;
  }
  if (m_flags & kIwork) {
    if (!(m_flags & kKey) && Has(cb, "thumbs/")) m_flags |= kKey;
    else if (!(m_flags & kPages) && Has(cb, "Preview.pdf")) m_flags |= kPages;
    else if (!(m_flags & kNumbers) && Has(cb, "chrtshr")) m_flags |= kNumbers;
    return;
  }
  if (Has(cb, "[Content_Types].xml")) m_flags |= kOoxml;
  else if (Has(cb, "QuickLook/")) m_flags |= kIwork;
  else if (Has(cb, "opendocument")) m_flags |= kOdfKind;
  // The member names often share the cluster that revealed the kind (with large clusters
  // the whole central directory may); skipping them would leave every candidate extension.
  // The kind is set now, so this goes no deeper than once.
  if (m_flags & (kOoxml | kIwork)) {
    Names(cb);
    return;
  }
  if (m_flags & kOdfKind) {
    static const struct {
      unsigned flag;
      const char* text;
    } kOd[] = {{kOdt, "textPK"}, {kOdp, "presentationPK"}, {kOds, "spreadsheetPK"}, {kOdg, "graphicsPK"},
               {kOdf, "formulaPK"}};
    for (const auto& o : kOd) {
      if (!(m_flags & o.flag) && Has(cb, o.text)) {
        m_flags |= o.flag;
        break;
      }
    }
  }
}

int CZipAnalyser::Continue(const ClusterBuf& cb) {
  m_size += cb.cluster_size;
  if (ReachedAllMaxSizes(m_size, {"zip", "docx", "pptx", "xlsx"})) {
    m_state = AS_COMPLETE;
    return AS_COMPLETE;
  }
  if (!m_js) return AS_NONE;
  Names(cb);
  m_js->Feed(cb);
  for (;;) {
    uint8_t* p = m_js->Search("PK\x05\x06", 4);
    if (!p) {
      m_js->Skip(std::max(0, m_js->Size() - 3));
      return AS_NONE;
    }
    m_js->MoveTo(p);
    if (m_js->Size() <= 22) return AS_NONE;  // the record's fields come with the next cluster
    const kbytes::ByteView r(p, size_t(m_js->Size()));
    bool ok = true;
    uint16_t field = 0, comment = 0;
    for (int o : {4, 6, 8, 10, 20}) ok = ok && r.Le16(size_t(o), &field) && field < 0x8000;
    uint32_t cdSize = 0, cdOffset = 0;
    ok = ok && r.Le32(12, &cdSize) && r.Le32(16, &cdOffset) && r.Le16(20, &comment);
    ok = ok && cdSize > 0 && cdSize < 0x80000000u && cdOffset > 0 && cdOffset < 0x80000000u;
    int64_t at = ClusterByteOffset(cb) + m_js->OffsetOf(p);
    // The central directory lies just before its end record: a record of an archive stored
    // inside this one, or stray bytes that look like one, does not end the file.
    ok = ok && int64_t(cdOffset) + cdSize == at - m_start;
    if (ok) return Proven(EndAt(at + 22 + comment));
    m_js->Skip(1);  // the search resumes one byte past a rejected record
  }
}

const char* CZipAnalyser::GetExtension() {
  if (!(m_flags & (kOoxml | kIwork | kOdfKind))) return "zip";
  std::string s;
  auto add = [&](const char* e) { s += "/"; s += e; };
  if (m_flags & kIwork) {
    bool any = false;
    if (m_flags & kKey) add("key"), any = true;
    if (m_flags & kPages) add("pages"), any = true;
    if (m_flags & kNumbers) add("numbers"), any = true;
    if (!any) add("numbers");
  }
  if (m_flags & kOoxml) {
    bool any = false;
    if (m_flags & kDocx) add("docx"), any = true;
    if (m_flags & kPptx) add("pptx"), any = true;
    if (m_flags & kXlsx) add("xlsx"), any = true;
    if (!any) add("docx"), add("pptx"), add("xlsx");
  }
  if (m_flags & kOdfKind) {
    bool any = false;
    if (m_flags & kOdt) add("odt"), any = true;
    if (m_flags & kOdp) add("odp"), any = true;
    if (m_flags & kOds) add("ods"), any = true;
    if (m_flags & kOdg) add("odg"), any = true;
    if (m_flags & kOdf) add("odf"), any = true;
    // A package that says it is OpenDocument but names no kind is still a sound archive:
    // it is offered as a plain zip (kept only when zip files are asked for).
    if (!any && s.empty()) add("zip");
  }
  std::snprintf(m_ext, sizeof m_ext, "%s", s.c_str() + (s.empty() ? 0 : 1));
  return m_ext;
}

int64_t CZipAnalyser::GetSizeForExtension(const char* ext) { return SizeForTypeRows(ext); }

// ---------------------------------------------------------------------------------------
// PDF

namespace {

// True when p begins an object ("12 0 obj") or a cross-reference section ("xref"); too few
// bytes in view to tell answer false.
bool PdfUpdateFollows(const uint8_t* p, int len) {
  if (len < 12) return false;
  if (std::memcmp(p, "xref", 4) == 0) return true;
  int i = 0;
  for (int field = 0; field < 2; ++field) {
    int digits = 0;
    while (i < len && digits < 10 && p[i] >= '0' && p[i] <= '9') ++i, ++digits;
    if (digits == 0 || i >= len || p[i] != ' ') return false;
    ++i;
  }
  return i + 3 <= len && std::memcmp(p + i, "obj", 3) == 0;
}

}  // namespace

CPdfAnalyser::CPdfAnalyser() : CSignatureAnalyser(9), m_js(), m_linearized(0) {}


int CPdfAnalyser::CheckHeader(const ClusterBuf& cb) {
  if (cb.cluster_size < 512 || std::memcmp(cb.GetData(), "%PDF-1", 6) != 0) return AS_NONE;
  m_js.reset(new JointSearch(cb.cluster_size));
  m_linearized = 0;
  return Begin(cb, AS_HEADER, 0);
}

int CPdfAnalyser::Continue(const ClusterBuf& cb) {
  if (CountLimit(cb)) return AS_COMPLETE;
  if (!m_js) return AS_NONE;
  m_js->Feed(cb);
  while (m_linearized == 0) {
    uint8_t* lin = m_js->Search("/Linearized", 11);
    if (!lin) {
      m_js->Skip(std::max(0, m_js->Size() - 10));
      break;
    }
    m_js->MoveTo(lin);
    uint8_t* l = m_js->Search("/L ", 3);
    if (!l) break;  // tried again from "/Linearized" with the next cluster
    const uint8_t* end = m_js->GetStart() + m_js->Size();
    const uint8_t* q = l + 3;
    int64_t v = 0;
    int digits = 0;
    while (q < end && *q >= '0' && *q <= '9') {
      if (digits == 18) {  // a 19th digit: more than any file can be, and past int64
        ++digits;
        break;
      }
      v = v * 10 + (*q - '0');
      ++q;
      ++digits;
    }
    if (q == end) break;  // the number may go on in the next cluster
    if (digits == 0 || digits > 18) {
      // Not a length any file can have: the search resumes one byte past this dictionary.
      m_js->Skip(1);
      continue;
    }
    m_linearized = v;
  }
  const uint8_t* d = cb.GetData();
  const int n = cb.cluster_size;
  const int64_t at = ClusterByteOffset(cb);
  // A marker cut by the unit boundary (sector-mode units are 512 bytes) is found from the
  // last three bytes of the unit before, when that unit lies just before this one.
  int markerEnd = -1;
  if (m_tailLen > 0 && m_tailEnd == at) {
    uint8_t joint[6];
    const int head = std::min(n, 3);
    std::memcpy(joint, m_tail, size_t(m_tailLen));
    std::memcpy(joint + m_tailLen, d, size_t(head));
    const uint8_t* hit = FindBytes(joint, size_t(m_tailLen + head), "%EOF", 4);
    if (hit && hit - joint < m_tailLen) markerEnd = int(hit - joint) - m_tailLen + 4;
  }
  m_tailLen = std::min(n, 3);
  std::memcpy(m_tail, d + n - m_tailLen, size_t(m_tailLen));
  m_tailEnd = at + n;
  if (m_linearized > m_size + cb.cluster_size) return AS_NONE;
  int from = 0;
  for (;;) {
    if (markerEnd < 0) {
      const uint8_t* hit = FindBytes(d + from, size_t(n - from), "%EOF", 4);
      if (!hit) return AS_NONE;
      markerEnd = int(hit - d) + 4;
    }
    // The file ends after the marker's line end (CR, LF or both) where that is in view.
    int i = markerEnd;
    if (i < n && d[i] == '\r') ++i;
    if (i < n && d[i] == '\n') ++i;
    // An incremental update appends objects, a new cross-reference section and another end
    // mark after the first: the file goes on when one begins right after this mark.
    if (!PdfUpdateFollows(d + i, n - i)) return Proven(EndAt(at + i));
    from = i;
    markerEnd = -1;
  }
}

int CPdfAnalyser::OnNewHeader(const FileHint&, const ClusterBuf&) {
  m_state = AS_GIVEN_UP;
  return AS_GIVEN_UP;
}

// ---------------------------------------------------------------------------------------
// DWG

namespace {
const uint8_t kDwgSentinels[2][20] = {
    {0x2b, 0x84, 0xde, 0x31, 0xd7, 0x6c, 0x60, 0x40, 0xac, 0xdb, 0xbf, 0xf6, 0xed, 0xc3, 0x55, 0xfe, 0, 0, 1, 0},
    {0x2b, 0x84, 0xde, 0x31, 0xd7, 0x6c, 0x60, 0x40, 0xac, 0xdb, 0xbf, 0xf6, 0xed, 0xc3, 0x55, 0xfe, 0, 0, 0, 0}};
}

CDwgAnalyser::CDwgAnalyser() : CSignatureAnalyser(43), m_version(0), m_tag(), m_frame(), m_skipNext(false), m_js() {}


int CDwgAnalyser::CheckHeader(const ClusterBuf& cb) {
  const uint8_t* d = cb.GetData();
  if (cb.cluster_size < 512) return AS_NONE;
  unsigned v = 0;
  if (!std::memcmp(d, "AC1018", 6)) v = 0x1;
  else if (!std::memcmp(d, "AC1021", 6)) v = 0x2;
  else if (!std::memcmp(d, "AC1024", 6)) v = 0x4;
  else if (!std::memcmp(d, "AC1014", 6) || !std::memcmp(d, "AC1015", 6)) v = 0x8;
  else return AS_NONE;
  m_version = v;
  m_frame.reset();
  if (v & 0x7) {
    std::memset(m_tag, 0, sizeof m_tag);
    for (int i = 0; i < 8 && d[128 + i]; ++i) m_tag[i] = d[128 + i];
    // An empty tag would be eight zero bytes and match any stretch of free space: such a
    // drawing is ended only by the next head or the size limit.
    if (m_tag[0]) m_frame.reset(new MatchFrame(m_tag, 8, -1));
  }
  m_skipNext = true;
  m_js.reset(new JointSearch(cb.cluster_size));
  return Begin(cb, AS_HEADER, 0);
}

int CDwgAnalyser::Continue(const ClusterBuf& cb) {
  if (m_skipNext) {
    m_skipNext = false;
    return AS_NONE;
  }
  if (CountLimit(cb)) return AS_COMPLETE;
  if (!m_js) return AS_NONE;
  m_js->Feed(cb);
  const int64_t off = ClusterByteOffset(cb);
  if (m_version & 0x7) {
    if (!m_frame) return AS_NONE;
    uint8_t* p = m_js->Search(m_frame->bytes(), 8);
    if (!p) {
      m_js->Skip(std::max(0, m_js->Size() - 7));
      return AS_NONE;
    }
    m_js->MoveTo(p);
    return EndAt(off + m_js->OffsetOf(p) + ((m_version & 0x2) ? 1024 : 108));
  }
  uint8_t* best = nullptr;
  for (const auto& s : kDwgSentinels) {
    uint8_t* p = m_js->Search(s, 20);
    if (p && (!best || p < best)) best = p;
  }
  if (!best) {
    m_js->Skip(std::max(0, m_js->Size() - 19));
    return AS_NONE;
  }
  m_js->MoveTo(best);
  return EndAt(off + m_js->OffsetOf(best) + 20);
}

// ---------------------------------------------------------------------------------------
// MAT-file

CMatAnalyser::CMatAnalyser() : CSignatureAnalyser(44), m_next(0), m_js(), m_clusterSize(0) {}


int CMatAnalyser::CheckHeader(const ClusterBuf& cb) {
  const uint8_t* d = cb.GetData();
  if (cb.cluster_size < 512 || std::memcmp(d, "MATLAB 5.0 MAT-file", 19) != 0) return AS_NONE;
  m_clusterSize = cb.cluster_size;
  // The first data element's tag follows the 128-byte header: its type and byte count.
  uint32_t type = 0, bytes = 0;
  const kbytes::ByteView h(d, size_t(cb.cluster_size));
  m_next = h.Le32(128, &type) && h.Le32(132, &bytes) && type >= 1 && type <= 15 ? int64_t(bytes) + 136 : 0;
  m_js.reset(new JointSearch(cb.cluster_size));
  return Begin(cb, AS_HEADER, 0);
}

int CMatAnalyser::Continue(const ClusterBuf& cb) {
  if (CountLimit(cb)) return AS_COMPLETE;
  if (!m_js) return AS_NONE;
  m_js->Feed(cb);
  if (m_next <= 0) return AS_NONE;
  const int64_t count = m_size;
  const uint8_t* end = m_js->GetStart() + m_js->Size();
  while (count - m_next >= 9) {
    if (count - m_next > m_js->Size()) {
      m_next = 0;  // the element lies before the bytes held: the walk cannot go on
      return AS_NONE;
    }
    const kbytes::ByteView tag(end - (count - m_next), size_t(count - m_next));
    uint32_t type = 0, bytes = 0;
    if (!tag.Le32(0, &type) || !tag.Le32(4, &bytes)) return AS_NONE;
    if (type < 1 || type > 15) {
      m_size = m_next;
      m_state = AS_COMPLETE;
      m_endProven = true;
      return AS_COMPLETE;
    }
    m_next += 8 + int64_t(bytes);
  }
  return AS_NONE;
}
