#include "storagedevice/cvolume.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "common/inc/bytes.h"
#include "common/inc/iarchive.h"
#include "common/layout/boot_signature.h"
#include "common/layout/exfat_boot.h"
#include "common/layout/fat_boot.h"
#include "common/layout/ntfs_boot.h"
#include "common/textutil.h"
#include "platform/platform.h"
#include "storagedevice/cdisk.h"
#include "storagedevice/channelforward.h"
#include "storagedevice/checkdbr.h"
#include "storagedevice/cstoragedevice.h"
#include "storagedevice/dbrcheck.h"

namespace {

// Queries run on a channel of their own, read-only: they never need to write.
IDeviceIo* OpenQueryChannel(const char* path) {
  IDeviceIo* io = CreateDeviceIo();
  if (!io) return nullptr;
  if (io->Open(path, KIO_RDONLY, 0) != 0) {
    io->Release();
    return nullptr;
  }
  return io;
}

// Label, free bytes and drive root of a volume, each left as it was when its query fails.
void QueryVolumeFacts(IDeviceIo* io, PartitionInfo* info, uint64_t* freeBytes) {
  char16_t label[264];
  memset(label, 0, sizeof label);
  if (io->Query(DIQ_LABEL, label) == 0) {
    label[263] = 0;
    memcpy(info->Label, label, sizeof label);
  }
  uint64_t fb = 0;
  if (io->Query(DIQ_FREE_BYTES, &fb) == 0) *freeBytes = fb;
  char root[12];
  memset(root, 0, sizeof root);
  if (io->Query(DIQ_DRIVE_ROOT, root) == 0) {
    root[11] = 0;
    memcpy(info->MountPoint, root, sizeof root);
  }
}

// Detection shared by partitions and letter volumes over their first sector (sectorSize
// bytes): the boot sector's own tests, with every cluster size validated before it is stored.
bool DetectFs(const uint8_t* sector, IDevice* self, uint32_t sectorSize, uint32_t* type, uint32_t* spc,
              bool withHfsVariants) {
  // NTFS and FAT keep their cluster size at the same byte.
  uint8_t stored = 0;
  kbytes::ReadU8(sector, sectorSize, 13, &stored);
  if (IsNtfsBootSector(sector, self, 0)) {
    *type = PT_NTFS;
    // Codes above 0x80 are an exponent: 2^(256 - n) sectors.
    *spc = layout::NtfsSectorsPerCluster(stored);
  } else if (IsFat32BootSector(sector, self, 0)) {
    *type = PT_FAT32;
    *spc = stored;
  } else if (IsFat16BootSector(sector, self, 0)) {
    *type = PT_FAT16;
    *spc = stored;
  } else if (IsFat12BootSector(sector, self, 0)) {
    *type = PT_FAT12;
    *spc = stored;
  } else if (IsExfatBootSector(sector)) {
    *type = PT_EXFAT;
    *spc = ExfatSectorsPerCluster(sector);
  } else {
    uint32_t hfsType = 0;
    if (IsHfsPlusVolume(self))
      hfsType = PT_HFSP;
    else if (withHfsVariants && IsHfsxVolume(self))
      hfsType = PT_HFSX;
    else if (withHfsVariants && IsHfsWrapperVolume(self))
      hfsType = PT_HFSP;
    if (!hfsType) return false;
    uint32_t block = ReadHfsBlockSize(self);
    if (block < sectorSize || block % sectorSize != 0) return false;
    *type = hfsType;
    *spc = block / sectorSize;
  }
  return true;
}

}  // namespace

void VolumeSerialText(const uint8_t* sector, size_t sectorBytes, uint32_t type, char* out, size_t size) {
  if (!out || size == 0) return;
  uint32_t serial = 0;
  if (sector) {
    switch (type) {
      case PT_FAT12:
      case PT_FAT16:
      case PT_FAT32: {
        layout::FatBootSector boot;
        if (layout::DecodeFatBootSector(sector, sectorBytes, &boot))
          serial = type == PT_FAT32 ? boot.fat32.volumeId : boot.fat16.volumeId;
        break;
      }
      case PT_NTFS: {
        // The system reports the low half of the 64-bit serial.
        layout::NtfsBootSector boot;
        if (layout::DecodeNtfsBootSector(sector, sectorBytes, &boot)) serial = uint32_t(boot.serialNumber);
        break;
      }
      case PT_EXFAT: {
        layout::ExfatBootSector boot;
        if (layout::DecodeExfatBootSector(sector, sectorBytes, &boot)) serial = boot.volumeSerialNumber;
        break;
      }
      default:
        break;
    }
  }
  snprintf(out, size, "%x", serial);
}

