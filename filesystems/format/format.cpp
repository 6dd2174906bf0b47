#include "filesystems/format/format.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "common/inc/bytes.h"
#include "common/inc/idevice.h"
#include "common/inc/ifilemanager.h"
#include "common/inc/inotifysink.h"
#include "common/inc/seams.h"
#include "common/layout/exfat_boot.h"
#include "common/layout/exfat_dirent.h"
#include "common/layout/fat_boot.h"
#include "common/layout/mbr.h"
#include "common/layout/ntfs_file_record.h"
#include "filesystems/fatentry.h"
#include "filesystems/format/ntfsformat.h"
#include "filesystems/format/volumeview.h"
#include "filesystems/ntfs/ntfs.h"
#include "storagedevice/checkdbr.h"

namespace {

const uint32_t kBatchSectors = 4096;
const uint64_t kBootSearchSectors = 100000;
const uint32_t kSearchBatch = 256;  // sectors read at once by the boot-sector search

bool IsName(const std::u16string& name, const char* ascii) {
  size_t n = std::strlen(ascii);
  if (name.size() != n) return false;
  for (size_t i = 0; i < n; ++i)
    if (name[i] != char16_t(uint8_t(ascii[i]))) return false;
  return true;
}

// Reads up to want sectors from first and answers how many leading ones arrived. An
// unreadable sector costs only the sectors at it, not the rest of the search: *advance says
// where the next read starts (the batch end, or just past the failing sector), and
// consecutive failures skip ever further, so that a dead stretch is crossed in a few reads.
uint32_t ReadPastBadSectors(IStorageDevice* device, uint64_t first, uint8_t* buf, uint32_t main,
                            uint32_t want, uint64_t* badStep, uint64_t* advance, int64_t* failures) {
  int got = first > uint64_t(INT64_MAX) ? -1 : device->ReadSectors(int64_t(first), buf, want);
  if (got < 0) got = 0;
  if (uint32_t(got) > want) got = int(want);
  if (uint32_t(got) < want) ++*failures;  // callers ask only for sectors on the device
  if (uint32_t(got) >= main) {
    *advance = main;
    *badStep = 1;
  } else if (got > 0) {
    *advance = uint64_t(got) + 1;
    *badStep = 1;
  } else {
    *advance = *badStep < main ? *badStep : main;
    if (*badStep < main) *badStep *= 2;
  }
  return uint32_t(got);
}

// HFS+ leaves no sector as plain as a boot copy, a "FILE" record or a "." entry once its
// headers are gone: its catalog leaf nodes are told by the HFS+ reader's own test. Such
// nodes also lie in files on other volumes (a disk image kept there), so they decide only
// while no other volume's evidence has been seen, and only once the search has gone a
// stretch past the first of them, where that evidence would show; else only at the end.
class HfsEvidence {
 public:
  explicit HfsEvidence(uint32_t bps) : m_bps(bps), m_lookahead(kLookaheadBytes / bps) {}

  // The catalog leaf nodes that start in the device sector at p; room bytes follow p.
  void Look(const uint8_t* p, size_t room, uint64_t sector) {
    for (size_t at = 0; at < m_bps && room - at >= 512; at += 512) {
      size_t units = (room - at) / 512;
      if (HfsCatalogLeafSectors(p + at, unsigned(units < 64 ? units : 64)) == 0) continue;
      if (m_leaves++ == 0) m_first = sector;
    }
  }
  bool Seen() const { return m_leaves != 0; }
  bool Decides(uint64_t sector, bool otherSeen) const {
    return m_leaves && !otherSeen && sector - m_first >= m_lookahead;
  }
  // Bytes past a device sector that a node starting in it may need.
  static uint32_t Overlap(uint32_t bps) { return (32768 + bps - 1) / bps; }

