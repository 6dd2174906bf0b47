// Record-level NTFS decoding: geometry, fixup, attribute walk, names, dates, mapping pairs.
#include "filesystems/ntfs/ntfs.h"

#include <cstring>

#include "common/inc/bytes.h"
#include "common/inc/istoragedevice.h"
#include "common/inc/kestrum_types.h"
#include "common/layout/ntfs_attribute.h"
#include "common/layout/ntfs_boot.h"
#include "common/layout/ntfs_file_name.h"
#include "common/layout/ntfs_fixup.h"
#include "common/timeconv.h"

using kbytes::Fits;

namespace {

bool IsKnownType(uint32_t t) {
  return (t >= 0x10 && t <= 0x100 && (t & 0xF) == 0) || t == 0x1000;
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

bool CNTFS::ReadRecordHeader(const uint8_t* record, layout::NtfsFileRecordHeader* header) const {
  return record && header && layout::ReadNtfsFileRecordHeader(record, m_recordBytes, header);
}

int CNTFS::ApplyFixup(uint8_t* record) const { return ApplyBlockFixup(record, m_recordBytes); }

int CNTFS::ApplyBlockFixup(uint8_t* block, uint32_t size) {
  if (!block) return RC_BAD_ARGUMENT;
  return layout::NtfsApplyFixup(block, size) ? RC_OK : RC_CORRUPT_RECORD;
}

int CNTFS::NextAttribute(const uint8_t* record, uint32_t* cursor, NtfsAttr* a) const {
  if (!record || !cursor || !a) return RC_BAD_ARGUMENT;
  uint16_t first = 0;
  size_t end = 0;
  if (!layout::ReadNtfsAttributeBounds(record, m_recordBytes, &first, &end)) return RC_CORRUPT_RECORD;
  uint32_t limit = uint32_t(end);
  uint32_t off = *cursor ? *cursor : first;
  if (off > limit) return RC_CORRUPT_RECORD;
  layout::NtfsAttributeHeader at;
  if (!layout::DecodeNtfsAttributeHeader(record + off, limit - off, &at)) return RC_CORRUPT_RECORD;
  if (at.isEnd) return 0;
  a->offset = off;
  a->type = at.type;
  a->length = at.length;
  a->nonResident = at.nonResident;
  a->nameLength = at.nameLength;
  a->nameOffset = at.nameOffset;
  a->flags = at.flags;
  a->valueOffset = a->valueLength = 0;
  a->lowestVcn = a->allocatedSize = a->dataSize = 0;
  a->pairsOffset = a->pairsLength = 0;
  if (!a->nonResident) {
    a->valueOffset = off + at.valueOffset;
    a->valueLength = at.valueLength;
  } else {
    a->lowestVcn = at.lowestVcn;
    a->pairsOffset = off + at.mappingPairsOffset;
    a->pairsLength = at.length - at.mappingPairsOffset;
    a->allocatedSize = at.allocatedSize;
    a->dataSize = at.dataSize;
  }
  *cursor = off + at.length;
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
  layout::NtfsFileRecordHeader h;
  if (!ReadRecordHeader(record, &h) || !h.isFile) return RC_CORRUPT_RECORD;
  if (h.bytesAllocated != m_recordBytes) return RC_CORRUPT_RECORD;
  if (h.usaCount != layout::NtfsUpdateSequenceCount(m_recordBytes)) return RC_CORRUPT_RECORD;
  uint32_t first = h.firstAttributeOffset;
  if (first < uint32_t(h.usaOffset) + 2u * h.usaCount || (first & 7) ||
      !Fits(layout::NtfsAttributesEnd(h, m_recordBytes), first, 4))
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
      uint64_t created = 0;
      if (!kbytes::ReadLe64(record, m_recordBytes, a.valueOffset, &created) || !IsCalendarDate(created))
        return RC_CORRUPT_RECORD;
    }
    ++seen;
  }
  if (rc != 0 || seen < 2) return RC_CORRUPT_RECORD;
  return RC_OK;
}

int CNTFS::GetFileName(const uint8_t* record, std::u16string& name, uint64_t* parent,
                       bool* isDirectory, uint64_t* dataSize, uint16_t* parentSequence) const {
  return FileNameOf(record, nullptr, name, parent, isDirectory, dataSize, parentSequence);
}

int CNTFS::FileNameOf(const uint8_t* record,
                      const std::function<void(std::u16string&, uint64_t*, uint16_t*, int*)>& moreNames,
                      std::u16string& name, uint64_t* parent, bool* isDirectory, uint64_t* dataSize,
                      uint16_t* parentSequence) const {
  if (!record || !parent) return RC_BAD_ARGUMENT;
  if (ValidateRecord(record) != RC_OK) return RC_CORRUPT_RECORD;
  layout::NtfsFileRecordHeader h;
  ReadRecordHeader(record, &h);
  if (isDirectory) *isDirectory = (h.flags & NTFS_RECORD_DIRECTORY) != 0;
  if (dataSize) *dataSize = 0;
  bool haveSize = false;
  int bestRank = 0;
  if (PickFileName(record, name, parent, parentSequence, &bestRank) != RC_OK)
    return RC_CORRUPT_RECORD;
  if (moreNames) moreNames(name, parent, parentSequence, &bestRank);
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
    if (a.type != NTFS_AT_FILE_NAME || a.nonResident) continue;
    layout::NtfsFileName fn;
    if (!layout::DecodeNtfsFileName(record + a.valueOffset, a.valueLength, &fn) || fn.name.empty())
      continue;
    int rank = NamespaceRank(fn.nameSpace);
    if (rank <= *bestRank) continue;
    *bestRank = rank;
    name = std::move(fn.name);
    *parent = fn.parentRecord;
    if (parentSequence) *parentSequence = fn.parentSequence;
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
  // Creation, modification, MFT change and access times, then the file attributes.
  kbytes::ByteView v(record + a.valueOffset, a.valueLength);
  uint64_t created = 0, modified = 0, accessed = 0;
  uint32_t attrs = 0;
  if (!v.Le64(0, &created) || !v.Le64(8, &modified) || !v.Le64(24, &accessed) || !v.Le32(32, &attrs))
    return RC_CORRUPT_RECORD;
  if (creation) *creation = created;
  if (modification) *modification = modified;
  if (lastAccess) *lastAccess = accessed;
  if (attributes) *attributes = attrs;
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
