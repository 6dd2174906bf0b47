// The present volume of a FAT volume formatted again: its tree is walked through its own
// boot sector and FAT, and what it holds is kept apart from the old folders the search
// finds. With another layout its files are handed out here with the clusters their chains
// name; with the same layout the search lists them, and the present FAT tells which old
// entries name clusters its files took.
#include <algorithm>
#include <cstring>
#include <new>
#include <unordered_map>
#include <unordered_set>

#include "common/inc/bytes.h"
#include "common/inc/kestrum_types.h"
#include "common/layout/fat_boot.h"
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
  m_reformatted = false;
  m_presentUsed.clear();
  m_presentGone.clear();
  m_presentFill.clear();
  m_presentLinked.clear();
  m_presentDirs.clear();
  m_presentTails.clear();
  m_presentFiles.clear();
  m_presentDirsSeen.clear();
  m_presentClaims.clear();
  m_chainRest.clear();
  m_folderRests.clear();
  m_walkedRest.clear();
  m_oldDirs.clear();
  m_held.clear();
  m_oldLive.Clear();
  m_deletedOut.Clear();
  m_seenReach.clear();
  m_lostFolders.clear();
  m_strayEntries.clear();
  m_namedDirs.clear();
  m_presentFat.reset();
  const bool fat32 = m_info.ft == fatrec::FT_FAT32;
  uint64_t size = 0;
  if (m_devSector <= 0 || m_device->GetSize(&size) != 0 || size == 0) return;
  uint8_t boot[512];
  fat::FatGeometry g;
  const bool bootRead = m_inspector->CachedRead(0, boot, sizeof boot) == 0;
  if (!bootRead || fat::ParseFatBoot(boot, sizeof boot, fat32 ? fat::kFat32 : fat::kFat16, size, &g) != 0) {
    // A boot sector of another kind (FAT12) is no damage to make up for.
    layout::FatBootSector other;
    if (bootRead && layout::DecodeFatBootSector(boot, sizeof boot, &other) &&
        layout::FatBootSectorSane(other))
      return;
    if (!PresentGeometryWithoutBoot(&g)) return;
  }
  const bool same = int64_t(g.clusterBytes) == m_info.clusterSize &&
                    int64_t(g.dataOffset) == m_inspector->ClusterToOffset(2);
  m_presentGeo = g;
  m_presentFat.reset(new (std::nothrow) fat::FatTable());
  try {
    m_presentUsed.assign(size_t(g.maxCluster / 8) + 1, 0);
    m_presentGone.assign(m_presentUsed.size(), 0);
    m_presentFill.assign(m_presentUsed.size(), 0);
    m_presentLinked.assign(m_presentUsed.size(), 0);
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
    if (sound && g.IsDataCluster(v)) SetClusterBit(m_presentLinked, v);
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
  // A FAT32 root whose cluster the FAT leaves free is no root of this volume.
  if (fat32) m_presentClaims.insert(g.rootCluster);
  m_goneRanges.clear();
  m_fillRanges.clear();
  try {
    if (!fat32 || ClusterBit(m_presentUsed, g.rootCluster)) WalkPresentDir(u"", fat32 ? g.rootCluster : 0, 0);
  } catch (const std::bad_alloc&) {
    // Without room for the ranges, every cluster counts as written: nothing old is read.
    m_goneRanges.assign(1, {2, uint64_t(g.maxCluster) - 1});
    m_fillRanges = m_goneRanges;
  }
  MarkRanges(&m_goneRanges, &m_presentGone);
  MarkRanges(&m_fillRanges, &m_presentFill);
  if (m_sameLayout) SettlePresentFolders();
}

