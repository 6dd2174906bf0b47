// Fuzzes the HFS+ B-tree node parser: the input is taken as the catalog file of a volume
// whose header the harness supplies, so every mutation lands on header, index and leaf
// nodes; lookups, the leaf walk and the cache all run over it.
#include <cstdint>
#include <cstring>
#include <vector>

#include "common/inc/istoragedevice.h"
#include "common/inc/seams.h"
#include "scanoperate/hfsp/btree.h"

namespace {

class FuzzStorage : public IStorageDevice {
 public:
  FuzzStorage(const uint8_t* d, size_t n) : m_data(d), m_size(n) {}
  void Release() override {}
  int Attach(IDevice*) override { return 0; }
  int GetFileSystem() override { return 512; }
  IDevice* GetDevice() override { return nullptr; }
  int GetType() override { return 2; }
  int GetSize(uint64_t* s) override { *s = m_size + kBase; return 0; }
  int GetClusterInfo(int* c, int* s) override { if (c) *c = 512; if (s) *s = 512; return 0; }
  int Read(void* buf, uint32_t count) override {
    if (m_pos < kBase || m_pos - kBase >= m_size) return 0;
    size_t at = size_t(m_pos - kBase), n = m_size - at < count ? m_size - at : count;
    memcpy(buf, m_data + at, n);
    m_pos += n;
    return int(n);
  }
  int Write(const void*, uint32_t) override { return -1; }
  int64_t Seek(int64_t o, int origin) override { if (origin || o < 0) return -1; m_pos = uint64_t(o); return o; }
  int ReadSectors(int64_t, void*, uint32_t) override { return -1; }
  int WriteSectors(int64_t, const void*, uint32_t) override { return -1; }
  int CloneRead(void*, uint32_t) override { return -1; }
  int CloneWrite(const void*, uint32_t) override { return -1; }
  int64_t CloneSeek(int64_t, int) override { return -1; }
  int CloneReadSectors(int64_t, void*, uint32_t) override { return -1; }
  int CloneWriteSectors(int64_t, const void*, uint32_t) override { return -1; }
  bool IsReadOnly() override { return true; }
  int Close(int) override { return 0; }
  static const uint64_t kBase = 8 * 512;

 private:
  const uint8_t* m_data;
  size_t m_size;
  uint64_t m_pos = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 512 || size > (1u << 22)) return 0;
  FuzzStorage dev(data, size);
  HfspVolume vol{};
  vol.signature = (size & 1) ? kHFSXSigWord : kHFSPlusSigWord;
  vol.version = (size & 1) ? 5 : 4;
  vol.blockSize = 512;
  uint32_t blocks = uint32_t((size + 511) / 512);
  vol.catalogFile.logicalSize = uint64_t(blocks) * 512;
  vol.catalogFile.totalBlocks = blocks;
  // Two extents, so that a node may straddle a run boundary.
  uint32_t first = blocks / 2 ? blocks / 2 : blocks;
  vol.catalogFile.extents[0] = {8, first};
  vol.catalogFile.extents[1] = {8 + first, blocks - first};
  _hfsplus_tree ext{}, cat{};
  cat.extentsTree = &ext;
  if (hfsplus_btree_open(&cat, &dev, &vol, kHfsCatalogFileID) == 1) {
    std::vector<std::vector<uint8_t>> keys;
    hfsplus_walk_leaves(&cat, [&](const uint8_t* k, size_t kb, const uint8_t*, size_t) {
      if (keys.size() < 64) keys.emplace_back(k, k + kb);
      return true;
    });
    uint8_t out[520];
    for (const auto& k : keys) {
      uint32_t len = sizeof out;
      hfsplus_btfind_exact(&cat, k.data(), k.size(), out, &len, 0, "fuzz");
    }
    uint8_t probe[] = {0, 8, 0, 0, 0, 2, 0, 1, 0, 'a'};
    uint32_t len = sizeof out;
    hfsplus_btfind_exact(&cat, probe, sizeof probe, out, &len, 0, "fuzz");
  }
  hfsplus_node_cache_free();
  hfsplus_pool_free();
  // The same bytes as stale nodes: the leaf test that the format scan's search by content
  // applies at every sector, from each sector on.
  for (size_t at = 0; at + 512 <= size; at += 512)
    HfsCatalogLeafSectors(data + at, unsigned((size - at) / 512));
  return 0;
}