 private:
  static const uint64_t kLookaheadBytes = 4u << 20;
  uint32_t m_bps;
  uint64_t m_lookahead;
  uint64_t m_first = 0;
  uint64_t m_leaves = 0;
};

// A volume that only its backup boot sector still describes. The search looks on through
// the rest of it, for a boot sector that replaced it there.
struct BackupVolume {
  bool found = false;
  uint64_t start = 0, end = 0;
  int fileSystem = FS_NONE;
  std::vector<uint8_t> boot;  // the backup copy
};

// Where the volume's data area begins: no file of it lies before, in its reserved sectors and
// FATs (FAT32) or its FAT region (exFAT). 0 when nothing is known.
uint64_t DataAreaStart(const BackupVolume& v) {
  if (v.fileSystem == FS_FAT32) {
    layout::FatBootSector b;
    if (!layout::DecodeFatBootSector(v.boot.data(), v.boot.size(), &b)) return 0;
    uint64_t system = uint64_t(b.reservedSectors) + uint64_t(b.numFats) * b.fat32.fatSize32;
    return system > UINT64_MAX - v.start ? 0 : v.start + system;
  }
  if (v.fileSystem == FS_EXFAT) {
    layout::ExfatBootSector b;
    if (!layout::DecodeExfatBootSector(v.boot.data(), v.boot.size(), &b)) return 0;
    return uint64_t(b.clusterHeapOffset) > UINT64_MAX - v.start ? 0 : v.start + b.clusterHeapOffset;
  }
  return 0;
}

// Whether a sector holds the entries of a folder: at least one entry (a label, a long-name
// part or an 8.3 name, in use or deleted) before its end, and nothing that no folder holds.
bool ReadsAsFolder(const uint8_t* sector, uint32_t bps) {
  int entries = 0;
  for (uint32_t off = 0; off + 32 <= bps; off += 32) {
    const uint8_t* e = sector + off;
    if (e[0] == 0) break;
    const uint8_t attributes = e[11];
    if (attributes == 0x0F) {
      // A long-name part: no cluster of its own.
      if (kbytes::Le16(e + 26) != 0) return false;
    } else {
      uint8_t name[11];
      std::memcpy(name, e, sizeof name);
      if (name[0] == 0x05) name[0] = 0xE5;  // a name that begins with 0xE5, not deleted
      if (attributes > 0x3F || fat::FatIsInvalidShortName(name, true)) return false;
    }
    ++entries;
  }
  return entries > 0;
}

// The 32-bit FAT entry of a cluster; false when it cannot be read.
bool ReadFat32Entry(IStorageDevice* device, uint64_t fatStart, uint32_t bps, uint64_t cluster,
                    uint32_t* value) {
  std::vector<uint8_t> sec(bps);
  if (cluster > (UINT64_MAX / 4) || fatStart > UINT64_MAX - cluster * 4 / bps) return false;
  uint64_t at = fatStart + cluster * 4 / bps;
  if (at > uint64_t(INT64_MAX) || device->ReadSectors(int64_t(at), sec.data(), 1) != 1) return false;
  *value = kbytes::Le32(sec.data() + size_t(cluster * 4 % bps)) & 0x0FFFFFFF;
  return true;
}

// Whether a volume found through its backup boot sector is still confirmed by its own
// structures, not only by its boot-sector copies. Checker and backup alone see the FAT
// starts, which a volume formatted over the old one often leaves: a FAT32 volume must also
// have its root folder where its boot sector puts it, given out by its FAT and reading as a
// folder. An exFAT or NTFS volume was confirmed by its root folder or its $MFT records.
bool BackupVolumeAgrees(IStorageDevice* device, const BackupVolume& v, uint32_t bps) {
  if (v.fileSystem != FS_FAT32) return true;
  layout::FatBootSector b;
  const uint64_t data = DataAreaStart(v);
  if (data == 0 || !layout::DecodeFatBootSector(v.boot.data(), v.boot.size(), &b) || b.sectorsPerCluster == 0)
    return false;
  const uint64_t root = b.fat32.rootCluster;
  uint32_t entry = 0;
  if (root < 2 || !ReadFat32Entry(device, v.start + b.reservedSectors, bps, root, &entry) || entry == 0)
    return false;
  if ((root - 2) > (UINT64_MAX - data) / b.sectorsPerCluster) return false;
  uint64_t rootAt = data + (root - 2) * b.sectorsPerCluster;
  std::vector<uint8_t> sec(bps);
  return rootAt <= uint64_t(INT64_MAX) && device->ReadSectors(int64_t(rootAt), sec.data(), 1) == 1 &&
         ReadsAsFolder(sec.data(), bps);
}

// Whether a volume found through its backup boot sector still holds the sector lba, where
// another volume's boot sector was confirmed: only then is that boot sector a file's
// content (a volume image kept on it). In its reserved sectors or FATs it can only be a
// volume formatted over it; on FAT32 the sector must also lie in a cluster its FAT gives out.
bool BackupVolumeHolds(IStorageDevice* device, const BackupVolume& v, uint64_t lba, uint32_t bps) {
  uint64_t data = DataAreaStart(v);
  if (data == 0 || lba < data) return false;
  if (v.fileSystem != FS_FAT32) return true;
  layout::FatBootSector b;
  if (!layout::DecodeFatBootSector(v.boot.data(), v.boot.size(), &b) || b.sectorsPerCluster == 0)
    return false;
  uint32_t entry = 0;
  return ReadFat32Entry(device, v.start + b.reservedSectors, bps, (lba - data) / b.sectorsPerCluster + 2,
                        &entry) &&
         entry != 0;
}

// The first LCN and cluster size of a record's unnamed $DATA.
bool DataStart(const CNTFS& ntfs, const uint8_t* record, uint32_t* spc, uint64_t* lcn) {
  *lcn = 0;
  return ntfs.EstimateSectorsPerCluster(record, spc, lcn) == RC_OK;
}

}  // namespace

