// The FAT12/16/32 boot sector (as Microsoft publishes the FAT format), little-endian.
//
// BIOS parameter block, common to every FAT:
//     0 3  jump instruction            3 8  OEM name
//    11 2  bytes per sector           13 1  sectors per cluster
//    14 2  reserved sectors           16 1  number of FATs
//    17 2  root directory entries (0 on FAT32)
//    19 2  total sectors, 16-bit (0: see 32)
//    21 1  media descriptor           22 2  sectors per FAT, 16-bit (0 on FAT32)
//    24 2  sectors per track          26 2  number of heads
//    28 4  hidden sectors             32 4  total sectors, 32-bit
// FAT12/FAT16 extension:
//    36 1  drive number               37 1  reserved
//    38 1  boot signature 0x29        39 4  volume serial
//    43 11 volume label               54 8  type text ("FAT12   ", "FAT16   ")
// FAT32 extension:
//    36 4  sectors per FAT, 32-bit    40 2  flags (active FAT, mirroring)
//    42 2  version                    44 4  root directory cluster
//    48 2  FSInfo sector              50 2  backup boot sector
//    52 12 reserved                   64 1  drive number
//    65 1  reserved                   66 1  boot signature 0x29
//    67 4  volume serial              71 11 volume label
//    82 8  type text ("FAT32   ")
//   510 2  signature 0x55 0xAA
#pragma once
#include <cstddef>
#include <cstdint>

namespace layout {

namespace raw {
#pragma pack(push, 1)
struct FatBpb {
  uint8_t jump[3];            // 0
  char oemName[8];            // 3
  uint16_t bytesPerSector;    // 11
  uint8_t sectorsPerCluster;  // 13
  uint16_t reservedSectors;   // 14
  uint8_t numFats;            // 16
  uint16_t rootEntries;       // 17
  uint16_t totalSectors16;    // 19
  uint8_t media;              // 21
  uint16_t fatSize16;         // 22
  uint16_t sectorsPerTrack;   // 24
  uint16_t heads;             // 26
  uint32_t hiddenSectors;     // 28
  uint32_t totalSectors32;    // 32
};
struct Fat16Extension {
  uint8_t driveNumber;    // 36
  uint8_t reserved;       // 37
  uint8_t bootSignature;  // 38
  uint32_t volumeId;      // 39
  char volumeLabel[11];   // 43
  char fsType[8];         // 54
};
struct Fat32Extension {
  uint32_t fatSize32;         // 36
  uint16_t extFlags;          // 40
  uint16_t fsVersion;         // 42
  uint32_t rootCluster;       // 44
  uint16_t fsInfoSector;      // 48
  uint16_t backupBootSector;  // 50
  uint8_t reserved[12];       // 52
  uint8_t driveNumber;        // 64
  uint8_t reserved1;          // 65
  uint8_t bootSignature;      // 66
  uint32_t volumeId;          // 67
  char volumeLabel[11];       // 71
  char fsType[8];             // 82
};
#pragma pack(pop)
static_assert(sizeof(FatBpb) == 36, "common BPB is 36 bytes");
static_assert(offsetof(FatBpb, bytesPerSector) == 11, "bytes per sector at 11");
static_assert(offsetof(FatBpb, rootEntries) == 17, "root entries at 17");
static_assert(offsetof(FatBpb, fatSize16) == 22, "FAT size at 22");
static_assert(offsetof(FatBpb, totalSectors32) == 32, "total sectors at 32");
static_assert(sizeof(Fat16Extension) == 26, "FAT16 extension is 26 bytes");
static_assert(offsetof(Fat16Extension, fsType) == 54 - 36, "FAT16 type text at 54");
static_assert(sizeof(Fat32Extension) == 54, "FAT32 extension is 54 bytes");
static_assert(offsetof(Fat32Extension, rootCluster) == 44 - 36, "root cluster at 44");
static_assert(offsetof(Fat32Extension, fsType) == 82 - 36, "FAT32 type text at 82");
}  // namespace raw

const size_t kFatBootSectorSize = 512;
const size_t kFatExtensionOffset = sizeof(raw::FatBpb);

struct FatBootSector {
  char oemName[8] = {};
  uint16_t bytesPerSector = 0;
  uint8_t sectorsPerCluster = 0;
  uint16_t reservedSectors = 0;
  uint8_t numFats = 0;
  uint16_t rootEntries = 0;
  uint16_t totalSectors16 = 0;
  uint8_t media = 0;
  uint16_t fatSize16 = 0;
  uint16_t sectorsPerTrack = 0;
  uint16_t heads = 0;
  uint32_t hiddenSectors = 0;
  uint32_t totalSectors32 = 0;
  bool signatureValid = false;  // 0x55 0xAA at 510

