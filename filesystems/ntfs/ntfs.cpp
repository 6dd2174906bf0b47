// Record-level NTFS decoding: geometry, fixup, attribute walk, names, dates, mapping pairs.
#include "filesystems/ntfs/ntfs.h"

#include <cstring>

#include "common/inc/bytes.h"
#include "common/inc/istoragedevice.h"
#include "common/inc/kestrum_types.h"
#include "common/layout/ntfs_boot.h"
#include "common/timeconv.h"

using kbytes::Fits;
using kbytes::Le16;
using kbytes::Le32;
using kbytes::Le64;

namespace {

const uint32_t kFixupStride = 512;  // NTFS protects every 512 bytes whatever the sector size

bool IsKnownType(uint32_t t) {
  return (t >= 0x10 && t <= 0x100 && (t & 0xF) == 0) || t == 0x1000;
}

bool TextEqualsNoCase(const uint8_t* p, const char* text, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    uint8_t c = p[i];
    if (c >= 'a' && c <= 'z') c = uint8_t(c - 32);
    if (c != uint8_t(text[i])) return false;
  }
  return true;
}

// Preference among the names of one record: Win32 names first, then POSIX, the 8.3 DOS
// alias last, so that a file comes back under the name its owner gave it.
int NamespaceRank(uint8_t ns) {
  switch (ns) {
    case 1:
    case 3:
      return 3;
    case 0:
      return 2;
    default:
      return 1;
  }
}

// A creation time must name a day of the calendar. FILETIME values with the top bit set
// name none: the system's own conversion refuses them, and no file system writes them.
bool IsCalendarDate(uint64_t filetime) {
  if (filetime >> 63) return false;
  CalendarDate d;
  FileTimeToDate(uint32_t(filetime), uint32_t(filetime >> 32), &d);
  return d.year != 0 && d.month >= 1 && d.month <= 12 && d.day >= 1 && d.day <= 31;
}

}  // namespace

int ParseNtfsBootSector(const uint8_t* boot, size_t len, NtfsBootInfo* out) {
  if (!boot || !out) return RC_BAD_ARGUMENT;
  layout::NtfsBootSector b;
  layout::NtfsBootGeometry g;
  if (!layout::DecodeNtfsBootSector(boot, len, &b) || !layout::NtfsBootSectorValid(b, &g)) return RC_WRONG_FS;
  out->bytesPerSector = g.bytesPerSector;
  out->sectorsPerCluster = g.sectorsPerCluster;
  out->clusterBytes = g.clusterBytes;
  out->recordBytes = g.recordBytes;
  out->totalSectors = b.totalSectors;
  out->mftLcn = b.mftLcn;
  return RC_OK;
}

CNTFS::CNTFS(IStorageDevice* device)
    : m_device(device),
      m_bytesPerSector(512),
      m_clusterBytes(0),
      m_sectorsPerCluster(0),
      m_baseSector(0),
      m_recordBytes(1024),
      m_totalClusters(0) {
  m_rootName[0] = 0;
  if (m_device) {
    int clusterBytes = 0, sectorBytes = 0;
    if (m_device->GetClusterInfo(&clusterBytes, &sectorBytes) == 0) {
      if (sectorBytes > 0 && kbytes::IsPowerOfTwo(uint64_t(sectorBytes)))
        m_bytesPerSector = uint32_t(sectorBytes);
      if (clusterBytes > 0) m_clusterBytes = uint32_t(clusterBytes);
    }
  }
}

CNTFS::~CNTFS() {}

int CNTFS::SetVolumeInfo(const char16_t* rootName, uint32_t bytesPerSector,
                         uint32_t sectorsPerCluster) {
  if (!rootName) return RC_BAD_ARGUMENT;
  if (!kbytes::IsPowerOfTwo(bytesPerSector) || !kbytes::IsPowerOfTwo(sectorsPerCluster))
    return RC_WRONG_FS;
  size_t i = 0;
  for (; rootName[i] && i + 1 < sizeof m_rootName / sizeof m_rootName[0]; ++i)
    m_rootName[i] = rootName[i];
  m_rootName[i] = 0;
  m_bytesPerSector = bytesPerSector;
  m_sectorsPerCluster = sectorsPerCluster;
  m_clusterBytes = bytesPerSector * sectorsPerCluster;
  return RC_OK;
}

