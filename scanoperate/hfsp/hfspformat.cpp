#include "scanoperate/hfsp/hfspformat.h"

#include <algorithm>
#include <functional>
#include <cstring>
#include <new>
#include <set>
#include <string>
#include <utility>

#include "common/crashdump.h"
#include "common/inc/bytes.h"
#include "common/inc/ifilemanager.h"
#include "common/inc/inotifysink.h"
#include "common/inc/seams.h"
#include "filemanager/fileinfo.h"
#include "graphfs/graphfs.h"
#include "common/layout/hfsplus_journal.h"
#include "rawrecovery/headprobe.h"
#include "scanoperate/hfsp/journal.h"

namespace {

using layout::BTRecordOffset;

const uint32_t kWindowBytes = 0x800000;
// Files leave the graph after every 200 leaf nodes. The results tree's answers do not end
// the scan; a stop by the sink does, with -1, and what was found is still handed out.
const GFS::FeedRules kFeedRules = {200 - 1, GFS::kAnswerIgnored, true, RC_FAIL};
const uint32_t kHfsRootFolder = 2;
const uint32_t kHfsRootParent = 1;
const uint16_t kMaxRecords = 0x4000;
const uint16_t kFirstRecordOffset = uint16_t(layout::kBTNodeDescriptorSize);

// The record-offset table of a node of `bytes` bytes with numRecords records: numRecords + 1
// offsets (the last is the free space), starting at 14, never decreasing, all before the
// table. The first record always starts right behind the descriptor, so its entry is taken
// as 14 whatever it holds: damage there costs nothing. Another entry pointing outside the
// record area is damage to that one record: it is kept as 0 and its record skipped, as long
// as the damage is rare (one entry in eight, or a single one); the free-space entry must be
// sound. False when the table cannot be that.
bool ReadOffsets(const uint8_t* node, size_t bytes, uint16_t numRecords, std::vector<uint16_t>* out) {
  size_t tableBytes = (size_t(numRecords) + 1) * 2;
  if (numRecords == 0 || tableBytes + kFirstRecordOffset > bytes) return false;
  size_t table = bytes - tableBytes;
  out->assign(size_t(numRecords) + 1, 0);
  uint16_t last = 0;
  size_t damaged = 0;
  for (size_t i = 0; i <= numRecords; ++i) {
    uint16_t off = 0;
    if (!BTRecordOffset(node, bytes, i, &off)) return false;
    if (i == 0) off = kFirstRecordOffset;
    if (off < kFirstRecordOffset || off > table) {
      if (i == numRecords) return false;
      ++damaged;
      continue;
    }
    if (off < last) return false;
    (*out)[i] = last = off;
  }
  return damaged <= 1 || damaged * 8 <= numRecords;
}

// Record i of a table from ReadOffsets: its start, and its length up to the next sound
// entry. False for a record whose own entry is damaged.
bool RecordSpan(const std::vector<uint16_t>& off, size_t i, size_t* start, size_t* len) {
  if (i + 1 >= off.size() || off[i] == 0) return false;
  size_t j = i + 1;
  while (j + 1 < off.size() && off[j] == 0) ++j;
  *start = off[i];
  *len = size_t(off[j]) - off[i];
  return true;
}

// An index or leaf node of `sectors` sectors starts at p: its descriptor and the offset of
// its first record at its end.
bool LooksLikeNodeStart(const uint8_t* p, uint32_t sectors) {
  size_t bytes = size_t(sectors) * 512;
  BTNodeDescriptor d;
  uint16_t first = 0;
  if (!layout::DecodeBTNodeDescriptor(p, bytes, &d) || !BTRecordOffset(p, bytes, 0, &first)) return false;
  bool shape = (d.kind == kBTLeafNode || d.kind == kBTIndexNode) &&
               layout::BTNodeKindSound(d.kind, d.height, layout::kBTMaxDepth);
  return shape && d.reserved == 0 && d.numRecords != 0 && d.numRecords <= kMaxRecords &&
         first == kFirstRecordOffset;
}

// The first record of a catalog leaf of `bytes` bytes, read at 14, is as long as the gap
// to the table's second entry (the free-space entry of a one-record node).
bool FirstRecordEndsAtSecondEntry(const uint8_t* node, size_t bytes, uint16_t numRecords) {
  size_t tableBytes = (size_t(numRecords) + 1) * 2;
  uint16_t second = 0;
  if (tableBytes + kFirstRecordOffset > bytes || !BTRecordOffset(node, bytes, 1, &second)) return false;
  if (second <= kFirstRecordOffset || second > bytes - tableBytes) return false;
  size_t room = bytes - tableBytes - kFirstRecordOffset;
  return layout::HFSPlusCatalogRecordLength(node + kFirstRecordOffset, room) ==
         size_t(second - kFirstRecordOffset);
}

// An extent record laid out as a sound one is: the used extents first, each with a start,
// and every slot after them zero. *used counts them and *blocks sums their blocks.
bool PackedExtents(const HFSPlusExtentDescriptor e[8], int* used, uint64_t* blocks) {
  int n = 0;
  uint64_t sum = 0;
  for (int i = 0; i < 8; ++i) {
    if (e[i].blockCount == 0) {
      if (e[i].startBlock != 0) return false;
      continue;
    }
    if (n != i || e[i].startBlock == 0) return false;
    ++n;
    sum += e[i].blockCount;
  }
  *used = n;
  *blocks = sum;
  return true;
}

}  // namespace

