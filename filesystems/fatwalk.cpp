#include "filesystems/fatwalk.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "common/inc/bytes.h"
#include "common/inc/istoragedevice.h"
#include "common/layout/fat_dirent.h"
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

// A folder with no name left, placed by the cluster its entries were found in.
std::u16string StandInName(uint32_t cluster) {
  char text[16];
  std::snprintf(text, sizeof text, "DIR%08u", unsigned(cluster));
  std::u16string out;
  for (const char* c = text; *c; ++c) out += char16_t(*c);
  return out;
}

bool TimeOk(uint16_t t) { return (t >> 11) <= 23 && ((t >> 5) & 0x3F) <= 59 && (t & 0x1F) <= 29; }

bool DateOk(uint16_t d) {
  if (d == 0) return true;
  int month = (d >> 5) & 0x0F, day = d & 0x1F;
  return month >= 1 && month <= 12 && day >= 1;
}

// Ordinal 1..20 (0x40 on the last piece) or the deleted mark, no type, no cluster, and
// characters up to a terminator, then padding.
bool LongEntryOk(const uint8_t* e) {
  layout::FatLongNameEntry l;
  if (!layout::DecodeFatLongNameEntry(e, kEntrySize, &l)) return false;
  if (l.type != 0 || l.firstClusterLow != 0) return false;
  if (l.order != kDeletedMark && ((l.order & 0x80) || (l.order & 0x3F) == 0 || (l.order & 0x3F) > 20)) return false;
  bool ended = false;
  for (char16_t ch : l.chars) {
    if (ended) {
      if (ch != 0xFFFF && ch != 0) return false;
    } else if (ch == 0) {
      ended = true;
    } else if (ch < 0x20 || ch == 0xFFFF) {
      return false;
    }
  }
  return true;
}

// *dot: 1 for ".", 2 for ".."; *first: the entry's first cluster.
bool ShortEntryOk(const FatGeometry& g, const uint8_t* e, int* dot, uint32_t* first) {
  layout::FatDirEntry d;
  if (!layout::DecodeFatDirEntry(e, kEntrySize, &d)) return false;
  uint8_t attr = d.attributes;
  // Reserved bits, and volume labels, which only the root holds.
  if ((attr & 0xC0) || (attr & kAttrVolume)) return false;
  *dot = layout::FatDotName(d.name);
  if (*dot) {
    if (!(attr & kAttrDirectory)) return false;
  } else if (d.name[0] == ' ' || FatIsInvalidShortName(d.name, true)) {
    return false;
  }
  if ((d.caseFlags & ~0x18) || d.createTimeTenth > 199) return false;
  if (!TimeOk(d.createTime) || !TimeOk(d.writeTime)) return false;
  if (!DateOk(d.createDate) || !DateOk(d.accessDate) || !DateOk(d.writeDate)) return false;
  if (g.kind == kFat16 && d.firstClusterHigh) return false;
  *first = d.FirstCluster(g.kind == kFat32);
  uint64_t size = d.fileSize;
  if (attr & kAttrDirectory) return size == 0 && (*dot || g.IsDataCluster(*first));
  if (size > g.totalSectors * g.bytesPerSector) return false;
  return *first == 0 ? size == 0 : g.IsDataCluster(*first);
}

}  // namespace

bool FatDirClusterShapeOf(const FatGeometry& g, const uint8_t* p, size_t len, uint32_t c, DirClusterShape* out) {
  if (!p || !out || len < kEntrySize) return false;
  *out = DirClusterShape();
  size_t n = len / kEntrySize, shorts = 0, headEnd = 0;
  bool ended = false, dotdot = false;
  for (size_t i = 0; i < n; ++i) {
    const uint8_t* e = p + i * kEntrySize;
    if (e[0] == 0x00) {
      if (i == 0) return false;
      for (size_t k = i * kEntrySize; k < len; ++k)
        if (p[k]) return false;
      ended = true;
      break;
    }
    if (e[11] == kAttrLongName) {
      if (!LongEntryOk(e)) return false;
      continue;
    }
    int dot = 0;
    uint32_t first = 0;
    if (!ShortEntryOk(g, e, &dot, &first)) return false;
    if (dot == 1) {
      if (i != 0 || first != c) return false;
      out->dot = true;
    } else if (dot == 2) {
      if (i != 1 || !out->dot) return false;
      out->parent = first;
      dotdot = true;
    }
    if (!shorts++) headEnd = i + 1;
  }
  if (!shorts || (out->dot && !dotdot)) return false;
  out->full = !ended;
  if (!out->dot) out->head.assign(p, p + headEnd * kEntrySize);
  return true;
}