int CNTFS::SetBootInfo(const NtfsBootInfo& boot, uint32_t deviceSectorBytes) {
  uint32_t d = deviceSectorBytes;
  if (!kbytes::IsPowerOfTwo(d)) return RC_WRONG_FS;
  if (boot.clusterBytes < d || boot.clusterBytes % d) return RC_WRONG_FS;
  // A record smaller than a device sector (1 KiB records on 4 KiB sectors) cannot be
  // addressed by sector; such a volume is refused rather than misread.
  if (boot.recordBytes < d || boot.recordBytes % d) return RC_WRONG_FS;
  m_bytesPerSector = d;
  m_sectorsPerCluster = boot.clusterBytes / d;
  m_clusterBytes = boot.clusterBytes;
  m_recordBytes = boot.recordBytes;
  m_totalClusters = boot.totalSectors / boot.sectorsPerCluster;
  return RC_OK;
}

uint32_t CNTFS::InUseLimit(const uint8_t* record) const {
  uint32_t inUse = Le32(record + 24);
  return inUse < m_recordBytes ? inUse : m_recordBytes;
}

int CNTFS::ApplyFixup(uint8_t* record) const { return ApplyBlockFixup(record, m_recordBytes); }

int CNTFS::ApplyBlockFixup(uint8_t* block, uint32_t size) {
  if (!block) return RC_BAD_ARGUMENT;
  if (size < kFixupStride || size % kFixupStride) return RC_CORRUPT_RECORD;
  uint16_t usaOff = Le16(block + 4);
  uint16_t usaCount = Le16(block + 6);
  uint32_t blocks = size / kFixupStride;
  if (usaCount != blocks + 1) return RC_CORRUPT_RECORD;
  if (usaOff < 0x28 || (usaOff & 1) || !Fits(size, usaOff, size_t(usaCount) * 2))
    return RC_CORRUPT_RECORD;
  uint16_t usn = Le16(block + usaOff);
  for (uint32_t i = 1; i <= blocks; ++i)
    if (Le16(block + i * kFixupStride - 2) != usn) return RC_CORRUPT_RECORD;
  for (uint32_t i = 1; i <= blocks; ++i)
    std::memcpy(block + i * kFixupStride - 2, block + usaOff + 2 * i, 2);
  return RC_OK;
}

int CNTFS::NextAttribute(const uint8_t* record, uint32_t* cursor, NtfsAttr* a) const {
  if (!record || !cursor || !a) return RC_BAD_ARGUMENT;
  uint32_t limit = InUseLimit(record);
  uint32_t off = *cursor ? *cursor : Le16(record + 20);
  if (!Fits(limit, off, 4)) return RC_CORRUPT_RECORD;
  uint32_t type = Le32(record + off);
  if (type == NTFS_AT_END) return 0;
  if (!Fits(limit, off, 24)) return RC_CORRUPT_RECORD;
  const uint8_t* p = record + off;
  uint32_t length = Le32(p + 4);
  if (length < 24 || length > limit - off) return RC_CORRUPT_RECORD;
  a->offset = off;
  a->type = type;
  a->length = length;
  a->nonResident = p[8] != 0;
  a->nameLength = p[9];
  a->nameOffset = Le16(p + 10);
  a->flags = Le16(p + 12);
  if (a->nameLength && !Fits(length, a->nameOffset, size_t(a->nameLength) * 2))
    return RC_CORRUPT_RECORD;
  a->valueOffset = a->valueLength = 0;
  a->lowestVcn = a->allocatedSize = a->dataSize = 0;
  a->pairsOffset = a->pairsLength = 0;
  if (!a->nonResident) {
    uint32_t vlen = Le32(p + 16);
    uint16_t voff = Le16(p + 20);
    if (!Fits(length, voff, vlen)) return RC_CORRUPT_RECORD;
    a->valueOffset = off + voff;
    a->valueLength = vlen;
  } else {
    if (length < 64) return RC_CORRUPT_RECORD;
    uint16_t poff = Le16(p + 32);
    if (poff < 64 || poff >= length) return RC_CORRUPT_RECORD;
    a->lowestVcn = Le64(p + 16);
    a->pairsOffset = off + poff;
    a->pairsLength = length - poff;
    a->allocatedSize = Le64(p + 40);
    a->dataSize = Le64(p + 48);
  }
  *cursor = off + length;
  return 1;
}

