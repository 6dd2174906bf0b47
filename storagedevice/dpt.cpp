#include "storagedevice/dpt.h"

#include <cstring>
#include <new>
#include <vector>

#include "common/layout/mbr.h"
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

void AddTableVolume(CDisk* disk, const PartitionInfo& info, std::vector<CVolume*>* out) {
  CVolume* v = new (std::nothrow) CVolume(disk);
  if (!v) return;
  if (v->Assign(info) != 0) {
    v->Release();
    return;
  }
  out->push_back(v);
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
  // A record past the disk's end was not imaged (a partial image): the chain ends there and
  // the partitions read so far stay listed.
  layout::EbrWalk walk =
      layout::WalkEbrChain(m_extBase, uint64_t(m_disk->TotalSectors()), [this](uint64_t sector, uint32_t* link) {
        if (ReadTable(sector, false) < 0) return false;
        *link = uint32_t(m_nextLink);
        return true;
      });
  if (walk.failed) return walk.records == 0 ? -2 : -3;
  return int(m_volumes.size());
}

int CDpt::ReadTable(uint64_t sector, bool isMbr) {
  const uint32_t ss = m_geometry.BytesPerSector;
  const uint64_t total = uint64_t(m_disk->TotalSectors());
  if (sector >= total) return -5;
  std::vector<uint8_t> buf(ss);
  if (m_disk->ReadSectors(int64_t(sector), buf.data(), 1) != 1) return -5;
  layout::PartitionRecord record;
  if (!layout::DecodePartitionRecord(buf.data(), buf.size(), !isMbr, &record)) return -2;
  m_nextLink = 0;
  if (isMbr)
    m_extBase = record.link;
  else
    m_nextLink = record.link;
  for (size_t i = 0; i < record.count; ++i) {
    const layout::MbrEntry& e = record.partitions[i];
    uint64_t start = isMbr ? e.firstLba : sector + e.firstLba;
    uint64_t count = e.sectors;
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
    AddTableVolume(m_disk, info, &m_volumes);
  }
  return 0;
}
