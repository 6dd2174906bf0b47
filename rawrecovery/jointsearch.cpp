#include "rawrecovery/jointsearch.h"

#include <algorithm>
#include <cstring>

#include "common/inc/kestrum_types.h"

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