// ----------------------------------------------------------------------------------------

FatDelWalker::FatDelWalker(IStorageDevice* device, FatKind kind) : m_device(device), m_kind(kind) {}

int FatDelWalker::Open() {
  m_queue.clear();
  m_queuedDirs.clear();
  m_readClusters.clear();
  m_items.Init(0, 0);  // the walk gives it the geometry
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
  layout::FatDirEntry dot, dotdot;
  if (!layout::DecodeFatDirEntry(b.data(), b.size(), &dot) ||
      b.size() < 2 * kEntrySize || !layout::DecodeFatDirEntry(b.data() + kEntrySize, b.size() - kEntrySize, &dotdot))
    return false;
  (void)self;
  return dot.name[0] == '.' && dotdot.name[0] == '.' && dotdot.name[1] == '.';
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

FatEntryReader FatDelWalker::FatReader() {
  return [this](uint32_t c, uint32_t* v) { return m_table.Get(c, v); };
}

FirstEntryReader FatDelWalker::FirstEntryOf() {
  return [this](uint32_t c, uint8_t* first) {
    std::vector<uint8_t> buf;
    if (!ReadCluster(c, &buf) || buf.size() < kEntrySize) return false;
    std::memcpy(first, buf.data(), kEntrySize);
    return true;
  };
}

bool FatDelWalker::ReportFile(const DirJob& job, const FatDirItem& it, const FoundSink&) {
  Pending p;
  FoundFile& f = p.file;
  f.folder = job.path;
  f.name = it.name;
  f.size = it.size;
  f.createDate = it.createDate;
  f.modifyDate = it.writeDate;
  f.created = uint64_t(it.createDate) << 24 | uint32_t(it.createTime) << 8 | it.entry[13];
  f.entryLive = !it.deleted;
  p.first = it.firstCluster;
  uint64_t perCluster = m_geo.clusterBytes / m_devSector;
  uint64_t base = m_geo.dataOffset / m_devSector;
  if (m_kind == kFat16) {
    if (!GuessRuns(it.firstCluster, it.size, &p.clusters)) return true;
  } else {
    // One contiguous run from the first cluster, clipped to the volume's last cluster.
    if (!m_geo.IsDataCluster(it.firstCluster)) return true;
    uint64_t n = (uint64_t(it.size) + m_geo.clusterBytes - 1) / m_geo.clusterBytes;
    uint64_t room = uint64_t(m_geo.maxCluster) - it.firstCluster + 1;
    n = std::min(n, room);
    if (n == 0) return true;
    p.clusters.push_back({it.firstCluster, uint32_t(n)});
  }
  for (const auto& r : p.clusters)
    f.runs.push_back({base + uint64_t(r.first - 2) * perCluster, uint64_t(r.second) * perCluster});
  m_pending.push_back(std::move(p));
  return true;
}

// Of two files whose clusters overlap, WhoKeeps says which keeps them.
void FatDelWalker::HandOverPending(const FoundSink& found) {
  std::vector<Pending> files;
  files.swap(m_pending);
  struct Span {
    uint64_t lo, hi, count;
  };
  std::vector<Span> span(files.size());
  for (size_t i = 0; i < files.size(); ++i) {
    auto& c = files[i].clusters;
    std::sort(c.begin(), c.end());
    span[i] = {c.empty() ? 0 : c.front().first, 0, 0};
    for (const auto& r : c) {
      span[i].hi = std::max<uint64_t>(span[i].hi, uint64_t(r.first) + r.second);
      span[i].count += r.second;
    }
  }
  auto shared = [&](size_t a, size_t b) {
    uint64_t n = 0;
    const auto &x = files[a].clusters, &y = files[b].clusters;
    for (size_t i = 0, j = 0; i < x.size() && j < y.size();) {
      uint64_t lo = std::max(x[i].first, y[j].first);
      uint64_t hi =
          std::min<uint64_t>(uint64_t(x[i].first) + x[i].second, uint64_t(y[j].first) + y[j].second);
      if (hi > lo) n += hi - lo;
      if (uint64_t(x[i].first) + x[i].second < uint64_t(y[j].first) + y[j].second)
        ++i;
      else
        ++j;
    }
    return n;
  };
  std::vector<size_t> order(files.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return span[a].lo < span[b].lo; });
  std::vector<bool> loses(files.size(), false);
  const uint64_t kMaxPairs = 1u << 24;
  uint64_t pairs = 0;
  for (size_t x = 0; x < order.size() && pairs < kMaxPairs; ++x) {
    size_t a = order[x];
    for (size_t y = x + 1; y < order.size() && span[order[y]].lo < span[a].hi && ++pairs < kMaxPairs; ++y) {
      size_t b = order[y];
      const FoundFile &fa = files[a].file, &fb = files[b].file;
      if (files[a].first == files[b].first && fa.size == fb.size && fa.created == fb.created) continue;
      uint64_t n = shared(a, b);
      if (n == 0) continue;
      Keeper k =
          WhoKeeps({fa.entryLive, fa.created, span[a].count}, {fb.entryLive, fb.created, span[b].count}, n);
      if (k != Keeper::kFirst) loses[a] = true;
      if (k != Keeper::kSecond) loses[b] = true;
    }
  }
  // Files handed over before (the walk's, when these come from the search of free clusters)
  // keep their clusters.
  for (size_t i = 0; i < files.size() && !m_handedOver.Empty(); ++i)
    for (const auto& r : files[i].clusters)
      if (m_handedOver.Meets(r.first, uint64_t(r.first) + r.second)) loses[i] = true;
  for (size_t i = 0; i < files.size(); ++i) {
    FoundFile& f = files[i].file;
    if (loses[i]) {
      f.runs.clear();
      f.noData = true;
    } else {
      for (const auto& r : files[i].clusters) m_handedOver.Add(r.first, r.second);
    }
  }
  m_handedOver.Seal();
  for (size_t i = 0; i < files.size(); ++i) {
    if (found(files[i].file) != 0) {
      m_stopped = true;
      return;
    }
  }
}

