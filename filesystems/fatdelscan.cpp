#include "filesystems/fatdelscan.h"

// The records and date conversions come from the results tree; until it is part of the
// build, the scanner makers keep their null defaults.
#if __has_include("common/timeconv.h")
#include <algorithm>
#include <cstring>
#include <new>

#include "common/inc/ifilemanager.h"
#include "common/inc/inotifysink.h"
#include "common/inc/seams.h"
#include "common/layout/fat_dirent.h"
#include "common/crashdump.h"
#include "rawrecovery/devicebitmap.h"
#include "filemanager/fileinfo.h"
#include "common/timeconv.h"
#include "filemanager/trashes.h"
#include "filesystems/fatio.h"

namespace {

uint64_t DateValue(uint16_t dosDate) {
  int t = DosDateToTime(dosDate, 0);
  return t < 0 ? 0 : uint64_t(t);
}

// Hands one found file to the results tree; its answer (non-zero: stop) is returned.
int Report(IFileManager* manager, const fat::FoundFile& f) {
  if (!manager || (f.runs.empty() && !f.noData)) return 0;
  RunList* head = nullptr;
  for (const auto& r : f.runs) {
    uint64_t start = r.first, left = r.second;
    while (left) {  // a node counts at most 2^32 - 1 sectors
      uint32_t n = uint32_t(std::min<uint64_t>(left, 0xFFFFFFFFu));
      if (!head) {
        head = new (std::nothrow) RunList(start, n);
        if (!head) return 0;
      } else if (!head->Append(start, n)) {
        head->Release();
        return 0;
      }
      if (start != RUN_HOLE) start += n;
      left -= n;
    }
  }
  CFileInfo* info = new (std::nothrow) CFileInfo();
  if (!info) {
    if (head) head->Release();
    return 0;
  }
  // Creation date first, last-write date second, as every other scanner reports them.
  info->SetTimes(DateValue(f.createDate), DateValue(f.modifyDate));
  info->SetName(f.name.c_str());
  info->SetSize(int64_t(f.size));
  if (head) {
    info->SetRunList(head);
  } else {
    info->AddFlags(FF_NODATA | FF_OVERWRITTEN);  // its clusters hold another file's bytes: nothing to read
  }
  return manager->AddFile(f.folder.c_str(), info);
}

// A live folder of the root begins with its own "." entry where the geometry puts it. A
// boot sector whose cluster size or data start was changed places the folders elsewhere:
// more of the first eight live folders without their "." there than with it refuse the
// geometry. A folder at cluster 2 lies at the data start whatever the cluster size, so it
// only counts against.
bool DotEntriesAgree(IStorageDevice* device, const fat::FatGeometry& g) {
  uint64_t at = g.kind == fat::kFat32 ? g.ClusterOffset(g.rootCluster) : g.rootDirOffset;
  uint64_t len = std::min<uint64_t>(g.kind == fat::kFat32 ? g.clusterBytes : g.rootDirBytes, 64u << 10);
  std::vector<uint8_t> root(size_t(len / fat::kEntrySize * fat::kEntrySize));
  if (root.empty() || fat::ReadAt(device, at, root.data(), uint32_t(root.size())) != int64_t(root.size())) return true;
  int agree = 0, failed = 0;
  for (size_t i = 0; i < root.size() && agree + failed < 8; i += fat::kEntrySize) {
    layout::FatDirEntry e;
    if (!layout::DecodeFatDirEntry(root.data() + i, root.size() - i, &e) || e.name[0] == 0x00) break;
    if (e.name[0] == fat::kDeletedMark || e.name[0] == '.' || e.attributes == fat::kAttrLongName ||
        (e.attributes & fat::kAttrVolume) || !(e.attributes & fat::kAttrDirectory))
      continue;
    const bool fat32 = g.kind == fat::kFat32;
    uint32_t c = e.FirstCluster(fat32);
    if (!g.IsDataCluster(c)) continue;
    uint8_t first[fat::kEntrySize];
    layout::FatDirEntry dot;
    if (fat::ReadAt(device, g.ClusterOffset(c), first, sizeof first) != int64_t(sizeof first) ||
        !layout::DecodeFatDirEntry(first, sizeof first, &dot))
      continue;
    bool ok = layout::FatDotName(dot.name) == 1 && (dot.attributes & fat::kAttrDirectory) &&
              dot.FirstCluster(fat32) == c;
    if (!ok) ++failed;
    else if (c != 2) ++agree;
  }
  return failed <= agree;
}

// The volume's trash folder is listed after the walk; what it answers changes nothing.
void ListTrash(IStorageDevice* device) {
  Trashes trash;
  std::vector<IFileInfo*> found;
  trash.ScanTrash(device, &found);
}

// The scan of either FAT scanner: boot step, root, directory queue, trash, event 3 and
// close.
int RunFatDelScan(FatDelState* state, fat::FatKind kind, IFileManager* manager, INotifySink* sink) {
  if (!sink) return RC_BAD_ARGUMENT;
  IStorageDevice* device = state->device;
  state->sink = sink;
  state->percent = 0;
  if (manager) manager->SetNotifySink(sink);
  fat::FatDelWalker walker(device, kind);
  int rc = walker.Open();
  // A boot sector that does not fit its volume would place every file wrongly.
  if (rc == fat::kBootDisagrees) return RC_WRONG_FS;
  if (rc) return rc;
  if (!DotEntriesAgree(device, walker.Geometry())) return RC_WRONG_FS;
  rc = walker.Walk([manager](const fat::FoundFile& f) { return Report(manager, f); },
                   [state](int p) {
                     if (p == fat::kPollOnly) return state->sink->Notify(NE_CANCEL_POLL, 0, 0, nullptr);
                     if (p > state->percent) state->percent = p;
                     return state->sink->Notify(NE_PERCENT, state->percent, 0, nullptr);
                   });
  if (rc) return RC_FAIL;
  ListTrash(device);
  sink->Notify(NE_FINISHED, 0, 0, nullptr);
  device->Close(1);
  // A device that vanished mid-walk is a failed scan, not a finished one.
  return walker.DeviceGone() ? RC_FAIL : 0;
}

// Bit c - 2 is cluster c: set when its FAT entry is not free. The bitmap is the caller's.
IDeviceBitmap* FatDeviceBitmap(IStorageDevice* device, fat::FatKind kind) {
  fat::FatDelWalker walker(device, kind);
  if (walker.Open() != 0) return nullptr;
  uint64_t size = 0;
  if (device->GetSize(&size) != 0 || size > uint64_t(INT64_MAX)) return nullptr;
  const fat::FatGeometry& g = walker.Geometry();
  DeviceBitmap* bm = new (std::nothrow) DeviceBitmap();
  if (!bm) return nullptr;
  if (bm->Init(int64_t(size), int64_t(g.dataOffset), int(g.clusterBytes)) != 0) {
    bm->Release();
    return nullptr;
  }
  uint32_t count = bm->GetClusterCount();
  for (uint32_t c = 2; c <= g.maxCluster && c - 2 < count; ++c) {
    uint32_t v = 0;
    // An unreadable FAT entry counts as in use: nothing may be carved from it. A FAT32
    // entry is read without its four reserved top bits, which a free cluster may keep.
    if (!walker.Table().Get(c, &v) || v != 0) bm->BitSet(int64_t(c - 2), true);
  }
  return bm;
}

int FatDataStartSector(IStorageDevice* device, fat::FatKind kind, uint64_t* out) {
  if (!out) return RC_BAD_ARGUMENT;
  fat::FatDelWalker walker(device, kind);
  int rc = walker.Open();
  if (rc) return rc;
  *out = walker.DataStartSector();
  return 0;
}

}  // namespace