int CNTFS::FindUnnamed(const uint8_t* record, uint32_t type, NtfsAttr* attr) const {
  if (!record || !attr) return RC_BAD_ARGUMENT;
  uint32_t cursor = 0;
  int rc;
  while ((rc = NextAttribute(record, &cursor, attr)) == 1)
    if (attr->type == type && attr->nameLength == 0) return RC_OK;
  return rc == 0 ? RC_MISSING : rc;
}

int CNTFS::ValidateRecord(const uint8_t* record) const {
  if (!record) return RC_BAD_ARGUMENT;
  if (!TextEqualsNoCase(record, "FILE", 4)) return RC_CORRUPT_RECORD;
  uint16_t usaOff = Le16(record + 4);
  uint16_t usaCount = Le16(record + 6);
  uint16_t first = Le16(record + 20);
  uint32_t inUse = Le32(record + 24);
  uint32_t allocated = Le32(record + 28);
  if (allocated != m_recordBytes || inUse > m_recordBytes) return RC_CORRUPT_RECORD;
  if (usaCount != m_recordBytes / kFixupStride + 1) return RC_CORRUPT_RECORD;
  if (first < uint32_t(usaOff) + 2u * usaCount || (first & 7) || !Fits(inUse, first, 4))
    return RC_CORRUPT_RECORD;
  uint32_t cursor = 0;
  NtfsAttr a;
  int seen = 0;
  int rc;
  while ((rc = NextAttribute(record, &cursor, &a)) == 1) {
    if (!IsKnownType(a.type)) return RC_CORRUPT_RECORD;
    if (seen == 0) {
      if (a.type != NTFS_AT_STANDARD_INFORMATION || a.nonResident || a.valueLength < 48)
        return RC_CORRUPT_RECORD;
      if (!IsCalendarDate(Le64(record + a.valueOffset))) return RC_CORRUPT_RECORD;
    }
    ++seen;
  }
  if (rc != 0 || seen < 2) return RC_CORRUPT_RECORD;
  return RC_OK;
}

int CNTFS::GetFileName(const uint8_t* record, std::u16string& name, uint64_t* parent,
                       bool* isDirectory, uint64_t* dataSize, uint16_t* parentSequence) const {
  if (!record || !parent) return RC_BAD_ARGUMENT;
  if (ValidateRecord(record) != RC_OK) return RC_CORRUPT_RECORD;
  if (isDirectory) *isDirectory = (Le16(record + 22) & NTFS_RECORD_DIRECTORY) != 0;
  if (dataSize) *dataSize = 0;
  bool haveSize = false;
  int bestRank = 0;
  if (PickFileName(record, name, parent, parentSequence, &bestRank) != RC_OK)
    return RC_CORRUPT_RECORD;
  uint32_t cursor = 0;
  NtfsAttr a;
  int rc;
  while ((rc = NextAttribute(record, &cursor, &a)) == 1) {
    if (a.type == NTFS_AT_DATA && a.nameLength == 0 && !haveSize) {
      // The data size is only valid in the extent that starts at VCN 0.
      if (a.nonResident && a.lowestVcn != 0) continue;
      haveSize = true;
      if (dataSize) *dataSize = a.nonResident ? a.dataSize : a.valueLength;
    }
  }
  if (rc != 0 || bestRank == 0) return RC_CORRUPT_RECORD;
  return RC_OK;
}

