// The geometry an image file gives itself: a volume copied out of a disk with 4 KiB sectors
// keeps them, and only its boot record says so.
#include "platform/platform.h"

#include "common/layout/exfat_boot.h"
#include "common/layout/fat_boot.h"
#include "common/layout/ntfs_boot.h"

namespace plat {

uint32_t SectorSizeNamedByBootRecord(const uint8_t* sector, size_t size) {
  if (!sector || size < 512) return 0;
  // Each file system's own test for a boot sector met among others, the signature
  // included, so that a partition table's code or a stray copy names nothing.
  layout::NtfsBootSector ntfs;
  layout::NtfsBootGeometry geometry;
  if (layout::DecodeNtfsBootSector(sector, size, &ntfs) && layout::NtfsBootSectorRecognised(ntfs, &geometry))
    return geometry.bytesPerSector >= 512 ? geometry.bytesPerSector : 0;
  layout::ExfatBootSector exfat;
  if (layout::DecodeExfatBootSector(sector, size, &exfat) && layout::ExfatBootSectorRecognised(exfat))
    return uint32_t(1) << exfat.bytesPerSectorShift;
  layout::FatBootSector fat;
  // A FAT boot sector starts with a jump over its parameter block, as Microsoft's FAT
  // documentation lays down; the code of a master boot record seldom does.
  const bool jump = sector[0] == 0xE9 || (sector[0] == 0xEB && sector[2] == 0x90);
  if (jump && layout::DecodeFatBootSector(sector, size, &fat) && fat.signatureValid &&
      layout::FatKind(fat) != 0)
    return fat.bytesPerSector;
  return 0;
}

}  // namespace plat
