#include "contrib/fatrecover.h"

#include <algorithm>
#include <new>

#include "common/inc/ifilemanager.h"
#include "common/inc/inotifysink.h"
#include "common/inc/kestrum_types.h"
#include "common/inc/seams.h"
#include "common/layout/fat_dirent.h"
#include "contrib/fatscanparam.h"
#include "filemanager/fileinfo.h"
#include "graphfs/graphfs.h"

using fatrec::FatInspector;
using fatrec::FatItem;

namespace {

// Graph ids live above every 32-bit value, so no cluster number can meet the graph's
// orphan folder id; files without a cluster get ids of their own further up.
const int64_t kClusterIdBase = int64_t(1) << 32;
const int64_t kEmptyIdBase = int64_t(2) << 32;
const int64_t kFat16RootId = kClusterIdBase - 1;
const size_t kMaxName = 260;
// Items go out once more than 50 were added; the results tree's stop answer ends only the
// hand-out under way. A stop by the sink keeps back what the graph still holds and ends the
// scan with 2.
const GFS::FeedRules kFeedRules = {50, GFS::kAnswerEndsWalk, false, 2};

bool ValidDate(uint16_t d) {
  int y, m, day;
  return fat::DosDateParts(d, &y, &m, &day);
}

}  // namespace

CFatFormat::CFatFormat() : m_feeder(kFeedRules) {}

CFatFormat::~CFatFormat() { delete m_param; }

int CFatFormat::SetDevice(IStorageDevice* device) {
  m_device = device;
  return 0;
}

int CFatFormat::SetFatType(int fatType) {
  if (fatType != fatrec::FT_FAT16 && fatType != fatrec::FT_FAT32) return -1;
  m_info.ft = fatrec::FatType(fatType);
  return 0;
}

int CFatFormat::GetScanParam(IScanParam** out) {
  if (!out) return RC_BAD_ARGUMENT;
  if (!m_param) m_param = new (std::nothrow) CFATScanParam(this);
  *out = m_param;
  return m_param ? 0 : RC_NO_MEMORY;
}

int CFatFormat::GetScanType() { return m_info.ft == fatrec::FT_FAT32 ? Scan_FormatFat32 : Scan_FormatFat16; }

int64_t CFatFormat::DirId(uint32_t cluster) const { return kClusterIdBase + cluster; }

uint32_t CFatFormat::HighestCluster() const {
  int64_t start = m_inspector ? m_inspector->ClusterToOffset(2) : -1;
  if (start < 0 || m_info.clusterSize <= 0 || m_info.deviceSize <= start) return 0;
  int64_t n = (m_info.deviceSize - start) / m_info.clusterSize + 1;
  return n > 0x0FFFFFF6 ? 0x0FFFFFF6u : uint32_t(n);
}