bool hfsplus_check_header_rec(const BTHeaderRec* r, int fixedKeys) {
  if (!r || !layout::BTHeaderRecSound(*r)) return false;
  // A stale header is taken only for a tree with records to give: an empty one (depth 0)
  // would end the search for an older tree that still has them.
  if (r->treeDepth == 0 || r->btreeType != 0) return false;
  if (r->firstLeafNode >= r->totalNodes || r->lastLeafNode >= r->totalNodes) return false;
  if (fixedKeys && (r->attributes & kBTVariableIndexKeysMask)) return false;
  return true;
}

bool hfsplus_check_header_node_offsets(const uint8_t* node, uint16_t nodeSize) {
  if (!node || nodeSize < 512) return false;
  // The header record (106 bytes), the user data record (128) and the map record (the rest).
  const uint16_t want[4] = {kFirstRecordOffset, 120, 248, uint16_t(nodeSize - 8)};
  for (size_t i = 0; i < 4; ++i) {
    uint16_t off = 0;
    if (!BTRecordOffset(node, nodeSize, i, &off) || off != want[i]) return false;
  }
  return true;
}

uint16_t hfsplus_catalog_record_bounds(const uint8_t* data, size_t bytes) {
  return layout::HFSPlusCatalogRecordType(data, bytes);
}

bool hfsplus_fork_block_sum(const HFSPlusForkData* f) {
  int used = 0;
  uint64_t sum = 0;
  return f && PackedExtents(f->extents, &used, &sum) && sum <= f->totalBlocks;
}

uint16_t hfsplus_guess_block_sectors(uint32_t totalBlocks, uint64_t logicalSize) {
  if (totalBlocks <= 1 || logicalSize <= 512) return 0;
  for (uint16_t d = 1; d <= 64; d *= 2)
    if (uint64_t(totalBlocks) * d * 512 >= logicalSize) return d;
  return 0;
}

CHfspFormat::CHfspFormat(IStorageDevice* device)
    : m_device(device),
      m_sink(nullptr),
      m_parent(nullptr),
      m_devSector(512),
      m_baseByte(0),
      m_volumeBytes(0),
      m_winByte(0),
      m_winBytes(0),
      m_unreadable(0),
      m_feeder(kFeedRules),
      m_progressBase(0) {}

CHfspFormat::~CHfspFormat() {}

int CHfspFormat::GetScanParam(IScanParam** out) {
  if (out) *out = nullptr;
  return 1;  // no parameters: the volume itself says what it is
}

void CHfspFormat::Release() { delete this; }

int CHfspFormat::Scan(INotifySink* sink) {
  m_winBytes = 0;
  m_winByte = 0;
  if (!sink) return RC_BAD_ARGUMENT;
  if (!m_device) return RC_MISSING;
  m_sink = sink;
  if (m_pFileManager) m_pFileManager->SetNotifySink(sink);
  try {
    if (m_window.size() != kWindowBytes) m_window.resize(kWindowBytes);
    m_node.resize(size_t(kProbeSectors) * 512);
  } catch (const std::bad_alloc&) {
    return RC_MISSING;
  }
  int rc = RunGuarded("CHfspFormat::Scan", RC_FAIL, [&] { return ScanVolume(); });
  m_device->Close(1);
  return rc;
}

int CHfspFormat::Progress(int percent) {
  if (!m_sink) return 0;
  int p = m_progressBase + percent * (100 - m_progressBase) / 100;
  return m_sink->Notify(NE_PERCENT, p, 0, nullptr);
}

bool CHfspFormat::LoadWindow(uint64_t byte) {
  uint64_t devByte = m_baseByte + byte;
  uint64_t devFirst = devByte / m_devSector;
  uint64_t devEnd = (m_baseByte + m_volumeBytes) / m_devSector;
  if (devFirst >= devEnd) return false;
  uint64_t cap = kWindowBytes / m_devSector;
  uint32_t count = uint32_t(std::min<uint64_t>(cap, devEnd - devFirst));
  int got = m_device->ReadSectors(int64_t(devFirst), m_window.data(), count);
  if (got < 0 || uint32_t(got) < count) {
    // One bad sector must not cost the 8 MiB around it: read the rest sector by sector
    // and leave the unreadable ones zero, where no node can be seen.
    uint32_t done = got > 0 ? uint32_t(got) : 0;
    for (uint32_t i = done; i < count; ++i) {
      uint8_t* at = m_window.data() + size_t(i) * m_devSector;
      if (m_device->ReadSectors(int64_t(devFirst + i), at, 1) != 1) {
        std::memset(at, 0, m_devSector);
        ++m_unreadable;
      }
    }
  }
  m_winByte = devFirst * m_devSector - m_baseByte;
  m_winBytes = std::min<uint64_t>(uint64_t(count) * m_devSector, m_volumeBytes - m_winByte);
  return true;
}

