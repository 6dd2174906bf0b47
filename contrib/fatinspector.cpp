#include "contrib/fatinspector.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <new>

#include "common/inc/bytes.h"
#include "common/inc/istoragedevice.h"
#include "common/layout/fat_boot.h"
#include "common/layout/fat_dirent.h"
#include "common/textutil.h"
#include "filesystems/fatentry.h"

namespace fatrec {

namespace {

const int64_t kFat16RootBytes = 512 * 32;

// A "." (kind 1) or ".." (kind 2) entry as a folder's first cluster holds it.
bool IsDotEntry(const uint8_t* e, int kind) {
  layout::FatDirEntry d;
  return layout::DecodeFatDirEntry(e, fat::kEntrySize, &d) && layout::FatDotName(d.name) == kind &&
         (d.attributes & fat::kAttrDirectory) && d.caseFlags == 0 && d.fileSize == 0;
}

// Long-name entry as the search wants it: attribute 0x0F, byte 12 zero.
bool IsLfn(const uint8_t* e) {
  layout::FatLongNameEntry l;
  return layout::DecodeFatLongNameEntry(e, fat::kEntrySize, &l) && l.attributes == fat::kAttrLongName && l.type == 0;
}
// A plain entry: an archived file, or a hidden archived 4 KiB file (macOS "._" companions).
bool IsPlain(const uint8_t* e) {
  layout::FatDirEntry d;
  if (!layout::DecodeFatDirEntry(e, fat::kEntrySize, &d)) return false;
  return d.attributes == 0x20 || (d.attributes == 0x22 && d.fileSize == 4096);
}
// Two long-name entries of one run.
bool SameRun(const uint8_t* a, const uint8_t* b) {
  uint8_t x = 0, y = 0;
  return IsLfn(a) && IsLfn(b) && fat::FatEntryChecksum(a, &x) && fat::FatEntryChecksum(b, &y) && x == y;
}
bool TailOk(const uint8_t* e1, const uint8_t* e2) { return SameRun(e1, e2) || IsPlain(e2); }

// The regions of a FAT12 boot sector. The shared decoder answers for FAT16 alone, as the
// scanners that follow FAT chains must not read 12-bit entries as 16-bit ones; this reader
// follows none, and FAT12 lays out its reserved area, FATs, root and clusters as FAT16 does.
bool Fat12Regions(const uint8_t* boot, size_t len, uint64_t size, fat::FatGeometry* g) {
  layout::FatBootSector b;
  if (!layout::DecodeFatBootSector(boot, len, &b) || layout::FatKind(b) != 12) return false;
  uint64_t bps = b.bytesPerSector, fatSectors = b.FatSize();
  uint64_t rootSectors = (uint64_t(b.rootEntries) * 32 + bps - 1) / bps;
  uint64_t meta = uint64_t(b.reservedSectors) + uint64_t(b.numFats) * fatSectors + rootSectors;
  if (b.rootEntries == 0 || meta >= b.TotalSectors() || meta * bps > size) return false;
  uint64_t clusters = (b.TotalSectors() - meta) / b.sectorsPerCluster;
  // 1.5 bytes an entry: a FAT too short for the clusters belongs to another geometry.
  if ((clusters + 2) * 3 / 2 > fatSectors * bps + bps) return false;
  g->bytesPerSector = b.bytesPerSector;
  g->sectorsPerCluster = b.sectorsPerCluster;
  g->clusterBytes = uint32_t(bps * b.sectorsPerCluster);
  g->numFats = b.numFats;
  g->rootEntries = b.rootEntries;
  g->fatOffset = uint64_t(b.reservedSectors) * bps;
  g->fatBytes = fatSectors * bps;
  g->dataOffset = meta * bps;
  return true;
}

// The boot sector's regions for the FAT type asked for; FAT12 counts as the FAT12/16 type.
bool BootRegions(const uint8_t* boot, size_t len, FatType ft, uint64_t size, fat::FatGeometry* g) {
  if (fat::ParseFatBoot(boot, len, ft == FT_FAT32 ? fat::kFat32 : fat::kFat16, size, g) == 0) return true;
  return ft == FT_FAT16 && Fat12Regions(boot, len, size, g);
}

}  // namespace

FatInspector::FatInspector(IStorageDevice* device) : m_pDevice(device) {}

bool FatInspector::IsDotPair(const uint8_t* p, size_t len) {
  if (!p || len < 64) return false;
  return IsDotEntry(p, 1) && IsDotEntry(p + 32, 2);
}

bool FatInspector::LooksLikeDirectory(const uint8_t* p, size_t len) {
  if (!p || len < 96) return false;
  const uint8_t *e0 = p, *e1 = p + 32, *e2 = p + 64;
  // Repeated filler is no directory.
  if (std::memcmp(e0, e0 + 8, 8) == 0 || std::memcmp(e0 + 16, e0 + 24, 8) == 0) return false;
  if (IsLfn(e0)) {
    if (SameRun(e0, e1)) return TailOk(e1, e2);
    return IsPlain(e1);
  }
  if (!IsPlain(e0)) return false;
  if (!IsLfn(e1)) return IsPlain(e1) && (IsLfn(e2) || IsPlain(e2));
  return TailOk(e1, e2);
}

int FatInspector::CachedRead(int64_t offset, void* buf, uint32_t len) {
  if (!m_pDevice || !buf || offset < 0 || len >= FAT_CACHE_SIZE) return 43;
  if (len == 0) return 0;
  if (offset >= m_cacheOffset && uint64_t(offset - m_cacheOffset) <= m_cacheValid &&
      m_cacheValid - uint64_t(offset - m_cacheOffset) >= len) {
    std::memcpy(buf, m_cache.data() + (offset - m_cacheOffset), len);
    return 0;
  }
  if (m_cache.size() < len) m_cache.clear();
  if (m_cache.empty()) {
    // No larger than the device: a small device costs no 8 MiB a scan.
    uint64_t size = 0;
    uint64_t want = FAT_CACHE_SIZE;
    if (m_pDevice->GetSize(&size) == 0 && size < want) want = std::max<uint64_t>(size, len);
    try {
      m_cache.resize(size_t(want));
    } catch (...) {
      m_cache.clear();
      return 12;
    }
  }
  m_cacheValid = 0;
  if (m_pDevice->Seek(offset, 0) != offset) return Failed(offset, len, 29);
  int got = m_pDevice->Read(m_cache.data(), uint32_t(m_cache.size()));
  if (got <= 0 || uint32_t(got) < len) {
    // One damaged sector inside the 8 MiB must not hide the step asked for: read just that.
    if (m_pDevice->Seek(offset, 0) != offset) return Failed(offset, len, 29);
    got = m_pDevice->Read(m_cache.data(), len);
    if (got <= 0 || uint32_t(got) < len) return Failed(offset, len, 5);
  }
  m_cacheOffset = offset;
  m_cacheValid = uint32_t(got);
  std::memcpy(buf, m_cache.data(), len);
  return 0;
}

int FatInspector::Failed(int64_t offset, uint32_t len, int rc) {
  // Bytes past the device's end are no damage: a guessed region may reach there.
  uint64_t size = 0;
  if (m_pDevice->GetSize(&size) == 0 && uint64_t(offset) <= size && size - uint64_t(offset) >= len) ++m_readFailures;
  return rc;
}

int FatInspector::FindDirCluster(int64_t start, int64_t limit, uint32_t step, int64_t* pos) {
  if (!pos || step == 0 || step > MAX_CLUSTERSIZE || start < 0) return kEndOfRange;
  uint8_t buf[MAX_CLUSTERSIZE];
  while (start <= limit && limit - start >= int64_t(step)) {
    if (m_progress && m_progress(start, limit) != 0) return kStopped;
    if (CachedRead(start, buf, step) != 0) {
      *pos = start;
      return kUnreadable;
    }
    if (IsDotPair(buf, step)) {
      *pos = start;
      return kDotCluster;
    }
    if (m_info.clusterSize > 0 && step == uint32_t(m_info.clusterSize) &&
        (LooksLikeDirectory(buf, step) || (m_continues && m_continues(buf)))) {
      *pos = start;
      return kDirLike;
    }
    start += step;
  }
  return kEndOfRange;
}

int64_t FatInspector::ClusterToOffset(uint32_t cn) const {
  if (cn < 2 || (m_info.ft == FT_FAT16 && cn == GetRootClstNum())) return -1;
  int64_t off = RootDirOffset() + int64_t(cn - 2) * m_info.clusterSize;
  if (m_info.ft == FT_FAT16) off += int64_t(m_info.rootEntries) * 32;
  return off;
}

bool FatInspector::HasMacSystemFolders() {
  if (!m_pDevice) return false;
  static const char16_t* const kPaths[] = {u"/Volume/.Spotlight-V100", u"/Volume/.Trashes", u"/Volume/.fseventsd"};
  for (const char16_t* p : kPaths)
    if (MapVolumePath(p, m_pDevice->GetDevice())) return true;
  return false;
}

bool FatInspector::Inspect(FatInfo* fi) {
  if (!m_pDevice || !fi || (fi->ft != FT_FAT16 && fi->ft != FT_FAT32)) return false;
  // Everything an inspection learns is its own: a second one must behave like the first.
  m_info = FatInfo();
  m_info.ft = fi->ft;
  m_found = 0;
  m_cacheValid = 0;
  if (FromDirectories() || FromBootRecord()) {
    *fi = m_info;
    return true;
  }
  FatType ft = m_info.ft;
  m_info = FatInfo();
  m_info.ft = ft;
  return false;
}

bool FatInspector::FromBootRecord() {
  uint8_t boot[512];
  int deviceFs = m_pDevice->GetFileSystem();
  if (deviceFs != 0 && deviceFs != int(m_info.ft)) return false;
  uint64_t size = 0;
  if (m_pDevice->GetSize(&size) != 0 || size == 0) return false;
  fat::FatGeometry g;
  // The shared decoder refuses what a hostile boot sector can hold: zero or odd sizes,
  // regions past the volume, a FAT too small for its clusters. FAT32 keeps a copy six
  // sectors on, which serves where the first sector is destroyed (the copy the format
  // search may have found the volume by).
  bool found = false;
  for (int64_t at : {int64_t(0), int64_t(6 * 512)}) {
    if (at > 0 && m_info.ft != FT_FAT32) break;
    found = CachedRead(at, boot, sizeof boot) == 0 && BootRegions(boot, sizeof boot, m_info.ft, size, &g);
    if (found) break;
  }
  if (!found) return false;
  if (g.clusterBytes < 512 || g.clusterBytes > MAX_CLUSTERSIZE) return false;
  m_info.sectorSize = int(g.bytesPerSector);
  m_info.clusterSize = int(g.clusterBytes);
  m_info.numFats = int(g.numFats);
  m_info.fatOffset = int64_t(g.fatOffset);
  m_info.fatSize = int64_t(g.fatBytes);
  m_info.rootEntries = uint16_t(m_info.ft == FT_FAT32 ? g.clusterBytes / 32 : g.rootEntries);
  m_info.rootCluster = m_info.ft == FT_FAT32 ? g.rootCluster : 2;
  m_info.deviceSize = int64_t(size);
  return m_info.ft == FT_FAT32 || m_info.rootEntries > 0;
}

bool FatInspector::FromDirectories() {
  uint64_t size = 0;
  int clusterBytes = 0, sectorSize = 0;
  if (m_pDevice->GetSize(&size) != 0 || size == 0 || size > uint64_t(INT64_MAX)) return false;
  if (m_pDevice->GetClusterInfo(&clusterBytes, &sectorSize) != 0 || sectorSize < 512 ||
      !kbytes::IsPowerOfTwo(uint32_t(sectorSize)) || uint32_t(sectorSize) > MAX_CLUSTERSIZE)
    return false;
  bool mac = HasMacSystemFolders();
  const int64_t limit = int64_t(size);

  // Every consecutive pair of "." clusters proposes a cluster size c and a data start s;
  // the proposal most pairs agree on wins (the later one on a tie), so that one stray copy
  // of a directory inside a file cannot decide.
  std::map<std::pair<int64_t, int64_t>, std::pair<int64_t, int64_t>> votes;  // (c,s) -> (count, last)
  int64_t px = -1, pi = 0, order = 0, pos = 0, at = 0;
  uint8_t first[64];
  for (;;) {
    int r = FindDirCluster(at, limit, uint32_t(sectorSize), &pos);
    if (r == kUnreadable) {
      at = pos + sectorSize;
      continue;
    }
    if (r != kDotCluster) {
      if (r == kStopped) return false;
      break;
    }
    at = pos + sectorSize;
    ++m_found;
    if (mac && m_found < 10) continue;
    if (CachedRead(pos, first, sizeof first) != 0) continue;
    layout::FatDirEntry dot;
    if (!layout::DecodeFatDirEntry(first, sizeof first, &dot)) continue;
    int64_t i = dot.FirstCluster(m_info.ft == FT_FAT32);
    if (i < 2) continue;
    if (px >= 0 && i != pi) {
      int64_t dy = pos - px, dj = i - pi;
      if (dj > 0 && dy % dj == 0) {
        int64_t c = dy / dj;
        int64_t s = px - (pi - 2) * c;
        if (c >= 512 && c <= int64_t(MAX_CLUSTERSIZE) && kbytes::IsPowerOfTwo(uint64_t(c)) && s > 0 &&
            s == pos - (i - 2) * c) {
          auto& v = votes[{c, s}];
          v.first++;
          v.second = order++;
        }
      }
    }
    px = pos;
    pi = i;
  }
  if (votes.empty()) return false;
  auto best = votes.begin();
  for (auto it = votes.begin(); it != votes.end(); ++it)
    if (it->second.first > best->second.first ||
        (it->second.first == best->second.first && it->second.second > best->second.second))
      best = it;
  int64_t c = best->first.first, s = best->first.second;

  m_info.sectorSize = sectorSize;
  m_info.clusterSize = int(c);
  m_info.numFats = 2;
  m_info.deviceSize = limit;
  m_info.rootCluster = 2;
  int64_t rootBytes = m_info.ft == FT_FAT16 ? kFat16RootBytes : 0;
  m_info.rootEntries = uint16_t(m_info.ft == FT_FAT32 ? c / 32 : 512);

  // A surviving boot sector that agrees on cluster size and data start knows the rest
  // (root entries other than 512, the FAT32 root cluster, the real FAT size).
  uint8_t boot[512];
  fat::FatGeometry g;
  if (CachedRead(0, boot, sizeof boot) == 0 &&
      BootRegions(boot, sizeof boot, m_info.ft, size, &g) &&
      int64_t(g.clusterBytes) == c && int64_t(g.dataOffset) == s) {
    m_info.numFats = int(g.numFats);
    m_info.fatOffset = int64_t(g.fatOffset);
    m_info.fatSize = int64_t(g.fatBytes);
    if (m_info.ft == FT_FAT16) m_info.rootEntries = uint16_t(g.rootEntries);
    else m_info.rootCluster = g.rootCluster;
    return true;
  }
  if (s - rootBytes <= 0) return false;
  m_info.fatSize = (limit / c) * 4;
  m_info.fatOffset = (s - rootBytes) - 2 * m_info.fatSize;
  if (m_info.fatOffset < 0) {
    // The guessed FAT size only places the root; keep the root where the clusters say.
    m_info.numFats = 0;
    m_info.fatSize = 0;
    m_info.fatOffset = s - rootBytes;
  }
  return true;
}

}  // namespace fatrec
