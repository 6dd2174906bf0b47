#include "rawrecovery/fileanalyser/midanalyser.h"

#include <cstring>

#include "common/inc/bytes.h"

namespace {

using kbytes::ReadBe32;
using sigfamily::Data;
using sigfamily::MaxSizeOf;

const MatchFrame kMidHead("MThd\0\0\0\x06", 8, 0), kMidEnd("\0\0\xff\x2f\0\0", 6, -1);

}  // namespace

CMidAnalyser::CMidAnalyser() : CSignatureAnalyser(26), m_tracks(0), m_seen(0) {}
int CMidAnalyser::CheckHeader(const ClusterBuf& cb) {
  const uint8_t* d = Data(cb);
  if (!kMidHead.Test(d, cb.cluster_size) || cb.cluster_size < 14) return AS_NONE;
  uint16_t tracks = 0;
  if (!kbytes::ReadBe16(d, size_t(cb.cluster_size), 10, &tracks)) return AS_NONE;
  Begin(cb, AS_HEADER, 0);
  m_tracks = tracks;
  m_seen = 0;
  StartUnits(m_start);
  return AS_HEADER;
}
int CMidAnalyser::UnitHead(const uint8_t* h, int avail, int64_t at, int64_t* len) {
  uint32_t chunk = 0;
  if (avail < 8 || !ReadBe32(h, size_t(avail), 4, &chunk)) return -1;
  for (int i = 0; i < 4; ++i)
    if (h[i] < 0x20 || h[i] > 0x7e) return 0;
  const int64_t size = int64_t(chunk);
  if (size > MaxSizeOf(m_hint.ext)) return 0;
  *len = 8 + size;
  // The header chunk says how many tracks follow; the file ends with the last of them.
  if (at == m_start) return m_tracks == 0 ? 2 : 1;
  if (std::memcmp(h, "MTrk", 4) == 0 && ++m_seen >= m_tracks) return 2;
  return 1;
}
int CMidAnalyser::Continue(const ClusterBuf& cb) {
  if (CountLimit(cb)) return AS_COMPLETE;
  return WalkUnits(cb);
}
int CMidAnalyser::OnNewHeader(const FileHint& other, const ClusterBuf& cb) {
  int r = EndAtPendingHead(cb);
  return r >= 0 ? r : CSignatureAnalyser::OnNewHeader(other, cb);
}
