// Two searches that read a whole area when nothing stops them early, over generated
// devices that hold no structure at all (the slowest case for both):
//   - the format scan's search by content, with the HFS+ catalog-node test, over a
//     partition of unknown system;
//   - the FAT deleted-file scan's search of the free clusters for lost folder clusters,
//     over a FAT32 volume whose clusters are all free.
//   lostsearch_bench [GiB]   default 4
#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/inc/bytes.h"
#include "common/inc/kestrum_types.h"
#include "filesystems/fatwalk.h"
#include "filesystems/format/format.h"
#include "memdevice.h"
#include "readonlystorage.h"

namespace {

// Pseudo-random bytes made on demand, with an optional fixed head (boot sector and FAT).
class GeneratedDevice : public testutil::MemDevice {
 public:
  GeneratedDevice(uint64_t bytes, std::vector<uint8_t> head)
      : MemDevice(std::vector<uint8_t>(512, 0), 512, 4096), m_size(bytes), m_head(std::move(head)) {
    SetOwnedByCaller(true);
    info().PartitionType = PT_UNKNOWN_FS;
    info().SectorCount = int64_t(bytes / 512);
  }
  uint64_t bytesRead = 0;

  int GetSize(uint64_t* size) override {
    *size = m_size;
    return 0;
  }
  int Read(void* buf, uint32_t count) override {
    uint64_t n = m_pos >= m_size ? 0 : std::min<uint64_t>(count, m_size - m_pos);
    Fill(m_pos, static_cast<uint8_t*>(buf), n);
    m_pos += n;
    return int(n);
  }
  int64_t Seek(int64_t offset, int origin) override { return SeekFromStart(&m_pos, offset, origin); }
  int ReadSectors(int64_t first, void* buf, uint32_t count) override {
    m_pos = uint64_t(first) * 512;
    int got = Read(buf, count * 512);
    return got < 0 ? got : got / 512;
  }
  int Write(const void*, uint32_t) override { return -1; }
  int WriteSectors(int64_t, const void*, uint32_t) override { return -1; }

 private:
  void Fill(uint64_t at, uint8_t* out, uint64_t n) {
    bytesRead += n;
    for (uint64_t i = 0; i < n;) {
      uint64_t pos = at + i;
      if (pos < m_head.size()) {
        uint64_t k = std::min<uint64_t>(n - i, m_head.size() - pos);
        std::memcpy(out + i, m_head.data() + pos, k);
        i += k;
        continue;
      }
      // 8 bytes at a time from a hash of the position: no two sectors alike.
      uint64_t word = pos / 8, x = word * 0x9E3779B97F4A7C15ull;
      x ^= x >> 29;
      x *= 0xBF58476D1CE4E5B9ull;
      x ^= x >> 32;
      uint8_t bytes[8];
      std::memcpy(bytes, &x, 8);
      uint64_t k = std::min<uint64_t>(n - i, 8 - pos % 8);
      std::memcpy(out + i, bytes + pos % 8, k);
      i += k;
    }
  }
  uint64_t m_size;
  std::vector<uint8_t> m_head;
  uint64_t m_pos = 0;
};

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// A FAT32 boot sector and an empty FAT (every cluster free but the root's) for a volume
// of the given size with 4 KiB clusters; the root cluster is zeros.
std::vector<uint8_t> Fat32Head(uint64_t bytes) {
  uint64_t sectors = bytes / 512;
  uint32_t reserved = 32, spc = 8;
  uint64_t clusters = sectors / spc;
  uint32_t spf = uint32_t((clusters + 2) * 4 / 512 + 1);
  uint64_t data = uint64_t(reserved) + 2ull * spf;
  std::vector<uint8_t> head(size_t((data + spc) * 512), 0);
  uint8_t* b = head.data();
  b[0] = 0xEB;
  b[1] = 0x58;
  b[2] = 0x90;
  std::memcpy(b + 3, "MSWIN4.1", 8);
  kbytes::PutLe16(b + 11, 512);
  b[13] = uint8_t(spc);
  kbytes::PutLe16(b + 14, uint16_t(reserved));
  b[16] = 2;
  b[21] = 0xF8;
  kbytes::PutLe32(b + 32, uint32_t(sectors));
  kbytes::PutLe32(b + 36, spf);
  kbytes::PutLe32(b + 44, 2);
  std::memcpy(b + 82, "FAT32   ", 8);
  b[510] = 0x55;
  b[511] = 0xAA;
  for (int fat = 0; fat < 2; ++fat) {
    uint8_t* f = head.data() + (reserved + size_t(fat) * spf) * 512;
    kbytes::PutLe32(f, 0x0FFFFFF8);
    kbytes::PutLe32(f + 4, 0x0FFFFFFF);
    kbytes::PutLe32(f + 8, 0x0FFFFFFF);
  }
  return head;
}

}  // namespace

int main(int argc, char** argv) {
  double gib = argc > 1 ? std::atof(argv[1]) : 4.0;
  uint64_t bytes = uint64_t(gib * double(1ull << 30)) / 4096 * 4096;

  {
    GeneratedDevice dev(bytes, {});
    CFormat f(&dev);
    uint64_t boot = 0, scanned = 0;
    int fs = 0;
    auto t0 = std::chrono::steady_clock::now();
    int rc = f.DetectFsByContent(&boot, &fs, &scanned);
    double s = Seconds(t0);
    printf("format content search: %.2f GiB of no file system in %.2f s, %.0f MiB/s (rc %d)\n",
           double(dev.bytesRead) / double(1ull << 30), s, double(dev.bytesRead) / double(1 << 20) / s, rc);
  }
  {
    GeneratedDevice dev(bytes, Fat32Head(bytes));
    fat::FatDelWalker walker(&dev, fat::kFat32);
    if (walker.Open() != 0) {
      fprintf(stderr, "generated FAT32 volume refused\n");
      return 1;
    }
    auto t0 = std::chrono::steady_clock::now();
    walker.Walk([](const fat::FoundFile&) { return 0; }, nullptr);
    double s = Seconds(t0);
    printf("FAT free-cluster search: %.2f GiB of %.2f GiB free searched in %.2f s, %.0f MiB/s, %zu lost folder clusters\n",
           double(walker.FreeBytesSearched()) / double(1ull << 30), double(bytes) / double(1ull << 30), s,
           double(walker.FreeBytesSearched()) / double(1 << 20) / s, walker.LostDirClusters());
  }
  return 0;
}
