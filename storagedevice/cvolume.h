// Partitions of a disk, and drive-letter volumes that belong to no listed disk.
#pragma once
#include <cstddef>
#include <cstdint>

#include "common/inc/idevice.h"
#include "common/inc/ideviceio.h"

class CDisk;
class ChannelForward;

class CVolume : public IDevice {
 public:
  CVolume();
  explicit CVolume(CDisk* parent);
  CVolume(const CVolume& other);
  CVolume& operator=(const CVolume&) = delete;
  virtual ~CVolume();

  int GetType() override;
  const char* GetName() override;
  int GetSize(uint64_t* size) override;
  int GetPartitionInfo(PartitionInfo* info) override;
  int GetGeometry(DiskGeometry* geometry) override;
  int Read(void* buf, uint32_t count) override;
  int Write(const void* buf, uint32_t count) override;
  void Release() override;
  int64_t Seek(int64_t offset, int origin) override;
  int ReadSectors(int64_t first, void* buf, uint32_t count) override;
  int WriteSectors(int64_t first, const void* buf, uint32_t count) override;
  int Close() override;
  IDeviceIo* GetIo() override;
  int Save(IArchive* archive) override;
  int Load(IArchive* archive) override;
  int Open() override;

  void SetPartitionInfo(const PartitionInfo& info);
  int Assign(const PartitionInfo& info);
  void SetParent(CDisk* disk);
  IDevice* GetParent();
  CDisk* GetParentDisk() { return m_pParent; }
  int Refresh();
  int CloneFrom(IDevice* source);

 private:
  bool DetectVolumeFs();
  // Sectors per cluster from the backup boot sector of a volume that begins where this
  // partition does, confirmed by the volume's own structures; 0 when there is none.
  uint32_t BackupSectorsPerCluster();
  uint64_t ByteLength() const;
  // The volume's own byte position, or -1.
  int64_t Position();

  CDisk* m_pParent;
  PartitionInfo m_info;
  char m_path[264];
  int m_sectorSize;
  bool m_ownsParent;  // only the private disk of a clone
};

class CVirtualVolume final : public IDevice {
 public:
  CVirtualVolume();

  int GetType() override;
  const char* GetName() override;
  int GetSize(uint64_t* size) override;
  int GetPartitionInfo(PartitionInfo* info) override;
  int GetGeometry(DiskGeometry* geometry) override;
  int Read(void* buf, uint32_t count) override;
  int Write(const void* buf, uint32_t count) override;
  void Release() override;
  int64_t Seek(int64_t offset, int origin) override;
  int ReadSectors(int64_t first, void* buf, uint32_t count) override;
  int WriteSectors(int64_t first, const void* buf, uint32_t count) override;
  int Close() override;
  IDeviceIo* GetIo() override;
  int Save(IArchive* archive) override;
  int Load(IArchive* archive) override;
  int Open() override;

  int OpenByLetter(int index);
  bool DetectFileSystem();
  int Refresh();
  int CloneFrom(IDevice* source);

 private:
  ~CVirtualVolume();
  ChannelForward Channel();

  IDeviceIo* m_pDev;
  DiskGeometry m_geometry;
  char m_path[64];
  PartitionInfo m_info;
  int m_letter;
  int m_sectorSize;
  bool m_readOnly;
};

// The volume serial as text from a detected boot sector of sectorBytes bytes, "0" when
// there is none or the sector is too short to hold one.
void VolumeSerialText(const uint8_t* sector, size_t sectorBytes, uint32_t partitionType, char* out, size_t size);
