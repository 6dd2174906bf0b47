#include "filesystems/exfatformat.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "common/inc/bytes.h"
#include "common/inc/ifilemanager.h"
#include "common/inc/inotifysink.h"
#include "common/inc/kestrum_types.h"
#include "common/inc/seams.h"
#include "filemanager/fileinfo.h"
#include "filemanager/timeconv.h"
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

bool AcceptedType(uint8_t t) {
  switch (t) {
    case 0x03: case 0x05: case 0x40: case 0x41: case 0x81: case 0x82: case 0x83: case 0x85: case 0xC0: case 0xC1:
      return true;
  }
  return false;
}

bool IsUpcaseStart(const uint8_t* s) {
  for (int i = 0; i < 64; ++i)
    if (kbytes::Le16(s + 2 * i) != i) return false;
  return true;
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

void ReleaseInfo(void* payload, void*) {
  if (payload) static_cast<IFileInfo*>(payload)->Release();
}

}  // namespace

CExfatFormat::CExfatFormat(IStorageDevice* device, IFileManager* manager, uint64_t bootSector)
    : m_device(device), m_bootSector(bootSector) {
  m_pFileManager = manager;
}

CExfatFormat::~CExfatFormat() {
  if (m_graph) {
    m_graph->ReleaseNodes(ReleaseInfo, this);
    delete m_graph;
  }
}

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
  uint8_t boot[512];
  // The main boot sector, else the backup region's copy 12 sectors on.
  static const uint64_t kCopies[] = {0, 12 * 512, 12 * 1024, 12 * 2048, 12 * 4096};
  for (uint64_t rel : kCopies) {
    if (fat::ReadAt(m_device, base + rel, boot, sizeof boot) != int64_t(sizeof boot)) {
      if (rel == 0) return RC_READ_FAILED;
      continue;
    }
    fat::ExfatGeometry g;
    if (fat::ParseExfatBoot(boot, sizeof boot, size - base, &g) != 0) continue;
    if (rel != 0 && rel != 12ull * g.bytesPerSector) continue;
    m_bps = g.bytesPerSector;
    m_spc = g.sectorsPerCluster;
    m_clusterBytes = g.clusterBytes;
    m_volumeBytes = std::min<uint64_t>(g.volumeSectors * g.bytesPerSector, size - base);
    m_origin = base + g.heapOffset - 2ull * g.clusterBytes;
    m_maxCluster = g.maxCluster;
    if (!g.IsDataCluster(g.rootCluster)) return RC_MISSING;
    m_rootOffset = ClusterOffset(g.rootCluster);
    return 0;
  }
  int rc = RebuildFromUpcase();
  return rc == RC_READ_FAILED ? rc : (rc ? RC_MISSING : 0);
}

