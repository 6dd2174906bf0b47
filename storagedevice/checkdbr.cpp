#include "storagedevice/checkdbr.h"

#include <cstddef>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "common/inc/bytes.h"
#include "common/inc/istoragedevice.h"
#include "common/inc/kestrum_types.h"
#include "common/layout/exfat_boot.h"
#include "common/layout/fat_boot.h"
#include "common/layout/hfsplus_btree.h"
#include "common/layout/hfsplus_volume.h"
#include "common/layout/ntfs_attribute.h"
#include "common/layout/ntfs_boot.h"
#include "common/layout/ntfs_file_name.h"
#include "common/layout/ntfs_file_record.h"
#include "common/layout/ntfs_fixup.h"
#include "common/layout/boot_signature.h"
#include "storagedevice/dbrcheck.h"

namespace {

const uint32_t kNtfsRecordsChecked = 11;
const char* const kNtfsSystemNames[kNtfsRecordsChecked] = {
    "$MFT", "$MFTMirr", "$LogFile", "$Volume", "$AttrDef", ".",
    "$Bitmap", "$Boot", "$BadClus", "$Secure", "$UpCase"};
const uint64_t kNtfsRootRecord = 5;
const uint32_t kNtfsFileNameType = 0x30;
// An HFS+ volume whose extents file cannot be confirmed is still offered when it is this
// large: losing it would cost more than a false candidate.
const uint64_t kHfsLargeVolumeBytes = uint64_t(5) << 30;

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

// Whether one FILE record, its fixup applied, is the system file name in the root folder.
bool IsSystemRecord(uint8_t* rec, uint32_t recordBytes, const char* name) {
  if (!layout::NtfsApplyFixup(rec, recordBytes)) return false;
  layout::NtfsFileRecordHeader h;
  if (!layout::DecodeNtfsFileRecordHeader(rec, recordBytes, &h) || !h.isFile ||
      h.bytesAllocated != recordBytes)
    return false;
  // Every attribute lies inside the bytes in use, so the walk ends within them.
  for (uint32_t at = h.firstAttributeOffset; at < h.bytesInUse;) {
    layout::NtfsAttributeHeader a;
    if (!layout::DecodeNtfsAttributeHeader(rec + at, h.bytesInUse - at, &a) || a.isEnd) return false;
    if (a.type == kNtfsFileNameType && !a.nonResident) {
      layout::NtfsFileName fn;
      if (layout::DecodeNtfsFileName(rec + at + a.valueOffset, a.valueLength, &fn) &&
          EqualsNoCase(fn.name, name) && fn.parentRecord == kNtfsRootRecord)
        return true;
    }
    at += a.length;
  }
  return false;
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
  bool ValidateNtfs(IStorageDevice* device, const layout::NtfsBootSector& b, uint64_t s, int* quality);
  bool ValidateFat16(IStorageDevice* device, const layout::FatBootSector& b, uint64_t s, int* quality);
  bool ValidateFat32(IStorageDevice* device, const layout::FatBootSector& b, uint64_t s, int* quality);
  bool ValidateExfat(IStorageDevice* device, const layout::ExfatBootSector& b, uint64_t s);
  bool ValidateHfsPlus(IStorageDevice* device, const layout::HFSPlusVolumeHeader& h, uint64_t volumeStart,
                       int* quality);
  // The first 32-bit FAT entry or entries of the FAT copies from first on, fatSectors apart.
  bool ReadFatStarts(IStorageDevice* device, uint64_t first, uint32_t fatSectors, uint32_t fats,
                     uint32_t* starts, uint32_t* seconds);

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

bool CCheckDBR::ValidateNtfs(IStorageDevice* device, const layout::NtfsBootSector& b, uint64_t s,
                             int* quality) {
  layout::NtfsBootGeometry g;
  if (!layout::NtfsBootSectorRecognised(b, &g)) return false;
  // The MFT is located in the boot sector's sectors; they must be the device's.
  if (g.bytesPerSector != m_sectorSize || !layout::NtfsGeometryFitsSectors(g, m_sectorSize)) return false;
  uint64_t mft;
  // mftLcn lies below total / spc, so the product stays below the volume's sector count.
  if (!AddSectors(s, b.mftLcn * g.sectorsPerCluster, &mft)) return false;
  // The first records by their real size: 1 KiB steps would misread 4 KiB records.
  uint32_t sectors = kNtfsRecordsChecked * g.recordBytes / m_sectorSize;
  const uint8_t* data = ReadSectors(device, mft, sectors);
  if (!data) return false;
  std::vector<uint8_t> rec(g.recordBytes);
  uint32_t matched = 0;
  for (; matched < kNtfsRecordsChecked; ++matched) {
    // The fixup works on a copy: the scratch buffer keeps the sectors as read.
    memcpy(rec.data(), data + size_t(matched) * g.recordBytes, g.recordBytes);
    if (!IsSystemRecord(rec.data(), g.recordBytes, kNtfsSystemNames[matched])) break;
  }
  if (matched == kNtfsRecordsChecked) {
    if (quality) *quality = 100;
    return true;
  }
  if (matched == 0 || !quality) return false;
  *quality = int(matched) * 9;
  return true;
}

bool CCheckDBR::ReadFatStarts(IStorageDevice* device, uint64_t first, uint32_t fatSectors, uint32_t fats,
                              uint32_t* starts, uint32_t* seconds) {
  uint64_t at = first;
  for (uint32_t i = 0; i < fats; ++i) {
    if (i && !AddSectors(at, fatSectors, &at)) return false;
    const uint8_t* fat = ReadSectors(device, at, 1);
    if (!fat || !kbytes::ReadLe32(fat, m_sectorSize, 0, &starts[i]) ||
        !kbytes::ReadLe32(fat, m_sectorSize, 4, &seconds[i]))
      return false;
  }
  return true;
}

bool CCheckDBR::ValidateFat16(IStorageDevice* device, const layout::FatBootSector& b, uint64_t s,
                              int* quality) {
  // The FATs are located in the boot sector's sectors; they must be the device's.
  if (!b.signatureValid || b.bytesPerSector != m_sectorSize || b.rootEntries == 0) return false;
  int kind = layout::FatKind(b);
  if (kind != 12 && kind != 16) return false;
  uint32_t starts[2], seconds[2];
  uint64_t first;
  if (!AddSectors(s, b.reservedSectors, &first) ||
      !ReadFatStarts(device, first, b.fatSize16, b.numFats, starts, seconds))
    return false;
  int good = 0;
  for (uint32_t i = 0; i < b.numFats; ++i) {
    uint32_t w = starts[i];
    // FAT12 packs the media entry and the end mark in three bytes; the fourth is cluster 2's.
    bool ok = kind == 12 ? (w & 0xFFFFFF) == 0xFFFFF8 : (w == 0xFFFFFFF8 || w == 0x7FFFFFF8);
    if (ok) ++good;
  }
  if (good == int(b.numFats)) {
    if (quality) *quality = 100;
    return true;
  }
  if (!quality) return false;
  *quality = 50;
  return true;
}

bool Fat32CopyGood(uint32_t a, uint32_t b) {
  bool first = a == 0x0FFFFFF0 || a == 0x0FFFFFF8 || a == 0xFFFFFFF0 || a == 0xFFFFFFF8;
  bool second = b == 0x07FFFFFF || b == 0x0FFFFFFF || b == 0x77FFFFFF || b == 0x7FFFFFFF ||
                b == 0xF7FFFFFF || b == 0xFFFFFFFF;
  return first && second;
}

bool CCheckDBR::ValidateFat32(IStorageDevice* device, const layout::FatBootSector& b, uint64_t s,
                              int* quality) {
  // A FAT32 root lives in a cluster chain.
  if (!b.signatureValid || b.bytesPerSector != m_sectorSize || layout::FatKind(b) != 32 ||
      b.fat32.rootCluster < 2)
    return false;
  uint32_t starts[2], seconds[2];
  uint64_t first;
  if (!AddSectors(s, b.reservedSectors, &first) ||
      !ReadFatStarts(device, first, b.fat32.fatSize32, b.numFats, starts, seconds))
    return false;
  int good = 0;
  for (uint32_t i = 0; i < b.numFats; ++i)
    if (Fat32CopyGood(starts[i], seconds[i])) ++good;
  if (good == int(b.numFats)) {
    if (quality) *quality = 100;
    return true;
  }
  if (good == 0 || !quality) return false;
  *quality = 50;
  return true;
}

bool CCheckDBR::ValidateExfat(IStorageDevice* device, const layout::ExfatBootSector& b, uint64_t s) {
  if (!layout::ExfatBootSectorRecognised(b)) return false;
  // Offsets count volume sectors; only volumes whose sectors are the device's are read.
  if ((uint32_t(1) << b.bytesPerSectorShift) != m_sectorSize) return false;
  const uint64_t length = b.volumeLength;
  const uint32_t fatOffset = b.fatOffset, heap = b.clusterHeapOffset, clusters = b.clusterCount;
  const uint32_t root = b.rootDirectoryCluster;
  if (length == 0 || fatOffset == 0 || fatOffset >= length || heap >= length) return false;
  if (root < 2 || root - 2 >= clusters) return false;
  uint64_t at;
  if (!AddSectors(s, fatOffset, &at)) return false;
  const uint8_t* fat = ReadSectors(device, at, 1);
  uint32_t media = 0;
  if (!fat || !kbytes::ReadLe32(fat, m_sectorSize, 0, &media) || media != 0xFFFFFFF8) return false;
  uint64_t rootOffset = uint64_t(root - 2) << b.sectorsPerClusterShift;  // below 2^32 * 2^16
  if (!AddSectors(s, heap, &at) || !AddSectors(at, rootOffset, &at)) return false;
  const uint8_t* dir = ReadSectors(device, at, 1);
  // The first entries that mkfs.exfat and Windows write: the label (in use or not), the
  // allocation bitmap and the up-case table.
  uint8_t label = 0, bitmap = 0, upcase = 0;
  if (!dir || !kbytes::ReadU8(dir, m_sectorSize, 0, &label) ||
      !kbytes::ReadU8(dir, m_sectorSize, 32, &bitmap) || !kbytes::ReadU8(dir, m_sectorSize, 64, &upcase))
    return false;
  return (label == 0x83 || label == 0x03) && bitmap == 0x81 && upcase == 0x82;
}

bool CCheckDBR::ValidateHfsPlus(IStorageDevice* device, const layout::HFSPlusVolumeHeader& h,
                                uint64_t volumeStart, int* quality) {
  const uint32_t starts[3] = {h.extentsFile.extents[0].startBlock, h.catalogFile.extents[0].startBlock,
                              h.attributesFile.extents[0].startBlock};
  // TN1150 makes the attributes file optional: a volume without one (no blocks, no size)
  // is whole, not damaged.
  const layout::HFSPlusForkData& attr = h.attributesFile;
  bool noAttributes =
      attr.logicalSize == 0 && attr.totalBlocks == 0 && layout::HFSPlusExtentsBlockCount(attr.extents) == 0;
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
    // The first node of each B-tree file is its header node: kind 1, height 0, 3 records.
    layout::BTNodeDescriptor d;
    if (!node || in > m_sectorSize || !layout::DecodeBTNodeDescriptor(node + in, m_sectorSize - in, &d) ||
        d.kind != 1 || d.height != 0 || d.numRecords != 3 || d.reserved != 0)
      break;
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
  const size_t hfsBytes = hfs ? len - size_t(hfs - sector) : 0;
  uint16_t hfsWord = 0;
  bool hfsTag = hfs && kbytes::ReadBe16(hfs, hfsBytes, 0, &hfsWord) &&
                (hfsWord == layout::kHFSPlusSignature || hfsWord == layout::kHFSXSignature);
  if (!hfsTag && !layout::HasBootSectorSignature(sector, len)) return FS_NONE;

  // Both outputs given: a facade need not accept a null one.
  int ss = 0, cb = 0;
  if (device->GetClusterInfo(&cb, &ss) != 0 || ss < 512 || ss > 65536 || !kbytes::IsPowerOfTwo(uint32_t(ss)) ||
      uint32_t(ss) != len)
    return FS_NONE;
  m_sectorSize = uint32_t(ss);

  int q = 0;
  int* qp = quality ? &q : nullptr;
  layout::NtfsBootSector ntfs;
  if (layout::DecodeNtfsBootSector(sector, len, &ntfs) && ntfs.oemIsNtfs) {
    if (!ValidateNtfs(device, ntfs, s, qp)) return FS_NONE;
    m_lastSize = int64_t(ntfs.totalSectors);
    if (m_lastSize <= 0) return FS_NONE;
    layout::NtfsBootGeometry g;
    if (!layout::NtfsBootSectorValid(ntfs, &g)) return FS_NONE;
    // A code above 0x80 is an exponent (2^(256 - n) sectors), not a count.
    m_clusterBytes = int(g.clusterBytes);
    *size = m_lastSize;
    if (quality) *quality = q;
    return FS_NTFS;
  }
  // FAT12, FAT16 and FAT32 by their cluster count and layout, whatever the type text says.
  layout::FatBootSector fat;
  if (layout::DecodeFatBootSector(sector, len, &fat) && layout::FatKind(fat) != 0) {
    const bool fat32 = layout::FatKind(fat) == 32;
    if (!(fat32 ? ValidateFat32(device, fat, s, qp) : ValidateFat16(device, fat, s, qp))) return FS_NONE;
    // Small volumes keep their count in the 16-bit field alone.
    m_lastSize = int64_t(fat.TotalSectors());
    m_clusterBytes = int(fat.sectorsPerCluster) * ss;
    *size = m_lastSize;
    if (quality) *quality = q;
    return fat32 ? FS_FAT32 : FS_FAT16;
  }
  layout::ExfatBootSector exfat;
  if (layout::DecodeExfatBootSector(sector, len, &exfat) && exfat.nameIsExfat) {
    if (!ValidateExfat(device, exfat, s)) return FS_NONE;
    m_lastSize = int64_t(exfat.volumeLength);
    if (m_lastSize <= 0) return FS_NONE;
    m_clusterBytes = int(layout::ExfatSectorsPerCluster(exfat)) * ss;
    *size = m_lastSize;
    if (quality) *quality = 100;
    return FS_EXFAT;
  }
  if (!hfsTag) return FS_NONE;
  layout::HFSPlusVolumeHeader h;
  if (!layout::DecodeHFSPlusVolumeHeader(hfs, hfsBytes, &h) || !layout::HFSPlusVolumeHeaderValid(h))
    return FS_NONE;
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
    const size_t n = size_t(ss);
    switch (fs) {
      case FS_FAT16:
        kbytes::ReadBytes(
            buf, n, layout::kFatExtensionOffset + offsetof(layout::raw::Fat16Extension, volumeId), out, 4);
        break;
      case FS_FAT32:
        kbytes::ReadBytes(
            buf, n, layout::kFatExtensionOffset + offsetof(layout::raw::Fat32Extension, volumeId), out, 4);
        break;
      case FS_NTFS:
        kbytes::ReadBytes(buf, n, offsetof(layout::raw::NtfsBootSector, serialNumber), out, 4);
        break;
      case FS_EXFAT:
        kbytes::ReadBytes(buf, n, offsetof(layout::raw::ExfatBootSector, volumeSerialNumber), out, 4);
        break;
      default: {
        const size_t at = ss > 1024 ? 1024 : 0;
        uint8_t blocks[4] = {}, created[4] = {};
        kbytes::ReadBytes(buf, n, at + offsetof(layout::raw::HFSPlusVolumeHeader, totalBlocks), blocks, 4);
        kbytes::ReadBytes(buf, n, at + offsetof(layout::raw::HFSPlusVolumeHeader, createDate), created, 4);
        // Creation date and size mixed: HFS+ keeps no serial of its own.
        for (int i = 0; i < 4; ++i) out[i] = uint8_t(blocks[i] ^ created[i]);
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

int CheckBackupBootSector(ICheckDBR* checker, IStorageDevice* facade, const uint8_t* sector, uint32_t ss,
                          uint64_t at, const std::set<uint64_t>* skip, uint64_t* start, int64_t* size,
                          int* quality) {
  if (!checker || !sector || !start) return FS_NONE;
  // The NTFS decoder reads the signature and the name at 3 that NTFS and exFAT share.
  layout::NtfsBootSector boot;
  layout::FatBootSector fat;
  if (!layout::DecodeNtfsBootSector(sector, ss, &boot) || !boot.signatureValid) return FS_NONE;
  int want = FS_NONE;
  uint64_t offset = 0;
  // The same recognition the checker applies: the exact NTFS name, and FAT32 told by its
  // layout, since the type text is only a label that formatters may leave blank.
  if (boot.oemIsNtfs) {
    want = FS_NTFS;
    offset = boot.totalSectors;
  } else if (layout::DecodeFatBootSector(sector, ss, &fat) && layout::FatKind(fat) == 32) {
    want = FS_FAT32;
    offset = fat.fat32.backupBootSector;
    if (offset == 0 || offset >= fat.reservedSectors) offset = 6;
  } else if (memcmp(boot.oemId, "EXFA", 4) == 0) {
    want = FS_EXFAT;
    offset = 12;
  } else {
    return FS_NONE;
  }
  if (offset == 0 || offset > at || (skip && skip->count(at - offset))) return FS_NONE;
  const uint64_t from = at - offset;
  int fs = checker->Check(facade, sector, int(ss), uint32_t(from), uint32_t(from >> 32), size, quality);
  if (fs != want) return FS_NONE;
  *start = from;
  return fs;
}
