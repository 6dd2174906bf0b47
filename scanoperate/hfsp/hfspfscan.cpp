#include "scanoperate/hfsp/hfspfscan.h"

#include <algorithm>
#include <cstddef>
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
#include "scanoperate/hfsp/hfspformat.h"
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

// Bytes of the catalog file read at once when its leaves are searched for, and what is
// read past them so that a node starting near the end of a piece is whole.
const uint32_t kLeafPiece = 1u << 20;
const uint32_t kLargestNode = 32768;

// Reads length bytes of the fork laid out in runs (volume blocks of blockSize, starting at
// the fork bytes in starts) from fork byte `at`; an unreadable sector reads as zeros, and
// bytes past the runs are zeros too.
void ReadForkBytes(IStorageDevice* device, const std::vector<HfspRun>& runs,
                   const std::vector<uint64_t>& starts, uint64_t blockSize, uint64_t at, uint32_t length,
                   uint8_t* out) {
  memset(out, 0, length);
  const uint64_t end = at + length;
  // From the last run that starts at or before `at`: a catalog may have half a million.
  size_t i = size_t(std::upper_bound(starts.begin(), starts.end(), at) - starts.begin());
  for (i = i ? i - 1 : 0; i < runs.size() && starts[i] < end; ++i) {
    const HfspRun& r = runs[i];
    const uint64_t runStart = starts[i], runBytes = r.blockCount * blockSize;
    if (at < runStart + runBytes && end > runStart) {
      uint64_t from = std::max(at, runStart), to = std::min(end, runStart + runBytes);
      uint64_t volume = r.startBlock * blockSize + (from - runStart);
      uint8_t* dst = out + (from - at);
      uint32_t n = uint32_t(to - from);
      if (hfsplus_read_device(device, volume, n, dst) != int(n)) {
        // Sector by sector, so that one bad sector costs only itself.
        for (uint32_t done = 0; done < n; done += 512) {
          uint32_t piece = std::min<uint32_t>(512, n - done);
          if (hfsplus_read_device(device, volume + done, piece, dst + done) != int(piece))
            memset(dst + done, 0, piece);
        }
      }
    }
  }
}

// The catalog's leaves found by their own shape among the blocks of its fork, for a catalog
// whose header node cannot be read. The nodes of a tree lie at multiples of its node size,
// so each 512-byte boundary of the fork is tried.
void ReadCatalogLeaves(IStorageDevice* device, const HfspVolume& volume, _hfsplus_tree* extents,
                       HfsCatalogLeaves* out) {
  layout::HFSPlusForkData fork;
  fork.logicalSize = volume.catalogFile.logicalSize;
  fork.totalBlocks = volume.catalogFile.totalBlocks;
  for (int i = 0; i < 8; ++i)
    fork.extents[i] = {volume.catalogFile.extents[i].startBlock, volume.catalogFile.extents[i].blockCount};
  uint64_t forkBytes = 0;
  std::vector<HfspRun> runs = hfsplus_fork_runs(extents, &volume, kHfsCatalogFileID, fork, &forkBytes);
  // Overflow records may repeat the volume's blocks over and over: no catalog is larger than
  // its volume.
  forkBytes = std::min<uint64_t>(forkBytes, uint64_t(volume.totalBlocks) * volume.blockSize);
  std::vector<uint64_t> starts;
  uint64_t runStart = 0;
  for (const HfspRun& r : runs) {
    starts.push_back(runStart);
    runStart += r.blockCount * volume.blockSize;
  }
  std::vector<uint8_t> buf(kLeafPiece + kLargestNode);
  auto take = [&](uint32_t parentID, const std::u16string& name, uint16_t type, const uint8_t* data,
                  size_t bytes) {
    if (type == kHfsPlusFileRecord) {
      out->files.insert({parentID, name});
    } else if (type == kHfsPlusFolderRecord) {
      uint32_t cnid = 0;
      if (kbytes::ReadBe32(data, bytes, offsetof(layout::raw::HFSPlusCatalogFolder, folderID), &cnid))
        out->folders.emplace(cnid, std::make_pair(parentID, name));
    }
    return true;
  };
  for (uint64_t at = 0; at < forkBytes; at += kLeafPiece) {
    uint64_t want = std::min<uint64_t>(buf.size(), forkBytes - at);
    ReadForkBytes(device, runs, starts, volume.blockSize, at, uint32_t(want), buf.data());
    uint64_t inPiece = std::min<uint64_t>(kLeafPiece, want);
    for (uint64_t off = 0; off < inPiece; off += 512) {
      int n = CHfspFormat::CatalogLeafRecords(buf.data() + off, uint32_t((want - off) / 512), take);
      // The rest of a node found is not tried again (a node past the piece's end is).
      if (n > 0) off += uint64_t(n - 1) * 512;
    }
  }
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
  // The size is what the record says, up to what its blocks hold. Where runs are missing
  // (an overflow record that cannot be read or found, an extent outside the volume) the
  // file keeps that size and its read fails past the runs that are known, rather than
  // hand out a correct beginning as the whole file.
  uint64_t size = std::min<uint64_t>(entry.dataFork.logicalSize,
                                     uint64_t(entry.dataFork.totalBlocks) * volume->blockSize);

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
  // A file none of whose extents can be placed has no data to hand out at all.
  if (!head) size = 0;

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
  // A catalog whose header node cannot be read cannot be searched; its leaves still say
  // which files live, so that none of them is reported as deleted.
  HfsCatalogLeaves leaves;
  if (hfsplus_btree_open(&cat, m_device, &volume, kHfsCatalogFileID) != 1) {
    try {
      ReadCatalogLeaves(m_device, volume, &ext, &leaves);
    } catch (const std::bad_alloc&) {
      leaves = HfsCatalogLeaves();
    }
    cat.leaves = &leaves;
  }

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
