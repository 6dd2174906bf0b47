#include "filesystems/format/ntfsformat.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>

#include "common/crashdump.h"
#include "common/inc/bytes.h"
#include "common/inc/idevice.h"
#include "common/inc/ifilemanager.h"
#include "common/inc/inotifysink.h"
#include "common/inc/seams.h"
#include "filemanager/fileinfo.h"
#include "filesystems/ntfs/ntfs.h"
#include "graphfs/graphfs.h"

namespace {

const uint32_t kBatchSectors = 4096;
// Files leave the graph once more than 1000 records wait. The results tree's answers do
// not end a format scan; only the progress answer does, and the files found are still listed.
const GFS::FeedRules kFeedRules = {1000, GFS::kAnswerIgnored, true, GFS::kResultAsIs};
// Record sectors kept while the geometry is open: 4M sectors is 32 MiB of bookkeeping.
const size_t kMaxPending = size_t(1) << 22;
const uint32_t kLastSystemRecord = 23;

void ReleaseFile(void* payload, void* user) { GFS::ReleaseFileInfo(payload, user); }

bool KeepNewFolder(void*, void*, int exists) { return exists != 0; }

// Two records under one (record number, name): the one whose old place still exists wins;
// otherwise the first found stays. The loser is freed here, as the graph keeps only one.
bool KeepFile(void* existing, void* incoming, int exists) {
  bool replace = exists != 0;
  ReleaseFile(replace ? existing : incoming, nullptr);
  return replace;
}

// The record's own number where NTFS 3.1 keeps it. A record of NTFS 3.0 has its update
// sequence there; its files are still listed under that value, as skipping them would lose
// them, and their parents' references still place them.
uint32_t RecordNumber(const CNTFS& ntfs, const uint8_t* record) {
  layout::NtfsFileRecordHeader h;
  return ntfs.ReadRecordHeader(record, &h) ? h.recordNumber : 0;
}

// Ranges of own data clusters kept to tell which foreign records lie in the volume's files:
// 4M ranges are 64 MiB. Past that, foreign records are listed as they were before.
const size_t kMaxOwnRanges = size_t(1) << 22;
// Extents of $MFTs taken as the volume's own: a $MFT has a few hundred at most, and each
// old one found adds its own. Past this bound a further old $MFT is not taken.
const size_t kMaxOwnExtents = size_t(1) << 16;

// The runs of a record's unnamed $DATA in clusters, with its allocated size, decoded without
// the volume's cluster count: they may be counted in clusters of another size than the one
// the reader holds (an old $MFT under a volume formatted again).
bool DataClusterRuns(const CNTFS& ntfs, const uint8_t* record, std::vector<NtfsRun>* runs,
                     uint64_t* allocated) {
  NtfsAttr a;
  runs->clear();
  if (ntfs.FindUnnamed(record, NTFS_AT_DATA, &a) != RC_OK || !a.nonResident || a.lowestVcn != 0) return false;
  *allocated = a.allocatedSize;
  int64_t lcn = 0;
  for (size_t pos = 0; pos < a.pairsLength;) {
    uint8_t size = 0;
    int64_t delta = 0;
    uint64_t count = 0;
    bool sparse = false;
    int rc = CNTFS::DecodeRunEntry(record + a.pairsOffset + pos, a.pairsLength - pos, &size, &delta, &count,
                                   &sparse);
    if (rc == RC_MISSING) break;
    if (rc != RC_OK) return false;
    pos += size;
    if (sparse) {
      runs->push_back({-1, count});
      continue;
    }
    if ((delta > 0 && lcn > INT64_MAX - delta) || (delta < 0 && lcn < INT64_MIN - delta)) return false;
    lcn += delta;
    if (lcn < 0) return false;
    runs->push_back({lcn, count});
  }
  return !runs->empty();
}

int Log2(uint32_t v) {
  int n = 0;
  while (v > 1) {
    v >>= 1;
    ++n;
  }
  return n;
}

}  // namespace