// ---------------------------------------------------------------------------------------

CVolume::CVolume() : m_pParent(nullptr), m_sectorSize(512), m_ownsParent(false) {
  memset(&m_info, 0, sizeof m_info);
  memset(m_path, 0, sizeof m_path);
}

CVolume::CVolume(CDisk* parent) : CVolume() {
  m_pParent = parent;
  if (parent && parent->GetSectorSize()) m_sectorSize = int(parent->GetSectorSize());
}

CVolume::CVolume(const CVolume& o)
    : IDevice(), m_pParent(o.m_pParent), m_info(o.m_info), m_sectorSize(o.m_sectorSize), m_ownsParent(false) {
  memcpy(m_path, o.m_path, sizeof m_path);
}

CVolume::~CVolume() {
  if (m_ownsParent && m_pParent) m_pParent->Release();
}

int CVolume::GetType() {
  return m_pParent && m_pParent->GetType() == DT_OTHER_DISK ? DT_PARTITION_OTHER : DT_PARTITION;
}

const char* CVolume::GetName() { return m_path; }

uint64_t CVolume::ByteLength() const {
  if (m_info.SectorCount <= 0) return 0;
  return uint64_t(m_info.SectorCount) * m_info.SectorSize;
}

int CVolume::GetSize(uint64_t* size) {
  if (size) *size = ByteLength();
  return 0;
}

int CVolume::GetPartitionInfo(PartitionInfo* info) {
  if (!info) return -1;
  *info = m_info;
  return 0;
}

int CVolume::GetGeometry(DiskGeometry*) { return -1; }

int64_t CVolume::Position() {
  if (!m_pParent) return -1;
  int64_t abs = m_pParent->Seek(0, 1);
  int64_t base = m_info.StartSector * int64_t(m_sectorSize);
  if (abs < base) return -1;
  return abs - base;
}

int CVolume::Read(void* buf, uint32_t count) {
  ZQ_ASSERT(m_pParent != NULL);
  if (!m_pParent) return -1;
  int64_t pos = Position();
  if (pos < 0) return -1;
  uint64_t len = ByteLength();
  uint64_t left = uint64_t(pos) >= len ? 0 : len - uint64_t(pos);
  if (count > left) count = uint32_t(left);
  if (count == 0) return 0;
  return m_pParent->Read(buf, count);
}

int CVolume::Write(const void* buf, uint32_t count) {
  ZQ_ASSERT(m_pParent != NULL);
  if (!m_pParent) return -1;
  int64_t pos = Position();
  if (pos < 0) return -1;
  uint64_t len = ByteLength();
  // A write that would cross the partition end would touch the next partition: refused.
  if (uint64_t(pos) > len || count > len - uint64_t(pos)) return -1;
  return m_pParent->Write(buf, count);
}

void CVolume::Release() { delete this; }

int64_t CVolume::Seek(int64_t offset, int origin) {
  if (!m_pParent) return -1;
  const int64_t base = m_info.StartSector * int64_t(m_sectorSize);
  const int64_t len = int64_t(ByteLength());
  // The parent seeks to an absolute place computed here; its own current position and end
  // are not the partition's.
  int64_t rel;
  if (origin == 0) {
    rel = offset;
  } else if (origin == 1) {
    int64_t cur = Position();
    if (cur < 0) return -1;
    if ((offset > 0 && cur > INT64_MAX - offset)) return -1;
    rel = cur + offset;
  } else if (origin == 2) {
    if (offset > 0 && len > INT64_MAX - offset) return -1;
    rel = len + offset;
  } else {
    return -1;
  }
  if (rel < 0 || rel > len || rel > INT64_MAX - base) return -1;
  int64_t at = m_pParent->Seek(base + rel, 0);
  if (at < base || at - base > len) return -1;
  return at - base;
}

