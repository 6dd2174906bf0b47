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

namespace {

#if defined(__GNUC__) || defined(__clang__)
#define KESTRUM_BYTE_VECTORS 1
// 16 bytes at a time, the width every 64-bit processor has registers for.
typedef uint8_t Bytes16 __attribute__((vector_size(16)));
typedef uint64_t Words16 __attribute__((vector_size(16)));

inline Bytes16 Load16(const uint8_t* p) {
  Bytes16 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

inline Bytes16 Splat16(uint8_t b) {
  Bytes16 v = {};
  return v + b;
}

inline bool AnySet(Bytes16 m) {
  Words16 w = reinterpret_cast<Words16&>(m);
  return (w[0] | w[1]) != 0;
}
#endif

}  // namespace

const uint8_t* FindBytes(const uint8_t* hay, size_t haylen, const void* needle, size_t len) {
  if (!hay || !needle || len == 0 || haylen < len) return nullptr;
  const uint8_t* nd = static_cast<const uint8_t*>(needle);
  if (len == 1) return static_cast<const uint8_t*>(std::memchr(hay, nd[0], haylen));
  // A place is a candidate only when the needle's first and last bytes both match there:
  // on the mostly random data of a scan that is one place in 65536, so the bytes are
  // passed over a vector at a time and a candidate is rarely compared in full.
  const uint8_t first = nd[0], last = nd[len - 1];
  const size_t end = haylen - len + 1;  // candidate starts are [0, end)
  size_t i = 0;
#ifdef KESTRUM_BYTE_VECTORS
  const Bytes16 vf = Splat16(first), vl = Splat16(last);
  for (; end - i >= 32; i += 32) {
    Bytes16 m0 = Bytes16(Load16(hay + i) == vf) & Bytes16(Load16(hay + i + len - 1) == vl);
    Bytes16 m1 = Bytes16(Load16(hay + i + 16) == vf) & Bytes16(Load16(hay + i + 16 + len - 1) == vl);
    if (!AnySet(m0 | m1)) continue;
    for (int k = 0; k < 32; ++k)
      if ((k < 16 ? m0[k] : m1[k - 16]) && std::memcmp(hay + i + k + 1, nd + 1, len - 2) == 0) return hay + i + k;
  }
#endif
  for (; i < end; ++i)
    if (hay[i] == first && hay[i + len - 1] == last && std::memcmp(hay + i + 1, nd + 1, len - 2) == 0)
      return hay + i;
  return nullptr;
}

const uint8_t* FindByteAfter(const uint8_t* hay, size_t haylen, uint8_t byte, const char* before) {
  if (!hay || !before || haylen < 2) return nullptr;
  const size_t kinds = std::strlen(before);
  if (kinds == 0 || kinds > 4) return nullptr;
  size_t i = 1;  // the byte's place; the one before it is i - 1
#ifdef KESTRUM_BYTE_VECTORS
  const Bytes16 vb = Splat16(byte);
  Bytes16 vk[4];
  for (size_t k = 0; k < 4; ++k) vk[k] = Splat16(uint8_t(before[k < kinds ? k : 0]));
  for (; haylen - i >= 32; i += 32) {
    // The byte itself first: in most blocks it is not there at all.
    Bytes16 m0 = Bytes16(Load16(hay + i) == vb), m1 = Bytes16(Load16(hay + i + 16) == vb);
    if (!AnySet(m0 | m1)) continue;
    for (int half = 0; half < 2; ++half) {
      Bytes16 prev = Load16(hay + i + 16 * half - 1);
      Bytes16 m = Bytes16(prev == vk[0]) | Bytes16(prev == vk[1]) | Bytes16(prev == vk[2]) | Bytes16(prev == vk[3]);
      m &= half ? m1 : m0;
      if (!AnySet(m)) continue;
      for (int k = 0; k < 16; ++k)
        if (m[k]) return hay + i + 16 * half + k;
    }
  }
#endif
  for (; i < haylen; ++i)
    if (hay[i] == byte && std::memchr(before, hay[i - 1], kinds)) return hay + i;
  return nullptr;
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

namespace {

// Spare ClusterFile blocks of kBlockBytes each, at most 32 MiB of them per thread.
struct SpareBlocks {
  std::vector<std::unique_ptr<uint8_t[]>> blocks;
};
thread_local SpareBlocks t_spare;
const size_t kMaxSpareBytes = size_t(32) << 20;

}  // namespace

ClusterFile::~ClusterFile() {
  if (m_perBlock * size_t(m_clusterSize) != kBlockBytes) return;
  for (auto& b : m_blocks) {
    if (t_spare.blocks.size() * kBlockBytes >= kMaxSpareBytes) break;
    t_spare.blocks.push_back(std::move(b));
  }
}

ClusterFile::ClusterFile(int clusterSize)
    : m_perBlock(clusterSize > 0 ? std::max<size_t>(1, kBlockBytes / size_t(clusterSize)) : 1), m_lcns(), m_blocks(), m_pos(clusterSize > 0 ? clusterSize : 512, 0),
                                            m_clusterSize(clusterSize) {}

bool ClusterFile::Append(const ClusterBuf& cb) {
  if (cb.cluster_size != m_clusterSize || m_clusterSize <= 0) return false;
  if (!m_lcns.empty() && !(m_lcns.back() < cb.lcn)) return false;
  const size_t i = m_lcns.size();
  if (i % m_perBlock == 0) {
    const size_t bytes = m_perBlock * size_t(m_clusterSize);
    if (bytes == kBlockBytes && !t_spare.blocks.empty()) {
      m_blocks.push_back(std::move(t_spare.blocks.back()));
      t_spare.blocks.pop_back();
    } else {
      m_blocks.emplace_back(new uint8_t[bytes]);
    }
  }
  uint8_t* dst = m_blocks.back().get() + (i % m_perBlock) * size_t(m_clusterSize);
  std::memcpy(dst, cb.GetData(), size_t(m_clusterSize));
  m_lcns.push_back(cb.lcn);
  return true;
}

const uint8_t* ClusterFile::Find(int64_t lcn) const {
  // The held clusters are strictly rising, so a binary search finds one in log time; a
  // compound document or TIFF walk reads many times per cluster.
  auto it = std::lower_bound(m_lcns.begin(), m_lcns.end(), lcn);
  if (it == m_lcns.end() || *it != lcn) return nullptr;
  size_t i = size_t(it - m_lcns.begin());
  return m_blocks[i / m_perBlock].get() + (i % m_perBlock) * size_t(m_clusterSize);
}

int ClusterFile::Seek(int64_t offset) {
  if (m_lcns.empty() || offset < 0) return -1;
  ClusterPos p(m_clusterSize, offset);
  if (p.cluster < m_lcns.front() || p.cluster > m_lcns.back()) return -1;
  m_pos = p;
  return Find(p.cluster) ? 0 : 1;
}

int ClusterFile::Read(void* dst, unsigned len) {
  if (!dst || len == 0 || m_lcns.empty()) return 0;
  if (m_pos.cluster < m_lcns.front() || m_pos.cluster > m_lcns.back()) return -1;
  uint8_t* out = static_cast<uint8_t*>(dst);
  unsigned done = 0;
  while (done < len) {
    unsigned n = std::min<unsigned>(len - done, unsigned(m_clusterSize - m_pos.offset));
    const uint8_t* c = Find(m_pos.cluster);
    if (c)
      std::memcpy(out + done, c + m_pos.offset, n);
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