CNTFSFormat::CNTFSFormat(IStorageDevice* device, IFileManager* manager, CFormat* parent)
    : m_device(device),
      m_ntfs(new CNTFS(device)),
      m_parent(parent),
      m_found(0),
      m_skipped(0),
      m_feeder(kFeedRules),
      m_param(nullptr),
      m_sink(nullptr),
      m_recompute(true),
      m_mftSearch(false),
      m_volumeSectors(0),
      m_deviceSectors(0) {
  m_rootName[0] = 0;
  std::memset(m_votes, 0, sizeof m_votes);
  std::memset(m_clusterHistogram, 0, sizeof m_clusterHistogram);
  SetFileManager(manager);
}

CNTFSFormat::~CNTFSFormat() {
  delete m_ntfs;
  delete m_ownParent;
}

int CNTFSFormat::Scan(INotifySink* sink) {
  return RunGuarded("CNTFSFormat::Scan", RC_FAIL, [&] { return ScanVolume(sink); });
}

int CNTFSFormat::AddNodeToManager(const char16_t* folderPath, const char16_t*, void* payload, void* user,
                                  int) {
  return static_cast<CNTFSFormat*>(user)->m_feeder.AddClone(folderPath, payload);
}

int CNTFSFormat::NameRoots(INotifySink* sink) {
  if (!m_feeder.Start(m_pFileManager, AddNodeToManager, nullptr, ReleaseFile, this,
                      m_device ? m_device->GetDevice() : nullptr))
    return RC_MISSING;
  m_feeder.SetRoots(5, -1);
  if (m_pFileManager) m_pFileManager->SetNotifySink(sink);
  return RC_OK;
}

bool CNTFSFormat::ApplyGeometry(uint32_t bytesPerSector, uint32_t sectorsPerCluster,
                                uint32_t recordBytes, uint64_t volumeSectors) {
  if (m_ntfs->SetVolumeInfo(m_rootName, bytesPerSector, sectorsPerCluster) != RC_OK) return false;
  uint64_t clusterBytes = uint64_t(bytesPerSector) * sectorsPerCluster;
  if (clusterBytes > 0xFFFFFFFFull) return false;
  NtfsBootInfo info{bytesPerSector, sectorsPerCluster, uint32_t(clusterBytes), recordBytes,
                    volumeSectors, 0};
  if (m_ntfs->SetBootInfo(info, bytesPerSector) != RC_OK) return false;
  if (m_param) m_param->sectorsPerCluster = int(sectorsPerCluster);
  return true;
}

int CNTFSFormat::BuildFilesFromRecords(const uint8_t* record, uint64_t) {
  GFS::CGraphFileSystem* graph = m_feeder.Graph();
  if (!record || !graph) return RC_BAD_ARGUMENT;
  uint32_t number = RecordNumber(*m_ntfs, record);
  if (number <= kLastSystemRecord) return RC_MISSING;
  std::u16string name;
  uint64_t parent = 0, size = 0;
  bool isDirectory = false;
  if (m_ntfs->GetFileName(record, name, &parent, &isDirectory, &size) != RC_OK) return RC_MISSING;
  if (!isDirectory && size == 0) return RC_MISSING;
  IFileInfo* file = nullptr;
  if (m_ntfs->CreateFileInfo(record, &file, name.c_str(), size) != RC_OK || !file) return RC_MISSING;
  layout::NtfsFileRecordHeader h;
  m_ntfs->ReadRecordHeader(record, &h);
  uint16_t flags = h.flags;
  if (flags == 0 || flags == 3) file->AddFlags(FF_FORMATTED);
  // Ids enter the graph whole: a record number (32 bits here) and a 48-bit parent reference
  // never meet the graph's own ids.
  int64_t id = int64_t(number), parentId = int64_t(parent);
  if (flags & NTFS_RECORD_DIRECTORY) {
    file->Release();
    graph->AddNode(id, parentId, name.c_str(), nullptr, KeepNewFolder);
  } else if (m_ntfs->IsDataPlausible(file)) {
    if (graph->AddNamedNode(id, parentId, name.c_str(), file, KeepFile) < 0) file->Release();
    else ++m_found;
  } else {
    file->Release();
  }
  m_feeder.Note();
  return RC_OK;
}

