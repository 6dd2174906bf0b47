#include "rawrecovery/fileanalyser/pdfanalyser.h"

#include <algorithm>
#include <cstring>

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
