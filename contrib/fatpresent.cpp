// The present volume of a FAT volume formatted again: its tree is walked through its own
// boot sector and FAT, and what it holds is kept apart from the old folders the search
// finds. With another layout its files are handed out here with the clusters their chains
// name; with the same layout the search lists them, and the present FAT tells which old
// entries name clusters its files took.
#include <algorithm>
#include <new>

#include "common/inc/kestrum_types.h"
#include "common/layout/fat_dirent.h"
#include "contrib/fatrecover.h"
#include "filemanager/fileinfo.h"

namespace {

// A folder holds at most 65536 entries.
const uint64_t kMaxDirBytes = 65536ull * 32;
const size_t kMaxPresentFiles = size_t(1) << 22;
// Sectors of one run, kept well inside the run's 32-bit count.
const uint64_t kMaxRunSectors = 0x40000000ull;
const int kMaxDepth = 64;

// The present volume's cluster sets keep one bit a cluster.
void SetClusterBit(std::vector<uint8_t>& bits, uint64_t c) { bits[size_t(c >> 3)] |= uint8_t(1u << (c & 7)); }
bool ClusterBit(const std::vector<uint8_t>& bits, uint64_t c) {
  return (bits[size_t(c >> 3)] & (1u << (c & 7))) != 0;
}

}  // namespace

void CFatFormat::WalkPresent() {
  m_twoLayouts = false;
  m_sameLayout = false;
  m_presentFatLost = false;
  m_presentUsed.clear();
  m_presentGone.clear();
  m_presentDirs.clear();
  m_presentTails.clear();
  m_presentFiles.clear();
  m_presentDirsSeen.clear();
  m_oldDirs.clear();
  m_presentFat.reset();
  const bool fat32 = m_info.ft == fatrec::FT_FAT32;
  uint64_t size = 0;
  if (m_devSector <= 0 || m_device->GetSize(&size) != 0 || size == 0) return;
  uint8_t boot[512];
  fat::FatGeometry g;
  if (m_inspector->CachedRead(0, boot, sizeof boot) != 0 ||
      fat::ParseFatBoot(boot, sizeof boot, fat32 ? fat::kFat32 : fat::kFat16, size, &g) != 0)
    return;
  const bool same = int64_t(g.clusterBytes) == m_info.clusterSize &&
                    int64_t(g.dataOffset) == m_inspector->ClusterToOffset(2);
  m_presentGeo = g;
  m_presentFat.reset(new (std::nothrow) fat::FatTable());
  try {
    m_presentUsed.assign(size_t(g.maxCluster / 8) + 1, 0);
    m_presentGone.assign(m_presentUsed.size(), 0);
    m_presentDirs.assign(m_presentUsed.size(), 0);
  } catch (...) {
    m_presentUsed.clear();
  }
  bool sound = m_presentFat && !m_presentUsed.empty() && m_presentFat->Init(m_device, g);
  const uint32_t mask = fat32 ? 0x0FFFFFFFu : 0xFFFFu;
  uint32_t v = 0;
  // With one layout for both volumes, a damaged FAT must not take the old files' bytes
  // away: only one whose first entry holds the media byte over set bits is believed.
  if (sound && same) sound = m_presentFat->Get(0, &v) && (v | 0xFFu) == mask && (v & 0xFFu) >= 0xF0u;
  const uint64_t width = g.kind == fat::kFat16 ? 2 : 4;
  for (uint32_t c = 2; sound && c <= g.maxCluster; ++c) {
    // A FAT a little short of its clusters (the boot check allows a sector) leaves the
    // last ones free.
    if ((uint64_t(c) + 1) * width > g.fatBytes) break;
    sound = m_presentFat->Get(c, &v);
    if (sound && v != 0) SetClusterBit(m_presentUsed, c);
  }
  if (same) {
    // Without a FAT to go by, the search reads the volume as it always did.
    if (!sound) {
      m_presentFat.reset();
      return;
    }
    m_sameLayout = true;
  } else {
    m_twoLayouts = true;
    if (!sound) {
      m_presentFatLost = true;
      return;
    }
  }
  WalkPresentDir(u"", fat32 ? g.rootCluster : 0, 0);
}

