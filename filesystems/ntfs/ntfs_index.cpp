// Paths from parent references, folder entries from directory index buffers, attribute
// lists, and the record dump: the record reader's operations that look beyond a single record.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <unordered_set>
#include <vector>

#include "common/inc/bytes.h"
#include "common/inc/kestrum_types.h"
#include "common/layout/ntfs_file_name.h"
#include "common/layout/ntfs_index.h"
#include "filemanager/fileinfo.h"
#include "filesystems/ntfs/ntfs.h"
#include "graphfs/graphfs.h"

namespace {

const uint64_t kRootRecord = 5;
const uint64_t kRefMask = layout::kNtfsReferenceRecordMask;
// Deeper than any real tree (a path holds at most 32767 characters); a longer chain is a
// loop through records that were reused.
const int kMaxPathDepth = 1024;
const uint32_t kMinIndexBlock = 512;
const uint32_t kMaxIndexBlock = 65536;
// One device read while looking for index buffers, and all that one walk reads.
const uint64_t kIndexChunkBytes = 256 * 1024;
const uint64_t kMaxIndexBytes = uint64_t(256) << 20;
const size_t kMaxRunNodes = 1u << 20;
const uint8_t kNamespaceDos = 2;
const uint32_t kAttributeList = 0x20;
// An attribute list long enough for the most fragmented file we will follow.
const uint64_t kMaxAttributeList = 1024 * 1024;

void AppendPath(std::u16string* path, const std::u16string& part) {
  if (!path->empty() && path->back() != u'/') *path += u'/';
  *path += part;
}

// The index block size an INDX header of `avail` bytes declares through its update-sequence
// count.
uint32_t IndexBlockSize(const uint8_t* header, size_t avail) {
  uint16_t usaOffset = 0, usaCount = 0;
  if (!layout::ReadNtfsUpdateSequence(header, avail, &usaOffset, &usaCount) || usaCount < 2) return 0;
  uint64_t size = uint64_t(usaCount - 1) * layout::kNtfsFixupStride;
  if (size < kMinIndexBlock || size > kMaxIndexBlock || !kbytes::IsPowerOfTwo(size)) return 0;
  return uint32_t(size);
}

}  // namespace

int CNTFS::BuildFullPath(const MftRun* runs, uint64_t record, std::u16string* path) {
  if (!runs || !path) return RC_BAD_ARGUMENT;
  path->clear();
  std::vector<uint8_t> buf(m_recordBytes);
  std::vector<std::u16string> names;  // from the record upwards
  std::unordered_set<uint64_t> seen;
  uint64_t cur = record & kRefMask;
  bool rooted = false;
  for (int depth = 0; depth < kMaxPathDepth; ++depth) {
    if (cur == kRootRecord) {
      rooted = true;
      break;
    }
    if (!seen.insert(cur).second) break;
    uint64_t sector = RecordToSector(runs, cur);
    if (sector == NTFS_NO_SECTOR || ReadVolumeSectors(sector, SectorsPerRecord(), buf.data()) != RC_OK)
      break;
    if (ApplyFixup(buf.data()) != RC_OK) break;
    std::u16string name;
    uint64_t parent = 0;
    bool isDirectory = false;
    if (GetFileName(buf.data(), name, &parent, &isDirectory, nullptr) != RC_OK || name.empty()) break;
    // Only the record itself may be a file: a parent that is not a folder is another
    // record that took the number since.
    if (depth > 0 && !isDirectory) break;
    names.push_back(name);
    cur = parent;
  }
  if (!rooted && names.empty()) return 2;
  *path = m_rootName;
  if (!rooted) AppendPath(path, u"LostFile");
  for (auto it = names.rbegin(); it != names.rend(); ++it) AppendPath(path, *it);
  return RC_OK;
}

