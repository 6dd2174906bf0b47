// Deleted files of an intact NTFS volume, found by reading every FILE record of the $MFT.
#include "filesystems/ntfs/ntfsdel.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <set>

#include "common/crashdump.h"
#include "common/inc/bytes.h"
#include "common/inc/ifilemanager.h"
#include "common/inc/inotifysink.h"
#include "common/inc/kestrum_types.h"
#include "common/inc/seams.h"
#include "common/layout/ntfs_boot.h"
#include "filemanager/fileinfo.h"
#include "common/timeconv.h"
#include "graphfs/graphfs.h"
#include "rawrecovery/devicebitmap.h"

namespace {

const uint32_t kBatchBytes = 1024 * 1024;  // 1024 records of 1 KiB per device read
// Files leave the graph once more than 2000 records wait; a stop answer of the results
// tree ends the scan, and what was found is still handed out.
const GFS::FeedRules kFeedRules = {2000, GFS::kAnswerEndsScan, true, RC_FAIL};
const uint32_t kReadChunk = 4 * 1024 * 1024;
const uint64_t kRefMask = layout::kNtfsReferenceRecordMask;
const uint32_t NTFS_AT_ATTRIBUTE_LIST = 0x20;
// A larger $MFT (two TiB of records) is taken for a corrupt one.
const uint64_t kMaxRecords = 0x7FFFFFFFull;

}  // namespace

CNtfsDel::CNtfsDel(IStorageDevice* device)
    : m_initialised(false),
      m_initResult(0),
      m_sink(nullptr),
      m_highestRecord(0),
      m_shownPercent(0),
      m_bytesPerSector(0),
      m_clusterBytes(0),
      m_sectorsPerCluster(0),
      m_recordBytes(0),
      m_mftRuns(nullptr),
      m_totalSectors(0),
      m_device(device),
      m_ntfs(new (std::nothrow) CNTFS(device)),
      m_feeder(kFeedRules),
      m_readFaults(0) {
  std::memset(m_boot, 0, sizeof m_boot);
}

CNtfsDel::~CNtfsDel() {
  if (m_mftRuns) CNTFS::FreeMftRuns(m_mftRuns);
  delete m_ntfs;
}

void CNtfsDel::Release() { delete this; }

int CNtfsDel::GetDataStartSector(uint64_t* out) {
  if (!out) return RC_BAD_ARGUMENT;
  *out = 0;  // NTFS clusters count from the start of the volume
  return RC_OK;
}

int CNtfsDel::InitVolume() {
  if (m_initialised) return m_initResult;
  if (!m_device || !m_ntfs) return RC_MISSING;
  int clusterBytes = 0, sectorBytes = 0;
  if (m_device->GetClusterInfo(&clusterBytes, &sectorBytes) != 0 || sectorBytes < 512 ||
      !kbytes::IsPowerOfTwo(uint64_t(sectorBytes)) || sectorBytes > 4096)
    return RC_MISSING;
  std::vector<uint8_t> first(size_t(sectorBytes), 0);
  if (m_device->Seek(0, 0) != 0 || m_device->Read(first.data(), uint32_t(sectorBytes)) != sectorBytes)
    return RC_MISSING;
  m_initialised = true;
  std::memcpy(m_boot, first.data(), sizeof m_boot);
  NtfsBootInfo boot;
  m_initResult = ParseNtfsBootSector(m_boot, sizeof m_boot, &boot);
  if (m_initResult != RC_OK) return m_initResult;
  // Everything below counts in device sectors; records and clusters must be whole ones.
  if (m_ntfs->SetVolumeInfo(u"Volume/", uint32_t(sectorBytes), 1) != RC_OK ||
      m_ntfs->SetBootInfo(boot, uint32_t(sectorBytes)) != RC_OK)
    return m_initResult = RC_WRONG_FS;
  m_bytesPerSector = uint32_t(sectorBytes);
  m_clusterBytes = boot.clusterBytes;
  m_sectorsPerCluster = m_ntfs->SectorsPerCluster();
  m_recordBytes = boot.recordBytes;
  if (boot.totalSectors > UINT64_MAX / boot.bytesPerSector) return m_initResult = RC_WRONG_FS;
  m_totalSectors = boot.totalSectors * boot.bytesPerSector / m_bytesPerSector;
  // A boot sector whose $MFT cluster does not hold record 0 is no boot sector of this
  // volume; any other failure leaves the $MFT unusable.
  int rc = LoadMftRunList();
  m_initResult = rc == RC_OK || rc == RC_WRONG_FS ? rc : RC_MFT_UNREADABLE;
  return m_initResult;
}

