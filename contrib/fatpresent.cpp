// The present volume of a FAT volume formatted again with another layout: its tree is
// walked through its own boot sector and FAT, its files are handed out with the clusters
// their chains name, and what it holds is kept apart from the old folders the search finds.
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

}  // namespace

void CFatFormat::WalkPresent() {
  m_twoLayouts = false;
  m_presentFatLost = false;
  m_presentUsed.clear();
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
  // One layout for both: the search reads the present volume as it always did.
  if (int64_t(g.clusterBytes) == m_info.clusterSize && int64_t(g.dataOffset) == m_inspector->ClusterToOffset(2))
    return;
  m_twoLayouts = true;
  m_presentGeo = g;
  m_presentFat.reset(new (std::nothrow) fat::FatTable());
  try {
    m_presentUsed.assign(size_t(g.maxCluster / 8) + 1, 0);
    m_presentDirs.assign(m_presentUsed.size(), 0);
  } catch (...) {
    m_presentUsed.clear();
  }
  if (!m_presentFat || m_presentUsed.empty() || !m_presentFat->Init(m_device, g)) {
    m_presentFatLost = true;
    return;
  }
  const uint64_t width = g.kind == fat::kFat16 ? 2 : 4;
  for (uint32_t c = 2; c <= g.maxCluster; ++c) {
    // A FAT a little short of its clusters (the boot check allows a sector) leaves the
    // last ones free.
    if ((uint64_t(c) + 1) * width > g.fatBytes) break;
    uint32_t v = 0;
    if (!m_presentFat->Get(c, &v)) {
      m_presentFatLost = true;
      return;
    }
    if (v != 0) m_presentUsed[c >> 3] |= uint8_t(1u << (c & 7));
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
      m_presentDirs[c >> 3] |= uint8_t(1u << (c & 7));
    }
  }
  fat::FatDirParser parser(g.kind);
  std::vector<std::pair<std::u16string, uint32_t>> subdirs;
  std::vector<uint8_t> buf;
  auto take = [&](const fat::FatDirItem& it) {
    if (it.isDot || (it.attr & fat::kAttrVolume) || it.attr > 0x3F) return true;
    if (it.deleted) {
      // What the present volume wrote and deleted again is free in its FAT but no longer
      // the old volume's: its clusters, as far as the entry tells them, count as written.
      uint64_t n = it.IsDirectory() ? 1 : (uint64_t(it.size) + g.clusterBytes - 1) / g.clusterBytes;
      for (uint64_t c = it.firstCluster; n > 0 && g.IsDataCluster(c); ++c, --n) {
        m_presentUsed[size_t(c >> 3)] |= uint8_t(1u << (c & 7));
        m_presentTails.erase(uint32_t(c));
      }
      return true;
    }
    if (it.name.empty()) return true;
    if (it.IsDirectory()) {
      if (g.IsDataCluster(it.firstCluster)) subdirs.push_back({it.name, it.firstCluster});
      return true;
    }
    if (m_presentFiles.size() >= kMaxPresentFiles) return false;
    PresentFile f;
    f.folder = folder;
    f.name = it.name;
    f.size = it.size;
    f.createTime = fat::FatDecodeCreateTime(it.entry);
    f.writeTime = fat::FatDecodeWriteTime(it.entry);
    const uint64_t need = (uint64_t(it.size) + g.clusterBytes - 1) / g.clusterBytes;
    bool clean = false;
    std::vector<uint32_t> chain;
    if (need > 0 && g.IsDataCluster(it.firstCluster))
      chain = fat::FollowChain(*m_presentFat, it.firstCluster, uint32_t(std::min<uint64_t>(need, g.maxCluster)), &clean);
    f.whole = need > 0 && chain.size() == need;
    const uint64_t ds = uint64_t(m_devSector);
    for (size_t i = 0; f.whole && i < chain.size(); ++i) {
      uint64_t off = g.ClusterOffset(chain[i]);
      if (off % ds != 0 || g.clusterBytes % ds != 0 || off / ds + g.clusterBytes / ds > uint64_t(m_totalSectors)) {
        f.whole = false;
        break;
      }
      uint64_t start = off / ds, count = g.clusterBytes / ds;
      if (!f.runs.empty() && f.runs.back().first + f.runs.back().second == start &&
          f.runs.back().second + count <= kMaxRunSectors)
        f.runs.back().second += uint32_t(count);
      else
        f.runs.push_back({start, uint32_t(count)});
    }
    if (!f.whole) {
      f.runs.clear();
      // Its clusters are unknown past the break; those it would fill in one piece count
      // as written, so that no old file is read out of them.
      for (uint64_t c = it.firstCluster, n = need; n > 0 && g.IsDataCluster(c); ++c, --n) {
        m_presentUsed[size_t(c >> 3)] |= uint8_t(1u << (c & 7));
        m_presentTails.erase(uint32_t(c));
      }
    }
    uint32_t tail = it.size % g.clusterBytes;
    if (!chain.empty() && chain.size() == need && tail != 0) {
      tail = std::min(g.clusterBytes, (tail + 511) / 512 * 512);
      m_presentTails[chain.back()] = tail;
    }
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

bool CFatFormat::PresentOwns(int64_t offset, int64_t bytes, bool foldersOnly) const {
  if (!m_twoLayouts || bytes <= 0 || offset < 0) return false;
  const fat::FatGeometry& g = m_presentGeo;
  // Its boot region, FATs and (FAT16) root were written by the format.
  if (uint64_t(offset) < g.dataOffset) return true;
  if (m_presentFatLost) return false;
  const uint64_t cb = g.clusterBytes;
  uint64_t first = (uint64_t(offset) - g.dataOffset) / cb + 2;
  uint64_t last = (uint64_t(offset) + uint64_t(bytes) - 1 - g.dataOffset) / cb + 2;
  const std::vector<uint8_t>& bits = foldersOnly ? m_presentDirs : m_presentUsed;
  for (uint64_t c = first; c <= last && c <= g.maxCluster; ++c) {
    if (!(bits[size_t(c >> 3)] & (1u << (c & 7)))) continue;
    auto t = foldersOnly ? m_presentTails.end() : m_presentTails.find(uint32_t(c));
    // Only the written part of a file's last cluster counts.
    if (t == m_presentTails.end() || uint64_t(offset) < g.ClusterOffset(uint32_t(c)) + t->second) return true;
  }
  return false;
}

void CFatFormat::HandOutPresent() {
  for (const PresentFile& f : m_presentFiles) {
    if (m_feeder.Stopped()) return;
    CFileInfo* info = new (std::nothrow) CFileInfo();
    if (!info) return;
    info->SetName(f.name.c_str());
    info->SetSize(int64_t(f.size));
    info->SetTimes(uint64_t(f.createTime), uint64_t(f.writeTime));
    RunList* runs = nullptr;
    RunList* tail = nullptr;
    try {
      for (const auto& r : f.runs) tail = tail ? tail->Append(r.first, r.second) : (runs = new RunList(r.first, r.second));
    } catch (...) {
      if (runs) runs->Release();
      runs = nullptr;
    }
    if (runs) info->SetRunList(runs);
    else if (f.size > 0) info->AddFlags(FF_NODATA);  // its chain is broken: no bytes to trust
    std::u16string folder = u"/Volume" + f.folder;
    m_feeder.Add(folder.c_str(), info);
  }
}