int CNTFS::PickFileName(const uint8_t* record, std::u16string& name, uint64_t* parent,
                        uint16_t* parentSequence, int* bestRank) const {
  if (!record || !parent || !bestRank) return RC_BAD_ARGUMENT;
  uint32_t cursor = 0;
  NtfsAttr a;
  int rc;
  while ((rc = NextAttribute(record, &cursor, &a)) == 1) {
    if (a.type != NTFS_AT_FILE_NAME || a.nonResident || a.valueLength < 66) continue;
    const uint8_t* v = record + a.valueOffset;
    uint8_t n = v[64];
    if (n == 0 || 66 + size_t(n) * 2 > a.valueLength) continue;
    int rank = NamespaceRank(v[65]);
    if (rank <= *bestRank) continue;
    *bestRank = rank;
    name.assign(n, u'\0');
    for (uint8_t i = 0; i < n; ++i) name[i] = char16_t(Le16(v + 66 + 2 * i));
    *parent = Le64(v) & 0xFFFFFFFFFFFFull;
    if (parentSequence) *parentSequence = uint16_t(Le64(v) >> 48);
  }
  return rc == 0 ? RC_OK : RC_CORRUPT_RECORD;
}

int CNTFS::GetStandardTimes(const uint8_t* record, uint64_t* creation, uint64_t* lastAccess,
                            uint64_t* modification, uint32_t* attributes) const {
  if (!record) return RC_BAD_ARGUMENT;
  uint32_t cursor = 0;
  NtfsAttr a;
  if (NextAttribute(record, &cursor, &a) != 1 || a.type != NTFS_AT_STANDARD_INFORMATION ||
      a.nonResident || a.valueLength < 36)
    return RC_CORRUPT_RECORD;
  const uint8_t* v = record + a.valueOffset;
  if (creation) *creation = Le64(v);
  if (modification) *modification = Le64(v + 8);
  if (lastAccess) *lastAccess = Le64(v + 24);
  if (attributes) *attributes = Le32(v + 32);
  return RC_OK;
}

int CNTFS::DecodeRunEntry(const uint8_t* entry, size_t avail, uint8_t* entrySize,
                          int64_t* lcnDelta, uint64_t* clusterCount, bool* sparse) {
  if (!entry || !entrySize || !lcnDelta || !clusterCount || !sparse) return RC_BAD_ARGUMENT;
  if (avail == 0) return RC_CORRUPT_RECORD;
  uint8_t h = entry[0];
  if (h == 0) return RC_MISSING;
  unsigned lenSize = h & 0x0F;
  unsigned offSize = h >> 4;
  if (lenSize == 0 || lenSize > 8 || offSize > 8) return RC_CORRUPT_RECORD;
  size_t size = 1 + lenSize + offSize;
  if (size > avail) return RC_CORRUPT_RECORD;
  uint64_t count = 0;
  for (unsigned i = 0; i < lenSize; ++i) count |= uint64_t(entry[1 + i]) << (8 * i);
  if (count == 0 || count > uint64_t(INT64_MAX)) return RC_CORRUPT_RECORD;
  uint64_t delta = 0;
  for (unsigned i = 0; i < offSize; ++i) delta |= uint64_t(entry[1 + lenSize + i]) << (8 * i);
  if (offSize > 0 && offSize < 8 && (entry[lenSize + offSize] & 0x80))
    delta |= ~uint64_t(0) << (8 * offSize);  // sign-extend
  *entrySize = uint8_t(size);
  *clusterCount = count;
  *lcnDelta = int64_t(delta);
  *sparse = offSize == 0;
  return RC_OK;
}

int CNTFS::DecodeMappingPairs(const uint8_t* pairs, size_t length,
                              std::vector<NtfsRun>* out) const {
  if (!pairs || !out) return RC_BAD_ARGUMENT;
  out->clear();
  int64_t lcn = 0;
  uint64_t vcns = 0;
  size_t pos = 0;
  while (pos < length) {
    uint8_t size;
    int64_t delta;
    uint64_t count;
    bool sparse;
    int rc = DecodeRunEntry(pairs + pos, length - pos, &size, &delta, &count, &sparse);
    if (rc == RC_MISSING) break;
    if (rc != RC_OK) return rc;
    pos += size;
    if (count > uint64_t(INT64_MAX) - vcns) return RC_CORRUPT_RECORD;
    vcns += count;
    if (sparse) {
      out->push_back({-1, count});
      continue;
    }
    if ((delta > 0 && lcn > INT64_MAX - delta) || (delta < 0 && lcn < INT64_MIN - delta))
      return RC_CORRUPT_RECORD;
    lcn += delta;
    if (lcn < 0) return RC_CORRUPT_RECORD;
    if (m_totalClusters && !kbytes::RangeInside(uint64_t(lcn), count, m_totalClusters))
      return RC_CORRUPT_RECORD;
    out->push_back({lcn, count});
  }
  return RC_OK;
}