  // Both extensions are decoded, since they share bytes 36 onwards; which one holds is for
  // the caller to know.
  struct Fat16Ext {
    uint8_t driveNumber = 0;
    uint8_t bootSignature = 0;
    uint32_t volumeId = 0;
    char volumeLabel[11] = {};
    char fsType[8] = {};
  } fat16;
  struct Fat32Ext {
    uint32_t fatSize32 = 0;
    uint16_t extFlags = 0;
    uint16_t fsVersion = 0;
    uint32_t rootCluster = 0;
    uint16_t fsInfoSector = 0;
    uint16_t backupBootSector = 0;
    uint8_t driveNumber = 0;
    uint8_t bootSignature = 0;
    uint32_t volumeId = 0;
    char volumeLabel[11] = {};
    char fsType[8] = {};
  } fat32;

  // The reading Microsoft's FAT documentation gives: the 16-bit field when it is not zero, else the 32-bit.
  uint32_t TotalSectors() const { return totalSectors16 ? totalSectors16 : totalSectors32; }
  uint32_t FatSize() const { return fatSize16 ? fatSize16 : fat32.fatSize32; }
};

// False when fewer than 512 bytes are given. Nothing is judged.
bool DecodeFatBootSector(const uint8_t* data, size_t size, FatBootSector* out);

// Data clusters as Microsoft's FAT documentation counts them (the count that decides FAT12, FAT16
// or FAT32), in 64 bits; false when a size is zero or the metadata fills the volume.
bool FatDataClusters(const FatBootSector& b, uint64_t* clusters);
// 12, 16 or 32 by the documented thresholds (below 4085, below 65525, above).
int FatTypeFromClusters(uint64_t clusters);

// Sectors of 512, 1024, 2048 or 4096 bytes: the only sizes Microsoft's FAT documentation allows.
bool FatBytesPerSectorValid(uint32_t bytesPerSector);
// A power of two from 1 to 128.
bool FatSectorsPerClusterValid(uint32_t sectorsPerCluster);
// The fields every reader divides by or places regions with: sector and cluster sizes as
// above, reserved sectors present, one or two FATs (the documentation's values; a third
// would move the data region by a whole FAT, which damage does far more often than a
// formatter), a FAT size, a total, and metadata that leaves room for data. The 0x55 0xAA
// signature is not among them: it tells a boot sector from other sectors, and a volume
// already chosen is read with a damaged one.
bool FatBootSectorSane(const FatBootSector& b);
// 12, 16 or 32, or 0 when the sector is not sane or its layout contradicts its count.
// FAT12 and FAT16 share one layout and the cluster count alone tells them apart, as
// Microsoft's FAT documentation lays down; the type text at 54 or 82 decides nothing. A
// FAT32 volume is the one whose 16-bit FAT size and root entry count are zero: mkfs.fat
// -F 32 makes such volumes with fewer than 65525 clusters, their FAT holds 32-bit entries,
// and reading it as FAT16 would misplace every file. A FAT12/16 layout with 65525 clusters
// or more has no entry width that can address them.
int FatKind(const FatBootSector& b);

}  // namespace layout