bool CFatFormat::FindFats(bool fat32, uint64_t end, uint64_t clusters, Fats* out) {
  const uint64_t bps = 512, width = fat32 ? 4 : 2;
  // Two FATs of the largest size the clusters need, and the reserved sectors before them.
  const uint64_t maxFat = ((clusters + 2) * width + bps - 1) / bps * bps;
  const uint64_t from = end > 2 * maxFat + (64 << 10) ? end - 2 * maxFat - (64 << 10) : 0;
  // A FAT begins with the media byte over set bits, and an end mark (whose top bits may
  // carry the clean-shutdown flags) for cluster 1.
  auto startsFat = [&](const uint8_t* e) {
    if (!fat32) {
      uint32_t e0 = kbytes::Le16(e), e1 = kbytes::Le16(e + 2);
      return (e0 | 0xFFu) == 0xFFFFu && (e0 & 0xFFu) >= 0xF0u && (e1 | 0xC000u) == 0xFFFFu;
    }
    uint32_t e0 = kbytes::Le32(e) & 0x0FFFFFFFu, e1 = kbytes::Le32(e + 4) & 0x0FFFFFFFu;
    return (e0 | 0xFFu) == 0x0FFFFFFFu && (e0 & 0xFFu) >= 0xF0u && (e1 | 0x0C000000u) == 0x0FFFFFFFu;
  };
  if (end % bps != 0) return false;
  std::vector<uint64_t> starts;
  std::vector<uint8_t> buf;
  const uint64_t kPiece = 1u << 20;
  for (uint64_t at = from; at < end && starts.size() < 4096;) {
    uint64_t n = std::min(kPiece, end - at);
    try {
      buf.assign(size_t(n), 0);
    } catch (...) {
      return false;
    }
    if (m_inspector->CachedRead(int64_t(at), buf.data(), uint32_t(n)) != 0) return false;
    for (uint64_t k = 0; k + bps <= n; k += bps)
      if (startsFat(buf.data() + k)) starts.push_back(at + k);
    at += n;
  }
  auto sameStart = [&](uint64_t a, uint64_t b) {
    uint8_t x[512], y[512];
    return m_inspector->CachedRead(int64_t(a), x, sizeof x) == 0 &&
           m_inspector->CachedRead(int64_t(b), y, sizeof y) == 0 && std::memcmp(x, y, sizeof x) == 0;
  };
  // Two copies back to back whose first sectors agree, the second ending at end; else a
  // lone FAT.
  *out = Fats();
  for (size_t i = starts.size(); i-- > 0;) {
    uint64_t f = end - starts[i];
    if (f < (clusters / 2 + 2) * width || starts[i] < f) continue;
    if (std::binary_search(starts.begin(), starts.end(), starts[i] - f) &&
        sameStart(starts[i] - f, starts[i])) {
      *out = {starts[i] - f, f, 2};
      return true;
    }
  }
  if (starts.size() != 1 || end - starts[0] < (clusters / 2 + 2) * width) return false;
  *out = {starts[0], end - starts[0], 1};
  return true;
}

