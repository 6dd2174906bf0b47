#include "common/layout/exfat_boot.h"

#include <cstring>

#include "common/inc/bytes.h"
#include "common/layout/boot_signature.h"

namespace layout {

bool DecodeExfatBootSector(const uint8_t* data, size_t size, ExfatBootSector* out) {
  if (!data || !out || size < kExfatBootSectorSize) return false;
  kbytes::ByteView v(data, size);
  ExfatBootSector b;
  char name[8];
  uint8_t zero[53];
  bool ok = v.Bytes(offsetof(raw::ExfatBootSector, fileSystemName), name, 8) &&
            v.Bytes(offsetof(raw::ExfatBootSector, mustBeZero), zero, sizeof zero) &&
            v.Le64(offsetof(raw::ExfatBootSector, partitionOffset), &b.partitionOffset) &&
            v.Le64(offsetof(raw::ExfatBootSector, volumeLength), &b.volumeLength) &&
            v.Le32(offsetof(raw::ExfatBootSector, fatOffset), &b.fatOffset) &&
            v.Le32(offsetof(raw::ExfatBootSector, fatLength), &b.fatLength) &&
            v.Le32(offsetof(raw::ExfatBootSector, clusterHeapOffset), &b.clusterHeapOffset) &&
            v.Le32(offsetof(raw::ExfatBootSector, clusterCount), &b.clusterCount) &&
            v.Le32(offsetof(raw::ExfatBootSector, rootDirectoryCluster), &b.rootDirectoryCluster) &&
            v.Le32(offsetof(raw::ExfatBootSector, volumeSerialNumber), &b.volumeSerialNumber) &&
            v.Le16(offsetof(raw::ExfatBootSector, fileSystemRevision), &b.fileSystemRevision) &&
            v.Le16(offsetof(raw::ExfatBootSector, volumeFlags), &b.volumeFlags) &&
            v.U8(offsetof(raw::ExfatBootSector, bytesPerSectorShift), &b.bytesPerSectorShift) &&
            v.U8(offsetof(raw::ExfatBootSector, sectorsPerClusterShift), &b.sectorsPerClusterShift) &&
            v.U8(offsetof(raw::ExfatBootSector, numberOfFats), &b.numberOfFats) &&
            v.U8(offsetof(raw::ExfatBootSector, driveSelect), &b.driveSelect) &&
            v.U8(offsetof(raw::ExfatBootSector, percentInUse), &b.percentInUse);
  if (!ok) return false;
  b.nameIsExfat = std::memcmp(name, "EXFAT   ", 8) == 0;
  b.zeroAreaClean = true;
  for (uint8_t z : zero) b.zeroAreaClean = b.zeroAreaClean && z == 0;
  b.signatureValid = HasBootSectorSignature(data, size);
  *out = b;
  return true;
}

bool ExfatShiftsValid(uint8_t bytesPerSectorShift, uint8_t sectorsPerClusterShift) {
  return bytesPerSectorShift >= 9 && bytesPerSectorShift <= 12 &&
         sectorsPerClusterShift <= 25 - bytesPerSectorShift;
}

uint32_t ExfatSectorsPerCluster(const ExfatBootSector& b) {
  if (!ExfatShiftsValid(b.bytesPerSectorShift, b.sectorsPerClusterShift)) return 0;
  return uint32_t(1) << b.sectorsPerClusterShift;
}

bool ExfatBootSectorValid(const ExfatBootSector& b) {
  return b.nameIsExfat && b.signatureValid &&
         ExfatShiftsValid(b.bytesPerSectorShift, b.sectorsPerClusterShift);
}

bool ExfatBootSectorRecognised(const ExfatBootSector& b) {
  return b.zeroAreaClean && ExfatBootSectorValid(b);
}

bool ExfatBootRegionSealed(const uint8_t* region, size_t size, uint32_t bytesPerSector) {
  if (!region || bytesPerSector < 512 || bytesPerSector > 4096 || (bytesPerSector & (bytesPerSector - 1)))
    return false;
  const size_t summed = size_t(11) * bytesPerSector;
  if (size < summed + bytesPerSector) return false;
  uint32_t sum = 0;
  for (size_t i = 0; i < summed; ++i) {
    if (i == 106 || i == 107 || i == 112) continue;
    sum = ((sum & 1) ? 0x80000000u : 0) + (sum >> 1) + region[i];
  }
  for (size_t i = summed; i < summed + bytesPerSector; i += 4) {
    uint32_t word = 0;
    if (!kbytes::ReadLe32(region, size, i, &word) || word != sum) return false;
  }
  return true;
}

}  // namespace layout
