#include "rawrecovery/clusterfile.h"

#include <algorithm>
#include <cstring>

#include "common/inc/kestrum_types.h"

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