int CFatFormat::Scan(INotifySink* sink) {
  if (!m_device || (m_info.ft != fatrec::FT_FAT16 && m_info.ft != fatrec::FT_FAT32)) return -1;
  bool started = m_feeder.Start(m_pFileManager, &CFatFormat::AddNodeToManager, nullptr, fatrec::ReleaseItem,
                                this, m_device->GetDevice());
  m_inspector.reset(new (std::nothrow) FatInspector(m_device));
  if (!started || !m_inspector) return -1;
  m_sink = sink;
  m_phase = -1.0f;
  m_lastPercent = 0;
  m_lastEightMiB = -1;
  m_inspector->SetProgress([this](int64_t done, int64_t total) { return OnProgress(done, total); });
  m_inspector->SetContinuationTest([this](const uint8_t* e) {
    Trail t;
    return FindTrail(e, &t, false);
  });

  auto finish = [this](int rc) {
    m_feeder.Discard();
    return rc;
  };
  bool voted = false;
  if (!m_inspector->Inspect(&m_info)) {
    // Neither folders nor a boot sector place the volume: the files still may.
    uint64_t size = 0;
    if (!m_pFileManager || m_device->GetSize(&size) != 0 || size == 0 || size > uint64_t(INT64_MAX)) return finish(-1);
    fatrec::FatType ft = m_info.ft;
    m_info = fatrec::FatInfo();
    m_info.ft = ft;
    m_info.sectorSize = 512;
    m_info.deviceSize = int64_t(size);
    m_info.rootEntries = 512;
    VoteByFiles();
    voted = true;
    if (m_info.clusterSize <= 0) return finish(-1);
  }

  if (!m_pFileManager) return finish(-1);
  if (!voted && LaidOutAsFat16()) {
    // Read as the FAT16 volume it is: its root is the fixed area before the first cluster,
    // not the first cluster (which holds a folder).
    fatrec::FatInfo fi = m_info;
    fi.ft = fatrec::FT_FAT16;
    fi.rootEntries = 512;
    fi.rootCluster = 2;
    fi.numFats = 0;
    fi.fatSize = 0;
    fi.fatOffset = m_inspector->ClusterToOffset(2) - 512 * 32;
    m_info = fi;
    m_inspector->SetInfo(m_info);
  }
  if (sink) {
    sink->Notify(NE_STARTED, 0, 0, nullptr);
    m_pFileManager->SetNotifySink(sink);
  }
  int clusterBytes = 0, sectorSize = 0;
  uint64_t size = 0;
  if (m_device->GetClusterInfo(&clusterBytes, &sectorSize) != 0 || sectorSize <= 0 ||
      m_device->GetSize(&size) != 0 || size == 0)
    return finish(-1);
  m_devSector = sectorSize;
  m_totalSectors = int64_t(size / uint64_t(sectorSize));

  m_parser = fat::FatDirParser(m_info.ft == fatrec::FT_FAT32 ? fat::kFat32 : fat::kFat16);
  m_items.Init(0, 0);
  m_trails.clear();
  m_prevCluster = -1;
  m_prevOpen = false;
  m_emptyIds = 0;
  if (!voted) VoteByFiles();
  WalkPresent();
  if (ReadRoot() != 0) return finish(-1);

  m_phase = float(m_lastPercent) * 0.5f / 100.0f;
  int64_t pos = m_inspector->ClusterToOffset(2);
  const int64_t limit = m_info.deviceSize;
  const uint32_t step = uint32_t(m_info.clusterSize);
  while (pos >= 0 && !m_feeder.Stopped()) {
    int64_t found = 0;
    int r = m_inspector->FindDirCluster(pos, limit, step, &found);
    if (r == FatInspector::kDotCluster || r == FatInspector::kDirLike) {
      ProcessCluster(found, r == FatInspector::kDotCluster);
    } else if (r == FatInspector::kUnreadable) {
      // A bad cluster is passed over; the rest of the device may still hold directories.
    } else {
      if (r == FatInspector::kStopped) m_feeder.Stop();
      break;
    }
    pos = found + step;
  }
  if (!m_feeder.Stopped()) {
    NameLostFolders();
    HandOutPresent();
  }
  m_feeder.Finish();
  HandOutHeld();
  if (sink) sink->Notify(NE_FINISHED, 0, 0, nullptr);
  m_device->Close(1);
  // A search that went to the end past unreadable clusters says so.
  if (!m_feeder.Stopped() && m_inspector->ReadFailures() > 0) return RC_READ_FAILED;
  return m_feeder.Result(1);
}

