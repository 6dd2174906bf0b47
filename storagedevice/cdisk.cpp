#include "storagedevice/cdisk.h"

#include <algorithm>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <new>
#include <set>

#include "common/inc/bytes.h"
#include "common/inc/iarchive.h"
#include "common/textutil.h"
#include "deviceapi/windowsdeviceio.h"
#include "common/inc/inotifysink.h"
#include "storagedevice/checkdbr.h"
#include "storagedevice/cstoragedevice.h"
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

int OpenChannel(IDeviceIo* io, const char* path, bool* readOnly) {
  if (io->Open(path, KIO_RDWR, 0) == 0) {
    *readOnly = io->IsWriteProtected();
    return 0;
  }
  if (io->Open(path, KIO_RDONLY, 0) == 0) {
    *readOnly = true;
    return 0;
  }
  return -1;
}

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

bool CDisk::EnsureOpen() {
  if (!m_pDev) return false;
  if (!m_pDev->IsOpen() && Open() != 0) return false;
  return m_pDev->IsOpen();
}

int CDisk::Read(void* buf, uint32_t count) {
  if (!EnsureOpen() || count > uint32_t(INT32_MAX)) return -1;
  return m_pDev->Read(buf, int(count));
}

int CDisk::Write(const void* buf, uint32_t count) {
  if (!EnsureOpen() || count > uint32_t(INT32_MAX)) return -1;
  return m_pDev->Write(buf, int(count));
}

void CDisk::Release() { delete this; }

int64_t CDisk::Seek(int64_t offset, int origin) {
  if (!EnsureOpen()) return -1;
  return m_pDev->Seek(offset, origin);
}

int CDisk::ReadSectors(int64_t first, void* buf, uint32_t count) {
  if (!EnsureOpen()) return -1;
  return m_pDev->ReadSectors(first, buf, count, m_geometry.BytesPerSector);
}

int CDisk::WriteSectors(int64_t first, const void* buf, uint32_t count) {
  if (!EnsureOpen()) return -1;
  if (m_readOnly) return RC_READ_FAILED;
  return m_pDev->WriteSectors(first, buf, count, m_geometry.BytesPerSector);
}

int CDisk::Close() { return m_pDev ? m_pDev->Close() : 0; }

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

int CDisk::Open() {
  if (!m_pDev) return 0;
  bool ro = false;
  if (OpenChannel(m_pDev, m_path, &ro) != 0) return -1;
  m_readOnly = ro;
  return 0;
}

int CDisk::GetDiskIndex() { return m_index; }

namespace {

const uint32_t kSearchChunkBytes = 0x800000;
// Smaller hits are left out: 200 MiB on 512-byte sectors.
const int64_t kSearchMinSectors = 409600;
// A second hit of the same size this close to the last one is its backup boot sector.
const uint64_t kSearchRepeatWindow = 0x200000;
const int64_t kSearchJumpMinBytes = 0x96800000;
const int kSearchMaxFailedChunks = 100;

// Where a volume's backup boot sector lies: NTFS in the volume's last sector, FAT32 where
// its boot sector says (sector 6 unless it names another reserved sector), exFAT at the
// head of the backup boot region, sector 12. A sector that carries a
// boot sector's tag but is not confirmed where it lies is tried as such a backup: the
// checker is asked about the volume start the backup names, which confirms it by the
// volume's own structures. Starts already reported are not asked again, so an intact
// volume costs nothing more and is never reported a second time through its backup.
int CheckAsBackup(ICheckDBR* checker, IStorageDevice* facade, const uint8_t* sector, uint32_t ss,
                  uint64_t at, const std::set<uint64_t>& reported, uint64_t* start, int64_t* size,
                  int* quality) {
  if (sector[510] != 0x55 || sector[511] != 0xAA) return FS_NONE;
  int want = FS_NONE;
  uint64_t offset = 0;
  if (memcmp(sector + 3, "NTFS", 4) == 0) {
    want = FS_NTFS;
    offset = kbytes::Le64(sector + 40);
  } else if (memcmp(sector + 82, "FAT3", 4) == 0) {
    want = FS_FAT32;
    offset = kbytes::Le16(sector + 50);
    if (offset == 0 || offset >= kbytes::Le16(sector + 14)) offset = 6;
  } else if (memcmp(sector + 3, "EXFA", 4) == 0) {
    want = FS_EXFAT;
    offset = 12;
  } else {
    return FS_NONE;
  }
  if (offset == 0 || offset > at || reported.count(at - offset)) return FS_NONE;
  const uint64_t from = at - offset;
  int fs = checker->Check(facade, sector, int(ss), uint32_t(from), uint32_t(from >> 32), size, quality);
  if (fs != want) return FS_NONE;
  *start = from;
  return fs;
}

}  // namespace

