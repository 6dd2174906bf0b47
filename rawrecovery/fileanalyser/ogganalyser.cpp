#include "rawrecovery/fileanalyser/ogganalyser.h"

#include <algorithm>
#include <cstring>

#include "common/inc/bytes.h"

namespace {

using kbytes::ReadLe32;
using sigfamily::Data;

const MatchFrame kOgg("OggS\0\x02\0\0", 8, 0);

}  // namespace

COggAnalyser::COggAnalyser() : CSignatureAnalyser(25), m_open(), m_closed(false), m_dataSeen(false) {}
int COggAnalyser::CheckHeader(const ClusterBuf& cb) {
  if (!kOgg.Test(Data(cb), cb.cluster_size)) return AS_NONE;
  Begin(cb, AS_HEADER, 0);
  m_open.clear();
  m_closed = false;
  m_dataSeen = false;
  StartUnits(m_start);
  return AS_HEADER;
}

int64_t COggAnalyser::PageLength(const uint8_t* h, int avail) {
  static const uint8_t kCapture[5] = {'O', 'g', 'g', 'S', 0};
  if (std::memcmp(h, kCapture, size_t(std::min(avail, 5))) != 0) return 0;
  if (avail < 27) return -1;
  int segs = h[26];
  if (avail < 27 + segs) return -1;
  int64_t n = 27 + segs;
  for (int i = 0; i < segs; ++i) n += h[27 + i];
  return n;
}

int COggAnalyser::UnitHead(const uint8_t* h, int avail, int64_t, int64_t* len) {
  int64_t n = PageLength(h, avail);
  if (n < 0) return -1;
  if (n == 0 || (h[5] & ~7)) return 0;
  const bool first = (h[5] & 2) != 0, last = (h[5] & 4) != 0;
  uint32_t serial = 0;
  if (!ReadLe32(h, size_t(avail), 14, &serial)) return -1;
  auto it = std::find(m_open.begin(), m_open.end(), serial);
  if (m_closed) {
    // Every stream has ended: only the first page of a chained stream goes on with the file.
    if (!first) return 0;
    m_closed = false;
    m_breakProven = false;
    m_dataSeen = false;
  }
  if (first) {
    // First pages of a stream come together before any other page.
    if (m_dataSeen || it != m_open.end() || m_open.size() >= 64) return 0;
    m_open.push_back(serial);
  } else {
    if (it == m_open.end()) return 0;
    m_dataSeen = true;
  }
  if (last) {
    m_open.erase(std::find(m_open.begin(), m_open.end(), serial));
    if (m_open.empty()) {
      // The file may end here; whether a chained stream follows is seen from the next page.
      m_closed = true;
      m_breakProven = true;
    }
  }
  *len = n;
  return 1;
}

int COggAnalyser::Continue(const ClusterBuf& cb) {
  if (CountLimit(cb)) return AS_COMPLETE;
  return WalkUnits(cb);
}

int COggAnalyser::OnNewHeader(const FileHint& other, const ClusterBuf& cb) {
  // Another stream's first page at the very place the walk expects a page: the file's own.
  if (other.TypeId == m_hint.TypeId && UnitStartsAt(cb) && !m_closed && !m_dataSeen) return AS_ABSORB;
  int r = EndAtPendingHead(cb);
  return r >= 0 ? r : CSignatureAnalyser::OnNewHeader(other, cb);
}