void CNTFSFormat::ResolvePending(bool sortOut) {
  std::vector<uint64_t> pending;
  pending.swap(m_pendingSectors);
  std::vector<uint8_t> record(m_ntfs->RecordBytes());
  for (uint64_t s : pending) {
    if (!ReadFixedRecord(m_device, *m_ntfs, s, record.data())) continue;
    if (sortOut && m_anchored) {
      // Records kept before the volume was placed: those outside it are another volume's,
      // and of the rest only its own are placed now.
      if (!InsideVolume(s)) continue;
      if (!IsOwnRecord(record.data(), s)) {
        if (m_foreignSectors.size() < kMaxPending) m_foreignSectors.push_back(s);
        continue;
      }
      NoteOwnData(record.data());
    }
    BuildFilesFromRecords(record.data(), s);
  }
}

bool CNTFSFormat::InsideVolume(uint64_t s) const {
  const uint64_t base = m_param->bootSector;
  return s >= base && s - base < m_volumeSectors;
}

void CNTFSFormat::AnchorOnMftRecord(const uint8_t* record, uint64_t s, uint32_t spc) {
  std::vector<NtfsRun> runs;
  uint64_t allocated = 0;
  ClearOwnMft();
  if (!DataClusterRuns(*m_ntfs, record, &runs, &allocated) || !AddOwnMft(runs, spc) ||
      m_ownMft.front().start != s) {
    ClearOwnMft();
    return;
  }
  // With no boot sector to say where the volume ends, its $Bitmap does: one bit a cluster,
  // rounded up to whole bytes and eight-byte words, and a cluster more for the backup boot
  // sector after the last one.
  const MftExtent& first = m_ownMft.front();
  const uint64_t spr = m_ntfs->SectorsPerRecord();
  std::vector<uint8_t> bitmap(m_ntfs->RecordBytes());
  std::u16string name;
  uint64_t parent = 0, bytes = 0;
  bool isDirectory = false;
  if (spr && first.firstRecord == 0 && first.sectors / spr > 6 &&
      ReadFixedRecord(m_device, *m_ntfs, first.start + 6 * spr, bitmap.data()) &&
      m_ntfs->GetFileName(bitmap.data(), name, &parent, &isDirectory, &bytes) == RC_OK &&
      name == u"$Bitmap" && bytes > 0 && bytes <= UINT64_MAX / 8 / (uint64_t(spc) + 1)) {
    uint64_t sectors = (bytes * 8 + 1) * spc;
    if (sectors < m_volumeSectors &&
        ApplyGeometry(m_ntfs->BytesPerSector(), spc, m_ntfs->RecordBytes(), sectors))
      m_volumeSectors = sectors;
  }
  m_anchored = true;
}

void CNTFSFormat::CastVote(uint64_t sector, uint32_t c) {
  int slot = Log2(c);
  if (slot < 13) ++m_clusterHistogram[slot];
  int r = 0;
  while (r < 3 && m_votes[r].used) ++r;
  if (r == 3) r = 0;  // cannot happen: a full vote settles
  uint64_t spr = m_ntfs->SectorsPerRecord();
  if (r > 0 && !(sector >= spr && m_votes[r - 1].sector == sector - spr &&
                 m_votes[r - 1].sectorsPerCluster == c)) {
    std::memset(m_votes, 0, sizeof m_votes);
    r = 0;
  }
  m_votes[r] = Vote{sector, c, true};
  if (r == 2 && ApplyGeometry(m_ntfs->BytesPerSector(), c, m_ntfs->RecordBytes(), m_volumeSectors)) {
    m_recompute = false;
    ResolvePending();
  }
}

