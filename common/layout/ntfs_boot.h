// The NTFS boot sector, little-endian (first sector of the volume; a copy in its last).
//
//     0   3  jump instruction              3   8  OEM id "NTFS    "
//    11   2  bytes per sector             13   1  sectors per cluster: 1..0x80 as is,
//                                                 0xF4..0xFF for 2^(256 - n)
//    14   2  reserved sectors (0)         16   5  unused, zero (FAT count, root entries,
//                                                 16-bit total)
//    21   1  media descriptor             22   2  unused, zero
//    24   2  sectors per track            26   2  number of heads
//    28   4  hidden sectors               32   4  unused, zero
//    36   4  unused (0x00800080)          40   8  total sectors
//    48   8  cluster of $MFT              56   8  cluster of $MFTMirr
//    64   1  clusters per FILE record, signed: n > 0 clusters, n < 0 2^-n bytes
//    65   3  unused                       68   1  clusters per index buffer, as at 64
//    69   3  unused                       72   8  volume serial number
//    80   4  checksum                     84 426  boot code
//   510   2  signature 0x55 0xAA
#pragma once
#include <cstddef>
#include <cstdint>

namespace layout {

namespace raw {
#pragma pack(push, 1)
struct NtfsBootSector {
  uint8_t jump[3];                // 0
  char oemId[8];                  // 3
  uint16_t bytesPerSector;        // 11
  uint8_t sectorsPerCluster;      // 13
  uint16_t reservedSectors;       // 14
  uint8_t unused1[5];             // 16
  uint8_t mediaDescriptor;        // 21
  uint16_t unused2;               // 22
  uint16_t sectorsPerTrack;       // 24
  uint16_t heads;                 // 26
  uint32_t hiddenSectors;         // 28
  uint32_t unused3;               // 32
  uint32_t unused4;               // 36
  uint64_t totalSectors;          // 40
  uint64_t mftLcn;                // 48
  uint64_t mftMirrLcn;            // 56
  int8_t clustersPerRecord;       // 64
  uint8_t unused5[3];             // 65
  int8_t clustersPerIndexBuffer;  // 68
  uint8_t unused6[3];             // 69
  uint64_t serialNumber;          // 72
  uint32_t checksum;              // 80
  uint8_t bootCode[426];          // 84
  uint8_t signature[2];           // 510
};
#pragma pack(pop)
static_assert(sizeof(NtfsBootSector) == 512, "NTFS boot sector is 512 bytes");
static_assert(offsetof(NtfsBootSector, bytesPerSector) == 11, "bytes per sector at 11");
static_assert(offsetof(NtfsBootSector, sectorsPerCluster) == 13, "sectors per cluster at 13");
static_assert(offsetof(NtfsBootSector, totalSectors) == 40, "total sectors at 40");
static_assert(offsetof(NtfsBootSector, mftLcn) == 48, "MFT cluster at 48");
static_assert(offsetof(NtfsBootSector, clustersPerRecord) == 64, "record size at 64");
static_assert(offsetof(NtfsBootSector, clustersPerIndexBuffer) == 68, "index size at 68");
static_assert(offsetof(NtfsBootSector, serialNumber) == 72, "serial at 72");
static_assert(offsetof(NtfsBootSector, signature) == 510, "signature at 510");
}  // namespace raw

const size_t kNtfsBootSectorSize = sizeof(raw::NtfsBootSector);

struct NtfsBootSector {
  char oemId[8] = {};
  bool oemIsNtfs = false;  // exactly "NTFS    "
  uint16_t bytesPerSector = 0;
  uint8_t sectorsPerClusterCode = 0;  // as stored; NtfsSectorsPerCluster decodes it
  uint16_t reservedSectors = 0;
  uint8_t mediaDescriptor = 0;
  uint16_t sectorsPerTrack = 0;
  uint16_t heads = 0;
  uint32_t hiddenSectors = 0;
  uint64_t totalSectors = 0;
  uint64_t mftLcn = 0;
  uint64_t mftMirrLcn = 0;
  int8_t clustersPerRecord = 0;
  int8_t clustersPerIndexBuffer = 0;
  uint64_t serialNumber = 0;
  uint32_t checksum = 0;
  bool signatureValid = false;  // 0x55 0xAA at 510
};

// False when fewer than 512 bytes are given. Nothing is judged: see the helpers below.
bool DecodeNtfsBootSector(const uint8_t* data, size_t size, NtfsBootSector* out);

// Sectors per cluster from the stored code: 1..0x80 as is, 0xF4..0xFF as 2^(256 - n);
// 0 for a code that is no power of two or lies between.
uint32_t NtfsSectorsPerCluster(uint8_t code);
// Bytes of a FILE record or index buffer from its signed field and the cluster size; false
// for 0, for a shift above 31, for no cluster size or for a product that overflows.
bool NtfsSizeFromClusters(int8_t value, uint64_t clusterBytes, uint64_t* bytes);

// The largest FILE record a volume may declare (the 4 KiB records of 4Kn disks), and so
// the most data a file can keep resident inside its record.
const uint32_t kNtfsMaxRecordBytes = 4096;

// The geometry every reader of an NTFS boot sector takes from it.
struct NtfsBootGeometry {
  uint32_t bytesPerSector = 0;
  uint32_t sectorsPerCluster = 0;
  uint32_t clusterBytes = 0;
  uint32_t recordBytes = 0;
};

// The rules every reader shares, true and *out filled when they all hold: the OEM id is
// exactly "NTFS    "; sectors of 256 to 4096 bytes, a power of two; a cluster code as
// NtfsSectorsPerCluster decodes it (0xF4..0xFF: the large clusters of 128 KiB up) with
// clusters of at most 2 MiB; FILE records of 512 to 4096 bytes, a power of two (the sizes
// NTFS writes; a smaller one cannot hold its fixup stride, a larger one is damage); at
// least one cluster; the $MFT past the boot sector and inside the volume. The 0x55 0xAA
// signature is not among them: it tells a boot sector from other sectors, and a volume
// already chosen is read with a damaged one (NtfsBootSectorRecognised adds it).
bool NtfsBootSectorValid(const NtfsBootSector& b, NtfsBootGeometry* out);
// NtfsBootSectorValid and the signature: the test for a sector met among others.
bool NtfsBootSectorRecognised(const NtfsBootSector& b, NtfsBootGeometry* out);
// Whether FILE records and clusters are whole device sectors, as a reader that fetches
// them by sector needs: a 1 KiB record on 4 KiB sectors cannot be addressed.
bool NtfsGeometryFitsSectors(const NtfsBootGeometry& g, uint32_t deviceSectorBytes);

}  // namespace layout