int CVolume::ReadSectors(int64_t first, void* buf, uint32_t count) {
  if (!m_pParent || first < 0) return -1;
  int64_t total = m_info.SectorCount;
  if (first >= total) return first == total && count == 0 ? 0 : -1;
  if (uint64_t(count) > uint64_t(total - first)) count = uint32_t(total - first);
  return m_pParent->ReadSectors(m_info.StartSector + first, buf, count);
}

int CVolume::WriteSectors(int64_t first, const void* buf, uint32_t count) {
  if (!m_pParent || first < 0) return -1;
  // A secure erase must never reach the next partition.
  if (!kbytes::RangeInside(uint64_t(first), count, uint64_t(m_info.SectorCount > 0 ? m_info.SectorCount : 0)))
    return -1;
  return m_pParent->WriteSectors(m_info.StartSector + first, buf, count);
}

int CVolume::Close() { return m_pParent ? m_pParent->Close() : 0; }

IDeviceIo* CVolume::GetIo() { return m_pParent ? m_pParent->GetIo() : nullptr; }

int CVolume::Save(IArchive* archive) {
  if (!archive) return -1;
  uint32_t version = 3, size = sizeof(PartitionInfo);
  if (archive->Write(&version, 4) != 0 || archive->Write(&size, 4) != 0 ||
      archive->Write(&m_info, sizeof m_info) != 0)
    return -1;
  return 0;
}

int CVolume::Load(IArchive* archive) {
  if (!archive) return -1;
  uint32_t version = 0, size = 0;
  if (archive->Read(&version, 4) != 0 || version > 3 || archive->Read(&size, 4) != 0) return -1;
  if (size != sizeof(PartitionInfo)) return -1;
  PartitionInfo info;
  if (archive->Read(&info, sizeof info) != 0) return -1;
  // The record comes from a file: its start and length must give byte offsets that fit
  // 64 bits, or every later seek and path would be computed with an overflow.
  int64_t ss = m_pParent && m_pParent->GetSectorSize() ? int64_t(m_pParent->GetSectorSize()) : m_sectorSize;
  if (ss <= 0 || info.StartSector < 0 || info.SectorCount < 0 || info.StartSector > INT64_MAX / ss ||
      info.SectorCount > INT64_MAX / ss - info.StartSector)
    return -1;
  // Nor may it run past the end of its disk, where reads and an erase would be computed
  // against sectors the disk does not have. As in the tables, a partition that starts on
  // the disk but ends past it (the image was cut shorter since) is cut back and marked.
  if (m_pParent) {
    int64_t total = m_pParent->TotalSectors();
    if (info.StartSector >= total) return -1;
    if (info.SectorCount > total - info.StartSector) {
      info.SectorCount = total - info.StartSector;
      info.Flags |= PF_CLIPPED;
    }
  }
  return Assign(info) == 0 ? 0 : -1;
}

int CVolume::Open() {
  if (m_pParent) m_pParent->Open();
  return 0;
}

void CVolume::SetPartitionInfo(const PartitionInfo& info) { m_info = info; }

int CVolume::Assign(const PartitionInfo& info) {
  m_info = info;
  return Refresh();
}

void CVolume::SetParent(CDisk* disk) {
  m_pParent = disk;
  if (disk && disk->GetSectorSize()) m_sectorSize = int(disk->GetSectorSize());
}

IDevice* CVolume::GetParent() { return m_pParent; }