const uint8_t* CHfspFormat::View(uint64_t first, uint32_t want, uint32_t* sectors) {
  if (sectors) *sectors = 0;
  if (first > (UINT64_MAX >> 9)) return nullptr;
  uint64_t byte = first * 512;
  if (byte >= m_volumeBytes || want == 0) return nullptr;
  uint64_t need = std::min<uint64_t>(uint64_t(want) * 512, m_volumeBytes - byte);
  bool inside = m_winBytes && byte >= m_winByte && byte - m_winByte <= m_winBytes &&
                m_winBytes - (byte - m_winByte) >= need;
  if (!inside) {
    if (!LoadWindow(byte)) return nullptr;
    if (byte < m_winByte || byte - m_winByte >= m_winBytes) return nullptr;
  }
  uint64_t have = (m_winBytes - (byte - m_winByte)) / 512;
  if (have == 0) return nullptr;
  if (sectors) *sectors = uint32_t(std::min<uint64_t>(have, want));
  return m_window.data() + (byte - m_winByte);
}

int CHfspFormat::ReadSectors(uint64_t first, uint32_t count, uint8_t* buf) {
  if (!buf || count == 0 || uint64_t(count) * 512 > kWindowBytes / 2) return -1;
  uint32_t got = 0;
  const uint8_t* p = View(first, count, &got);
  if (!p) return -1;
  std::memcpy(buf, p, size_t(got) * 512);
  return int(got);
}

int CHfspFormat::ReadAt(uint64_t byte, uint32_t length, uint8_t* buf) {
  if (!buf || length == 0 || length > kWindowBytes / 2 || byte > UINT64_MAX - length) return -1;
  uint32_t done = 0;
  while (done < length) {
    uint64_t at = byte + done;
    uint32_t skip = uint32_t(at % 512);
    uint32_t want = uint32_t((uint64_t(skip) + (length - done) + 511) / 512);
    uint32_t got = 0;
    const uint8_t* p = View(at / 512, want, &got);
    if (!p || got == 0) break;
    uint32_t n = std::min<uint32_t>(got * 512 - skip, length - done);
    std::memcpy(buf + done, p + skip, n);
    done += n;
  }
  return done ? int(done) : -1;
}

int CHfspFormat::LeafNodeSectors(const uint8_t* buf, uint32_t sectors,
                                 const std::function<bool(uint32_t, uint16_t)>& accept) {
  // The descriptor is tested where it lies, before anything is copied or parsed.
  BTNodeDescriptor d;
  if (!buf || sectors == 0 || !layout::DecodeBTNodeDescriptor(buf, size_t(sectors) * 512, &d)) return 0;
  if (d.kind != kBTLeafNode || d.height != 1 || d.reserved != 0) return 0;
  uint16_t numRecords = d.numRecords;
  if (numRecords == 0 || numRecords > kMaxRecords) return 0;
  // The node's size is the one whose table ends in the first record's offset, 14. Only when
  // no size has it is that entry taken for damaged: then the size is the one at which the
  // first record, read at 14, ends exactly where the table's second entry says, which a
  // table that is not there would hardly do.
  for (int pass = 0; pass < 2; ++pass) {
    for (uint32_t n = 1; n <= kProbeSectors && n <= sectors; n *= 2) {
      size_t bytes = size_t(n) * 512;
      uint16_t first = 0;
      if (!BTRecordOffset(buf, bytes, 0, &first)) continue;
      if ((size_t(numRecords) + 1) * 2 + kFirstRecordOffset > bytes) continue;
      if (pass == 0 && first != kFirstRecordOffset) continue;
      if (pass == 1 && (first == kFirstRecordOffset || !FirstRecordEndsAtSecondEntry(buf, bytes, numRecords)))
        continue;
      // When a damaged node's own table is gone, the table at the end of the node after it
      // also ends in 14: a node found at the half of a larger size means the size is wrong.
      if (n > 1 && LooksLikeNodeStart(buf + bytes / 2, n / 2)) break;
      if (accept(n, numRecords)) return int(n);
    }
  }
  return 0;
}

int CHfspFormat::CatalogLeafSectors(const uint8_t* buf, uint32_t sectors) {
  return LeafNodeSectors(buf, sectors, [buf](uint32_t n, uint16_t numRecords) {
    return ForEachCatalogRecord(buf, size_t(n) * 512, numRecords, nullptr) > 0;
  });
}

int CHfspFormat::CatalogLeafRecords(const uint8_t* buf, uint32_t sectors, const CatalogRecordFn& fn) {
  uint16_t numRecords = 0;
  int n = LeafNodeSectors(buf, sectors, [&](uint32_t size, uint16_t records) {
    numRecords = records;
    return ForEachCatalogRecord(buf, size_t(size) * 512, records, nullptr) > 0;
  });
  // Records go to fn only for the size that was taken.
  if (n && fn) ForEachCatalogRecord(buf, size_t(n) * 512, numRecords, fn);
  return n;
}

int CHfspFormat::ProbeLeafNode(const uint8_t* buf, uint32_t sectors, GFS::CGraphFileSystem* graph,
                               HfsBlockVote* vote) {
  if (m_node.size() < size_t(kProbeSectors) * 512) return 0;
  return LeafNodeSectors(buf, sectors, [&](uint32_t n, uint16_t numRecords) {
    // Only a node that passed the in-place tests is copied: the graph may move the window.
    std::memcpy(m_node.data(), buf, size_t(n) * 512);
    return ParseCatalogLeaf(m_node.data(), n, numRecords, graph, vote) == 0;
  });
}