bool ReadFixedRecord(IStorageDevice* device, const CNTFS& ntfs, uint64_t sector, uint8_t* out) {
  uint32_t spr = ntfs.SectorsPerRecord();
  if (!device || !out || spr == 0 || sector > uint64_t(INT64_MAX)) return false;
  if (device->ReadSectors(int64_t(sector), out, spr) != int(spr)) return false;
  return ntfs.ApplyFixup(out) == RC_OK && ntfs.ValidateRecord(out) == RC_OK;
}

int ConfirmMftBase(IStorageDevice* device, const CNTFS& ntfs, const uint8_t* record, uint64_t s,
                   uint32_t* sectorsPerCluster, uint64_t* base) {
  if (!device || !record || !sectorsPerCluster || !base) return RC_BAD_ARGUMENT;
  std::u16string name;
  uint64_t parent = 0;
  if (ntfs.GetFileName(record, name, &parent, nullptr, nullptr) != RC_OK || !IsName(name, "$MFT"))
    return RC_CORRUPT_RECORD;
  uint32_t c = 0;
  uint64_t lcn = 0;
  if (!DataStart(ntfs, record, &c, &lcn)) return RC_MISSING;
  if (lcn > s / c) return RC_MISSING;  // the volume would start before the device
  uint64_t start = s - lcn * c;
  uint32_t bytes = ntfs.RecordBytes();
  std::vector<uint8_t> other(bytes);
  bool confirmed = false;
  // Record 1 follows record 0; its runs name the mirror, which holds a second record 0.
  uint64_t spr = ntfs.SectorsPerRecord();
  if (s <= UINT64_MAX - spr && ReadFixedRecord(device, ntfs, s + spr, other.data())) {
    std::u16string n1;
    uint32_t c1 = 0;
    uint64_t mirror = 0;
    if (ntfs.GetFileName(other.data(), n1, &parent, nullptr, nullptr) == RC_OK &&
        IsName(n1, "$MFTMirr") && DataStart(ntfs, other.data(), &c1, &mirror) && c1 == c &&
        mirror <= (UINT64_MAX - start) / c) {
      uint64_t at = start + mirror * c;
      std::u16string n0;
      uint32_t c0 = 0;
      uint64_t lcn0 = 0;
      if (at != s && ReadFixedRecord(device, ntfs, at, other.data()) &&
          ntfs.GetFileName(other.data(), n0, &parent, nullptr, nullptr) == RC_OK &&
          IsName(n0, "$MFT") && DataStart(ntfs, other.data(), &c0, &lcn0) && c0 == c && lcn0 == lcn)
        confirmed = true;
    }
  }
  if (!confirmed && start <= uint64_t(INT64_MAX)) {
    std::vector<uint8_t> boot(ntfs.BytesPerSector() < 512 ? 512 : ntfs.BytesPerSector());
    NtfsBootInfo info;
    if (device->ReadSectors(int64_t(start), boot.data(), 1) == 1 &&
        ParseNtfsBootSector(boot.data(), boot.size(), &info) == RC_OK && info.mftLcn == lcn &&
        info.clusterBytes == uint64_t(c) * ntfs.BytesPerSector())
      confirmed = true;
  }
  if (!confirmed) return RC_MISSING;
  *sectorsPerCluster = c;
  *base = start;
  return RC_OK;
}