bool CNTFSFormat::AddOwnMft(const std::vector<NtfsRun>& runs, uint64_t spc) {
  const uint64_t base = m_param->bootSector;
  const uint64_t clusterBytes = spc * m_ntfs->BytesPerSector(), recordBytes = m_ntfs->RecordBytes();
  std::vector<MftExtent> extents;
  uint64_t vcn = 0;
  for (const NtfsRun& r : runs) {
    if (r.lcn >= 0) {
      uint64_t lcn = uint64_t(r.lcn);
      if (spc == 0 || lcn > (UINT64_MAX - base) / spc || r.clusters > UINT64_MAX / spc ||
          vcn > UINT64_MAX / clusterBytes)
        return false;
      extents.push_back({base + lcn * spc, r.clusters * spc, vcn * clusterBytes / recordBytes});
    }
    if (r.clusters > UINT64_MAX - vcn) return false;
    vcn += r.clusters;
  }
  if (extents.empty() || extents.size() > kMaxOwnExtents - m_ownMft.size()) return false;
  m_ownMft.insert(m_ownMft.end(), extents.begin(), extents.end());
  for (const MftExtent& e : extents) {
    // Merged with those it meets, so that the one starting last at or before a sector is
    // the only one that can hold it.
    uint64_t from = e.start, to = e.sectors > UINT64_MAX - e.start ? UINT64_MAX : e.start + e.sectors;
    auto it = m_ownSpans.upper_bound(from);
    if (it != m_ownSpans.begin() && std::prev(it)->second >= from) {
      --it;
      from = it->first;
      to = std::max(to, it->second);
      it = m_ownSpans.erase(it);
    }
    for (; it != m_ownSpans.end() && it->first <= to; it = m_ownSpans.erase(it))
      to = std::max(to, it->second);
    m_ownSpans.emplace(from, to);
  }
  return true;
}

bool CNTFSFormat::InOwnMft(uint64_t s) const {
  auto it = m_ownSpans.upper_bound(s);
  return it != m_ownSpans.begin() && s < std::prev(it)->second;
}

void CNTFSFormat::ClearOwnMft() {
  m_ownMft.clear();
  m_ownSpans.clear();
}

bool CNTFSFormat::ReadOwnMft(const NtfsBootInfo& boot, uint64_t base, uint64_t end) {
  const uint64_t spc = boot.sectorsPerCluster;
  if (spc == 0 || boot.mftLcn > (UINT64_MAX - base) / spc) return false;
  const uint64_t at = base + boot.mftLcn * spc;
  if (at >= end || at > uint64_t(INT64_MAX)) return false;
  // The record size the boot sector gives holds only when record 0 was written in it: its
  // allocated size lies in the first sector, where no fixup reaches.
  std::vector<uint8_t> head(boot.bytesPerSector < 512 ? 512 : boot.bytesPerSector);
  layout::NtfsFileRecordHeader h;
  if (m_device->ReadSectors(int64_t(at), head.data(), 1) != 1 ||
      !layout::ReadNtfsFileRecordHeader(head.data(), head.size(), &h) || !h.isFile ||
      h.bytesAllocated != boot.recordBytes)
    return false;
  // The volume ends where its boot sector says, its backup sector included: what lies past
  // it belongs to another volume.
  uint64_t volume = end - base;
  if (boot.totalSectors < volume) volume = boot.totalSectors + 1;
  if (!ApplyGeometry(boot.bytesPerSector, boot.sectorsPerCluster, boot.recordBytes, volume)) return false;
  std::vector<uint8_t> record(m_ntfs->RecordBytes());
  std::u16string name;
  uint64_t parent = 0, allocated = 0;
  std::vector<NtfsRun> runs;
  if (!ReadFixedRecord(m_device, *m_ntfs, at, record.data()) ||
      m_ntfs->GetFileName(record.data(), name, &parent, nullptr, nullptr) != RC_OK || name != u"$MFT" ||
      !DataClusterRuns(*m_ntfs, record.data(), &runs, &allocated))
    return false;
  ClearOwnMft();
  if (!AddOwnMft(runs, spc) || m_ownMft.front().start != at) {
    ClearOwnMft();
    return false;
  }
  m_volumeSectors = volume;
  m_bootSectorsPerCluster = boot.sectorsPerCluster;
  return true;
}

