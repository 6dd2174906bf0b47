#include "storagedevice/cdisk.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <new>

#include "common/inc/bytes.h"
#include "common/layout/gpt.h"
#include "common/inc/iarchive.h"
#include "common/textutil.h"
#include "deviceapi/windowsdeviceio.h"
#include "storagedevice/channelforward.h"
#include "storagedevice/cvolume.h"

namespace {

bool WideContains(const char16_t* text, size_t cap, const char* needle) {
  size_t n = strlen(needle);
  for (size_t i = 0; i < cap && text[i]; ++i) {
    size_t k = 0;
    while (k < n && i + k < cap && text[i + k] == char16_t((unsigned char)needle[k])) ++k;
    if (k == n) return true;
  }
  return false;
}

void SetLabel(PartitionInfo* info, const char* text) { AnsiToWide(info->Label, text, 264); }

}  // namespace

CDisk::CDisk()
    : m_pDev(nullptr), m_index(-1), m_scheme(1), m_partitionCounter(0), m_readOnly(false) {
  memset(&m_geometry, 0, sizeof m_geometry);
  memset(&m_physical, 0, sizeof m_physical);
  memset(m_path, 0, sizeof m_path);
}

CDisk::~CDisk() {
  ReleaseVolumes();
  if (m_pDev) m_pDev->Release();
}

void CDisk::ReleaseVolumes() {
  for (CVolume* v : m_volumes) v->Release();
  m_volumes.clear();
}

int CDisk::GetType() {
  return WideContains(m_physical.MediaType, 264, "hard disk") ? DT_FIXED_DISK : DT_OTHER_DISK;
}

const char* CDisk::GetName() { return m_path; }

int CDisk::GetSize(uint64_t* size) {
  if (size) *size = uint64_t(m_geometry.DiskSize);
  return 0;
}

int CDisk::GetPartitionInfo(PartitionInfo*) { return -1; }

int CDisk::GetGeometry(DiskGeometry* geometry) {
  ZQ_ASSERT(geometry != NULL);
  if (!geometry) return -1;
  *geometry = m_geometry;
  return 0;
}

ChannelForward CDisk::Channel() { return ChannelForward(m_pDev, m_readOnly, m_path, m_geometry.BytesPerSector); }

int CDisk::Read(void* buf, uint32_t count) { return Channel().Read(buf, count); }

int CDisk::Write(const void* buf, uint32_t count) { return Channel().Write(buf, count); }

void CDisk::Release() { delete this; }

int64_t CDisk::Seek(int64_t offset, int origin) { return Channel().Seek(offset, origin); }

int CDisk::ReadSectors(int64_t first, void* buf, uint32_t count) { return Channel().ReadSectors(first, buf, count); }

int CDisk::WriteSectors(int64_t first, const void* buf, uint32_t count) {
  return Channel().WriteSectors(first, buf, count);
}

int CDisk::Close() { return Channel().Close(); }

IDeviceIo* CDisk::GetIo() { return m_pDev; }

int CDisk::Save(IArchive* archive) {
  if (!archive) return -1;
  uint32_t version = 3;
  int32_t index = m_index;
  if (archive->Write(&version, 4) != 0 || archive->Write(&index, 4) != 0) return -1;
  return 0;
}

int CDisk::Load(IArchive* archive) {
  if (!archive) return -1;
  uint32_t version = 0;
  int32_t index = -1;
  if (archive->Read(&version, 4) != 0 || version > 3 || archive->Read(&index, 4) != 0) return -1;
  return OpenByIndex(index) == 0 ? 0 : -1;
}

int CDisk::Open() { return Channel().Open(); }

int CDisk::GetDiskIndex() { return m_index; }

int64_t CDisk::TotalSectors() const {
  if (m_geometry.BytesPerSector == 0 || m_geometry.DiskSize <= 0) return 0;
  return m_geometry.DiskSize / int64_t(m_geometry.BytesPerSector);
}

