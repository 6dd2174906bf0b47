#include "storagedevice/gpt.h"

#include <cstring>
#include <new>
#include <vector>

#include "common/inc/bytes.h"
#include "storagedevice/cdisk.h"
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
  std::vector<uint8_t> header(ss);
  if (m_disk->ReadSectors(int64_t(headerSector), header.data(), 1) != 1) return -5;
  if (memcmp(header.data(), "EFI PART", 8) != 0) return -2;
  uint64_t entriesLba = kbytes::Le64(&header[72]);
  uint32_t count = kbytes::Le32(&header[80]);
  uint32_t size = kbytes::Le32(&header[84]);
  // Sizes come from the disk: the product is taken in 64 bits and capped, and the whole
  // array is read in as many sectors as it needs, whatever the sector size.
  if (count == 0 || size < 128 || size % 8 != 0) return -2;
  uint64_t bytes = uint64_t(count) * uint64_t(size);
  if (bytes > kMaxEntryBytes) return -2;
  uint64_t sectors = (bytes + ss - 1) / ss;
  if (entriesLba == 0 || !kbytes::RangeInside(entriesLba, sectors, total)) return -2;
  std::vector<uint8_t> table(size_t(sectors) * ss, 0);
  if (m_disk->ReadSectors(int64_t(entriesLba), table.data(), uint32_t(sectors)) != int(sectors)) return -5;
  static const uint8_t kZero[16] = {0};
  for (uint32_t i = 0; i < count; ++i) {
    const uint8_t* e = &table[size_t(i) * size];
    if (memcmp(e, kZero, 16) == 0) continue;
    uint64_t first = kbytes::Le64(e + 32), last = kbytes::Le64(e + 40);
    if (first >= last || first >= total) continue;
    if (GuidCompare(e, kAppleBoot) == 0) continue;
    // last - first + 1 itself may not fit: the count is taken from the part inside the disk.
    uint64_t count = (last < total ? last : total - 1) - first + 1;
    PartitionInfo info;
    memset(&info, 0, sizeof info);
    info.StartSector = int64_t(first);
    info.SectorCount = int64_t(count);
    if (last >= total) info.Flags |= PF_CLIPPED;
    info.DiskIndex = m_disk->GetDiskIndex();
    info.PartitionNumber = int32_t(m_volumes.size() + 1);
    info.PartitionType = GuidCompare(e, kCoreStorage) == 0 ? PT_CORE_STORAGE : PT_UNDETECTED;
    info.IsEfiSystemPartition = GuidCompare(e, kEfiSystem) == 0 ? 1 : 0;
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
