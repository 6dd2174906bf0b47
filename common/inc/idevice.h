// Disks, partitions and drive-letter volumes, and the two records that cross the
// library boundary and are stored in saved results byte for byte.
#pragma once
#include <cstddef>
#include <cstdint>

#include "kestrum_types.h"

class IDeviceIo;
class IArchive;

#pragma pack(push, 1)
struct PartitionInfo {
  int64_t StartSector;         // 0
  int64_t SectorCount;         // 8
  int64_t Reserved0;           // 16
  uint32_t PartitionType;      // 24
  int32_t PartitionNumber;     // 28
  int32_t DiskIndex;           // 32
  char MountPoint[12];         // 36
  int64_t FreeSectors;         // 48
  uint32_t SectorSize;         // 56
  uint32_t SectorsPerCluster;  // 60
  char16_t Label[264];         // 64
  char DevicePath[264];        // 592
  char SerialNumber[264];      // 856
  uint8_t IsEfiSystemPartition;  // 1120
  uint8_t Flags;               // 1121, PartitionFlag bits; 0 for an ordinary partition
  uint8_t Reserved1[6];        // 1122
};

// Bits of PartitionInfo::Flags.
enum PartitionFlag : uint8_t {
  // The table gave more sectors than the disk holds (a partial image of a failing disk):
  // SectorCount was cut back to the disk's end, and the volume's last part is missing.
  PF_CLIPPED = 0x01,
};

struct DiskGeometry {
  int64_t Cylinders;           // 0
  uint32_t TracksPerCylinder;  // 8
  uint32_t SectorsPerTrack;    // 12
  uint32_t BytesPerSector;     // 16
  uint32_t Reserved0;          // 20
  int64_t DiskSize;            // 24
  int32_t DiskIndex;           // 32
  char16_t Model[264];         // 36
  uint32_t Reserved1;          // 564
};
#pragma pack(pop)

static_assert(sizeof(PartitionInfo) == 1128, "PartitionInfo layout");
static_assert(offsetof(PartitionInfo, PartitionType) == 24, "PartitionInfo layout");
static_assert(offsetof(PartitionInfo, MountPoint) == 36, "PartitionInfo layout");
static_assert(offsetof(PartitionInfo, FreeSectors) == 48, "PartitionInfo layout");
static_assert(offsetof(PartitionInfo, Label) == 64, "PartitionInfo layout");
static_assert(offsetof(PartitionInfo, DevicePath) == 592, "PartitionInfo layout");
static_assert(offsetof(PartitionInfo, SerialNumber) == 856, "PartitionInfo layout");
static_assert(offsetof(PartitionInfo, IsEfiSystemPartition) == 1120, "PartitionInfo layout");
static_assert(offsetof(PartitionInfo, Flags) == 1121, "PartitionInfo layout");
static_assert(sizeof(DiskGeometry) == 568, "DiskGeometry layout");
static_assert(offsetof(DiskGeometry, BytesPerSector) == 16, "DiskGeometry layout");
static_assert(offsetof(DiskGeometry, DiskSize) == 24, "DiskGeometry layout");
static_assert(offsetof(DiskGeometry, DiskIndex) == 32, "DiskGeometry layout");
static_assert(offsetof(DiskGeometry, Model) == 36, "DiskGeometry layout");

class IDevice {
 public:
  virtual int GetType() = 0;
  virtual const char* GetName() = 0;
  virtual int GetSize(uint64_t* size) = 0;
  virtual int GetPartitionInfo(PartitionInfo* info) = 0;
  virtual int GetGeometry(DiskGeometry* geometry) = 0;
  virtual int Read(void* buf, uint32_t count) = 0;
  virtual int Write(const void* buf, uint32_t count) = 0;
  virtual void Release() = 0;
  virtual int64_t Seek(int64_t offset, int origin) = 0;
  virtual int ReadSectors(int64_t first, void* buf, uint32_t count) = 0;
  virtual int WriteSectors(int64_t first, const void* buf, uint32_t count) = 0;
  virtual int Close() = 0;
  virtual IDeviceIo* GetIo() = 0;
  virtual int Save(IArchive* archive) = 0;
  virtual int Load(IArchive* archive) = 0;
  virtual int Open() = 0;

 protected:
  ~IDevice() = default;
};