int CFatFormat::ReadRoot() {
  uint32_t highest = HighestCluster();
  int64_t offset;
  size_t bytes;
  if (m_info.ft == fatrec::FT_FAT32) {
    if (m_info.rootCluster < 2 || m_info.rootCluster > highest) return -1;
    m_rootId = DirId(m_info.rootCluster);
    offset = m_inspector->ClusterToOffset(m_info.rootCluster);
    bytes = size_t(m_info.clusterSize);
  } else {
    m_rootId = kFat16RootId;
    offset = m_inspector->RootDirOffset();
    bytes = size_t(m_info.rootEntries) * 32;
  }
  if (bytes == 0 || offset < 0) return -1;
  int64_t at = FindRootPosition(offset);
  m_rootPosCluster = 0;
  if (m_info.ft == fatrec::FT_FAT32)
    m_rootPosCluster = uint32_t(m_info.rootCluster + uint32_t((at - offset) / m_info.clusterSize));
  try {
    m_buf.assign(bytes, 0);
  } catch (...) {
    return -1;
  }
  m_feeder.SetRoots(m_rootId, -1);
  m_parser.Reset();
  if (m_inspector->CachedRead(at, m_buf.data(), uint32_t(bytes)) != 0) {
    // An unreadable root costs its own entries only: the folders it named are still found
    // by the cluster search, under the orphan folder.
    int64_t failures = m_inspector->ReadFailures();
    return failures > 0 ? 0 : -1;
  }
  // The present volume's own folders (walked through its FAT instead) are no old root.
  if (m_twoLayouts && PresentOwns(at, int64_t(bytes), kOwnedFolders)) return 0;
  m_oldDirs.insert(m_rootId);
  // A leading volume label is passed over by the parse.
  ParseAt(m_buf.data(), bytes, m_rootId, at);
  if (m_info.ft == fatrec::FT_FAT32 && m_sameLayout && at == offset &&
      m_presentGeo.rootCluster == m_info.rootCluster) {
    // The present FAT holds the root's chain: its later clusters are read on from here.
    std::vector<uint32_t> rest = FolderChain(m_info.rootCluster);
    for (uint32_t c : rest) m_chainRest.insert(c);
    ParseChain(rest, m_rootId);
    m_prevCluster = m_rootPosCluster;
    m_prevDirId = m_rootId;
    return 0;
  }
  RememberTrail(m_buf.data(), bytes, m_rootId);
  if (m_info.ft == fatrec::FT_FAT32) {
    m_prevCluster = m_rootPosCluster;
    m_prevDirId = m_rootId;
  }
  return 0;
}

// A root directory begins with the volume label when the volume has one. Geometry found
// from directory clusters places the root only as far as a guessed root size allows, so
// the label is looked for up to nine clusters further on.
int64_t CFatFormat::FindRootPosition(int64_t offset) {
  const int64_t step = m_info.clusterSize;
  if (step <= 0) return offset;
  uint8_t first[32];
  for (int i = 0; i < 10; ++i) {
    int64_t at = offset + int64_t(i) * step;
    if (at > m_info.deviceSize - int64_t(sizeof first)) break;
    layout::FatDirEntry e;
    if (m_inspector->CachedRead(at, first, sizeof first) != 0 || !layout::DecodeFatDirEntry(first, sizeof first, &e))
      continue;
    // A free or deleted slot's attribute byte says nothing.
    if (e.attributes == fat::kAttrVolume && e.name[0] != 0x00 && e.name[0] != fat::kDeletedMark) return at;
  }
  return offset;
}