int CHfspFormat::ForEachCatalogRecord(const uint8_t* node, size_t bytes, uint16_t numRecords,
                                      const CatalogRecordFn& fn) {
  std::vector<uint16_t> off;
  if (!node || !ReadOffsets(node, bytes, numRecords, &off)) return -1;
  int taken = 0;
  std::u16string name;
  for (size_t i = 0; i < numRecords; ++i) {
    size_t start = 0, len = 0;
    if (!RecordSpan(off, i, &start, &len)) continue;
    const uint8_t* rec = node + start;
    layout::HFSPlusCatalogKey key;
    if (!layout::DecodeHFSPlusCatalogKey(rec, len, &key)) continue;
    uint16_t keyLength = key.keyLength;
    if (!layout::HFSPlusCatalogKeySound(key) || size_t(keyLength) + 2 > len) continue;
    uint16_t units = key.nameLength;
    uint32_t parentID = key.parentID;
    const uint8_t* data = rec + 2 + keyLength;
    size_t dataBytes = len - 2 - keyLength;
    uint16_t type = hfsplus_catalog_record_bounds(data, dataBytes);
    if (!type) continue;
    ++taken;
    if (!fn) continue;
    name.clear();
    for (uint16_t k = 0; k < units; ++k) {
      uint16_t unit = 0;
      if (!layout::HFSPlusNameUnit(rec, len, layout::kHFSPlusCatalogKeyNameOffset, k, &unit)) break;
      char16_t c = char16_t(unit);
      if (c == 0) break;
      name += c == u'/' ? u':' : c;  // a slash in an HFS+ name is a colon to POSIX
    }
    if (!fn(parentID, name, type, data, dataBytes)) return -2;
  }
  return taken;
}

int CHfspFormat::ParseCatalogLeaf(const uint8_t* node, uint32_t nodeSectors, uint16_t numRecords,
                                  GFS::CGraphFileSystem* graph, HfsBlockVote* vote) {
  if (!node || !graph || nodeSectors == 0 || nodeSectors > kProbeSectors) return -1;
  auto add = [&](uint32_t parentID, const std::u16string& name, uint16_t type, const uint8_t* data,
                 size_t dataBytes) {
    layout::HFSPlusCatalogEntry e;
    if (!layout::DecodeHFSPlusCatalogEntry(data, dataBytes, &e)) return true;  // threads
    if (type == kHfsPlusFolderRecord) {
      graph->AddNode(int64_t(e.id), int64_t(parentID), name.empty() ? nullptr : name.c_str(), nullptr,
                     MergeKeepFirst);
      return true;
    }
    if (type != kHfsPlusFileRecord || name.empty()) return true;
    HfsGraphFilePayload p;
    p.fileID = e.id;
    p.createDate = e.createDate;
    p.contentModDate = e.contentModDate;
    p.attributeModDate = e.attributeModDate;
    p.accessDate = e.accessDate;
    p.backupDate = e.backupDate;
    hfsplus_fork_from_layout(e.dataFork, &p.dataFork);
    const HFSPlusForkData& f = p.dataFork;
    if (!hfsplus_fork_block_sum(&f)) return true;
    if (f.logicalSize == 0 || f.logicalSize > m_volumeBytes) return true;
    if (p.fileID <= kLastReservedCnid) return true;
    if (f.extents[0].startBlock == 0 || f.extents[0].blockCount == 0) return true;
    if (vote) {
      uint16_t d = hfsplus_guess_block_sectors(f.totalBlocks, f.logicalSize);
      if (d) ++(*vote)[d];
    }
    HfsGraphFilePayload* payload = new (std::nothrow) HfsGraphFilePayload(p);
    if (!payload) return false;
    if (graph->AddNamedNode(int64_t(p.fileID), int64_t(parentID), name.c_str(), payload, MergeKeepLarger) < 0)
      delete payload;
    return true;
  };
  int taken = ForEachCatalogRecord(node, size_t(nodeSectors) * 512, numRecords, add);
  return taken > 0 ? 0 : -1;
}

int CHfspFormat::AddOverflowExtent(const HFSPlusExtentKey& key, const HFSPlusExtentDescriptor ext[8],
                                   HfsOverflowMap* mForkData) {
  if (!mForkData || !ext) return -1;
  try {
    ArgAddHFSPlusExtents rec;
    rec.key = key;
    std::memcpy(rec.extents, ext, sizeof rec.extents);
    uint32_t fileID = key.fileID, startBlock = key.startBlock;  // the key is packed
    (*mForkData)[fileID].emplace(startBlock, rec);  // the first copy found stays
  } catch (const std::bad_alloc&) {
    return -1;
  }
  return 0;
}