bool CVolume::DetectVolumeFs() {
  if (!m_pParent || m_pParent->GetSectorSize() < 512) return false;
  m_sectorSize = int(m_pParent->GetSectorSize());
  m_info.SectorSize = uint32_t(m_sectorSize);
  std::vector<uint8_t> sector(static_cast<size_t>(m_sectorSize));
  if (m_info.StartSector < 0 || m_pParent->ReadSectors(m_info.StartSector, sector.data(), 1) != 1) return false;
  // A partition whose type came with it (a table byte, or an earlier detection) keeps the
  // cluster size it has; a refresh must not forget a detected one.
  if (m_info.SectorsPerCluster == 0) m_info.SectorsPerCluster = 8;
  if (m_info.PartitionType == PT_UNDETECTED || m_info.PartitionType == PT_UNALLOCATED) {
    m_info.SectorsPerCluster = 8;
    uint32_t type = 0, spc = 0;
    if (DetectFs(sector.data(), this, uint32_t(m_sectorSize), &type, &spc, true)) {
      m_info.PartitionType = type;
      m_info.SectorsPerCluster = spc;
    } else {
      if (m_info.PartitionType == PT_UNDETECTED) m_info.PartitionType = PT_UNKNOWN_FS;
      // A volume whose boot sector is destroyed keeps its type unknown: the scans that trust
      // a boot sector would fail on it, and Volume Recovery finds the volume by itself. Its
      // cluster size still decides the size of an NTFS compression unit when a found file is
      // read, so it is taken from the copy the formatter left, where one is intact.
      if (uint32_t backup = BackupSectorsPerCluster()) m_info.SectorsPerCluster = backup;
    }
  }
  return true;
}

uint32_t CVolume::BackupSectorsPerCluster() {
  const int64_t count = m_info.SectorCount;
  const uint32_t ss = uint32_t(m_sectorSize);
  if (count <= 0 || ss < 512) return 0;
  // Where formatters leave the copy: NTFS in the volume's last sector, FAT32 at sector 6,
  // exFAT at the head of its backup boot region, sector 12.
  const int64_t places[] = {count - 1, 6, 12};
  std::vector<uint8_t> sector(ss);
  CStorageDevice* facade = nullptr;
  ICheckDBR* checker = nullptr;
  uint32_t spc = 0;
  for (int64_t at : places) {
    if (at <= 0 || at >= count || ReadSectors(at, sector.data(), 1) != 1 ||
        !layout::HasBootSectorSignature(sector.data(), sector.size()))
      continue;
    // The checker reads the volume's structures through a facade over this partition; it is
    // made only for a sector that looks like a boot sector, as few partitions have one.
    if (!facade) {
      facade = new (std::nothrow) CStorageDevice();
      checker = CreateCheckDBR();
      if (!facade || !checker) break;
      facade->Attach(this);
    }
    uint64_t start = 0;
    int64_t size = 0;
    if (CheckBackupBootSector(checker, facade, sector.data(), ss, uint64_t(at), nullptr, &start, &size,
                              nullptr) == FS_NONE ||
        start != 0)
      continue;
    const int bytes = checker->GetClusterSize();
    if (bytes > 0 && uint32_t(bytes) % ss == 0) spc = uint32_t(bytes) / ss;
    break;
  }
  if (checker) checker->Release();
  if (facade) facade->Release();
  return spc;
}

int CVolume::Refresh() {
  if (!DetectVolumeFs()) return -1;
  uint64_t freeBytes = 0;
  if (m_pParent) {
    m_sectorSize = int(m_pParent->GetSectorSize());
    snprintf(m_path, sizeof m_path, "%s%u-%" PRId64 "-%" PRId64, m_pParent->GetName(),
             unsigned(m_info.PartitionNumber), m_info.StartSector * int64_t(m_sectorSize),
             m_info.SectorCount * int64_t(m_sectorSize));
    if (IDeviceIo* io = OpenQueryChannel(m_path)) {
      QueryVolumeFacts(io, &m_info, &freeBytes);
      io->Close();
      io->Release();
    }
    if (m_info.MountPoint[0] == 0 && m_info.Label[0] == 0) {
      char text[32];
      snprintf(text, sizeof text, "Partition%d", m_info.PartitionNumber);
      AnsiToWide(m_info.Label, text, 264);
    }
  }
  // The serial is the mounted volume's; an unmounted one has none to report.
  std::vector<uint8_t> sector(static_cast<size_t>(m_sectorSize));
  bool haveSector = m_info.MountPoint[0] != 0 && m_pParent &&
                    m_pParent->ReadSectors(m_info.StartSector, sector.data(), 1) == 1;
  VolumeSerialText(haveSector ? sector.data() : nullptr, sector.size(), m_info.PartitionType, m_info.SerialNumber,
                   sizeof m_info.SerialNumber);
  m_info.DiskIndex = m_pParent ? m_pParent->GetDiskIndex() : -1;
  m_info.FreeSectors = m_sectorSize > 0 ? int64_t(freeBytes / uint64_t(m_sectorSize)) : 0;
  return 0;
}

