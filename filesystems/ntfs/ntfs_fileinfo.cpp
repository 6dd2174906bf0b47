// From a decoded record to the results model: run lists (holes kept), resident and
// encrypted data, and the file record that the results tree takes.
#include <cstring>
#include <new>
#include <vector>

#include "common/inc/bytes.h"
#include "common/inc/kestrum_types.h"
#include "filemanager/fileinfo.h"
#include "common/timeconv.h"
#include "filesystems/ntfs/ntfs.h"

bool CNTFS::AppendRun(RunList** head, RunList** tail, const NtfsRun& run) const {
  if (!m_sectorsPerCluster) return false;
  // Each node's count is 32 bits: long extents are split on cluster boundaries.
  const uint64_t maxClusters = 0xFFFFFFFFull / m_sectorsPerCluster;
  uint64_t left = run.clusters;
  uint64_t lcn = run.lcn < 0 ? 0 : uint64_t(run.lcn);
  while (left) {
    uint64_t take = left < maxClusters ? left : maxClusters;
    uint64_t start = RUN_HOLE;
    if (run.lcn >= 0) {
      start = ClusterToSector(lcn);
      if (start == NTFS_NO_SECTOR) return false;
      lcn += take;
    }
    uint32_t count = uint32_t(take * m_sectorsPerCluster);
    if (!*head) {
      *head = new (std::nothrow) RunList(start, count);
      *tail = *head;
    } else {
      *tail = (*tail)->Append(start, count);
    }
    if (!*tail) return false;
    left -= take;
  }
  return true;
}

int CNTFS::DecodeRunList(const uint8_t* pairs, uint32_t limit, RunList** out) const {
  if (!pairs || !out) return RC_BAD_ARGUMENT;
  *out = nullptr;
  std::vector<NtfsRun> runs;
  int rc = DecodeMappingPairs(pairs, limit, &runs);
  if (rc != RC_OK) return rc;
  return BuildRunList(runs, out);
}

int CNTFS::BuildRunList(const std::vector<NtfsRun>& runs, RunList** out) const {
  if (!out) return RC_BAD_ARGUMENT;
  *out = nullptr;
  RunList* head = nullptr;
  RunList* tail = nullptr;
  for (const NtfsRun& r : runs) {
    if (!AppendRun(&head, &tail, r)) {
      if (head) head->Release();
      return RC_NO_MEMORY;
    }
  }
  if (!head) return RC_MISSING;
  *out = head;
  return RC_OK;
}

int CNTFS::BuildDataRuns(const uint8_t* record, IFileInfo* file, uint32_t attributeType) {
  if (!record || !file) return RC_BAD_ARGUMENT;
  NtfsAttr a;
  int rc = FindUnnamed(record, attributeType, &a);
  if (rc != RC_OK) return rc == RC_MISSING ? RC_MISSING : RC_CORRUPT_RECORD;
  if (!a.nonResident) {
    if (a.valueLength == 0) return RC_EMPTY_RESIDENT;
    // A value fills at most its record: 1 KiB, or 4 KiB on a 4Kn disk.
    if (a.valueLength >= m_recordBytes) return RC_CORRUPT_RECORD;
    CPermanentRunList* res = new (std::nothrow) CPermanentRunList();
    if (!res) return RC_NO_MEMORY;
    if (res->SetData(record + a.valueOffset, int(a.valueLength)) != 0) {
      res->Release();
      return RC_NO_MEMORY;
    }
    file->AddFlags(FF_RESIDENT);
    file->SetSize(int64_t(a.valueLength));
    file->SetRunList(res);
    return RC_OK;
  }
  if (a.flags & NTFS_ATTR_ENCRYPTED) return BuildEncryptedRuns(record, file);
  if (a.flags & NTFS_ATTR_COMPRESSED) file->AddFlags(FF_COMPRESSED);
  // Later extents of an attribute list are not in this record: only VCN 0 starts a file.
  if (a.lowestVcn != 0) return RC_CORRUPT_RECORD;
  RunList* runs = nullptr;
  rc = DecodeRunList(record + a.pairsOffset, a.pairsLength, &runs);
  if (rc == RC_NO_MEMORY) return rc;
  if (rc != RC_OK && rc != RC_MISSING) return RC_CORRUPT_RECORD;
  file->SetRunList(runs ? static_cast<IRunList*>(runs) : new (std::nothrow) RunList());
  return RC_OK;
}