int CNtfsDel::ReadRecord(uint64_t n, uint8_t* buf) {
  uint64_t sector = m_ntfs->RecordToSector(m_mftRuns, n);
  if (sector == NTFS_NO_SECTOR) return RC_MISSING;
  if (m_ntfs->ReadVolumeSectors(sector, m_ntfs->SectorsPerRecord(), buf) != RC_OK)
    return RC_READ_FAILED;
  return m_ntfs->ApplyFixup(buf);
}

int CNtfsDel::ReadRunBytes(const RunList* runs, uint64_t size, uint8_t* out) {
  uint64_t done = 0;
  size_t guard = 0;
  for (const RunList* r = runs; r && done < size && guard < (1u << 24); r = r->m_next, ++guard) {
    uint64_t take = std::min<uint64_t>(uint64_t(r->m_count) * m_bytesPerSector, size - done);
    if (r->m_start == RUN_HOLE) {
      std::memset(out + done, 0, size_t(take));
      done += take;
      continue;
    }
    if (r->m_start > uint64_t(INT64_MAX) / m_bytesPerSector) return RC_READ_FAILED;
    int64_t pos = int64_t(r->m_start * m_bytesPerSector);
    if (m_device->Seek(pos, 0) != pos) return RC_READ_FAILED;
    uint64_t left = take;
    while (left) {
      uint32_t chunk = uint32_t(std::min<uint64_t>(left, kReadChunk));
      int got = m_device->Read(out + done, chunk);
      if (got < 0 || uint32_t(got) != chunk) return RC_READ_FAILED;
      done += chunk;
      left -= chunk;
    }
  }
  return done == size ? RC_OK : RC_READ_FAILED;
}

bool CNtfsDel::HasAttributeList(const uint8_t* record) const {
  uint32_t cursor = 0;
  NtfsAttr a;
  while (m_ntfs->NextAttribute(record, &cursor, &a) == 1)
    if (a.type == NTFS_AT_ATTRIBUTE_LIST) return true;
  return false;
}

namespace {

struct Extent {
  uint64_t vcn;
  std::vector<NtfsRun> runs;
};

}  // namespace

// The other records that the attribute list of base record n names for unnamed attributes
// of that type.
static std::set<uint64_t> ListedRecords(CNTFS* ntfs, const uint8_t* base, uint64_t n, uint32_t wanted,
                                        const CNTFS::RunReader& readRuns) {
  std::set<uint64_t> refs;
  std::vector<layout::NtfsAttributeListEntry> entries;
  ntfs->ReadAttributeList(base, readRuns, &entries);
  for (const layout::NtfsAttributeListEntry& e : entries) {
    if (e.type == wanted && e.nameLength == 0 && e.record != n) refs.insert(e.record);
    if (refs.size() > NTFS_MAX_LISTED_RECORDS) break;
  }
  return refs;
}

// Gathers the unnamed $DATA extents of record n from the record itself and from the records
// its attribute list names, in VCN order; stops at the first gap so that a reused extension
// record never splices someone else's clusters into the file.
static bool GatherExtents(CNTFS* ntfs, const uint8_t* base, uint64_t n,
                          const std::function<int(uint64_t, uint8_t*)>& readRecord,
                          const CNTFS::RunReader& readRuns, std::vector<NtfsRun>* out, uint64_t* dataSize, uint16_t* flags) {
  std::vector<Extent> extents;
  bool haveFirst = false;
  auto take = [&](const uint8_t* rec) {
    uint32_t cursor = 0;
    NtfsAttr a;
    while (ntfs->NextAttribute(rec, &cursor, &a) == 1) {
      if (a.type != NTFS_AT_DATA || a.nameLength || !a.nonResident) continue;
      Extent e;
      e.vcn = a.lowestVcn;
      if (ntfs->DecodeMappingPairs(rec + a.pairsOffset, a.pairsLength, &e.runs) != RC_OK) continue;
      if (a.lowestVcn == 0 && !haveFirst) {
        haveFirst = true;
        *dataSize = a.dataSize;
        *flags = a.flags;
      }
      extents.push_back(std::move(e));
    }
  };
  take(base);

  std::vector<uint8_t> rec(ntfs->RecordBytes());
  for (uint64_t ref : ListedRecords(ntfs, base, n, NTFS_AT_DATA, readRuns)) {
    layout::NtfsFileRecordHeader h;
    if (readRecord(ref, rec.data()) != RC_OK || !ntfs->ReadRecordHeader(rec.data(), &h) || !h.isFile)
      continue;
    if ((h.baseRecord & kRefMask) != n) continue;  // reused by another file since
    take(rec.data());
  }
  if (!haveFirst) return false;
  std::sort(extents.begin(), extents.end(),
            [](const Extent& a, const Extent& b) { return a.vcn < b.vcn; });
  uint64_t expected = 0;
  out->clear();
  for (const Extent& e : extents) {
    if (e.vcn != expected) break;
    for (const NtfsRun& r : e.runs) {
      if (r.clusters > UINT64_MAX - expected) return !out->empty();
      expected += r.clusters;
      out->push_back(r);
    }
  }
  return !out->empty();
}