cfat16del::cfat16del(IStorageDevice* device) : m_state{device} {}
cfat16del::~cfat16del() {}

int cfat16del::Scan(INotifySink* sink) { return RunFatDelScan(&m_state, fat::kFat16, m_pFileManager, sink); }

IDeviceBitmap* cfat16del::CreateDeviceBitmap() { return FatDeviceBitmap(m_state.device, fat::kFat16); }

int cfat16del::GetDataStartSector(uint64_t* out) {
  return FatDataStartSector(m_state.device, fat::kFat16, out);
}

cfat32del::cfat32del(IStorageDevice* device) : m_state{device} {
  m_pScanParam = new (std::nothrow) CFat32ScanParam();
}

cfat32del::~cfat32del() { delete static_cast<CFat32ScanParam*>(m_pScanParam); }

int cfat32del::Scan(INotifySink* sink) {
  // A scan that ended on a fault is reported to the crash report and answers -1, so the
  // caller never takes a cut-short scan for a finished one.
  return RunGuarded("cfat32del::Scan", RC_FAIL,
                    [&] { return RunFatDelScan(&m_state, fat::kFat32, m_pFileManager, sink); });
}

IDeviceBitmap* cfat32del::CreateDeviceBitmap() { return FatDeviceBitmap(m_state.device, fat::kFat32); }

int cfat32del::GetDataStartSector(uint64_t* out) {
  return FatDataStartSector(m_state.device, fat::kFat32, out);
}

CExfatDel::CExfatDel(IStorageDevice* device) : m_device(device) {}