int CHfspFormat::ParseExtentsLeaf(uint64_t first, uint32_t k, int height, const BTHeaderRec& rec,
                                  HfsOverflowMap* mForkData, ExtentsWalk* walk) {
  uint32_t nodeSectors = rec.nodeSize / 512;
  std::vector<uint8_t>& node = walk->node;
  std::vector<uint16_t>& off = walk->off;
  // A node that cannot be read or is not a node of this tree is passed over.
  if (ReadSectors(first + uint64_t(k) * nodeSectors, nodeSectors, node.data()) != int(nodeSectors)) return 0;
  const uint8_t* d = node.data();
  BTNodeDescriptor desc;
  if (!layout::DecodeBTNodeDescriptor(d, node.size(), &desc)) return 0;
  uint16_t numRecords = desc.numRecords;
  if (desc.height != height || desc.reserved != 0 || numRecords > kMaxRecords) return 0;
  if (!ReadOffsets(d, rec.nodeSize, numRecords, &off)) return 0;
  // Index heights go up to the tree's depth, which the header check caps.
  bool shaped = layout::BTNodeKindSound(desc.kind, desc.height, rec.treeDepth);
  bool leaf = shaped && desc.kind == kBTLeafNode;
  bool index = shaped && desc.kind == kBTIndexNode;
  if (leaf && (desc.fLink >= rec.totalNodes || desc.bLink >= rec.totalNodes)) return 0;
  if (!leaf && !index) return 0;
  for (size_t i = 0; i < numRecords; ++i) {
    size_t start = 0, len = 0;
    if (!RecordSpan(off, i, &start, &len)) continue;
    const uint8_t* r = d + start;
    layout::HFSPlusExtentKey key;
    if (!layout::DecodeHFSPlusExtentKey(r, len, &key) || key.keyLength != layout::kHFSPlusExtentKeyLength ||
        key.pad != 0)
      continue;
    if (index) {
      uint32_t child = 0;
      if (!kbytes::ReadBe32(r, len, layout::kHFSPlusExtentKeySize, &child)) continue;
      if (child < rec.totalNodes && !walk->visited.count(child)) walk->todo.emplace_back(child, height - 1);
      continue;
    }
    layout::HFSPlusExtentDescriptor record[8];
    if (!layout::DecodeHFSPlusExtentRecord(r + layout::kHFSPlusExtentKeySize, len - layout::kHFSPlusExtentKeySize,
                                           record))
      continue;
    HFSPlusExtentKey hostKey{key.keyLength, key.forkType, 0, key.fileID, key.startBlock};
    HFSPlusExtentDescriptor ext[8];
    for (int e = 0; e < 8; ++e) ext[e] = {record[e].startBlock, record[e].blockCount};
    int used = 0;
    uint64_t blocks = 0;
    // One record that is not an extent record means this is no extents tree.
    if (!PackedExtents(ext, &used, &blocks) || used == 0) return -1;
    // Resource-fork extents would splice foreign bytes into the data fork.
    if (hostKey.forkType != 0) continue;
    if (AddOverflowExtent(hostKey, ext, mForkData) != 0) return -1;
  }
  return 0;
}

uint64_t CHfspFormat::LoadExtentsOverflow(uint64_t first, const uint8_t* buf, uint32_t sectors,
                                          HfsOverflowMap* mForkData) {
  if (!buf || !mForkData || sectors == 0) return 0;
  size_t have = size_t(sectors) * 512;
  BTNodeDescriptor head;
  BTHeaderRec rec;
  if (!layout::DecodeBTNodeDescriptor(buf, have, &head) || !layout::BTHeaderNodeSound(head) ||
      head.fLink != 0 || head.reserved != 0)
    return 0;
  if (!layout::DecodeBTHeaderRec(buf + layout::kBTHeaderRecOffset, have - layout::kBTHeaderRecOffset, &rec) ||
      !hfsplus_check_header_rec(&rec, 1))
    return 0;
  uint32_t nodeSectors = rec.nodeSize / 512;
  if (nodeSectors > sectors || !hfsplus_check_header_node_offsets(buf, rec.nodeSize)) return 0;
  // A stale header whose nodes lie beyond the device describes no tree that is here.
  uint64_t volumeSectors = m_volumeBytes / 512;
  uint64_t treeSectors = uint64_t(nodeSectors) * rec.totalNodes;
  if (first >= volumeSectors || treeSectors > volumeSectors - first) return 0;

  HfsOverflowMap found;
  ExtentsWalk walk;
  walk.todo.emplace_back(rec.rootNode, int(rec.treeDepth));
  try {
    walk.node.resize(rec.nodeSize);
    while (!walk.todo.empty()) {
      uint32_t k = walk.todo.back().first;
      int height = walk.todo.back().second;
      walk.todo.pop_back();
      if (!walk.visited.insert(k).second) continue;  // every node is read once
      if (ParseExtentsLeaf(first, k, height, rec, &found, &walk) != 0) return 0;
    }
  } catch (const std::bad_alloc&) {
    return 0;
  }
  for (auto& f : found)
    for (auto& r : f.second) (*mForkData)[f.first].emplace(r.first, r.second);
  return treeSectors;
}