CFormat::CFormat(IStorageDevice* device)
    : m_reader(nullptr),
      m_device(device),
      m_sink(nullptr),
      m_param(new CFormatParam()),
      m_ntfs(new CNTFS(device)),
      m_typeUnmapped(1),
      m_progressBase(0),
      m_readFailures(0) {
  m_pScanParam = m_param;
}

CFormat::~CFormat() {
  ReleaseReader();
  m_pScanParam = nullptr;
  delete m_param;
  delete m_ntfs;
}

void CFormat::Release() { delete this; }

void CFormat::ReleaseReader() {
  if (m_reader) m_reader->Release();
  m_reader = nullptr;
  if (m_view) m_view->Release();
  m_view = nullptr;
  if (m_movedFiles) m_movedFiles->Release();
  m_movedFiles = nullptr;
}

int CFormat::GetScanType() {
  // Before a scan has chosen a reader this is still the plain format scan.
  return m_reader ? m_reader->GetScanType() : Scan_Format;
}

int CFormat::DeviceSectorBytes(uint32_t* bytes) {
  int clusterBytes = 0, sectorBytes = 0;
  if (!m_device || m_device->GetClusterInfo(&clusterBytes, &sectorBytes) != 0) return RC_MISSING;
  if (sectorBytes <= 0 || !kbytes::IsPowerOfTwo(uint64_t(sectorBytes)) || sectorBytes > 65536)
    return RC_MISSING;
  *bytes = uint32_t(sectorBytes);
  return RC_OK;
}

int CFormat::Scan(INotifySink* sink) {
  if (!m_param) return RC_MISSING;
  if (!m_device) return RC_MISSING;
  m_sink = sink;
  m_readFailures = 0;
  ReleaseReader();  // a second scan starts from a fresh reader
  int fs = m_param->fileSystem;
  uint64_t boot = 0, scanned = 0;
  if (fs == 0) {
    int rc = FsCodeFromPartitionType(&boot, &fs, &scanned);
    if (rc != RC_OK) return rc == RC_NO_MEMORY ? rc : RC_WRONG_FS;
  }
  m_param->fileSystem = fs;
  m_param->bootSector = boot;
  m_param->scannedSectors = scanned;
  int clusterBytes = 0, sectorBytes = 0;
  m_device->GetClusterInfo(&clusterBytes, &sectorBytes);
  if (sectorBytes <= 0) return RC_MISSING;
  m_param->bytesPerSector = sectorBytes;
  m_param->sectorsPerCluster = clusterBytes > 0 ? clusterBytes / sectorBytes : 0;

  IScanOperator* reader = nullptr;
  switch (fs) {
    case FS_FAT16:
    case FS_FAT32:
      if (boot > 0) {
        // The FAT reader reads its volume from the device's first byte: a volume the search
        // found further on (a disk whose partition table is gone) is shown to it from its
        // own start, and its files are moved back to the device's sectors.
        m_view = new (std::nothrow) CVolumeView(m_device, boot, uint32_t(sectorBytes));
        if (m_pFileManager) m_movedFiles = new (std::nothrow) CMovedFiles(m_pFileManager, boot);
        if (!m_view || (m_pFileManager && !m_movedFiles)) {
          ReleaseReader();
          return RC_NO_MEMORY;
        }
      }
      reader = CreateFatFormatScanner(m_view ? m_view : m_device, fs);
      break;
    case FS_NTFS:
      reader = new (std::nothrow) CNTFSFormat(m_device, m_pFileManager, this);
      break;
    case FS_EXFAT:
      reader = CreateExfatFormatScanner(m_device);
      break;
    case FS_HFS:
    case FS_HFSP:
      reader = CreateHfspFormatScanner(m_device);
      break;
    default:
      return RC_WRONG_FS;
  }
  if (!reader) {
    ReleaseReader();
    return RC_NO_MEMORY;
  }
  reader->SetFileManager(m_movedFiles ? m_movedFiles : m_pFileManager);
  if (IFormatReaderLink* link = dynamic_cast<IFormatReaderLink*>(reader))
    link->SetFormatParent(this);
  m_reader = reader;
  // The reader's own failure is the scan's result: a failed read is never success. The
  // readers linked to this object count its unreadable sectors themselves, as they alone
  // know whether they were stopped; the FAT reader's end of the device (1) is folded here.
  int rc = m_reader->Scan(sink);
  if (rc == RC_STOP && m_readFailures > 0) rc = RC_READ_FAILED;
  return rc;
}