void CFatFormat::ProcessCluster(int64_t pos, bool dots) {
  int64_t start = m_inspector->ClusterToOffset(2);
  const int64_t c = m_info.clusterSize;
  if (start < 0 || pos < start || c <= 0) return;
  int64_t k = (pos - start) / c + 2;
  if (k > int64_t(HighestCluster())) return;
  if (m_info.ft == fatrec::FT_FAT32 && k == int64_t(m_rootPosCluster)) return;  // parsed as the root
  if (m_chainRest.count(uint32_t(k))) {
    // Read with the first cluster of its folder, whichever the search meets first.
    m_prevOpen = false;
    m_prevCluster = k;
    return;
  }
  auto walked = m_walkedRest.find(uint32_t(k));
  if (walked != m_walkedRest.end()) {
    // A later cluster of a folder the present tree reaches, whose first cluster no longer
    // shows its "." entries: the folder's later clusters are read here, in chain order.
    const uint32_t first = walked->second;
    std::vector<uint32_t> rest = FolderChain(first);
    for (uint32_t c : rest) {
      m_chainRest.insert(c);
      m_walkedRest.erase(c);
    }
    m_parser.Reset();
    m_prevOpen = false;
    m_dirEnded = false;
    ParseChain(rest, DirId(first));
    m_prevCluster = k;
    return;
  }
  try {
    m_buf.assign(size_t(c), 0);
  } catch (...) {
    return;
  }
  if (m_inspector->CachedRead(pos, m_buf.data(), uint32_t(c)) != 0) return;
  if (m_twoLayouts) {
    bool present = PresentOwns(pos, c, kOwnedFolders);
    if (dots && !present) {
      // A folder's "." entry names its own cluster, under the layout of the volume it
      // belongs to; a folder the present volume made and deleted again is no old one.
      layout::FatDirEntry dot;
      if (layout::DecodeFatDirEntry(m_buf.data(), m_buf.size(), &dot)) {
        uint32_t self = dot.FirstCluster(m_info.ft == fatrec::FT_FAT32);
        bool oldSelf = int64_t(self) == k;
        bool newSelf = m_presentGeo.IsDataCluster(self) && int64_t(m_presentGeo.ClusterOffset(self)) == pos;
        present = newSelf && !oldSelf;
        if (oldSelf && !newSelf && !PresentOwns(pos, 64)) m_oldDirs.insert(DirId(uint32_t(k)));
      }
    }
    if (present) {
      m_prevOpen = false;
      m_prevCluster = k;
      return;
    }
  }
  int64_t dirId;
  if (dots) {
    dirId = DirId(uint32_t(k));
    m_parser.Reset();
    ParseAt(m_buf.data() + 64, size_t(c) - 64, dirId, pos + 64);
    auto rest = m_folderRests.find(uint32_t(k));
    if (rest != m_folderRests.end()) {
      ParseChain(rest->second, dirId);
      m_prevCluster = k;
      m_prevDirId = dirId;
      return;
    }
  } else {
    Trail trail;
    if (k == m_prevCluster + 1 && m_prevOpen) {
      dirId = m_prevDirId;  // the next cluster of the directory just parsed
    } else if (FindTrail(m_buf.data(), &trail, true)) {
      dirId = trail.dirId;
      m_parser.Reset();
      m_untold = false;  // long-name entries alone: they name, they place nothing
      Parse(trail.entries.data(), trail.entries.size(), dirId);
    } else {
      dirId = DirId(uint32_t(k));
      m_parser.Reset();
      // A later cluster of a folder whose chain went with the old FAT: where the present
      // volume has not written and an entry in it is still in use (the present volume's
      // folders it deleted have theirs deleted with them), it is the old volume's.
      if (m_twoLayouts && !m_presentFatLost && HoldsLiveEntry(m_buf.data(), m_buf.size()) &&
          !PresentOwns(pos, c))
        m_oldDirs.insert(dirId);
    }
    ParseAt(m_buf.data(), size_t(c), dirId, pos);
  }
  RememberTrail(m_buf.data(), size_t(c), dirId);
  m_prevCluster = k;
  m_prevDirId = dirId;
}

void CFatFormat::Parse(const uint8_t* p, size_t len, int64_t dirId) {
  auto r = m_parser.Feed(p, len, [this, dirId](const fat::FatDirItem& it) { return TakeItem(it, dirId); });
  m_prevOpen = r == fat::FatDirParser::kMore;
  m_dirEnded = r == fat::FatDirParser::kEnd;
}

void CFatFormat::ParseChain(const std::vector<uint32_t>& rest, int64_t dirId) {
  const uint32_t cb = uint32_t(m_info.clusterSize);
  std::vector<uint8_t> buf;
  for (uint32_t c : rest) {
    if (m_dirEnded || m_feeder.Stopped()) break;
    // An entry that ends the parse of its cluster leaves the next cluster to be read afresh.
    if (!m_prevOpen) m_parser.Reset();
    int64_t pos = m_inspector->ClusterToOffset(c);
    try {
      buf.assign(cb, 0);
    } catch (...) {
      break;
    }
    if (pos < 0 || m_inspector->CachedRead(pos, buf.data(), cb) != 0) {
      m_prevOpen = false;
      continue;
    }
    ParseAt(buf.data(), cb, dirId, pos);
  }
  m_prevOpen = false;
}

