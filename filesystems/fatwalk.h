// The directory walks behind the FAT16, FAT32 and exFAT deleted-file scanners. They read
// only, follow every link from the disk with a visited set and caps, and hand each found
// file to a callback; the scanner classes turn those into result records.
#pragma once
#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "filesystems/fatentry.h"

class IStorageDevice;

namespace fat {

struct FoundFile {
  std::u16string folder;  // path of the folder, ends with "/"
  std::u16string name;
  uint64_t size = 0;
  uint16_t createDate = 0;
  uint16_t modifyDate = 0;
  // Device sectors (of the facade's sector size): start, count.
  std::vector<std::pair<uint64_t, uint64_t>> runs;
  // The FAT walks: creation date, time and hundredths as stored (date << 24 | time << 8 |
  // hundredths), and whether the entry itself is in use (inside a deleted or lost folder).
  uint64_t created = 0;
  bool entryLive = false;
  // Another entry's file holds its clusters: listed without data (runs empty).
  bool noData = false;
};

// Non-zero answers stop the walk.
typedef std::function<int(const FoundFile&)> FoundSink;
// A percentage, or kPollOnly where the walk only asks whether to stop.
typedef std::function<int(int percent)> ProgressSink;
const int kPollOnly = -1;

const int kMaxDirDepth = 64;

// Two entries that name some of the same clusters cannot both have their bytes there. An
// entry still in use (inside a folder deleted or lost as a whole) held its clusters until
// then, so it keeps them over one deleted before; else the later created wrote last. Of two
// created at once, one lying wholly inside the other's clusters keeps them (files written
// into a larger one's freed clusters); any other pair gives neither its bytes.
struct ClusterClaim {
  bool live;         // the entry is in use
  uint64_t created;  // as FoundFile::created
  uint64_t clusters;
};
enum class Keeper { kFirst, kSecond, kNeither };
inline Keeper WhoKeeps(const ClusterClaim& a, const ClusterClaim& b, uint64_t shared) {
  if (a.live != b.live) return a.live ? Keeper::kFirst : Keeper::kSecond;
  if (a.created != b.created) return a.created > b.created ? Keeper::kFirst : Keeper::kSecond;
  if (shared == b.clusters && shared < a.clusters) return Keeper::kSecond;
  if (shared == a.clusters && shared < b.clusters) return Keeper::kFirst;
  return Keeper::kNeither;
}

// Cluster ranges (first, count) of files that keep their clusters, asked whether any of them
// meets a range: sorted, with the furthest end among the first i + 1.
class ClusterRanges {
 public:
  void Add(uint32_t first, uint32_t count) { m_ranges.push_back({first, count}); }
  // After the last Add, before Meets.
  void Seal() {
    std::sort(m_ranges.begin(), m_ranges.end());
    m_reach.resize(m_ranges.size());
    for (size_t i = 0; i < m_ranges.size(); ++i)
      m_reach[i] =
          std::max<uint64_t>(i ? m_reach[i - 1] : 0, uint64_t(m_ranges[i].first) + m_ranges[i].second);
  }
  bool Meets(uint64_t first, uint64_t end) const {
    auto it = std::lower_bound(m_ranges.begin(), m_ranges.end(),
                               std::make_pair(uint32_t(std::min<uint64_t>(end, UINT32_MAX)), 0u));
    size_t n = size_t(it - m_ranges.begin());
    return n > 0 && m_reach[n - 1] > first;
  }
  bool Empty() const { return m_ranges.empty(); }
  void Clear() {
    m_ranges.clear();
    m_reach.clear();
  }

