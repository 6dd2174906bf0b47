// The engine's one door to the operating system. Everything that would be a Windows
// device call elsewhere is answered here by Linux means; no other folder includes Linux
// system headers.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace plat {

// A device opened by the engine: a descriptor and, for a partition inside an image
// file, the byte window of the image that the partition covers.
struct OpenDevice {
  int fd = -1;
  int64_t base = 0;     // byte offset of the window in the opened file
  int64_t length = -1;  // window length in bytes; -1 for the whole file or device
  bool isBlock = false;
};

// The disks, in index order: KESTRUM_DISKS when set, else the machine's whole disks.
std::vector<std::string> DiskPaths();
// The order of whole-disk names under /sys/block: "sdz" < "sdaa", "nvme0n2" < "nvme0n10".
bool DiskNameLess(const std::string& a, const std::string& b);

// The drive letters and what each maps to: KESTRUM_VOLUMES ("E=/path:F=/dev/sdb1") when
// set, else the mounted block-device volumes lettered from C. Index 0 is 'A'.
struct LetterVolume {
  char letter;
  std::string path;
};
std::vector<LetterVolume> LetterVolumes();
bool LetterPath(char letter, std::string* path);

// Opens a path with the engine's flags (0x8002 read-write, 0x8000 read-only). The window
// arguments limit the device to a byte range of the file. Returns false with errno set.
bool Open(const std::string& path, int engineFlags, int64_t base, int64_t length, OpenDevice* out);
int Close(OpenDevice* dev);

// Reads or writes at a byte position inside the window; a request that crosses the window
// end is shortened. Returns bytes moved, 0 at the end, or -1 with errno set.
int64_t ReadAt(const OpenDevice& dev, void* buf, int64_t count, int64_t pos);
int64_t WriteAt(const OpenDevice& dev, const void* buf, int64_t count, int64_t pos);

// Size in bytes (the window's length for a window) and logical sector size. An image file
// has the sector size KESTRUM_SECTOR_SIZE gives; unset, the one the boot record at the
// image's start names when the image holds a bare NTFS, FAT or exFAT volume, else 512.
bool DeviceSize(const OpenDevice& dev, int64_t* bytes);
uint32_t SectorSize(const OpenDevice& dev);
// The bytes per sector that an NTFS, FAT or exFAT boot sector names (512 to 4096) when it
// passes that file system's test for a boot sector; 0 for any other sector.
uint32_t SectorSizeNamedByBootRecord(const uint8_t* sector, size_t size);
bool IsWriteProtected(const OpenDevice& dev);

// Finds the partition of disk diskIndex that starts at startByte: the partition node of a
// block device, or the image file itself with the window to use.
bool ResolvePartition(int diskIndex, int64_t startByte, int64_t lengthByte, std::string* path,
                      int64_t* base, int64_t* length);

// What an engine device is on this system: a block device, or a byte window of an image
// file (a partition of a disk that is an image file).
struct HostDevice {
  std::string path;
  int64_t base = 0;
  int64_t length = -1;  // -1 for the whole file or device
};

// Mount table lookups. The device is named by its path; an image file is mounted only
// through a loop device that it backs.
bool MountPointOf(const std::string& devicePath, std::string* mountPoint);
// The mount point of a block device, or of the loop device (or loop partition) that starts
// at the window's first byte of an image file.
bool MountPointOf(const HostDevice& device, std::string* mountPoint);
bool FreeBytes(const std::string& mountPoint, uint64_t* freeBytes);
bool VolumeLabelOf(const std::string& devicePath, std::string* label);
// True when a path exists under a mount point; false for an empty mount point.
bool PathExistsUnder(const std::string& mountPoint, const std::string& relative);

// Flushes the written blocks of a block device or image file to stable storage; for a
// partition node also its whole disk, whose channel carries the partition's writes.
bool SyncDevice(const HostDevice& device);

// The letter whose mapped volume is this device, or 0.
char LetterOfDevice(const std::string& devicePath);
// True when the device or any partition of the same disk is mounted; for a loop device
// also when another loop device of its image file has a mount.
bool IsMountedOrHasMountedPartition(const std::string& devicePath);
// The same for a block device or an image file: any mounted loop device of the image counts.
bool IsMountedOrHasMountedPartition(const HostDevice& device);

// sysfs identity of a block device: vendor and model, and whether it is removable.
struct DiskIdentity {
  std::string vendor;
  std::string model;
  bool removable = false;
  bool isImage = false;
};
bool QueryDiskIdentity(const std::string& path, DiskIdentity* out);

// The folder of the running program.
std::string ProgramFolder();

// Monotonic milliseconds.
uint64_t MonotonicMs();

}  // namespace plat

namespace plat {
// True when the path exists (any kind of file).
bool PathExists(const std::string& path);
// The SCSI INQUIRY of a vital-product-data page through SG_IO. Returns the bytes the device
// delivered, or 0 when the device does not answer (image files, non-SCSI devices).
int ScsiInquiryVpd(const std::string& devicePath, uint8_t page, uint8_t* buf, int len);
}  // namespace plat