int CNtfsDel::LoadMftRunList() {
  uint32_t spr = m_ntfs->SectorsPerRecord();
  std::vector<uint8_t> rec(m_recordBytes);
  layout::NtfsBootSector boot;
  if (!layout::DecodeNtfsBootSector(m_boot, sizeof m_boot, &boot)) return RC_WRONG_FS;
  uint64_t mftSector = m_ntfs->ClusterToSector(boot.mftLcn);
  // A $MFT cluster past the volume, or one that holds another record than record 0, is a
  // boot value that does not describe this volume: nothing is read through it.
  if (mftSector != NTFS_NO_SECTOR && m_totalSectors && mftSector >= m_totalSectors) return RC_WRONG_FS;
  if (mftSector == NTFS_NO_SECTOR || m_ntfs->ReadVolumeSectors(mftSector, spr, rec.data()) != RC_OK)
    return RC_READ_FAILED;
  // Records of NTFS 3.1 carry their own number, behind which their update sequence starts.
  layout::NtfsFileRecordHeader first;
  if (m_ntfs->ReadRecordHeader(rec.data(), &first) && first.isFile && first.hasRecordNumber &&
      first.recordNumber != 0)
    return RC_WRONG_FS;
  if (m_ntfs->ApplyFixup(rec.data()) != RC_OK || m_ntfs->ValidateRecord(rec.data()) != RC_OK)
    return RC_MFT_UNREADABLE;
  NtfsAttr data, bitmap;
  if (m_ntfs->FindUnnamed(rec.data(), NTFS_AT_DATA, &data) != RC_OK || !data.nonResident ||
      data.lowestVcn != 0 || m_ntfs->FindUnnamed(rec.data(), NTFS_AT_BITMAP, &bitmap) != RC_OK)
    return RC_MFT_UNREADABLE;
  std::vector<NtfsRun> runs;
  if (m_ntfs->DecodeMappingPairs(rec.data() + data.pairsOffset, data.pairsLength, &runs) != RC_OK)
    return RC_MFT_UNREADABLE;
  uint64_t mftBytes = data.dataSize;

  auto build = [&](const std::vector<NtfsRun>& from) -> bool {
    if (m_mftRuns) CNTFS::FreeMftRuns(m_mftRuns);
    m_mftRuns = nullptr;
    MftRun* tail = nullptr;
    uint64_t vcnBytes = 0;
    uint64_t limit = std::min<uint64_t>(mftBytes / m_recordBytes, kMaxRecords);
    for (const NtfsRun& r : from) {
      if (r.clusters > UINT64_MAX / m_clusterBytes) return false;
      uint64_t runBytes = r.clusters * m_clusterBytes;
      if (runBytes > UINT64_MAX - vcnBytes) return false;
      uint64_t first = (vcnBytes + m_recordBytes - 1) / m_recordBytes;
      uint64_t end = std::min<uint64_t>((vcnBytes + runBytes) / m_recordBytes, limit);
      // A run shorter than one record (or one that only finishes a record begun in the run
      // before) holds no whole record of its own.
      if (r.lcn >= 0 && end > first) {
        uint64_t start = m_ntfs->ClusterToSector(uint64_t(r.lcn));
        if (start == NTFS_NO_SECTOR) return false;
        start += (first * m_recordBytes - vcnBytes) / m_bytesPerSector;
        MftRun* node = new (std::nothrow) MftRun{start, first, end - 1, nullptr};
        if (!node) return false;
        if (tail) tail->next = node; else m_mftRuns = node;
        tail = node;
        m_highestRecord = end - 1;
      }
      vcnBytes += runBytes;
    }
    return m_mftRuns != nullptr;
  };
  if (!build(runs)) return RC_MFT_UNREADABLE;
  // A heavily fragmented $MFT keeps its later extents in other records.
  if (HasAttributeList(rec.data())) {
    std::vector<NtfsRun> all;
    uint64_t size = 0;
    uint16_t flags = 0;
    if (GatherExtents(
            m_ntfs, rec.data(), 0, [this](uint64_t n, uint8_t* b) { return ReadRecord(n, b); },
            [this](const RunList* r, uint64_t s, uint8_t* o) { return ReadRunBytes(r, s, o); },
            &all, &size, &flags) &&
        all.size() > runs.size()) {
      if (!build(all) && !build(runs)) return RC_MFT_UNREADABLE;
    }
  }
  return RC_OK;
}