int CDisk::SearchPartitions(int mode, INotifySink* sink) {
  if (!m_pDev) return RC_FAIL;
  if (!m_pDev->IsOpen() && Open() != 0) return RC_FAIL;
  if (!sink) return RC_MISSING;
  if (sink->Notify(NE_STARTED, 0, 0, nullptr) < 0) return RC_CANCELLED;
  if (sink->Notify(NE_STARTED, 0, 0, nullptr) < 0) return RC_CANCELLED;
  m_partitionCounter = 0;

  const uint32_t ss = m_geometry.BytesPerSector;
  if (ss < 512 || ss > kSearchChunkBytes || !kbytes::IsPowerOfTwo(ss)) {
    sink->Notify(NE_FINISHED, 0, 0, nullptr);
    return RC_FAIL;
  }
  const uint64_t perChunk = kSearchChunkBytes / ss;
  // The last, partial chunk is searched too: a volume (or the backup boot sector of one)
  // in the disk's final megabytes must not be missed.
  const uint64_t totalSectors = uint64_t(TotalSectors());
  const uint64_t chunkCount = (totalSectors + perChunk - 1) / perChunk;
  if (mode != 3 || m_geometry.DiskSize < kSearchJumpMinBytes) mode = 0;

  uint8_t* buffer = new (std::nothrow) uint8_t[kSearchChunkBytes];
  if (!buffer) {
    sink->Notify(NE_FINISHED, 0, 0, nullptr);
    return RC_FAIL;
  }
  CStorageDevice* facade = new (std::nothrow) CStorageDevice();
  ICheckDBR* checker = CreateCheckDBR();
  if (!facade || facade->Attach(this) != 0 || !checker) {
    if (checker) checker->Release();
    if (facade) facade->Release();
    delete[] buffer;
    sink->Notify(NE_FINISHED, 0, 0, nullptr);
    return RC_MISSING;
  }

  int result = RC_OK;
  uint64_t index = 0, jump = 0;
  bool kept = false;
  int64_t lastStart = 0, lastSize = 0;
  int failedInRow = 0;
  std::set<uint64_t> reported;  // volume starts of kept hits
  while (index < chunkCount) {
    if (jump) {
      // The body of a volume found with full confidence is not read: the search resumes at
      // the chunk holding its last sector or the one before.
      uint64_t chunks = jump / perChunk;
      jump = 0;
      if (chunks > 1) index += chunks - 1;
      if (index >= chunkCount) break;
    }
    if (sink->Notify(NE_PERCENT, int64_t(index * 100 / chunkCount), 0, nullptr) < 0) {
      result = RC_CANCELLED;
      break;
    }
    const uint64_t first = index * perChunk;
    const uint64_t want = std::min<uint64_t>(perChunk, totalSectors - first);
    int got = ReadSectors(int64_t(first), buffer, uint32_t(want));
    if (got <= 0) {
      // Unreadable stretches are passed over; a long run of them means the disk is gone.
      if (failedInRow > kSearchMaxFailedChunks) break;
      ++failedInRow;
      ++index;
      continue;
    }
    // A short read still delivered its first sectors: they are searched like any others.
    failedInRow = uint64_t(got) < want ? failedInRow + 1 : 0;
    for (uint64_t i = 0; i < uint64_t(got); ++i) {
      const uint64_t sector = first + i;
      int64_t size = 0;
      int quality = 0;
      const uint8_t* bytes = buffer + i * ss;
      int fs = checker->Check(facade, bytes, int(ss), uint32_t(sector), uint32_t(sector >> 32), &size, &quality);
      uint64_t backupStart = 0;
      bool fromBackup = false;
      if (fs == FS_NONE) {
        size = 0;
        quality = 0;
        fs = CheckAsBackup(checker, facade, bytes, ss, sector, reported, &backupStart, &size, &quality);
        fromBackup = fs != FS_NONE;
      }
      if (fs == FS_NONE || size < kSearchMinSectors) continue;
      // The NTFS total leaves out the backup boot sector that lies just past it: the
      // volume's partition held one sector more.
      if (fs == FS_NTFS && size < INT64_MAX) ++size;
      bool keep = !kept || quality != 0 || sector - uint64_t(lastStart) >= kSearchRepeatWindow || size != lastSize;
      if (!keep) continue;
      kept = true;
      lastStart = int64_t(sector);
      lastSize = size;
      int64_t start = int64_t(sector);
      if (fromBackup) {
        start = int64_t(backupStart);
      } else if (fs == FS_HFS || fs == FS_HFSP) {
        // The HFS+ header is volume byte 1024, whatever the sector size.
        uint32_t headerIndex = HfsHeaderSectorIndex(ss);
        if (sector < headerIndex) continue;
        start = int64_t(sector - headerIndex);
      }
      reported.insert(uint64_t(start));
      CVolume* volume = AddPartitionVolume(start, size, int(FsTypeToPartitionType(fs)));
      if (!volume) continue;
      PartitionInfo info;
      volume->GetPartitionInfo(&info);
      info.SectorSize = ss;
      info.SectorsPerCluster = uint32_t(checker->GetClusterSize()) / ss;
      volume->SetPartitionInfo(info);
      // From here the receiver owns the partition, whatever it answers: a sink that keeps
      // the object and then asks to stop must not find it freed under its hands.
      if (sink->Notify(NE_PARTITION_FOUND, 0, quality, volume) < 0) break;
      // A volume met through its backup lies partly or wholly behind: only what is left of
      // it ahead is skipped (nothing, for NTFS, whose backup is its last sector).
      uint64_t ahead = uint64_t(size) - 1;
      if (fromBackup) {
        const uint64_t last = uint64_t(start) + uint64_t(size) - 1;
        ahead = last > sector ? last - sector : 0;
      }
      if (mode == 3 && quality == 100 && uint64_t(size) > perChunk && (!fromBackup || ahead > perChunk)) {
        jump = ahead;
        break;
      }
    }
    ++index;
  }

  checker->Release();
  facade->Release();
  delete[] buffer;
  sink->Notify(NE_FINISHED, 0, 0, nullptr);
  return result;
}

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
  bool ro = false;
  if (OpenChannel(m_pDev, m_path, &ro) != 0) {
    m_pDev->Release();
    m_pDev = nullptr;
    return -1;
  }
  m_readOnly = ro;
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
  if (!EnsureOpen()) return -1;
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
    if (v->Refresh() != 0) {
      v->Release();
      continue;
    }
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
  return memcmp(buf.data(), "EFI PART", 8) == 0 ? 2 : 1;
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
  ZQ_ASSERT(!m_pDev);
  if (m_pDev) {
    m_pDev->Release();
    m_pDev = nullptr;
  }
  int flags = src->m_pDev->GetOpenFlags();
  if (flags < 0) flags = KIO_RDONLY;
  IDeviceIo* io = CreateDeviceIo();
  if (!io) return -1;
  if (io->Open(src->m_path, flags, 0) != 0) {
    io->Release();
    return -1;
  }
  m_pDev = io;
  m_readOnly = (flags & 3) == 0 || io->IsWriteProtected();
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

// ---------------------------------------------------------------------------------------
// MBR

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

// ---------------------------------------------------------------------------------------
// GPT

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