int CNTFS::BuildEncryptedRuns(const uint8_t* record, IFileInfo* file) {
  if (!record || !file) return RC_BAD_ARGUMENT;
  file->AddFlags(FF_ENCRYPTED);
  CEncRunList* enc = new (std::nothrow) CEncRunList();
  if (!enc) return RC_NO_MEMORY;
  uint32_t cursor = 0;
  NtfsAttr a;
  int rc;
  while ((rc = NextAttribute(record, &cursor, &a)) == 1) {
    bool isData = a.type == NTFS_AT_DATA && a.nameLength == 0;
    bool isLogged = a.type == NTFS_AT_LOGGED_UTILITY_STREAM;
    if (!isData && !isLogged) continue;
    StreamDesc** slot = isLogged ? &enc->m_first : &enc->m_second;
    if (*slot) continue;
    StreamDesc* s = new (std::nothrow) StreamDesc();
    if (!s) {
      enc->Release();
      return RC_NO_MEMORY;
    }
    *s = StreamDesc{0, 0, nullptr, 0, nullptr};
    *slot = s;
    if (a.nameLength) {
      s->name = new (std::nothrow) char16_t[a.nameLength + 1];
      if (s->name) {
        // The walk checked that the name lies inside the attribute.
        kbytes::ByteView attr(record + a.offset, a.length);
        for (unsigned i = 0; i < a.nameLength; ++i) {
          uint16_t u = 0;
          attr.Le16(a.nameOffset + 2 * i, &u);
          s->name[i] = char16_t(u);
        }
        s->name[a.nameLength] = 0;
      }
    }
    if (a.nonResident) {
      RunList* runs = nullptr;
      if (DecodeRunList(record + a.pairsOffset, a.pairsLength, &runs) != RC_OK) {
        // Half the streams would export an EFS file that cannot be decrypted: the file
        // keeps no run list at all, which tells its callers there is nothing to read.
        enc->Release();
        return RC_OK;
      }
      s->runs = runs;
      s->dataSize = a.dataSize;
      s->allocSize = a.allocatedSize;
    } else {
      if (a.valueLength == 0 || a.valueLength >= m_recordBytes) {
        enc->Release();
        return a.valueLength == 0 ? RC_EMPTY_RESIDENT : RC_CORRUPT_RECORD;
      }
      CPermanentRunList* res = new (std::nothrow) CPermanentRunList();
      if (!res || res->SetData(record + a.valueOffset, int(a.valueLength)) != 0) {
        if (res) res->Release();
        enc->Release();
        return RC_NO_MEMORY;
      }
      s->runs = res;
      s->resident = 1;
      s->dataSize = a.valueLength;
      if (isData) {
        file->AddFlags(FF_RESIDENT);
        file->SetSize(int64_t(a.valueLength));
      }
    }
  }
  file->SetRunList(enc);
  return RC_OK;
}

int CNTFS::CreateFileInfo(const uint8_t* record, IFileInfo** out, const char16_t* name,
                          uint64_t size) {
  if (!record || !out) return RC_BAD_ARGUMENT;
  *out = nullptr;
  std::u16string found;
  if (!name) {
    uint64_t parent = 0;
    if (GetFileName(record, found, &parent, nullptr, &size) != RC_OK) return RC_CORRUPT_RECORD;
    name = found.c_str();
  }
  if (!name[0]) return RC_CORRUPT_RECORD;
  if (size > uint64_t(INT64_MAX)) return RC_CORRUPT_RECORD;
  CFileInfo* file = new (std::nothrow) CFileInfo();
  if (!file) return RC_NO_MEMORY;
  file->SetName(name);
  uint64_t created = 0, modified = 0;
  if (GetStandardTimes(record, &created, nullptr, &modified, nullptr) != RC_OK) {
    file->Release();
    return RC_CORRUPT_RECORD;
  }
  layout::NtfsFileRecordHeader h;
  if (ReadRecordHeader(record, &h) && (h.flags & NTFS_RECORD_DIRECTORY)) {
    file->AddFlags(FF_DIRECTORY);
  } else {
    int rc = BuildDataRuns(record, file, NTFS_AT_DATA);
    if (rc != RC_OK) {
      file->Release();
      return rc == RC_NO_MEMORY ? rc : RC_CORRUPT_RECORD;
    }
  }
  if (file->GetSize() == 0) file->SetSize(int64_t(size));
  file->SetTimes(uint64_t(FileTimeToTime(uint32_t(created), uint32_t(created >> 32))),
                 uint64_t(FileTimeToTime(uint32_t(modified), uint32_t(modified >> 32))));
  *out = file;
  return RC_OK;
}

int CNTFS::SumRunSectors(const RunList* head, uint64_t* total) {
  if (!head || !total) return RC_BAD_ARGUMENT;
  *total = head->GetTotalCount();
  return RC_OK;
}

bool CNTFS::IsDataPlausible(IFileInfo* file) const {
  if (!file) return false;
  IRunList* runs = file->GetRunList();
  if (!runs) return false;
  if (runs->IsResident()) return true;
  if (!m_clusterBytes) return false;
  uint64_t sectors = (file->GetFlags() & FF_ENCRYPTED)
                         ? static_cast<CEncRunList*>(runs)->GetDataSectorCount()
                         : static_cast<RunList*>(runs)->GetTotalCount();
  uint64_t size = file->GetSize();
  if (size == 0) return false;
  if (sectors > UINT64_MAX / m_bytesPerSector) return false;
  uint64_t bytes = sectors * m_bytesPerSector;
  // Runs covering more than two clusters beyond the size belong to another file's reuse.
  uint64_t runClusters = bytes / m_clusterBytes;
  uint64_t sizeClusters = size / m_clusterBytes;
  // A compressed file's runs always cover whole 16-cluster compression units, the one that
  // holds its last byte included: a size a few bytes past a unit's end takes a whole unit.
  if (file->GetFlags() & FF_COMPRESSED) {
    const uint64_t unitBytes = uint64_t(m_clusterBytes) * 16;
    sizeClusters = (size / unitBytes + (size % unitBytes != 0)) * 16;
  }
  return runClusters <= sizeClusters || runClusters - sizeClusters <= 2;
}