void CFatFormat::ParseAt(const uint8_t* p, size_t len, int64_t dirId, int64_t pos) {
  m_untold = false;
  m_inPresent = false;
  if (!m_twoLayouts && !m_sameLayout) {
    Parse(p, len, dirId);
    return;
  }
  // Piece by piece along the present volume's clusters: an entry in one that the present
  // volume wrote may be its bytes, not an old entry.
  const int64_t data = int64_t(m_presentGeo.dataOffset), cb = m_presentGeo.clusterBytes;
  size_t done = 0;
  while (done < len) {
    int64_t at = pos + int64_t(done);
    int64_t next = at < data ? data : data + ((at - data) / cb + 1) * cb;
    size_t piece = size_t(std::min<int64_t>(int64_t(len - done), next - at));
    piece -= piece % fat::kEntrySize;
    if (piece == 0) piece = std::min(len - done, fat::kEntrySize);
    if (m_sameLayout) {
      // The present volume's folders are read like any other. A cluster it wrote and freed
      // again may hold a folder it deleted, whose entries are its own.
      m_inPresent = PresentOwns(at, int64_t(piece), kOwnedFolders);
      m_untold = !m_inPresent && PresentOwns(at, int64_t(piece), kOwnedInUse);
      // A cluster in use whose files in use each begin a chain of their own length is a
      // folder of the present volume whose first cluster is lost.
      if (m_untold && !m_reformatted && FilesFollowTheirChains(p + done, piece)) {
        m_untold = false;
        m_inPresent = true;
      }
    } else {
      m_untold = PresentOwns(at, int64_t(piece));
    }
    Parse(p + done, piece, dirId);
    if (!m_prevOpen) break;
    done += piece;
  }
  m_untold = false;
  m_inPresent = false;
}

void CFatFormat::RememberTrail(const uint8_t* cluster, size_t len, int64_t dirId) {
  size_t n = len / 32, k = 0;
  for (layout::FatLongNameEntry l; k < n && k < 20; ++k)
    if (!layout::DecodeFatLongNameEntry(cluster + (n - 1 - k) * 32, 32, &l) || l.attributes != fat::kAttrLongName) break;
  if (k == 0) return;
  const uint8_t* last = cluster + (n - 1) * 32;
  // The newest run wins a shared checksum: an older one has most likely been completed.
  uint8_t key = 0;
  if (!fat::FatEntryChecksum(last, &key)) return;
  Trail t;
  t.dirId = dirId;
  t.entries.assign(cluster + (n - k) * 32, cluster + n * 32);
  m_trails[key] = std::move(t);
}

bool CFatFormat::FindTrail(const uint8_t* e, Trail* out, bool take) {
  int key = -1;
  uint8_t sum = 0;
  layout::FatDirEntry d;
  std::u16string shortName;
  int tilde = fat::FatCompareTildeOne(e);
  if (tilde < 0) {
    // A run's later part carries the run's checksum.
    if (fat::FatIsLastLfnEntry(e) == 0 && fat::FatEntryChecksum(e, &sum)) key = sum;
  } else if (layout::DecodeFatDirEntry(e, fat::kEntrySize, &d) && d.attributes <= 0x3F &&
             !(d.attributes & fat::kAttrVolume) && fat::FatShortNameToString(e, &shortName) > 0 &&
             fat::FatEntryChecksum(e, &sum)) {
    // The short entry a run belongs to. Not only a "~1" tail: "~2" and later tails (names
    // sharing their first six characters) and names without a tail carry long names too.
    key = sum;
  }
  if (key < 0) return false;
  auto it = m_trails.find(uint8_t(key));
  if (it == m_trails.end()) return false;
  *out = it->second;
  if (take) m_trails.erase(it);  // a run is completed once
  return true;
}

void CFatFormat::RestoreHighWord(fat::FatDirItem* it) {
  // The FAT of a formatted volume tells nothing of the files before the format.
  fat::RestoreItemHighWord(it, m_items, nullptr, [this](uint32_t c, uint8_t* first) {
    int64_t off = m_inspector->ClusterToOffset(c);
    return off >= 0 && m_inspector->CachedRead(off, first, uint32_t(fat::kEntrySize)) == 0;
  });
}