int CVolume::CloneFrom(IDevice* source) {
  if (source == this) return 0;
  CVolume* src = dynamic_cast<CVolume*>(source);
  if (!src || !src->m_pParent) return -1;
  ZQ_ASSERT(!m_pParent);
  if (m_ownsParent && m_pParent) m_pParent->Release();
  m_pParent = nullptr;
  m_ownsParent = false;
  CDisk* disk = new (std::nothrow) CDisk();
  if (!disk) return -1;
  if (disk->CloneFrom(src->m_pParent) != 0) {
    disk->Release();
    return -1;
  }
  m_info = src->m_info;
  m_sectorSize = src->m_sectorSize;
  memcpy(m_path, src->m_path, sizeof m_path);
  m_pParent = disk;
  m_ownsParent = true;
  return 0;
}

// ---------------------------------------------------------------------------------------

CVirtualVolume::CVirtualVolume() : m_pDev(nullptr), m_letter(0), m_sectorSize(0), m_readOnly(false) {
  memset(&m_geometry, 0, sizeof m_geometry);
  memset(m_path, 0, sizeof m_path);
  memset(&m_info, 0, sizeof m_info);
}

CVirtualVolume::~CVirtualVolume() {
  if (m_pDev) m_pDev->Release();
}

int CVirtualVolume::GetType() { return DT_LETTER_VOLUME; }
const char* CVirtualVolume::GetName() { return m_path; }

int CVirtualVolume::GetSize(uint64_t* size) {
  if (size) *size = uint64_t(m_geometry.DiskSize);
  return 0;
}

int CVirtualVolume::GetPartitionInfo(PartitionInfo* info) {
  if (!info) return -1;
  *info = m_info;
  return 0;
}

int CVirtualVolume::GetGeometry(DiskGeometry* geometry) {
  if (!geometry) return -1;
  *geometry = m_geometry;
  return 0;
}

ChannelForward CVirtualVolume::Channel() {
  return ChannelForward(m_pDev, m_readOnly, m_path, m_geometry.BytesPerSector);
}

int CVirtualVolume::Read(void* buf, uint32_t count) { return Channel().Read(buf, count); }

int CVirtualVolume::Write(const void* buf, uint32_t count) { return Channel().Write(buf, count); }

void CVirtualVolume::Release() { delete this; }

int64_t CVirtualVolume::Seek(int64_t offset, int origin) { return Channel().Seek(offset, origin); }

int CVirtualVolume::ReadSectors(int64_t first, void* buf, uint32_t count) {
  return Channel().ReadSectors(first, buf, count);
}

int CVirtualVolume::WriteSectors(int64_t first, const void* buf, uint32_t count) {
  return Channel().WriteSectors(first, buf, count);
}

int CVirtualVolume::Close() { return Channel().Close(); }
IDeviceIo* CVirtualVolume::GetIo() { return m_pDev; }

int CVirtualVolume::Save(IArchive* archive) {
  if (!archive) return -1;
  int32_t letter = m_letter, ss = m_sectorSize;
  if (archive->Write(&m_geometry, sizeof m_geometry) != 0 || archive->Write(m_path, sizeof m_path) != 0 ||
      archive->Write(&m_info, sizeof m_info) != 0 || archive->Write(&letter, 4) != 0 || archive->Write(&ss, 4) != 0)
    return -1;
  return 0;
}