int CNtfsDel::LoadMftBitmap() {
  m_mftBitmap.clear();
  std::vector<uint8_t> rec(m_recordBytes);
  if (ReadRecord(0, rec.data()) != RC_OK || m_ntfs->ValidateRecord(rec.data()) != RC_OK)
    return RC_MISSING;
  NtfsAttr a;
  if (m_ntfs->FindUnnamed(rec.data(), NTFS_AT_BITMAP, &a) != RC_OK) return RC_MISSING;
  // One bit per record; never more than the $MFT can use, whatever the size field says.
  uint64_t most = m_highestRecord / 8 + 1;
  if (!a.nonResident) {
    uint64_t n = std::min<uint64_t>(a.valueLength, most);
    m_mftBitmap.assign(rec.data() + a.valueOffset, rec.data() + a.valueOffset + n);
    return RC_OK;
  }
  if (a.lowestVcn != 0) return RC_MISSING;
  RunList* runs = nullptr;
  if (m_ntfs->DecodeRunList(rec.data() + a.pairsOffset, a.pairsLength, &runs) != RC_OK)
    return RC_MISSING;
  uint64_t size = std::min<uint64_t>(a.dataSize, most);
  uint64_t have = runs->GetTotalCount() * m_bytesPerSector;
  size = std::min(size, have);
  m_mftBitmap.resize(size_t(size));
  int rc = ReadRunBytes(runs, size, m_mftBitmap.data());
  runs->Release();
  if (rc != RC_OK) m_mftBitmap.clear();
  return rc;
}

bool CNtfsDel::IsRecordFree(uint64_t n) const {
  if (m_mftBitmap.empty() || n / 8 >= m_mftBitmap.size()) return false;
  return ((m_mftBitmap[size_t(n / 8)] >> (n % 8)) & 1) == 0;
}

int CNtfsDel::ReadVolumeBitmap(uint8_t* buffer, uint32_t length, uint32_t* needed) {
  if (!needed) return RC_BAD_ARGUMENT;
  int rc = InitVolume();
  if (rc != RC_OK) return rc;
  std::vector<uint8_t> rec(m_recordBytes);
  rc = ReadRecord(6, rec.data());
  if (rc == RC_READ_FAILED || rc == RC_MISSING) {
    *needed = 0;  // unreadable: the caller keeps a bitmap with every cluster free
    return RC_OK;
  }
  if (rc != RC_OK) return rc;
  rc = m_ntfs->ValidateRecord(rec.data());
  if (rc != RC_OK) return rc;
  std::u16string name;
  uint64_t parent = 0, size = 0;
  rc = m_ntfs->GetFileName(rec.data(), name, &parent, nullptr, &size);
  if (rc != RC_OK) return rc;
  if (name != u"$Bitmap") return RC_UNEXPECTED_RECORD;
  uint64_t clusters = m_clusterBytes ? m_totalSectors / m_sectorsPerCluster : 0;
  // One bit per cluster, padded to 8 bytes; a larger size field is damage.
  if (size > clusters / 8 + 4096 || size > UINT32_MAX) return RC_CORRUPT_RECORD;
  if (!buffer) {
    *needed = uint32_t(size);
    return RC_OK;
  }
  if (length < size) {
    *needed = uint32_t(size);
    return RC_BUFFER_TOO_SMALL;
  }
  CFileInfo tmp;
  rc = m_ntfs->BuildDataRuns(rec.data(), &tmp, NTFS_AT_DATA);
  if (rc != RC_OK) return rc;
  IRunList* runs = tmp.GetRunList();
  if (!runs) return RC_MISSING;
  if (runs->IsResident()) {
    const uint8_t* data = nullptr;
    CPermanentRunList* res = static_cast<CPermanentRunList*>(runs);
    res->GetData(&data);
    uint32_t n = std::min<uint32_t>(res->GetLength(), uint32_t(size));
    if (data) std::memcpy(buffer, data, n);
    *needed = n;
    return RC_OK;
  }
  rc = ReadRunBytes(static_cast<RunList*>(runs), size, buffer);
  if (rc != RC_OK) return rc;
  *needed = uint32_t(size);
  return RC_OK;
}