void FatDelWalker::HandleItems(const DirJob& job, std::vector<FatDirItem>& items, const FoundSink& found) {
  for (FatDirItem& it : items) {
    if (m_stopped) return;
    bool deleted = it.deleted || job.deleted;
    if (m_kind == kFat32) RestoreItemHighWord(&it, m_items, FatReader(), FirstEntryOf());
    if (it.firstCluster > m_geo.maxCluster) continue;  // damaged entry: skip it, keep going
    if (it.size / m_geo.bytesPerSector > m_geo.totalSectors) continue;
    if (m_kind == kFat32) m_items.Add(it.firstCluster, it.size);
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
        Queue({ChildPath(job.path, it.name), it.firstCluster, deleted, job.depth + 1, {}, 0});
      }
      continue;
    }
    if (!deleted || it.size == 0) continue;
    if (m_lostEntries) {
      // Entries no walk reached are trusted less: a file whose first cluster is in use
      // again has someone else's bytes there.
      uint32_t v = 1;
      if (!m_table.Get(it.firstCluster, &v) || v != 0) continue;
    }
    if (!ReportFile(job, it, found)) return;
  }
}

int FatDelWalker::Walk(const FoundSink& found, const ProgressSink& progress) {
  m_queue.clear();
  m_queuedDirs.clear();
  m_readClusters.clear();
  m_items.Init(m_geo.clusterBytes, m_geo.maxCluster);
  m_tails.clear();
  m_dirPaths.clear();
  m_queuePos = 0;
  m_queuedClusters = 0;
  m_freeBytesSearched = 0;
  m_lostDirClusters = 0;
  m_linkTests = 0;
  m_pending.clear();
  m_handedOver.Clear();
  m_stopped = m_gone = false;
  const std::u16string root = m_kind == kFat16 ? u"/Volume/" : u"Volume/";
  int high = 0;

  if (m_kind == kFat16) {
    FatDirParser parser(m_kind);
    std::vector<FatDirItem> items;
    std::vector<uint8_t> region(size_t(m_geo.rootDirBytes));
    bool gone = false;
    if (!region.empty() &&
        ReadAt(m_device, m_geo.rootDirOffset, region.data(), uint32_t(region.size()), &gone) != int64_t(region.size()))
      return -1;
    parser.Feed(region.data(), region.size(), [&](const FatDirItem& it) {
      items.push_back(it);
      return true;
    });
    DirJob rootJob{root, 0, false, 0, {}, 0};
    m_dirPaths[0] = root;
    HandleItems(rootJob, items, found);
    if (m_stopped) {
      HandOverPending(found);
      return 0;
    }
    if (m_queue.empty()) {
      high = 100;
      if (progress) progress(high);
    }
  } else {
    m_queuedDirs.insert(m_geo.rootCluster);
    Queue({root, m_geo.rootCluster, false, 0, {}, 0});
    // ".." of a folder in the root names cluster 0.
    m_dirPaths[0] = root;
  }
  RunQueue(found, progress, &high);
  // The folders' files go out before the search of free clusters, which may take long.
  HandOverPending(found);
  if (!m_stopped && !m_gone) SearchFreeClusters(found, progress, &high);
  HandOverPending(found);
  return 0;
}

