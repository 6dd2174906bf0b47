#include "filesystems/fatwalk.h"

#include <algorithm>
#include <cstring>

#include "common/inc/bytes.h"
#include "common/inc/istoragedevice.h"
#include "filemanager/fileinfo.h"
#include "filesystems/fatio.h"

namespace fat {

namespace {

// FAT directories hold at most 65536 entries; exFAT directories at most 256 MiB.
const uint64_t kFatDirMaxBytes = 65536ull * 32;
const uint64_t kExfatDirMaxBytes = 256ull << 20;

int DeviceGeometry(IStorageDevice* device, uint32_t* sector, uint64_t* bytes) {
  if (!device) return 43;
  int clusterBytes = 0, sectorSize = 0;
  if (device->GetClusterInfo(&clusterBytes, &sectorSize) != 0 || sectorSize <= 0 ||
      !kbytes::IsPowerOfTwo(uint32_t(sectorSize)))
    return 43;
  *sector = uint32_t(sectorSize);
  uint64_t size = 0;
  if (device->GetSize(&size) != 0) size = 0;
  *bytes = size;
  return 0;
}

std::u16string ChildPath(const std::u16string& parent, const std::u16string& name) {
  return parent + name + u"/";
}

}  // namespace

// ----------------------------------------------------------------------------------------

FatDelWalker::FatDelWalker(IStorageDevice* device, FatKind kind) : m_device(device), m_kind(kind) {}

int FatDelWalker::Open() {
  m_queue.clear();
  m_queuedDirs.clear();
  m_readClusters.clear();
  m_items.clear();
  m_gone = m_stopped = false;
  int rc = DeviceGeometry(m_device, &m_devSector, &m_deviceBytes);
  if (rc) return rc;
  std::vector<uint8_t> boot(std::max<uint32_t>(m_devSector, 512));
  if (ReadAt(m_device, 0, boot.data(), uint32_t(boot.size())) != int64_t(boot.size())) return 5;
  rc = ParseFatBoot(boot.data(), boot.size(), m_kind, m_deviceBytes, &m_geo);
  if (rc) return rc;
  // Run lists count device sectors: the volume's units must be whole device sectors.
  if (m_geo.bytesPerSector % m_devSector != 0) return -1;
  if (!m_table.Init(m_device, m_geo)) return -1;
  return 0;
}

bool FatDelWalker::ReadCluster(uint32_t c, std::vector<uint8_t>* buf) {
  buf->assign(m_geo.clusterBytes, 0);
  bool gone = false;
  int64_t got = ReadAt(m_device, m_geo.ClusterOffset(c), buf->data(), m_geo.clusterBytes, &gone);
  if (gone) m_gone = true;
  return got == int64_t(m_geo.clusterBytes);
}

bool FatDelWalker::DotEntriesAt(const std::vector<uint8_t>& b, uint32_t self) {
  if (b.size() < 64) return false;
  if (b[0] != '.' || b[32] != '.' || b[33] != '.') return false;
  (void)self;
  return true;
}

// Free clusters are gathered from the first one on, as a freshly written file is laid
// behind the clusters in use; the first cluster counts whatever its FAT entry says.
bool FatDelWalker::GuessRuns(uint32_t f, uint64_t size, std::vector<std::pair<uint32_t, uint32_t>>* runs) {
  runs->clear();
  if (!m_geo.IsDataCluster(f) || size == 0) return false;
  uint64_t n = (size + m_geo.clusterBytes - 1) / m_geo.clusterBytes;
  if (n > m_geo.clusterCount) return false;
  if (n == 1) {
    runs->push_back({f, 1});
    return true;
  }
  uint64_t got = 0;
  uint32_t open = 0, len = 0;
  auto close = [&]() {
    if (len) runs->push_back({open, len});
    len = 0;
  };
  auto pass = [&](uint32_t from, uint32_t to) {
    for (uint64_t c = from; c <= to && got < n; ++c) {
      uint32_t v = 1;
      bool isFree = c == f || (m_table.Get(uint32_t(c), &v) && v == 0);
      if (isFree) {
        if (!len) open = uint32_t(c);
        ++len;
        ++got;
      } else {
        close();
      }
    }
    close();
  };
  pass(f, m_geo.maxCluster);
  if (got < n && f > 2) pass(2, f - 1);
  if (got < n) {
    runs->clear();
    return false;
  }
  return true;
}

// A deleted FAT32 entry may have lost the high word of its first cluster. The file most
// likely lies just behind the previous entry's data.
bool FatDelWalker::RestoreFileHighWord(uint32_t* cluster) {
  if (*cluster > 0xFFFF || m_items.empty()) return false;
  const auto& last = m_items.back();
  uint64_t pred = uint64_t(last.first) + (uint64_t(last.second) + m_geo.clusterBytes - 1) / m_geo.clusterBytes;
  if (pred < 0x10000) return false;
  uint64_t cand = (pred & ~0xFFFFull) | *cluster;
  if (!m_geo.IsDataCluster(cand)) return false;
  // Keep a genuine low cluster: move only when the candidate is free or the stored
  // cluster is in use by someone else.
  uint32_t vCand = 1, vOrig = 0;
  bool candFree = m_table.Get(uint32_t(cand), &vCand) && vCand == 0;
  bool origUsed = m_table.Get(*cluster, &vOrig) && vOrig != 0;
  if (!candFree && !origUsed) return false;
  *cluster = uint32_t(cand);
  return true;
}

bool FatDelWalker::ProbeDirHighWord(uint32_t* cluster) {
  if (*cluster > 0xFFFF || m_items.empty()) return false;
  const auto& last = m_items.back();
  uint64_t base = (uint64_t(last.first) + (uint64_t(last.second) + m_geo.clusterBytes - 1) / m_geo.clusterBytes) >> 16;
  if (base < 1) base = 1;
  std::vector<uint8_t> buf;
  for (uint64_t i = 0; i < 20; ++i) {
    uint64_t cand = ((base + i) << 16) | *cluster;
    if (!m_geo.IsDataCluster(cand)) break;
    if (!ReadCluster(uint32_t(cand), &buf)) break;
    if (std::memcmp(buf.data(), ".       ", 8) == 0 && kbytes::Le16(buf.data() + 26) == (*cluster & 0xFFFF) &&
        kbytes::Le16(buf.data() + 20) == uint16_t(cand >> 16)) {
      *cluster = uint32_t(cand);
      return true;
    }
  }
  return false;
}

bool FatDelWalker::ReportFile(const DirJob& job, const FatDirItem& it, const FoundSink& found) {
  FoundFile f;
  f.folder = job.path;
  f.name = it.name;
  f.size = it.size;
  f.createDate = it.createDate;
  f.modifyDate = it.writeDate;
  uint64_t perCluster = m_geo.clusterBytes / m_devSector;
  uint64_t base = m_geo.dataOffset / m_devSector;
  if (m_kind == kFat16) {
    std::vector<std::pair<uint32_t, uint32_t>> runs;
    if (!GuessRuns(it.firstCluster, it.size, &runs)) return true;
    for (const auto& r : runs) f.runs.push_back({base + uint64_t(r.first - 2) * perCluster, uint64_t(r.second) * perCluster});
  } else {
    // One contiguous run from the first cluster, clipped to the volume's last cluster.
    if (!m_geo.IsDataCluster(it.firstCluster)) return true;
    uint64_t n = (uint64_t(it.size) + m_geo.clusterBytes - 1) / m_geo.clusterBytes;
    uint64_t room = uint64_t(m_geo.maxCluster) - it.firstCluster + 1;
    n = std::min(n, room);
    if (n == 0) return true;
    f.runs.push_back({base + uint64_t(it.firstCluster - 2) * perCluster, n * perCluster});
  }
  if (found(f) != 0) {
    m_stopped = true;
    return false;
  }
  return true;
}

void FatDelWalker::HandleItems(const DirJob& job, std::vector<FatDirItem>& items, const FoundSink& found) {
  for (FatDirItem& it : items) {
    if (m_stopped) return;
    bool deleted = it.deleted || job.deleted;
    if (m_kind == kFat32 && it.deleted && it.highWord == 0 && !it.isDot) {
      if (it.IsDirectory())
        ProbeDirHighWord(&it.firstCluster);
      else
        RestoreFileHighWord(&it.firstCluster);
    }
    if (it.firstCluster > m_geo.maxCluster) continue;  // damaged entry: skip it, keep going
    if (it.size / m_geo.bytesPerSector > m_geo.totalSectors) continue;
    if (m_kind == kFat32) m_items.push_back({it.firstCluster, it.size});
    if (it.isDot) continue;
    if (it.IsDirectory()) {
      if (job.depth + 1 >= kMaxDirDepth) continue;
      if (!m_geo.IsDataCluster(it.firstCluster)) continue;
      if (!deleted || true) {
        if (deleted) {
          // A deleted directory whose first cluster is in use again holds someone else's data.
          uint32_t v = 1;
          if (!m_table.Get(it.firstCluster, &v) || v != 0) continue;
        }
        if (!m_queuedDirs.insert(it.firstCluster).second) continue;
        m_queue.push_back({ChildPath(job.path, it.name), it.firstCluster, deleted, job.depth + 1});
      }
      continue;
    }
    if (!deleted || it.size == 0) continue;
    if (!ReportFile(job, it, found)) return;
  }
}

int FatDelWalker::Walk(const FoundSink& found, const ProgressSink& progress) {
  m_queue.clear();
  m_queuedDirs.clear();
  m_readClusters.clear();
  m_items.clear();
  m_stopped = m_gone = false;
  FatDirParser parser(m_kind);
  std::vector<FatDirItem> items;
  auto collect = [&](const FatDirItem& it) {
    items.push_back(it);
    return true;
  };
  const std::u16string root = m_kind == kFat16 ? u"/Volume/" : u"Volume/";
  int high = 0;

  if (m_kind == kFat16) {
    std::vector<uint8_t> region(size_t(m_geo.rootDirBytes));
    bool gone = false;
    if (!region.empty() &&
        ReadAt(m_device, m_geo.rootDirOffset, region.data(), uint32_t(region.size()), &gone) != int64_t(region.size()))
      return -1;
    parser.Reset();
    parser.Feed(region.data(), region.size(), collect);
    DirJob rootJob{root, 0, false, 0};
    HandleItems(rootJob, items, found);
    items.clear();
    if (m_stopped) return 0;
    if (m_queue.empty()) {
      if (progress) progress(100);
      return 0;
    }
  } else {
    m_queuedDirs.insert(m_geo.rootCluster);
    m_queue.push_back({root, m_geo.rootCluster, false, 0});
  }

  std::vector<uint8_t> buf;
  for (size_t i = 0; i < m_queue.size() && !m_stopped && !m_gone; ++i) {
    DirJob job = m_queue[i];  // copied: the queue grows below
    std::vector<uint32_t> clusters;
    if (job.deleted) {
      // The chain of a deleted directory is gone from the FAT: its first cluster only.
      clusters.push_back(job.cluster);
    } else {
      bool clean;
      uint32_t cap = uint32_t(std::max<uint64_t>(1, kFatDirMaxBytes / m_geo.clusterBytes));
      clusters = FollowChain(m_table, job.cluster, cap, &clean);
    }
    parser.Reset();
    bool isRoot = m_kind == kFat32 && i == 0;
    for (size_t k = 0; k < clusters.size() && !m_stopped; ++k) {
      uint32_t c = clusters[k];
      if (!m_readClusters.insert(c).second) break;  // a cycle, or shared with another directory
      if (!ReadCluster(c, &buf)) {
        if (m_gone) break;
        parser.Reset();
        continue;
      }
      if (k == 0 && !isRoot && !DotEntriesAt(buf, c)) break;
      FatDirParser::Result r = parser.Feed(buf.data(), buf.size(), collect);
      HandleItems(job, items, found);
      items.clear();
      if (r == FatDirParser::kEnd) break;
    }
    if (progress && !m_stopped) {
      int p = int(uint64_t(i + 1) * 100 / m_queue.size());
      if (p > high) high = p;
      if (progress(high) != 0) m_stopped = true;
    }
  }
  return 0;
}

// ----------------------------------------------------------------------------------------

ExfatDelWalker::ExfatDelWalker(IStorageDevice* device) : m_device(device) {}

bool ExfatDelWalker::ReadCluster(uint32_t c, std::vector<uint8_t>* buf) {
  buf->assign(m_geo.clusterBytes, 0);
  bool gone = false;
  int64_t got = ReadAt(m_device, m_geo.ClusterOffset(c), buf->data(), m_geo.clusterBytes, &gone);
  if (gone) m_gone = true;
  return got == int64_t(m_geo.clusterBytes);
}

bool ExfatDelWalker::IsAllocated(uint32_t c) const {
  if (!m_geo.IsDataCluster(c)) return true;
  uint64_t bit = uint64_t(c) - 2;
  if (bit / 8 >= m_bitmap.size()) return true;
  return (m_bitmap[size_t(bit / 8)] >> (bit % 8)) & 1;
}

int ExfatDelWalker::Open() {
  m_gone = false;
  m_readClusters.clear();
  int rc = DeviceGeometry(m_device, &m_devSector, &m_deviceBytes);
  if (rc) return rc;
  std::vector<uint8_t> boot(std::max<uint32_t>(m_devSector, 512));
  if (ReadAt(m_device, 0, boot.data(), uint32_t(boot.size())) != int64_t(boot.size())) return 5;
  rc = ParseExfatBoot(boot.data(), boot.size(), m_deviceBytes, &m_geo);
  if (rc) return rc;
  if (m_geo.bytesPerSector % m_devSector != 0) return -1;
  FatGeometry tg;
  tg.kind = kExfat;
  tg.fatOffset = m_geo.fatOffset;
  tg.fatBytes = m_geo.fatBytes;
  tg.clusterCount = m_geo.clusterCount;
  tg.maxCluster = m_geo.maxCluster;
  tg.clusterBytes = m_geo.clusterBytes;
  if (!m_table.Init(m_device, tg)) return -1;

  // The allocation bitmap is found by its entry type anywhere in the root directory.
  ExfatDirParser parser;
  DirJob rootJob{u"", m_geo.rootCluster, 0, false, false, 0};
  std::vector<uint8_t> buf;
  for (uint32_t c : DirClusters(rootJob)) {
    if (!ReadCluster(c, &buf)) return 5;
    if (parser.Feed(buf.data(), buf.size(), [](const ExfatItem&) { return true; }) == ExfatDirParser::kEnd ||
        parser.bitmapFound)
      break;
  }
  if (!parser.bitmapFound) return 104;
  m_bitmapRef = parser.bitmap;
  if (!m_geo.IsDataCluster(m_bitmapRef.firstCluster)) return 104;
  uint64_t need = (uint64_t(m_geo.clusterCount) + 7) / 8;
  uint64_t len = std::min<uint64_t>(m_bitmapRef.length, need);
  if (len == 0) return 104;
  try {
    m_bitmap.assign(size_t(len), 0);
  } catch (...) {
    return 12;
  }
  // Read along the bitmap's FAT chain when it has one, else as contiguous clusters.
  uint64_t nClusters = (len + m_geo.clusterBytes - 1) / m_geo.clusterBytes;
  bool clean = false;
  std::vector<uint32_t> chain = FollowChain(m_table, m_bitmapRef.firstCluster, uint32_t(nClusters), &clean);
  if (chain.size() < nClusters) {
    chain.clear();
    if (!kbytes::RangeInside(m_bitmapRef.firstCluster, nClusters, uint64_t(m_geo.maxCluster) + 1)) return 104;
    for (uint64_t k = 0; k < nClusters; ++k) chain.push_back(uint32_t(m_bitmapRef.firstCluster + k));
  }
  uint64_t done = 0;
  for (uint32_t c : chain) {
    uint64_t n = std::min<uint64_t>(m_geo.clusterBytes, len - done);
    if (ReadAt(m_device, m_geo.ClusterOffset(c), m_bitmap.data() + done, uint32_t(n)) != int64_t(n)) return 5;
    done += n;
  }
  return 0;
}

std::vector<uint32_t> ExfatDelWalker::DirClusters(const DirJob& job) {
  std::vector<uint32_t> out;
  if (!m_geo.IsDataCluster(job.cluster)) return out;
  uint64_t capBytes = job.length ? std::min(job.length, kExfatDirMaxBytes) : kExfatDirMaxBytes;
  uint64_t cap = std::max<uint64_t>(1, (capBytes + m_geo.clusterBytes - 1) / m_geo.clusterBytes);
  if (job.noFatChain) {
    uint64_t room = uint64_t(m_geo.maxCluster) - job.cluster + 1;
    cap = std::min(cap, room);
    for (uint64_t k = 0; k < cap; ++k) out.push_back(uint32_t(job.cluster + k));
    return out;
  }
  bool clean;
  out = FollowChain(m_table, job.cluster, uint32_t(cap), &clean);
  if (job.deleted) {
    // A deleted directory's chain may have been reused: keep only the leading free part.
    size_t k = 1;
    while (k < out.size() && !IsAllocated(out[k])) ++k;
    out.resize(std::min(out.size(), k));
  }
  return out;
}

namespace {

// Keeps the first validSectors of the runs and turns the rest into one hole.
void HoleAfterValidData(std::vector<std::pair<uint64_t, uint64_t>>* runs, uint64_t validSectors) {
  uint64_t total = 0, kept = 0;
  std::vector<std::pair<uint64_t, uint64_t>> out;
  for (const auto& r : *runs) {
    total += r.second;
    if (kept < validSectors) {
      uint64_t take = std::min(r.second, validSectors - kept);
      out.push_back({r.first, take});
      kept += take;
    }
  }
  if (total > kept) out.push_back({RUN_HOLE, total - kept});
  runs->swap(out);
}

}  // namespace

std::vector<uint32_t> ExfatDelWalker::FileClusters(const ExfatItem& it, bool deleted) {
  std::vector<uint32_t> out;
  if (!m_geo.IsDataCluster(it.firstCluster) || it.dataLength == 0) return out;
  uint64_t n = (it.dataLength + m_geo.clusterBytes - 1) / m_geo.clusterBytes;
  if (!it.noFatChain) {
    bool clean;
    std::vector<uint32_t> chain = FollowChain(m_table, it.firstCluster, uint32_t(std::min<uint64_t>(n, UINT32_MAX)), &clean);
    bool usable = chain.size() == n;
    for (size_t k = 1; usable && deleted && k < chain.size(); ++k)
      if (IsAllocated(chain[k])) usable = false;
    if (usable) return chain;
  }
  uint64_t room = uint64_t(m_geo.maxCluster) - it.firstCluster + 1;
  n = std::min(n, room);
  for (uint64_t k = 0; k < n; ++k) out.push_back(uint32_t(it.firstCluster + k));
  return out;
}

int ExfatDelWalker::Walk(const FoundSink& found, const ProgressSink& progress) {
  m_readClusters.clear();
  m_gone = false;
  bool stopped = false;
  int shown = 0;
  std::vector<DirJob> stack;
  stack.push_back({u"/Volume/", m_geo.rootCluster, 0, false, false, 0});
  std::vector<uint8_t> buf;
  uint64_t perCluster = m_geo.clusterBytes / m_devSector;
  uint64_t base = m_geo.heapOffset / m_devSector;
  while (!stack.empty() && !stopped && !m_gone) {
    DirJob job = stack.back();
    stack.pop_back();
    if (job.deleted && IsAllocated(job.cluster) && job.depth > 0) continue;
    ExfatDirParser parser;
    std::vector<ExfatItem> items;
    for (uint32_t c : DirClusters(job)) {
      if (!m_readClusters.insert(c).second) break;
      if (!ReadCluster(c, &buf)) break;
      if (progress) {
        uint64_t sector = m_geo.ClusterOffset(c) / m_geo.bytesPerSector;
        int p = int(std::min<uint64_t>(100, sector * 100 / m_geo.volumeSectors));
        if (p > shown) {
          shown = p;
          if (progress(shown) != 0) {
            stopped = true;
            break;
          }
        }
      }
      ExfatDirParser::Result r = parser.Feed(buf.data(), buf.size(), [&](const ExfatItem& it) {
        items.push_back(it);
        return true;
      });
      if (r == ExfatDirParser::kEnd) break;
    }
    for (const ExfatItem& it : items) {
      if (stopped) break;
      bool deleted = it.deleted || job.deleted;
      if (it.IsDirectory()) {
        if (job.depth + 1 >= kMaxDirDepth || !m_geo.IsDataCluster(it.firstCluster)) continue;
        if (deleted && IsAllocated(it.firstCluster)) continue;
        stack.push_back({ChildPath(job.path, it.name), it.firstCluster, it.dataLength, it.noFatChain, deleted, job.depth + 1});
        continue;
      }
      if (!deleted || it.dataLength == 0) continue;
      std::vector<uint32_t> clusters = FileClusters(it, deleted);
      if (clusters.empty()) continue;
      FoundFile f;
      f.folder = job.path;
      f.name = it.name;
      f.size = it.dataLength;
      f.createDate = it.createDate;
      f.modifyDate = it.modifyDate;
      for (uint32_t c : clusters) {
        uint64_t s = base + uint64_t(c - 2) * perCluster;
        if (!f.runs.empty() && f.runs.back().first + f.runs.back().second == s)
          f.runs.back().second += perCluster;
        else
          f.runs.push_back({s, perCluster});
      }
      // Bytes past the valid data length were never written: exFAT reads them as zeros, so
      // they are handed out as a hole rather than as whatever the clusters held before.
      if (it.validLength < it.dataLength) HoleAfterValidData(&f.runs, (it.validLength + m_devSector - 1) / m_devSector);
      if (found(f) != 0) stopped = true;
    }
  }
  if (progress && !stopped && shown < 100) progress(100);
  return 0;
}

}  // namespace fat
