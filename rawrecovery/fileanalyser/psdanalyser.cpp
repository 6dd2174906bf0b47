#include "rawrecovery/fileanalyser/psdanalyser.h"

#include "common/inc/bytes.h"

namespace {

using sigfamily::Data;

const MatchFrame kPsd("8BPS", 0);

}  // namespace

// Photoshop: a 26-byte header, then three sections each led by its length (colour mode
// data, image resources, layer and mask information; the last with an 8-byte length in the
// large-document form), then the merged image: a 2-byte compression code and either the raw
// planes or, run-length coded, one byte count per row and plane followed by the rows.
namespace {
enum PsdStage { kPsdUnknown, kPsdColour, kPsdResources, kPsdLayers, kPsdCompression, kPsdCounts };
// Lengths past this cannot belong to a file of any table size; the walk gives up on them.
const int64_t kPsdLimit = int64_t(1) << 40;
}  // namespace

CPsdAnalyser::CPsdAnalyser()
    : CSignatureAnalyser(8), m_stage(kPsdUnknown), m_psb(false), m_pos(0), m_acc(0), m_accLen(0), m_rows(0),
      m_rowBytes(0), m_entries(0), m_sum(0), m_lastEnd(-1) {}
int CPsdAnalyser::CheckHeader(const ClusterBuf& cb) {
  const uint8_t* d = Data(cb);
  if (!kPsd.Test(d, cb.cluster_size) || cb.cluster_size < 26) return AS_NONE;
  // The file header: version, channel count, height, width and depth.
  const kbytes::ByteView h(d, size_t(cb.cluster_size));
  uint16_t version = 0, channels = 0, depth = 0;
  uint32_t height = 0, width = 0;
  if (!h.Be16(4, &version) || !h.Be16(12, &channels) || !h.Be32(14, &height) || !h.Be32(18, &width) ||
      !h.Be16(22, &depth))
    return AS_NONE;
  const uint32_t most = version == 2 ? 300000u : 30000u;
  const bool sound = (version == 1 || version == 2) && channels >= 1 && channels <= 56 && height >= 1 &&
                     height <= most && width >= 1 && width <= most &&
                     (depth == 1 || depth == 8 || depth == 16 || depth == 32);
  m_stage = sound ? kPsdColour : kPsdUnknown;
  m_psb = version == 2;
  m_pos = 26;
  m_acc = 0;
  m_accLen = 0;
  m_rows = int64_t(channels) * height;
  m_rowBytes = (int64_t(width) * depth + 7) / 8;
  m_entries = 0;
  m_sum = 0;
  m_lastEnd = -1;
  return Begin(cb, AS_HEADER, 0);
}
int CPsdAnalyser::Complete(int64_t size) {
  m_size = size;
  m_state = AS_COMPLETE;
  m_endProven = true;
  return AS_COMPLETE;
}
int CPsdAnalyser::Continue(const ClusterBuf& cb) {
  if (CountLimit(cb)) return AS_COMPLETE;
  const int64_t off = ClusterByteOffset(cb);
  const int n = cb.cluster_size;
  const int64_t base = off - m_start;  // file offset of this unit's first byte
  // The walk reads the file as one run; units skipped in between end it.
  if (m_lastEnd >= 0 && m_lastEnd != off) m_stage = kPsdUnknown;
  m_lastEnd = off + n;
  if (m_stage == kPsdUnknown) return ZeroTail(cb, 64);
  const uint8_t* d = Data(cb);
  while (m_pos < base + n) {
    const int need = m_stage == kPsdLayers ? (m_psb ? 8 : 4)
                     : m_stage == kPsdCompression ? 2
                     : m_stage == kPsdCounts ? (m_psb ? 4 : 2)
                                           : 4;
    while (m_accLen < need && m_pos < base + n) {
      m_acc = (m_acc << 8) | d[m_pos - base];
      ++m_pos;
      ++m_accLen;
    }
    if (m_accLen < need) break;
    const uint64_t v = m_acc;
    m_acc = 0;
    m_accLen = 0;
    if (m_stage == kPsdCounts) {
      m_sum += int64_t(v);
      if (--m_entries == 0) return Complete(m_pos + m_sum);
      continue;
    }
    if (m_stage == kPsdCompression) {
      if (v == 0 && m_rows * m_rowBytes < kPsdLimit) return Complete(m_pos + m_rows * m_rowBytes);
      if (v == 1) {
        m_entries = m_rows;
        m_stage = kPsdCounts;
        continue;
      }
      m_stage = kPsdUnknown;  // deflated image data carries no length
      return ZeroTail(cb, 64);
    }
    if (v >= uint64_t(kPsdLimit) || m_pos + int64_t(v) >= kPsdLimit) {
      m_stage = kPsdUnknown;
      return ZeroTail(cb, 64);
    }
    m_pos += int64_t(v);
    m_stage = m_stage == kPsdColour ? kPsdResources : m_stage == kPsdResources ? kPsdLayers : kPsdCompression;
  }
  return AS_NONE;
}