bool CFatFormat::TakeItem(const fat::FatDirItem& src, int64_t dirId) {
  if (src.isDot) return true;
  if (src.attr == 0x22 || src.attr > 63) return true;
  // Times that cannot be are not a directory: the rest of the cluster is left alone.
  int64_t created = fat::FatDecodeCreateTime(src.entry), written = fat::FatDecodeWriteTime(src.entry);
  if (created == 0 || written == 0) return false;
  if (!ValidDate(src.writeDate) || (src.createDate != 0 && !ValidDate(src.createDate))) return false;
  fat::FatDirItem it = src;
  if (m_info.ft == fatrec::FT_FAT32) {
    if (it.deleted) RestoreHighWord(&it);
    // Only the entry parsed last counts; the layout is settled before the walk.
    m_items.Init(uint32_t(m_info.clusterSize), HighestCluster());
    m_items.Add(it.firstCluster, it.size);
  }
  if (it.name.empty() || it.name.size() > kMaxName) return true;
  m_feeder.Count();
  uint32_t highest = HighestCluster();
  bool inRange = it.firstCluster >= 2 && it.firstCluster <= highest;
  if (it.IsDirectory()) {
    // A live folder entry that names no cluster of its own (the root, its own folder, none
    // at all) lost its folder's first cluster.
    if (!it.deleted && (!inRange || DirId(it.firstCluster) == m_rootId || DirId(it.firstCluster) == dirId)) {
      if (m_sameLayout && m_strayEntries.size() < (1u << 16)) m_strayEntries.push_back({dirId, it.name});
      return true;
    }
    if (!inRange) return true;
    if (m_sameLayout && !it.deleted) m_namedDirs.insert(it.firstCluster);
    m_feeder.Graph()->AddNode(DirId(it.firstCluster), dirId, it.name.c_str(), nullptr, fatrec::KeepExisting);
    return true;
  }
  int64_t id;
  if (it.size == 0) {
    id = kEmptyIdBase + m_emptyIds++;
  } else {
    if (!inRange) return true;
    id = DirId(it.firstCluster);
  }
  FatItem* item = new (std::nothrow) FatItem();
  if (!item) return true;
  item->name = it.name;
  item->createTime = created;
  item->writeTime = written;
  item->size = it.size;
  item->firstCluster = it.firstCluster;
  item->parentId = dirId;
  item->created = uint64_t(src.createDate) << 24 | uint32_t(src.createTime) << 8 | src.entry[13];
  item->kind = (it.deleted ? fatrec::kItemDeleted : 0) | (m_untold ? fatrec::kItemUntold : 0) |
               (m_inPresent ? fatrec::kItemPresent : 0);
  if (m_feeder.Graph()->AddNamedNode(id, dirId, it.name.c_str(), item, fatrec::KeepLaterCreated) < 0) delete item;
  return true;
}

int CFatFormat::AddNodeToManager(const char16_t* folder, const char16_t* name, void* payload, void* user, int) {
  CFatFormat* self = static_cast<CFatFormat*>(user);
  const FatItem* item = static_cast<FatItem*>(payload);
  bool hold = false;
  IFileInfo* file = self->FileFromItem(name, item, &hold);
  if (hold) {
    try {
      Held h;
      h.folder = folder ? folder : u"";
      h.name = name ? name : u"";
      h.item = *item;
      self->m_held.push_back(std::move(h));
    } catch (...) {
      // Without room to weigh it against the others, its clusters may be another's: it is
      // listed without data rather than with bytes that may not be its own.
      return self->m_feeder.Add(folder, NewFileInfo(name, *item, nullptr));
    }
    return 0;
  }
  return self->m_feeder.Add(folder, file);
}