int CDisk::OpenByIndex(int index) {
  if (index < 0 || index > 25) return RC_OUT_OF_RANGE;
  ReleaseVolumes();
  if (m_pDev) {
    m_pDev->Release();
    m_pDev = nullptr;
  }
  m_partitionCounter = 0;
  snprintf(m_path, sizeof m_path, "/dev/hd%c", 'a' + index);
  m_pDev = CreateDeviceIo();
  if (!m_pDev) return -1;
  if (Channel().Open() != 0) {
    m_pDev->Release();
    m_pDev = nullptr;
    return -1;
  }
  memset(&m_geometry, 0, sizeof m_geometry);
  int failure = 0;
  if (m_pDev->Query(DIQ_GEOMETRY, &m_geometry) != 0 || m_geometry.BytesPerSector < 512 ||
      !kbytes::IsPowerOfTwo(m_geometry.BytesPerSector))
    failure = 1;
  else if (m_geometry.DiskSize <= 0)
    failure = 3;
  if (failure) {
    m_pDev->Release();
    m_pDev = nullptr;
    return failure;
  }
  memset(&m_physical, 0, sizeof m_physical);
  if (!GetDiskPhysicalInfo(index, &m_physical)) memset(&m_physical, 0, sizeof m_physical);
  memcpy(m_geometry.Model, m_physical.Model, sizeof m_geometry.Model);
  m_geometry.Model[263] = 0;
  m_geometry.DiskIndex = index;
  m_index = index;

  if (ReadOsPartitionList() <= 0 && ReadPartitionTables() <= 0) {
    ReleaseVolumes();
    CVolume* whole = AddPartitionVolume(0, TotalSectors(), PT_UNALLOCATED);
    if (whole) {
      whole->SetParent(this);
      whole->Refresh();
      m_volumes.push_back(whole);
    }
  }

  if (IsAppleDevice() == 0) {
    for (CVolume* v : m_volumes) {
      PartitionInfo info;
      v->GetPartitionInfo(&info);
      char serial[264];
      memset(serial, 0, sizeof serial);
      CXmlAccess xml;
      xml.ReadDeviceIdentity(info.MountPoint[0], nullptr, serial, nullptr);
      memcpy(info.SerialNumber, serial, sizeof info.SerialNumber);
      info.SerialNumber[263] = 0;
      v->SetPartitionInfo(info);
    }
  }
  return 0;
}

int CDisk::ReadOsPartitionList() {
  if (!Channel().EnsureOpen()) return -1;
  std::vector<LayoutEntry> layout;
  if (m_pDev->Query(DIQ_LAYOUT, &layout) != 0) return -1;
  ReleaseVolumes();
  const int64_t ss = m_geometry.BytesPerSector;
  const int64_t total = TotalSectors();
  for (const LayoutEntry& e : layout) {
    if (e.startByte < 0 || e.lengthByte <= 0 || e.startByte % ss || e.lengthByte % ss) continue;
    uint64_t start = uint64_t(e.startByte / ss), count = uint64_t(e.lengthByte / ss);
    bool clipped = false;
    if (!FitToDisk(start, &count, uint64_t(total), &clipped)) continue;
    PartitionInfo info;
    memset(&info, 0, sizeof info);
    info.StartSector = int64_t(start);
    info.SectorCount = int64_t(count);
    if (clipped) info.Flags |= PF_CLIPPED;
    info.PartitionType = PT_UNDETECTED;
    info.PartitionNumber = int32_t(e.number);
    info.DiskIndex = m_index;
    info.SectorSize = uint32_t(ss);
    CVolume* v = new (std::nothrow) CVolume(this);
    if (!v) continue;
    v->SetPartitionInfo(info);
    // Kept even when its first sector cannot be read: the system lists it, and on a failing
    // disk it is the partition most in need of a raw scan.
    v->Refresh();
    m_volumes.push_back(v);
  }
  if (m_volumes.empty()) return 0;
  // Unused stretches are listed whichever source gave the table, so that a disk reads the
  // same whether the system or the disk's own tables were used.
  size_t before = m_volumes.size();
  InsertGapVolumes();
  if (m_volumes.size() != before)
    for (CVolume* v : m_volumes) {
      PartitionInfo info;
      v->GetPartitionInfo(&info);
      if (info.PartitionNumber == -1) v->Refresh();
    }
  return int(m_volumes.size());
}

int CDisk::DetectPartitionScheme() {
  uint32_t ss = m_geometry.BytesPerSector;
  if (ss < 512) return -1;
  std::vector<uint8_t> buf(ss);
  if (ReadSectors(1, buf.data(), 1) != 1) return -1;
  return layout::HasGptSignature(buf.data(), buf.size()) ? 2 : 1;
}