 private:
  std::vector<std::pair<uint32_t, uint32_t>> m_ranges;
  std::vector<uint64_t> m_reach;
};

// What a free cluster that holds directory entries tells about its place in a directory.
struct DirClusterShape {
  bool dot = false;        // begins with "." naming this cluster and "..": a first cluster
  uint32_t parent = 0;     // the ".." entry's cluster (0: the root)
  bool full = false;       // no end mark: the directory may go on in another cluster
  std::vector<uint8_t> head;  // its entries up to and with the first short entry
};

// True when the cluster at p (len bytes, cluster number c) holds nothing but sound directory
// entries up to an end mark followed by zeros: long-name entries with their fixed fields
// and padding, short entries with legal names, attributes, times and dates, and first
// clusters and sizes that fit the volume. Free clusters of deleted files seldom pass this
// by chance; free clusters of deleted folders do.
bool FatDirClusterShapeOf(const FatGeometry& geo, const uint8_t* p, size_t len, uint32_t c,
                          DirClusterShape* out);

class FatDelWalker {
 public:
  FatDelWalker(IStorageDevice* device, FatKind kind);

  // Reads the boot sector and the FAT: RC_OK, RC_MISSING no device geometry, RC_READ_FAILED
  // short read, RC_WRONG_FS not this FAT type, RC_NO_MEMORY, RC_FAIL inconsistent geometry
  // or unreadable FAT.
  int Open();
  // RC_OK when the walk ran (also when stopped or the device vanished), RC_FAIL when the root
  // directory could not be read.
  int Walk(const FoundSink& found, const ProgressSink& progress);

  const FatGeometry& Geometry() const { return m_geo; }
  FatTable& Table() { return m_table; }
  uint32_t DeviceSectorSize() const { return m_devSector; }
  bool DeviceGone() const { return m_gone; }
  bool Stopped() const { return m_stopped; }
  // The first data sector in device sectors.
  uint64_t DataStartSector() const { return m_geo.dataOffset / m_devSector; }

  // Free clusters read by the pass after the walk, and how many of them held directory
  // entries that no walk had reached.
  uint64_t FreeBytesSearched() const { return m_freeBytesSearched; }
  size_t LostDirClusters() const { return m_lostDirClusters; }
  // At most this many bytes of free clusters are searched for lost directory clusters.
  static const uint64_t kFreeSearchBytes = 2ull << 30;

  // Deleted-file placement; public for the tests.
  bool GuessRuns(uint32_t first, uint64_t size, std::vector<std::pair<uint32_t, uint32_t>>* clusterRuns);

 private:
  struct DirJob {
    std::u16string path;
    uint32_t cluster;
    bool deleted;
    int depth;
    // Its clusters as queued (a deleted directory's first alone, a live one's chain), and
    // the count of clusters queued up to and with this directory's: progress counts them.
    std::vector<uint32_t> clusters;
    uint64_t clustersQueued = 0;
  };
  // A deleted directory whose last cluster read was full: its entries may go on elsewhere.
  struct Tail {
    DirJob job;
    uint32_t cluster;
    std::vector<uint8_t> pending;  // long-name entries still waiting for their short entry
  };
  bool ReadCluster(uint32_t c, std::vector<uint8_t>* buf);
  FatEntryReader FatReader();
  FirstEntryReader FirstEntryOf();
  // Appends a directory to the queue with its clusters.
  void Queue(DirJob job);
  void RunQueue(const FoundSink& found, const ProgressSink& progress, int* high);
  void SearchFreeClusters(const FoundSink& found, const ProgressSink& progress, int* high);
  uint32_t NextClusterOf(const Tail& t, const std::map<uint32_t, DirClusterShape>& lost);
  void ReadLostCluster(const DirJob& job, uint32_t c, const std::vector<uint8_t>& carried,
                       const FoundSink& found);
  void HandleItems(const DirJob& job, std::vector<FatDirItem>& items, const FoundSink& found);
  bool DotEntriesAt(const std::vector<uint8_t>& cluster, uint32_t self);
  bool ReportFile(const DirJob& job, const FatDirItem& it, const FoundSink& found);
  // Files found, with their clusters (first, count), handed to the sink once the folders
  // are walked and again after the search of free clusters: two entries may name the same
  // clusters, and only one can have its bytes there.
  struct Pending {
    FoundFile file;
    uint32_t first;
    std::vector<std::pair<uint32_t, uint32_t>> clusters;
  };
  void HandOverPending(const FoundSink& found);

