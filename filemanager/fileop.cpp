#include "filemanager/fileop.h"

#include "filemanager/efsexport.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "common/crashdump.h"
#include "common/inc/idevicebitmap.h"
#include "common/inc/inotifysink.h"
#include "common/inc/istoragedevice.h"
#include "filemanager/fileinfo.h"
#include "filemanager/formerplace.h"
#include "filemanager/lznt1.h"
#include "filemanager/wtext.h"
#include "platform/fileplace.h"
#include "platform/platform.h"

namespace {

const uint32_t kWipeBytes = 0x800000;
const int kUnitClusters = 16;

// The storage's size in sectors, 0 when unknown.
uint64_t DeviceSectors(IStorageDevice* dev, int sectorSize) {
  uint64_t bytes = 0;
  if (!dev || sectorSize <= 0 || dev->GetSize(&bytes) != 0) return 0;
  return bytes / uint64_t(sectorSize);
}

// Whether the sparse stretches of a compressed file's runs all end on a boundary of units of
// unitSectors. NTFS keeps the hole of a packed unit to the unit's end and leaves a sparse unit
// wholly sparse, so with the file's true units every hole ends on a boundary; one that ends
// inside a unit says the units are taken too large (a cluster size that is not the volume's).
bool HolesEndOnUnitBoundaries(const RunList* runs, uint64_t unitSectors) {
  uint64_t at = 0;
  bool inHole = false;
  for (const RunList* r = runs; r; r = r->m_next) {
    if (r->m_count == 0) continue;
    const bool hole = r->m_start == RUN_HOLE;
    if (inHole && !hole && at % unitSectors != 0) return false;
    inHole = hole;
    at += r->m_count;
  }
  return !inHole || at % unitSectors == 0;
}

}  // namespace

// ---------------------------------------------------------------- CNormalFileOP

CNormalFileOP::CNormalFileOP()
    : m_file(nullptr), m_device(nullptr), m_bitmap(nullptr), m_sectorSize(0), m_wipeSkipped(0) {}

int CNormalFileOP::Write(const void*, uint32_t, uint64_t, uint32_t*) { return -1; }

int CNormalFileOP::SetStorageDevice(IStorageDevice* device) {
  m_device = device;
  m_sectorSize = 0;
  if (!device) return -1;
  return device->GetClusterInfo(nullptr, &m_sectorSize);
}

IStorageDevice* CNormalFileOP::GetStorageDevice() { return m_device; }
void CNormalFileOP::SetFile(IFileInfo* file) { m_file = file; }
IFileInfo* CNormalFileOP::GetFile() { return m_file; }
int CNormalFileOP::ExportEncrypted(const char16_t*) { return 0; }

int CNormalFileOP::FetchSectorSize() {
  int ss = 0;
  if (!m_device || m_device->GetClusterInfo(nullptr, &ss) != 0 || ss <= 0) return -1;
  m_sectorSize = ss;
  return 0;
}

RunList* CNormalFileOP::DataRuns(IFileInfo* file) {
  return file ? dynamic_cast<RunList*>(file->GetRunList()) : nullptr;
}

int CNormalFileOP::ReadRuns(RunList* runs, uint64_t size, uint8_t* buf, uint32_t len,
                            uint64_t offset, uint32_t* bytesRead) {
  *bytesRead = 0;
  if (offset >= size) return 0;
  uint64_t want = std::min<uint64_t>(len, size - offset);
  if (FetchSectorSize() != 0) return -1;
  const uint64_t ss = uint64_t(m_sectorSize);
  uint64_t runStartByte = 0;  // file offset of the current run
  RunList* r = runs;
  for (; r; r = r->m_next) {
    uint64_t bytes = uint64_t(r->m_count) * ss;
    if (offset - runStartByte < bytes) break;
    runStartByte += bytes;
  }
  // Bytes of the file that no run holds were not found: a failed read, not an end.
  if (!r) return RC_READ_FAILED;
  while (want > 0 && r) {
    uint64_t runBytes = uint64_t(r->m_count) * ss;
    uint64_t inRun = offset - runStartByte;
    uint32_t piece = uint32_t(std::min<uint64_t>(want, runBytes - inRun));
    if (piece > 0) {
      if (r->m_start == RUN_HOLE) {
        std::memset(buf, 0, piece);
      } else {
        if (r->m_start > uint64_t(INT64_MAX) / ss || inRun > uint64_t(INT64_MAX) - r->m_start * ss)
          return RC_READ_FAILED;
        int64_t pos = int64_t(r->m_start * ss + inRun);
        if (m_device->CloneSeek(pos, 0) < 0) return RC_READ_FAILED;
        int got = m_device->CloneRead(buf, piece);
        if (got < 0) return RC_READ_FAILED;
        if (uint32_t(got) < piece) {
          // A short read ends the request with the bytes that did arrive.
          *bytesRead += uint32_t(got);
          return 0;
        }
      }
      *bytesRead += piece;
      buf += piece;
      offset += piece;
      want -= piece;
    }
    runStartByte += runBytes;
    r = r->m_next;
  }
  return want > 0 ? RC_READ_FAILED : 0;
}

