#include "scanoperate/hfsp/hfspfscan.h"

#include <cstring>
#include <new>
#include <string>

#include "common/inc/bytes.h"
#include "common/inc/ifilemanager.h"
#include "common/inc/inotifysink.h"
#include "common/inc/istoragedevice.h"
#include "common/inc/seams.h"
#include "filemanager/fileinfo.h"
#include "filemanager/trashes.h"
#include "rawrecovery/devicebitmap.h"
#include "scanoperate/hfsp/hfspdebug.h"
#include "scanoperate/hfsp/journal.h"
#include "scanoperate/hfsp/trackedalloc.h"


namespace {

// Overflow records one fork may chain through: a fork of 2^32 blocks in single-block
// extents would need more, but no real volume comes near it and the cap ends loops.
const int kMaxOverflowRecords = 65536;
// The bitmap is read in pieces of at most this many bytes.
const uint32_t kBitmapChunk = 1u << 20;

bool ReadHeader(IStorageDevice* device, HfspVolume* volume) {
  uint8_t raw[512];
  if (hfsplus_read_device(device, kHFSPlusHeaderOffset, sizeof raw, raw) != int(sizeof raw)) return false;
  return hfsplus_parse_volume(raw, sizeof raw, volume);
}

// Drops whatever an earlier scan (or one that ended on a fault) left in the process-wide
// caches, so that no node of another volume answers a lookup of this one.
void EmptyCaches() {
  hfsplus_node_cache_free();
  freeRecordNodeList();
  freeRecordNodeMap();
  hfsplus_pool_free();
}

uint8_t ReverseBits(uint8_t b) {
  static const uint8_t kNibble[16] = {0, 8, 4, 12, 2, 10, 6, 14, 1, 9, 5, 13, 3, 11, 7, 15};
  return uint8_t(kNibble[b & 0xF] << 4 | kNibble[b >> 4]);
}

}  // namespace

std::vector<HfspRun> hfsplus_fork_runs(_hfsplus_tree* extents, const HfspVolume* volume,
                                       uint32_t fileID, const layout::HFSPlusForkData& fork,
                                       uint64_t* coveredBytes) {
  std::vector<HfspRun> runs;
  uint64_t blocks = 0;
  if (coveredBytes) *coveredBytes = 0;
  if (!volume || volume->blockSize == 0) return runs;
  uint32_t totalBlocks = fork.totalBlocks;
  layout::HFSPlusExtentDescriptor record[8];
  for (int i = 0; i < 8; ++i) record[i] = fork.extents[i];
  // Bounded: a chain of overflow records that never reaches the fork's end stops here.
  for (int round = 0; round <= kMaxOverflowRecords; ++round) {
    int used = 0;
    for (; used < 8; ++used) {
      uint32_t start = record[used].startBlock, count = record[used].blockCount;
      if (count == 0) break;
      // An extent outside the volume is not this file's data: what came before stands.
      if (!kbytes::RangeInside(start, count, volume->totalBlocks)) {
        used = -1;
        break;
      }
      runs.push_back({start, count});
      blocks += count;
    }
    if (used != 8 || blocks >= totalBlocks) break;
    // All eight slots are used and the fork holds more: the rest is in the overflow
    // tree, keyed by the file and the fork block at which each record starts.
    if (!hfsplus_overflow_record(extents, fileID, blocks, record)) break;
  }
  if (coveredBytes) *coveredBytes = blocks * volume->blockSize;
  return runs;
}

