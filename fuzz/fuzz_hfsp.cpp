// Fuzzes the HFS+ B-tree node parser: the input is taken as the catalog file of a volume
// whose header the harness supplies, so every mutation lands on header, index and leaf
// nodes; lookups, the leaf walk and the cache all run over it.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "common/inc/seams.h"
#include "scanoperate/hfsp/btree.h"
#include "scanoperate/hfsp/hfspformat.h"
#include "tests/support/readonlystorage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 512 || size > (1u << 22)) return 0;
  // The catalog file sits eight sectors into the volume; the sectors before it read as nothing.
  CMemoryStorageDevice dev;
  dev.Reset(data, size, 512);
  dev.SetBase(8 * 512);
  dev.SetType(2);
  dev.SetClusterInfo(512, 512);
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
  // And their records, as the deleted-file scan takes a catalog's leaves where its header
  // node cannot be read.
  size_t units = 0;
  auto take = [&units](uint32_t, const std::u16string& name, uint16_t, const uint8_t*, size_t) {
    units += name.size();
    return true;
  };
  for (size_t at = 0; at + 512 <= size; at += 512)
    CHfspFormat::CatalogLeafRecords(data + at, unsigned((size - at) / 512), take);
  (void)units;
  return 0;
}
