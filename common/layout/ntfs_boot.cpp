#include "common/layout/ntfs_boot.h"

#include <cstring>

#include "common/inc/bytes.h"
#include "common/layout/boot_signature.h"

namespace layout {

bool DecodeNtfsBootSector(const uint8_t* data, size_t size, NtfsBootSector* out) {
  if (!data || !out || size < kNtfsBootSectorSize) return false;
  kbytes::ByteView v(data, size);
  NtfsBootSector b;
  uint8_t perRecord = 0, perIndex = 0;
  bool ok = v.Bytes(offsetof(raw::NtfsBootSector, oemId), b.oemId, 8) &&
            v.Le16(offsetof(raw::NtfsBootSector, bytesPerSector), &b.bytesPerSector) &&
            v.U8(offsetof(raw::NtfsBootSector, sectorsPerCluster), &b.sectorsPerClusterCode) &&
            v.Le16(offsetof(raw::NtfsBootSector, reservedSectors), &b.reservedSectors) &&
            v.U8(offsetof(raw::NtfsBootSector, mediaDescriptor), &b.mediaDescriptor) &&
            v.Le16(offsetof(raw::NtfsBootSector, sectorsPerTrack), &b.sectorsPerTrack) &&
            v.Le16(offsetof(raw::NtfsBootSector, heads), &b.heads) &&
            v.Le32(offsetof(raw::NtfsBootSector, hiddenSectors), &b.hiddenSectors) &&
            v.Le64(offsetof(raw::NtfsBootSector, totalSectors), &b.totalSectors) &&
            v.Le64(offsetof(raw::NtfsBootSector, mftLcn), &b.mftLcn) &&
            v.Le64(offsetof(raw::NtfsBootSector, mftMirrLcn), &b.mftMirrLcn) &&
            v.U8(offsetof(raw::NtfsBootSector, clustersPerRecord), &perRecord) &&
            v.U8(offsetof(raw::NtfsBootSector, clustersPerIndexBuffer), &perIndex) &&
            v.Le64(offsetof(raw::NtfsBootSector, serialNumber), &b.serialNumber) &&
            v.Le32(offsetof(raw::NtfsBootSector, checksum), &b.checksum);
  if (!ok) return false;
  b.clustersPerRecord = int8_t(perRecord);
  b.clustersPerIndexBuffer = int8_t(perIndex);
  b.oemIsNtfs = std::memcmp(b.oemId, "NTFS    ", 8) == 0;
  b.signatureValid = HasBootSectorSignature(data, size);
  *out = b;
  return true;
}

uint32_t NtfsSectorsPerCluster(uint8_t code) {
  uint32_t n = 0;
  if (code <= 0x80)
    n = code;
  else if (code >= 0xF4)
    n = uint32_t(1) << (256 - code);
  return kbytes::IsPowerOfTwo(n) ? n : 0;
}

bool NtfsSizeFromClusters(int8_t value, uint64_t clusterBytes, uint64_t* bytes) {
  if (!bytes || value == 0) return false;
  if (value < 0) {
    int shift = -int(value);
    if (shift > 31) return false;
    *bytes = uint64_t(1) << shift;
    return true;
  }
  if (clusterBytes == 0 || clusterBytes > UINT64_MAX / uint64_t(value)) return false;
  *bytes = uint64_t(value) * clusterBytes;
  return true;
}

bool NtfsBootSectorValid(const NtfsBootSector& b, NtfsBootGeometry* out) {
  if (!b.oemIsNtfs) return false;
  const uint32_t bps = b.bytesPerSector;
  if (!kbytes::IsPowerOfTwo(bps) || bps < 256 || bps > 4096) return false;
  const uint32_t spc = NtfsSectorsPerCluster(b.sectorsPerClusterCode);
  if (spc == 0) return false;
  const uint64_t clusterBytes = uint64_t(spc) * bps;
  if (clusterBytes > (uint64_t(1) << 21)) return false;
  uint64_t recordBytes = 0;
  if (!NtfsSizeFromClusters(b.clustersPerRecord, clusterBytes, &recordBytes)) return false;
  if (!kbytes::IsPowerOfTwo(recordBytes) || recordBytes < 512 || recordBytes > kNtfsMaxRecordBytes)
    return false;
  // Cluster 0 holds the boot sector itself.
  if (b.totalSectors < spc || b.mftLcn == 0 || b.mftLcn >= b.totalSectors / spc) return false;
  if (out) {
    out->bytesPerSector = bps;
    out->sectorsPerCluster = spc;
    out->clusterBytes = uint32_t(clusterBytes);
    out->recordBytes = uint32_t(recordBytes);
  }
  return true;
}

bool NtfsBootSectorRecognised(const NtfsBootSector& b, NtfsBootGeometry* out) {
  return b.signatureValid && NtfsBootSectorValid(b, out);
}

bool NtfsGeometryFitsSectors(const NtfsBootGeometry& g, uint32_t deviceSectorBytes) {
  const uint32_t d = deviceSectorBytes;
  if (!kbytes::IsPowerOfTwo(d)) return false;
  return g.clusterBytes >= d && g.clusterBytes % d == 0 && g.recordBytes >= d && g.recordBytes % d == 0;
}

}  // namespace layout
