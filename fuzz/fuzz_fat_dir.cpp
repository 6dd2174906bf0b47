// Feeds arbitrary bytes to the FAT and exFAT directory parsers, split into blocks as the
// scanners feed clusters, so that runs and entry sets crossing a block end are exercised.
#include <cstddef>
#include <cstdint>

#include "filesystems/fatentry.h"
#include "filesystems/fatwalk.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  size_t block = size_t(32) << (data[0] % 4);
  data += 1;
  size -= 1;
  fat::FatDirParser f16(fat::kFat16), f32(fat::kFat32);
  fat::ExfatDirParser ex;
  size_t names = 0;
  for (size_t off = 0; off < size; off += block) {
    size_t n = size - off < block ? size - off : block;
    f16.Feed(data + off, n, [&](const fat::FatDirItem& it) { names += it.name.size(); return true; });
    f32.Feed(data + off, n, [&](const fat::FatDirItem& it) { names += it.name.size(); return true; });
    ex.Feed(data + off, n, [&](const fat::ExfatItem& it) { names += it.name.size(); return true; });
  }
  // The directory ends: a set still open whose count ran past it.
  ex.Flush([&](const fat::ExfatItem& it) {
    names += it.name.size();
    return true;
  });
  // Each block as a free cluster that may hold a lost folder's entries.
  fat::FatGeometry lost;
  lost.kind = (block & 64) ? fat::kFat32 : fat::kFat16;
  lost.bytesPerSector = 512;
  lost.totalSectors = 1 << 20;
  lost.maxCluster = 1 << 18;
  fat::DirClusterShape shape;
  for (size_t off = 0; off < size; off += block) {
    size_t n = size - off < block ? size - off : block;
    if (fat::FatDirClusterShapeOf(lost, data + off, n, uint32_t(2 + off / block), &shape)) names += shape.head.size();
  }
  if (size >= 512) {
    fat::FatGeometry g;
    fat::ExfatVolume e;
    fat::ParseFatBoot(data, size, fat::kFat16, size, &g);
    fat::ParseFatBoot(data, size, fat::kFat32, 0, &g);
    fat::ParseExfatBoot(data, size, size, &e);
  }
  return names > size_t(-2) ? 1 : 0;
}