bool CFatFormat::PresentGeometryWithoutBoot(fat::FatGeometry* out) {
  const bool fat32 = m_info.ft == fatrec::FT_FAT32;
  const fat::FatKind kind = fat32 ? fat::kFat32 : fat::kFat16;
  uint64_t size = 0;
  if (m_device->GetSize(&size) != 0 || size == 0) return false;
  uint8_t boot[512];
  // FAT32 keeps a copy of its boot sector six sectors on.
  for (uint64_t bps : {uint64_t(512), uint64_t(m_devSector)}) {
    if (fat32 && m_inspector->CachedRead(int64_t(6 * bps), boot, sizeof boot) == 0 &&
        fat::ParseFatBoot(boot, sizeof boot, kind, size, out) == 0)
      return true;
  }
  // The FATs lie back to back just before the first cluster (FAT32) or the fixed root
  // (FAT16): found there, they give the layout the search already reads with.
  const uint64_t cb = uint64_t(m_info.clusterSize), bps = 512;
  const int64_t data = m_inspector->ClusterToOffset(2);
  const uint64_t rootBytes = fat32 ? 0 : uint64_t(m_info.rootEntries) * 32;
  if (cb == 0 || cb % bps != 0 || data <= 0 || uint64_t(data) >= size || uint64_t(data) <= rootBytes)
    return false;
  const uint64_t end = uint64_t(data) - rootBytes;  // where the last FAT ends
  const uint64_t width = fat32 ? 4 : 2;
  const uint64_t clusters = std::min<uint64_t>((size - uint64_t(data)) / cb, fat32 ? 0x0FFFFFF4u : 0xFFF4u);
  Fats fats;
  if (!FindFats(fat32, end, clusters, &fats) || fats.bytes / width < 3) return false;
  fat::FatGeometry g;
  g.kind = kind;
  g.bytesPerSector = uint32_t(bps);
  g.sectorsPerCluster = uint32_t(cb / bps);
  g.clusterBytes = uint32_t(cb);
  g.reservedSectors = uint32_t(fats.offset / bps);
  g.numFats = uint32_t(fats.count);
  g.sectorsPerFat = uint32_t(fats.bytes / bps);
  g.totalSectors = size / bps;
  g.fatOffset = fats.offset;
  g.fatBytes = fats.bytes;
  if (fat32) {
    g.rootCluster = m_info.rootCluster;
  } else {
    g.rootEntries = m_info.rootEntries;
    g.rootDirSectors = uint32_t((rootBytes + bps - 1) / bps);
    g.rootDirOffset = end;
    g.rootDirBytes = rootBytes;
  }
  g.dataOffset = uint64_t(data);
  g.clusterCount = uint32_t(std::min<uint64_t>(clusters, fats.bytes / width - 2));
  g.maxCluster = g.clusterCount + 1;
  if (g.clusterCount == 0 || (fat32 && !g.IsDataCluster(g.rootCluster))) return false;
  *out = g;
  return true;
}

bool CFatFormat::LaidOutAsFat16() {
  if (m_info.ft != fatrec::FT_FAT32 || m_info.clusterSize <= 0) return false;
  uint64_t size = 0;
  uint8_t boot[512];
  fat::FatGeometry g;
  if (m_device->GetSize(&size) != 0 || size == 0) return false;
  for (int64_t at : {int64_t(0), int64_t(6 * 512), int64_t(6) * m_devSector})
    if (m_inspector->CachedRead(at, boot, sizeof boot) == 0 &&
        fat::ParseFatBoot(boot, sizeof boot, fat::kFat32, size, &g) == 0)
      return false;
  const int64_t data = m_inspector->ClusterToOffset(2);
  const uint64_t root = 512 * 32;
  if (data <= int64_t(root) || uint64_t(data) >= size) return false;
  const uint64_t clusters =
      std::min<uint64_t>((size - uint64_t(data)) / uint64_t(m_info.clusterSize), 0xFFF4u);
  Fats fat16, fat32;
  // FAT16's FATs end where its fixed root of 512 entries begins; FAT32's reach the first
  // cluster.
  return FindFats(false, uint64_t(data) - root, clusters, &fat16) &&
         !FindFats(true, uint64_t(data), clusters, &fat32);
}

void CFatFormat::MarkRanges(std::vector<Range>* ranges, std::vector<uint8_t>* bits) const {
  // Sorted and merged, so that a cluster many entries name (a folder of thousands of
  // deleted entries that each claim most of the volume) is marked once.
  std::sort(ranges->begin(), ranges->end());
  uint64_t done = 0;  // clusters below are marked
  for (const Range& r : *ranges) {
    uint64_t end = r.first + std::min<uint64_t>(r.count, uint64_t(m_presentGeo.maxCluster) + 1 - r.first);
    for (uint64_t c = std::max(r.first, done); c < end; ++c) SetClusterBit(*bits, c);
    done = std::max(done, end);
  }
  ranges->clear();
}

std::vector<uint32_t> CFatFormat::FolderChain(uint32_t first) const {
  std::vector<uint32_t> rest;
  if (!m_presentFat || !m_presentGeo.IsDataCluster(first)) return rest;
  bool clean = false;
  rest =
      fat::FollowChain(*m_presentFat, first, uint32_t(kMaxDirBytes / m_presentGeo.clusterBytes + 1), &clean);
  if (!rest.empty()) rest.erase(rest.begin());
  return rest;
}