void FatDelWalker::Queue(DirJob job) {
  if (job.deleted) {
    // The chain of a deleted directory is gone from the FAT: its first cluster only.
    job.clusters.push_back(job.cluster);
  } else {
    bool clean;
    uint32_t cap = uint32_t(std::max<uint64_t>(1, kFatDirMaxBytes / m_geo.clusterBytes));
    job.clusters = FollowChain(m_table, job.cluster, cap, &clean);
  }
  m_queuedClusters += job.clusters.size();
  job.clustersQueued = m_queuedClusters;
  m_queue.push_back(std::move(job));
}

void FatDelWalker::RunQueue(const FoundSink& found, const ProgressSink& progress, int* high) {
  FatDirParser parser(m_kind);
  std::vector<FatDirItem> items;
  auto collect = [&](const FatDirItem& it) {
    items.push_back(it);
    return true;
  };
  std::vector<uint8_t> buf;
  for (; m_queuePos < m_queue.size() && !m_stopped && !m_gone; ++m_queuePos) {
    size_t i = m_queuePos;
    // Taken out of the queue, which grows below; a walked entry is never read again.
    DirJob job = std::move(m_queue[i]);
    m_dirPaths.emplace(job.cluster, job.path);
    const std::vector<uint32_t>& clusters = job.clusters;
    // The share of the queued clusters walked, after each cluster; the high-water mark
    // keeps it from falling as the queue grows.
    auto report = [&](uint64_t done) {
      if (!progress || m_stopped || m_queuedClusters == 0) return;
      int p = int(done * 100 / m_queuedClusters);
      if (p > *high) *high = p;
      if (progress(*high) != 0) m_stopped = true;
    };
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
      // A deleted directory's entries may go on in a cluster its cleared chain no longer names.
      if (job.deleted && r == FatDirParser::kMore) m_tails.push_back({job, c, parser.PendingRun()});
      if (k + 1 < clusters.size()) report(job.clustersQueued - clusters.size() + k + 1);
    }
    // The clusters not read (an end mark, a failed dot test, a cycle) count as walked.
    report(job.clustersQueued);
  }
}

