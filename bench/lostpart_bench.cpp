// Throughput of the lost-partition search next to a plain sequential read of the same
// image, both from the page cache (the image is read once before either is timed).
//   lostpart_bench [image]   default: the test fixture lostdisk.img
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/inc/inotifysink.h"
#include "common/inc/kestrum_types.h"
#include "storagedevice/cdisk.h"
#include "storagedevice/devenum.h"

namespace {

struct CountingSink : INotifySink {
  int found = 0;
  int chunks = 0;
  int Notify(int e, int64_t, int64_t, void* obj) override {
    if (e == NE_PERCENT) ++chunks;
    if (e == NE_PARTITION_FOUND && obj) {
      ++found;
      static_cast<IDevice*>(obj)->Release();
    }
    return 0;
  }
};

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// Reads the whole file in 8 MiB pieces; the bytes read.
uint64_t PlainRead(const char* path) {
  int fd = open(path, O_RDONLY);
  if (fd < 0) return 0;
  std::vector<char> buf(8 << 20);
  uint64_t total = 0;
  ssize_t n;
  while ((n = read(fd, buf.data(), buf.size())) > 0) total += uint64_t(n);
  close(fd);
  return total;
}

}  // namespace

int main(int argc, char** argv) {
  std::string img = argc > 1 ? argv[1] : std::string(KESTRUM_BENCH_FIXTURE_DIR) + "/lostdisk.img";
  if (access(img.c_str(), R_OK) != 0) {
    fprintf(stderr, "no image %s (build the test fixtures first)\n", img.c_str());
    return 1;
  }
  setenv("KESTRUM_DISKS", img.c_str(), 1);
  QueryDiskDrives();

  PlainRead(img.c_str());  // into the page cache
  auto t0 = std::chrono::steady_clock::now();
  uint64_t bytes = PlainRead(img.c_str());
  double plain = Seconds(t0);
  printf("image %s: %.2f GiB\n", img.c_str(), double(bytes) / (1 << 30));
  printf("plain sequential read: %8.1f MB/s\n", double(bytes) / 1e6 / plain);

  for (int mode : {0, 3}) {
    CDisk* disk = new CDisk();
    if (disk->OpenByIndex(0) != 0) {
      fprintf(stderr, "cannot open the image as a disk\n");
      disk->Release();
      return 1;
    }
    CountingSink sink;
    t0 = std::chrono::steady_clock::now();
    int rc = disk->SearchPartitions(mode, &sink);
    double t = Seconds(t0);
    printf("search mode %d:        %8.1f MB/s over the whole disk (%d chunks read, %d found, rc %d, %.2f s)\n",
           mode, double(bytes) / 1e6 / t, sink.chunks, sink.found, rc, t);
    disk->Release();
  }
  return 0;
}
