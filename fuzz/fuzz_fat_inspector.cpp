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

#include "common/inc/istoragedevice.h"
#include "contrib/fatinspector.h"

namespace {

class FuzzDevice : public IStorageDevice {
 public:
  void Reset(const uint8_t* d, size_t n, int fileSystem) {
    m_bytes.assign(d, d + n);
    m_pos = 0;
    m_fs = fileSystem;
  }
  void Release() override {}
  int Attach(IDevice*) override { return 0; }
  int GetFileSystem() override { return m_fs; }
  IDevice* GetDevice() override { return nullptr; }
  int GetType() override { return 0; }
  int GetSize(uint64_t* size) override {
    *size = m_bytes.size();
    return 0;
  }
  int GetClusterInfo(int* c, int* s) override {
    *c = 4096;
    *s = 512;
    return 0;
  }
  int Read(void* buf, uint32_t count) override {
    if (m_pos >= m_bytes.size()) return 0;
    size_t n = std::min<size_t>(count, m_bytes.size() - m_pos);
    std::memcpy(buf, m_bytes.data() + m_pos, n);
    m_pos += n;
    return int(n);
  }
  int Write(const void*, uint32_t) override { return -1; }
  int64_t Seek(int64_t off, int) override {
    m_pos = size_t(off < 0 ? 0 : off);
    return off;
  }
  int ReadSectors(int64_t, void*, uint32_t) override { return -1; }
  int WriteSectors(int64_t, const void*, uint32_t) override { return -1; }
  int CloneRead(void*, uint32_t) override { return -1; }
  int CloneWrite(const void*, uint32_t) override { return -1; }
  int64_t CloneSeek(int64_t, int) override { return -1; }
  int CloneReadSectors(int64_t, void*, uint32_t) override { return -1; }
  int CloneWriteSectors(int64_t, const void*, uint32_t) override { return -1; }
  bool IsReadOnly() override { return true; }
  int Close(int) override { return 0; }

 private:
  std::vector<uint8_t> m_bytes;
  size_t m_pos = 0;
  int m_fs = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A FAT32 volume's metadata alone is over half a megabyte; more adds time, not paths.
  if (size > (1u << 20)) return 0;
  static FuzzDevice dev;
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