void CFatFormat::SettleFolderChains(std::vector<uint32_t>& firsts) {
  const fat::FatGeometry& g = m_presentGeo;
  std::sort(firsts.begin(), firsts.end());
  firsts.erase(std::unique(firsts.begin(), firsts.end()), firsts.end());
  // Each cluster is walked once, however many chains lead into it (a damaged FAT can join
  // a million folders' chains to one long tail): a walk ends where another folder begins
  // or where an earlier walk went, and a cluster that two chains reach is neither's from
  // there on. Its entries are then left to the search, as those of any cluster no chain
  // places.
  const size_t cap = size_t(kMaxDirBytes / g.clusterBytes);
  std::unordered_map<uint32_t, size_t> walkedBy;
  std::unordered_set<uint32_t> joined;
  std::vector<std::vector<uint32_t>> rests(firsts.size());
  for (size_t i = 0; i < firsts.size(); ++i) {
    std::vector<uint32_t>& rest = rests[i];
    for (uint32_t c = firsts[i], next = 0; rest.size() < cap; c = next) {
      if (!m_presentFat->Get(c, &next) || m_presentFat->IsEndMark(next) || !g.IsDataCluster(next) ||
          std::binary_search(firsts.begin(), firsts.end(), next))
        break;
      auto at = walkedBy.emplace(next, i);
      if (!at.second) {
        if (at.first->second != i) joined.insert(next);
        break;
      }
      SetClusterBit(m_presentDirs, next);
      rest.push_back(next);
    }
  }
  for (size_t i = 0; i < firsts.size(); ++i) {
    std::vector<uint32_t>& rest = rests[i];
    size_t keep = 0;
    while (keep < rest.size() && !joined.count(rest[keep])) ++keep;
    rest.resize(keep);
    if (rest.empty()) continue;
    m_chainRest.insert(rest.begin(), rest.end());
    m_folderRests.emplace(firsts[i], std::move(rest));
  }
}

void CFatFormat::SettlePresentFolders() {
  const fat::FatGeometry& g = m_presentGeo;
  std::vector<uint32_t> firsts;  // folders whose later clusters are read through their chains
  for (const SeenDir& d : m_seenDirs) {
    if (!g.IsDataCluster(d.self) || int64_t(g.ClusterOffset(d.self)) != d.offset) continue;
    if (!ClusterBit(m_presentUsed, d.self)) {
      // A folder in free clusters that the present tree neither reaches nor names among
      // its deleted entries, yet holding a live entry: a volume's folder before the format.
      // A folder deleted on this volume has its entries deleted with it.
      if (d.live && !ClusterBit(m_presentDirs, d.self) && !ClusterBit(m_presentGone, d.self))
        m_reformatted = true;
      continue;
    }
    // A folder the present tree reaches, or one whose first cluster begins its own chain
    // (the tree that named it is damaged): every cluster of the chain is the folder's.
    bool head = !ClusterBit(m_presentLinked, d.self);
    bool reached = ClusterBit(m_presentDirs, d.self);
    if (!head && !reached) continue;
    if (!reached) m_lostFolders.push_back({d.self, d.parent});
    SetClusterBit(m_presentDirs, d.self);
    m_presentClaims.insert(d.self);  // a folder's, no file's
    firsts.push_back(d.self);
  }
  SettleFolderChains(firsts);
  // The later clusters of folders the tree reaches whose first cluster the search will not
  // meet (its "." entries are gone) are read together where the search meets one of them.
  for (auto it = m_walkedRest.begin(); it != m_walkedRest.end();)
    it = m_chainRest.count(it->first) ? m_walkedRest.erase(it) : std::next(it);
  if (!m_reformatted) {
    // With no volume before this one, its deleted entries weigh against each other only.
    std::fill(m_presentGone.begin(), m_presentGone.end(), 0);
  }
  // The file entries the pass met, under the layout now settled.
  const uint64_t cb = uint64_t(m_info.clusterSize);
  std::sort(m_seenFiles.begin(), m_seenFiles.end(), SeenBefore);
  m_seenReach.resize(m_seenFiles.size());
  for (size_t i = 0; i < m_seenFiles.size() && cb; ++i)
    m_seenReach[i] = std::max<uint64_t>(i ? m_seenReach[i - 1] : 0,
                                        m_seenFiles[i].first + (uint64_t(m_seenFiles[i].size) + cb - 1) / cb);
}

