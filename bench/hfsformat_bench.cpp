// HFS+ formatted-volume reader throughput on a page-cached image: an HFS+ volume (header
// zeroed, so the probe also looks for an extents tree at every sector) followed by random
// filler. The probe covers the first sixth of the image; MB/s counts those bytes.
// Usage: hfsformat_bench <hfsplus.img> [MiB, default 1536] [work image path]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "common/inc/ifileinfo.h"
#include "common/inc/ifilemanager.h"
#include "common/inc/inotifysink.h"
#include "common/inc/iscanoperator.h"
#include "common/inc/istoragedevice.h"
#include "common/inc/seams.h"
#include "readonlystorage.h"
#include "stubfilemanager.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s hfsplus.img [MiB] [work image]\n", argv[0]);
    return 2;
  }
  uint64_t mib = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1536;
  std::string work = argc > 3 ? argv[3] : "/tmp/hfsformat_bench.img";
  std::FILE* in = std::fopen(argv[1], "rb");
  if (!in) return 1;
  std::vector<uint8_t> volume;
  uint8_t chunk[65536];
  for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, in)) > 0;) volume.insert(volume.end(), chunk, chunk + n);
  std::fclose(in);
  std::memset(volume.data() + 1024, 0, 512);
  std::FILE* out = std::fopen(work.c_str(), "wb");
  if (!out) return 1;
  std::fwrite(volume.data(), 1, volume.size(), out);
  std::mt19937_64 rng(7);
  std::vector<uint64_t> filler(1 << 17);
  for (uint64_t written = volume.size(); written < (mib << 20); written += filler.size() * 8) {
    for (auto& w : filler) w = rng();
    std::fwrite(filler.data(), 8, filler.size(), out);
  }
  std::fclose(out);

  FileStorage dev(work, 2048, DT_PARTITION);
  uint64_t size = 0;
  dev.GetSize(&size);
  {  // warm the page cache
    std::vector<uint8_t> buf(1 << 20);
    for (uint64_t s = 0; s < size / 512; s += 2048) dev.ReadSectors(int64_t(s), buf.data(), 2048);
  }
  CountingFileManager files;
  QuietSink sink;
  IScanOperator* scan = CreateHfspFormatScanner(&dev);
  scan->SetFileManager(&files);
  auto t0 = std::chrono::steady_clock::now();
  int rc = scan->Scan(&sink);
  double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  scan->Release();
  double probed = double(size / 512 / 6) * 512 / 1e6;
  std::printf("rc %d, %zu files, %.1f MB probed in %.3f s: %.0f MB/s\n", rc, files.files, probed, s,
              probed / s);
  std::remove(work.c_str());
  return rc == 0 ? 0 : 1;
}