IFileInfo* CFatFormat::FileFromItem(const char16_t* name, const FatItem* item, bool* hold) const {
  if (hold) *hold = false;
  if (!item) return nullptr;
  RunList* runs = nullptr;
  bool taken = false;  // another file's entry or the present volume holds its clusters
  if (item->size > 0) {
    if (m_devSector <= 0) return nullptr;
    int64_t off = m_inspector ? m_inspector->ClusterToOffset(item->firstCluster) : -1;
    if (off < 0) return nullptr;
    int64_t start = off / m_devSector;
    int64_t count = (int64_t(item->size) + m_devSector - 1) / m_devSector;
    if (start > m_totalSectors || count > m_totalSectors - start) return nullptr;
    // With two volumes on the device, a file keeps its bytes only in clusters the present
    // volume has not written, and only when its folder is shown to be the old volume's or
    // the file proves its own head and end where the old layout puts it.
    const int64_t c = m_info.clusterSize;
    // The clusters its size fills, and their bytes; none without a cluster size.
    const int64_t clusters = c > 0 ? (int64_t(item->size) + c - 1) / c : 0, bytes = clusters * c;
    bool keep;
    Runs chain;
    if (m_sameLayout) {
      keep = SameLayoutRuns(*item, off, &chain, &taken);
      if (m_reformatted && !(item->kind & (fatrec::kItemDeleted | fatrec::kItemPresent)) && c > 0) {
        // A file the old volume still listed held its clusters until the format: no entry it
        // had deleted before keeps its bytes there.
        try {
          m_oldLive.Add(item->firstCluster, uint32_t(clusters));
        } catch (...) {
        }
      }
    } else if (!m_twoLayouts) {
      keep = !m_checkFiles || DataStillThere(*item, off);
      taken = !keep && PresentWrote(off, bytes);
    } else if (m_presentFatLost || c <= 0 || (item->kind & fatrec::kItemUntold) ||
               PresentOwns(off, bytes)) {
      keep = false;
      // Past the first three tests, it is the present volume that holds its clusters.
      taken = !m_presentFatLost && c > 0 && !(item->kind & fatrec::kItemUntold);
    } else if (m_oldDirs.count(item->parentId)) {
      keep = !m_checkFiles || DataStillThere(*item, off);
      taken = !keep && PresentWrote(off, bytes);
    } else {
      keep = DataStillThere(*item, off, true);
      taken = !keep && PresentWrote(off, bytes);
    }
    if (keep && m_sameLayout && chain.empty() && (item->kind & fatrec::kItemDeleted)) {
      if (hold && MayShareClusters(*item)) {
        // Its one piece waits for the other deleted entries: one names clusters it covers.
        *hold = true;
        return nullptr;
      }
      try {
        m_deletedOut.Add(item->firstCluster, uint32_t(clusters));
      } catch (...) {
      }
    }
    if (keep) {
      runs =
          chain.empty() ? new (std::nothrow) RunList(uint64_t(start), uint32_t(count)) : MakeRunList(chain);
      if (!runs) return nullptr;
    }
  }
  return NewFileInfo(name, *item, runs, taken);
}

IFileInfo* CFatFormat::NewFileInfo(const char16_t* name, const FatItem& item, RunList* runs, bool taken) {
  CFileInfo* info = new (std::nothrow) CFileInfo();
  if (!info) {
    if (runs) runs->Release();
    return nullptr;
  }
  info->SetName(name);
  if (runs) info->SetRunList(runs);
  info->SetSize(int64_t(item.size));
  info->SetTimes(uint64_t(item.createTime), uint64_t(item.writeTime));
  if (item.kind & fatrec::kItemDeleted) info->AddFlags(FF_FORMATTED);
  // A file whose bytes cannot be shown to be its own is listed without data.
  if (item.size > 0 && !runs) info->AddFlags(taken ? FF_NODATA | FF_OVERWRITTEN : FF_NODATA);
  return info;
}

int CFatFormat::OnProgress(int64_t done, int64_t total) {
  // Without a sink the graph is handed over whole at the end of the search.
  if (!m_sink) return 0;
  if (total > 0) {
    int p = int(done * 100 / total);
    if (p != m_lastPercent) {
      m_lastPercent = p;
      int value = m_phase > -0.01f ? int(float(p) + float(100 - p) * m_phase) : int(float(p) * 0.5f);
      m_sink->Notify(NE_PERCENT, value, 0, nullptr);
    }
    int64_t block = done / 0x800000;
    if (block != m_lastEightMiB) {
      m_lastEightMiB = block;
      if (m_sink->Notify(NE_SECTORS, done / 512, total / 512, nullptr) != 0 ||
          m_sink->Notify(NE_CANCEL_POLL, 0, 0, nullptr) != 0) {
        m_feeder.Stop();
        return 1;
      }
    }
  }
  // Items are counted only from the root on, so nothing is due before the graph has its roots.
  m_feeder.FlushIfDue();
  return 0;
}

IScanOperator* CreateFatFormatScanner(IStorageDevice* device, int fatType) {
  CFatFormat* f = new (std::nothrow) CFatFormat();
  if (!f) return nullptr;
  f->SetDevice(device);
  if (f->SetFatType(fatType) != 0) {
    delete f;
    return nullptr;
  }
  return f;
}