int CNormalFileOP::Read(void* buf, uint32_t len, uint64_t offset, uint32_t* bytesRead) {
  if (!m_file || !m_device || !buf || int32_t(len) < 0 || int64_t(offset) < 0 || !bytesRead)
    return -1;
  *bytesRead = 0;
  RunList* runs = DataRuns(m_file);
  uint64_t size = m_file->GetSize();
  if (offset >= size) return 0;
  if (!runs) return -1;  // no runs to walk: out of runs before the offset
  return RunGuarded("file read", RC_READ_FAILED, [&] {
    return ReadRuns(runs, size, static_cast<uint8_t*>(buf), len, offset, bytesRead);
  });
}

bool CNormalFileOP::ExistsAtFormerPlace(IFileInfo* file) {
  if (!file || !m_device || !m_device->GetDevice()) return false;
  if (m_device->GetDevice()->GetType() == DT_FIXED_DISK) return false;
  char16_t path[MAX_PATH_ZQ];
  uint32_t len = MAX_PATH_ZQ;
  if (file->GetFullPath(path, &len) != 0) return false;
  return FormerPlaceExists(m_device->GetDevice(), path);
}

int CNormalFileOP::CountValidity(RunList* runs, bool roundUp, uint32_t* percent, bool* any) {
  *any = false;
  int clusterSize = m_bitmap ? m_bitmap->GetClusterSize() : 0;
  if (FetchSectorSize() != 0 || clusterSize <= 0 || clusterSize < m_sectorSize) return -1;
  int64_t spc = clusterSize / m_sectorSize;
  int64_t firstSector = m_bitmap->GetFirstClusterOffset() / m_sectorSize;
  // A saved run list may be hostile (a million runs of 2^32 sectors): no real file holds
  // more clusters than its volume or than its size needs, so the count stops there.
  uint64_t limit = m_bitmap->GetClusterCount();
  uint64_t size = m_file ? m_file->GetSize() : 0;
  if (size > 0) limit = std::min<uint64_t>(limit, (size - 1) / uint64_t(clusterSize) + 1);
  uint64_t n = 0, used = 0;
  for (RunList* r = runs; r && n < limit; r = r->m_next) {
    if (r->m_start == RUN_HOLE || r->m_count == 0 || r->m_start > uint64_t(INT64_MAX)) continue;
    int64_t first = (int64_t(r->m_start) - firstSector) / spc;
    int64_t clusters = roundUp ? (int64_t(r->m_count) + spc - 1) / spc : int64_t(r->m_count) / spc;
    clusters = int64_t(std::min<uint64_t>(uint64_t(clusters), limit - n));
    for (int64_t c = 0; c < clusters; ++c)
      if (m_bitmap->BitGet(first + c)) ++used;
    n += uint64_t(clusters);
  }
  if (n == 0) {
    *percent = 100;
    return 0;
  }
  *any = true;
  *percent = uint32_t((n - used) * 100 / n);
  return 0;
}

