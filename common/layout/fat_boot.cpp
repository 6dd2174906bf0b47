#include "common/layout/fat_boot.h"

#include "common/inc/bytes.h"
#include "common/layout/boot_signature.h"

namespace layout {

namespace {

bool DecodeFat16Ext(const kbytes::ByteView& v, FatBootSector::Fat16Ext* e) {
  const size_t b = kFatExtensionOffset;
  return v.U8(b + offsetof(raw::Fat16Extension, driveNumber), &e->driveNumber) &&
         v.U8(b + offsetof(raw::Fat16Extension, bootSignature), &e->bootSignature) &&
         v.Le32(b + offsetof(raw::Fat16Extension, volumeId), &e->volumeId) &&
         v.Bytes(b + offsetof(raw::Fat16Extension, volumeLabel), e->volumeLabel, 11) &&
         v.Bytes(b + offsetof(raw::Fat16Extension, fsType), e->fsType, 8);
}

bool DecodeFat32Ext(const kbytes::ByteView& v, FatBootSector::Fat32Ext* e) {
  const size_t b = kFatExtensionOffset;
  return v.Le32(b + offsetof(raw::Fat32Extension, fatSize32), &e->fatSize32) &&
         v.Le16(b + offsetof(raw::Fat32Extension, extFlags), &e->extFlags) &&
         v.Le16(b + offsetof(raw::Fat32Extension, fsVersion), &e->fsVersion) &&
         v.Le32(b + offsetof(raw::Fat32Extension, rootCluster), &e->rootCluster) &&
         v.Le16(b + offsetof(raw::Fat32Extension, fsInfoSector), &e->fsInfoSector) &&
         v.Le16(b + offsetof(raw::Fat32Extension, backupBootSector), &e->backupBootSector) &&
         v.U8(b + offsetof(raw::Fat32Extension, driveNumber), &e->driveNumber) &&
         v.U8(b + offsetof(raw::Fat32Extension, bootSignature), &e->bootSignature) &&
         v.Le32(b + offsetof(raw::Fat32Extension, volumeId), &e->volumeId) &&
         v.Bytes(b + offsetof(raw::Fat32Extension, volumeLabel), e->volumeLabel, 11) &&
         v.Bytes(b + offsetof(raw::Fat32Extension, fsType), e->fsType, 8);
}

}  // namespace

bool DecodeFatBootSector(const uint8_t* data, size_t size, FatBootSector* out) {
  if (!data || !out || size < kFatBootSectorSize) return false;
  kbytes::ByteView v(data, size);
  FatBootSector b;
  bool ok = v.Bytes(offsetof(raw::FatBpb, oemName), b.oemName, 8) &&
            v.Le16(offsetof(raw::FatBpb, bytesPerSector), &b.bytesPerSector) &&
            v.U8(offsetof(raw::FatBpb, sectorsPerCluster), &b.sectorsPerCluster) &&
            v.Le16(offsetof(raw::FatBpb, reservedSectors), &b.reservedSectors) &&
            v.U8(offsetof(raw::FatBpb, numFats), &b.numFats) &&
            v.Le16(offsetof(raw::FatBpb, rootEntries), &b.rootEntries) &&
            v.Le16(offsetof(raw::FatBpb, totalSectors16), &b.totalSectors16) &&
            v.U8(offsetof(raw::FatBpb, media), &b.media) &&
            v.Le16(offsetof(raw::FatBpb, fatSize16), &b.fatSize16) &&
            v.Le16(offsetof(raw::FatBpb, sectorsPerTrack), &b.sectorsPerTrack) &&
            v.Le16(offsetof(raw::FatBpb, heads), &b.heads) &&
            v.Le32(offsetof(raw::FatBpb, hiddenSectors), &b.hiddenSectors) &&
            v.Le32(offsetof(raw::FatBpb, totalSectors32), &b.totalSectors32) && DecodeFat16Ext(v, &b.fat16) &&
            DecodeFat32Ext(v, &b.fat32);
  if (!ok) return false;
  b.signatureValid = HasBootSectorSignature(data, size);
  *out = b;
  return true;
}

bool FatDataClusters(const FatBootSector& b, uint64_t* clusters) {
  if (!clusters || b.bytesPerSector == 0 || b.sectorsPerCluster == 0) return false;
  uint64_t bps = b.bytesPerSector;
  uint64_t rootSectors = (uint64_t(b.rootEntries) * 32 + bps - 1) / bps;
  uint64_t overhead = uint64_t(b.reservedSectors) + uint64_t(b.numFats) * b.FatSize() + rootSectors;
  uint64_t total = b.TotalSectors();
  if (overhead >= total) return false;
  *clusters = (total - overhead) / b.sectorsPerCluster;
  return true;
}

int FatTypeFromClusters(uint64_t clusters) {
  if (clusters < 4085) return 12;
  if (clusters < 65525) return 16;
  return 32;
}

bool FatBytesPerSectorValid(uint32_t bytesPerSector) {
  return bytesPerSector >= 512 && bytesPerSector <= 4096 && kbytes::IsPowerOfTwo(bytesPerSector);
}

bool FatSectorsPerClusterValid(uint32_t sectorsPerCluster) {
  return sectorsPerCluster >= 1 && sectorsPerCluster <= 128 && kbytes::IsPowerOfTwo(sectorsPerCluster);
}

bool FatBootSectorSane(const FatBootSector& b) {
  if (!FatBytesPerSectorValid(b.bytesPerSector) || !FatSectorsPerClusterValid(b.sectorsPerCluster))
    return false;
  if (b.reservedSectors == 0 || b.numFats < 1 || b.numFats > 2) return false;
  uint64_t clusters = 0;
  return b.FatSize() != 0 && b.TotalSectors() != 0 && FatDataClusters(b, &clusters) && clusters != 0;
}

int FatKind(const FatBootSector& b) {
  uint64_t clusters = 0;
  if (!FatBootSectorSane(b) || !FatDataClusters(b, &clusters)) return 0;
  if (b.fatSize16 == 0) return b.rootEntries == 0 ? 32 : 0;
  int type = FatTypeFromClusters(clusters);
  return type == 32 ? 0 : type;
}

}  // namespace layout
