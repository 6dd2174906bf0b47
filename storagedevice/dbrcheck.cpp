#include "storagedevice/dbrcheck.h"

#include <cstring>
#include <vector>

#include "common/inc/bytes.h"
#include "common/inc/idevice.h"
#include "common/layout/exfat_boot.h"
#include "common/layout/fat_boot.h"
#include "common/layout/hfsplus_volume.h"
#include "common/layout/ntfs_boot.h"
#include "common/layout/ntfs_file_record.h"
#include "common/layout/boot_signature.h"

namespace {

// Every test here is handed one sector and no length: 512 bytes is the least a caller
// gives, and every field read lies inside them.
const size_t kBootBytes = 512;

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

// A boot sector's sectors must be the device's, or 512 bytes (an image copied from a disk
// of other sectors still names its own).
bool SectorSizeFitsDevice(uint32_t bytesPerSector, uint32_t deviceSectorSize) {
  return bytesPerSector == deviceSectorSize || bytesPerSector == 512;
}

// The FAT kind of a sound boot sector whose sectors fit the device, else 0.
int FatKindOn(const uint8_t* sector, IDevice* device, layout::FatBootSector* b) {
  if (!sector || !layout::DecodeFatBootSector(sector, kBootBytes, b) || !b->signatureValid) return 0;
  if (!SectorSizeFitsDevice(b->bytesPerSector, DeviceSectorSize(device))) return 0;
  return layout::FatKind(*b);
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

bool HfsSignature(IDevice* device, int64_t sectorNumber, uint16_t signature) {
  std::vector<uint8_t> h;
  uint16_t tag = 0;
  if (!ReadSector2(device, sectorNumber, &h) || !kbytes::ReadBe16(h.data(), h.size(), 0, &tag)) return false;
  return tag == signature && !layout::HasBootSectorSignature(h.data(), h.size());
}

}  // namespace

bool IsValidSectorsPerCluster(uint16_t value) { return layout::FatSectorsPerClusterValid(value); }

bool CheckBootSector(const uint8_t* sector, uint32_t deviceSectorSize) {
  uint16_t bps = 0;
  uint8_t spc = 0;
  if (!sector || !layout::HasBootSectorSignature(sector, kBootBytes) || !kbytes::ReadLe16(sector, kBootBytes, 11, &bps) ||
      !kbytes::ReadU8(sector, kBootBytes, 13, &spc))
    return false;
  if (bps < 256 || bps > 4096 || !kbytes::IsPowerOfTwo(bps) || !SectorSizeFitsDevice(bps, deviceSectorSize))
    return false;
  return IsValidSectorsPerCluster(spc);
}

int FatKindByClusters(const uint8_t* sector) {
  layout::FatBootSector b;
  uint64_t clusters = 0;
  if (!sector || !layout::DecodeFatBootSector(sector, kBootBytes, &b)) return 0;
  if (!layout::FatBytesPerSectorValid(b.bytesPerSector) ||
      !layout::FatSectorsPerClusterValid(b.sectorsPerCluster) || !layout::FatDataClusters(b, &clusters))
    return 0;
  switch (layout::FatTypeFromClusters(clusters)) {
    case 12:
      return 1;
    case 16:
      return 6;
    default:
      return 11;
  }
}

bool IsFat12BootSector(const uint8_t* sector, IDevice* device, int64_t) {
  layout::FatBootSector b;
  return FatKindOn(sector, device, &b) == 12 && b.rootEntries != 0;
}

bool IsFat16BootSector(const uint8_t* sector, IDevice* device, int64_t) {
  layout::FatBootSector b;
  return FatKindOn(sector, device, &b) == 16 && b.rootEntries != 0;
}

bool IsFat32BootSector(const uint8_t* sector, IDevice* device, int64_t) {
  layout::FatBootSector b;
  // FAT32 keeps its root in a cluster chain.
  return FatKindOn(sector, device, &b) == 32 && b.fat32.rootCluster >= 2;
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
  layout::NtfsBootSector b;
  layout::NtfsBootGeometry g;
  if (!layout::DecodeNtfsBootSector(sector, kBootBytes, &b) || !layout::NtfsBootSectorRecognised(b, &g))
    return false;
  // The records are read in device sectors.
  if (g.bytesPerSector != ss || !layout::NtfsGeometryFitsSectors(g, ss)) return false;
  const uint64_t spc = g.sectorsPerCluster;
  if (b.mftLcn > uint64_t(INT64_MAX) / spc) return false;
  uint64_t mftSector = b.mftLcn * spc;
  if (mftSector > uint64_t(INT64_MAX) - uint64_t(sectorNumber)) return false;
  uint64_t sectors = 4 * uint64_t(g.recordBytes) / ss;
  std::vector<uint8_t> buf(size_t(sectors) * ss);
  if (device->ReadSectors(int64_t(mftSector) + sectorNumber, buf.data(), uint32_t(sectors)) != int(sectors))
    return false;
  for (size_t i = 0; i < 4; ++i) {
    const size_t at = i * g.recordBytes;
    if (at >= buf.size() || !layout::IsNtfsFileRecordSignature(buf.data() + at, buf.size() - at)) return false;
  }
  return true;
}

bool IsExfatBootSector(const uint8_t* sector) {
  layout::ExfatBootSector b;
  return sector && layout::DecodeExfatBootSector(sector, kBootBytes, &b) &&
         layout::ExfatBootSectorRecognised(b);
}

uint32_t ExfatSectorsPerCluster(const uint8_t* sector) {
  layout::ExfatBootSector b;
  if (!sector || !layout::DecodeExfatBootSector(sector, kBootBytes, &b)) return 0;
  return layout::ExfatSectorsPerCluster(b);
}

bool IsHfsPlusVolume(IDevice* device, int64_t sectorNumber) {
  return HfsSignature(device, sectorNumber, layout::kHFSPlusSignature);
}
bool IsHfsxVolume(IDevice* device, int64_t sectorNumber) {
  return HfsSignature(device, sectorNumber, layout::kHFSXSignature);
}
bool IsHfsWrapperVolume(IDevice* device, int64_t sectorNumber) {
  return HfsSignature(device, sectorNumber, layout::kHFSWrapperSignature);
}

uint32_t ReadHfsBlockSize(IDevice* device, int64_t sectorNumber) {
  std::vector<uint8_t> h;
  uint16_t tag = 0;
  if (!ReadSector2(device, sectorNumber, &h) || !kbytes::ReadBe16(h.data(), h.size(), 0, &tag)) return 4;
  uint32_t size = 0;
  if (tag == layout::kHFSWrapperSignature) {
    if (!kbytes::ReadBe32(h.data(), h.size(), layout::kHFSWrapperBlockSizeOffset, &size)) return 4;
  } else {
    layout::HFSPlusVolumeHeader vh;
    if (!layout::DecodeHFSPlusVolumeHeader(h.data(), h.size(), &vh)) return 4;
    size = vh.blockSize;
  }
  return layout::HFSPlusBlockSizeValid(size) ? size : 0;
}
