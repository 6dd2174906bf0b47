#include "rawrecovery/frame.h"

#include <algorithm>
#include <cstring>

#include "common/inc/kestrum_types.h"

ClusterBuf::ClusterBuf(int len) : lcn(0), data(), cluster_size(len > 0 ? len : 0) {
  data.reset(new uint8_t[cluster_size > 0 ? cluster_size : 1]());
}

ClusterBuf ClusterBuf::Clone() const {
  ClusterBuf copy(cluster_size);
  copy.lcn = lcn;
  if (cluster_size > 0) std::memcpy(copy.data.get(), data.get(), size_t(cluster_size));
  return copy;
}

const uint8_t* FindBytes(const uint8_t* hay, size_t haylen, const void* needle, size_t len) {
  if (!hay || !needle || len == 0 || haylen < len) return nullptr;
  // glibc's memmem picks a two-way or short-needle search; both are far faster than a
  // byte-by-byte loop on the mostly non-matching data a scan sees.
  return static_cast<const uint8_t*>(memmem(hay, haylen, needle, len));
}

MatchFrame::MatchFrame(const void* bytes, int len, int pos)
    : m_data(), m_len(len < 0 ? 0 : len), m_pos(pos < -1 ? -1 : pos) {
  ZQ_ASSERT(len >= 0 && pos >= -1);
  if (m_len > 0 && bytes) {
    const uint8_t* b = static_cast<const uint8_t*>(bytes);
    m_data.assign(b, b + m_len);
  } else {
    m_len = 0;
  }
}

MatchFrame::MatchFrame(const char* text, int pos) : MatchFrame(text, text ? int(std::strlen(text)) : 0, pos) {}

const uint8_t* MatchFrame::Match(const uint8_t* buf, int buflen) const {
  if (!buf || buflen <= 0 || m_len <= 0) return nullptr;
  if (m_pos >= 0) {
    // 64-bit sum: a position from user XML may be near INT_MAX.
    if (int64_t(m_pos) + m_len > buflen) return nullptr;
    return std::memcmp(buf + m_pos, m_data.data(), size_t(m_len)) == 0 ? buf + m_pos : nullptr;
  }
  return FindBytes(buf, size_t(buflen), m_data.data(), size_t(m_len));
}

ClusterPos::ClusterPos(int clusterSize, int64_t byteOffset) : cluster(0), offset(0), cluster_size(clusterSize) {
  ZQ_ASSERT(clusterSize > 0);
  if (cluster_size <= 0) cluster_size = 512;
  if (byteOffset < 0) byteOffset = 0;
  cluster = byteOffset / cluster_size;
  offset = int(byteOffset % cluster_size);
}

void ClusterPos::Advance(int64_t n) {
  int64_t total = int64_t(offset) + n;
  int64_t q = total / cluster_size, r = total % cluster_size;
  if (r < 0) {
    r += cluster_size;
    q -= 1;
  }
  cluster += q;
  offset = int(r);
}

ClusterFile::ClusterFile(int clusterSize) : m_clusters(), m_pos(clusterSize > 0 ? clusterSize : 512, 0),
                                            m_clusterSize(clusterSize) {}

bool ClusterFile::Append(const ClusterBuf& cb) {
  if (cb.cluster_size != m_clusterSize) return false;
  if (!m_clusters.empty() && !(m_clusters.back().lcn < cb.lcn)) return false;
  m_clusters.push_back(cb.Clone());
  return true;
}

const ClusterBuf* ClusterFile::Find(int64_t lcn) const {
  // The held clusters are strictly rising, so a binary search finds one in log time; a
  // compound document or TIFF walk reads many times per cluster.
  auto it = std::lower_bound(m_clusters.begin(), m_clusters.end(), lcn,
                             [](const ClusterBuf& c, int64_t v) { return c.lcn < v; });
  if (it == m_clusters.end() || it->lcn != lcn) return nullptr;
  return &*it;
}

int ClusterFile::Seek(int64_t offset) {
  if (m_clusters.empty() || offset < 0) return -1;
  ClusterPos p(m_clusterSize, offset);
  if (p.cluster < m_clusters.front().lcn || p.cluster > m_clusters.back().lcn) return -1;
  m_pos = p;
  return Find(p.cluster) ? 0 : 1;
}

int ClusterFile::Read(void* dst, unsigned len) {
  if (!dst || len == 0 || m_clusters.empty()) return 0;
  if (m_pos.cluster < m_clusters.front().lcn || m_pos.cluster > m_clusters.back().lcn) return -1;
  uint8_t* out = static_cast<uint8_t*>(dst);
  unsigned done = 0;
  while (done < len) {
    unsigned n = std::min<unsigned>(len - done, unsigned(m_clusterSize - m_pos.offset));
    const ClusterBuf* c = Find(m_pos.cluster);
    if (c)
      std::memcpy(out + done, c->data.get() + m_pos.offset, n);
    else
      std::memset(out + done, 0, n);
    done += n;
    m_pos.Advance(n);
  }
  return int(len);
}

JointSearch::JointSearch(int clusterSize)
    : m_capacity(0), m_lastLen(0), m_twice_buffer(nullptr), m_buffer_start(nullptr), m_buffer_end(nullptr) {
  ZQ_ASSERT(clusterSize >= 512);
  if (clusterSize < 512) clusterSize = 512;
  m_capacity = 2 * clusterSize;
  m_twice_buffer = new uint8_t[size_t(m_capacity)]();
  m_buffer_start = m_buffer_end = m_twice_buffer;
}

JointSearch::~JointSearch() { delete[] m_twice_buffer; }

void JointSearch::Feed(const ClusterBuf& cb) { Feed(cb.GetData(), cb.cluster_size); }

void JointSearch::Feed(const uint8_t* bytes, int len) {
  if (!bytes || len < 0 || len > m_capacity) return;
  m_lastLen = len;
  int n = Size();
  if (n > m_capacity - len) {
    m_buffer_start += n - (m_capacity - len);
    n = m_capacity - len;
  }
  std::memmove(m_twice_buffer, m_buffer_start, size_t(n));
  m_buffer_start = m_twice_buffer;
  std::memcpy(m_twice_buffer + n, bytes, size_t(len));
  m_buffer_end = m_twice_buffer + n + len;
}

void JointSearch::Reset() { m_buffer_start = m_buffer_end = m_twice_buffer; }

int JointSearch::Read(void* dst, int len) {
  if (len < 0 || Size() < len) return -1;
  std::memcpy(dst, m_buffer_start, size_t(len));
  m_buffer_start += len;
  return 0;
}

uint8_t* JointSearch::Search(const void* pattern, int len) const {
  if (len <= 0) return nullptr;
  return const_cast<uint8_t*>(FindBytes(m_buffer_start, size_t(Size()), pattern, size_t(len)));
}

int JointSearch::MoveTo(uint8_t* p) {
  if (p < m_twice_buffer || p >= m_buffer_end) return 0;
  int moved = int(p - m_buffer_start);
  m_buffer_start = p;
  return moved;
}

int JointSearch::Skip(int n) {
  if (n > 0)
    n = std::min(n, int(m_buffer_end - m_buffer_start));
  else
    n = std::max(n, int(m_twice_buffer - m_buffer_start));
  m_buffer_start += n;
  return n;
}

int JointSearch::OffsetOf(const uint8_t* p) const { return m_lastLen + int(p - m_buffer_end); }
