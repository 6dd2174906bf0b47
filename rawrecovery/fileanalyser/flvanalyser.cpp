#include "rawrecovery/fileanalyser/flvanalyser.h"

#include "common/inc/bytes.h"

namespace {

using kbytes::ReadBe32;
using sigfamily::Data;

const MatchFrame kFlv("FLV\x01", 0);

}  // namespace

CFlvAnalyser::CFlvAnalyser() : CSignatureAnalyser(22) {}
int CFlvAnalyser::CheckHeader(const ClusterBuf& cb) {
  const uint8_t* d = Data(cb);
  if (!kFlv.Test(d, cb.cluster_size) || cb.cluster_size < 9) return AS_NONE;
  Begin(cb, AS_HEADER, 0);
  // Tags follow the header and the first back pointer; a header of another length is not
  // walked and ends by its zero tail.
  uint32_t dataOffset = 0;
  if (ReadBe32(d, size_t(cb.cluster_size), 5, &dataOffset) && dataOffset >= 9 && dataOffset <= 1024)
    StartUnits(m_start);
  return AS_HEADER;
}
int CFlvAnalyser::UnitHead(const uint8_t* h, int avail, int64_t at, int64_t* len) {
  if (at == m_start) {
    uint32_t dataOffset = 0;
    if (avail < 9 || !ReadBe32(h, size_t(avail), 5, &dataOffset)) return -1;
    *len = int64_t(dataOffset) + 4;
    return 1;
  }
  // A tag: audio, video or script data, stream id 0; its back pointer follows its data.
  const int type = h[0];
  if ((type & 0xc0) || !((type & 0x1f) == 8 || (type & 0x1f) == 9 || (type & 0x1f) == 18)) return 0;
  if (avail < 11) return -1;
  if (h[8] | h[9] | h[10]) return 0;
  *len = 11 + int64_t((uint32_t(h[1]) << 16) | (uint32_t(h[2]) << 8) | h[3]) + 4;
  m_breakProven = true;  // the tags walked so far end where the next is not one
  return 1;
}
int CFlvAnalyser::Continue(const ClusterBuf& cb) {
  if (CountLimit(cb)) return AS_COMPLETE;
  if (m_unitAt >= 0) return WalkUnits(cb);
  return ZeroTail(cb, 64);
}
int CFlvAnalyser::OnNewHeader(const FileHint& other, const ClusterBuf& cb) {
  int r = EndAtPendingHead(cb);
  return r >= 0 ? r : CSignatureAnalyser::OnNewHeader(other, cb);
}
