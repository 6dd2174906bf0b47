#include "storagedevice/gpt.h"

#include <cstring>
#include <vector>

#include "common/inc/bytes.h"
#include "common/layout/gpt.h"
#include "storagedevice/cdisk.h"
#include "storagedevice/dpt.h"
#include "storagedevice/cvolume.h"

namespace {

// A GUID as stored on disk: the first three fields little-endian.
struct Guid {
  uint8_t b[16];
};
Guid MakeGuid(uint32_t d1, uint16_t d2, uint16_t d3, uint64_t d4) {
  Guid g;
  kbytes::PutLe32(g.b, d1);
  kbytes::PutLe16(g.b + 4, d2);
  kbytes::PutLe16(g.b + 6, d3);
  kbytes::PutBe64(g.b + 8, d4);
  return g;
}
const Guid kAppleBoot = MakeGuid(0x426F6F74, 0x0000, 0x11AA, 0xAA1100306543ECACull);
const Guid kCoreStorage = MakeGuid(0x53746F72, 0x6167, 0x11AA, 0xAA1100306543ECACull);
const Guid kEfiSystem = MakeGuid(0xC12A7328, 0xF81F, 0x11D2, 0xBA4B00A0C93EC93Bull);

int GuidCompare(const uint8_t* a, const Guid& b) { return memcmp(a, b.b, 16); }

}  // namespace

CGpt::CGpt(CDisk* disk) : m_disk(disk) { memset(&m_geometry, 0, sizeof m_geometry); }

CGpt::~CGpt() { Clear(); }

void CGpt::Clear() {
  for (CVolume* v : m_volumes) v->Release();
  m_volumes.clear();
}

int CGpt::Parse() {
  Clear();
  if (!m_disk || m_disk->GetGeometry(&m_geometry) != 0 || m_geometry.BytesPerSector < 512) return -1;
  if (ReadTable(1) < 0) return -1;
  return int(m_volumes.size());
}

int CGpt::ReadTable(uint64_t headerSector) {
  const uint32_t ss = m_geometry.BytesPerSector;
  const uint64_t total = uint64_t(m_disk->TotalSectors());
  std::vector<uint8_t> sector(ss);
  if (m_disk->ReadSectors(int64_t(headerSector), sector.data(), 1) != 1) return -5;
  layout::GptHeader header;
  if (!layout::ReadGptHeaderFields(sector.data(), sector.size(), &header) || !header.signatureValid) return -2;
  // Sizes come from the disk: the product is taken in 64 bits and capped, and the whole
  // array is read in as many sectors as it needs, whatever the sector size.
  uint64_t sectors = 0;
  if (!layout::ValidateGptEntryArray(header, ss, total, kMaxEntryBytes, &sectors)) return -2;
  std::vector<uint8_t> table(size_t(sectors) * ss, 0);
  if (m_disk->ReadSectors(int64_t(header.entriesLba), table.data(), uint32_t(sectors)) != int(sectors)) return -5;
  for (uint32_t i = 0; i < header.entryCount; ++i) {
    layout::GptEntry e;
    if (!layout::GptEntryAt(table.data(), table.size(), header.entrySize, i, &e)) break;
    if (e.IsUnused()) continue;
    // The last sector is inclusive: first == last is a partition of one sector.
    if (e.firstLba > e.lastLba || e.firstLba >= total) continue;
    if (GuidCompare(e.typeGuid, kAppleBoot) == 0) continue;
    // last - first + 1 itself may not fit: the count is taken from the part inside the disk.
    uint64_t count = (e.lastLba < total ? e.lastLba : total - 1) - e.firstLba + 1;
    PartitionInfo info;
    memset(&info, 0, sizeof info);
    info.StartSector = int64_t(e.firstLba);
    info.SectorCount = int64_t(count);
    if (e.lastLba >= total) info.Flags |= PF_CLIPPED;
    info.DiskIndex = m_disk->GetDiskIndex();
    info.PartitionNumber = int32_t(m_volumes.size() + 1);
    info.PartitionType = GuidCompare(e.typeGuid, kCoreStorage) == 0 ? PT_CORE_STORAGE : PT_UNDETECTED;
    info.IsEfiSystemPartition = GuidCompare(e.typeGuid, kEfiSystem) == 0 ? 1 : 0;
    AddTableVolume(m_disk, info, &m_volumes);
  }
  return 0;
}