bool CFatFormat::MayShareClusters(const fatrec::FatItem& item) const {
  const uint64_t cb = uint64_t(m_info.clusterSize);
  if (m_seenFilesFull || cb == 0 || m_seenReach.size() != m_seenFiles.size()) return true;
  const uint64_t first = item.firstCluster, end = first + (uint64_t(item.size) + cb - 1) / cb;
  auto from = std::lower_bound(m_seenFiles.begin(), m_seenFiles.end(), item.firstCluster,
                               [](const SeenFile& s, uint32_t c) { return s.first < c; });
  // An entry beginning before this one and reaching into it.
  size_t before = size_t(from - m_seenFiles.begin());
  if (before > 0 && m_seenReach[before - 1] > first) return true;
  // One beginning inside it, other than its own: its own copies (the entry met once by the
  // pass, or left behind in copies of its folder) sort together at its first cluster.
  const SeenFile own{item.firstCluster, item.size, item.created};
  auto past = std::upper_bound(from, m_seenFiles.end(), own, SeenBefore);
  if (from != m_seenFiles.end() && from->first < end && SeenBefore(*from, own)) return true;
  return past != m_seenFiles.end() && past->first < end;
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
      if (c != first && m_sameLayout) m_walkedRest.emplace(c, first);
    }
  }
  fat::FatDirParser parser(g.kind);
  std::vector<std::pair<std::u16string, uint32_t>> subdirs;
  std::vector<uint8_t> buf;
  // n clusters from first, as far as they lie in the data area.
  // n clusters from first, marked once the walk is over (MarkRanges).
  auto mark = [&](std::vector<Range>& ranges, uint64_t first, uint64_t n) {
    if (n > 0 && g.IsDataCluster(first)) ranges.push_back({first, n});
  };
  auto take = [&](const fat::FatDirItem& it) {
    if (it.isDot || (it.attr & fat::kAttrVolume) || it.attr > 0x3F) return true;
    if (it.deleted) {
      // What the present volume wrote and deleted again is free in its FAT but no longer
      // the old volume's: its clusters, as far as the entry tells them, count as written.
      mark(m_goneRanges, it.firstCluster,
           it.IsDirectory() ? 1 : (uint64_t(it.size) + g.clusterBytes - 1) / g.clusterBytes);
      return true;
    }
    if (it.name.empty()) return true;
    if (g.IsDataCluster(it.firstCluster)) m_presentClaims.insert(it.firstCluster);
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
      mark(m_fillRanges, it.firstCluster, need);
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
    if (which != kOwnedInUse && ClusterBit(m_presentFill, c)) return true;
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
    // piece holds the chain as far as it goes, and beyond it either clusters the FAT leaves
    // free, or clusters in use that run on one by one to an end mark at the file's size
    // where no other chain leads and no entry of the tree begins (the break lost only the
    // link into them).
    const uint64_t b = chain.size();
    for (uint64_t i = 0; i < need; ++i) {
      uint64_t c = uint64_t(first) + i;
      if (!g.IsDataCluster(c) || (i < b && chain[size_t(i)] != c)) return false;
    }
    const uint64_t after = uint64_t(first) + b;
    bool free = true, runsOn = !ClusterBit(m_presentLinked, after) && !m_presentClaims.count(uint32_t(after));
    for (uint64_t c = after; c < uint64_t(first) + need; ++c) {
      uint32_t v = 0;
      bool used = ClusterBit(m_presentUsed, c);
      free = free && !used;
      if (!runsOn) continue;
      bool last = c + 1 == uint64_t(first) + need;
      runsOn = used && m_presentFat->Get(uint32_t(c), &v) && (last ? m_presentFat->IsEndMark(v) : v == c + 1);
    }
    if (!free && !runsOn) return false;
    chain.clear();
    for (uint64_t i = 0; i < need; ++i) chain.push_back(uint32_t(first + i));
  }
  return PresentRuns(chain, runs);
}

