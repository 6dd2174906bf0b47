// The exFAT main boot sector (as Microsoft publishes the exFAT format), little-endian.
//
//     0   3  jump instruction             3   8  file system name "EXFAT   "
//    11  53  must be zero (the old BPB)  64   8  partition offset, sectors
//    72   8  volume length, sectors      80   4  FAT offset, sectors
//    84   4  FAT length, sectors         88   4  cluster heap offset, sectors
//    92   4  cluster count               96   4  first cluster of the root directory
//   100   4  volume serial number       104   2  revision (major.minor)
//   106   2  volume flags               108   1  bytes-per-sector shift (9..12)
//   109   1  sectors-per-cluster shift  110   1  number of FATs (1 or 2)
//   111   1  drive select               112   1  percent in use
//   113   7  reserved                   120 390  boot code
//   510   2  signature 0x55 0xAA
#pragma once
#include <cstddef>
#include <cstdint>

namespace layout {

namespace raw {
#pragma pack(push, 1)
struct ExfatBootSector {
  uint8_t jump[3];                 // 0
  char fileSystemName[8];          // 3
  uint8_t mustBeZero[53];          // 11
  uint64_t partitionOffset;        // 64
  uint64_t volumeLength;           // 72
  uint32_t fatOffset;              // 80
  uint32_t fatLength;              // 84
  uint32_t clusterHeapOffset;      // 88
  uint32_t clusterCount;           // 92
  uint32_t rootDirectoryCluster;   // 96
  uint32_t volumeSerialNumber;     // 100
  uint16_t fileSystemRevision;     // 104
  uint16_t volumeFlags;            // 106
  uint8_t bytesPerSectorShift;     // 108
  uint8_t sectorsPerClusterShift;  // 109
  uint8_t numberOfFats;            // 110
  uint8_t driveSelect;             // 111
  uint8_t percentInUse;            // 112
  uint8_t reserved[7];             // 113
  uint8_t bootCode[390];           // 120
  uint8_t signature[2];            // 510
};
#pragma pack(pop)
static_assert(sizeof(ExfatBootSector) == 512, "exFAT boot sector is 512 bytes");
static_assert(offsetof(ExfatBootSector, mustBeZero) == 11, "zero area at 11");
static_assert(offsetof(ExfatBootSector, partitionOffset) == 64, "partition offset at 64");
static_assert(offsetof(ExfatBootSector, volumeLength) == 72, "volume length at 72");
static_assert(offsetof(ExfatBootSector, fatOffset) == 80, "FAT offset at 80");
static_assert(offsetof(ExfatBootSector, clusterHeapOffset) == 88, "heap offset at 88");
static_assert(offsetof(ExfatBootSector, rootDirectoryCluster) == 96, "root cluster at 96");
static_assert(offsetof(ExfatBootSector, bytesPerSectorShift) == 108, "sector shift at 108");
static_assert(offsetof(ExfatBootSector, numberOfFats) == 110, "FAT count at 110");
static_assert(offsetof(ExfatBootSector, signature) == 510, "signature at 510");
}  // namespace raw

const size_t kExfatBootSectorSize = sizeof(raw::ExfatBootSector);

struct ExfatBootSector {
  bool nameIsExfat = false;    // "EXFAT   " at 3
  bool zeroAreaClean = false;  // bytes 11..63 all zero
  uint64_t partitionOffset = 0;
  uint64_t volumeLength = 0;
  uint32_t fatOffset = 0;
  uint32_t fatLength = 0;
  uint32_t clusterHeapOffset = 0;
  uint32_t clusterCount = 0;
  uint32_t rootDirectoryCluster = 0;
  uint32_t volumeSerialNumber = 0;
  uint16_t fileSystemRevision = 0;
  uint16_t volumeFlags = 0;
  uint8_t bytesPerSectorShift = 0;
  uint8_t sectorsPerClusterShift = 0;
  uint8_t numberOfFats = 0;
  uint8_t driveSelect = 0;
  uint8_t percentInUse = 0;
  bool signatureValid = false;  // 0x55 0xAA at 510
};

// False when fewer than 512 bytes are given. Nothing is judged.
bool DecodeExfatBootSector(const uint8_t* data, size_t size, ExfatBootSector* out);

// The rule every reader of the shifts shares: sectors of 512 to 4096 bytes and clusters of
// at most 32 MiB. Both shifts are then safe to apply.
bool ExfatShiftsValid(uint8_t bytesPerSectorShift, uint8_t sectorsPerClusterShift);
// Sectors per cluster, 0 when the shifts are not valid.
uint32_t ExfatSectorsPerCluster(const ExfatBootSector& b);

// What a reader of a volume already chosen needs: the name "EXFAT   " (all eight bytes),
// the signature and valid shifts.
bool ExfatBootSectorValid(const ExfatBootSector& b);
// ExfatBootSectorValid and the zero area: the test for a sector met among others. The
// zero area exists so that no FAT driver takes the volume for its own; it says nothing
// of the geometry, so a reader does not refuse a volume for a stray byte in it.
bool ExfatBootSectorRecognised(const ExfatBootSector& b);

// The boot region's checksum: sectors 0 to 10 (the main boot sector without its volume
// flags and percent in use, the extended boot sectors, the OEM parameters and the reserved
// sector) summed by rotation, repeated in every 32-bit word of sector 11. True when the
// region holds its own sum: its fields are then those the formatter wrote. region holds
// 12 sectors of bytesPerSector (512 to 4096) bytes.
bool ExfatBootRegionSealed(const uint8_t* region, size_t size, uint32_t bytesPerSector);

}  // namespace layout