IFileInfo* hfsplus_make_file_info(_hfsplus_tree* extents, const HfspVolume* volume,
                                  const _RecordNode* rec, const char16_t* name, uint32_t sectorSize) {
  if (!volume || !rec || rec->recordType != kHfsPlusFileRecord || sectorSize == 0) return nullptr;
  // The kept body is the record after its type field: put the type back to decode it.
  uint8_t record[layout::kHFSPlusCatalogFileSize];
  static_assert(sizeof rec->body == sizeof record - 2, "a kept body is a file record less its type");
  kbytes::PutBe16(record, rec->recordType);
  memcpy(record + 2, rec->body, sizeof record - 2);
  layout::HFSPlusCatalogEntry entry;
  if (!layout::DecodeHFSPlusCatalogEntry(record, sizeof record, &entry)) return nullptr;
  uint64_t covered = 0;
  std::vector<HfspRun> runs = hfsplus_fork_runs(extents, volume, entry.id, entry.dataFork, &covered);
  uint64_t size = entry.dataFork.logicalSize;
  // A size the runs cannot hold would have the reader invent bytes: keep what is there.
  if (size > covered) size = covered;

  RunList* head = nullptr;
  uint64_t left = size;
  for (const HfspRun& r : runs) {
    if (left == 0) break;
    uint64_t startByte = r.startBlock * volume->blockSize;
    if (startByte % sectorSize) break;  // blocks smaller than the device's sectors
    uint64_t bytes = r.blockCount * volume->blockSize;
    if (bytes > left) bytes = left;
    left -= bytes;
    uint64_t start = startByte / sectorSize, count = (bytes + sectorSize - 1) / sectorSize;
    while (count) {
      uint32_t n = count > 0xFFFFFFFFull ? 0xFFFFFFFFu : uint32_t(count);
      if (!head) {
        head = new (std::nothrow) RunList(start, n);
        if (!head) return nullptr;
      } else if (!head->Append(start, n)) {
        head->Release();
        return nullptr;
      }
      start += n;
      count -= n;
    }
  }
  size -= left;  // runs cut short above cover only what they cover

  CFileInfo* info = new (std::nothrow) CFileInfo();
  if (!info) {
    if (head) head->Release();
    return nullptr;
  }
  uint32_t created = entry.createDate, changed = entry.attributeModDate;
  info->SetSize(int64_t(size));
  info->SetName(name);
  info->SetTimes(created >= kHfsEpochDelta ? created - kHfsEpochDelta : 0,
                 changed >= kHfsEpochDelta ? changed - kHfsEpochDelta : 0);
  if (head)
    info->SetRunList(head);
  else
    info->AddFlags(FF_NODATA);
  return info;
}

CHfspFScan::CHfspFScan(IStorageDevice* device) : m_sink(nullptr), m_device(device) {
  hfsplus_set_debug_flags(3);
}

CHfspFScan::~CHfspFScan() {}

int CHfspFScan::Scan(INotifySink* sink) {
  if (!sink) return RC_BAD_ARGUMENT;
  m_sink = sink;
  if (m_pFileManager) m_pFileManager->SetNotifySink(sink);
  int rc = ScanVolume();
  if (m_device) m_device->Close(1);
  return rc;
}

int CHfspFScan::ScanVolume() {
  if (!m_device) return RC_BAD_ARGUMENT;
  HfspVolume volume;
  if (!ReadHeader(m_device, &volume)) return RC_READ_FAILED;
  if (!hfsplus_check_volume_header(&volume)) return RC_WRONG_FS;

  EmptyCaches();
  _hfsplus_tree ext{}, cat{};
  cat.extentsTree = &ext;
  hfsplus_btree_open(&ext, m_device, &volume, kHfsExtentsFileID);
  hfsplus_btree_open(&cat, m_device, &volume, kHfsCatalogFileID);

  int clusterBytes = 0, sectorSize = 0;
  if (m_device->GetClusterInfo(&clusterBytes, &sectorSize) != 0 || sectorSize <= 0) sectorSize = 512;
  IFileManager* manager = m_pFileManager;
  int rc = 0;
  try {
    analyzeJournal(&cat, &volume, m_sink,
                   [&](const std::u16string& folder, const std::u16string& second, const std::u16string& name,
                       const _RecordNode* rec) {
                     if (!manager) return 0;
                     IFileInfo* info = hfsplus_make_file_info(&ext, &volume, rec, name.c_str(),
                                                              uint32_t(sectorSize));
                     if (!info) return 0;
                     // The file's folder had two kept copies: a copy of the file goes under
                     // the other path too.
                     if (!second.empty()) {
                       if (IFileInfo* clone = CloneFileInfo(info)) {
                         if (manager->AddFile(second.c_str(), clone) != 0) {
                           info->Release();
                           return 1;
                         }
                       }
                     }
                     return manager->AddFile(folder.c_str(), info);
                   });
    // The trash folder is listed once the journal is mined; its answer changes nothing.
    Trashes trash;
    std::vector<IFileInfo*> inTrash;
    trash.ScanTrash(m_device, &inTrash);
  } catch (...) {
    rc = RC_FAIL;  // out of memory in the map: the caches are still emptied below
  }
  EmptyCaches();
  reportLeaks();
  trackedFlushLog();
  return rc;
}

