// Free boot-sector tests used by partition and drive-letter detection. Every field that
// later code divides by or shifts with is validated here: a sector that passes gives sane
// sector sizes and cluster sizes.
#pragma once
#include <cstdint>

class IDevice;

bool CheckBootSector(const uint8_t* sector, uint32_t deviceSectorSize);
bool IsValidSectorsPerCluster(uint16_t value);
// 1 (FAT12), 6 (FAT16) or 11 (FAT32) by cluster count; 0 when the counts are inconsistent.
int FatKindByClusters(const uint8_t* sector);
bool IsFat12BootSector(const uint8_t* sector, IDevice* device, int64_t sectorNumber);
bool IsFat16BootSector(const uint8_t* sector, IDevice* device, int64_t sectorNumber);
bool IsFat32BootSector(const uint8_t* sector, IDevice* device, int64_t sectorNumber);
bool IsNtfsBootSector(const uint8_t* sector, IDevice* device, int64_t sectorNumber);
bool IsExfatBootSector(const uint8_t* sector);
// The exFAT cluster shift (byte 109) counted in sectors, 0 when it is out of range.
uint32_t ExfatSectorsPerCluster(const uint8_t* sector);
// The HFS tests read sector 2 of the volume that starts at sectorNumber on the device.
bool IsHfsPlusVolume(IDevice* device, int64_t sectorNumber = 0);
bool IsHfsxVolume(IDevice* device, int64_t sectorNumber = 0);
bool IsHfsWrapperVolume(IDevice* device, int64_t sectorNumber = 0);
// The HFS+ block size; 4 when the header cannot be read, 0 when it is not a sane power of two.
uint32_t ReadHfsBlockSize(IDevice* device, int64_t sectorNumber = 0);
int LowestSetBit(uint32_t value);