int CNormalFileOP::GetValidity(uint32_t* percent) {
  if (!percent) return 100;
  if (ExistsAtFormerPlace(m_file)) {
    *percent = 100;
    return 0;
  }
  // A results tree without a bitmap (cluster size 0) has nothing to count against.
  if (!m_bitmap || m_bitmap->GetClusterSize() <= 0) return 100;
  RunList* runs = DataRuns(m_file);
  bool any;
  if (CountValidity(runs, true, percent, &any) != 0) return 100;
  return 0;
}

int CNormalFileOP::MapOffset(uint64_t byteOffset, uint64_t* sector) {
  if (!sector || FetchSectorSize() != 0) return -1;
  RunList* runs = DataRuns(m_file);
  if (!runs) return -1;
  uint64_t n = (byteOffset + uint64_t(m_sectorSize) - 1) / uint64_t(m_sectorSize);
  for (RunList* r = runs; r; r = r->m_next) {
    if (n <= r->m_count) {
      if (r->m_start == RUN_HOLE) return RC_MISSING;  // a hole has no sector on the device
      *sector = r->m_start + n;
      return 0;
    }
    n -= r->m_count;
  }
  return RC_BAD_ARGUMENT;
}

int CNormalFileOP::WipeRuns(RunList** lists, int nLists, INotifySink* sink) {
  m_wipeSkipped = 0;
  const uint64_t ss = uint64_t(m_sectorSize);
  const uint64_t devSectors = DeviceSectors(m_device, m_sectorSize);
  uint32_t chunkSectors = uint32_t(kWipeBytes / ss);
  if (chunkSectors == 0) return RC_MISSING;
  std::unique_ptr<uint8_t[]> zeros(new (std::nothrow) uint8_t[size_t(chunkSectors) * ss]());
  if (!zeros) return RC_MISSING;

  int clusterSize = m_bitmap ? m_bitmap->GetClusterSize() : 0;
  int64_t spc = clusterSize >= m_sectorSize && clusterSize > 0 ? clusterSize / m_sectorSize : 0;
  int64_t firstSector = m_bitmap ? m_bitmap->GetFirstClusterOffset() / m_sectorSize : 0;

  // Every run bounded to the device, holes left out.
  struct Span {
    uint64_t start, count;
  };
  std::vector<Span> spans;
  uint64_t total = 0;
  for (int i = 0; i < nLists; ++i) {
    for (RunList* r = lists[i]; r; r = r->m_next) {
      if (r->m_start == RUN_HOLE || r->m_count == 0 || r->m_start >= devSectors) continue;
      uint64_t count = std::min<uint64_t>(r->m_count, devSectors - r->m_start);
      spans.push_back({r->m_start, count});
      total += count;
    }
  }
  if (total == 0) return 0;
  uint64_t written = 0;
  for (const Span& s : spans) {
    uint64_t lba = s.start, end = s.start + s.count;
    while (lba < end) {
      uint64_t pieceEnd = std::min<uint64_t>(end, lba + chunkSectors);
      if (spc > 0) {
        // A cluster that the volume uses again belongs to another file now: leave it.
        int64_t c = (int64_t(lba) - firstSector) / spc;
        if (int64_t(lba) >= firstSector && m_bitmap->BitGet(c)) {
          uint64_t next = uint64_t(firstSector + (c + 1) * spc);
          pieceEnd = std::min<uint64_t>(end, next);
          ++m_wipeSkipped;
          written += pieceEnd - lba;
          lba = pieceEnd;
          continue;
        }
        // Stop the piece at the first in-use cluster after it.
        if (int64_t(lba) >= firstSector) {
          for (int64_t k = c + 1;; ++k) {
            uint64_t cs = uint64_t(firstSector + k * spc);
            if (cs >= pieceEnd) break;
            if (m_bitmap->BitGet(k)) {
              pieceEnd = cs;
              break;
            }
          }
        }
      }
      uint32_t count = uint32_t(pieceEnd - lba);
      if (m_device->CloneWriteSectors(int64_t(lba), zeros.get(), count) != int(count))
        return RC_READ_FAILED;
      written += count;
      lba = pieceEnd;
      if (sink && sink->Notify(NE_PERCENT, int64_t(written * 100 / total), 0, nullptr) != 0)
        return RC_READ_FAILED;
    }
  }
  // The written blocks reach the disk before the erase reports it done. The flush goes to
  // the block device or image file that the writes went to, never to the engine's name.
  plat::HostDevice host;
  if (DevicePathOf(m_device->GetDevice(), &host) && plat::PathExists(host.path) && !plat::SyncDevice(host))
    return RC_READ_FAILED;
  return 0;
}