int CDisk::ReadPartitionTables() {
  int scheme = DetectPartitionScheme();
  if (scheme < 0) return -1;
  m_scheme = scheme;
  std::vector<CVolume*> found;
  if (scheme == 2) {
    CGpt gpt(this);
    if (gpt.Parse() < 1) return -1;
    found.swap(gpt.Volumes());
  } else {
    CDpt dpt(this);
    if (dpt.Parse() < 1) return -1;
    found.swap(dpt.Volumes());
  }
  ReleaseVolumes();
  m_volumes.swap(found);
  InsertGapVolumes();
  // Table entries were refreshed when they were made; the gaps are detected now.
  for (CVolume* v : m_volumes) {
    v->SetParent(this);
    PartitionInfo info;
    v->GetPartitionInfo(&info);
    if (info.PartitionNumber == -1) v->Refresh();
  }
  return int(m_volumes.size());
}

void CDisk::InsertGapVolumes() {
  const int64_t total = TotalSectors();
  const int64_t cylinder = int64_t(m_geometry.TracksPerCylinder) * int64_t(m_geometry.SectorsPerTrack);
  if (m_volumes.empty()) {
    if (CVolume* g = AddGapVolume(0, total)) m_volumes.push_back(g);
    return;
  }
  std::vector<CVolume*> out;
  int64_t prevEnd = -1;
  for (size_t i = 0; i < m_volumes.size(); ++i) {
    PartitionInfo info;
    m_volumes[i]->GetPartitionInfo(&info);
    int64_t from = i == 0 ? 0 : prevEnd;
    int64_t gap = info.StartSector - from;
    if (gap > cylinder) {
      if (CVolume* g = AddGapVolume(from, gap)) out.push_back(g);
    }
    out.push_back(m_volumes[i]);
    prevEnd = info.StartSector + info.SectorCount;
  }
  int64_t tail = total - prevEnd;
  if (tail > cylinder) {
    if (CVolume* g = AddGapVolume(prevEnd, tail)) out.push_back(g);
  }
  m_volumes.swap(out);
}

CVolume* CDisk::AddGapVolume(int64_t start, int64_t count) {
  CVolume* v = new (std::nothrow) CVolume(this);
  if (!v) return nullptr;
  PartitionInfo info;
  memset(&info, 0, sizeof info);
  info.StartSector = start;
  info.SectorCount = count;
  info.PartitionType = PT_UNALLOCATED;
  info.PartitionNumber = -1;
  info.DiskIndex = m_index;
  info.SectorSize = m_geometry.BytesPerSector;
  SetLabel(&info, "UnAllocated Partition");
  v->SetPartitionInfo(info);
  return v;
}

CVolume* CDisk::AddPartitionVolume(int64_t start, int64_t count, int type) {
  if (start < 0 || count <= 0 || !kbytes::RangeInside(uint64_t(start), uint64_t(count), uint64_t(TotalSectors())))
    return nullptr;
  CVolume* v = new (std::nothrow) CVolume(this);
  if (!v) return nullptr;
  PartitionInfo info;
  memset(&info, 0, sizeof info);
  info.StartSector = start;
  info.SectorCount = count;
  info.PartitionType = uint32_t(type) & 0xFF;
  info.DiskIndex = GetDiskIndex();
  info.SectorSize = m_geometry.BytesPerSector;
  ++m_partitionCounter;
  char label[32];
  snprintf(label, sizeof label, "Partition%d", m_partitionCounter);
  SetLabel(&info, label);
  v->SetPartitionInfo(info);
  return v;
}

int CDisk::CloneFrom(IDevice* source) {
  if (source == this) return 0;
  CDisk* src = dynamic_cast<CDisk*>(source);
  if (!src || !src->m_pDev) return -1;
  if (Channel().OpenLike(src->m_pDev, src->m_path) != 0) return -1;
  m_index = src->m_index;
  memcpy(m_path, src->m_path, sizeof m_path);
  m_geometry = src->m_geometry;
  m_physical = src->m_physical;
  return 0;
}

int CDisk::IsAppleDevice() {
  char model[6];
  size_t k = 0;
  for (size_t i = 0; i < 264 && m_physical.Model[i] && k < 5; ++i) model[k++] = char(m_physical.Model[i]);
  model[k] = 0;
  return strcmp(model, "Apple") == 0 ? 0 : -1;
}