void CFatFormat::WalkPresentDir(const std::u16string& folder, uint32_t first, int depth) {
  const fat::FatGeometry& g = m_presentGeo;
  if (depth > kMaxDepth || m_presentFiles.size() >= kMaxPresentFiles) return;
  std::vector<std::pair<uint64_t, uint32_t>> pieces;  // byte offset, bytes
  if (first == 0) {
    if (g.rootDirBytes == 0 || g.rootDirBytes >= fatrec::FAT_CACHE_SIZE) return;
    pieces.push_back({g.rootDirOffset, uint32_t(g.rootDirBytes)});
  } else {
    if (!m_presentDirsSeen.insert(first).second) return;  // a folder named twice, or a loop
    bool clean = false;
    for (uint32_t c : fat::FollowChain(*m_presentFat, first, uint32_t(kMaxDirBytes / g.clusterBytes + 1), &clean)) {
      pieces.push_back({g.ClusterOffset(c), g.clusterBytes});
      SetClusterBit(m_presentDirs, c);
    }
  }
  fat::FatDirParser parser(g.kind);
  std::vector<std::pair<std::u16string, uint32_t>> subdirs;
  std::vector<uint8_t> buf;
  // n clusters from first, as far as they lie in the data area.
  auto markGone = [&](uint64_t first, uint64_t n) {
    for (uint64_t c = first; n > 0 && g.IsDataCluster(c); ++c, --n) SetClusterBit(m_presentGone, c);
  };
  auto take = [&](const fat::FatDirItem& it) {
    if (it.isDot || (it.attr & fat::kAttrVolume) || it.attr > 0x3F) return true;
    if (it.deleted) {
      // What the present volume wrote and deleted again is free in its FAT but no longer
      // the old volume's: its clusters, as far as the entry tells them, count as written.
      markGone(it.firstCluster,
               it.IsDirectory() ? 1 : (uint64_t(it.size) + g.clusterBytes - 1) / g.clusterBytes);
      return true;
    }
    if (it.name.empty()) return true;
    if (it.IsDirectory()) {
      if (g.IsDataCluster(it.firstCluster)) subdirs.push_back({it.name, it.firstCluster});
      return true;
    }
    const uint64_t need = (uint64_t(it.size) + g.clusterBytes - 1) / g.clusterBytes;
    bool clean = false;
    std::vector<uint32_t> chain;
    if (need > 0 && g.IsDataCluster(it.firstCluster))
      chain = fat::FollowChain(*m_presentFat, it.firstCluster, uint32_t(std::min<uint64_t>(need, g.maxCluster)), &clean);
    const bool whole = need > 0 && chain.size() == need;
    if (!whole) {
      // Its clusters are unknown past the break; those it would fill in one piece count
      // as written, so that no old file is read out of them.
      markGone(it.firstCluster, need);
    }
    uint32_t tail = it.size % g.clusterBytes;
    if (whole && tail != 0) {
      tail = std::min(g.clusterBytes, (tail + 511) / 512 * 512);
      m_presentTails[chain.back()] = tail;
    }
    // With one layout the search lists the present files itself.
    if (!m_twoLayouts) return true;
    if (m_presentFiles.size() >= kMaxPresentFiles) return false;
    PresentFile f;
    f.folder = folder;
    f.name = it.name;
    f.size = it.size;
    f.createTime = fat::FatDecodeCreateTime(it.entry);
    f.writeTime = fat::FatDecodeWriteTime(it.entry);
    f.whole = whole && PresentRuns(chain, &f.runs);
    if (!f.whole) f.runs.clear();
    m_presentFiles.push_back(std::move(f));
    return true;
  };
  for (const auto& piece : pieces) {
    try {
      buf.assign(piece.second, 0);
    } catch (...) {
      return;
    }
    if (m_inspector->CachedRead(int64_t(piece.first), buf.data(), piece.second) != 0) break;
    if (parser.Feed(buf.data(), buf.size(), take) != fat::FatDirParser::kMore) break;
  }
  for (const auto& sub : subdirs) WalkPresentDir(folder + u"/" + sub.first, sub.second, depth + 1);
}

bool CFatFormat::PresentOwns(int64_t offset, int64_t bytes, Owned which) const {
  if (!(m_twoLayouts || m_sameLayout) || bytes <= 0 || offset < 0) return false;
  const fat::FatGeometry& g = m_presentGeo;
  // Its boot region, FATs and (FAT16) root were written by the format.
  if (uint64_t(offset) < g.dataOffset) return true;
  if (m_presentFatLost) return false;
  const uint64_t cb = g.clusterBytes;
  uint64_t first = (uint64_t(offset) - g.dataOffset) / cb + 2;
  uint64_t last = (uint64_t(offset) + uint64_t(bytes) - 1 - g.dataOffset) / cb + 2;
  for (uint64_t c = first; c <= last && c <= g.maxCluster; ++c) {
    if (which == kOwnedFolders) {
      if (ClusterBit(m_presentDirs, c)) return true;
      continue;
    }
    if (which == kOwnedAll && ClusterBit(m_presentGone, c)) return true;
    if (!ClusterBit(m_presentUsed, c)) continue;
    // Only the written part of a file's last cluster counts.
    auto t = m_presentTails.find(uint32_t(c));
    if (t == m_presentTails.end() || uint64_t(offset) < g.ClusterOffset(uint32_t(c)) + t->second) return true;
  }
  return false;
}