int CVirtualVolume::Load(IArchive* archive) {
  if (!archive) return -1;
  int32_t letter = 0, ss = 0;
  if (archive->Read(&m_geometry, sizeof m_geometry) != 0 || archive->Read(m_path, sizeof m_path) != 0 ||
      archive->Read(&m_info, sizeof m_info) != 0 || archive->Read(&letter, 4) != 0 || archive->Read(&ss, 4) != 0)
    return -1;
  m_path[sizeof m_path - 1] = 0;
  m_sectorSize = ss;
  return OpenByLetter(letter) == 0 ? 0 : -1;
}

int CVirtualVolume::Open() { return Channel().Open(); }

int CVirtualVolume::OpenByLetter(int index) {
  if (index < 0 || index > 25) return RC_OUT_OF_RANGE;
  char letter = char('A' + index);
  snprintf(m_path, sizeof m_path, "\\\\.\\%c:", letter);
  m_letter = index;
  // Unknown letters and optical drives are not offered.
  std::string target;
  if (!plat::LetterPath(letter, &target) || target.compare(0, 7, "/dev/sr") == 0) return RC_NOT_SUPPORTED;
  if (m_pDev) {
    m_pDev->Release();
    m_pDev = nullptr;
  }
  m_pDev = CreateDeviceIo();
  if (!m_pDev) return RC_READ_FAILED;
  int result = 0;
  if (Open() != 0) {
    result = RC_READ_FAILED;
  } else {
    memset(&m_geometry, 0, sizeof m_geometry);
    if (m_pDev->Query(DIQ_GEOMETRY, &m_geometry) != 0 || m_geometry.BytesPerSector < 512 ||
        !kbytes::IsPowerOfTwo(m_geometry.BytesPerSector))
      result = RC_READ_FAILED;
    else
      m_sectorSize = int(m_geometry.BytesPerSector);
  }
  if (result == 0 && Refresh() != 0) result = -1;
  if (result != 0) {
    m_pDev->Release();
    m_pDev = nullptr;
  }
  return result;
}

bool CVirtualVolume::DetectFileSystem() {
  m_sectorSize = int(m_geometry.BytesPerSector);
  m_info.SectorSize = m_geometry.BytesPerSector;
  if (m_sectorSize < 512) return false;
  std::vector<uint8_t> sector(static_cast<size_t>(m_sectorSize));
  if (ReadSectors(m_info.StartSector, sector.data(), 1) != 1) return false;
  uint32_t type = 0, spc = 0;
  if (DetectFs(sector.data(), this, uint32_t(m_sectorSize), &type, &spc, false)) {
    m_info.PartitionType = type;
    m_info.SectorsPerCluster = spc;
  } else {
    m_info.PartitionType = PT_UNKNOWN_FS;
    m_info.SectorsPerCluster = 4;
  }
  return true;
}

int CVirtualVolume::Refresh() {
  if (!DetectFileSystem()) return -1;
  snprintf(m_info.MountPoint, sizeof m_info.MountPoint, "%c:\\", 'A' + m_letter);
  uint64_t freeBytes = 0;
  if (IDeviceIo* io = OpenQueryChannel(m_path)) {
    QueryVolumeFacts(io, &m_info, &freeBytes);
    char path[264];
    memset(path, 0, sizeof path);
    if (io->Query(DIQ_PATH, path) == 0) {
      path[263] = 0;
      memcpy(m_info.DevicePath, path, sizeof path);
    }
    io->Close();
    io->Release();
  }
  m_info.DiskIndex = -1;
  m_info.FreeSectors = m_sectorSize > 0 ? int64_t(freeBytes / uint64_t(m_sectorSize)) : 0;
  m_info.SectorCount = m_sectorSize > 0 ? m_geometry.DiskSize / m_sectorSize : 0;
  return 0;
}

int CVirtualVolume::CloneFrom(IDevice* source) {
  if (source == this) return 0;
  CVirtualVolume* src = dynamic_cast<CVirtualVolume*>(source);
  if (!src || !src->m_pDev) return -1;
  if (Channel().OpenLike(src->m_pDev, src->m_path) != 0) return -1;
  m_geometry = src->m_geometry;
  // The path lets a closed clone reopen itself; the sector size keeps reads whole.
  memcpy(m_path, src->m_path, sizeof m_path);
  m_sectorSize = src->m_sectorSize;
  return 0;
}
