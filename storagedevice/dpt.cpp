#include "storagedevice/dpt.h"

#include <cstring>
#include <new>
#include <set>
#include <vector>

#include "common/inc/bytes.h"
#include "storagedevice/cdisk.h"
#include "storagedevice/cvolume.h"

// A table entry that starts inside the disk but runs past its end is what a partial image of
// a failing disk shows: it is kept, cut back to the disk's end and marked, so that the part
// that was imaged can still be scanned. One that starts past the end has nothing to read.
bool FitToDisk(uint64_t start, uint64_t* count, uint64_t total, bool* clipped) {
  *clipped = false;
  if (*count == 0 || start >= total) return false;
  if (*count > total - start) {
    *count = total - start;
    *clipped = true;
  }
  return true;
}

CDpt::CDpt(CDisk* disk) : m_disk(disk), m_extBase(0), m_nextLink(0) { memset(&m_geometry, 0, sizeof m_geometry); }

CDpt::~CDpt() { Clear(); }

void CDpt::Clear() {
  for (CVolume* v : m_volumes) v->Release();
  m_volumes.clear();
}

int CDpt::Parse() {
  Clear();
  m_extBase = 0;
  if (!m_disk || m_disk->GetGeometry(&m_geometry) != 0 || m_geometry.BytesPerSector < 512) return -1;
  if (ReadTable(0, true) < 0) return -1;
  if (m_extBase) {
    // Each link is relative to the extended base. A record seen before, or a chain longer
    // than any real disk holds, ends the walk: a self-linked record would loop forever.
    std::set<uint64_t> visited;
    uint64_t current = m_extBase;
    bool first = true;
    const uint64_t total = uint64_t(m_disk->TotalSectors());
    while (current && int(visited.size()) < kMaxBootRecords && visited.insert(current).second) {
      // A record past the disk's end was not imaged (a partial image): the chain ends there
      // and the partitions read so far stay listed.
      if (current >= total) break;
      if (ReadTable(current, false) < 0) {
        if (first) return -2;
        return -3;
      }
      first = false;
      if (m_nextLink == 0) break;
      if (m_nextLink > UINT64_MAX - m_extBase) break;
      current = m_extBase + m_nextLink;
    }
  }
  return int(m_volumes.size());
}

int CDpt::ReadTable(uint64_t sector, bool isMbr) {
  const uint32_t ss = m_geometry.BytesPerSector;
  const uint64_t total = uint64_t(m_disk->TotalSectors());
  if (sector >= total) return -5;
  std::vector<uint8_t> buf(ss);
  if (m_disk->ReadSectors(int64_t(sector), buf.data(), 1) != 1) return -5;
  if (buf[510] != 0x55 || buf[511] != 0xAA) return -2;
  struct Entry {
    uint8_t boot, type;
    uint32_t start, count;
  };
  Entry entries[4];
  int n = 0;
  for (int i = 0; i < 4; ++i) {
    const uint8_t* e = &buf[446 + 16 * i];
    if (e[0] != 0x00 && e[0] != 0x80) break;
    entries[n++] = {e[0], e[4], kbytes::Le32(e + 8), kbytes::Le32(e + 12)};
  }
  m_nextLink = 0;
  for (int i = 0; i < n; ++i) {
    const Entry& e = entries[i];
    if (e.start == 0 && e.count == 0) continue;
    if (e.type == PT_EXTENDED || e.type == PT_EXTENDED_LBA) {
      if (isMbr) {
        if (!m_extBase) m_extBase = e.start;
      } else if (!m_nextLink) {
        m_nextLink = e.start;
      }
      continue;
    }
    if (e.type == 0) continue;
    uint64_t start = isMbr ? e.start : sector + e.start;
    uint64_t count = e.count;
    bool clipped = false;
    if (!FitToDisk(start, &count, total, &clipped)) continue;
    PartitionInfo info;
    memset(&info, 0, sizeof info);
    info.StartSector = int64_t(start);
    info.SectorCount = int64_t(count);
    if (clipped) info.Flags |= PF_CLIPPED;
    info.PartitionType = e.type == PT_FAT32_LBA ? uint32_t(PT_FAT32) : uint32_t(e.type);
    info.DiskIndex = m_disk->GetDiskIndex();
    info.PartitionNumber = int32_t(m_volumes.size() + 1);
    CVolume* v = new (std::nothrow) CVolume(m_disk);
    if (!v) continue;
    if (v->Assign(info) != 0) {
      v->Release();
      continue;
    }
    m_volumes.push_back(v);
  }
  return 0;
}