int CFormat::FsCodeFromPartitionType(uint64_t* bootSector, int* fileSystem, uint64_t* scanned) {
  if (!bootSector || !fileSystem || !scanned) return RC_BAD_ARGUMENT;
  *bootSector = 0;
  *scanned = 0;
  *fileSystem = 0;
  IDevice* dev = m_device ? m_device->GetDevice() : nullptr;
  PartitionInfo info;
  std::memset(&info, 0, sizeof info);
  // A device without a partition record is a whole disk.
  uint32_t type = dev && dev->GetPartitionInfo(&info) == 0 ? info.PartitionType : PT_UNALLOCATED;
  m_typeUnmapped = 0;
  // Empty entries and containers of other partitions: a volume found inside would not begin
  // where the container does.
  if (type == layout::kMbrTypeEmpty || type == layout::kMbrTypeGptProtective ||
      (type <= 0xFF && layout::IsExtendedPartitionType(uint8_t(type))))
    return RC_OK;  // fileSystem 0: nothing to recover with
  switch (type) {
    case 0x01: case 0x04: case 0x06: case 0x0E: case 0x14: case 0x16: case 0x1E:
      *fileSystem = FS_FAT16;
      return RC_OK;
    case 0x0B: case 0x0C: case 0x1B: case 0x1C:
      *fileSystem = FS_FAT32;
      return RC_OK;
    case 0x07: case 0x17: {
      // One type byte serves NTFS and exFAT: the boot sector's name tells them apart. A
      // boot sector that is gone leaves NTFS, the more common of the two.
      *fileSystem = FS_NTFS;
      uint32_t bps = 0;
      if (DeviceSectorBytes(&bps) == RC_OK) {
        std::vector<uint8_t> sec(bps < 512 ? 512 : bps);
        layout::ExfatBootSector b;
        if (m_device->ReadSectors(0, sec.data(), 1) != 1)
          ++m_readFailures;
        else if (layout::DecodeExfatBootSector(sec.data(), sec.size(), &b) && b.nameIsExfat)
          *fileSystem = FS_EXFAT;
      }
      return RC_OK;
    }
    case 0xB0: case 0xC0:
      *fileSystem = FS_EXFAT;
      return RC_OK;
    case 0xAF: case 0xBF:
      *fileSystem = FS_HFSP;
      return RC_OK;
    case PT_UNKNOWN_FS:
      return DetectFsByContent(bootSector, fileSystem, scanned);
    case PT_UNALLOCATED:
      return DetectWholeDisk(bootSector, fileSystem, scanned);
    default:
      // A type byte written for another system (a Linux partition reused, a table entry
      // rewritten) says nothing about what the sectors hold: they are asked instead.
      return DetectFsByContent(bootSector, fileSystem, scanned);
  }
}