int CHfspFormat::AddFileToManager(const char16_t* folderPath, const char16_t* name,
                                  const HfsGraphFilePayload* payload, WalkContext* ctx) {
  if (!payload || !ctx || !name || !m_pFileManager) return -1;
  const HFSPlusForkData& f = payload->dataFork;
  // The file's record, with its runs, or without data where runs is null.
  auto handOut = [&](uint64_t size, RunList* runs) {
    CFileInfo* info = new (std::nothrow) CFileInfo();
    if (!info) {
      if (runs) runs->Release();
      return -1;
    }
    info->SetSize(int64_t(size));
    info->SetTimes(payload->createDate >= kHfsEpochDelta ? payload->createDate - kHfsEpochDelta : 0,
                   payload->contentModDate >= kHfsEpochDelta ? payload->contentModDate - kHfsEpochDelta : 0);
    info->SetName(name);
    if (runs) info->SetRunList(runs);
    info->AddFlags(runs ? FF_FORMATTED : FF_FORMATTED | FF_NODATA);
    m_feeder.Add(folderPath, info);
    return 0;
  };
  if (ctx->noData) return handOut(f.logicalSize, nullptr);
  uint64_t blockBytes = uint64_t(ctx->sectorsPerBlock) * 512;
  if (blockBytes == 0) return -1;
  RunList* head = nullptr;
  uint64_t blocks = 0, covered = 0;
  bool stop = false, failed = false;
  // Runs stop at the fork's block count and at the device's end; a run that does not fit
  // cuts the file there rather than read what is not its data.
  auto addRun = [&](uint32_t startBlock, uint32_t count) {
    if (blocks >= f.totalBlocks) return false;
    uint64_t c = std::min<uint64_t>(count, f.totalBlocks - blocks);
    uint64_t startByte = uint64_t(startBlock) * blockBytes;
    if (startByte >= m_volumeBytes || (m_baseByte + startByte) % m_devSector) return false;
    uint64_t bytes = c * blockBytes;
    bool clipped = bytes > m_volumeBytes - startByte;
    if (clipped) bytes = m_volumeBytes - startByte;
    uint64_t sector = (m_baseByte + startByte) / m_devSector;
    uint64_t left = (bytes + m_devSector - 1) / m_devSector;
    while (left) {
      uint32_t n = left > 0xFFFFFFFFull ? 0xFFFFFFFFu : uint32_t(left);
      RunList* r = head ? head->Append(sector, n) : (head = new (std::nothrow) RunList(sector, n));
      if (!r) {
        failed = true;
        return false;
      }
      sector += n;
      left -= n;
    }
    covered += bytes;
    blocks += c;
    return !clipped;
  };
  for (int i = 0; i < 8 && !stop; ++i) {
    if (f.extents[i].startBlock == 0 || f.extents[i].blockCount == 0) break;
    stop = !addRun(f.extents[i].startBlock, f.extents[i].blockCount);
  }
  if (!stop && !failed && blocks < f.totalBlocks && ctx->overflow) {
    auto it = ctx->overflow->find(payload->fileID);
    if (it != ctx->overflow->end()) {
      for (const auto& kv : it->second) {
        // A record that does not start where the runs so far end belongs to another file
        // or version: its blocks would be the wrong bytes.
        if (stop || kv.first != blocks) break;
        for (int e = 0; e < 8 && !stop; ++e) {
          const HFSPlusExtentDescriptor& x = kv.second.extents[e];
          if (x.startBlock == 0 || x.blockCount == 0) break;
          stop = !addRun(x.startBlock, x.blockCount);
        }
      }
    }
  }
  // The size is the record's, up to what its blocks hold. Blocks that cannot be placed (no
  // extents tree found, a record that does not continue the runs, the device's end) leave
  // the file that size, and its read fails past the runs: a correct beginning is not the
  // whole file.
  uint64_t size = std::min<uint64_t>(f.logicalSize, uint64_t(f.totalBlocks) * blockBytes);
  if (covered == 0) size = 0;
  if (failed || size == 0) {
    if (head) head->Release();
    return failed ? -1 : 0;
  }
  return handOut(size, head);
}

int CHfspFormat::OnGraphFile(const char16_t* folderPath, const char16_t* name, void* payload,
                             void* user, int percent) {
  WalkContext* ctx = static_cast<WalkContext*>(user);
  // An entry without a file record only ends the walk of the ones that have one.
  if (!payload || !ctx) return 0;
  ctx->self->AddFileToManager(folderPath, name, static_cast<HfsGraphFilePayload*>(payload), ctx);
  if (++ctx->calls % kPollEvery == 0 && !ctx->quiet &&
      ctx->self->Progress(95 + percent * 5 / 100) != 0) {
    ctx->self->m_feeder.Stop();
    return -1;
  }
  return 0;
}

int CHfspFormat::OnGraphFileNoProgress(const char16_t* folderPath, const char16_t* name,
                                       void* payload, void* user, int) {
  WalkContext* ctx = static_cast<WalkContext*>(user);
  if (payload && ctx)
    ctx->self->AddFileToManager(folderPath, name, static_cast<HfsGraphFilePayload*>(payload), ctx);
  return 0;
}

void CHfspFormat::FreeNodePayload(void* payload, void*) {
  delete static_cast<HfsGraphFilePayload*>(payload);
}

bool CHfspFormat::MergeKeepLarger(void* existing, void* incoming, int) {
  auto* a = static_cast<HfsGraphFilePayload*>(existing);
  auto* b = static_cast<HfsGraphFilePayload*>(incoming);
  bool replace = !a || (b && b->dataFork.logicalSize > a->dataFork.logicalSize);
  delete (replace ? a : b);
  return replace;
}

bool CHfspFormat::MergeKeepFirst(void*, void*, int exists) { return exists != 0; }

uint16_t CHfspFormat::MostFrequentKey(const HfsBlockVote& vote) {
  uint16_t best = 0;
  uint32_t count = 0;
  for (const auto& kv : vote)
    if (kv.second > count) {
      best = kv.first;
      count = kv.second;
    }
  return best;
}

void CHfspFormat::Flush(WalkContext* ctx, HfsBlockVote* vote, bool voting) {
  if (voting) {
    uint16_t k = MostFrequentKey(*vote);
    ctx->sectorsPerBlock = k ? k : 8;
  }
  m_feeder.Flush();
}