bool CFatFormat::ChainHeadRuns(uint32_t first, uint32_t size, Runs* runs) const {
  const fat::FatGeometry& g = m_presentGeo;
  const uint64_t need = (uint64_t(size) + g.clusterBytes - 1) / g.clusterBytes;
  if (!m_presentFat || need == 0 || !g.IsDataCluster(first) || !ClusterBit(m_presentUsed, first) ||
      ClusterBit(m_presentLinked, first) || m_presentClaims.count(first))
    return false;
  bool clean = false;
  std::vector<uint32_t> chain =
      fat::FollowChain(*m_presentFat, first, uint32_t(std::min<uint64_t>(need, g.maxCluster)), &clean);
  return clean && chain.size() == need && PresentRuns(chain, runs);
}

bool CFatFormat::FilesFollowTheirChains(const uint8_t* p, size_t len) const {
  const bool fat32 = m_presentGeo.kind == fat::kFat32;
  int files = 0;
  for (size_t at = 0; at + fat::kEntrySize <= len; at += fat::kEntrySize) {
    const uint8_t* e = p + at;
    if (e[0] == 0) break;
    layout::FatDirEntry d;
    if (e[0] == fat::kDeletedMark || e[11] == fat::kAttrLongName ||
        !layout::DecodeFatDirEntry(e, fat::kEntrySize, &d) ||
        (d.attributes & (fat::kAttrDirectory | fat::kAttrVolume)) || d.attributes > 0x3F || d.fileSize == 0)
      continue;
    Runs runs;
    if (!ChainHeadRuns(d.FirstCluster(fat32), d.fileSize, &runs)) return false;
    ++files;
  }
  return files > 0;
}