int CHfspFScan::ReadVolumeBitmap(uint8_t* buffer, uint32_t size, uint32_t* outLength) {
  if (!outLength) return RC_BAD_ARGUMENT;
  HfspVolume volume;
  if (!ReadHeader(m_device, &volume)) return RC_BAD_ARGUMENT;
  const HFSPlusForkData& alloc = volume.allocationFile;
  if (!buffer) {
    *outLength = uint32_t(alloc.logicalSize);
    return 0;
  }
  if (alloc.logicalSize < size) return RC_BAD_ARGUMENT;
  uint64_t bs = volume.blockSize;
  if (bs < 512 || !kbytes::IsPowerOfTwo(bs)) return RC_BAD_ARGUMENT;
  uint32_t done = 0;
  for (int i = 0; i < 8 && done < size && alloc.extents[i].blockCount; ++i) {
    const HFSPlusExtentDescriptor& e = alloc.extents[i];
    if (!kbytes::RangeInside(e.startBlock, e.blockCount, volume.totalBlocks)) return RC_BAD_ARGUMENT;
    uint64_t want = uint64_t(e.blockCount) * bs;
    if (want > size - done) want = size - done;
    uint64_t at = uint64_t(e.startBlock) * bs;
    while (want) {
      uint32_t n = want > kBitmapChunk ? kBitmapChunk : uint32_t(want);
      if (hfsplus_read_device(m_device, at, n, buffer + done) != int(n)) return RC_BAD_ARGUMENT;
      at += n;
      done += n;
      want -= n;
    }
  }
  *outLength = done;
  for (uint32_t i = 0; i < done; ++i) buffer[i] = ReverseBits(buffer[i]);
  return 0;
}

IDeviceBitmap* CHfspFScan::CreateDeviceBitmap() {
  DeviceBitmap* bitmap = new (std::nothrow) DeviceBitmap();
  if (!bitmap || !m_device) return bitmap;
  uint64_t volumeBytes = 0;
  m_device->GetSize(&volumeBytes);
  // One bit stands for one allocation block, so the bitmap's clusters are the volume's
  // blocks whatever cluster size the facade guessed.
  int clusterBytes = 0, sectorSize = 0;
  m_device->GetClusterInfo(&clusterBytes, &sectorSize);
  HfspVolume volume;
  if (ReadHeader(m_device, &volume) && hfsplus_check_volume_header(&volume))
    clusterBytes = int(volume.blockSize);
  if (clusterBytes <= 0 || volumeBytes > uint64_t(INT64_MAX) ||
      bitmap->Init(int64_t(volumeBytes), 0, clusterBytes) != 0)
    return bitmap;
  uint32_t bytes = 0;
  uint8_t* buffer = bitmap->GetBuffer(&bytes);
  uint32_t got = 0;
  if (buffer && bytes && ReadVolumeBitmap(buffer, bytes, &got) != 0) memset(buffer, 0, bytes);
  return bitmap;
}

IScanOperator* CreateHfspDelScanner(IStorageDevice* device) { return new (std::nothrow) CHfspFScan(device); }
