#include "filesystems/exfatformat.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <unordered_map>
#include <unordered_set>

#include "common/inc/bytes.h"
#include "common/inc/ifilemanager.h"
#include "common/inc/inotifysink.h"
#include "common/inc/kestrum_types.h"
#include "common/inc/seams.h"
#include "common/layout/exfat_dirent.h"
#include "common/timeconv.h"
#include "filemanager/fileinfo.h"
#include "filesystems/fatio.h"
#include "graphfs/graphfs.h"

namespace {

// Graph ids above every 32-bit cluster number (never the orphan folder's id); files without
// data get ids of their own.
const int64_t kClusterIdBase = int64_t(1) << 32;
const int64_t kEmptyIdBase = int64_t(2) << 32;
const uint32_t kWindowClusters = 51;
const uint32_t kWindowBytes = 4u << 20;
const uint64_t kSearchSectors = 100000;
// Bounds on what the layout vote keeps, so that a volume full of lookalikes costs time and
// memory in proportion to these and not to its size.
const size_t kMaxDirStarts = size_t(1) << 20;
const size_t kMaxDirRefs = 16384;
const size_t kMaxAnchors = 4;
const size_t kMaxFolderRefs = size_t(1) << 18;
const size_t kMaxClaims = size_t(1) << 21;
// The longest folder followed through its chain, as the deleted-file scan bounds it.
const uint64_t kFolderMaxBytes = 256ull << 20;
// Files leave the graph once more than 1000 wait; the results tree's stop answer ends only
// the hand-out under way, and a stop leaves what was found to be listed.
const GFS::FeedRules kFeedRules = {1000, GFS::kAnswerEndsWalk, true, GFS::kResultAsIs};

// The directory entry set that a sector's entry j opens names a folder: the file entry
// (live or deleted, 2..18 secondaries, directory attribute) and its stream extension with a
// name. The stream entry may open the next sector (next, or null).
bool FolderSetAt(const uint8_t* e, const uint8_t* stream, uint32_t* first) {
  layout::ExfatFileEntry f;
  layout::ExfatStreamEntry st;
  if (!layout::DecodeExfatFileEntry(e, layout::kExfatEntrySize, &f) || f.secondaryCount < 2 ||
      f.secondaryCount > 18 || !(f.fileAttributes & 0x10))
    return false;
  if (!stream || !layout::DecodeExfatStreamEntry(stream, layout::kExfatEntrySize, &st) || st.nameLength == 0) return false;
  *first = st.firstCluster;
  return true;
}

// A file entry (live or deleted, with at least a stream and a name entry) and the stream
// extension after it, which may open the next sector (stream, or null).
bool EntrySetAt(const uint8_t* e, const uint8_t* stream, layout::ExfatFileEntry* f,
                layout::ExfatStreamEntry* st) {
  return layout::DecodeExfatFileEntry(e, layout::kExfatEntrySize, f) && f->secondaryCount >= 2 && stream &&
         layout::DecodeExfatStreamEntry(stream, layout::kExfatEntrySize, st) && st->nameLength != 0;
}

// A file entry set at e (avail bytes from e in memory) that names a file of a kind the
// carving analysers know, with a first cluster and data.
bool FileSetAt(const uint8_t* e, size_t avail, layoutvote::FileRef* out) {
  layout::ExfatFileEntry f;
  layout::ExfatStreamEntry st;
  if (!layout::DecodeExfatFileEntry(e, avail, &f) || f.secondaryCount < 2 || f.secondaryCount > 18 ||
      (f.fileAttributes & 0x10))
    return false;
  if (avail / layout::kExfatEntrySize < size_t(f.secondaryCount) + 1) return false;
  if (!layout::DecodeExfatStreamEntry(e + 32, avail - 32, &st) || st.nameLength == 0 || st.firstCluster < 2 ||
      st.dataLength == 0)
    return false;
  std::u16string name;
  for (size_t k = 2; k <= f.secondaryCount && name.size() < st.nameLength; ++k) {
    layout::ExfatNameEntry n;
    if (!layout::DecodeExfatNameEntry(e + k * 32, avail - k * 32, &n)) return false;
    for (size_t c = 0; c < layout::kExfatNameChars && name.size() < st.nameLength; ++c) name.push_back(n.chars[c]);
  }
  if (name.size() != st.nameLength) return false;
  int type = kraw::TypeOfName(name.c_str());
  if (type <= 0) return false;
  *out = {st.firstCluster, uint16_t(type), st.dataLength};
  return true;
}

// The first allocation-bitmap entry of a run of entries.
bool FirstBitmapEntry(const uint8_t* p, size_t len, layout::ExfatBitmapEntry* out) {
  for (size_t i = 0; i + layout::kExfatEntrySize <= len; i += layout::kExfatEntrySize)
    if (p[i] == layout::kExfatTypeBitmap && layout::DecodeExfatBitmapEntry(p + i, len - i, out)) return true;
  return false;
}

bool Zero(const uint8_t* p, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (p[i]) return false;
  return true;
}

uint64_t DateValue(uint16_t d) {
  int t = DosDateToTime(d, 0);
  return t < 0 ? 0 : uint64_t(t);
}

bool KeepExisting(void*, void* incoming, int) {
  if (incoming) static_cast<IFileInfo*>(incoming)->Release();
  return false;
}

void ReleaseInfo(void* payload, void* user) { GFS::ReleaseFileInfo(payload, user); }

// A read of len bytes at off that brought fewer though they all lie on the device.
bool FailedInside(IStorageDevice* device, uint64_t off, int64_t got, uint64_t len) {
  uint64_t size = 0;
  if (got >= 0 && uint64_t(got) >= len) return false;
  return device->GetSize(&size) == 0 && off <= size && size - off >= len;
}

}  // namespace

CExfatFormat::CExfatFormat(IStorageDevice* device, IFileManager* manager, uint64_t bootSector)
    : m_device(device), m_bootSector(bootSector), m_feeder(kFeedRules) {
  m_pFileManager = manager;
}

CExfatFormat::~CExfatFormat() {}

int CExfatFormat::IsRootDirectoryStart(const uint8_t* s) {
  if (!s) return RC_BAD_ARGUMENT;
  static const uint8_t kZero[15] = {};
  bool bitmapSecond = s[32] == 0x81 && std::memcmp(s + 33, kZero, 15) == 0;
  if (s[0] == 0x03 && Zero(s + 1, 31) && bitmapSecond) return 0;
  if (s[0] != 0x03 && bitmapSecond && s[64] == 0x82) return 0;
  return RC_MISSING;
}

int CExfatFormat::ReadVolumeInfo() {
  if (!m_device) return RC_MISSING;
  int cb = 0, ss = 0;
  if (m_device->GetClusterInfo(&cb, &ss) == 0 && ss >= 512 && kbytes::IsPowerOfTwo(uint32_t(ss))) m_devSector = uint32_t(ss);
  uint64_t size = 0;
  if (m_device->GetSize(&size) != 0 || size == 0) return RC_MISSING;
  if (m_parent && m_parent->FormatParam()) {
    CFormatParam* p = m_parent->FormatParam();
    uint64_t found = 0;
    int fs = 0;
    if (p->bootSector == 0 && m_parent->SearchBootSector(&found, &fs, 0) == 0 && fs == FS_EXFAT) p->bootSector = found;
    m_bootSector = p->bootSector;
    if (m_parent->ProgressBase() > m_percent) m_percent = m_parent->ProgressBase();
  }
  if (m_bootSector > size / m_devSector) return RC_MISSING;
  const uint64_t base = m_bootSector * m_devSector;
  m_placement = kBootLayout;
  m_presentHeap = 0;
  m_presentBitmap.clear();
  m_bitmapKnown = false;
  m_fatGeo = fat::FatGeometry();
  m_fatKnown = false;
  m_folderRefs.clear();
  m_claims.clear();
  m_marked = false;
  m_markedEnd = 0;
  m_unlinked = m_entered = ClusterMarks();
  m_setStartClusters.clear();
  m_setStarts.clear();
  m_chains.clear();
  m_chainDone.clear();
  m_chainOf.clear();
  m_ownDeleted.clear();
  m_rootCluster = m_startCluster = 0;
  m_rootDamaged = false;
  m_gone = false;
  m_readFailures = 0;
  if (m_parent) m_readFailures = m_parent->ReadFailures();
  uint8_t boot[512];
  bool bootValid = false;
  // The main boot sector, else the backup region's copy 12 sectors on. Either is taken
  // only when its geometry fits the volume and the root it names.
  static const uint64_t kCopies[] = {0, 12 * 512, 12 * 1024, 12 * 2048, 12 * 4096};
  for (uint64_t rel : kCopies) {
    int64_t got = fat::ReadAt(m_device, base + rel, boot, sizeof boot);
    if (got != int64_t(sizeof boot)) {
      // An unreadable main boot sector leaves the backup copy and the up-case search.
      if (FailedInside(m_device, base + rel, got, sizeof boot)) ++m_readFailures;
      continue;
    }
    fat::ExfatVolume g;
    if (fat::ParseExfatBoot(boot, sizeof boot, size - base, &g) != 0) continue;
    if (rel != 0 && rel != 12ull * g.bytesPerSector) continue;
    if (!g.IsDataCluster(g.rootCluster)) continue;
    std::vector<uint8_t> root;
    try {
      root.resize(g.clusterBytes);
    } catch (...) {
      return RC_NO_MEMORY;
    }
    int64_t rootGot = fat::ReadAt(m_device, base + g.ClusterOffset(g.rootCluster), root.data(), g.clusterBytes);
    if (rootGot != int64_t(g.clusterBytes)) {
      if (FailedInside(m_device, base + g.ClusterOffset(g.rootCluster), rootGot, g.clusterBytes)) ++m_readFailures;
      continue;
    }
    if (fat::CheckExfatRoot(g, root.data(), root.size()) != 0) continue;
    TakeBootGeometry(g, size);
    LoadPresentBitmap(g, root.data(), root.size());
    bootValid = true;
    break;
  }
  if (!bootValid) {
    int rc = TakeBootOverDamagedRoot(size);
    if (rc == RC_NO_MEMORY) return rc;
    bootValid = rc == 0;
  }
  ChooseLayout(bootValid);
  // Read through the boot sector's layout, the present FAT holds the chains of the files
  // and folders in use.
  if (bootValid && m_placement != kOldLayout) PrepareFolderChains();
  if (bootValid) return 0;
  int rc = m_placement == kOldLayout ? 0 : RebuildFromUpcase();
  if (rc == 0 && AdoptOwnFat()) PrepareFolderChains();
  return rc == RC_READ_FAILED ? rc : (rc ? RC_MISSING : 0);
}

