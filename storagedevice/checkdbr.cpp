#include "storagedevice/checkdbr.h"

#include <cstring>
#include <new>
#include <string>

#include "common/inc/bytes.h"
#include "common/inc/istoragedevice.h"
#include "common/inc/kestrum_types.h"
#include "filesystems/ntfs/ntfs.h"
#include "scanoperate/hfsp/hfsplus_format.h"
#include "storagedevice/dbrcheck.h"

namespace {

using kbytes::Be16;
using kbytes::Be32;
using kbytes::Le16;
using kbytes::Le32;
using kbytes::Le64;

const uint32_t kNtfsRecordsChecked = 11;
const char* const kNtfsSystemNames[kNtfsRecordsChecked] = {
    "$MFT", "$MFTMirr", "$LogFile", "$Volume", "$AttrDef", ".",
    "$Bitmap", "$Boot", "$BadClus", "$Secure", "$UpCase"};
// An HFS+ volume whose extents file cannot be confirmed is still offered when it is this
// large: losing it would cost more than a false candidate.
const uint64_t kHfsLargeVolumeBytes = uint64_t(5) << 30;

uint32_t Tag(const uint8_t* p) { return Le32(p); }
uint32_t TagOf(const char* s) { return Le32(reinterpret_cast<const uint8_t*>(s)); }

bool HasBootSignature(const uint8_t* s) { return s[510] == 0x55 && s[511] == 0xAA; }

bool EqualsNoCase(const std::u16string& a, const char* b) {
  size_t n = strlen(b);
  if (a.size() != n) return false;
  for (size_t i = 0; i < n; ++i) {
    char16_t c = a[i];
    char d = b[i];
    if (c >= u'a' && c <= u'z') c = char16_t(c - 32);
    if (d >= 'a' && d <= 'z') d = char(d - 32);
    if (c != char16_t(uint8_t(d))) return false;
  }
  return true;
}

// sector + delta in device sectors, refused when it would leave the signed 64-bit range.
bool AddSectors(uint64_t sector, uint64_t delta, uint64_t* out) {
  if (sector > uint64_t(INT64_MAX) || delta > uint64_t(INT64_MAX) - sector) return false;
  *out = sector + delta;
  return true;
}

class CCheckDBR final : public ICheckDBR {
 public:
  CCheckDBR() : m_scratch(nullptr), m_capacity(0), m_lastSize(0), m_clusterBytes(0) { m_name[0] = 0; }

  int Check(IStorageDevice* device, const uint8_t* sector, int sectorSize, uint32_t sectorLow,
            uint32_t sectorHigh, int64_t* size, int* quality) override;
  int GetClusterSize() override { return m_clusterBytes; }
  void Release() override { delete this; }
  int GetVolumeSerial(IStorageDevice* device, uint8_t* out, int length) override;
  bool FitsName(int, int length) override {
    size_t n = 0;
    while (n < sizeof m_name / sizeof m_name[0] && m_name[n]) ++n;
    return n != 0 && length >= 0 && size_t(length) >= n;
  }

 private:
  ~CCheckDBR() { delete[] m_scratch; }

  // count device sectors from first into the scratch buffer; null when the read falls short.
  const uint8_t* ReadSectors(IStorageDevice* device, uint64_t first, uint32_t count);
  bool ValidateNtfs(IStorageDevice* device, const uint8_t* boot, uint64_t s, int* quality);
  bool ValidateFat16(IStorageDevice* device, const uint8_t* boot, uint64_t s, int* quality);
  bool ValidateFat32(IStorageDevice* device, const uint8_t* boot, uint64_t s, int* quality);
  bool ValidateExfat(IStorageDevice* device, const uint8_t* boot, uint64_t s);
  bool ValidateHfsPlus(IStorageDevice* device, const HFSPlusVolumeHeader& h, uint64_t volumeStart,
                       int* quality);