static int WipePreconditions(IStorageDevice* device, int mode) {
  if (!device) return -1;
  if (device->IsReadOnly()) return RC_READ_FAILED;
  if (mode != 1) return RC_MISSING;
  // Raw writes under a mounted Linux file system would corrupt it.
  plat::HostDevice host;
  if (DevicePathOf(device->GetDevice(), &host) && plat::IsMountedOrHasMountedPartition(host))
    return RC_WRITE_PROTECTED;
  return 0;
}

// Moves the still-present file out of the way under "1.1" in its folder and deletes it.
static void RemoveFromFormerPlace(IStorageDevice* device, IFileInfo* file) {
  char16_t path[MAX_PATH_ZQ];
  uint32_t len = MAX_PATH_ZQ;
  if (!file || file->GetFullPath(path, &len) != 0) return;
  std::string at;
  if (!FormerPlaceExists(device->GetDevice(), path, &at)) return;
  size_t slash = at.rfind('/');
  std::string temp = at.substr(0, slash + 1) + "1.1";
  if (plat::RenameNoReplace(at, temp)) plat::RemoveFile(temp);
  else plat::RemoveFile(at);
}

int CNormalFileOP::Wipe(IFileInfo* file, int mode, INotifySink* sink) {
  int rc = WipePreconditions(m_device, mode);
  if (rc != 0) return rc;
  IFileInfo* target = file ? file : m_file;
  RunList* runs = DataRuns(target);
  if (FetchSectorSize() != 0 || !runs) return RC_MISSING;
  RemoveFromFormerPlace(m_device, m_file);
  return WipeRuns(&runs, 1, sink);
}

// ---------------------------------------------------------------- CCompressedFileOP

CCompressedFileOP::CCompressedFileOP() : m_clusterSectors(0), m_unitSectorSize(0) {}

int CCompressedFileOP::ReadUnit(RunList* runs, uint64_t unit, uint8_t* out, uint8_t* work, uint32_t unitBytes,
                                bool unitsFit) {
  const uint64_t ss = uint64_t(m_unitSectorSize);
  const uint64_t unitSectors = uint64_t(m_clusterSectors) * kUnitClusters;
  const uint64_t uStart = unit * unitSectors, uEnd = uStart + unitSectors;
  // Every run inside the unit decides its class: all hole, all data, or a mix (compressed).
  // Only a hole makes a unit compressed: a last unit cut short by the end of the runs,
  // with no hole in it, holds its data stored.
  struct Piece {
    uint64_t lba, count;
  };
  std::vector<Piece> data;
  uint64_t dataSectors = 0, holeSectors = 0, vcn = 0;
  bool hole = false, covered = false;
  for (RunList* r = runs; r && vcn < uEnd; r = r->m_next) {
    uint64_t rs = vcn, re = vcn + r->m_count;
    vcn = re;
    if (re <= uStart || r->m_count == 0) continue;
    covered = true;
    uint64_t a = std::max(rs, uStart), b = std::min(re, uEnd);
    if (r->m_start == RUN_HOLE) {
      hole = true;
      holeSectors += b - a;
      continue;
    }
    data.push_back({r->m_start + (a - rs), b - a});
    dataSectors += b - a;
  }
  // A unit that no run reaches has no data anywhere: the run list was cut short (a damaged
  // or incomplete record). Only a unit the runs hold as sparse is truly zeros.
  if (!covered) return RC_MISSING;
  // Units of the wrong size: one stored whole or wholly sparse is the same bytes in any
  // units, but where data and holes meet, the decoder would be handed other clusters than
  // one packed unit's and give wrong bytes.
  if (!unitsFit && hole && holeSectors < unitSectors) return RC_READ_FAILED;
  if (dataSectors == 0) {
    std::memset(out, 0, unitBytes);
    return 0;
  }
  uint8_t* dst = (dataSectors >= unitSectors || !hole) ? out : work;
  std::memset(dst, 0, unitBytes);
  uint64_t filled = 0;
  for (const Piece& p : data) {
    if (p.lba > uint64_t(INT64_MAX) / ss) return RC_READ_FAILED;
    uint32_t bytes = uint32_t(p.count * ss);
    if (m_device->CloneSeek(int64_t(p.lba * ss), 0) != int64_t(p.lba * ss)) return RC_READ_FAILED;
    // A short read left the rest of the unit unread: its zero fill is no data of the file,
    // and a packed unit cut short would decode to wrong bytes.
    int got = m_device->CloneRead(dst + filled, bytes);
    if (got <= 0 || uint32_t(got) < bytes) return RC_READ_FAILED;
    filled += uint32_t(got);
  }
  if (dst == out) return 0;
  int64_t n = Lznt1Decompress(work, size_t(filled), out, unitBytes);
  if (n < 0) return RC_READ_FAILED;
  if (uint64_t(n) < unitBytes) std::memset(out + n, 0, unitBytes - size_t(n));
  return 0;
}

