#include "filesystems/format/ntfsformat.h"

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

void CNTFSFormat::ResolvePending() {
  std::vector<uint64_t> pending;
  pending.swap(m_pendingSectors);
  std::vector<uint8_t> record(m_ntfs->RecordBytes());
  for (uint64_t s : pending)
    if (ReadFixedRecord(m_device, *m_ntfs, s, record.data())) BuildFilesFromRecords(record.data(), s);
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
    ResolvePending();
    return;
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
  uint32_t recordBytes = bps < 1024 ? 1024 : bps;
  uint32_t spc = 1;
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
  uint64_t cur = 0;
  uint64_t badStep = 1;
  for (uint64_t advance = 0;; cur += advance) {
    uint64_t done = cur < end ? cur : end;
    int p = startBase + int(0.95 * (double(done) * (100 - startBase) / double(end)));
    if (p > 98) p = 98;
    if (sink->Notify(NE_PERCENT, p, 0, nullptr) != 0) {
      m_feeder.Stop();
      break;
    }
    sink->Notify(NE_SECTORS, int64_t(cur), int64_t(end), nullptr);
    if (cur >= end) break;
    uint32_t main = uint32_t(end - cur < kBatchSectors ? end - cur : kBatchSectors);
    uint32_t want = uint32_t(end - cur < uint64_t(main) + spr ? end - cur : uint64_t(main) + spr);
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
  }
  if (m_recompute && !m_mftSearch && !m_pendingSectors.empty()) {
    // No three neighbours agreed: the size most records estimated is still far better than
    // dropping them; with no estimate at all only resident data can be read anyway.
    int best = -1;
    for (int i = 0; i < 13; ++i)
      if (m_clusterHistogram[i] && (best < 0 || m_clusterHistogram[i] > m_clusterHistogram[best])) best = i;
    uint32_t c = best >= 0 ? (1u << best) : m_ntfs->SectorsPerCluster();
    if (ApplyGeometry(bps, c, m_ntfs->RecordBytes(), m_volumeSectors)) {
      m_recompute = false;
      ResolvePending();
    }
  }
  m_pendingSectors.clear();  // never placed on a volume: dropped
  uint64_t done = cur < end ? cur : end;
  progress += int(0.95 * double(done) * (100 - progress) / double(end));
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