bool CNTFSFormat::IsOwnRecord(const uint8_t* record, uint64_t s) {
  if (InOwnMft(s)) return true;
  layout::NtfsFileRecordHeader h;
  if (m_ownMft.empty() || !m_ntfs->ReadRecordHeader(record, &h) || !h.hasRecordNumber) return false;
  // A volume formatted again over one whose $MFT began at the same place: the old records
  // still stand where their numbers put them, past the present $MFT's first records.
  const uint64_t spr = m_ntfs->SectorsPerRecord();
  const MftExtent& first = m_ownMft.front();
  if (spr && first.firstRecord == 0 && s > first.start && (s - first.start) % spr == 0 &&
      (s - first.start) / spr == h.recordNumber)
    return true;
  // The old $MFT's own record 0, standing at the first cluster it names from this volume's
  // start: the old $MFT lay along its runs. A mirror's copy, or the record 0 of a volume
  // image kept in a file, names another place.
  if (h.recordNumber != 0) return false;
  std::u16string name;
  uint64_t parent = 0, allocated = 0;
  std::vector<NtfsRun> runs;
  if (m_ntfs->GetFileName(record, name, &parent, nullptr, nullptr) != RC_OK || name != u"$MFT" ||
      !DataClusterRuns(*m_ntfs, record, &runs, &allocated))
    return false;
  uint64_t clusters = 0;
  for (const NtfsRun& r : runs) clusters += r.clusters;
  const uint64_t bps = m_ntfs->BytesPerSector();
  if (clusters == 0 || allocated % clusters || (allocated / clusters) % bps) return false;
  const uint64_t spc = allocated / clusters / bps;
  if (!kbytes::IsPowerOfTwo(spc) || spc > 4096) return false;
  const uint64_t base = m_param->bootSector;
  for (const NtfsRun& r : runs) {
    if (r.lcn < 0) continue;
    if (uint64_t(r.lcn) > (UINT64_MAX - base) / spc || base + uint64_t(r.lcn) * spc != s) return false;
    break;
  }
  return AddOwnMft(runs, spc);
}

void CNTFSFormat::NoteOwnData(const uint8_t* record) {
  std::vector<NtfsRun> runs;
  uint64_t allocated = 0;
  if (!DataClusterRuns(*m_ntfs, record, &runs, &allocated)) return;
  for (const NtfsRun& r : runs)
    if (r.lcn >= 0 && r.clusters && m_ownData.size() < kMaxOwnRanges)
      m_ownData.push_back({uint64_t(r.lcn), r.clusters});
}

void CNTFSFormat::ResolveForeign() {
  std::vector<uint64_t> foreign;
  foreign.swap(m_foreignSectors);
  if (foreign.empty() || m_recompute) return;
  std::sort(m_ownData.begin(), m_ownData.end(),
            [](const ClusterRange& a, const ClusterRange& b) { return a.lcn < b.lcn; });
  // Merged, so that the range before an LCN is the only one that can hold it.
  std::vector<ClusterRange> merged;
  for (const ClusterRange& r : m_ownData) {
    uint64_t rend = r.count > UINT64_MAX - r.lcn ? UINT64_MAX : r.lcn + r.count;
    if (!merged.empty() && r.lcn <= merged.back().lcn + merged.back().count) {
      ClusterRange& m = merged.back();
      if (rend > m.lcn + m.count) m.count = rend - m.lcn;
    } else {
      merged.push_back({r.lcn, rend - r.lcn});
    }
  }
  const uint64_t base = m_param->bootSector, spc = m_ntfs->SectorsPerCluster();
  std::vector<uint8_t> record(m_ntfs->RecordBytes());
  for (uint64_t s : foreign) {
    if (!InOwnMft(s) && spc && s >= base) {
      // A record inside a file of this volume is that file's content (a disk image kept
      // there): its clusters count from the image's start, not this volume's.
      uint64_t lcn = (s - base) / spc;
      auto it = std::upper_bound(merged.begin(), merged.end(), lcn,
                                 [](uint64_t v, const ClusterRange& r) { return v < r.lcn; });
      if (it != merged.begin() && lcn - std::prev(it)->lcn < std::prev(it)->count) continue;
    }
    if (ReadFixedRecord(m_device, *m_ntfs, s, record.data())) BuildFilesFromRecords(record.data(), s);
  }
}

