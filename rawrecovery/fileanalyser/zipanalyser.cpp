#include "rawrecovery/fileanalyser/zipanalyser.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/inc/bytes.h"

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