bool CFatFormat::PresentRuns(const std::vector<uint32_t>& chain, Runs* runs) const {
  const fat::FatGeometry& g = m_presentGeo;
  const uint64_t ds = uint64_t(m_devSector);
  runs->clear();
  if (ds == 0 || g.clusterBytes % ds != 0) return false;
  const uint64_t count = g.clusterBytes / ds;
  for (uint32_t c : chain) {
    uint64_t off = g.ClusterOffset(c);
    if (off % ds != 0 || off / ds + count > uint64_t(m_totalSectors)) return false;
    uint64_t start = off / ds;
    if (!runs->empty() && runs->back().first + runs->back().second == start &&
        runs->back().second + count <= kMaxRunSectors)
      runs->back().second += uint32_t(count);
    else
      runs->push_back({start, uint32_t(count)});
  }
  return !runs->empty();
}

bool CFatFormat::PresentFileRuns(uint32_t first, uint32_t size, Runs* runs) const {
  const fat::FatGeometry& g = m_presentGeo;
  const uint64_t need = (uint64_t(size) + g.clusterBytes - 1) / g.clusterBytes;
  if (!m_presentFat || need == 0 || !g.IsDataCluster(first)) return false;
  bool clean = false;
  std::vector<uint32_t> chain =
      fat::FollowChain(*m_presentFat, first, uint32_t(std::min<uint64_t>(need, g.maxCluster)), &clean);
  if (chain.size() != need) {
    // A chain the FAT breaks off (a damaged FAT): the file is taken as one piece when that
    // piece holds the chain as far as it goes and clusters the FAT leaves free beyond it.
    for (uint64_t i = 0; i < need; ++i) {
      uint64_t c = uint64_t(first) + i;
      if (!g.IsDataCluster(c)) return false;
      bool own = i < chain.size() && chain[size_t(i)] == c;
      if (!own && (i < chain.size() || ClusterBit(m_presentUsed, c))) return false;
    }
    chain.clear();
    for (uint64_t i = 0; i < need; ++i) chain.push_back(uint32_t(first + i));
  }
  return PresentRuns(chain, runs);
}

bool CFatFormat::SameLayoutRuns(const fatrec::FatItem& item, int64_t offset, Runs* runs) const {
  const int64_t c = m_info.clusterSize;
  runs->clear();
  if (c <= 0 || (item.kind & fatrec::kItemUntold)) return false;
  const bool deleted = (item.kind & fatrec::kItemDeleted) != 0;
  // A live file of a present folder: its chain names its clusters.
  if ((item.kind & fatrec::kItemPresent) && !deleted)
    return PresentFileRuns(item.firstCluster, item.size, runs);
  // Any other entry gets its one piece only where the present volume has not written. A
  // deleted entry of a present folder is one of those that wrote there: only the FAT
  // counts against it.
  const int64_t bytes = (int64_t(item.size) + c - 1) / c * c;
  if (PresentOwns(offset, bytes, (item.kind & fatrec::kItemPresent) ? kOwnedInUse : kOwnedAll)) return false;
  return !m_checkFiles || DataStillThere(item, offset);
}

RunList* CFatFormat::MakeRunList(const Runs& runs) {
  RunList* head = nullptr;
  RunList* tail = nullptr;
  try {
    for (const auto& r : runs)
      tail = tail ? tail->Append(r.first, r.second) : (head = new RunList(r.first, r.second));
  } catch (...) {
    if (head) head->Release();
    head = nullptr;
  }
  return head;
}

void CFatFormat::HandOutPresent() {
  for (const PresentFile& f : m_presentFiles) {
    if (m_feeder.Stopped()) return;
    CFileInfo* info = new (std::nothrow) CFileInfo();
    if (!info) return;
    info->SetName(f.name.c_str());
    info->SetSize(int64_t(f.size));
    info->SetTimes(uint64_t(f.createTime), uint64_t(f.writeTime));
    RunList* runs = MakeRunList(f.runs);
    if (runs) info->SetRunList(runs);
    else if (f.size > 0) info->AddFlags(FF_NODATA);  // its chain is broken: no bytes to trust
    std::u16string folder = u"/Volume" + f.folder;
    m_feeder.Add(folder.c_str(), info);
  }
}