  IStorageDevice* m_device;
  FatKind m_kind;
  uint32_t m_devSector = 0;
  uint64_t m_deviceBytes = 0;
  FatGeometry m_geo;
  FatTable m_table;
  std::vector<DirJob> m_queue;
  std::unordered_set<uint32_t> m_queuedDirs;   // first clusters already queued
  std::unordered_set<uint32_t> m_readClusters; // every directory cluster read
  // Every entry in parse order, for FAT32 high-word restoration.
  ItemInfoList m_items;
  size_t m_queuePos = 0;                        // next queue entry to walk
  uint64_t m_queuedClusters = 0;                // clusters of every directory queued
  std::vector<Tail> m_tails;
  std::map<uint32_t, std::u16string> m_dirPaths;  // first cluster -> folder path, for ".."
  std::vector<Pending> m_pending;
  ClusterRanges m_handedOver;  // clusters of the files handed over with their bytes
  uint64_t m_freeBytesSearched = 0;
  size_t m_lostDirClusters = 0;
  bool m_lostEntries = false;      // the entries being handled come from such a cluster
  uint64_t m_linkTests = 0;        // long-name runs tried across clusters, bounded
  static const uint64_t kMaxLinkTests = 1u << 20;
  bool m_gone = false;
  bool m_stopped = false;
};

class ExfatDelWalker {
 public:
  explicit ExfatDelWalker(IStorageDevice* device);

  // RC_OK, RC_MISSING no geometry, RC_READ_FAILED short read, RC_WRONG_FS not exFAT or no
  // allocation bitmap, RC_NO_MEMORY, RC_FAIL inconsistent geometry.
  int Open();
  int Walk(const FoundSink& found, const ProgressSink& progress);

  const ExfatVolume& Geometry() const { return m_geo; }
  const std::vector<uint8_t>& Bitmap() const { return m_bitmap; }
  uint64_t BitmapLength() const { return m_bitmapRef.length; }
  // *allocated from the allocation bitmap: 0, RC_MISSING for a cluster outside the heap or
  // past the bitmap, RC_BAD_ARGUMENT for a null pointer.
  int IsClusterAllocated(uint32_t cluster, bool* allocated) const;
  uint64_t DataStartSector() const { return m_geo.heapOffset / m_devSector; }
  uint32_t DeviceSectorSize() const { return m_devSector; }

  // True when the walk ended because the device vanished (ENXIO, ENODEV).
  bool DeviceGone() const { return m_gone; }

 private:
  struct DirJob {
    std::u16string path;
    uint32_t cluster;
    uint64_t length;  // 0: follow the FAT chain to its end
    bool noFatChain;
    bool deleted;
    int depth;
  };
  // Reads one directory: deleted files, and every file of a deleted directory, go to
  // found, and each folder is walked where its entry stands. 0, or RC_MISSING when the
  // directory's cluster is outside the allocation bitmap. *stopped ends the whole walk.
  int WalkDirectory(const DirJob& job, const FoundSink& found, const ProgressSink& progress, int* shown,
                    bool* stopped);
  // The found file of one entry set: its runs in device sectors, the part past the valid
  // data length as a hole. False when no cluster of it can be placed.
  bool FileInfoFromEntrySet(const ExfatItem& it, bool deleted, const std::u16string& folder, FoundFile* f);
  std::vector<uint32_t> DirClusters(const DirJob& job);
  std::vector<uint32_t> FileClusters(const ExfatItem& it, bool deleted);
  bool ReadCluster(uint32_t c, std::vector<uint8_t>* buf);

  IStorageDevice* m_device;
  uint32_t m_devSector = 0;
  uint64_t m_deviceBytes = 0;
  ExfatVolume m_geo;
  FatTable m_table;
  ExfatBitmapRef m_bitmapRef;
  std::vector<uint8_t> m_bitmap;
  std::unordered_set<uint32_t> m_readClusters;
  bool m_gone = false;
};

}  // namespace fat
