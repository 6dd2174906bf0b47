#include "rawrecovery/fileanalyser/bz2analyser.h"

#include <algorithm>

namespace {

using sigfamily::Data;

const MatchFrame kBz2("BZh", 0);

}  // namespace

// bzip2: blocks of Huffman-coded bits, no length anywhere; the stream ends with the 48-bit
// mark 0x177245385090 at any bit position, the 32-bit CRC of the stream and zero bits to the
// next byte. Whatever bit the mark ends on, the file ends 4 bytes after the mark's last byte.
namespace {
const uint64_t kBz2Eos = 0x177245385090ull;
const uint64_t kMask48 = 0xffffffffffffull;
// Whatever bit the mark begins on (0 to 7 bits into the last 8 bytes held), bits 16 to 23
// of the bytes held lie inside it, so that byte can only be one of eight values: the other
// 248 rule a place out with one look-up.
struct MarkBytes {
  bool can[256] = {};
  MarkBytes() {
    for (int shift = 0; shift < 8; ++shift) can[(kBz2Eos >> (16 - shift)) & 0xff] = true;
  }
};
const MarkBytes kMarkBytes;
bool IsBz2Stream(const uint8_t* p) { return p[0] == 'B' && p[1] == 'Z' && p[2] == 'h' && p[3] >= '1' && p[3] <= '9'; }
}  // namespace

CBz2Analyser::CBz2Analyser()
    : CSignatureAnalyser(40), m_bits(0), m_fed(0), m_streamEnd(-1), m_after(), m_afterLen(0), m_lastEnd(-1) {}
int CBz2Analyser::CheckHeader(const ClusterBuf& cb) {
  if (!kBz2.Test(Data(cb), cb.cluster_size)) return AS_NONE;
  m_bits = 0;
  m_fed = 0;
  m_streamEnd = -1;
  m_afterLen = 0;
  m_lastEnd = -1;
  return Begin(cb, AS_HEADER, 0);
}
int CBz2Analyser::Continue(const ClusterBuf& cb) {
  if (CountLimit(cb)) return AS_COMPLETE;
  const uint8_t* d = Data(cb);
  const int n = cb.cluster_size;
  const int64_t off = ClusterByteOffset(cb);
  const bool adjacent = m_lastEnd == off;
  m_lastEnd = off + n;
  int i = 0;
  if (m_streamEnd >= 0) {
    // A stream ended near the end of the unit before: the bytes after it tell whether a
    // further stream follows (concatenated and parallel-compressed files).
    if (!adjacent) return Proven(EndAt(m_streamEnd));
    int64_t from = std::max(m_streamEnd, off);
    for (int64_t p = from; p < off + n && m_afterLen < 4; ++p) m_after[m_afterLen++] = d[p - off];
    if (m_afterLen < 4) return AS_NONE;
    if (!IsBz2Stream(m_after)) return Proven(EndAt(m_streamEnd));
    m_streamEnd = -1;
    m_afterLen = 0;
  } else if (!adjacent && m_fed > 0) {
    m_fed = 0;  // units in between were skipped: a mark cannot run across them
  }
  for (; i < n; ++i) {
    m_bits = (m_bits << 8) | d[i];
    if (++m_fed < 6 || !kMarkBytes.can[(m_bits >> 16) & 0xff]) continue;
    bool mark = false;
    for (int shift = 0; shift < 8 && !mark; ++shift)
      mark = ((m_bits >> shift) & kMask48) == kBz2Eos && (shift == 0 || m_fed >= 7);
    if (!mark) continue;
    const int64_t end = off + i + 1 + 4;
    if (end + 4 <= off + n) {
      if (!IsBz2Stream(d + (end - off))) return Proven(EndAt(end));
      continue;  // the next stream begins at once: the file goes on
    }
    m_streamEnd = end;
    m_afterLen = 0;
    for (int64_t p = end; p < off + n; ++p) m_after[m_afterLen++] = d[p - off];
    return AS_NONE;
  }
  return ZeroRun(cb, 1024);
}