int CNTFS::ReadIndexAllocation(const uint8_t* record, GFS::CGraphFileSystem* graph) {
  if (!record || !graph) return RC_BAD_ARGUMENT;
  layout::NtfsFileRecordHeader h;
  if (ValidateRecord(record) != RC_OK || !ReadRecordHeader(record, &h)) return RC_CORRUPT_RECORD;
  if (!(h.flags & NTFS_RECORD_DIRECTORY)) return RC_CORRUPT_RECORD;
  uint32_t cursor = 0;
  NtfsAttr a;
  int rc, result = RC_MISSING;
  while ((rc = NextAttribute(record, &cursor, &a)) == 1) {
    if (a.type != NTFS_AT_INDEX_ALLOCATION || !a.nonResident) continue;
    RunList* runs = nullptr;
    if (DecodeRunList(record + a.pairsOffset, a.pairsLength, &runs) != RC_OK || !runs) continue;
    int walk = WalkIndexBuffers(runs, graph);
    runs->Release();
    if (result != RC_READ_FAILED) result = walk;
  }
  if (rc != 0) return RC_CORRUPT_RECORD;
  return result;
}

int CNTFS::WalkIndexBuffers(const RunList* runs, GFS::CGraphFileSystem* graph) {
  if (!runs || !graph || !m_bytesPerSector || !m_device) return RC_BAD_ARGUMENT;
  const uint32_t bps = m_bytesPerSector;
  const uint64_t chunkSectors = kIndexChunkBytes / bps ? kIndexChunkBytes / bps : 1;
  std::unique_ptr<uint8_t[]> chunk(new (std::nothrow) uint8_t[chunkSectors * bps]);
  std::unique_ptr<uint8_t[]> block(new (std::nothrow) uint8_t[kMaxIndexBlock]);
  if (!chunk || !block) return RC_NO_MEMORY;
  int result = RC_OK;
  uint64_t readBytes = 0;
  size_t nodes = 0;
  for (const RunList* r = runs; r && nodes < kMaxRunNodes; r = r->m_next, ++nodes) {
    if (r->m_start == RUN_HOLE) continue;  // a sparse stretch holds no buffers
    for (uint64_t done = 0; done < r->m_count;) {
      uint64_t n = std::min<uint64_t>(chunkSectors, r->m_count - done);
      if (readBytes > kMaxIndexBytes || n * bps > kMaxIndexBytes - readBytes) return result;
      readBytes += n * bps;
      uint64_t first = r->m_start + done;
      if (first < r->m_start || ReadVolumeSectors(first, uint32_t(n), chunk.get()) != RC_OK) {
        result = RC_READ_FAILED;
        done += n;
        continue;
      }
      uint64_t s = 0;
      while (s < n) {
        const uint8_t* p = chunk.get() + s * bps;
        uint32_t size = layout::IsNtfsIndexBufferSignature(p, size_t(n - s) * bps) ? IndexBlockSize(p, size_t(n - s) * bps) : 0;
        if (!size) {
          ++s;
          continue;
        }
        uint64_t blockSectors = (uint64_t(size) + bps - 1) / bps;
        uint32_t have = 0;
        if ((n - s) * bps >= size) {
          std::memcpy(block.get(), p, size);
          have = size;
        } else if (ReadVolumeSectors(first + s, uint32_t(blockSectors), block.get()) == RC_OK) {
          // The buffer runs past this read: it is read whole on its own.
          have = size;
        }
        if (have && ApplyBlockFixup(block.get(), size) == RC_OK) {
          AddIndexEntries(block.get(), size, graph);
          s += blockSectors;
        } else {
          ++s;
        }
      }
      done += n;
    }
  }
  return result;
}

size_t CNTFS::AddIndexEntries(const uint8_t* block, uint32_t size, GFS::CGraphFileSystem* graph) {
  if (!block || !graph || size < 64) return 0;
  // The node header follows the buffer header; its offsets count from there.
  const size_t node = layout::kNtfsIndexNodeHeaderOffset;
  layout::NtfsIndexNodeHeader h;
  if (!layout::DecodeNtfsIndexNodeHeader(block + node, size - node, &h)) return 0;
  const size_t end = node + h.indexLength;
  size_t pos = node + h.entriesOffset;
  size_t added = 0;
  // Each entry is at least 16 bytes and the walk only moves forward, so it ends by the
  // buffer's end at the latest.
  layout::NtfsIndexEntry e;
  while (pos < end && layout::DecodeNtfsIndexEntry(block + pos, end - pos, &e) && !e.isLast) {
    layout::NtfsFileName key;
    if (e.keyInside &&
        layout::DecodeNtfsFileName(block + pos + layout::kNtfsIndexEntryHeaderSize, e.keyLength, &key) &&
        !key.name.empty() && key.nameSpace != kNamespaceDos && key.name.find(u'.') == std::u16string::npos &&
        graph->AddNode(int64_t(e.record), int64_t(key.parentRecord), key.name.c_str(), nullptr, nullptr) >= 0)
      ++added;
    pos += e.length;
  }
  return added;
}