int CExfatDel::Scan(INotifySink* sink) {
  if (!sink) return RC_BAD_ARGUMENT;
  m_percent = 0;
  // The boot's geometry is checked against the heap and the root before any file is
  // placed through it: one that does not fit is refused rather than walked.
  fat::ExfatDelWalker walker(m_device);
  int open = InitVolume(&walker);
  if (open == fat::kBootDisagrees) return RC_WRONG_FS;
  if (open != 0) {
    uint64_t size = 0;
    fat::ExfatVolume g;
    if (!m_device || m_device->GetSize(&size) != 0) return RC_MISSING;
    // A sound boot region over a root that is zeroed, overwritten or unreadable: the
    // volume is there but its folders cannot be followed; the format scan rebuilds them.
    if (fat::ReadExfatBootOverDamagedRoot(m_device, 0, size, &g) == 0) return RC_ROOT_DAMAGED;
    // A root without the allocation bitmap: the boot's root cluster is not the volume's.
    if (open == RC_WRONG_FS && fat::ReadCheckedExfatBoot(m_device, 0, size, &g) == fat::kBootDisagrees)
      return RC_WRONG_FS;
    return RC_MISSING;
  }
  {
    const fat::ExfatVolume& g = walker.Geometry();
    std::vector<uint8_t> root(g.clusterBytes);
    if (fat::ReadAt(m_device, g.ClusterOffset(g.rootCluster), root.data(), g.clusterBytes) == int64_t(g.clusterBytes) &&
        fat::CheckExfatRoot(g, root.data(), root.size()) != 0)
      return RC_WRONG_FS;
  }
  if (m_pFileManager) m_pFileManager->SetNotifySink(sink);
  IFileManager* manager = m_pFileManager;
  int rc = walker.Walk([manager](const fat::FoundFile& f) { return Report(manager, f); },
                       [this, sink](int percent) {
                         if (percent > m_percent) m_percent = percent;
                         return sink->Notify(NE_PERCENT, m_percent, 0, nullptr);
                       });
  ListTrash(m_device);
  sink->Notify(NE_FINISHED, 0, 0, nullptr);
  m_device->Close(1);
  // As on FAT: a device that vanished mid-walk is a failed scan, not a finished one.
  return walker.DeviceGone() ? RC_FAIL : rc;
}

int CExfatDel::InitVolume(fat::ExfatDelWalker* walker) { return walker->Open(); }

int CExfatDel::ReadVolumeBitmap(uint8_t* buffer, uint32_t length, uint32_t* needed) {
  if (!needed) return RC_BAD_ARGUMENT;
  fat::ExfatDelWalker walker(m_device);
  int rc = InitVolume(&walker);
  if (rc) return rc;
  const std::vector<uint8_t>& src = walker.Bitmap();
  if (!buffer || length == 0) {
    *needed = uint32_t(std::min<size_t>(src.size(), UINT32_MAX));
    return 0;
  }
  // Clusters the volume's bitmap does not cover stay as the caller had them.
  size_t n = std::min<size_t>(length, src.size());
  if (n) std::memcpy(buffer, src.data(), n);
  return 0;
}

// The volume's own allocation bitmap, the caller's. Its cluster size is the boot sector's,
// in which the bitmap counts: the facade's figure comes from the partition record, which
// need not know it.
IDeviceBitmap* CExfatDel::CreateDeviceBitmap() {
  fat::ExfatDelWalker walker(m_device);
  if (InitVolume(&walker) != 0) return nullptr;
  uint64_t size = 0;
  if (m_device->GetSize(&size) != 0 || size > uint64_t(INT64_MAX)) return nullptr;
  const fat::ExfatVolume& g = walker.Geometry();
  DeviceBitmap* bm = new (std::nothrow) DeviceBitmap();
  if (!bm) return nullptr;
  if (bm->Init(int64_t(size), int64_t(g.heapOffset), int(g.clusterBytes)) != 0) {
    bm->Release();
    return nullptr;
  }
  uint32_t bytes = 0, needed = 0;
  uint8_t* dst = bm->GetBuffer(&bytes);
  // Both count bit 0 as cluster 2.
  ReadVolumeBitmap(dst, bytes, &needed);
  return bm;
}

int CExfatDel::GetDataStartSector(uint64_t* out) {
  if (!out) return RC_BAD_ARGUMENT;
  fat::ExfatDelWalker walker(m_device);
  int rc = InitVolume(&walker);
  if (rc) return rc;
  *out = walker.DataStartSector();
  return 0;
}

IScanOperator* CreateFat16DelScanner(IStorageDevice* device) { return new (std::nothrow) cfat16del(device); }
IScanOperator* CreateFat32DelScanner(IStorageDevice* device) { return new (std::nothrow) cfat32del(device); }
IScanOperator* CreateExfatDelScanner(IStorageDevice* device) { return new (std::nothrow) CExfatDel(device); }

#endif
