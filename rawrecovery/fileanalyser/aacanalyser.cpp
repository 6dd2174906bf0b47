#include "rawrecovery/fileanalyser/aacanalyser.h"

#include <cstring>

CAacAnalyser::CAacAnalyser() : CSignatureAnalyser(28), m_head(), m_tagged(false) {}


int CAacAnalyser::CheckHeader(const ClusterBuf& cb) {
  const uint8_t* d = cb.GetData();
  if (cb.cluster_size < 4 || d[0] != 0xff || !(d[1] == 0xf1 || d[1] == 0xf8 || d[1] == 0xf9) ||
      !(d[2] == 0x5c || d[2] == 0x60) || !(d[3] == 0x80 || d[3] == 0x40))
    return AS_NONE;
  std::memcpy(m_head, d, 4);
  m_head[3] &= 0xfc;
  m_zeroRun = 0;
  Begin(cb, AS_HEADER, 0);
  m_tagged = false;
  StartUnits(m_start);
  return AS_HEADER;
}

int CAacAnalyser::UnitHead(const uint8_t* h, int avail, int64_t, int64_t* len) {
  if (h[0] == 0xff && !m_tagged) {
    if (avail < 7) return -1;
    // A frame of the same stream: profile, rate and channels as the first one; its 13-bit
    // length counts its header.
    if (h[1] == m_head[1] && h[2] == m_head[2] && (h[3] & 0xf0) == (m_head[3] & 0xf0)) {
      int n = ((h[3] & 3) << 11) | (h[4] << 3) | (h[5] >> 5);
      if (n < 7) return 0;
      *len = n;
      m_breakProven = true;  // whole frames: the file ends where they stop
      return 1;
    }
  }
  if (m_units == 0) return 0;
  int r = AudioTagAt(h, avail, len);
  if (r == 1) m_tagged = true;
  return r;
}

int CAacAnalyser::Continue(const ClusterBuf& cb) {
  if (CountLimit(cb)) return AS_COMPLETE;
  return WalkUnits(cb);
}

int CAacAnalyser::OnNewHeader(const FileHint& other, const ClusterBuf& cb) {
  const uint8_t* d = cb.GetData();
  // A frame head where the walk expects the next frame is the stream's own.
  if (other.TypeId == m_hint.TypeId && UnitStartsAt(cb) && !m_tagged) return AS_ABSORB;
  if (other.TypeId == 28 && cb.cluster_size >= 4 && ClusterByteOffset(cb) - m_start > 0x40000 &&
      d[0] == m_head[0] && d[1] == m_head[1] && d[2] == m_head[2] && uint8_t(d[3] & 0xfc) == m_head[3])
    return AS_ABSORB;
  int pending = EndAtPendingHead(cb);
  if (pending >= 0) return pending;
  return EndAt(ClusterByteOffset(cb));
}