// The cluster that carries on a deleted directory after t's cluster. A long-name run that
// t's cluster left open must be completed at the start of that cluster: the next cluster
// when it does, else the only lost cluster that does. Without an open run nothing but
// the next cluster can be told, and only when it is a lost cluster that is no folder's
// first.
uint32_t FatDelWalker::NextClusterOf(const Tail& t, const std::map<uint32_t, DirClusterShape>& lost) {
  auto candidate = [&](uint32_t c) {
    auto it = lost.find(c);
    return it != lost.end() && !it->second.dot && !m_readClusters.count(c) ? &it->second : nullptr;
  };
  uint32_t next = t.cluster + 1;
  if (t.pending.empty()) return candidate(next) ? next : 0;
  size_t carried = t.pending.size() / kEntrySize;
  auto completes = [&](const DirClusterShape& s) {
    size_t lead = s.head.size() / kEntrySize - 1;
    if (carried + lead > 20) return false;
    // Every piece of one run carries the same checksum.
    uint8_t a = 0, b = 0;
    if (lead && (!FatEntryChecksum(s.head.data(), &a) || !FatEntryChecksum(t.pending.data(), &b) || a != b)) return false;
    if (m_linkTests >= kMaxLinkTests) return false;
    ++m_linkTests;
    FatDirParser parser(m_kind);
    parser.Carry(t.pending);
    bool ok = false;
    parser.Feed(s.head.data(), s.head.size(), [&](const FatDirItem& it) {
      // The carried entries must have given part of the name, not only been dropped.
      ok = it.hasLongName && it.name.size() > 13 * lead;
      return false;
    });
    return ok;
  };
  if (const DirClusterShape* s = candidate(next))
    if (completes(*s)) return next;
  uint32_t only = 0;
  for (const auto& kv : lost) {
    if (kv.first == next || !candidate(kv.first) || !completes(kv.second)) continue;
    if (only) return 0;  // two could carry it on: neither is taken
    only = kv.first;
  }
  return only;
}

void FatDelWalker::ReadLostCluster(const DirJob& job, uint32_t c, const std::vector<uint8_t>& carried,
                                   const FoundSink& found) {
  std::vector<uint8_t> buf;
  if (!m_readClusters.insert(c).second || !ReadCluster(c, &buf)) return;
  ++m_lostDirClusters;
  FatDirParser parser(m_kind);
  parser.Carry(carried);
  std::vector<FatDirItem> items;
  FatDirParser::Result r = parser.Feed(buf.data(), buf.size(), [&](const FatDirItem& it) {
    items.push_back(it);
    return true;
  });
  m_lostEntries = true;
  HandleItems(job, items, found);
  m_lostEntries = false;
  if (r == FatDirParser::kMore) m_tails.push_back({job, c, parser.PendingRun()});
}