  uint8_t* m_scratch;
  size_t m_capacity;
  uint32_t m_sectorSize = 0;
  int64_t m_lastSize;
  int m_clusterBytes;
  char16_t m_name[130];
};

const uint8_t* CCheckDBR::ReadSectors(IStorageDevice* device, uint64_t first, uint32_t count) {
  if (first > uint64_t(INT64_MAX) || count == 0) return nullptr;
  size_t need = size_t(count) * m_sectorSize;
  if (need > m_capacity) {
    // Grown on demand and kept: most candidates need the same few sectors.
    uint8_t* grown = new (std::nothrow) uint8_t[need];
    if (!grown) return nullptr;
    delete[] m_scratch;
    m_scratch = grown;
    m_capacity = need;
  }
  if (device->ReadSectors(int64_t(first), m_scratch, count) != int(count)) return nullptr;
  return m_scratch;
}

bool CCheckDBR::ValidateNtfs(IStorageDevice* device, const uint8_t* boot, uint64_t s, int* quality) {
  if (!HasBootSignature(boot)) return false;
  NtfsBootInfo bi;
  if (ParseNtfsBootSector(boot, 512, &bi) != 0) return false;
  // The MFT is located in the boot sector's sectors; they must be the device's.
  if (bi.bytesPerSector != m_sectorSize) return false;
  CNTFS ntfs(device);
  if (ntfs.SetVolumeInfo(u"CCheckDBR", bi.bytesPerSector, bi.sectorsPerCluster) != 0) return false;
  if (ntfs.SetBootInfo(bi, m_sectorSize) != 0) return false;
  uint64_t mft;
  // mftLcn lies below total / spc, so the product stays below the volume's sector count.
  if (!AddSectors(s, bi.mftLcn * bi.sectorsPerCluster, &mft)) return false;
  // The first records by their real size: 1 KiB steps would misread 4 KiB records.
  uint32_t sectors = kNtfsRecordsChecked * bi.recordBytes / m_sectorSize;
  const uint8_t* data = ReadSectors(device, mft, sectors);
  if (!data) return false;
  std::string copy;
  std::u16string name;
  uint32_t matched = 0;
  for (; matched < kNtfsRecordsChecked; ++matched) {
    copy.assign(reinterpret_cast<const char*>(data) + size_t(matched) * bi.recordBytes, bi.recordBytes);
    uint8_t* rec = reinterpret_cast<uint8_t*>(&copy[0]);
    uint64_t parent = 0;
    if (ntfs.ApplyFixup(rec) != 0) break;
    if (ntfs.GetFileName(rec, name, &parent, nullptr, nullptr) != 0) break;
    if (!EqualsNoCase(name, kNtfsSystemNames[matched]) || parent != 5) break;
  }
  if (matched == kNtfsRecordsChecked) {
    if (quality) *quality = 100;
    return true;
  }
  if (matched == 0 || !quality) return false;
  *quality = int(matched) * 9;
  return true;
}

// The fields every FAT kind needs before any of them is used as a sector offset.
bool FatFieldsSane(const uint8_t* boot, uint32_t deviceSectorSize) {
  if (!HasBootSignature(boot) || Le16(boot + 11) != deviceSectorSize) return false;
  if (!IsValidSectorsPerCluster(boot[13])) return false;
  return (boot[16] == 1 || boot[16] == 2) && Le16(boot + 14) != 0;
}

uint64_t FatTotalSectors(const uint8_t* boot) {
  uint16_t total16 = Le16(boot + 19);
  return total16 ? total16 : Le32(boot + 32);
}

bool CCheckDBR::ValidateFat16(IStorageDevice* device, const uint8_t* boot, uint64_t s, int* quality) {
  if (!FatFieldsSane(boot, m_sectorSize)) return false;
  uint32_t fatSize = Le16(boot + 22);
  if (fatSize == 0 || Le16(boot + 17) == 0 || FatTotalSectors(boot) == 0) return false;
  int kind = FatKindByClusters(boot);
  if (kind != 1 && kind != 6) return false;
  uint32_t fats = boot[16];
  int good = 0;
  uint64_t at;
  if (!AddSectors(s, Le16(boot + 14), &at)) return false;
  for (uint32_t i = 0; i < fats; ++i) {
    if (i && !AddSectors(at, fatSize, &at)) return false;
    const uint8_t* fat = ReadSectors(device, at, 1);
    if (!fat) return false;
    uint32_t w = Le32(fat);
    // FAT12 packs the media entry and the end mark in three bytes; the fourth is cluster 2's.
    bool ok = kind == 1 ? (w & 0xFFFFFF) == 0xFFFFF8 : (w == 0xFFFFFFF8 || w == 0x7FFFFFF8);
    if (ok) ++good;
  }
  if (good == int(fats)) {
    if (quality) *quality = 100;
    return true;
  }
  if (!quality) return false;
  *quality = 50;
  return true;
}

bool Fat32CopyGood(const uint8_t* fat) {
  uint32_t a = Le32(fat), b = Le32(fat + 4);
  bool first = a == 0x0FFFFFF0 || a == 0x0FFFFFF8 || a == 0xFFFFFFF0 || a == 0xFFFFFFF8;
  bool second = b == 0x07FFFFFF || b == 0x0FFFFFFF || b == 0x77FFFFFF || b == 0x7FFFFFFF ||
                b == 0xF7FFFFFF || b == 0xFFFFFFFF;
  return first && second;
}

bool CCheckDBR::ValidateFat32(IStorageDevice* device, const uint8_t* boot, uint64_t s, int* quality) {
  if (!FatFieldsSane(boot, m_sectorSize)) return false;
  uint32_t fatSize = Le32(boot + 36);
  // A FAT32 root lives in a cluster chain and its FAT size in the 32-bit field only.
  if (fatSize == 0 || Le16(boot + 22) != 0 || Le16(boot + 17) != 0 || Le32(boot + 44) < 2) return false;
  if (FatTotalSectors(boot) == 0) return false;
  uint32_t fats = boot[16];
  int good = 0;
  uint64_t at;
  if (!AddSectors(s, Le16(boot + 14), &at)) return false;
  for (uint32_t i = 0; i < fats; ++i) {
    if (i && !AddSectors(at, fatSize, &at)) return false;
    const uint8_t* fat = ReadSectors(device, at, 1);
    if (!fat) return false;
    if (Fat32CopyGood(fat)) ++good;
  }
  if (good == int(fats)) {
    if (quality) *quality = 100;
    return true;
  }
  if (good == 0 || !quality) return false;
  *quality = 50;
  return true;
}

bool CCheckDBR::ValidateExfat(IStorageDevice* device, const uint8_t* boot, uint64_t s) {
  if (!IsExfatBootSector(boot)) return false;
  // Offsets count volume sectors; only volumes whose sectors are the device's are read.
  if ((uint32_t(1) << boot[108]) != m_sectorSize) return false;
  uint64_t length = Le64(boot + 72);
  uint32_t fatOffset = Le32(boot + 80), heap = Le32(boot + 88), clusters = Le32(boot + 92);
  uint32_t root = Le32(boot + 96);
  if (length == 0 || fatOffset == 0 || fatOffset >= length || heap >= length) return false;
  if (root < 2 || root - 2 >= clusters) return false;
  uint64_t at;
  if (!AddSectors(s, fatOffset, &at)) return false;
  const uint8_t* fat = ReadSectors(device, at, 1);
  if (!fat || Le32(fat) != 0xFFFFFFF8) return false;
  uint64_t rootOffset = uint64_t(root - 2) << boot[109];  // below 2^32 * 2^16
  if (!AddSectors(s, heap, &at) || !AddSectors(at, rootOffset, &at)) return false;
  const uint8_t* dir = ReadSectors(device, at, 1);
  if (!dir) return false;
  return (dir[0] == 0x83 || dir[0] == 0x03) && dir[32] == 0x81 && dir[64] == 0x82;
}

bool CCheckDBR::ValidateHfsPlus(IStorageDevice* device, const HFSPlusVolumeHeader& h, uint64_t volumeStart,
                                int* quality) {
  const uint32_t starts[3] = {h.extentsFile.extents[0].startBlock, h.catalogFile.extents[0].startBlock,
                              h.attributesFile.extents[0].startBlock};
  static const uint8_t kHeaderNode[6] = {0x01, 0x00, 0x00, 0x03, 0x00, 0x00};
  // TN1150 makes the attributes file optional: a volume without one (no blocks, no size)
  // is whole, not damaged.
  const HFSPlusForkData& attr = h.attributesFile;
  bool noAttributes = attr.logicalSize == 0 && attr.totalBlocks == 0 && hfsplus_extents_block_count(attr.extents) == 0;
  int good = 0;
  for (int f = 0; f < 3; ++f) {
    if (f == 2 && noAttributes) {
      ++good;
      break;
    }
    uint32_t start = starts[f];
    // By bytes, so that blocks smaller or larger than a device sector both land right.
    uint64_t byte = uint64_t(start) * h.blockSize;
    uint64_t at;
    if (!AddSectors(volumeStart, byte / m_sectorSize, &at)) break;
    size_t in = size_t(byte % m_sectorSize);
    const uint8_t* node = ReadSectors(device, at, 1);
    if (!node || !kbytes::Fits(m_sectorSize, in + 8, 6) || memcmp(node + in + 8, kHeaderNode, 6) != 0) break;
    ++good;
  }
  if (good == 3) {
    if (quality) *quality = 100;
    return true;
  }
  if (!quality) return false;
  if (good == 0) {
    if (uint64_t(h.blockSize) * h.totalBlocks < kHfsLargeVolumeBytes) return false;
    *quality = 0;
    return true;
  }
  *quality = 40 * good;
  return true;
}

int CCheckDBR::Check(IStorageDevice* device, const uint8_t* sector, int sectorSize, uint32_t sectorLow,
                     uint32_t sectorHigh, int64_t* size, int* quality) {
  if (quality) *quality = 0;
  if (!device || !sector || !size || sectorSize < 512) return FS_NONE;
  const uint32_t len = uint32_t(sectorSize);
  const uint64_t s = uint64_t(sectorHigh) << 32 | sectorLow;
  if (s > uint64_t(INT64_MAX)) return FS_NONE;
  // The cheap part first: nearly every sector of a disk fails here, before any call.
  const uint8_t* hfs = len > 1024 ? (len >= 1536 ? sector + 1024 : nullptr) : sector;
  bool hfsTag = hfs && (Be16(hfs) == kHFSPlusSigWord || Be16(hfs) == kHFSXSigWord);
  if (!hfsTag && !HasBootSignature(sector)) return FS_NONE;

  // Both outputs given: a facade need not accept a null one.
  int ss = 0, cb = 0;
  if (device->GetClusterInfo(&cb, &ss) != 0 || ss < 512 || ss > 65536 || !kbytes::IsPowerOfTwo(uint32_t(ss)) ||
      uint32_t(ss) != len)
    return FS_NONE;
  m_sectorSize = uint32_t(ss);

  int q = 0;
  int* qp = quality ? &q : nullptr;
  if (Tag(sector + 3) == TagOf("NTFS")) {
    if (!ValidateNtfs(device, sector, s, qp)) return FS_NONE;
    m_lastSize = int64_t(Le64(sector + 40));
    if (m_lastSize <= 0) return FS_NONE;
    // Byte 13 above 0x80 is an exponent (2^(256 - n) sectors), not a count.
    NtfsBootInfo bi;
    if (ParseNtfsBootSector(sector, 512, &bi) != 0) return FS_NONE;
    m_clusterBytes = int(bi.clusterBytes);
    *size = m_lastSize;
    if (quality) *quality = q;
    return FS_NTFS;
  }
  if (Tag(sector + 82) == TagOf("FAT3")) {
    if (!ValidateFat32(device, sector, s, qp)) return FS_NONE;
    m_lastSize = int64_t(FatTotalSectors(sector));
    m_clusterBytes = int(sector[13]) * ss;
    *size = m_lastSize;
    if (quality) *quality = q;
    return FS_FAT32;
  }
  if (Tag(sector + 54) == TagOf("FAT1")) {
    if (!ValidateFat16(device, sector, s, qp)) return FS_NONE;
    // Small volumes keep their count in the 16-bit field alone.
    m_lastSize = int64_t(FatTotalSectors(sector));
    m_clusterBytes = int(sector[13]) * ss;
    *size = m_lastSize;
    if (quality) *quality = q;
    return FS_FAT16;
  }
  if (Tag(sector + 3) == TagOf("EXFA")) {
    if (!ValidateExfat(device, sector, s)) return FS_NONE;
    m_lastSize = int64_t(Le64(sector + 72));
    if (m_lastSize <= 0) return FS_NONE;
    m_clusterBytes = int(ExfatSectorsPerCluster(sector)) * ss;
    *size = m_lastSize;
    if (quality) *quality = 100;
    return FS_EXFAT;
  }
  if (!hfsTag) return FS_NONE;
  HFSPlusVolumeHeader h;
  if (!hfsplus_read_volume_header(hfs, 512, &h) || !hfsplus_check_volume_header(&h)) return FS_NONE;
  // The header is volume byte 1024: a volume cannot start before the disk does.
  uint64_t index = HfsHeaderSectorIndex(uint32_t(ss));
  if (s < index) return FS_NONE;
  if (!ValidateHfsPlus(device, h, s - index, qp)) return FS_NONE;
  m_lastSize = int64_t(uint64_t(h.blockSize) * h.totalBlocks / uint32_t(ss));
  if (m_lastSize <= 0) return FS_NONE;
  m_clusterBytes = int(h.blockSize);
  *size = m_lastSize;
  if (quality) *quality = q;
  return FS_HFSP;
}

int CCheckDBR::GetVolumeSerial(IStorageDevice* device, uint8_t* out, int length) {
  int ss = 0, cb = 0;
  if (!device || device->GetClusterInfo(&cb, &ss) != 0 || ss < 512 || ss > 65536 ||
      !kbytes::IsPowerOfTwo(uint32_t(ss)))
    return RC_MISSING;
  if (!out || length < 16) return RC_BAD_ARGUMENT;
  uint8_t* buf = new (std::nothrow) uint8_t[size_t(ss)];
  if (!buf) return RC_NO_MEMORY;
  int result = RC_MISSING;
  int q = 0;
  int64_t size = 0;
  int fs = FS_NONE;
  if (device->ReadSectors(0, buf, 1) != 1) {
    result = RC_READ_FAILED;
  } else {
    fs = Check(device, buf, ss, 0, 0, &size, &q);
    uint32_t hfsIndex = HfsHeaderSectorIndex(uint32_t(ss));
    if (fs == FS_NONE && hfsIndex != 0) {
      if (device->ReadSectors(hfsIndex, buf, 1) != 1)
        result = RC_READ_FAILED;
      else
        fs = Check(device, buf, ss, hfsIndex, 0, &size, &q);
    }
  }
  if (fs != FS_NONE) {
    memset(out, 0, size_t(length));
    switch (fs) {
      case FS_FAT16: memcpy(out, buf + 39, 4); break;
      case FS_FAT32: memcpy(out, buf + 67, 4); break;
      case FS_NTFS: memcpy(out, buf + 72, 4); break;
      case FS_EXFAT: memcpy(out, buf + 100, 4); break;
      default: {
        const uint8_t* h = ss > 1024 ? buf + 1024 : buf;
        // Creation date and size mixed: HFS+ keeps no serial of its own.
        for (int i = 0; i < 4; ++i) out[i] = uint8_t(h[44 + i] ^ h[16 + i]);
        break;
      }
    }
    result = 0;
  }
  delete[] buf;
  return result;
}

}  // namespace

ICheckDBR* CreateCheckDBR() { return new (std::nothrow) CCheckDBR(); }

uint32_t HfsHeaderSectorIndex(uint32_t sectorSize) {
  if (sectorSize == 0 || sectorSize > 1024) return 0;
  return 1024 / sectorSize;
}
