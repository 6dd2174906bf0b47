// Finds the geometry of a formatted or damaged FAT volume from the directory clusters that
// survived (their "." entries name their own cluster numbers), falling back to the boot
// sector, and then hunts the device for directory clusters. Reads go through an 8 MiB cache.
#pragma once
#include <cstdint>
#include <functional>
#include <vector>

class IStorageDevice;

namespace fatrec {

enum FatType { FT_None = 0, FT_FAT16 = 1, FT_FAT32 = 2 };

struct FatInfo {
  FatType ft = FT_None;
  int sectorSize = 0;
  int clusterSize = 0;
  int numFats = 0;
  int64_t fatSize = 0;      // bytes of one FAT
  int64_t fatOffset = 0;    // bytes, first FAT
  uint16_t rootEntries = 0;
  uint32_t rootCluster = 0;
  int64_t deviceSize = 0;
};

const uint32_t FAT_CACHE_SIZE = 0x800000;
const uint32_t MAX_CLUSTERSIZE = 0x10000;

class FatInspector {
 public:
  // done, total in bytes; non-zero stops.
  typedef std::function<int(int64_t, int64_t)> Progress;

  enum FindResult { kDotCluster = 0, kEndOfRange = 1, kStopped = 2, kUnreadable = 5, kDirLike = 10 };

  explicit FatInspector(IStorageDevice* device);
  void SetProgress(Progress p) { m_progress = std::move(p); }
  // The owner's own test for a cluster that continues a directory it has seen (answered
  // as a directory-like find).
  void SetContinuationTest(std::function<bool(const uint8_t*)> t) { m_continues = std::move(t); }

  // fi->ft must be FT_FAT16 or FT_FAT32; fills *fi on success.
  bool Inspect(FatInfo* fi);
  const FatInfo& Info() const { return m_info; }
  // A geometry established otherwise (by the files that entries name).
  void SetInfo(const FatInfo& fi) { m_info = fi; }
  // Directory clusters with dot entries that this inspection met.
  int64_t DotClustersFound() const { return m_found; }

  // 0; 29 the seek landed elsewhere; 5 nothing or too little could be read; 43 refused
  // (negative offset, length not below the cache size).
  int CachedRead(int64_t offset, void* buf, uint32_t len);
  // Reads inside the device that failed since the inspector was made.
  int64_t ReadFailures() const { return m_readFailures; }
  // kDotCluster / kDirLike with *pos; kEndOfRange; kStopped; kUnreadable with *pos at the
  // step that could not be read. A step of 0 or above 64 KiB ends the search at once.
  int FindDirCluster(int64_t start, int64_t limit, uint32_t step, int64_t* pos);

  int64_t RootDirOffset() const { return m_info.fatOffset + int64_t(m_info.numFats) * m_info.fatSize; }
  // -1 for a cluster below 2 and for the FAT16 root, which is no cluster.
  int64_t ClusterToOffset(uint32_t cn) const;
  uint32_t GetRootClstNum() const { return m_info.ft == FT_FAT32 ? m_info.rootCluster : 0xFFFD; }
  bool HasMacSystemFolders();

  // Entry tests used by the search; public for the tests.
  static bool IsDotPair(const uint8_t* p, size_t len);
  static bool LooksLikeDirectory(const uint8_t* p, size_t len);

 private:
  bool FromDirectories();
  bool FromBootRecord();
  int Failed(int64_t offset, uint32_t len, int rc);

  IStorageDevice* m_pDevice;
  FatInfo m_info;
  Progress m_progress;
  std::function<bool(const uint8_t*)> m_continues;
  std::vector<uint8_t> m_cache;
  uint32_t m_cacheValid = 0;
  int64_t m_cacheOffset = 0;
  int64_t m_found = 0;
  int64_t m_readFailures = 0;
};

}  // namespace fatrec