int CFormat::SearchBootSector(uint64_t* sector, int* fileSystem, int) {
  if (!sector || !fileSystem) return RC_BAD_ARGUMENT;
  uint32_t bps = 0;
  uint64_t size = 0;
  if (DeviceSectorBytes(&bps) != RC_OK) return RC_MISSING;
  // Sectors past the device's end are not asked for: their absence is no failed read.
  const uint64_t searched = m_device->GetSize(&size) == 0 && size / bps < kBootSearchSectors ? size / bps : kBootSearchSectors;
  std::vector<uint8_t> buf;
  try {
    buf.resize(size_t(kSearchBatch) * bps);
  } catch (const std::bad_alloc&) {
    return RC_NO_MEMORY;
  }
  ICheckDBR* checker = CreateCheckDBR();
  if (!checker) return RC_MISSING;
  if (m_sink) {
    if (m_progressBase < 2) m_progressBase = 2;
    m_sink->Notify(NE_PERCENT, m_progressBase, 0, nullptr);
  }
  bool found = false;
  uint64_t lba = 0, badStep = 1, advance = 0;
  int code = 0;
  BackupVolume backup;
  std::set<uint64_t> backupStarts;
  uint64_t limit = searched;
  for (uint64_t first = 0; first < limit && !found; first += advance) {
    uint32_t want = uint32_t(limit - first < kSearchBatch ? limit - first : kSearchBatch);
    uint32_t got = ReadPastBadSectors(m_device, first, buf.data(), want, want, &badStep, &advance, &m_readFailures);
    for (uint32_t i = 0; i < got && first + i < limit; ++i) {
      int64_t size = 0;
      uint64_t at = first + i;
      // No quality output: only a boot record whose structures confirm it is taken, so a
      // stray copy of a boot sector does not decide where the volume began.
      const uint8_t* sector = buf.data() + size_t(i) * bps;
      code = checker->Check(m_device, sector, int(bps), uint32_t(at), uint32_t(at >> 32), &size, nullptr);
      if (code == FS_NONE) {
        // A volume whose boot sector is destroyed (a stick formatted without a partition
        // table, its first sector overwritten) still has the backup copy its formatter
        // wrote, which names where the volume begins. A stick partitioned and formatted
        // again keeps the old volume's backup and FAT starts too: the copy counts only
        // where the volume's own root folder agrees, and where no confirmed boot sector of
        // another volume lies inside it outside its files (decided below).
        uint64_t start = 0;
        int fs =
            CheckBackupBootSector(checker, m_device, sector, bps, at, &backupStarts, &start, &size, nullptr);
        if (fs == FS_NONE) continue;
        backupStarts.insert(start);
        BackupVolume hit;
        hit.found = true;
        hit.start = start;
        hit.end = size > 0 && uint64_t(size) <= UINT64_MAX - start ? start + uint64_t(size) : start + 1;
        hit.fileSystem = fs;
        hit.boot.assign(sector, sector + bps);
        if (!BackupVolumeAgrees(m_device, hit, bps)) continue;
        // A later backup inside the first one's reserved sectors or FATs replaced it.
        if (backup.found && !(start > backup.start && start < DataAreaStart(backup))) continue;
        backup = std::move(hit);
        if (backup.end < limit) limit = backup.end;
        continue;
      }
      // The HFS+ header is volume byte 1024; the volume, and its block 0, start before it.
      uint64_t index = code == FS_HFSP ? HfsHeaderSectorIndex(bps) : 0;
      if (at < index) continue;
      lba = at - index;
      found = true;
      break;
    }
  }
  checker->Release();
  if (m_sink) {
    if (m_progressBase < 4) m_progressBase = 4;
    m_sink->Notify(NE_PERCENT, m_progressBase, 0, nullptr);
  }
  // A volume that its own boot sector confirms wins over an older one that only a backup
  // describes, unless that older one still holds the place as one of its files.
  if (backup.found && (!found || BackupVolumeHolds(m_device, backup, lba, bps))) {
    found = true;
    lba = backup.start;
    code = backup.fileSystem;
  }
  if (!found) return RC_MISSING;
  *sector = lba;
  *fileSystem = code;
  return RC_OK;
}