// Both boot regions gone, the layout rebuilt from a root and its up-case table: the FAT
// still lies between the boot regions and the heap, where it begins with the media entry
// (F8 FF FF FF) and the reserved one (FF FF FF FF). It is taken where the chains of the
// root's allocation bitmap, of its up-case table and of the root itself run through it
// to their end marks; the volume is then read as its own, through that FAT and bitmap.
bool CExfatFormat::AdoptOwnFat() {
  if (!m_rootCluster || m_fatKnown || m_presentHeap || !m_clusterBytes || m_bps != m_devSector) return false;
  const uint32_t cb = m_clusterBytes, ds = m_devSector;
  std::vector<uint8_t> root(cb);
  if (fat::ReadAt(m_device, ClusterOffset(m_rootCluster), root.data(), cb) != int64_t(cb)) return false;
  layout::ExfatBitmapEntry bm;
  layout::ExfatUpcaseEntry up;
  bool haveUp = false;
  for (size_t i = 0; i + layout::kExfatEntrySize <= root.size() && !haveUp; i += layout::kExfatEntrySize)
    haveUp =
        root[i] == layout::kExfatTypeUpcase && layout::DecodeExfatUpcaseEntry(&root[i], root.size() - i, &up);
  if (!FirstBitmapEntry(root.data(), root.size(), &bm) || !haveUp || bm.dataLength == 0 || up.dataLength == 0)
    return false;
  const uint64_t heap = ClusterOffset(2);
  if (heap >= m_volumeBytes) return false;
  const uint64_t clusters = std::min<uint64_t>(bm.dataLength * 8, (m_volumeBytes - heap) / cb);
  const uint64_t fatBytes = (clusters + 2) * 4;
  if (clusters < 3 || clusters > 0xFFFFFFF5ull || bm.dataLength > (uint64_t(1) << 29)) return false;
  // The boot regions are 24 volume sectors; formatters put the FAT far less than 64 MiB on.
  const uint64_t from = m_bootSector * ds + 24ull * ds;
  if (heap < from + fatBytes) return false;
  const uint64_t to = std::min<uint64_t>(heap - fatBytes, from + (64ull << 20));
  fat::FatGeometry g;
  g.kind = fat::kExfat;
  g.fatBytes = fatBytes;
  g.clusterCount = uint32_t(clusters);
  g.maxCluster = uint32_t(clusters + 1);
  g.clusterBytes = cb;
  g.bytesPerSector = ds;
  g.sectorsPerCluster = cb / ds;
  g.dataOffset = heap;
  auto runsToEnd = [&](fat::FatTable& t, uint32_t first, uint64_t length) {
    uint64_t n = length ? length / cb + (length % cb != 0) : kFolderMaxBytes / cb;
    bool clean = false;
    std::vector<uint32_t> chain =
        fat::FollowChain(t, first, uint32_t(std::min<uint64_t>(n, UINT32_MAX)), &clean);
    return clean && (!length || chain.size() == n);
  };
  std::vector<uint8_t> buf(std::min<uint64_t>(1u << 20, to - from + ds));
  // Each place tried reads a whole FAT (up to 16 MiB): a volume has one or two, and an older
  // layout's may be left before them, so a few dozen tries are plenty where every sector of
  // the 64 MiB could begin like one.
  int tries = 64;
  for (uint64_t at = from; at <= to;) {
    uint32_t want = uint32_t(std::min<uint64_t>(buf.size(), to - at + ds));
    int64_t got = fat::ReadAt(m_device, at, buf.data(), want);
    if (got < int64_t(ds)) return false;
    for (uint64_t k = 0; k + ds <= uint64_t(got) && at + k <= to; k += ds) {
      static const uint8_t kHead[8] = {0xF8, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
      if (std::memcmp(&buf[k], kHead, sizeof kHead) != 0) continue;
      if (tries-- == 0) return false;
      g.fatOffset = at + k;
      fat::FatTable t;
      if (!t.Init(m_device, g) || !runsToEnd(t, bm.firstCluster, bm.dataLength) ||
          !runsToEnd(t, up.firstCluster, up.dataLength) || !runsToEnd(t, uint32_t(m_rootCluster), 0))
        continue;
      // The bitmap, along its chain.
      std::vector<uint8_t> bits;
      try {
        bits.resize(size_t((clusters + 7) / 8));
      } catch (...) {
        return false;
      }
      bool clean = false;
      std::vector<uint32_t> chain =
          fat::FollowChain(t, bm.firstCluster, uint32_t(bits.size() / cb + 1), &clean);
      size_t done = 0;
      for (uint32_t c : chain) {
        if (done >= bits.size()) break;
        uint32_t n = uint32_t(std::min<size_t>(cb, bits.size() - done));
        if (fat::ReadAt(m_device, ClusterOffset(c), bits.data() + done, n) != int64_t(n)) return false;
        done += n;
      }
      if (done < bits.size()) return false;
      m_fatGeo = g;
      m_presentBitmap.swap(bits);
      m_bitmapKnown = true;
      m_presentHeap = heap;
      m_presentClusterBytes = cb;
      m_placement = kBootLayout;
      return true;
    }
    at += uint64_t(got) - uint64_t(got) % ds;
  }
  return false;
}

void CExfatFormat::TakeBootGeometry(const fat::ExfatVolume& g, uint64_t size) {
  const uint64_t base = m_bootSector * m_devSector;
  m_bps = g.bytesPerSector;
  m_spc = g.sectorsPerCluster;
  m_clusterBytes = g.clusterBytes;
  // The volume's end as a device offset, like the cluster offsets it bounds: a volume
  // far inside a disk keeps the files of its last clusters.
  m_volumeBytes = base + std::min<uint64_t>(g.volumeSectors * g.bytesPerSector, size - base);
  m_origin = base + g.heapOffset - 2ull * g.clusterBytes;
  m_maxCluster = g.maxCluster;
  m_rootCluster = m_startCluster = g.rootCluster;
  m_rootOffset = ClusterOffset(g.rootCluster);
  m_fatGeo = g.FatTableGeometry(base);
}

// A boot region sealed by its checksum over a root that is zeroed, overwritten or
// unreadable: the geometry is the volume's, and the walk finds the folders the root named
// by their own entries. Their parents are gone, so they go under the orphan folder.
int CExfatFormat::TakeBootOverDamagedRoot(uint64_t size) {
  const uint64_t base = m_bootSector * m_devSector;
  static const uint32_t kCopies[] = {0, 512, 1024, 2048, 4096};
  for (uint32_t backup : kCopies) {
    fat::ExfatVolume g;
    int rc = fat::ReadExfatBootOverDamagedRoot(m_device, base, size - base, &g, backup);
    if (rc == RC_NO_MEMORY) return rc;
    if (rc != 0) continue;
    TakeBootGeometry(g, size);
    m_rootDamaged = true;
    // Which clusters the volume uses tells its own directories from older ones; without
    // its bitmap every cluster counts as its own, so nothing is taken for an older layout.
    m_presentHeap = base + g.heapOffset;
    m_presentClusterBytes = g.clusterBytes;
    m_bitmapKnown = fat::FindExfatBitmapWithoutRoot(m_device, base, g, &m_presentBitmap);
    if (!m_bitmapKnown) m_presentBitmap.assign(size_t((uint64_t(g.clusterCount) + 7) / 8), 0xFF);
    return 0;
  }
  return RC_WRONG_FS;
}

bool CExfatFormat::LoadPresentBitmap(const fat::ExfatVolume& g, const uint8_t* root, size_t len) {
  const uint64_t base = m_bootSector * m_devSector;
  m_presentHeap = base + g.heapOffset;
  m_presentClusterBytes = g.clusterBytes;
  m_presentBitmap.clear();
  layout::ExfatBitmapEntry bm;
  if (FirstBitmapEntry(root, len, &bm)) {
    uint32_t first = bm.firstCluster;
    uint64_t bytes = (uint64_t(g.clusterCount) + 7) / 8;
    if (!g.IsDataCluster(first) || bytes > (uint64_t(1) << 29)) return false;
    try {
      m_presentBitmap.resize(size_t(bytes));
    } catch (...) {
      return false;
    }
    // mkfs.exfat writes the bitmap as one contiguous run.
    if (fat::ReadAt(m_device, base + g.ClusterOffset(first), m_presentBitmap.data(), uint32_t(bytes)) != int64_t(bytes)) {
      // Without it only what lies before the heap is known to be the present volume's;
      // every cluster then counts as in use, so nothing of it is taken for old data.
      m_presentBitmap.assign(m_presentBitmap.size(), 0xFF);
      return false;
    }
    m_bitmapKnown = true;
    return true;
  }
  return false;
}

bool CExfatFormat::Occupied(uint64_t offset, uint64_t bytes) const {
  if (!m_presentHeap || !m_presentClusterBytes) return false;
  // The last format wrote everything from the volume's start to its heap.
  if (offset < m_presentHeap) return true;
  if (bytes == 0) bytes = 1;
  uint64_t first = (offset - m_presentHeap) / m_presentClusterBytes;
  uint64_t last = (offset + bytes - 1 - m_presentHeap) / m_presentClusterBytes;
  for (uint64_t c = first; c <= last; ++c) {
    if (c / 8 >= m_presentBitmap.size()) return false;
    if (m_presentBitmap[size_t(c / 8)] & (1u << (c % 8))) return true;
  }
  return false;
}

int CExfatFormat::ReportProgress(uint64_t done, uint64_t total, int from, int to) {
  if (!m_sink) return 0;
  int p = from + int(uint64_t(to - from) * std::min(done, total) / std::max<uint64_t>(1, total));
  if (p > m_percent) m_percent = std::min(p, 100);
  return m_sink->Notify(NE_PERCENT, m_percent, 0, nullptr);
}

// One pass over the whole volume, sector by sector, for what places the old directories:
// sectors that begin with a file entry set, the first clusters that directory entry sets
// name, up-case tables and old root directories. Sectors of the present volume are left
// out: they speak for its own layout, which its boot sector already gives.
void CExfatFormat::Survey(Evidence* ev) {
  uint64_t size = 0;
  if (m_device->GetSize(&size) != 0) return;
  const uint32_t ds = m_devSector;
  const uint64_t first = m_bootSector, end = size / ds;
  const uint64_t chunk = std::max<uint64_t>(1, std::min<uint64_t>(kWindowBytes / ds, end > first ? end - first : 1));
  std::vector<uint8_t> buf;
  try {
    // Past the chunk, the bytes a head test at its last sectors looks at.
    buf.resize(size_t(chunk * ds) + kraw::kHeadBytes);
  } catch (...) {
    return;
  }
  const int from = m_percent, to = m_percent + (100 - m_percent) / 2;
  const uint32_t perSector = ds / 32;
  uint64_t badStep = 1, seen = 0, stride = 1;
  for (uint64_t s = first; s < end;) {
    if (ReportProgress(s - first, end - first, from, to) != 0) break;
    uint64_t want = std::min(chunk, end - s);
    uint64_t ask = std::min<uint64_t>(want * ds + kraw::kHeadBytes, (end - s) * ds);
    bool gone = false;
    int64_t got = fat::ReadAt(m_device, s * ds, buf.data(), uint32_t(ask), &gone);
    if (gone) {
      m_gone = true;
      break;
    }
    const uint64_t held = got > 0 ? uint64_t(got) : 0;
    uint64_t n = std::min<uint64_t>(want, held / ds);
    if (n < want) ++m_readFailures;  // want never reaches past the device's end
    for (uint64_t i = 0; i < n; ++i) {
      const uint8_t* sec = buf.data() + i * ds;
      const uint64_t at = s + i;
      // Heads where the old files may lie: outside what the present volume holds.
      const bool present = Occupied(at * ds, ds);
      if (!present) ev->heads.Sector(sec, size_t(held - i * ds), at);
      if (sec[0] == 0) {
        // An up-case table maps 0 to itself: its first sector begins with a zero.
        if (!present && ev->upcase.size() < kMaxAnchors && layout::ExfatUpcaseTableStarts(sec, ds))
          ev->upcase.push_back(at);
        continue;
      }
      // Directory entries of the present volume may still name clusters of its own free
      // space (its deleted folders), so they are read everywhere; what they may point at
      // only outside it.
      for (uint32_t j = 0; j < perSector; ++j) {
        const uint8_t* e = sec + j * 32;
        const uint8_t* st = j + 1 < perSector ? e + 32 : (i + 1 < n ? sec + ds : nullptr);
        uint32_t f = 0;
        if (FolderSetAt(e, st, &f) && f >= 2 && f <= 0xFFFFFFF6u) ev->dirRefs.push_back(f);
        layout::ExfatFileEntry fe;
        layout::ExfatStreamEntry se;
        if (EntrySetAt(e, st, &fe, &se) && se.firstCluster >= 2) {
          if (!ev->claimsFull) ev->claims.push_back(se.firstCluster);
          if ((fe.fileAttributes & 0x10) && fe.inUse && se.inUse && ev->folders.size() < kMaxFolderRefs)
            ev->folders.push_back({se.firstCluster, se.dataLength, se.NoFatChain()});
          if ((fe.fileAttributes & 0x10) && m_presentHeap) {
            if (present && ev->presentNamed.size() < kMaxFolderRefs)
              ev->presentNamed.push_back(se.firstCluster);
            else if (!present && ev->looseNamed.size() < kMaxFolderRefs)
              ev->looseNamed.push_back({at, se.firstCluster});
          }
        }
        layoutvote::FileRef ref;
        if (ev->files.size() < layoutvote::kMaxFileRefs && e[0] != 0xC1 &&
            FileSetAt(e, size_t(held - i * ds - j * 32), &ref))
          ev->files.push_back(ref);
      }
      if (present) continue;
      if (IsRootDirectoryStart(sec) == 0 && ev->roots.size() < kMaxAnchors) {
        for (uint32_t j = 0; j < perSector; ++j) {
          layout::ExfatUpcaseEntry up;
          if (sec[j * 32] == layout::kExfatTypeUpcase && layout::DecodeExfatUpcaseEntry(sec + j * 32, ds - j * 32, &up) &&
              up.firstCluster >= 2) {
            ev->roots.push_back({at, up.firstCluster});
            break;
          }
        }
      }
      layout::ExfatFileEntry file;
      layout::ExfatStreamEntry stream;
      layout::ExfatNameEntry name;
      bool setStart = layout::DecodeExfatFileEntry(sec, ds, &file) && file.secondaryCount >= 2 &&
                      file.secondaryCount <= 18 && layout::DecodeExfatStreamEntry(sec + 32, ds - 32, &stream) &&
                      layout::DecodeExfatNameEntry(sec + 64, ds - 64, &name);
      if (setStart && ++seen % stride == 0) {
        ev->dirStarts.push_back(at);
        // Past the bound every other one is dropped, and from now on only every other
        // one is kept: the vote's counts shrink alike for every layout.
        if (ev->dirStarts.size() >= kMaxDirStarts) {
          size_t w = 0;
          for (size_t r = 1; r < ev->dirStarts.size(); r += 2) ev->dirStarts[w++] = ev->dirStarts[r];
          ev->dirStarts.resize(w);
          stride *= 2;
        }
      }
    }
    if (!ev->claimsFull && ev->claims.size() >= kMaxClaims) {
      // Past the bound only the distinct ones are kept; beyond that the rest go unseen.
      std::sort(ev->claims.begin(), ev->claims.end());
      ev->claims.erase(std::unique(ev->claims.begin(), ev->claims.end()), ev->claims.end());
      if (ev->claims.size() > kMaxClaims / 2) ev->claimsFull = true;
    }
    if (ev->dirRefs.size() > 4 * kMaxDirStarts) {
      std::sort(ev->dirRefs.begin(), ev->dirRefs.end());
      ev->dirRefs.erase(std::unique(ev->dirRefs.begin(), ev->dirRefs.end()), ev->dirRefs.end());
      if (ev->dirRefs.size() > 2 * kMaxDirStarts) break;  // nothing a directory tree makes
    }
    if (n >= want) {
      s += want;
      badStep = 1;
    } else if (n > 0) {
      s += n + 1;
      badStep = 1;
    } else {
      if (got == 0) break;
      s += std::min(badStep, want);
      if (badStep < want) badStep *= 2;
    }
  }
  std::sort(ev->dirRefs.begin(), ev->dirRefs.end());
  ev->dirRefs.erase(std::unique(ev->dirRefs.begin(), ev->dirRefs.end()), ev->dirRefs.end());
  if (ev->dirRefs.size() > kMaxDirRefs) {
    std::vector<uint32_t> some(kMaxDirRefs);
    for (size_t i = 0; i < kMaxDirRefs; ++i) some[i] = ev->dirRefs[i * ev->dirRefs.size() / kMaxDirRefs];
    ev->dirRefs.swap(some);
  }
  std::sort(ev->upcase.begin(), ev->upcase.end());
  layoutvote::SortRefs(&ev->files);
  ev->heads.Finish();
  m_walkFrom = std::max(m_percent, to);
}

// The directory entry sets whose named first cluster holds an entry set in this layout,
// and an old root whose up-case table lies where the layout puts it.
int CExfatFormat::Score(const Evidence& ev, Layout* l) const {
  int n = 0;
  for (uint32_t f : ev.dirRefs) {
    int64_t t = l->origin + int64_t(uint64_t(f) * l->spc);
    if (t >= 0 && std::binary_search(ev.dirStarts.begin(), ev.dirStarts.end(), uint64_t(t))) ++n;
  }
  l->rootSector = 0;
  for (const auto& r : ev.roots) {
    int64_t rel = int64_t(r.sector) - l->origin;
    if (rel < int64_t(2 * l->spc) || rel % int64_t(l->spc) != 0) continue;
    int64_t u = l->origin + int64_t(uint64_t(r.upcaseCluster) * l->spc);
    if (u >= 0 && std::binary_search(ev.upcase.begin(), ev.upcase.end(), uint64_t(u))) {
      n += 2;
      l->rootSector = r.sector;
      break;
    }
  }
  l->files = layoutvote::CountHits(ev.files, ev.heads.Heads(), l->origin, l->spc);
  n += l->files;
  l->score = n;
  return n;
}

// A volume never formatted again has no older directories: those outside what it uses are
// its own deleted folders, which a deleted folder entry of one of its folders names (or of
// such a deleted folder, in turn). Their files are placed through its layout like the rest.
void CExfatFormat::FindOwnDeletedFolders(Evidence* ev) {
  m_ownDeleted.clear();
  if (!m_presentHeap || !m_clusterBytes) return;
  std::sort(ev->looseNamed.begin(), ev->looseNamed.end());
  std::vector<uint32_t> queue;
  std::unordered_set<uint32_t> own;
  auto take = [&](uint32_t c) {
    if (c >= 2 && c <= m_maxCluster && !InUse(c) && own.insert(c).second) queue.push_back(c);
  };
  std::sort(ev->presentNamed.begin(), ev->presentNamed.end());
  ev->presentNamed.erase(std::unique(ev->presentNamed.begin(), ev->presentNamed.end()),
                         ev->presentNamed.end());
  for (uint32_t c : ev->presentNamed) take(c);
  // Each folder once (the set grows only): the walk ends.
  while (!queue.empty()) {
    uint32_t d = queue.back();
    queue.pop_back();
    uint64_t first = ClusterOffset(d) / m_devSector, end = first + m_clusterBytes / m_devSector;
    auto it =
        std::lower_bound(ev->looseNamed.begin(), ev->looseNamed.end(), std::make_pair(first, uint32_t(0)));
    for (; it != ev->looseNamed.end() && it->first < end; ++it) take(it->second);
  }
  m_ownDeleted.assign(own.begin(), own.end());
  std::sort(m_ownDeleted.begin(), m_ownDeleted.end());
}

// Like the FAT inspector's pairs of "." clusters: every pairing of a named first cluster
// with a sector that begins an entry set proposes an origin for each cluster size, the
// proposals most often made are scored against all the evidence, and a layout is taken
// only when it explains clearly more than any other, and more than the boot sector's.
void CExfatFormat::ChooseLayout(bool bootValid) {
  Evidence ev;
  Survey(&ev);
  m_folderRefs.swap(ev.folders);
  m_claims.swap(ev.claims);
  std::sort(m_claims.begin(), m_claims.end());
  m_claims.erase(std::unique(m_claims.begin(), m_claims.end()), m_claims.end());
  m_setStarts = ev.dirStarts;  // in the order read: sorted
  FindOwnDeletedFolders(&ev);
  // Old directories outside the present volume that nothing places: the boot sector's
  // layout is not known to be theirs.
  const bool unplaced = bootValid && !ev.dirStarts.empty();
  if (ev.dirRefs.empty() && ev.roots.empty() && ev.files.empty()) {
    if (unplaced) m_placement = kBootUnsure;
    return;
  }
  const uint64_t ds = m_devSector;
  const int64_t volumeStart = int64_t(m_bootSector);
  Layout boot{0, 0, -1, 0, 0};
  if (bootValid) {
    boot.origin = int64_t(m_origin) / int64_t(ds);
    boot.spc = m_clusterBytes / ds;
    Score(ev, &boot);
  }
  std::vector<Layout> cands;
  auto add = [&](int64_t origin, uint64_t spc) {
    if (bootValid && origin == boot.origin && spc == boot.spc) return;
    for (const Layout& c : cands)
      if (c.origin == origin && c.spc == spc) return;
    cands.push_back({origin, spc, 0, 0, 0});
  };
  const size_t m = ev.dirStarts.size();
  if (m && !ev.dirRefs.empty()) {
    size_t k = std::min<size_t>({ev.dirRefs.size(), 64, std::max<size_t>(1, (size_t(1) << 20) / m)});
    for (uint64_t spc = 1; spc * ds <= (32u << 20); spc <<= 1) {
      std::unordered_map<int64_t, int> votes;
      votes.reserve(std::min<size_t>(k * m, size_t(1) << 20));
      for (size_t i = 0; i < k; ++i) {
        int64_t step = int64_t(uint64_t(ev.dirRefs[i * ev.dirRefs.size() / k]) * spc);
        for (uint64_t p : ev.dirStarts) {
          int64_t origin = int64_t(p) - step;
          // The heap begins behind the volume's boot region.
          if (origin + int64_t(2 * spc) < volumeStart + 24) continue;
          ++votes[origin];
        }
      }
      std::vector<std::pair<int, int64_t>> top;
      for (const auto& kv : votes)
        if (kv.second >= 2) top.push_back({kv.second, kv.first});
      size_t keep = std::min<size_t>(3, top.size());
      std::partial_sort(top.begin(), top.begin() + keep, top.end(),
                        [](const std::pair<int, int64_t>& a, const std::pair<int, int64_t>& b) {
                          return a.first != b.first ? a.first > b.first : a.second < b.second;
                        });
      for (size_t i = 0; i < keep; ++i) add(top[i].second, spc);
    }
  }
  // Files named by entries paired with heads of their kind.
  if (!ev.files.empty())
    for (uint64_t spc = 1; spc * ds <= (32u << 20); spc <<= 1)
      for (int64_t origin : layoutvote::ProposeOrigins(ev.files, ev.heads.Heads(), spc,
                                                       volumeStart + 24 - int64_t(2 * spc), 3))
        add(origin, spc);
  // Old roots with the up-case tables seen: the layout that puts the table at the cluster
  // its root names.
  for (const auto& r : ev.roots)
    for (uint64_t u : ev.upcase)
      for (uint64_t spc = 1; spc * ds <= (32u << 20); spc <<= 1) {
        uint64_t off = uint64_t(r.upcaseCluster) * spc;
        if (u < off) continue;
        int64_t origin = int64_t(u - off);
        if (r.sector < uint64_t(origin) + 2 * spc || (r.sector - uint64_t(origin)) % spc != 0) continue;
        if (origin + int64_t(2 * spc) < volumeStart + 24) continue;
        add(origin, spc);
      }
  int best = -1, second = 0;
  for (size_t i = 0; i < cands.size(); ++i) {
    Score(ev, &cands[i]);
    if (best < 0 || cands[i].score > cands[size_t(best)].score) {
      if (best >= 0) second = std::max(second, cands[size_t(best)].score);
      best = int(i);
    } else {
      second = std::max(second, cands[i].score);
    }
  }
  if (best < 0) {
    if (unplaced && boot.score == 0) m_placement = kBootUnsure;
    return;
  }
  FileVerdict verdict = FilesDecide(ev, bootValid, boot, cands, &best);
  if (verdict == kFilesUnsure) {
    // The files place the old volume nowhere for certain: they are left out of the count,
    // and the folders and old root alone decide as before.
    boot.score -= boot.files;
    best = -1;
    second = 0;
    for (size_t i = 0; i < cands.size(); ++i) {
      cands[i].score -= cands[i].files;
      if (best < 0 || cands[i].score > cands[size_t(best)].score) {
        if (best >= 0) second = std::max(second, cands[size_t(best)].score);
        best = int(i);
      } else {
        second = std::max(second, cands[i].score);
      }
    }
  }
  if (verdict == kFilesKeepBoot) return;
  const Layout& won = cands[size_t(best)];
  const bool taken = verdict == kFilesTake;
  if (!taken && bootValid && boot.score > 0 && boot.score >= won.score) return;
  if (!taken && (won.score < 2 || won.score <= second || (bootValid && boot.score >= won.score))) {
    // Old directories contradict the boot sector and no other layout is certain: their
    // files are listed, but no bytes are handed out for them.
    if (unplaced) m_placement = kBootUnsure;
    return;
  }
  uint64_t size = 0;
  if (m_device->GetSize(&size) != 0) return;
  m_bps = uint32_t(ds);
  m_spc = uint32_t(won.spc);
  m_clusterBytes = uint32_t(won.spc * ds);
  m_origin = uint64_t(won.origin) * ds;  // wraps below the device's start, as offsets add back
  m_volumeBytes = size;
  uint64_t span = (size - m_origin) / m_clusterBytes;
  m_maxCluster = std::min<uint64_t>(span ? span - 1 : 0, 0xFFFFFFF5ull);
  // The walk begins at cluster 2 or at the first cluster inside the volume.
  uint64_t start = 2;
  int64_t rel = volumeStart - won.origin;
  if (rel > int64_t(2 * won.spc)) start = (uint64_t(rel) + won.spc - 1) / won.spc;
  m_startCluster = start;
  m_rootCluster = won.rootSector ? (won.rootSector - uint64_t(won.origin)) / won.spc : 0;
  m_rootOffset = ClusterOffset(m_rootCluster ? m_rootCluster : start);
  m_placement = kOldLayout;
}

// When files of known kinds speak, the layout they favour most is set against every layout
// scoring at least half as much (the boot sector's among them) by the ends of the files
// they place: a layout a cluster off puts many files on their neighbours' heads, but the
// ends of those then disagree with the entries.
CExfatFormat::FileVerdict CExfatFormat::FilesDecide(const Evidence& ev, bool bootValid, const Layout& boot,
                                                    const std::vector<Layout>& cands, int* best) {
  std::vector<int> all;  // candidate indices; -1 the boot sector's layout
  for (size_t i = 0; i < cands.size(); ++i)
    if (cands[i].files > 0) all.push_back(int(i));
  if (bootValid && boot.files > 0) all.push_back(-1);
  auto layoutOf = [&](int i) -> const Layout& { return i < 0 ? boot : cands[size_t(i)]; };
  std::sort(all.begin(), all.end(), [&](int a, int b) { return layoutOf(a).score > layoutOf(b).score; });
  // A few files are no evidence of their own.
  if (all.empty() || layoutOf(all[0]).files < 3) return kFilesSilent;
  const int lead = layoutOf(all[0]).score;
  std::vector<int> rivals;
  for (int i : all)
    if (2 * layoutOf(i).score >= lead && rivals.size() < 5) rivals.push_back(i);
  int top = rivals[0];
  if (rivals.size() > 1) {
    auto read = [this](uint64_t off, uint8_t* buf, uint32_t len) {
      return fat::ReadAt(m_device, off, buf, len) == int64_t(len);
    };
    int topEnds = -1, runnerEnds = -1;
    for (int r : rivals) {
      const Layout& l = layoutOf(r);
      int ends = layoutvote::ConfirmByEnds(ev.files, ev.heads.Heads(), l.origin, l.spc, m_devSector, read, &m_probe, 16);
      if (ends > topEnds) {
        runnerEnds = topEnds;
        topEnds = ends;
        top = r;
      } else if (ends > runnerEnds) {
        runnerEnds = ends;
      }
    }
    if (topEnds <= 0 || topEnds == runnerEnds) return kFilesUnsure;
  }
  if (top < 0) return kFilesKeepBoot;
  *best = top;
  return kFilesTake;
}

bool CExfatFormat::CheckUpcaseCandidate(uint64_t u, uint64_t r, const uint8_t* root, uint32_t spc) {
  uint64_t size = 0;
  if (m_device->GetSize(&size) != 0) return false;
  const uint64_t bps = m_devSector, cbytes = uint64_t(spc) * bps;
  uint32_t bmCluster = 0, upCluster = 0;
  uint64_t bmLen = 0, upLen = 0;
  // The first of each that names a cluster.
  for (size_t i = 0; i + layout::kExfatEntrySize <= bps; i += layout::kExfatEntrySize) {
    layout::ExfatBitmapEntry bm;
    layout::ExfatUpcaseEntry up;
    if (root[i] == layout::kExfatTypeBitmap && !bmCluster && layout::DecodeExfatBitmapEntry(root + i, bps - i, &bm))
      bmCluster = bm.firstCluster, bmLen = bm.dataLength;
    if (root[i] == layout::kExfatTypeUpcase && !upCluster && layout::DecodeExfatUpcaseEntry(root + i, bps - i, &up))
      upCluster = up.firstCluster, upLen = up.dataLength;
  }
  if (bmCluster < 2 || upCluster < 2 || upLen == 0 || bmLen == 0) return false;
  // The up-case table fills whole clusters from U; the root follows in the next one.
  if ((upLen + cbytes - 1) / cbytes * spc != r - u) return false;
  if (uint64_t(upCluster) * spc > u) return false;
  uint64_t origin = (u - uint64_t(upCluster) * spc) * bps;
  uint64_t rootCluster = (r * bps - origin) / cbytes;
  // The bitmap must cover no more clusters than the device holds behind the heap start.
  uint64_t heap = origin + 2 * cbytes;
  if (heap >= size || bmLen > (uint64_t(1) << 29)) return false;
  if ((bmLen * 8 > 7 ? bmLen * 8 - 7 : 0) > (size - heap) / cbytes + 1) return false;
  // And it must mark the bitmap, the up-case table and the root as in use.
  uint64_t bmOff = origin + uint64_t(bmCluster) * cbytes;
  uint64_t need[] = {bmCluster, upCluster, rootCluster};
  std::vector<uint8_t> bits(size_t(bps), 0);
  if (fat::ReadAt(m_device, bmOff, bits.data(), uint32_t(bps)) != int64_t(bps)) return false;
  for (uint64_t c : need) {
    uint64_t bit = c - 2;
    if (c < 2 || bit / 8 >= bps || !(bits[size_t(bit / 8)] & (1u << (bit % 8)))) return false;
  }
  m_bps = uint32_t(bps);
  m_spc = spc;
  m_clusterBytes = uint32_t(cbytes);
  m_origin = origin;
  m_volumeBytes = size;
  m_rootOffset = r * bps;
  m_maxCluster = std::min<uint64_t>((size - origin) / cbytes - 1, 0xFFFFFFF5ull);
  m_rootCluster = m_startCluster = rootCluster;
  return true;
}

int CExfatFormat::RebuildFromUpcase() {
  const uint32_t bps = m_devSector;
  const uint32_t chunk = 256;
  std::vector<uint8_t> buf;
  try {
    buf.resize(size_t(chunk) * bps);
  } catch (...) {
    return RC_NO_MEMORY;
  }
  uint64_t u = 0;
  bool haveU = false;
  for (uint64_t s = m_bootSector, next = 0; s < m_bootSector + kSearchSectors; s = next) {
    int64_t got = fat::ReadAt(m_device, s * bps, buf.data(), uint32_t(buf.size()));
    uint64_t n = got > 0 ? uint64_t(got) / bps : 0;
    next = s + chunk;
    if (n < chunk) {
      // The device's end finishes the search; an unreadable sector is passed over.
      if (FailedInside(m_device, s * bps, got, buf.size())) {
        ++m_readFailures;
        next = s + n + 1;
      } else {
        next = 0;
      }
    }
    for (uint64_t i = 0; i < n; ++i) {
      const uint8_t* sec = buf.data() + i * bps;
      if (layout::ExfatUpcaseTableStarts(sec, bps)) {
        u = s + i;
        haveU = true;
        continue;
      }
      if (!haveU || IsRootDirectoryStart(sec) != 0) continue;
      // Several powers of two can satisfy the distance; the root's own entries decide.
      for (uint32_t shift = 0; (uint64_t(bps) << shift) <= (32u << 20); ++shift)
        if (CheckUpcaseCandidate(u, s + i, sec, 1u << shift)) return 0;
    }
    if (next == 0) break;
  }
  return RC_MISSING;
}

void CExfatFormat::TakeItem(const fat::ExfatItem& it, int64_t dirId, bool dataTrusted) {
  if (it.name.empty()) return;
  bool inRange = it.firstCluster >= 2 && it.firstCluster <= m_maxCluster;
  if (it.IsDirectory()) {
    if (inRange) m_feeder.Graph()->AddNode(kClusterIdBase + it.firstCluster, dirId, it.name.c_str(), nullptr, nullptr);
    return;
  }
  int64_t id;
  if (it.dataLength == 0 || it.firstCluster == 0) {
    id = kEmptyIdBase + m_emptyIds++;
  } else {
    if (!inRange) return;
    id = kClusterIdBase + it.firstCluster;
  }
  // A set in a folder whose cluster the present volume uses is one of its own.
  bool presentDir =
      dirId >= kClusterIdBase && dirId < kEmptyIdBase && InUse(uint64_t(dirId - kClusterIdBase));
  IFileInfo* info = nullptr;
  if (FileInfoFromEntry(it, dataTrusted, presentDir, &info) != 0) return;
  if (m_feeder.Graph()->AddNamedNode(id, dirId, it.name.c_str(), info, KeepExisting) < 0) {
    info->Release();
    return;
  }
  m_feeder.Note();
}

int CExfatFormat::FileInfoFromEntry(const fat::ExfatItem& it, bool dataTrusted, bool presentDir,
                                    IFileInfo** out) {
  if (!out) return RC_BAD_ARGUMENT;
  RunList* runs = nullptr;
  bool taken = false;  // another file or the present volume holds clusters known to be its own
  if (it.dataLength != 0 && it.firstCluster != 0) {
    // Divided first: a hostile length near 2^64 must not wrap to a few clusters.
    uint64_t clusters = it.dataLength / m_clusterBytes + (it.dataLength % m_clusterBytes != 0);
    uint64_t off = ClusterOffset(it.firstCluster);
    if (off > m_volumeBytes || clusters > (m_volumeBytes - off) / m_clusterBytes + 1) return RC_OUT_OF_RANGE;
    const uint64_t perCluster = m_clusterBytes / m_devSector;
    uint64_t start = off / m_devSector, count = clusters * perCluster;
    if (count > 0xFFFFFFFFull) return RC_OUT_OF_RANGE;
    // A file kept in pieces reads through its chain where the present FAT holds it. (Under
    // an older layout beside a present volume the old FAT is gone: see below.)
    std::vector<uint32_t> pieces;
    if ((m_placement != kOldLayout || !m_presentHeap) && clusters > 1 && !it.noFatChain &&
        !PiecesOf(it, presentDir, clusters, &pieces, &taken))
      dataTrusted = false;
    std::vector<std::pair<uint64_t, uint64_t>> extents;  // device sectors
    if (pieces.empty()) extents.push_back({start, count});
    for (uint32_t c : pieces) {
      uint64_t s = ClusterOffset(c) / m_devSector;
      if (!extents.empty() && extents.back().first + extents.back().second == s)
        extents.back().second += perCluster;
      else
        extents.push_back({s, perCluster});
    }
    // Bytes past the valid data length were never written: exFAT reads them as zeros, so
    // they are handed out as a hole rather than as whatever the clusters held before.
    uint64_t valid = count;
    if (it.validLength < it.dataLength)
      valid = std::min<uint64_t>(count, it.validLength / m_devSector + (it.validLength % m_devSector != 0));
    uint64_t kept = 0;
    bool ok = true;
    auto append = [&runs, &ok](uint64_t s, uint64_t n) {
      if (!runs) {
        runs = new (std::nothrow) RunList(s, uint32_t(n));
        ok = runs != nullptr;
      } else if (!runs->Append(s, uint32_t(n))) {
        ok = false;
      }
    };
    for (size_t i = 0; ok && i < extents.size() && kept < valid; ++i) {
      uint64_t take = std::min(extents[i].second, valid - kept);
      append(extents[i].first, take);
      kept += take;
    }
    if (ok && kept < count) append(RUN_HOLE, count - kept);
    if (!ok) {
      if (runs) runs->Release();
      return RC_NO_MEMORY;
    }
    // Clusters that the present volume wrote since no longer hold this file's bytes.
    if (m_placement == kOldLayout && Occupied(off, clusters * m_clusterBytes)) {
      dataTrusted = false;
      // Past its first cluster, only a file kept in one piece is known to lie there.
      taken = taken || it.noFatChain || clusters == 1 || Occupied(off, m_clusterBytes);
    }
    if (m_placement == kOldLayout && m_presentHeap) {
      // Formatted again: the old FAT is gone, so only a file the old volume kept in one
      // piece (its NoFatChain flag) or a file of one cluster is known to be contiguous.
      if (clusters > 1 && !it.noFatChain) dataTrusted = false;
      // A file of a kind the analysers know must still begin with its head.
      if (dataTrusted && !HeadStillThere(it, off)) dataTrusted = false;
    }
  }
  if (!dataTrusted && runs) {
    runs->Release();
    runs = nullptr;
  }
  CFileInfo* info = new (std::nothrow) CFileInfo();
  if (!info) {
    if (runs) runs->Release();
    return RC_NO_MEMORY;
  }
  info->SetName(it.name.c_str());
  info->SetSize(int64_t(it.dataLength));
  if (runs) info->SetRunList(runs);
  info->SetTimes(DateValue(it.createDate), DateValue(it.modifyDate));
  info->AddFlags(FF_FORMATTED);
  // A file whose place is not known gets no data rather than the bytes of other clusters.
  if (!dataTrusted && it.dataLength) info->AddFlags(taken ? FF_NODATA | FF_OVERWRITTEN : FF_NODATA);
  *out = info;
  return 0;
}

void CExfatFormat::ClusterMarks::Reset(uint64_t clusters) {
  words.assign(size_t(clusters / 64 + 1), 0);
  before.clear();
}

void CExfatFormat::ClusterMarks::Seal() {
  before.assign(words.size() / 64 + 1, 0);
  uint64_t n = 0;
  for (size_t w = 0; w < words.size(); ++w) {
    if (w % 64 == 0) before[w / 64] = n;
    n += uint64_t(__builtin_popcountll(words[w]));
  }
}

uint64_t CExfatFormat::ClusterMarks::Rank(uint64_t c) const {
  const size_t w = size_t(c / 64);
  uint64_t n = before[w / 64];
  for (size_t k = w - w % 64; k < w; ++k) n += uint64_t(__builtin_popcountll(words[k]));
  if (c % 64) n += uint64_t(__builtin_popcountll(words[w] & ((uint64_t(1) << (c % 64)) - 1)));
  return n;
}

void CExfatFormat::MarkClusters() {
  m_marked = true;
  // The clusters a set can name that the FAT or the bitmap knows of; past them no entry
  // links and no cluster is in use.
  const uint64_t bitmapClusters = uint64_t(m_presentBitmap.size()) * 8 + 2;
  m_markedEnd = std::max<uint64_t>(m_fatKnown ? m_fatGeo.fatBytes / 4 : 0, bitmapClusters) + 1;
  try {
    m_unlinked.Reset(m_markedEnd);
    m_entered.Reset(m_markedEnd);
    m_setStartClusters.clear();
    // A cluster outside the present volume that begins with an entry set is a folder's.
    for (uint64_t s : m_setStarts) {
      const uint64_t at = s * m_devSector, c = (at - m_origin) / m_clusterBytes;
      if (c <= UINT32_MAX && ClusterOffset(c) == at) m_setStartClusters.push_back(uint32_t(c));
    }
  } catch (const std::bad_alloc&) {
    m_markedEnd = 0;
    m_unlinked = m_entered = ClusterMarks();
    m_setStartClusters.clear();
    m_marked = false;
    return;
  }
  std::sort(m_setStartClusters.begin(), m_setStartClusters.end());
  bool prevUnlinked = true;
  for (uint64_t c = 0; c < m_markedEnd; ++c) {
    uint32_t v = 0;
    const bool unlinked = !m_fatKnown || c > UINT32_MAX || !m_fat.Get(uint32_t(c), &v) || v != c + 1;
    if (unlinked) m_unlinked.Mark(c);
    if (c > 0 && prevUnlinked && m_bitmapKnown && InUse(c)) m_entered.Mark(c);
    prevUnlinked = unlinked;
  }
  m_unlinked.Seal();
  m_entered.Seal();
}

bool CExfatFormat::ClaimedIn(uint64_t from, uint64_t to) {
  if (from >= to) return false;
  auto claim = std::lower_bound(m_claims.begin(), m_claims.end(), from);
  if (claim != m_claims.end() && *claim < to) return true;
  auto set = std::lower_bound(m_setStartClusters.begin(), m_setStartClusters.end(), from);
  return set != m_setStartClusters.end() && *set < to;
}

// Where the file's clusters lie when it was not kept in one piece. A file of the present
// volume (in use, in one of its folders, on a cluster in use) reads through its chain. A
// deleted or older file reads through a chain the present FAT still holds over clusters
// nothing took since; else it is taken to be one piece, unless a cluster of that piece
// is where another entry set's file or folder begins, or holds a folder's entries, or is
// in use by the present volume
// without the FAT linking it to the cluster before: then the file lay elsewhere, and
// those bytes are another's.
bool CExfatFormat::PiecesOf(const fat::ExfatItem& it, bool presentDir, uint64_t clusters,
                            std::vector<uint32_t>* out, bool* taken) {
  out->clear();
  if (taken) *taken = false;
  const uint32_t first = it.firstCluster;
  if (clusters > 0xFFFFFFFFull || first + clusters - 1 > 0xFFFFFFFFull) return false;
  if (m_fatKnown) {
    bool clean = false;
    std::vector<uint32_t> chain = fat::FollowChain(m_fat, first, uint32_t(clusters), &clean);
    const bool whole = chain.size() == clusters && clean;
    if (!it.deleted && presentDir && InUse(first)) {
      if (whole) {
        out->swap(chain);
        return true;
      }
      return OnePieceDespiteOneEntry(first, clusters);
    }
    if (whole) {
      bool untouched = true;
      for (size_t k = 0; k < chain.size() && untouched; ++k) untouched = !InUse(chain[k]);
      if (untouched) {
        out->swap(chain);
        return true;
      }
      // Its chain is known, and the present volume uses clusters of it.
      if (taken) *taken = true;
    }
  }
  if (!m_marked) MarkClusters();
  if (!m_marked) return false;
  const uint64_t from = uint64_t(first) + 1, to = uint64_t(first) + clusters;
  if (ClaimedIn(from, to)) return false;
  // A cluster in use that the FAT does not link to the cluster before it; past the marked
  // clusters none is in use.
  if (m_fatKnown && m_bitmapKnown && from < m_markedEnd &&
      m_entered.Rank(std::min(to, m_markedEnd)) != m_entered.Rank(from))
    return false;
  if (taken) *taken = false;
  return true;
}

// A chain that ran cluster after cluster to an end mark at the file's size, with one entry
// damaged: the file is the one piece from its first cluster, when no other entry set
// begins inside it.
bool CExfatFormat::OnePieceDespiteOneEntry(uint32_t first, uint64_t clusters) {
  if (!m_marked) MarkClusters();
  if (!m_marked || clusters == 0) return false;
  const uint64_t last = uint64_t(first) + clusters - 1;
  if (ClaimedIn(uint64_t(first) + 1, last + 1)) return false;
  // Entries before the last that do not name the next cluster (past the marked clusters no
  // entry can be read), and the last's end mark.
  const uint64_t end = std::min(last, m_markedEnd), from = std::min<uint64_t>(first, end);
  uint64_t bad = m_unlinked.Rank(end) - m_unlinked.Rank(from) + (last - std::max<uint64_t>(first, end));
  uint32_t v = 0;
  if (last > UINT32_MAX || !m_fat.Get(uint32_t(last), &v) || !m_fat.IsEndMark(v)) ++bad;
  return bad <= 1;
}

bool CExfatFormat::HeadStillThere(const fat::ExfatItem& it, uint64_t offset) {
  int type = kraw::TypeOfName(it.name.c_str());
  if (type <= 0) return true;
  m_head.assign(kraw::kHeadBytes, 0);
  uint64_t want = std::min<uint64_t>(kraw::kHeadBytes, it.dataLength);
  if (fat::ReadAt(m_device, offset, m_head.data(), uint32_t(want)) != int64_t(want)) return false;
  return m_probe.Begins(type, m_head.data(), m_head.size());
}

// A folder whose entries fill more than one cluster: the present FAT (or the one run its
// NoFatChain flag promises) says which clusters are its own, wherever they lie, so that a
// cluster of it that begins with a file entry is not taken for a folder of its own.
void CExfatFormat::PrepareFolderChains() {
  m_chains.clear();
  m_chainDone.clear();
  m_chainOf.clear();
  m_fatKnown = m_fatGeo.fatBytes > 0 && m_fat.Init(m_device, m_fatGeo);
  if (!m_fatKnown || m_clusterBytes == 0) return;
  const uint64_t cap = std::max<uint64_t>(2, kFolderMaxBytes / m_clusterBytes);
  std::vector<FolderRef> refs;
  refs.swap(m_folderRefs);
  // One reference a first cluster: a chained one before a NoFatChain one, the longest first.
  std::sort(refs.begin(), refs.end(), [](const FolderRef& a, const FolderRef& b) {
    if (a.first != b.first) return a.first < b.first;
    if (a.noFatChain != b.noFatChain) return !a.noFatChain;
    return a.length > b.length;
  });
  refs.erase(std::unique(refs.begin(), refs.end(),
                         [](const FolderRef& a, const FolderRef& b) { return a.first == b.first; }),
             refs.end());
  std::vector<uint32_t> firsts;
  for (const FolderRef& r : refs) firsts.push_back(r.first);
  if (m_rootCluster) firsts.push_back(uint32_t(m_rootCluster));
  std::sort(firsts.begin(), firsts.end());
  auto beginsFolder = [&firsts](uint32_t c) { return std::binary_search(firsts.begin(), firsts.end(), c); };

  // Each chain is walked only as far as it is kept: to a cluster the present volume does not
  // use, where another folder begins, or where an earlier chain went. A cluster that two
  // chains lead to is neither's from there on. So a cluster is walked once, however many
  // folders (a quarter of a million may be named) claim long runs or join one tail.
  std::vector<std::vector<uint32_t>> chains;
  std::unordered_map<uint32_t, size_t> walkedBy;  // cluster -> the chain that took it
  std::unordered_set<uint32_t> joined;
  auto add = [&](uint32_t first, uint64_t length, bool noFatChain) {
    if (first < 2 || first > m_maxCluster || !InUse(first)) return;
    uint64_t n =
        length ? std::min<uint64_t>(cap, length / m_clusterBytes + (length % m_clusterBytes != 0)) : cap;
    if (n < 2 || (!noFatChain && !m_fat.IsNext(first))) return;
    const size_t index = chains.size();
    std::vector<uint32_t> ch;
    for (uint32_t c = first;;) {
      auto at = walkedBy.emplace(c, index);
      if (!at.second) {
        if (at.first->second != index) joined.insert(c);
        break;  // another chain's, or this one's own loop
      }
      ch.push_back(c);
      if (ch.size() >= n) break;
      uint32_t next = c + 1;
      if (noFatChain ? next > m_maxCluster
                     : !m_fat.Get(c, &next) || m_fat.IsEndMark(next) || !m_fat.IsNext(next))
        break;
      if (!InUse(next) || beginsFolder(next)) break;
      c = next;
    }
    if (ch.size() >= 2) {
      chains.push_back(std::move(ch));
    } else if (!ch.empty()) {
      walkedBy.erase(first);  // no chain: the next one takes the index
    }
  };
  if (m_rootCluster) add(uint32_t(m_rootCluster), 0, false);
  for (const FolderRef& r : refs)
    if (r.first != m_rootCluster) add(r.first, r.length, r.noFatChain);
  for (auto& ch : chains) {
    size_t keep = 1;
    while (keep < ch.size() && !joined.count(ch[keep])) ++keep;
    ch.resize(keep);
    if (ch.size() < 2) continue;
    for (uint32_t c : ch) m_chainOf[c] = m_chains.size();
    m_chains.push_back(std::move(ch));
  }
  m_chainDone.assign(m_chains.size(), false);
}

void CExfatFormat::WalkFolderChain(size_t index) {
  m_chainDone[index] = true;
  const std::vector<uint32_t>& ch = m_chains[index];
  const int64_t id = kClusterIdBase + int64_t(ch[0]);
  const bool sure = m_placement != kBootUnsure || InUse(ch[0]);
  auto take = [this, id, sure](const fat::ExfatItem& it) {
    TakeItem(it, id, sure);
    return true;
  };
  std::vector<uint8_t> buf(m_clusterBytes);
  fat::ExfatDirParser parser;
  for (uint32_t c : ch) {
    bool gone = false;
    // An unreadable cluster is counted by the walk over the whole volume.
    bool read =
        fat::ReadAt(m_device, ClusterOffset(c), buf.data(), m_clusterBytes, &gone) == int64_t(m_clusterBytes);
    if (gone) return;
    const uint8_t* p = buf.data();
    bool entries = read && fat::ExfatVolume::CheckEntryType(p, nullptr) == 0 &&
                   fat::ExfatVolume::CheckEntryType(p + 32, nullptr) == 0 &&
                   fat::ExfatVolume::CheckEntryType(p + 64, nullptr) == 0;
    if (!entries) {
      // A cluster of the chain that holds no entries (zeroed, overwritten) is passed over.
      parser.Flush(take);
      continue;
    }
    if (parser.Feed(p, m_clusterBytes, take) == fat::ExfatDirParser::kEnd) return;
  }
  parser.Flush(take);
}

int CExfatFormat::WalkVolume(INotifySink* sink) {
  if (!sink) return RC_BAD_ARGUMENT;
  uint32_t window = std::max<uint32_t>(1, std::min(kWindowClusters, kWindowBytes / m_clusterBytes));
  std::vector<uint8_t> buf;
  try {
    buf.resize(size_t(window) * m_clusterBytes);
  } catch (...) {
    return RC_NO_MEMORY;
  }
  fat::ExfatDirParser parser;
  bool inRun = false;
  int64_t dirId = 0;
  bool trusted = true;
  // A set left open goes to the folder it was read in.
  auto flushTo = [this, &parser](int64_t id, bool sure) {
    parser.Flush([this, id, sure](const fat::ExfatItem& it) {
      TakeItem(it, id, sure);
      return true;
    });
  };
  uint64_t cluster = m_startCluster;
  uint64_t badStep = 1;
  bool gone = m_gone;
  while (!gone && cluster <= m_maxCluster) {
    uint64_t off = ClusterOffset(cluster);
    uint64_t want = std::min<uint64_t>(window, m_maxCluster - cluster + 1);
    int64_t got = fat::ReadAt(m_device, off, buf.data(), uint32_t(want * m_clusterBytes), &gone);
    uint64_t whole = got > 0 ? std::min<uint64_t>(want, uint64_t(got) / m_clusterBytes) : 0;
    if (!gone && FailedInside(m_device, off, got, want * m_clusterBytes)) ++m_readFailures;
    uint64_t done = std::min<uint64_t>(off, m_volumeBytes);
    int p = m_walkFrom + int(uint64_t(100 - m_walkFrom) * done / std::max<uint64_t>(1, m_volumeBytes));
    if (p > m_percent) m_percent = std::min(p, 100);
    if (sink->Notify(NE_PERCENT, m_percent, 0, nullptr) != 0) {
      m_feeder.Stop();
      break;
    }
    sink->Notify(NE_SECTORS, int64_t(off / m_devSector), int64_t(m_volumeBytes / m_devSector), nullptr);
    for (uint64_t k = 0; k < whole; ++k) {
      const uint8_t* c = buf.data() + k * m_clusterBytes;
      if (!m_chainOf.empty()) {
        // A cluster of a folder read through its chain, in that order, at the first of its
        // clusters that the walk meets.
        auto owner = m_chainOf.find(uint32_t(cluster + k));
        if (owner != m_chainOf.end()) {
          if (!m_chainDone[owner->second]) WalkFolderChain(owner->second);
          inRun = false;
          continue;
        }
      }
      bool candidate = fat::ExfatVolume::CheckEntryType(c, nullptr) == 0 &&
                       fat::ExfatVolume::CheckEntryType(c + 32, nullptr) == 0 &&
                       fat::ExfatVolume::CheckEntryType(c + 64, nullptr) == 0;
      // Under an older layout the present volume's own clusters hold nothing of it.
      if (candidate && m_placement == kOldLayout && Occupied(ClusterOffset(cluster + k), m_clusterBytes))
        candidate = false;
      if (!candidate) {
        // An entry set left open by a full directory cluster stays pending: the
        // directory's next cluster may lie further on, behind the files written meanwhile.
        inRun = false;
        continue;
      }
      if (!inRun) {
        bool continues = parser.Pending() && (c[0] & 0x40) && (c[0] & 0x3F) <= 0x01;
        if (!continues) {
          flushTo(dirId, trusted);
          dirId = kClusterIdBase + int64_t(cluster + k);
          parser.Reset();
          // Directories outside the present volume contradict its layout here, unless they
          // are its own deleted folders.
          trusted = m_placement != kBootUnsure || Occupied(ClusterOffset(cluster + k), m_clusterBytes) ||
                    std::binary_search(m_ownDeleted.begin(), m_ownDeleted.end(), uint32_t(cluster + k));
        }
        inRun = true;
      }
      // The parser carries an entry set cut by the cluster's end into the next cluster.
      int64_t id = dirId;
      bool sure = trusted;
      auto r = parser.Feed(c, m_clusterBytes, [this, id, sure](const fat::ExfatItem& it) {
        TakeItem(it, id, sure);
        return true;
      });
      if (r == fat::ExfatDirParser::kEnd) {
        inRun = false;
        parser.Reset();
      }
    }
    if (whole >= want) {
      cluster += want;
      badStep = 1;
      continue;
    }
    // A device that vanished or ended stops the walk; an unreadable cluster costs only
    // itself, and a dead stretch is crossed in ever larger steps.
    if (gone || got == 0) break;
    inRun = false;
    if (whole > 0) {
      cluster += whole + 1;
      badStep = 1;
    } else {
      cluster += std::min<uint64_t>(badStep, want);
      if (badStep < want) badStep *= 2;
    }
  }
  if (!m_feeder.Stopped()) flushTo(dirId, trusted);
  if (m_percent < 100) m_percent = 100;
  if (m_parent) m_parent->ProgressBase() = m_percent;
  sink->Notify(NE_PERCENT, 100, 0, nullptr);
  m_device->Close(1);
  // What was found is still handed over, but a vanished device is no finished scan, and
  // one that went to the end past unreadable sectors says so.
  if (gone) return RC_FAIL;
  return !m_feeder.Stopped() && m_readFailures > 0 ? RC_READ_FAILED : 0;
}

int CExfatFormat::AddNodeToManager(const char16_t* folder, const char16_t*, void* payload, void* user, int) {
  return static_cast<CExfatFormat*>(user)->m_feeder.AddClone(folder, payload);
}

int CExfatFormat::Scan(INotifySink* sink) {
  if (!sink) return RC_BAD_ARGUMENT;
  m_sink = sink;
  int info = ReadVolumeInfo();
  m_sink = nullptr;
  // Nothing recognised where sectors could not be read: the volume may lie in them.
  if (info != 0) return m_readFailures > 0 || info == RC_READ_FAILED ? RC_READ_FAILED : RC_WRONG_FS;
  if (!m_feeder.Start(m_pFileManager, &CExfatFormat::AddNodeToManager, nullptr, ReleaseInfo, this))
    return RC_NO_MEMORY;
  m_emptyIds = 0;
  // Without a known root (an old layout whose root was overwritten) every folder lands
  // under the orphan folder.
  m_feeder.SetRoots(kClusterIdBase + int64_t(m_rootCluster), -1);
  if (m_pFileManager) m_pFileManager->SetNotifySink(sink);
  if (m_parent && m_parent->FormatParam()) {
    m_parent->FormatParam()->bytesPerSector = int(m_bps);
    m_parent->FormatParam()->sectorsPerCluster = int(m_spc);
  }
  int rc = WalkVolume(sink);
  m_feeder.Finish();
  return m_feeder.Result(rc);
}

IScanOperator* CreateExfatFormatScanner(IStorageDevice* device) {
  return new (std::nothrow) CExfatFormat(device, nullptr, 0);
}
