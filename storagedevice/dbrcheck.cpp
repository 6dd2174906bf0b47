#include "storagedevice/dbrcheck.h"

#include <cstring>
#include <vector>

#include "common/inc/bytes.h"
#include "common/inc/idevice.h"

namespace {


bool HasSignature(const uint8_t* s) { return s[510] == 0x55 && s[511] == 0xAA; }

// The sector size a device reads in: a disk's geometry, a partition's record.
uint32_t DeviceSectorSize(IDevice* device) {
  if (!device) return 0;
  DiskGeometry g;
  memset(&g, 0, sizeof g);
  if (device->GetGeometry(&g) == 0 && kbytes::IsPowerOfTwo(g.BytesPerSector)) return g.BytesPerSector;
  PartitionInfo info;
  memset(&info, 0, sizeof info);
  if (device->GetPartitionInfo(&info) == 0 && kbytes::IsPowerOfTwo(info.SectorSize)) return info.SectorSize;
  return 512;
}

bool ValidSectorSize(uint32_t v) { return v >= 256 && v <= 4096 && kbytes::IsPowerOfTwo(v); }

struct FatLayout {
  uint32_t bytesPerSector, sectorsPerCluster, reserved, fats, rootEntries, fatSize, total;
};

FatLayout ReadFatLayout(const uint8_t* s) {
  FatLayout l;
  l.bytesPerSector = kbytes::Le16(s + 11);
  l.sectorsPerCluster = s[13];
  l.reserved = kbytes::Le16(s + 14);
  l.fats = s[16];
  l.rootEntries = kbytes::Le16(s + 17);
  uint16_t total16 = kbytes::Le16(s + 19);
  uint16_t fat16 = kbytes::Le16(s + 22);
  l.fatSize = fat16 ? fat16 : kbytes::Le32(s + 36);
  l.total = total16 ? total16 : kbytes::Le32(s + 32);
  return l;
}

// The checks every FAT kind shares: one or two FATs, reserved sectors present, a FAT.
bool FatCommon(const uint8_t* sector, IDevice* device) {
  if (!sector || !CheckBootSector(sector, DeviceSectorSize(device))) return false;
  FatLayout l = ReadFatLayout(sector);
  return (l.fats == 1 || l.fats == 2) && l.reserved != 0 && l.fatSize != 0 && l.total != 0;
}

bool ReadSector2(IDevice* device, int64_t sectorNumber, std::vector<uint8_t>* out) {
  if (!device || sectorNumber < 0 || sectorNumber > INT64_MAX - 2) return false;
  uint32_t ss = DeviceSectorSize(device);
  if (ss < 512) return false;
  // The header sits at byte 1024 of the volume; a large sector holds it inside.
  int64_t sector = sectorNumber + int64_t(1024 / ss);
  size_t offset = 1024 % ss;
  std::vector<uint8_t> buf(ss);
  if (device->ReadSectors(sector, buf.data(), 1) != 1) return false;
  if (ss - offset < 512) return false;
  out->assign(buf.begin() + long(offset), buf.begin() + long(offset) + 512);
  return true;
}

bool HfsSignature(IDevice* device, int64_t sectorNumber, char a, char b) {
  std::vector<uint8_t> h;
  if (!ReadSector2(device, sectorNumber, &h) || h.size() < 512) return false;
  return h[0] == uint8_t(a) && h[1] == uint8_t(b) && !HasSignature(h.data());
}

}  // namespace

bool IsValidSectorsPerCluster(uint16_t value) { return value >= 1 && value <= 128 && kbytes::IsPowerOfTwo(value); }

bool CheckBootSector(const uint8_t* sector, uint32_t deviceSectorSize) {
  if (!sector || !HasSignature(sector)) return false;
  uint32_t bps = kbytes::Le16(sector + 11);
  if (!ValidSectorSize(bps) || (bps != deviceSectorSize && bps != 512)) return false;
  return IsValidSectorsPerCluster(sector[13]);
}

int FatKindByClusters(const uint8_t* sector) {
  if (!sector) return 0;
  FatLayout l = ReadFatLayout(sector);
  if (!ValidSectorSize(l.bytesPerSector) || !IsValidSectorsPerCluster(uint16_t(l.sectorsPerCluster))) return 0;
  uint64_t rootSectors = (uint64_t(l.rootEntries) * 32 + l.bytesPerSector - 1) / l.bytesPerSector;
  uint64_t overhead = uint64_t(l.reserved) + uint64_t(l.fats) * l.fatSize + rootSectors;
  if (overhead >= l.total) return 0;
  uint64_t clusters = (l.total - overhead) / l.sectorsPerCluster;
  if (clusters < 4085) return 1;
  if (clusters < 65525) return 6;
  return 11;
}

