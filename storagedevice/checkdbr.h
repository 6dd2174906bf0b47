// The boot-record checker: decides whether one sector opens an NTFS, FAT12/16, FAT32, exFAT
// or HFS+ volume, and confirms the guess by reading the structures the boot record points
// at. The lost-partition search and the format-recovery dispatcher classify sectors with it.
#pragma once
#include <cstdint>

class IStorageDevice;

// Confidence figures that Check writes: 100 confirmed, lower values a partial confirmation.
class ICheckDBR {
 public:
  // Returns a file-system code (FS_NTFS, FS_FAT32, FS_FAT16 for FAT12 and FAT16, FS_EXFAT,
  // FS_HFSP) or 0. sector is one device sector of sectorSize bytes at absolute number
  // (high:low) on the facade's device; *size (device sectors) is written on a hit only.
  // For HFS+ the sector is the one that holds byte 1024 of the volume (see
  // HfsHeaderSectorIndex). A null quality accepts confirmed hits only.
  virtual int Check(IStorageDevice* device, const uint8_t* sector, int sectorSize,
                    uint32_t sectorLow, uint32_t sectorHigh, int64_t* size, int* quality) = 0;
  // Cluster bytes of the last hit.
  virtual int GetClusterSize() = 0;
  virtual void Release() = 0;
  // The serial number of the volume on the facade: 0, 43 (no volume found or no sector
  // size), 100 (buffer shorter than 16), 5 (read failed) or 12 (no memory).
  virtual int GetVolumeSerial(IStorageDevice* device, uint8_t* out, int length) = 0;
  virtual bool FitsName(int unused, int length) = 0;

 protected:
  ~ICheckDBR() = default;
};

// A new checker, or null when memory runs out. Freed with Release.
ICheckDBR* CreateCheckDBR();

// Index, within its volume, of the device sector that holds the HFS+ volume header (byte
// 1024): 2 on 512-byte sectors, 1 on 1024-byte ones, 0 on larger sectors (the header then
// lies at byte 1024 inside the volume's first sector).
uint32_t HfsHeaderSectorIndex(uint32_t sectorSize);
