#include "rawrecovery/fileanalyser/dwganalyser.h"

#include <algorithm>
#include <cstring>

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
