// Runs the FAT inspector over arbitrary device contents: the geometry vote from "."
// clusters, the boot-sector fallback with hostile values, and the directory-cluster hunt.
// One inspector and one device live for the whole run, so that an input costs its own
// reads and not a fresh 8 MiB cache. The input's length picks what the device claims to
// hold (its low two bits) and whether the progress callback stops the hunt halfway (bit 2).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "contrib/fatinspector.h"
#include "tests/support/readonlystorage.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A FAT32 volume's metadata alone is over half a megabyte; more adds time, not paths.
  if (size > (1u << 20)) return 0;
  static CMemoryStorageDevice dev;
  static fatrec::FatInspector ins(&dev);
  dev.Reset(data, size, int(size & 3));
  const bool stopHalfway = (size & 4) != 0;
  ins.SetProgress(
      [stopHalfway](int64_t done, int64_t total) { return stopHalfway && done > total / 2 ? 1 : 0; });
  // A continuation test of the owner's: a deleted entry first.
  ins.SetContinuationTest([](const uint8_t* c) { return c[0] == 0xE5; });
  for (int ft = 1; ft <= 2; ++ft) {
    fatrec::FatInfo fi;
    fi.ft = fatrec::FatType(ft);
    if (!ins.Inspect(&fi)) continue;
    ins.ClusterToOffset(fi.rootCluster);
    // The hunt the formatted reader runs: directory clusters from cluster 2 on, by clusters.
    int64_t pos = ins.ClusterToOffset(2), found = 0;
    for (int guard = 0; pos >= 0 && guard < 256; ++guard) {
      int r = ins.FindDirCluster(pos, int64_t(size), uint32_t(fi.clusterSize), &found);
      if (r != fatrec::FatInspector::kDotCluster && r != fatrec::FatInspector::kDirLike &&
          r != fatrec::FatInspector::kUnreadable)
        break;
      pos = found + fi.clusterSize;
    }
  }
  return 0;
}