bool CHfspFormat::ProbeRange(uint64_t first, uint64_t end, int pctFrom, int pctTo, bool voting,
                             bool findExtents, WalkContext* ctx, GFS::CGraphFileSystem* graph,
                             HfsBlockVote* vote, HfsOverflowMap* mForkData) {
  uint64_t span = end > first ? end - first : 1;
  for (uint64_t s = first; s < end; ++s) {
    if ((s - first) % kPollEvery == 0) {
      int pct = pctFrom + int(double(s - first) * (pctTo - pctFrom) / double(span));
      if (Progress(pct) != 0) return false;
    }
    uint32_t got = 0;
    const uint8_t* p = View(s, kProbeSectors, &got);
    if (!p) break;
    if (findExtents && !ctx->overflow) {
      uint64_t size = LoadExtentsOverflow(s, p, got, mForkData);
      if (size) {
        ctx->overflow = mForkData;
        // Only the header node is stepped over: a stale tree's size may cover catalog
        // nodes written since.
        continue;
      }
      p = View(s, kProbeSectors, &got);  // the walk may have moved the window
      if (!p) break;
    }
    int n = ProbeLeafNode(p, got, graph, voting ? vote : nullptr);
    if (!n) continue;
    s += uint64_t(n) - 1;
    if (m_feeder.Count()) Flush(ctx, vote, voting);
  }
  return true;
}

bool CHfspFormat::BeginsWithTreeHeader(uint64_t start, const HFSPlusVolumeHeader& vh,
                                       const HFSPlusForkData& fork) {
  if (fork.extents[0].blockCount == 0) return false;
  uint64_t at = start + uint64_t(fork.extents[0].startBlock) * vh.blockSize;
  uint8_t node[512];
  BTNodeDescriptor d;
  BTHeaderRec rec;
  return ReadAt(at, sizeof node, node) == int(sizeof node) && layout::DecodeBTNodeDescriptor(node, sizeof node, &d) &&
         layout::BTHeaderNodeSound(d) && d.reserved == 0 &&
         layout::DecodeBTHeaderRec(node + layout::kBTHeaderRecOffset, sizeof node - layout::kBTHeaderRecOffset,
                                   &rec) &&
         layout::BTHeaderRecSound(rec);
}

bool CHfspFormat::FindShiftedVolume(HFSPlusVolumeHeader* vh) {
  const uint64_t headerUnit = kHFSPlusHeaderOffset / 512;
  uint64_t end = std::min<uint64_t>(m_volumeBytes / 512, kHeaderSearchSectors);
  for (uint64_t u = headerUnit + 1; u < end; ++u) {
    if (u % kPollEvery == 0 && Progress(0) != 0) return false;
    uint32_t got = 0;
    const uint8_t* p = View(u, kProbeSectors, &got);
    if (!p) return false;
    // A header past the volume's first catalog node lies inside the volume: its alternate
    // header, or a disk image kept as a file.
    if (CatalogLeafSectors(p, got)) return false;
    uint16_t sig = 0;
    if (!kbytes::ReadBe16(p, size_t(got) * 512, 0, &sig) || (sig != kHFSPlusSigWord && sig != kHFSXSigWord)) continue;
    HFSPlusVolumeHeader h;
    if (!hfsplus_read_volume_header(p, size_t(got) * 512, &h) || !hfsplus_check_volume_header(&h)) continue;
    uint64_t start = (u - headerUnit) * 512;
    if ((m_baseByte + start) % m_devSector) continue;  // its blocks would not be whole sectors
    // Both trees must begin where this header says, as the real volume's do.
    if (!BeginsWithTreeHeader(start, h, h.extentsFile) || !BeginsWithTreeHeader(start, h, h.catalogFile)) continue;
    m_baseByte += start;
    m_volumeBytes -= start;
    m_winBytes = 0;  // the window is kept in volume bytes
    *vh = h;
    return true;
  }
  return false;
}