void CNTFSFormat::HandleRecord(uint8_t* record, uint64_t s) {
  if (m_mftSearch) {
    std::u16string name;
    uint64_t parent = 0;
    if (m_ntfs->GetFileName(record, name, &parent, nullptr, nullptr) != RC_OK) return;
    if (name != u"$MFT") {
      if (m_pendingSectors.size() < kMaxPending) m_pendingSectors.push_back(s);
      return;
    }
    uint32_t c = 0;
    uint64_t base = 0;
    // The first "$MFT" may be the mirror's copy or a stray one: only a confirmed start counts.
    if (ConfirmMftBase(m_device, *m_ntfs, record, s, &c, &base) != RC_OK) return;
    // The volume reaches from its start to the device's end: the length kept so far was
    // measured from the earlier guess of the start, not from the device's first sector.
    uint64_t volume = m_deviceSectors > base ? m_deviceSectors - base : 0;
    if (!ApplyGeometry(m_ntfs->BytesPerSector(), c, m_ntfs->RecordBytes(), volume)) return;
    m_volumeSectors = volume;
    m_mftSearch = false;
    m_recompute = false;
    m_ntfs->SetBaseSector(base);
    m_param->bootSector = base;
    AnchorOnMftRecord(record, s, c);
    ResolvePending(true);
    return;
  }
  if (m_anchored) {
    // Only the volume's own records vote and are placed as they come: a record inside a
    // file's data, or of another volume, would bring its own geometry and numbers.
    if (!InsideVolume(s)) return;
    if (!IsOwnRecord(record, s)) {
      if (m_foreignSectors.size() < kMaxPending) m_foreignSectors.push_back(s);
      return;
    }
    NoteOwnData(record);
  }
  if (m_recompute) {
    uint32_t c = 0;
    uint64_t lcn = 0;
    if (RecordNumber(*m_ntfs, record) > kLastSystemRecord &&
        m_ntfs->EstimateSectorsPerCluster(record, &c, &lcn) == RC_OK)
      CastVote(s, c);
  }
  if (m_recompute) {
    // Decoding with a guessed cluster size would hand out wrong data with no error.
    if (m_pendingSectors.size() < kMaxPending) m_pendingSectors.push_back(s);
    return;
  }
  BuildFilesFromRecords(record, s);
}