void CNTFS::DecodeAttributeList(const uint8_t* value, size_t size,
                                std::vector<layout::NtfsAttributeListEntry>* out) {
  if (!out) return;
  out->clear();
  if (!value) return;
  for (size_t off = 0; off < size;) {
    size_t step = layout::NtfsAttributeListEntryStep(value + off, size - off);
    if (!step) break;
    layout::NtfsAttributeListEntry e;
    if (layout::DecodeNtfsAttributeListEntry(value + off, size - off, &e)) out->push_back(e);
    off += step;
  }
}

int CNTFS::ReadAttributeList(const uint8_t* record, const RunReader& readRuns,
                             std::vector<layout::NtfsAttributeListEntry>* out) const {
  if (!record || !out) return RC_BAD_ARGUMENT;
  out->clear();
  NtfsAttr list;
  if (FindUnnamed(record, kAttributeList, &list) != RC_OK) return RC_MISSING;
  if (!list.nonResident) {
    DecodeAttributeList(record + list.valueOffset, list.valueLength, out);
    return RC_OK;
  }
  if (list.lowestVcn != 0 || list.dataSize > kMaxAttributeList || !readRuns) return RC_MISSING;
  RunList* runs = nullptr;
  if (DecodeRunList(record + list.pairsOffset, list.pairsLength, &runs) != RC_OK) return RC_MISSING;
  std::vector<uint8_t> bytes(size_t(list.dataSize));
  int rc = readRuns(runs, list.dataSize, bytes.data());
  runs->Release();
  if (rc != RC_OK) return RC_MISSING;
  DecodeAttributeList(bytes.data(), bytes.size(), out);
  return RC_OK;
}

int CNTFS::GetListedFileName(const uint8_t* record, uint64_t n, const RecordReader& readRecord,
                             const RunReader& readRuns, std::u16string& name, uint64_t* parent,
                             bool* isDirectory, uint64_t* dataSize, uint16_t* parentSequence) const {
  if (!readRecord) return RC_BAD_ARGUMENT;
  auto listed = [&](std::u16string& nm, uint64_t* p, uint16_t* seq, int* rank) {
    std::vector<layout::NtfsAttributeListEntry> entries;
    if (ReadAttributeList(record, readRuns, &entries) != RC_OK) return;
    std::unordered_set<uint64_t> seen;
    std::vector<uint8_t> ext(m_recordBytes);
    for (const layout::NtfsAttributeListEntry& e : entries) {
      if (e.type != NTFS_AT_FILE_NAME || e.record == n || seen.size() > NTFS_MAX_LISTED_RECORDS ||
          !seen.insert(e.record).second)
        continue;
      layout::NtfsFileRecordHeader h;
      if (readRecord(e.record, ext.data()) != RC_OK || !ReadRecordHeader(ext.data(), &h) || !h.isFile ||
          (h.baseRecord & kRefMask) != n)
        continue;  // reused by another file since
      PickFileName(ext.data(), nm, p, seq, rank);
    }
  };
  return FileNameOf(record, listed, name, parent, isDirectory, dataSize, parentSequence);
}

int CNTFS::DumpRecord(const uint8_t* record) const {
  if (!record) return RC_BAD_ARGUMENT;
  FILE* f = std::fopen("MFT.DAT", "a+b");
  if (!f) return RC_READ_FAILED;
  size_t wrote = std::fwrite(record, 1, m_recordBytes, f);
  int closed = std::fclose(f);
  return wrote == m_recordBytes && closed == 0 ? RC_OK : RC_READ_FAILED;
}