int CFormat::IsFatDotEntries(const uint8_t* sector) {
  if (!sector) return RC_BAD_ARGUMENT;
  if (std::memcmp(sector, ".       ", 8) == 0 && std::memcmp(sector + 32, "..      ", 8) == 0)
    return RC_OK;
  return RC_MISSING;
}

int CFormat::IsExfatUpcase(const uint8_t* sector, int sectorSize) {
  if (!sector || sectorSize < 32) return RC_BAD_ARGUMENT;
  if (sectorSize > 128 && layout::ExfatUpcaseTableStarts(sector, size_t(sectorSize))) return RC_OK;
  for (int off = 0; off + 32 <= sectorSize; off += 32)
    if (!layout::ExfatEntryTypeKnown(sector[off])) return RC_WRONG_FS;
  return RC_OK;
}

int CFormat::FindMftRecord(const uint8_t* record) {
  if (!record) return RC_BAD_ARGUMENT;
  std::u16string name;
  uint64_t parent = 0;
  if (m_ntfs->ValidateRecord(record) != RC_OK ||
      m_ntfs->GetFileName(record, name, &parent, nullptr, nullptr) != RC_OK || !IsName(name, "$MFT"))
    return RC_CORRUPT_RECORD;
  return RC_OK;
}

int CFormat::DetectFsByContent(uint64_t* bootSector, int* fileSystem, uint64_t* scanned) {
  if (!bootSector || !fileSystem || !scanned) return RC_BAD_ARGUMENT;
  uint32_t bps = 0;
  uint64_t size = 0;
  if (DeviceSectorBytes(&bps) != RC_OK || m_device->GetSize(&size) != 0) return RC_MISSING;
  uint64_t total = size / bps;
  uint32_t overlap = HfsEvidence::Overlap(bps);
  std::vector<uint8_t> buf;
  try {
    buf.resize((size_t(kBatchSectors) + overlap) * bps);
  } catch (const std::bad_alloc&) {
    return RC_NO_MEMORY;
  }
  int fileRecords = 0, dotEntries = 0;
  HfsEvidence hfs(bps);
  auto decide = [&](int fs, uint64_t at) {
    *fileSystem = fs;
    *bootSector = 0;
    *scanned = at;
    return RC_OK;
  };
  uint64_t badStep = 1, advance = 0;
  for (uint64_t start = 0; start < total; start += advance) {
    uint32_t main = uint32_t(total - start < kBatchSectors ? total - start : kBatchSectors);
    uint32_t want = uint32_t(total - start < uint64_t(main) + overlap ? total - start : uint64_t(main) + overlap);
    uint32_t got = ReadPastBadSectors(m_device, start, buf.data(), main, want, &badStep, &advance, &m_readFailures);
    uint32_t usable = got < main ? got : main;
    for (uint32_t i = 0; i < usable; ++i) {
      if (m_sink && i % 50 == 0) {
        int p = int((start + i) * 100 / total);
        if (p < m_progressBase) p = m_progressBase;
        m_progressBase = p;
        if (m_sink->Notify(NE_FS_DETECT, p, 0, nullptr) != 0) return RC_WRONG_FS;
      }
      const uint8_t* s = buf.data() + size_t(i) * bps;
      int fs = 0;
      if (layout::IsNtfsFileRecordSignature(s, bps)) {
        if (++fileRecords >= 6) fs = FS_NTFS;
      } else if (IsFatDotEntries(s) == RC_OK) {
        if (++dotEntries >= 3) fs = FS_FAT32;
      } else if (IsExfatUpcase(s, int(bps)) == RC_OK) {
        fs = FS_EXFAT;
      } else {
        hfs.Look(s, size_t(got - i) * bps, start + i);
      }
      if (fs) return decide(fs, start);
      if (hfs.Decides(start + i, fileRecords || dotEntries)) return decide(FS_HFSP, start);
    }
  }
  if (hfs.Seen()) return decide(FS_HFSP, total);
  return RC_WRONG_FS;
}