bool CFatFormat::SameLayoutRuns(const fatrec::FatItem& item, int64_t offset, Runs* runs, bool* taken) const {
  const int64_t c = m_info.clusterSize;
  runs->clear();
  if (taken) *taken = false;
  if (c <= 0) return false;
  const bool deleted = (item.kind & fatrec::kItemDeleted) != 0;
  const bool present = (item.kind & fatrec::kItemPresent) != 0;
  // A live file of a present folder: its chain names its clusters.
  if (present && !deleted) return PresentFileRuns(item.firstCluster, item.size, runs);
  // A live entry elsewhere whose chain begins at its first cluster and is as long as its
  // size asks, where the present tree names no file: a file of the present volume whose
  // folder the tree no longer reaches. Formatted again, such an entry is most likely an old
  // one whose first cluster a new file happens to begin at.
  if (!deleted && !m_reformatted && ChainHeadRuns(item.firstCluster, item.size, runs)) return true;
  if (item.kind & fatrec::kItemUntold) return false;
  // Any other entry gets its one piece only where the present volume has not written. A
  // deleted entry of a present folder is one of those that wrote there, and without a
  // volume before this one every entry is: only what the present volume holds counts
  // against them.
  const int64_t bytes = (int64_t(item.size) + c - 1) / c * c;
  if (PresentOwns(offset, bytes, present || !m_reformatted ? kOwnedWritten : kOwnedAll)) {
    if (taken) *taken = true;
    return false;
  }
  if (!m_checkFiles || DataStillThere(item, offset)) return true;
  if (taken) *taken = PresentWrote(offset, bytes);
  return false;
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

void CFatFormat::HandOutHeld() {
  // Of two deleted entries that name the same clusters, fat::WhoKeeps says which keeps them.
  // Formatted again, the present volume's deleted entries already keep old ones off their
  // clusters, so only entries of one volume are weighed.
  const int64_t cb = m_info.clusterSize;
  std::vector<Held> held;
  held.swap(m_held);
  if (cb <= 0) return;
  for (Held& h : held) h.clusters = uint32_t((uint64_t(h.item.size) + uint64_t(cb) - 1) / uint64_t(cb));
  std::vector<size_t> order(held.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(),
            [&](size_t a, size_t b) { return held[a].item.firstCluster < held[b].item.firstCluster; });
  std::vector<bool> loses(held.size(), false);
  const uint64_t kMaxPairs = 1u << 24;
  uint64_t pairs = 0;
  for (size_t x = 0; x < order.size() && pairs < kMaxPairs; ++x) {
    const Held& a = held[order[x]];
    const uint64_t aEnd = uint64_t(a.item.firstCluster) + a.clusters;
    for (size_t y = x + 1; y < order.size() && held[order[y]].item.firstCluster < aEnd && ++pairs < kMaxPairs;
         ++y) {
      const Held& b = held[order[y]];
      const uint64_t bEnd = uint64_t(b.item.firstCluster) + b.clusters;
      const bool aPresent = (a.item.kind & fatrec::kItemPresent) != 0;
      if (m_reformatted && aPresent != ((b.item.kind & fatrec::kItemPresent) != 0)) continue;
      // One file seen twice (an entry left behind by a move, a copy of its folder).
      if (a.item.firstCluster == b.item.firstCluster && a.item.size == b.item.size &&
          a.item.created == b.item.created)
        continue;
      // b starts inside a, no earlier than a.
      const uint64_t shared = std::min(aEnd, bEnd) - b.item.firstCluster;
      fat::Keeper k =
          fat::WhoKeeps({false, a.item.created, a.clusters}, {false, b.item.created, b.clusters}, shared);
      if (k != fat::Keeper::kFirst) loses[order[x]] = true;
      if (k != fat::Keeper::kSecond) loses[order[y]] = true;
    }
  }
  // Formatted again, an old deleted entry under a file the old volume still listed lost
  // its clusters to it. Deleted files handed out at once keep theirs: their own entry was the
  // only one the pass met there (one whose first cluster was restored may meet them here).
  auto under = [&](fat::ClusterRanges& ranges, bool oldOnly) {
    ranges.Seal();
    for (size_t i = 0; i < held.size() && !ranges.Empty(); ++i) {
      const Held& h = held[i];
      if (oldOnly && (h.item.kind & fatrec::kItemPresent)) continue;
      if (ranges.Meets(h.item.firstCluster, uint64_t(h.item.firstCluster) + h.clusters)) loses[i] = true;
    }
    ranges.Clear();
  };
  under(m_oldLive, true);
  under(m_deletedOut, false);
  for (size_t i = 0; i < held.size(); ++i) {
    const Held& h = held[i];
    RunList* runs = nullptr;
    int64_t off = m_inspector->ClusterToOffset(h.item.firstCluster);
    if (!loses[i] && off >= 0 && m_devSector > 0)
      runs = new (std::nothrow) RunList(uint64_t(off / m_devSector),
                                        uint32_t((int64_t(h.item.size) + m_devSector - 1) / m_devSector));
    // One that lost the weighing lost its clusters to another entry's file.
    m_feeder.Add(h.folder.c_str(), NewFileInfo(h.name.c_str(), h.item, runs, loses[i]));
  }
}

void CFatFormat::NameLostFolders() {
  // The folder whose entry lost its first cluster, and the folder of the present volume that
  // no entry names any longer: alone of their kind under one folder, they are one.
  std::map<int64_t, std::vector<const std::u16string*>> stray;
  for (const auto& e : m_strayEntries) stray[e.first].push_back(&e.second);
  std::map<int64_t, std::vector<uint32_t>> lost;
  for (const auto& f : m_lostFolders) {
    if (m_namedDirs.count(f.first)) continue;
    const bool root = f.second == 0 || (m_info.ft == fatrec::FT_FAT32 && f.second == m_info.rootCluster);
    lost[root ? m_rootId : DirId(f.second)].push_back(f.first);
  }
  for (const auto& kv : lost) {
    auto s = stray.find(kv.first);
    if (kv.second.size() != 1 || s == stray.end() || s->second.size() != 1) continue;
    m_feeder.Graph()->AddNode(DirId(kv.second[0]), kv.first, s->second[0]->c_str(), nullptr,
                              fatrec::KeepExisting);
  }
  m_strayEntries.clear();
  m_lostFolders.clear();
}