int CCompressedFileOP::Read(void* buf, uint32_t len, uint64_t offset, uint32_t* bytesRead) {
  if (!m_file || !m_device || !buf || int32_t(len) < 0 || int64_t(offset) < 0 || !bytesRead)
    return -1;
  *bytesRead = 0;
  if (!(m_file->GetFlags() & FF_COMPRESSED)) return RC_MISSING;
  RunList* runs = DataRuns(m_file);
  if (!runs) return RC_MISSING;
  {
    // Asked each time: the reader is shared and may have been moved to another volume,
    // whose clusters decide the size of a compression unit.
    int cluster = 0, ss = 0;
    if (m_device->GetClusterInfo(&cluster, &ss) != 0 || cluster <= 0 || ss <= 0 || cluster % ss)
      return RC_MISSING;
    m_clusterSectors = cluster / ss;
    m_unitSectorSize = ss;
  }
  uint64_t size = m_file->GetSize();
  if (offset >= size) return RC_MISSING;
  uint64_t want = std::min<uint64_t>(len, size - offset);
  uint64_t unitBytes64 = uint64_t(m_unitSectorSize) * uint64_t(m_clusterSectors) * kUnitClusters;
  if (unitBytes64 > (64u << 20)) return RC_MISSING;
  uint32_t unitBytes = uint32_t(unitBytes64);
  std::unique_ptr<uint8_t[]> unitBuf(new (std::nothrow) uint8_t[unitBytes]);
  std::unique_ptr<uint8_t[]> work(new (std::nothrow) uint8_t[unitBytes]);
  if (!unitBuf || !work) return RC_NO_MEMORY;
  uint8_t* dst = static_cast<uint8_t*>(buf);
  return RunGuarded("compressed file read", RC_READ_FAILED, [&] {
    const bool unitsFit = HolesEndOnUnitBoundaries(runs, uint64_t(m_clusterSectors) * kUnitClusters);
    uint64_t done = 0;
    while (done < want) {
      uint64_t pos = offset + done;
      uint64_t unit = pos / unitBytes;
      uint32_t in = uint32_t(pos % unitBytes);
      // A unit that cannot be had fails the read; none of its bytes are handed out.
      if (ReadUnit(runs, unit, unitBuf.get(), work.get(), unitBytes, unitsFit) != 0) {
        *bytesRead = uint32_t(done);
        return int(RC_READ_FAILED);
      }
      uint32_t piece = uint32_t(std::min<uint64_t>(want - done, unitBytes - in));
      std::memcpy(dst + done, unitBuf.get() + in, piece);
      done += piece;
    }
    *bytesRead = uint32_t(done);
    return 0;
  });
}

// ---------------------------------------------------------------- CEncFileOP

static StreamDesc* DataStream(IFileInfo* file) {
  auto* e = file ? dynamic_cast<CEncRunList*>(file->GetRunList()) : nullptr;
  return e ? e->m_second : nullptr;
}