bool CExfatFormat::CheckUpcaseCandidate(uint64_t u, uint64_t r, const uint8_t* root, uint32_t spc) {
  uint64_t size = 0;
  if (m_device->GetSize(&size) != 0) return false;
  const uint64_t bps = m_devSector, cbytes = uint64_t(spc) * bps;
  uint32_t bmCluster = 0, upCluster = 0;
  uint64_t bmLen = 0, upLen = 0;
  for (int i = 0; i < int(bps / 32); ++i) {
    const uint8_t* e = root + i * 32;
    if (e[0] == 0x81 && !bmCluster) bmCluster = kbytes::Le32(e + 20), bmLen = kbytes::Le64(e + 24);
    if (e[0] == 0x82 && !upCluster) upCluster = kbytes::Le32(e + 20), upLen = kbytes::Le64(e + 24);
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
  for (uint64_t s = m_bootSector; s < m_bootSector + kSearchSectors; s += chunk) {
    int64_t got = fat::ReadAt(m_device, s * bps, buf.data(), uint32_t(buf.size()));
    if (got < int64_t(bps)) return haveU ? RC_MISSING : RC_READ_FAILED;
    uint64_t n = uint64_t(got) / bps;
    for (uint64_t i = 0; i < n; ++i) {
      const uint8_t* sec = buf.data() + i * bps;
      if (IsUpcaseStart(sec)) {
        u = s + i;
        haveU = true;
        continue;
      }
      if (!haveU || IsRootDirectoryStart(sec) != 0) continue;
      // Several powers of two can satisfy the distance; the root's own entries decide.
      for (uint32_t shift = 0; (uint64_t(bps) << shift) <= (32u << 20); ++shift)
        if (CheckUpcaseCandidate(u, s + i, sec, 1u << shift)) return 0;
    }
    if (n < chunk) break;
  }
  return RC_MISSING;
}

void CExfatFormat::TakeItem(const fat::ExfatItem& it, int64_t dirId) {
  if (it.name.empty()) return;
  bool inRange = it.firstCluster >= 2 && it.firstCluster <= m_maxCluster;
  if (it.IsDirectory()) {
    if (inRange) m_graph->AddNode(kClusterIdBase + it.firstCluster, dirId, it.name.c_str(), nullptr, nullptr);
    return;
  }
  int64_t id;
  RunList* runs = nullptr;
  if (it.dataLength == 0 || it.firstCluster == 0) {
    id = kEmptyIdBase + m_emptyIds++;
  } else {
    if (!inRange) return;
    id = kClusterIdBase + it.firstCluster;
    // Divided first: a hostile length near 2^64 must not wrap to a few clusters.
    uint64_t clusters = it.dataLength / m_clusterBytes + (it.dataLength % m_clusterBytes != 0);
    uint64_t off = ClusterOffset(it.firstCluster);
    if (off > m_volumeBytes || clusters > (m_volumeBytes - off) / m_clusterBytes + 1) return;
    uint64_t start = off / m_devSector, count = clusters * (m_clusterBytes / m_devSector);
    if (count > 0xFFFFFFFFull) return;
    // Bytes past the valid data length were never written: exFAT reads them as zeros, so
    // they are handed out as a hole rather than as whatever the clusters held before.
    uint64_t valid = count;
    if (it.validLength < it.dataLength)
      valid = std::min<uint64_t>(count, it.validLength / m_devSector + (it.validLength % m_devSector != 0));
    runs = new (std::nothrow) RunList(valid ? start : RUN_HOLE, uint32_t(valid ? valid : count - valid));
    if (!runs) return;
    if (valid && valid < count && !runs->Append(RUN_HOLE, uint32_t(count - valid))) {
      runs->Release();
      return;
    }
  }
  CFileInfo* info = new (std::nothrow) CFileInfo();
  if (!info) {
    if (runs) runs->Release();
    return;
  }
  info->SetName(it.name.c_str());
  info->SetSize(int64_t(it.dataLength));
  if (runs) info->SetRunList(runs);
  info->SetTimes(DateValue(it.createDate), DateValue(it.modifyDate));
  info->AddFlags(FF_FORMATTED);
  if (m_graph->AddNamedNode(id, dirId, it.name.c_str(), info, KeepExisting) < 0) {
    info->Release();
    return;
  }
  if (++m_pending > 1000) {
    m_graph->FlushNodes(&CExfatFormat::AddNodeToManager, ReleaseInfo, this);
    m_pending = 0;
  }
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
  uint64_t cluster = (m_rootOffset - m_origin) / m_clusterBytes;
  uint64_t badStep = 1;
  bool gone = false;
  while (cluster <= m_maxCluster) {
    uint64_t off = ClusterOffset(cluster);
    uint64_t want = std::min<uint64_t>(window, m_maxCluster - cluster + 1);
    int64_t got = fat::ReadAt(m_device, off, buf.data(), uint32_t(want * m_clusterBytes), &gone);
    uint64_t whole = got > 0 ? std::min<uint64_t>(want, uint64_t(got) / m_clusterBytes) : 0;
    int p = int(std::min<uint64_t>(100, off * 100 / std::max<uint64_t>(1, m_volumeBytes)));
    if (p > m_percent) m_percent = p;
    if (sink->Notify(NE_PERCENT, m_percent, 0, nullptr) != 0) break;
    sink->Notify(NE_SECTORS, int64_t(off / m_devSector), int64_t(m_volumeBytes / m_devSector), nullptr);
    for (uint64_t k = 0; k < whole; ++k) {
      const uint8_t* c = buf.data() + k * m_clusterBytes;
      bool candidate = AcceptedType(c[0]) && AcceptedType(c[32]) && AcceptedType(c[64]);
      if (!candidate) {
        // An entry set left open by a full directory cluster stays pending: the
        // directory's next cluster may lie further on, behind the files written meanwhile.
        inRun = false;
        continue;
      }
      if (!inRun) {
        bool continues = parser.Pending() && (c[0] & 0x40) && (c[0] & 0x3F) <= 0x01;
        if (!continues) {
          dirId = kClusterIdBase + int64_t(cluster + k);
          parser.Reset();
        }
        inRun = true;
      }
      // The parser carries an entry set cut by the cluster's end into the next cluster.
      int64_t id = dirId;
      auto r = parser.Feed(c, m_clusterBytes, [this, id](const fat::ExfatItem& it) {
        TakeItem(it, id);
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
  if (m_percent < 100) m_percent = 100;
  if (m_parent) m_parent->ProgressBase() = m_percent;
  sink->Notify(NE_PERCENT, 100, 0, nullptr);
  m_device->Close(1);
  // What was found is still handed over, but a vanished device is no finished scan.
  return gone ? RC_FAIL : 0;
}

int CExfatFormat::AddNodeToManager(const char16_t* folder, const char16_t*, void* payload, void* user, int) {
  CExfatFormat* self = static_cast<CExfatFormat*>(user);
  if (!self || !payload) return 0;
  if (!self->m_pFileManager) return -1;
  IFileInfo* clone = CloneFileInfo(static_cast<IFileInfo*>(payload));
  if (!clone) return 0;
  return self->m_pFileManager->AddFile(folder, clone);
}

int CExfatFormat::Scan(INotifySink* sink) {
  if (!sink) return RC_BAD_ARGUMENT;
  if (ReadVolumeInfo() != 0) return RC_WRONG_FS;
  if (m_graph) {
    m_graph->ReleaseNodes(ReleaseInfo, this);
    delete m_graph;
  }
  m_graph = new (std::nothrow) GFS::CGraphFileSystem();
  if (!m_graph) return RC_NO_MEMORY;
  m_pending = 0;
  m_emptyIds = 0;
  uint64_t rootCluster = (m_rootOffset - m_origin) / m_clusterBytes;
  m_graph->SetRootNode(kClusterIdBase + int64_t(rootCluster), -1, u"Volume", nullptr, u"Lost Location");
  if (m_pFileManager) m_pFileManager->SetNotifySink(sink);
  if (m_parent && m_parent->FormatParam()) {
    m_parent->FormatParam()->bytesPerSector = int(m_bps);
    m_parent->FormatParam()->sectorsPerCluster = int(m_spc);
  }
  int rc = WalkVolume(sink);
  m_graph->EnumNodes(&CExfatFormat::AddNodeToManager, this);
  m_graph->ReleaseNodes(ReleaseInfo, this);
  delete m_graph;
  m_graph = nullptr;
  return rc;
}

IScanOperator* CreateExfatFormatScanner(IStorageDevice* device) {
  return new (std::nothrow) CExfatFormat(device, nullptr, 0);
}