// Clusters of deleted folders that no walk reached: the later clusters of a deleted
// folder, whose chain was cleared, and folders whose entries are gone. Only free clusters
// are read, in large pieces, up to kFreeSearchBytes; those that hold nothing but sound
// entries are joined to the folder that they carry on, or to the folder their ".." names,
// or else are placed under "Lost Location".
void FatDelWalker::SearchFreeClusters(const FoundSink& found, const ProgressSink& progress, int* high) {
  const uint64_t kPiece = 1u << 20;
  const uint64_t kPollBytes = 64ull << 20;
  const size_t kMaxLost = 32768;
  std::map<uint32_t, DirClusterShape> lost;
  uint64_t perPiece = std::max<uint64_t>(1, kPiece / m_geo.clusterBytes);
  std::vector<uint8_t> buf;
  uint64_t polled = 0;
  for (uint64_t c = 2; c <= m_geo.maxCluster && !m_gone && !m_stopped;) {
    if (m_freeBytesSearched >= kFreeSearchBytes || lost.size() >= kMaxLost) break;
    uint32_t v = 1;
    if (m_readClusters.count(uint32_t(c)) || !m_table.Get(uint32_t(c), &v) || v != 0) {
      ++c;
      continue;
    }
    // A run of free clusters that no walk read, read at once.
    uint64_t n = 1;
    while (n < perPiece && c + n <= m_geo.maxCluster && !m_readClusters.count(uint32_t(c + n)) &&
           m_table.Get(uint32_t(c + n), &v) && v == 0)
      ++n;
    uint64_t bytes = n * m_geo.clusterBytes;
    buf.resize(size_t(bytes));
    bool gone = false;
    int64_t got = ReadAt(m_device, m_geo.ClusterOffset(uint32_t(c)), buf.data(), uint32_t(bytes), &gone);
    if (gone) {
      m_gone = true;
      break;
    }
    uint64_t whole = got > 0 ? uint64_t(got) / m_geo.clusterBytes : 0;
    DirClusterShape shape;
    for (uint64_t k = 0; k < whole && lost.size() < kMaxLost; ++k)
      if (FatDirClusterShapeOf(m_geo, buf.data() + k * m_geo.clusterBytes, m_geo.clusterBytes, uint32_t(c + k), &shape))
        lost.emplace(uint32_t(c + k), std::move(shape));
    m_freeBytesSearched += bytes;
    c += n;
    if (progress && m_freeBytesSearched - polled >= kPollBytes) {
      polled = m_freeBytesSearched;
      // The share walked stands where the folders left it: only a stop is asked for.
      if (progress(kPollOnly) != 0) m_stopped = true;
    }
  }
  if (lost.empty() || m_gone) return;

  const std::u16string root = m_kind == kFat16 ? u"/Volume/" : u"Volume/";
  size_t tail = 0;
  // Tails first, then the folders that lost clusters begin; each may queue folders that are
  // walked as before and leave tails of their own.
  auto settle = [&]() {
    while (!m_stopped && !m_gone && (tail < m_tails.size() || m_queuePos < m_queue.size())) {
      for (; tail < m_tails.size() && !m_stopped && !m_gone; ++tail) {
        Tail t = m_tails[tail];  // copied: reading adds tails
        uint32_t next = NextClusterOf(t, lost);
        if (next) ReadLostCluster(t.job, next, t.pending, found);
      }
      RunQueue(found, nullptr, high);
    }
  };
  settle();
  // First clusters of folders whose entries are gone: under the folder their ".." names
  // while that one is known (which may take several rounds, as such folders nest), then
  // under "Lost Location"; last the clusters that nothing carries on.
  auto start = [&](uint32_t c, const std::u16string& path) {
    m_dirPaths.emplace(c, path);
    ReadLostCluster(DirJob{path, c, true, 1, {}, 0}, c, std::vector<uint8_t>(), found);
    settle();
  };
  for (bool more = true; more && !m_stopped && !m_gone;) {
    more = false;
    for (const auto& kv : lost) {
      if (m_stopped || m_gone) break;
      if (!kv.second.dot || m_readClusters.count(kv.first) || kv.second.parent == kv.first) continue;
      auto parent = m_dirPaths.find(kv.second.parent);
      if (parent == m_dirPaths.end()) continue;
      start(kv.first, parent->second + StandInName(kv.first) + u"/");
      more = true;
    }
  }
  for (int pass = 0; pass < 2 && !m_stopped && !m_gone; ++pass) {
    for (const auto& kv : lost) {
      if (m_stopped || m_gone) break;
      if (m_readClusters.count(kv.first) || kv.second.dot != (pass == 0)) continue;
      start(kv.first, root + u"Lost Location/" + StandInName(kv.first) + u"/");
    }
  }
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

int ExfatDelWalker::IsClusterAllocated(uint32_t c, bool* allocated) const {
  if (!allocated) return 100;
  if (!m_geo.IsDataCluster(c)) return 43;
  uint64_t bit = uint64_t(c) - 2;
  if (bit / 8 >= m_bitmap.size()) return 43;
  *allocated = (m_bitmap[size_t(bit / 8)] >> (bit % 8)) & 1;
  return 0;
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
  if (!m_table.Init(m_device, m_geo.FatTableGeometry(0))) return -1;

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
    for (bool used = false; k < out.size() && IsClusterAllocated(out[k], &used) == 0 && !used;) ++k;
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
    for (size_t k = 1; usable && deleted && k < chain.size(); ++k) {
      bool used = true;
      if (IsClusterAllocated(chain[k], &used) != 0 || used) usable = false;
    }
    if (usable) return chain;
  }
  uint64_t room = uint64_t(m_geo.maxCluster) - it.firstCluster + 1;
  // A set that ended before its count is kept only with all its clusters on the volume.
  if (it.cut && n > room) return out;
  n = std::min(n, room);
  for (uint64_t k = 0; k < n; ++k) {
    uint32_t c = uint32_t(it.firstCluster + k);
    // A file that was not kept in one piece and lost its chain: where the run that would
    // be its one piece crosses a cluster in use that no chain links to the cluster before
    // it, the file lay elsewhere, and those bytes are another file's.
    if (k > 0 && !it.noFatChain) {
      bool used = false;
      uint32_t prev = 0;
      if (IsClusterAllocated(c, &used) == 0 && used && (!m_table.Get(c - 1, &prev) || prev != c)) return {};
    }
    out.push_back(c);
  }
  return out;
}

