// The channel to a system device path. The engine's device paths ("/dev/hd%c" for a disk,
// "/dev/hd%c%u-%lld-%lld" for a partition, "\\.\%c:" for a drive letter) are translated
// here to the disks and volumes that the platform layer lists.
#pragma once
#include <string>
#include <vector>

#include "deviceapi/commdeviceio.h"

class CWindowsDeviceIo : public CCommDeviceIo {
 public:
  CWindowsDeviceIo();
  int Open(const char* path, int flags, int mode) override;
  int Query(int code, void* out) override;
  bool IsWriteProtected() override;

  // How an engine path is read: which disk (for a disk or partition path) and which
  // fields matched. Exposed for the tests of the translation table.
  struct Translation {
    int fields = 0;  // 0 any other text, 1 disk, 4 partition; -1, 2 and 3 are refused
    int disk = 0;
    unsigned partition = 0;
    int64_t start = 0;
    int64_t length = 0;
  };
  static Translation ParseEnginePath(const char* path);
  // The letter of a "\\.\X:" path, or 0.
  static char LetterOfPath(const char* path);
  // The system object that Open reaches for an engine path: the disk of the platform's
  // list, the partition's block device or window of the disk's image file, the volume a
  // letter maps to, or any other path as given. False when the path names nothing.
  static bool ResolvePath(const char* path, plat::HostDevice* out, int* diskNumber = nullptr);

 private:
  int m_diskNumber;
  int QueryGeometry(DiskGeometry* g);
};

// One entry of the drive layout that the platform reads for query 5: the disk turns each
// into a partition object of its own.
struct LayoutEntry {
  int64_t startByte;
  int64_t lengthByte;
  uint32_t number;
  uint8_t type;
};
// The MBR and its extended chain, read from sector 0 of an open channel by the same rules
// as the disk's own MBR reader (layout::DecodePartitionRecord, layout::WalkEbrChain). A
// protective 0xEE table is refused so that the disk reads its GPT itself. Returns false when
// sector 0 holds no table.
bool ReadMbrLayout(IDeviceIo* io, uint32_t sectorSize, std::vector<LayoutEntry>* out);