int CNTFSFormat::ScanVolume(INotifySink* sink) {
  if (!sink) return RC_BAD_ARGUMENT;
  m_sink = sink;
  if (!m_device || NameRoots(sink) != RC_OK) return RC_MISSING;
  if (!m_parent || m_parent == m_ownParent) {
    // Made on its own (scan kind 0x900): a dispatcher of its own, told the volume is NTFS,
    // holds the geometry and searches for the boot sector, as the format scan's would.
    delete m_ownParent;
    m_parent = m_ownParent = new (std::nothrow) CFormat(m_device);
    if (!m_ownParent || !m_ownParent->FormatParam()) return RC_NO_MEMORY;
    int clusterBytes = 0, sectorBytes = 0;
    m_device->GetClusterInfo(&clusterBytes, &sectorBytes);
    CFormatParam* own = m_ownParent->FormatParam();
    own->fileSystem = FS_NTFS;
    own->bytesPerSector = sectorBytes;
    own->sectorsPerCluster = sectorBytes > 0 && clusterBytes > 0 ? clusterBytes / sectorBytes : 0;
  }
  if (!m_parent->FormatParam()) return RC_MISSING;
  m_param = m_parent->FormatParam();
  m_found = 0;
  m_pendingSectors.clear();
  std::memset(m_votes, 0, sizeof m_votes);
  std::memset(m_clusterHistogram, 0, sizeof m_clusterHistogram);
  m_recompute = true;
  m_mftSearch = false;
  bool unreadable = false;

  uint32_t bps = m_param->bytesPerSector > 0 ? uint32_t(m_param->bytesPerSector) : 0;
  if (!kbytes::IsPowerOfTwo(bps) || bps < 256 || bps > 65536) {
    int clusterBytes = 0, sectorBytes = 0;
    m_device->GetClusterInfo(&clusterBytes, &sectorBytes);
    bps = sectorBytes > 0 ? uint32_t(sectorBytes) : 0;
    if (!kbytes::IsPowerOfTwo(bps) || bps < 256 || bps > 65536) return RC_MISSING;
    m_param->bytesPerSector = int(bps);
  }
  uint64_t size = 0;
  if (m_device->GetSize(&size) != 0) return RC_MISSING;
  uint64_t end = size / bps;
  if (end == 0) return RC_MISSING;

  std::vector<uint8_t> sector(bps < 512 ? 512 : bps);
  NtfsBootInfo boot{};
  bool haveBoot = false;   // found here: its geometry is taken
  bool givenBoot = false;  // at the start the dispatcher gave
  if (m_param->bootSector == 0) {
    uint64_t at = 0;
    int fs = 0;
    if (m_parent->SearchBootSector(&at, &fs, 0) == RC_OK && fs == FS_NTFS) {
      if (m_device->ReadSectors(int64_t(at), sector.data(), 1) != 1) return RC_MISSING;
      if (ParseNtfsBootSector(sector.data(), sector.size(), &boot) == RC_OK &&
          boot.bytesPerSector == bps) {
        m_param->bootSector = at;
        haveBoot = true;
      }
    }
  } else if (m_param->bootSector < end &&
             m_device->ReadSectors(int64_t(m_param->bootSector), sector.data(), 1) == 1 &&
             ParseNtfsBootSector(sector.data(), sector.size(), &boot) == RC_OK &&
             boot.bytesPerSector == bps) {
    // A start the dispatcher found: its boot sector confirms the $MFT below, while the
    // cluster size is left to the records' vote.
    givenBoot = true;
  }
  uint64_t base = m_param->bootSector;
  if (base >= end) return RC_MISSING;
  m_ntfs->SetBaseSector(base);
  m_deviceSectors = end;
  m_volumeSectors = end - base;
  m_anchored = false;
  m_bootSectorsPerCluster = 0;
  ClearOwnMft();
  m_ownData.clear();
  m_foreignSectors.clear();
  uint32_t recordBytes = bps < 1024 ? 1024 : bps;
  uint32_t spc = 1;
  if ((haveBoot || givenBoot) && ReadOwnMft(boot, base, end)) {
    // The boot sector and its $MFT agree: the volume's records have the size they give,
    // and the volume ends where the boot sector says.
    m_anchored = true;
    recordBytes = m_ntfs->RecordBytes();
  }
  if (haveBoot) {
    recordBytes = boot.recordBytes;
    spc = boot.sectorsPerCluster;
    if (boot.totalSectors < m_volumeSectors) m_volumeSectors = boot.totalSectors + 1;
    m_recompute = false;
  }
  // Unknown geometry: records wait for the vote. One sector per cluster is the placeholder
  // that bounds cluster numbers least, so that no record is refused by a wrong guess.
  if (!ApplyGeometry(bps, spc, recordBytes, m_volumeSectors)) return RC_MISSING;
  const uint32_t spr = m_ntfs->SectorsPerRecord();

  IDevice* dev = m_device->GetDevice();
  PartitionInfo info;
  std::memset(&info, 0, sizeof info);
  if (!dev || dev->GetPartitionInfo(&info) != 0 || info.PartitionType == PT_UNALLOCATED)
    m_mftSearch = true;
  std::vector<uint8_t> record(m_ntfs->RecordBytes());
  if (m_anchored) m_mftSearch = false;
  if (m_mftSearch && (haveBoot || givenBoot) && boot.mftLcn <= (UINT64_MAX - base) / boot.sectorsPerCluster) {
    std::u16string name;
    uint64_t parent = 0;
    if (ReadFixedRecord(m_device, *m_ntfs, base + boot.mftLcn * boot.sectorsPerCluster, record.data()) &&
        m_ntfs->GetFileName(record.data(), name, &parent, nullptr, nullptr) == RC_OK && name == u"$MFT")
      m_mftSearch = false;
  }

  std::vector<uint8_t> buf;
  try {
    // One record more than the batch, so that a record starting near the end is whole.
    buf.resize((size_t(kBatchSectors) + spr) * bps);
  } catch (const std::bad_alloc&) {
    return RC_NO_MEMORY;
  }
  int& progress = m_parent->ProgressBase();
  const int startBase = progress;
  // An anchored volume is searched from its start to its end; otherwise the whole device.
  const uint64_t from = m_anchored ? base : 0;
  uint64_t to = m_anchored ? base + m_volumeSectors : end;
  uint64_t span = to - from;
  uint64_t cur = from;
  uint64_t badStep = 1;
  for (uint64_t advance = 0;; cur += advance) {
    uint64_t done = cur < to ? cur - from : span;
    int p = startBase + int(0.95 * (double(done) * (100 - startBase) / double(span)));
    if (p > 98) p = 98;
    if (sink->Notify(NE_PERCENT, p, 0, nullptr) != 0) {
      m_feeder.Stop();
      break;
    }
    sink->Notify(NE_SECTORS, int64_t(done), int64_t(span), nullptr);
    if (cur >= to) break;
    uint32_t main = uint32_t(to - cur < kBatchSectors ? to - cur : kBatchSectors);
    uint32_t want = uint32_t(to - cur < uint64_t(main) + spr ? to - cur : uint64_t(main) + spr);
    int got = m_device->ReadSectors(int64_t(cur), buf.data(), want);
    if (got < 0) got = 0;
    if (uint32_t(got) < want) unreadable = true;  // want never reaches past the device's end
    // An unreadable sector costs the records that touch it, not the rest of the volume:
    // the batch ends before it and the search goes on after it. Consecutive failures skip
    // ever further, so that a dead stretch is crossed in a few reads.
    uint32_t usable = uint32_t(got) < main ? uint32_t(got) : main;
    if (uint32_t(got) >= main) {
      advance = main;
      badStep = 1;
    } else if (got > 0) {
      advance = uint64_t(got) + 1;
      badStep = 1;
    } else {
      advance = badStep < main ? badStep : main;
      badStep = badStep < kBatchSectors ? badStep * 2 : kBatchSectors;
    }
    for (uint32_t i = 0; i < usable && i + spr <= uint32_t(got); ++i) {
      const uint8_t* at = buf.data() + size_t(i) * bps;
      if (!layout::IsNtfsFileRecordSignature(at, record.size())) continue;
      std::memcpy(record.data(), at, record.size());
      if (m_ntfs->ApplyFixup(record.data()) != RC_OK || m_ntfs->ValidateRecord(record.data()) != RC_OK)
        continue;
      HandleRecord(record.data(), cur + i);
    }
    // A volume placed by its $MFT during the search ends where its $Bitmap says.
    if (m_anchored && m_param->bootSector + m_volumeSectors < to &&
        m_param->bootSector + m_volumeSectors > from) {
      to = m_param->bootSector + m_volumeSectors;
      span = to - from;
    }
  }
  if (m_recompute && !m_mftSearch && (!m_pendingSectors.empty() || !m_foreignSectors.empty())) {
    // No three neighbours agreed: the size most records estimated is still far better than
    // dropping them. With no estimate at all, the boot sector that anchored the volume
    // decides; without one only resident data can be read anyway.
    int best = -1;
    for (int i = 0; i < 13; ++i)
      if (m_clusterHistogram[i] && (best < 0 || m_clusterHistogram[i] > m_clusterHistogram[best])) best = i;
    uint32_t c = best >= 0                 ? (1u << best)
                 : m_bootSectorsPerCluster ? m_bootSectorsPerCluster
                                           : m_ntfs->SectorsPerCluster();
    if (ApplyGeometry(bps, c, m_ntfs->RecordBytes(), m_volumeSectors)) {
      m_recompute = false;
      ResolvePending();
    }
  }
  if (m_anchored && !m_feeder.Stopped()) ResolveForeign();
  m_pendingSectors.clear();  // never placed on a volume: dropped
  m_foreignSectors.clear();
  uint64_t done = cur < to ? cur - from : span;
  progress += int(0.95 * double(done) * (100 - progress) / double(span));
  m_feeder.Finish();
  m_device->Close(1);
  sink->Notify(NE_PERCENT, 100, 0, nullptr);
  // A search that went to the end past unreadable sectors (its own or the dispatcher's)
  // is no plain success; a stopped one answers as stopped.
  if (!m_feeder.Stopped() && (unreadable || m_parent->ReadFailures() > 0)) return RC_READ_FAILED;
  return m_feeder.Result(RC_OK);
}

IScanOperator* CreateNtfsFormatScanner(IStorageDevice* device) {
  return new (std::nothrow) CNTFSFormat(device, nullptr, nullptr);
}