IDeviceBitmap* CNtfsDel::CreateDeviceBitmap() {
  uint64_t volumeBytes = 0;
  if (!m_device || m_device->GetSize(&volumeBytes) != 0 || volumeBytes > uint64_t(INT64_MAX)) return nullptr;
  // The $Bitmap counts clusters of the size the boot sector gives; the facade's figure comes
  // from the partition record, which need not know it. Without a boot sector there is no
  // $Bitmap either, and the facade's figure only sizes an empty bitmap.
  int clusterBytes = 0, sectorBytes = 0;
  if (InitVolume() == RC_OK && m_clusterBytes)
    clusterBytes = int(m_clusterBytes);
  else if (m_device->GetClusterInfo(&clusterBytes, &sectorBytes) != 0)
    return nullptr;
  DeviceBitmap* bitmap = new (std::nothrow) DeviceBitmap();
  if (!bitmap) return nullptr;
  if (bitmap->Init(int64_t(volumeBytes), 0, clusterBytes) != 0) {
    bitmap->Release();
    return nullptr;
  }
  // A $Bitmap that cannot be had (unreadable, damaged, another record) leaves every cluster
  // free: a raw scan then reads them all.
  uint32_t needed = 0;
  if (ReadVolumeBitmap(nullptr, 0, &needed) != RC_OK || needed == 0) return bitmap;
  uint32_t have = 0;
  bitmap->GetBuffer(&have);
  if (needed > have && !bitmap->SetBufferSize(needed)) {
    bitmap->Release();
    return nullptr;
  }
  uint32_t got = 0;
  uint8_t* buf = bitmap->GetBuffer(&have);
  if (ReadVolumeBitmap(buf, have, &got) != RC_OK || got != needed) {
    bitmap->Release();
    return nullptr;
  }
  return bitmap;
}

int CNtfsDel::Scan(INotifySink* sink) {
  int rc = RunGuarded("CNtfsDel::Scan", RC_FAIL, [&] { return RunScan(sink); });
  m_feeder.Discard();  // a graph left behind by a fault
  return rc;
}

int CNtfsDel::RunScan(INotifySink* sink) {
  if (!sink) return RC_BAD_ARGUMENT;
  m_sink = sink;
  m_shownPercent = 0;
  m_readFaults = 0;
  m_parentState.clear();
  if (m_pFileManager) m_pFileManager->SetNotifySink(sink);
  int rc = InitVolume();
  if (rc != RC_OK) return rc;
  if (!m_pFileManager) return RC_STOP;
  if (!m_feeder.Start(m_pFileManager, AddNodeToManager, nullptr, ReleasePayload, this))
    return RC_NO_MEMORY;
  m_feeder.SetRoots(5, -1);
  LoadMftBitmap();  // without it every record counts as in use
  int result = RC_OK;
  size_t guard = 0;
  for (const MftRun* r = m_mftRuns; r && guard < (1u << 24); r = r->next, ++guard) {
    result = ScanRecords(r->startSector, r->firstRecord, r->lastRecord);
    if (result != RC_OK) break;
  }
  m_feeder.Finish();
  sink->Notify(NE_FINISHED, 0, 0, nullptr);
  m_device->Close(1);
  if (result == RC_OK && m_readFaults) result = RC_READ_FAILED;
  return m_feeder.Result(result);
}

