#include "rawrecovery/fileanalyser/mxfanalyser.h"

#include <algorithm>
#include <cstring>

namespace {

using sigfamily::Data;
using sigfamily::kInt64Max;

const MatchFrame kMxfHead("\x06\x0e\x2b\x34\x02\x05\x01\x01\x0d\x01\x02\x01\x01\x02", 14, 0);
const MatchFrame kMxfEnd("\x06\x0e\x2b\x34\x02\x05\x01\x01\x0d\x01\x02\x01\x01\x04\x04\x00", 16, -1);

}  // namespace

CMxfAnalyser::CMxfAnalyser() : CSignatureAnalyser(45) {}
int CMxfAnalyser::CheckHeader(const ClusterBuf& cb) {
  if (!kMxfHead.Test(Data(cb), cb.cluster_size)) return AS_NONE;
  return Begin(cb, AS_HEADER, 0);
}
int CMxfAnalyser::UnitHead(const uint8_t* h, int avail, int64_t, int64_t* len) {
  static const uint8_t kKey[4] = {0x06, 0x0e, 0x2b, 0x34};
  if (std::memcmp(h, kKey, size_t(std::min(avail, 4))) != 0) return 0;
  if (avail < 17) return -1;
  // The length after the 16-byte key is BER coded: short, or 0x80 + the count of bytes.
  int64_t n = h[16];
  int head = 17;
  if (n & 0x80) {
    int c = int(n & 0x7f);
    if (c == 0 || c > 8) return 0;
    if (avail < 17 + c) return -1;
    uint64_t v = 0;
    for (int i = 0; i < c; ++i) v = (v << 8) | h[17 + i];
    if (v > uint64_t(kInt64Max / 4)) return 0;
    n = int64_t(v);
    head += c;
  }
  *len = head + n;
  m_breakProven = true;  // whole packets from the footer on: the file ends where they stop
  // The random index pack is the last packet of a file.
  static const uint8_t kRip[16] = {0x06, 0x0e, 0x2b, 0x34, 0x02, 0x05, 0x01, 0x01,
                                   0x0d, 0x01, 0x02, 0x01, 0x01, 0x11, 0x01, 0x00};
  return std::memcmp(h, kRip, 16) == 0 ? 2 : 1;
}
int CMxfAnalyser::Continue(const ClusterBuf& cb) {
  if (CountLimit(cb)) return AS_COMPLETE;
  if (m_unitAt >= 0) return WalkUnits(cb);
  const int64_t off = ClusterByteOffset(cb);
  // Kept before the marker search, which moves them on when no marker is found.
  uint8_t tail[sizeof m_tail];
  const int tailLen = m_tailEnd == off ? m_tailLen : 0;
  std::memcpy(tail, m_tail, size_t(tailLen));
  int r = EndMarker(cb, kMxfEnd, 16);
  if (r != AS_ENDED) return r;
  // The footer partition key is found: the packets from it on are walked to the file's end.
  const int64_t key = m_end - 16;
  m_state = AS_HEADER;
  StartUnits(key);
  if (key < off) {
    // The key began in the unit before: its first bytes are the kept tail's last ones.
    const int64_t cut = off - key;
    if (cut > tailLen) return EndWalk(m_end, false);
    m_head.assign(tail + tailLen - cut, tail + tailLen);
    m_headEnd = off;
  }
  return WalkUnits(cb);
}
int CMxfAnalyser::OnNewHeader(const FileHint& other, const ClusterBuf& cb) {
  int r = EndAtPendingHead(cb);
  return r >= 0 ? r : CSignatureAnalyser::OnNewHeader(other, cb);
}