bool IsFat12BootSector(const uint8_t* sector, IDevice* device, int64_t) {
  return FatCommon(sector, device) && kbytes::Le16(sector + 17) != 0 && FatKindByClusters(sector) == 1;
}

bool IsFat16BootSector(const uint8_t* sector, IDevice* device, int64_t) {
  return FatCommon(sector, device) && kbytes::Le16(sector + 17) != 0 && FatKindByClusters(sector) == 6;
}

bool IsFat32BootSector(const uint8_t* sector, IDevice* device, int64_t) {
  if (!FatCommon(sector, device)) return false;
  // FAT32 keeps its root in a cluster chain and its FAT size in the 32-bit field only.
  if (kbytes::Le16(sector + 17) != 0 || kbytes::Le16(sector + 22) != 0) return false;
  return kbytes::Le32(sector + 44) >= 2 && FatKindByClusters(sector) == 11;
}

int LowestSetBit(uint32_t value) {
  if (value == 0) return 0;
  int n = 1;
  while (!(value & 1)) {
    value >>= 1;
    ++n;
  }
  return n;
}

bool IsNtfsBootSector(const uint8_t* sector, IDevice* device, int64_t sectorNumber) {
  if (!sector || !device || sectorNumber < 0) return false;
  uint32_t ss = DeviceSectorSize(device);
  if (!CheckBootSector(sector, ss) || memcmp(sector + 3, "NTFS    ", 8) != 0) return false;
  uint32_t bps = kbytes::Le16(sector + 11);
  if (bps != ss) return false;  // the records are read in device sectors
  uint32_t spc = sector[13];
  uint32_t clusterBytes = bps * spc;
  int8_t sizeByte = int8_t(sector[64]);
  uint64_t recordBytes;
  if (sizeByte < 0) {
    int shift = -sizeByte;
    if (shift < 8 || shift > 16) return false;
    recordBytes = uint64_t(1) << shift;
  } else {
    if (sizeByte == 0) return false;
    recordBytes = uint64_t(uint8_t(sizeByte)) << (LowestSetBit(clusterBytes) - 1);
  }
  if (recordBytes < ss || recordBytes > 65536 || recordBytes % ss != 0) return false;
  uint64_t mftCluster = kbytes::Le64(sector + 48);
  if (mftCluster == 0 || mftCluster > uint64_t(INT64_MAX) / spc) return false;
  uint64_t mftSector = mftCluster * spc;
  if (mftSector > uint64_t(INT64_MAX) - uint64_t(sectorNumber)) return false;
  uint64_t sectors = 4 * recordBytes / ss;
  std::vector<uint8_t> buf(size_t(sectors) * ss);
  if (device->ReadSectors(int64_t(mftSector) + sectorNumber, buf.data(), uint32_t(sectors)) != int(sectors))
    return false;
  for (int i = 0; i < 4; ++i)
    if (memcmp(buf.data() + size_t(i) * recordBytes, "FILE", 4) != 0) return false;
  return true;
}

bool IsExfatBootSector(const uint8_t* sector) {
  if (!sector || !HasSignature(sector) || memcmp(sector + 3, "EXFAT   ", 8) != 0) return false;
  // The old BPB area must be zero, so that no FAT tool mistakes the volume.
  for (int i = 11; i < 64; ++i)
    if (sector[i] != 0) return false;
  return ExfatSectorsPerCluster(sector) != 0;
}

uint32_t ExfatSectorsPerCluster(const uint8_t* sector) {
  if (!sector) return 0;
  uint8_t bytesShift = sector[108], clusterShift = sector[109];
  // Microsoft's exFAT documentation: sectors of 512 to 4096 bytes, clusters of at most 32 MiB.
  if (bytesShift < 9 || bytesShift > 12 || clusterShift > 25 - bytesShift) return 0;
  return uint32_t(1) << clusterShift;
}

bool IsHfsPlusVolume(IDevice* device, int64_t sectorNumber) { return HfsSignature(device, sectorNumber, 'H', '+'); }
bool IsHfsxVolume(IDevice* device, int64_t sectorNumber) { return HfsSignature(device, sectorNumber, 'H', 'X'); }
bool IsHfsWrapperVolume(IDevice* device, int64_t sectorNumber) { return HfsSignature(device, sectorNumber, 'B', 'D'); }

uint32_t ReadHfsBlockSize(IDevice* device, int64_t sectorNumber) {
  std::vector<uint8_t> h;
  if (!ReadSector2(device, sectorNumber, &h) || h.size() < 512) return 4;
  // An HFS wrapper keeps its allocation block size at 20; HFS+ and HFSX at 40.
  uint32_t size = (h[0] == 'B' && h[1] == 'D') ? kbytes::Be32(&h[20]) : kbytes::Be32(&h[40]);
  if (size < 512 || size > (1u << 20) || !kbytes::IsPowerOfTwo(size)) return 0;
  return size;
}