int CNtfsDel::ScanRecords(uint64_t startSector, uint64_t firstRecord, uint64_t lastRecord) {
  const uint32_t spr = m_ntfs->SectorsPerRecord();
  const uint32_t perBatch = kBatchBytes / m_recordBytes;
  std::unique_ptr<uint8_t[]> buf(new (std::nothrow) uint8_t[kBatchBytes]);
  if (!buf) return RC_NO_MEMORY;
  for (uint64_t rec = firstRecord; rec <= lastRecord;) {
    uint32_t count = uint32_t(std::min<uint64_t>(perBatch, lastRecord - rec + 1));
    uint64_t sector = startSector + (rec - firstRecord) * spr;
    if (m_ntfs->ReadVolumeSectors(sector, count * spr, buf.get()) != RC_OK) {
      // Keep what can still be read: one record at a time, the unreadable ones blanked.
      for (uint32_t i = 0; i < count; ++i) {
        uint8_t* p = buf.get() + size_t(i) * m_recordBytes;
        if (m_ntfs->ReadVolumeSectors(sector + uint64_t(i) * spr, spr, p) != RC_OK) {
          std::memset(p, 0, m_recordBytes);
          ++m_readFaults;
        }
      }
    }
    for (uint32_t i = 0; i < count; ++i) {
      uint64_t n = rec + i;
      if (i % 100 == 0) {
        int percent = m_highestRecord ? int(std::min<uint64_t>(n * 100 / m_highestRecord, 100)) : 100;
        if (percent > m_shownPercent) m_shownPercent = percent;
        if (m_sink->Notify(NE_PERCENT, m_shownPercent, 0, nullptr) != 0) {
          m_feeder.Stop();
          return RC_FAIL;
        }
      }
      HandleRecord(buf.get() + size_t(i) * m_recordBytes, n);
      if (m_feeder.Stopped()) return RC_FAIL;
    }
    if (lastRecord - rec < count) break;
    rec += count;
  }
  return RC_OK;
}

int CNtfsDel::HandleRecord(uint8_t* record, uint64_t n) {
  // The sector tails hold the update sequence until the fixup puts the true bytes back;
  // validating before it would walk attributes over two bytes of the wrong data.
  if (m_ntfs->ApplyFixup(record) != RC_OK) return RC_CORRUPT_RECORD;
  layout::NtfsFileRecordHeader h;
  if (m_ntfs->ValidateRecord(record) != RC_OK || !m_ntfs->ReadRecordHeader(record, &h))
    return RC_CORRUPT_RECORD;
  bool inUse = (h.flags & NTFS_RECORD_IN_USE) != 0;
  bool isDir = (h.flags & NTFS_RECORD_DIRECTORY) != 0;
  if (!inUse || isDir || IsRecordFree(n)) ProcessRecord(record, n);
  return RC_OK;
}

IFileInfo* CNtfsDel::ProcessRecord(uint8_t* record, uint64_t n) {
  GFS::CGraphFileSystem* graph = m_feeder.Graph();
  if (!record || !graph || n == 5) return nullptr;  // the root is the graph's own root
  std::u16string name;
  uint64_t parent = 0, size = 0;
  bool isDir = false;
  uint16_t parentSeq = 0;
  int named = m_ntfs->GetFileName(record, name, &parent, &isDir, &size, &parentSeq);
  // ntfs-3g moves the names out first when a record overflows: the attribute list finds them.
  if (named != RC_OK && HasAttributeList(record))
    named = m_ntfs->GetListedFileName(
        record, n, [this](uint64_t r, uint8_t* b) { return ReadRecord(r, b); },
        [this](const RunList* r, uint64_t s, uint8_t* o) { return ReadRunBytes(r, s, o); }, name, &parent,
        &isDir, &size, &parentSeq);
  if (named != RC_OK || name.empty()) return nullptr;
  m_feeder.Note();
  // Record numbers enter the graph whole (48 bits), so none meets another or the graph's own.
  int64_t id = int64_t(n);
  int64_t parentId = int64_t(parent);
  // A folder record taken by another folder since must not adopt this entry: it goes under
  // a folder of its own in "Lost Location", shared with its siblings. Such a folder has a
  // stand-in id from the graph's synthetic range; only a record of the $MFT (below 2^31)
  // can have been looked at here, so its number fits the low 32 bits.
  if (!ParentStillMatches(parent, parentSeq))
    parentId = GFS::kSyntheticIdBase + 1 + int64_t(uint64_t(parentSeq) << 32 | uint32_t(parent));
  if (isDir) {
    graph->AddNode(id, parentId, name.c_str(), nullptr, KeepFlag);
    return nullptr;
  }
  IFileInfo* file = nullptr;
  if (HasAttributeList(record)) file = BuildFromAttributeList(record, n, name);
  if (!file && m_ntfs->CreateFileInfo(record, &file, name.c_str(), size) != RC_OK) return nullptr;
  if (!m_ntfs->IsDataPlausible(file)) {
    file->Release();
    return nullptr;
  }
  int r = graph->AddNamedNode(id, parentId, name.c_str(), file, nullptr);
  if (r != 0 && r != 3) {  // refused or a duplicate: the graph did not keep it
    file->Release();
    return nullptr;
  }
  return file;
}