int ExfatDelWalker::Walk(const FoundSink& found, const ProgressSink& progress) {
  m_readClusters.clear();
  m_gone = false;
  bool stopped = false;
  int shown = 0;
  int rc =
      WalkDirectory({u"/Volume/", m_geo.rootCluster, 0, false, false, 0}, found, progress, &shown, &stopped);
  if (progress && !stopped && !m_gone && shown < 100) progress(100);
  return rc;
}

int ExfatDelWalker::WalkDirectory(const DirJob& job, const FoundSink& found, const ProgressSink& progress,
                                  int* shown, bool* stopped) {
  bool allocated = false;
  if (IsClusterAllocated(job.cluster, &allocated) != 0) return 43;
  // A folder inside a deleted one whose cluster is in use again holds someone else's data.
  if (job.deleted && allocated && job.depth > 0) return 0;
  std::vector<uint8_t> buf;
  ExfatDirParser parser;
  std::vector<ExfatItem> items;
  auto collect = [&](const ExfatItem& it) {
    items.push_back(it);
    return true;
  };
  for (uint32_t c : DirClusters(job)) {
    if (!m_readClusters.insert(c).second) break;
    if (!ReadCluster(c, &buf)) break;
    if (progress) {
      uint64_t sector = m_geo.ClusterToSector(c);
      int p = int(std::min<uint64_t>(100, sector * 100 / m_geo.volumeSectors));
      if (p > *shown) {
        *shown = p;
        if (progress(*shown) != 0) {
          *stopped = true;
          return 0;
        }
      }
    }
    if (parser.Feed(buf.data(), buf.size(), collect) == ExfatDirParser::kEnd) break;
  }
  // A set whose count ran past the directory's last cluster.
  parser.Flush(collect);
  for (const ExfatItem& it : items) {
    if (*stopped || m_gone) break;
    bool deleted = it.deleted || job.deleted;
    if (it.IsDirectory()) {
      if (job.depth + 1 >= kMaxDirDepth || !m_geo.IsDataCluster(it.firstCluster)) continue;
      WalkDirectory({ChildPath(job.path, it.name), it.firstCluster, it.dataLength, it.noFatChain, deleted,
                     job.depth + 1},
                    found, progress, shown, stopped);
      continue;
    }
    if (!deleted || it.dataLength == 0) continue;
    FoundFile f;
    if (!FileInfoFromEntrySet(it, deleted, job.path, &f)) continue;
    if (found(f) != 0) *stopped = true;
  }
  return 0;
}

bool ExfatDelWalker::FileInfoFromEntrySet(const ExfatItem& it, bool deleted, const std::u16string& folder,
                                          FoundFile* f) {
  std::vector<uint32_t> clusters = FileClusters(it, deleted);
  if (clusters.empty()) return false;
  uint64_t perCluster = m_geo.clusterBytes / m_devSector;
  uint64_t base = m_geo.heapOffset / m_devSector;
  f->folder = folder;
  f->name = it.name;
  f->size = it.dataLength;
  f->createDate = it.createDate;
  f->modifyDate = it.modifyDate;
  for (uint32_t c : clusters) {
    uint64_t s = base + uint64_t(c - 2) * perCluster;
    if (!f->runs.empty() && f->runs.back().first + f->runs.back().second == s)
      f->runs.back().second += perCluster;
    else
      f->runs.push_back({s, perCluster});
  }
  // Bytes past the valid data length were never written: exFAT reads them as zeros, so
  // they are handed out as a hole rather than as whatever the clusters held before.
  if (it.validLength < it.dataLength) HoleAfterValidData(&f->runs, (it.validLength + m_devSector - 1) / m_devSector);
  return true;
}

}  // namespace fat
