#include "rawrecovery/fileanalyser/jpganalyser.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "common/inc/bytes.h"

CJpgAnalyser::CJpgAnalyser() : CSignatureAnalyser(1), m_count(0), m_next(0), m_carry(), m_carryLen(0) {}


int CJpgAnalyser::CheckHeader(const ClusterBuf& cb) {
  const uint8_t* d = cb.GetData();
  if (cb.cluster_size < 16 || d[0] != 0xff || d[1] != 0xd8 || d[2] != 0xff) return AS_NONE;
  // A motion-JPEG frame inside an AVI is not a picture of its own.
  if (std::memcmp(d, "\xff\xd8\xff\xe0\x00\x10" "AVI1", 10) == 0) return AS_NONE;
  if (!(d[3] == 0xe0 || d[3] == 0xe1 || d[3] == 0xfe || d[3] == 0xed) || d[4] == 0xff) return AS_NONE;
  m_count = 0;
  m_carryLen = 0;
  Begin(cb, AS_HEADER, 0);
  m_next = m_start + 2;
  return AS_HEADER;
}

int CJpgAnalyser::Continue(const ClusterBuf& cb) {
  const int cs = cb.cluster_size;
  const int64_t off = ClusterByteOffset(cb);
  m_count += cs;
  if (m_count > m_hint.MaxSize) {
    m_size = m_count;
    m_state = AS_COMPLETE;
    return AS_COMPLETE;
  }
  if (m_next >= off + cs) return AS_NONE;
  // The walk runs over buf: the cluster, preceded by a marker start carried from the last
  // cluster when the walk begins at this cluster's first byte.
  const uint8_t* buf = cb.GetData();
  int n = cs;
  int carry = 0;
  std::vector<uint8_t> joined;
  int i = int(std::max<int64_t>(0, m_next - off));
  if (i == 0 && m_carryLen > 0) {
    carry = m_carryLen;
    joined.assign(m_carry, m_carry + carry);
    joined.insert(joined.end(), buf, buf + cs);
    buf = joined.data();
    n = int(joined.size());
  }
  m_carryLen = 0;
  const int64_t base = off - carry;  // device offset of buf[0]
  while (i < n) {
    const uint8_t* ff = static_cast<const uint8_t*>(std::memchr(buf + i, 0xff, size_t(n - i)));
    if (!ff) break;
    int m = int(ff - buf);
    while (m + 1 < n && buf[m + 1] == 0xff) ++m;
    if (m + 1 >= n) {
      m_carry[0] = 0xff;
      m_carryLen = 1;
      break;
    }
    uint8_t code = buf[m + 1];
    if (code == 0xd9) {
      // The walk steps over every segment by its length and entropy-coded data stuffs its
      // FF bytes, so the end of image it meets is the picture's own end, whatever the slack
      // after it holds; unless a further picture begins right after it (the images of a
      // multi-picture file), when the walk goes on through that one.
      if (!(m + 4 < n && buf[m + 2] == 0xff && buf[m + 3] == 0xd8 && buf[m + 4] == 0xff))
        return Proven(EndAt(base + m + 2));
      i = m + 2;
      continue;
    }
    if (code == 0xd8) {
      int64_t end = base + m + 2;
      if (IsSectorTailZero(buf + m + 2, size_t(n - (m + 2)), end)) return EndAt(end);
      i = m + 2;  // not followed by zeros: not the end, the walk goes on past it
      continue;
    }
    if ((code >= 0xc0 && code <= 0xcf) || (code >= 0xda && code <= 0xfe)) {
      if (n - m < 4) {
        m_carryLen = n - m;
        std::memcpy(m_carry, buf + m, size_t(m_carryLen));
        break;
      }
      uint16_t segment = 0;
      kbytes::ReadBe16(buf, size_t(n), size_t(m + 2), &segment);  // n - m >= 4: held
      int next = m + 2 + segment;
      if (next >= n) {
        m_next = base + next;
        return AS_NONE;
      }
      i = next;
      continue;
    }
    i = m + 2;
  }
  m_next = off + cs;
  return AS_NONE;
}