int CEncFileOP::ExportEncrypted(const char16_t* target) {
  IFileInfo* file = GetFile();
  IRunList* runs = file ? file->GetRunList() : nullptr;
  if (!runs || !(file->GetFlags() & FF_ENCRYPTED)) return RC_FAIL;
  return NtfsEncryptedFile::Export(static_cast<CEncRunList*>(runs), target);
}

RunList* CEncFileOP::DataRuns(IFileInfo* file) {
  StreamDesc* d = DataStream(file);
  return d ? dynamic_cast<RunList*>(d->runs) : nullptr;
}

int CEncFileOP::Read(void* buf, uint32_t len, uint64_t offset, uint32_t* bytesRead) {
  if (!m_file || !m_device || !buf || int32_t(len) < 0 || int64_t(offset) < 0 || !bytesRead)
    return -1;
  *bytesRead = 0;
  StreamDesc* d = DataStream(m_file);
  if (!d) return RC_MISSING;
  RunList* runs = dynamic_cast<RunList*>(d->runs);
  if (!runs) return 0;  // a resident $DATA stream: nothing to read from the device
  uint64_t size = m_file->GetSize();
  return RunGuarded("encrypted file read", RC_READ_FAILED, [&] {
    return ReadRuns(runs, size, static_cast<uint8_t*>(buf), len, offset, bytesRead);
  });
}

int CEncFileOP::GetValidity(uint32_t* percent) {
  if (!percent || !m_bitmap || m_bitmap->GetClusterSize() <= 0) return 100;
  StreamDesc* d = DataStream(m_file);
  if (!d) {
    *percent = 0;
    return 100;
  }
  bool any;
  if (CountValidity(dynamic_cast<RunList*>(d->runs), false, percent, &any) != 0) return 100;
  return any ? 0 : 100;
}

int CEncFileOP::MapOffset(uint64_t byteOffset, uint64_t* sector) {
  if (!DataStream(m_file)) return -1;
  return CNormalFileOP::MapOffset(byteOffset, sector);
}

int CEncFileOP::Wipe(IFileInfo* file, int mode, INotifySink* sink) {
  int rc = WipePreconditions(m_device, mode);
  if (rc != 0) return rc;
  IFileInfo* target = file ? file : m_file;
  auto* e = target ? dynamic_cast<CEncRunList*>(target->GetRunList()) : nullptr;
  if (FetchSectorSize() != 0 || !e) return RC_MISSING;
  // Both streams hold the file's secrets: the EFS key metadata and the encrypted data.
  // Resident streams live inside the MFT record and have no clusters of their own.
  RunList* lists[2];
  int n = 0;
  for (StreamDesc* d : {e->m_first, e->m_second})
    if (d && d->runs)
      if (auto* r = dynamic_cast<RunList*>(d->runs)) lists[n++] = r;
  RemoveFromFormerPlace(m_device, m_file);
  return WipeRuns(lists, n, sink);
}

// ---------------------------------------------------------------- CPermanentFileOP

int CPermanentFileOP::Read(void* buf, uint32_t len, uint64_t offset, uint32_t* bytesRead) {
  if (!m_file || !buf || !bytesRead) return -1;
  *bytesRead = 0;
  auto* p = dynamic_cast<CPermanentRunList*>(m_file->GetRunList());
  const uint8_t* data = nullptr;
  if (!(m_file->GetFlags() & FF_RESIDENT) || !p || p->GetData(&data) != 0 || !data) return RC_MISSING;
  uint32_t n = 0;
  if (offset < p->GetLength()) n = uint32_t(std::min<uint64_t>(len, p->GetLength() - offset));
  if (n) std::memcpy(buf, data + offset, n);
  *bytesRead = n;
  return 0;
}

int CPermanentFileOP::Write(const void*, uint32_t, uint64_t, uint32_t*) { return RC_NOT_SUPPORTED; }
int CPermanentFileOP::Wipe(IFileInfo*, int, INotifySink*) { return RC_NOT_SUPPORTED; }
int CPermanentFileOP::GetValidity(uint32_t* percent) {
  if (!percent) return 100;
  *percent = 100;
  return 0;
}
