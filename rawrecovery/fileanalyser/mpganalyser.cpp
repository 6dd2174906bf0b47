#include "rawrecovery/fileanalyser/mpganalyser.h"

#include <algorithm>
#include <cstring>

#include "common/inc/bytes.h"
#include "common/inc/kestrum_types.h"

CMpgAnalyser::CMpgAnalyser() : CFrameWalkAnalyser(23), m_system(), m_endAt(0), m_packs(false) {
  std::memset(m_system, 0xfe, sizeof m_system);
}


int CMpgAnalyser::CheckHeader(const ClusterBuf& cb) {
  const uint8_t* d = cb.GetData();
  if (cb.cluster_size < 512) return AS_NONE;
  if (std::memcmp(d, "\0\0\x01\xba", 4) != 0 && std::memcmp(d, "\0\0\x01\xb3", 4) != 0) return AS_NONE;
  const uint8_t* keep = nullptr;
  if (!std::memcmp(d + 12, "\0\0\x01\xbb", 4) || !std::memcmp(d + 12, "\0\0\x01\xb5", 4) ||
      !std::memcmp(d + 12, "\0\0\x01\xb8", 4) || !std::memcmp(d + 12, "\0\0\x01\xb2", 4))
    keep = d + 16;
  else if (!std::memcmp(d + 14, "\0\0\x01\xbb", 4))
    keep = d + 18;
  else
    return AS_NONE;
  std::memcpy(m_system, keep, 16);
  Begin(cb, AS_HEADER, 0);
  m_next = m_start;
  m_packs = d[3] == 0xba;
  StartWalk(cb);
  return AS_HEADER;
}

int CMpgAnalyser::OnFed(const uint8_t* b, int len, int64_t base) {
  if (m_packs) return AS_NONE;  // the pack walk meets the end code where it stands
  if (len > 4 && std::memcmp(b, "\0\0\x01\xb9", 4) == 0) return EndAt(base + 4);
  return AS_NONE;
}

int CMpgAnalyser::UnitAtExpected(uint8_t* p, int avail, int64_t* len) {
  // A stream of video sequences has no lengths to follow: it is searched as before.
  if (!m_packs) return -2;
  static const uint8_t kPrefix[3] = {0, 0, 1};
  if (avail < 4) return std::memcmp(p, kPrefix, size_t(std::min(avail, 3))) == 0 ? -1 : 0;
  if (std::memcmp(p, kPrefix, 3) != 0) return 0;  // the stream ends after its last whole pack
  const uint8_t code = p[3];
  if (code == 0xb9) {
    m_endProven = true;
    *len = OffsetAt(p) + 4;
    return 2;
  }
  if (code == 0xba) {
    if (avail < 5) return -1;
    if ((p[4] & 0xf0) == 0x20) {  // MPEG-1 pack header
      *len = 12;
      return 1;
    }
    if ((p[4] & 0xc0) != 0x40) return 0;
    if (avail < 14) return -1;
    *len = 14 + (p[13] & 7);  // MPEG-2, with its stuffing bytes
    return 1;
  }
  if (code < 0xbb) return 0;
  // The system header and every packet give their length after the start code.
  uint16_t n = 0;
  if (!kbytes::ReadBe16(p, size_t(avail), 4, &n)) return -1;
  *len = 6 + n;
  return 1;
}

uint8_t* CMpgAnalyser::FindUnit() { return m_js->Search("\0\0\x01\xbe", 4); }

int CMpgAnalyser::UnitLength(uint8_t* p, int64_t* len) {
  uint8_t* end = m_js->GetStart() + m_js->Size();
  uint16_t packet = 0;
  if (end - p < 6 || !kbytes::ReadBe16(p, size_t(end - p), 4, &packet)) return -1;
  int n = packet;
  if (n > 2047) return 0;
  *len = n + 6;
  if (end - p < n + 10) return 1;  // the packet runs on: the walk resumes after it
  const uint8_t* q = p + n + 6;
  if (!std::memcmp(q, "\0\0\x01\xba", 4) || !std::memcmp(q, "\0\0\x01\xe0", 4)) return 1;
  if (!std::memcmp(q, "\0\0\x01\xb9", 4)) {
    *len = m_fedBase + m_js->OffsetOf(q) + 4;
    return 2;
  }
  ++m_bad;
  return 1;
}

int CMpgAnalyser::Continue(const ClusterBuf& cb) {
  if (CountLimit(cb)) return AS_COMPLETE;
  if (m_next == 0) {
    const int64_t off = ClusterByteOffset(cb);
    if (IsAllZero(cb.GetData(), size_t(cb.cluster_size))) {
      m_zeroRun += cb.cluster_size;
      if (m_zeroRun > 0x3fff) return EndAt(off + cb.cluster_size - m_zeroRun);
      return AS_NONE;
    }
    m_zeroRun = 0;
    if (m_bad >= 33) return EndAt(off);
  }
  return Walk(cb);
}

int CMpgAnalyser::OnNewHeader(const FileHint& other, const ClusterBuf& cb) {
  ZQ_ASSERT(cb.cluster_size > 0x100);
  if (m_packs && m_next > m_start) {
    const int64_t off = ClusterByteOffset(cb);
    // A pack where the walk expects the next unit is the stream's own; a head the walk
    // waits for before the other head ends the stream after its last whole packet.
    if (m_next == off && other.TypeId == m_hint.TypeId) return AS_ABSORB;
    if (m_next < off) return EndAt(m_next);
    // The packet being walked runs on past the other head: the head lies in its payload.
    if (m_next > off && other.TypeId != DeviceEndHint().TypeId) return AS_ABSORB;
  }
  // The device end (a zero unit) is never part of the stream: a system header of zeros would
  // match it and the stream would never be reported.
  if (other.TypeId != DeviceEndHint().TypeId && cb.cluster_size >= 0x100 &&
      FindBytes(cb.GetData(), 256, m_system, 16))
    return AS_ABSORB;
  return EndAt(ClusterByteOffset(cb));
}