IFileInfo* CNtfsDel::BuildFromAttributeList(const uint8_t* record, uint64_t n,
                                            const std::u16string& name) {
  std::vector<NtfsRun> runs;
  uint64_t size = 0;
  uint16_t flags = 0;
  if (!GatherExtents(
          m_ntfs, record, n, [this](uint64_t r, uint8_t* b) { return ReadRecord(r, b); },
          [this](const RunList* r, uint64_t s, uint8_t* o) { return ReadRunBytes(r, s, o); },
          &runs, &size, &flags))
    return nullptr;
  if ((flags & NTFS_ATTR_ENCRYPTED) || size > uint64_t(INT64_MAX)) return nullptr;
  uint64_t created = 0, modified = 0;
  if (m_ntfs->GetStandardTimes(record, &created, nullptr, &modified, nullptr) != RC_OK)
    return nullptr;
  RunList* list = nullptr;
  if (m_ntfs->BuildRunList(runs, &list) != RC_OK) return nullptr;
  CFileInfo* file = new (std::nothrow) CFileInfo();
  if (!file) {
    list->Release();
    return nullptr;
  }
  file->SetName(name.c_str());
  if (flags & NTFS_ATTR_COMPRESSED) file->AddFlags(FF_COMPRESSED);
  file->SetRunList(list);
  file->SetSize(int64_t(size));
  file->SetTimes(uint64_t(FileTimeToTime(uint32_t(created), uint32_t(created >> 32))),
                 uint64_t(FileTimeToTime(uint32_t(modified), uint32_t(modified >> 32))));
  return file;
}

bool CNtfsDel::ParentStillMatches(uint64_t parent, uint16_t sequence) {
  if (sequence == 0) return true;  // volumes that keep no sequence numbers
  auto it = m_parentState.find(parent);
  if (it == m_parentState.end()) {
    std::vector<uint8_t> rec(m_recordBytes);
    uint32_t state = 0;  // unknown: the path stays as the reference says
    layout::NtfsFileRecordHeader h;
    if (ReadRecord(parent, rec.data()) == RC_OK && m_ntfs->ReadRecordHeader(rec.data(), &h) && h.isFile)
      state = 0x80000000u | uint32_t(h.flags) << 16 | h.sequence;
    it = m_parentState.emplace(parent, state).first;
  }
  uint32_t state = it->second;
  if (!(state & 0x80000000u)) return true;
  uint16_t seq = uint16_t(state);
  uint16_t flags = uint16_t(state >> 16) & 0x7FFF;
  if (seq == sequence) return true;
  // Freeing a record raises its sequence number (skipping zero): a deleted folder is still
  // the same folder one number on, as long as nothing took the record since.
  uint16_t next = uint16_t(sequence + 1) ? uint16_t(sequence + 1) : 1;
  return !(flags & NTFS_RECORD_IN_USE) && seq == next;
}

int CNtfsDel::AddNodeToManager(const char16_t* path, const char16_t*, void* payload, void* user,
                               int) {
  return static_cast<CNtfsDel*>(user)->m_feeder.AddClone(path, payload);
}

void CNtfsDel::ReleasePayload(void* payload, void* user) { GFS::ReleaseFileInfo(payload, user); }

bool CNtfsDel::KeepFlag(void*, void*, int exists) { return exists != 0; }

IScanOperator* CreateNtfsDelScanner(IStorageDevice* device) {
  CNtfsDel* scanner = new (std::nothrow) CNtfsDel(device);
  return scanner;
}
