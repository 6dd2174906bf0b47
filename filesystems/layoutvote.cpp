#include "filesystems/layoutvote.h"

#include <algorithm>
#include <cstring>
#include <unordered_map>

namespace layoutvote {

namespace {
// Pairs looked at per cluster size: files are sampled evenly when heads are many.
const size_t kPairBudget = size_t(1) << 20;
// Files longer than this are not walked to their ends when layouts are compared.
const uint64_t kMaxWalk = 4ull << 20;
}  // namespace

void HeadCollector::Sector(const uint8_t* p, size_t avail, uint64_t sector) {
  if (!p || avail == 0 || Full()) return;
  if (avail < kraw::kHeadBytes) {
    m_pad.assign(kraw::kHeadBytes, 0);
    std::memcpy(m_pad.data(), p, avail);
    p = m_pad.data();
  }
  // Empty space begins no file.
  if ((p[0] | p[1] | p[2] | p[3]) == 0) return;
  m_types.clear();
  m_probe.Heads(p, &m_types);
  for (int t : m_types) m_heads.push_back({sector, uint16_t(t)});
}

void HeadCollector::Finish() {
  std::sort(m_heads.begin(), m_heads.end());
  m_heads.erase(std::unique(m_heads.begin(), m_heads.end()), m_heads.end());
}

void SortRefs(std::vector<FileRef>* refs) {
  std::sort(refs->begin(), refs->end());
  refs->erase(std::unique(refs->begin(), refs->end()), refs->end());
}

int CountHits(const std::vector<FileRef>& refs, const std::vector<Head>& heads, int64_t origin, uint64_t spc) {
  int n = 0;
  for (const FileRef& r : refs) {
    int64_t at = origin + int64_t(uint64_t(r.firstCluster) * spc);
    if (at >= 0 && std::binary_search(heads.begin(), heads.end(), Head{uint64_t(at), r.type})) ++n;
  }
  return n;
}

int ConfirmByEnds(const std::vector<FileRef>& refs, const std::vector<Head>& heads, int64_t origin, uint64_t spc,
                  uint32_t sectorBytes, const DeviceReader& read, kraw::HeadProbe* probe, size_t sample) {
  if (!probe || !read || sample == 0) return 0;
  std::vector<const FileRef*> shown;
  for (const FileRef& r : refs) {
    if (r.length == 0 || r.length > kMaxWalk) continue;
    int64_t at = origin + int64_t(uint64_t(r.firstCluster) * spc);
    if (at >= 0 && std::binary_search(heads.begin(), heads.end(), Head{uint64_t(at), r.type})) shown.push_back(&r);
  }
  int n = 0;
  size_t step = std::max<size_t>(1, shown.size() / sample);
  for (size_t i = 0; i < shown.size(); i += step) {
    const FileRef& r = *shown[i];
    uint64_t base = (uint64_t(origin) + uint64_t(r.firstCluster) * spc) * sectorBytes;
    int64_t len = probe->ProvenLength(
        r.type, [&](uint64_t off, uint8_t* buf, uint32_t want) { return read(base + off, buf, want); },
        r.length + kraw::kHeadBytes);
    if (len > 0 && uint64_t(len) == r.length) ++n;
  }
  return n;
}

std::vector<int64_t> ProposeOrigins(const std::vector<FileRef>& refs, const std::vector<Head>& heads, uint64_t spc,
                                    int64_t minOrigin, size_t keep) {
  std::vector<int64_t> out;
  if (refs.empty() || heads.empty() || keep == 0) return out;
  // Heads grouped by kind, so a file meets only heads it could be.
  std::unordered_map<uint16_t, std::vector<uint64_t>> byType;
  for (const Head& h : heads) byType[h.type].push_back(h.sector);
  size_t pairs = 0;
  for (const FileRef& r : refs) {
    auto it = byType.find(r.type);
    if (it != byType.end()) pairs += it->second.size();
  }
  size_t step = std::max<size_t>(1, pairs / kPairBudget + (pairs % kPairBudget != 0));
  std::unordered_map<int64_t, int> votes;
  for (size_t i = 0; i < refs.size(); i += step) {
    auto it = byType.find(refs[i].type);
    if (it == byType.end()) continue;
    int64_t off = int64_t(uint64_t(refs[i].firstCluster) * spc);
    for (uint64_t s : it->second) {
      int64_t origin = int64_t(s) - off;
      if (origin < minOrigin) continue;
      ++votes[origin];
    }
  }
  std::vector<std::pair<int, int64_t>> top;
  for (const auto& kv : votes)
    if (kv.second >= 2) top.push_back({kv.second, kv.first});
  size_t n = std::min(keep, top.size());
  std::partial_sort(top.begin(), top.begin() + n, top.end(),
                    [](const std::pair<int, int64_t>& a, const std::pair<int, int64_t>& b) {
                      return a.first != b.first ? a.first > b.first : a.second < b.second;
                    });
  for (size_t i = 0; i < n; ++i) out.push_back(top[i].second);
  return out;
}

}  // namespace layoutvote
