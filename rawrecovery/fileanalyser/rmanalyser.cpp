#include "rawrecovery/fileanalyser/rmanalyser.h"

#include <algorithm>
#include <cstring>

#include "common/inc/bytes.h"

CRmAnalyser::CRmAnalyser() : CSignatureAnalyser(19), m_js(), m_index(false), m_packets(-1), m_data(false), m_dataEnd(0) {}


int CRmAnalyser::CheckHeader(const ClusterBuf& cb) {
  if (cb.cluster_size < 512 || std::memcmp(cb.GetData(), ".RMF\0\0\0\x12", 8) != 0) return AS_NONE;
  m_js.reset(new JointSearch(cb.cluster_size));
  m_index = false;
  m_zeroRun = 0;
  Begin(cb, AS_HEADER, 0);
  m_packets = -1;
  m_data = false;
  m_dataEnd = 0;
  StartUnits(m_start);
  return AS_HEADER;
}

int CRmAnalyser::UnitHead(const uint8_t* h, int avail, int64_t at, int64_t* len) {
  if (m_packets > 0) {
    // A data packet: version 0 or 1, then its length, which counts its own header.
    const kbytes::ByteView packet(h, size_t(std::max(avail, 0)));
    uint16_t version = 0, n = 0;
    if (!packet.Be16(0, &version) || !packet.Be16(2, &n)) return -1;
    if (version <= 1 && n >= 12) {
      if (--m_packets == 0) m_packets = -2;  // the head after the last packet comes next
      *len = n;
      return 1;
    }
    // Not packets after all: the chunk's own size says where the next chunk is.
    m_packets = 0;
    if (m_dataEnd <= at) return 0;
    *len = m_dataEnd - at;
    return 1;
  }
  if (avail < 8) return -1;
  const bool afterPackets = m_packets == -2;
  m_packets = -1;
  static const char* const kChunks[] = {".RMF", "PROP", "MDPR", "CONT", "DATA", "INDX"};
  bool known = false;
  for (const char* c : kChunks) known = known || std::memcmp(h, c, 4) == 0;
  if (!known) {
    // After its data, a file ends where its chunks stop (its writer may close it with an
    // empty chunk head); a chunk of another kind before the data is not followed.
    if (!m_data) return -2;
    m_breakProven = true;
    if (afterPackets && IsAllZero(h, 8)) {
      *len = 8;
      return 2;
    }
    return 0;
  }
  const kbytes::ByteView chunk(h, size_t(avail));
  uint32_t size = 0;
  if (!chunk.Be32(4, &size)) return -1;
  if (std::memcmp(h, "DATA", 4) == 0) {
    // The data chunk is walked packet by packet: its size is not always the bytes it holds.
    uint32_t packets = 0;
    if (avail < 18 || !chunk.Be32(10, &packets)) return -1;
    if (size < 18) return 0;
    m_packets = packets;
    m_data = true;
    m_dataEnd = at + size;
    *len = 18;
    return 1;
  }
  if (size < 10) return 0;
  *len = size;
  return 1;
}

int CRmAnalyser::OnNewHeader(const FileHint& other, const ClusterBuf& cb) {
  int r = m_data ? EndAtPendingHead(cb) : -1;
  return r >= 0 ? r : CSignatureAnalyser::OnNewHeader(other, cb);
}

int CRmAnalyser::Continue(const ClusterBuf& cb) {
  m_size += cb.cluster_size;
  if (ReachedAllMaxSizes(m_size, {"rm", "rmvb"})) {
    m_state = AS_COMPLETE;
    m_endProven = false;
    return AS_COMPLETE;
  }
  if (m_unitAt >= 0) {
    int r = WalkUnits(cb);
    if (r != AS_NONE || m_unitAt >= 0) return r;
  }
  return IndexSearch(cb);
}

int CRmAnalyser::IndexSearch(const ClusterBuf& cb) {
  const int64_t off = ClusterByteOffset(cb);
  if (IsAllZero(cb.GetData(), size_t(cb.cluster_size))) {
    m_zeroRun += cb.cluster_size;
    if (m_zeroRun >= 0x4000) return EndAt(off + cb.cluster_size - m_zeroRun);
    return AS_NONE;
  }
  m_zeroRun = 0;
  if (!m_js) return AS_NONE;
  m_js->Feed(cb);
  for (;;) {
    uint8_t* p = m_js->Search("INDX", 4);
    if (!p) {
      m_js->Skip(std::max(0, m_js->Size() - 3));
      if (m_index) {
        m_state = AS_COMPLETE;
        return AS_COMPLETE;
      }
      return AS_NONE;
    }
    m_js->MoveTo(p);
    uint32_t size = 0;
    if (m_js->Size() <= 7 || !kbytes::ReadBe32(p, size_t(m_js->Size()), 4, &size)) return AS_NONE;
    if (size < 8 || size > 2048) {
      m_index = false;
      m_js->Skip(1);  // not an index chunk: the search resumes one byte past it
      continue;
    }
    m_index = true;
    if (size == 20) return EndAt(off + m_js->OffsetOf(p) + 20);
    if (m_js->Skip(int(size)) < int(size)) return AS_NONE;
  }
}