int CFormat::DetectWholeDisk(uint64_t* bootSector, int* fileSystem, uint64_t* scanned) {
  if (!bootSector || !fileSystem || !scanned) return RC_BAD_ARGUMENT;
  uint32_t bps = 0;
  if (DeviceSectorBytes(&bps) != RC_OK) return RC_MISSING;
  uint64_t found = 0;
  int fs = 0;
  int rc = SearchBootSector(&found, &fs, 0);
  if (rc == RC_NO_MEMORY) return rc;
  if (rc == RC_OK) {
    *bootSector = found;
    *fileSystem = fs;
    *scanned = kBatchSectors;
    return RC_OK;
  }
  uint64_t size = 0;
  if (m_device->GetSize(&size) != 0) return RC_MISSING;
  uint64_t total = size / bps;
  uint64_t half = total / 2;
  // Records are read in device sectors: the record size must be a whole number of them.
  NtfsBootInfo geometry{bps, 1, bps, bps < 1024 ? 1024u : bps, total, 0};
  m_ntfs->SetVolumeInfo(u"", bps, 1);
  if (m_ntfs->SetBootInfo(geometry, bps) != RC_OK) return RC_WRONG_FS;
  uint32_t spr = m_ntfs->SectorsPerRecord();
  uint32_t overlap = std::max(spr, HfsEvidence::Overlap(bps));
  std::vector<uint8_t> buf, record(m_ntfs->RecordBytes());
  try {
    buf.resize((size_t(kBatchSectors) + overlap) * bps);
  } catch (const std::bad_alloc&) {
    return RC_NO_MEMORY;
  }
  HfsEvidence hfs(bps);
  bool recordsSeen = false;
  uint64_t badStep = 1, advance = 0;
  for (uint64_t start = 0; start < half; start += advance) {
    uint64_t left = total - start;
    uint32_t main = uint32_t(half - start < kBatchSectors ? half - start : kBatchSectors);
    uint32_t want = uint32_t(left < uint64_t(main) + overlap ? left : uint64_t(main) + overlap);
    uint32_t got = ReadPastBadSectors(m_device, start, buf.data(), main, want, &badStep, &advance, &m_readFailures);
    uint32_t usable = got < main ? got : main;
    for (uint32_t i = 0; i < usable; ++i) {
      if (m_sink && i % 50 == 0) {
        int p = int(start * 100 / (total + half));
        if (p < m_progressBase) p = m_progressBase;
        m_progressBase = p;
        if (m_sink->Notify(NE_PERCENT, p, 0, nullptr) != 0) return RC_WRONG_FS;
      }
      const uint8_t* s = buf.data() + size_t(i) * bps;
      if (IsFatDotEntries(s) == RC_OK) {
        *fileSystem = FS_FAT32;
        *scanned = half;
        return RC_OK;
      }
      if (layout::IsNtfsFileRecordSignature(s, bps) && i + spr <= got) {
        recordsSeen = true;
        std::memcpy(record.data(), s, record.size());
        uint32_t c = 0;
        uint64_t base = 0;
        if (m_ntfs->ApplyFixup(record.data()) == RC_OK && FindMftRecord(record.data()) == RC_OK &&
            ConfirmMftBase(m_device, *m_ntfs, record.data(), start + i, &c, &base) == RC_OK) {
          *fileSystem = FS_NTFS;
          *bootSector = base;
          *scanned = half;
          return RC_OK;
        }
        continue;
      }
      if (IsExfatUpcase(s, int(bps)) == RC_OK) {
        *fileSystem = FS_EXFAT;
        *scanned = half;
        return RC_OK;
      }
      hfs.Look(s, size_t(got - i) * bps, start + i);
      if (hfs.Decides(start + i, recordsSeen)) break;
    }
    if (hfs.Decides(start + (usable ? usable - 1 : 0), recordsSeen)) break;
  }
  if (hfs.Seen()) {
    // Nothing tells where such a volume began: it is taken to begin with the area.
    *fileSystem = FS_HFSP;
    *bootSector = 0;
    *scanned = half;
    return RC_OK;
  }
  return RC_WRONG_FS;
}

IScanOperator* CreateFormatScanner(IStorageDevice* device) {
  return new (std::nothrow) CFormat(device);
}