uint64_t CNTFS::ClusterToSector(uint64_t lcn) const {
  if (m_sectorsPerCluster && lcn > (UINT64_MAX - m_baseSector) / m_sectorsPerCluster)
    return NTFS_NO_SECTOR;
  return lcn * m_sectorsPerCluster + m_baseSector;
}

uint64_t CNTFS::RecordToSector(const MftRun* runs, uint64_t record) const {
  uint64_t perRecord = SectorsPerRecord();
  size_t guard = 0;
  for (const MftRun* r = runs; r && guard < (1u << 24); r = r->next, ++guard) {
    if (record >= r->firstRecord && record <= r->lastRecord) {
      uint64_t rel = record - r->firstRecord;
      if (perRecord && rel > (UINT64_MAX - r->startSector) / perRecord) return NTFS_NO_SECTOR;
      return r->startSector + rel * perRecord;
    }
  }
  return NTFS_NO_SECTOR;
}

int CNTFS::ReadVolumeSectors(uint64_t lba, uint32_t count, uint8_t* buffer) {
  if (!buffer || !m_device || !m_bytesPerSector) return RC_BAD_ARGUMENT;
  if (lba > uint64_t(INT64_MAX) / m_bytesPerSector) return RC_BAD_ARGUMENT;
  uint64_t bytes = uint64_t(count) * m_bytesPerSector;
  if (bytes > 0x7FFFFFFFu) return RC_BAD_ARGUMENT;
  int64_t pos = int64_t(lba * m_bytesPerSector);
  if (m_device->Seek(pos, 0) != pos) return RC_BAD_ARGUMENT;
  int got = m_device->Read(buffer, uint32_t(bytes));
  return got >= 0 && uint64_t(got) == bytes ? RC_OK : RC_BAD_ARGUMENT;
}

int CNTFS::FreeMftRuns(MftRun* head) {
  if (!head) return RC_BAD_ARGUMENT;
  while (head) {
    MftRun* next = head->next;
    delete head;
    head = next;
  }
  return RC_OK;
}

int CNTFS::EstimateSectorsPerCluster(const uint8_t* record, uint32_t* sectorsPerCluster,
                                     uint64_t* firstLcn) const {
  if (!record || !sectorsPerCluster) return RC_BAD_ARGUMENT;
  uint32_t cursor = 0;
  NtfsAttr a;
  int rc;
  bool found = false;
  while ((rc = NextAttribute(record, &cursor, &a)) == 1)
    if (a.type == NTFS_AT_DATA) {
      found = true;
      break;
    }
  if (!found || !a.nonResident || a.lowestVcn != 0) return RC_MISSING;
  std::vector<NtfsRun> runs;
  if (DecodeMappingPairs(record + a.pairsOffset, a.pairsLength, &runs) != RC_OK) return RC_MISSING;
  uint64_t clusters = 0;
  bool haveLcn = false;
  for (const NtfsRun& r : runs) {
    clusters += r.clusters;  // holes occupy VCNs too
    if (r.lcn >= 0 && !haveLcn && firstLcn && *firstLcn == 0) {
      *firstLcn = uint64_t(r.lcn);
      haveLcn = true;
    }
  }
  if (clusters == 0 || m_bytesPerSector == 0) return RC_MISSING;
  if (a.allocatedSize % clusters) return RC_MISSING;
  uint64_t clusterBytes = a.allocatedSize / clusters;
  if (clusterBytes % m_bytesPerSector) return RC_MISSING;
  uint64_t spc = clusterBytes / m_bytesPerSector;
  if (!kbytes::IsPowerOfTwo(spc) || spc > 4096) return RC_MISSING;
  *sectorsPerCluster = uint32_t(spc);
  return RC_OK;
}
