// The boot-record checker: decides whether one sector opens an NTFS, FAT12/16, FAT32, exFAT
// or HFS+ volume, and confirms the guess by reading the structures the boot record points
// at. The lost-partition search and the format-recovery dispatcher classify sectors with it.
#pragma once
#include <cstdint>
#include <set>

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

// Where a volume's backup boot sector lies: NTFS in the volume's last sector, FAT32 where
// its boot sector says (sector 6 unless it names another reserved sector), exFAT at the
// head of the backup boot region, sector 12. A sector at absolute number `at` that carries
// a boot sector's tag but is not confirmed where it lies is tried as such a backup: the
// checker is asked about the volume start the backup names, which confirms it by the
// volume's own structures. Returns the file-system code with *start set, or 0. Starts in
// skip (may be null) are not asked again, so that a volume already found costs nothing
// more and is never found a second time through its backup.
int CheckBackupBootSector(ICheckDBR* checker, IStorageDevice* facade, const uint8_t* sector, uint32_t ss,
                          uint64_t at, const std::set<uint64_t>* skip, uint64_t* start, int64_t* size,
                          int* quality);