int CHfspFormat::ScanVolume() {
  m_unreadable = 0;
  m_winBytes = 0;
  CFormatParam* param = m_parent ? m_parent->FormatParam() : nullptr;
  m_progressBase = m_parent ? std::min(std::max(m_parent->ProgressBase(), 0), 99) : 0;
  if (Progress(0) != 0) return RC_FAIL;
  uint64_t size = 0;
  if (m_device->GetSize(&size) != 0 || size == 0) return RC_FAIL;
  int clusterBytes = 0, sectorBytes = 0;
  m_device->GetClusterInfo(&clusterBytes, &sectorBytes);
  m_devSector = sectorBytes >= 512 && sectorBytes <= 65536 && kbytes::IsPowerOfTwo(uint64_t(sectorBytes))
                    ? uint32_t(sectorBytes)
                    : 512;
  m_baseByte = 0;
  if (param && param->bootSector && param->bootSector < size / m_devSector)
    m_baseByte = param->bootSector * m_devSector;
  m_volumeBytes = size - m_baseByte;

  WalkContext ctx{8, this, nullptr, false, 0};
  if (!m_feeder.Start(m_pFileManager, OnGraphFileNoProgress, OnGraphFile, FreeNodePayload, &ctx))
    return RC_FAIL;
  m_feeder.SetRoots(int64_t(kHfsRootFolder), int64_t(kHfsRootParent));
  GFS::CGraphFileSystem* graph = m_feeder.Graph();
  HfsOverflowMap mForkData;
  HfsBlockVote vote;

  HFSPlusVolumeHeader vh;
  uint8_t head[512];
  bool valid = ReadAt(kHFSPlusHeaderOffset, sizeof head, head) == int(sizeof head) &&
               hfsplus_read_volume_header(head, sizeof head, &vh) && hfsplus_check_volume_header(&vh);
  // Blocks count from the volume's own start, 1024 bytes before its header: where the
  // device does not begin with the volume, its header shows where the volume does.
  if (!valid && FindShiftedVolume(&vh)) {
    valid = true;
    if (param && m_baseByte % m_devSector == 0) param->bootSector = m_baseByte / m_devSector;
  }
  // With both headers gone, what survives says where the volume began, or that the start
  // the device gives is wrong and no other is known.
  bool finished = true;
  StartVerdict verdict = kStartKept;
  uint16_t evidenceBlocks = 0;
  uint64_t catalogEnd = 0;  // where the catalog the start was judged by ends, from the start
  if (!valid) {
    StartEvidence ev;
    uint64_t start = 0;
    finished = GatherStartEvidence(&ev);
    if (finished) verdict = DecideVolumeStart(ev, &start);
    evidenceBlocks = ev.sectorsPerBlock;
    // Only a start that something vouches for is read for a catalog past the usual reach.
    if (verdict != kStartKept && ev.catalogFound && ev.catalogAt >= start)
      catalogEnd = ev.catalogAt - start + ev.catalogSectors;
    if (verdict == kStartMoved) {
      m_baseByte += start * 512;
      m_volumeBytes -= start * 512;
      m_winBytes = 0;  // the window is kept in volume bytes
      if (param && m_baseByte % m_devSector == 0) param->bootSector = m_baseByte / m_devSector;
    }
    ctx.noData = verdict == kStartUnknown;
  }
  uint64_t sectors = m_volumeBytes / 512;
  // Stale catalogs sit near the volume's start; the catalog found in front of the
  // volume's files is probed whole, wherever it lies.
  uint64_t limit = std::max(sectors / 6, std::min(sectors, catalogEnd));
  uint32_t got = 0;
  const uint8_t* p = nullptr;
  if (valid) {
    uint32_t bps = vh.blockSize / 512;
    ctx.sectorsPerBlock = bps;
    uint64_t extFirst = uint64_t(vh.extentsFile.extents[0].startBlock) * bps;
    if (vh.extentsFile.extents[0].blockCount && (p = View(extFirst, kProbeSectors, &got)) &&
        LoadExtentsOverflow(extFirst, p, got, &mForkData))
      ctx.overflow = &mForkData;
    if (vh.attributes & kHFSVolumeJournaledBit) {
      uint64_t jib = uint64_t(vh.journalInfoBlock) * bps;
      layout::JournalInfoBlock info;
      if ((p = View(jib, 1, &got)) && layout::DecodeJournalInfoBlock(p, size_t(got) * 512, &info) &&
          layout::JournalInThisVolume(info.flags)) {
        // The journal's place comes from the disk: only the part on the device is probed.
        // Nothing of the journal's own structure is trusted, only the node images in it,
        // so a journal that was never initialised is probed like any other.
        uint64_t from = info.offset / 512, bytes = info.size;
        uint64_t to = from < sectors ? from + std::min<uint64_t>(bytes / 512, sectors - from) : from;
        if (from < sectors)
          finished = ProbeRange(from, to, 0, 0, false, false, &ctx, graph, &vote, &mForkData);
      }
      uint64_t catFirst = uint64_t(vh.catalogFile.extents[0].startBlock) * bps;
      uint64_t catCount = uint64_t(vh.catalogFile.totalBlocks) * bps;
      if (finished && catFirst < sectors) {
        uint64_t to = catFirst + std::min(catCount, sectors - catFirst);
        finished = ProbeRange(catFirst, to, 0, 0, false, false, &ctx, graph, &vote, &mForkData);
      }
    } else {
      finished = ProbeRange(0, limit, 0, 95, false, false, &ctx, graph, &vote, &mForkData);
    }
  } else if (finished) {
    // A start the files' heads confirmed was tested with the block size their records gave.
    bool voting = verdict != kStartMoved;
    if (!voting) ctx.sectorsPerBlock = evidenceBlocks;
    finished = ProbeRange(0, limit, 0, 100, voting, true, &ctx, graph, &vote, &mForkData);
    uint16_t k = MostFrequentKey(vote);
    if (voting) ctx.sectorsPerBlock = k ? k : 8;
  }

  // What was found is handed out even when the user stopped or a read failed.
  if (!finished) m_feeder.Stop();
  ctx.quiet = m_feeder.Stopped();
  m_feeder.Finish();
  if (param && ctx.sectorsPerBlock * 512 >= m_devSector)
    param->sectorsPerCluster = int(uint64_t(ctx.sectorsPerBlock) * 512 / m_devSector);
  if (m_feeder.Stopped()) return m_feeder.Result(RC_FAIL);
  if (Progress(100) != 0) return RC_FAIL;
  // Unreadable sectors were read as zeros and cost the nodes in them: no plain success.
  return m_unreadable > 0 || (m_parent && m_parent->ReadFailures() > 0) ? RC_READ_FAILED : RC_OK;
}

IScanOperator* CreateHfspFormatScanner(IStorageDevice* device) {
  return new (std::nothrow) CHfspFormat(device);
}

int HfsCatalogLeafSectors(const unsigned char* buf, unsigned sectors) {
  return CHfspFormat::CatalogLeafSectors(buf, sectors);
}
