#include "scanoperate/hfsp/btree.h"

#include <cstring>
#include <map>
#include <set>
#include <vector>

#include "common/inc/bytes.h"
#include "common/inc/istoragedevice.h"
#include "scanoperate/hfsp/namecmp.h"
#include "scanoperate/hfsp/trackedalloc.h"

using kbytes::ReadBe16;
using kbytes::ReadBe32;

namespace {

struct _hfsplus_nodebuffer {
  uint32_t treeId;
  uint32_t nodeNum;
  uint8_t* pBuffer;
};

struct NodePool {
  uint8_t* block = nullptr;
  uint32_t slotSize = 0;
  uint8_t bitmap[kNodeCacheEntries / 8] = {};
};

std::map<uint64_t, _hfsplus_nodebuffer*> gNodeBufferMap;
NodePool gNodePool;
// The largest node of any tree opened since the pool was last freed: slots are made that
// large so that neither tree's node can overrun a slot sized by the other.
uint32_t gLargestNodeSize = 0;

// Overflow records a fork may chain through before the mapping gives up.
const int kMaxOverflowRecords = 4096;

const HFSPlusForkData* TreeFork(const _hfsplus_tree* tree) {
  return tree->treeId == kHfsExtentsFileID ? &tree->volume.extentsFile : &tree->volume.catalogFile;
}

// Finds the volume block that holds fork block `index` by walking the fork's eight
// extents and then, for the catalog, its overflow records. *runBlocks is how many blocks
// follow contiguously from there within the same extent.
bool MapForkBlock(const _hfsplus_tree* tree, uint64_t index, uint64_t* volumeBlock,
                  uint64_t* runBlocks) {
  HFSPlusExtentDescriptor extents[8];
  memcpy(extents, TreeFork(tree)->extents, sizeof extents);
  uint64_t forkStart = 0;  // fork block at which `extents` begins
  for (int round = 0; round <= kMaxOverflowRecords; ++round) {
    uint64_t covered = 0;
    for (int i = 0; i < 8 && extents[i].blockCount; ++i) {
      uint64_t local = index - forkStart;
      if (local - covered < extents[i].blockCount && local >= covered) {
        *volumeBlock = uint64_t(extents[i].startBlock) + (local - covered);
        *runBlocks = extents[i].blockCount - (local - covered);
        return true;
      }
      covered += extents[i].blockCount;
    }
    // Past the record: only the catalog continues through the extents-overflow tree.
    if (tree->treeId == kHfsExtentsFileID || covered == 0) return false;
    uint64_t nextStart = forkStart + covered;
    layout::HFSPlusExtentDescriptor record[8];
    if (!hfsplus_overflow_record(tree->extentsTree, tree->treeId, nextStart, record)) return false;
    for (int i = 0; i < 8; ++i) extents[i] = {record[i].startBlock, record[i].blockCount};
    forkStart = nextStart;
  }
  return false;
}

// Reads a whole node into dst, piece by piece when its blocks are not contiguous.
bool ReadNodeBytes(const _hfsplus_node* node, uint8_t* dst) {
  const _hfsplus_tree* tree = node->tree;
  uint64_t blockSize = tree->volume.blockSize;
  uint64_t pos = uint64_t(tree->nodeSize) * node->nodeNum;
  uint32_t left = tree->nodeSize;
  while (left > 0) {
    uint64_t volBlock = 0, run = 0;
    if (!MapForkBlock(tree, pos / blockSize, &volBlock, &run)) return false;
    uint64_t within = pos % blockSize;
    uint64_t avail = run * blockSize - within;
    uint32_t piece = avail < left ? uint32_t(avail) : left;
    if (volBlock > UINT64_MAX / blockSize) return false;
    uint64_t off = volBlock * blockSize + within;
    if (hfsplus_read_device(tree->device, off, piece, dst) != int(piece)) return false;
    dst += piece;
    pos += piece;
    left -= piece;
  }
  return true;
}

// Bytes of a key: the key-length field plus its value, cut to what the buffer holds.
size_t CatKeyName(const uint8_t* key, size_t bytes, const uint8_t** name) {
  uint16_t keyLength = 0;
  if (bytes < 6 || !ReadBe16(key, bytes, 0, &keyLength)) {
    *name = nullptr;
    return 0;
  }
  size_t present = size_t(keyLength) + 2;
  if (present > bytes) present = bytes;
  *name = key + 6;
  return present > 6 ? present - 6 : 0;
}

int CatCompare(const uint8_t* a, size_t aBytes, const uint8_t* b, size_t bBytes, bool binary) {
  // A key too short for its parent compares as parent 0.
  uint32_t pa = 0, pb = 0;
  ReadBe32(a, aBytes, offsetof(HFSPlusCatalogKey, parentID), &pa);
  ReadBe32(b, bBytes, offsetof(HFSPlusCatalogKey, parentID), &pb);
  if (pa != pb) return pa < pb ? -1 : 1;
  const uint8_t *na, *nb;
  size_t la = CatKeyName(a, aBytes, &na), lb = CatKeyName(b, bBytes, &nb);
  return binary ? hfsBinaryUnicodeCompare(na, la, nb, lb) : hfsFastUnicodeCompare(na, la, nb, lb);
}

}  // namespace

// ---- volume header ----

bool hfsplus_parse_volume(const uint8_t* raw, size_t size, HfspVolume* out) {
  return hfsplus_read_volume_header(raw, size, out);
}

bool hfsplus_overflow_record(_hfsplus_tree* ext, uint32_t fileID, uint64_t startBlock,
                             layout::HFSPlusExtentDescriptor out[8]) {
  if (!ext || !ext->opened || !out || startBlock > UINT32_MAX) return false;
  uint8_t key[layout::kHFSPlusExtentKeySize];
  hfsplus_make_ext_key(key, fileID, uint32_t(startBlock), 0);
  size_t keyBytes = sizeof key;
  uint8_t data[layout::kHFSPlusExtentRecordSize];
  uint32_t length = sizeof data;
  layout::HFSPlusExtentKey found;
  layout::HFSPlusExtentDescriptor record[8];
  if (hfsplus_btfind(ext, key, &keyBytes, data, &length) != 1 ||
      !layout::DecodeHFSPlusExtentKey(key, keyBytes, &found) || !layout::DecodeHFSPlusExtentRecord(data, length, record))
    return false;
  // The record found must continue the fork exactly where the last one ended; any other
  // record means the chain is broken, and a walk must not loop on it.
  if (found.forkType != 0 || found.fileID != fileID || found.startBlock != startBlock) return false;
  for (int i = 0; i < 8; ++i) out[i] = record[i];
  return true;
}

// ---- device ----

int hfsplus_read_device(IStorageDevice* device, uint64_t byteOffset, uint32_t length, void* buffer) {
  if (!device || !buffer) return -1;
  int type = device->GetType();
  if (type != 1 && type != 2 && type != 4 && type != 5 && type != 6) return 0;
  if (byteOffset > uint64_t(INT64_MAX)) return -1;
  if (device->Seek(int64_t(byteOffset), 0) != int64_t(byteOffset)) return -1;
  int got = device->Read(buffer, length);
  return got >= 0 && uint32_t(got) == length ? int(length) : -1;
}

// ---- comparators ----

int hfsplus_cat_key_cmp(const uint8_t* a, size_t aBytes, const uint8_t* b, size_t bBytes) {
  return CatCompare(a, aBytes, b, bBytes, false);
}
int hfsplus_cat_key_cmp_binary(const uint8_t* a, size_t aBytes, const uint8_t* b, size_t bBytes) {
  return CatCompare(a, aBytes, b, bBytes, true);
}
int hfsplus_ext_key_cmp(const uint8_t* a, size_t aBytes, const uint8_t* b, size_t bBytes) {
  uint8_t ka[12] = {}, kb[12] = {};
  memcpy(ka, a, aBytes < 12 ? aBytes : 12);
  memcpy(kb, b, bBytes < 12 ? bBytes : 12);
  layout::HFSPlusExtentKey x, y;
  layout::DecodeHFSPlusExtentKey(ka, sizeof ka, &x);
  layout::DecodeHFSPlusExtentKey(kb, sizeof kb, &y);
  if (x.fileID != y.fileID) return x.fileID < y.fileID ? -1 : 1;
  if (x.forkType != y.forkType) return x.forkType < y.forkType ? -1 : 1;
  if (x.startBlock != y.startBlock) return x.startBlock < y.startBlock ? -1 : 1;
  return 0;
}
void hfsplus_make_ext_key(uint8_t key[12], uint32_t fileID, uint32_t startBlock, uint8_t forkType) {
  kbytes::PutBe16(key, 10);
  key[2] = forkType;
  key[3] = 0;
  kbytes::PutBe32(key + 4, fileID);
  kbytes::PutBe32(key + 8, startBlock);
}
size_t hfsplus_make_cat_key(uint8_t* key, size_t room, uint32_t parentID, const char16_t* name,
                            uint16_t units) {
  if (units > kHfsMaxNameUnits) units = kHfsMaxNameUnits;
  size_t bytes = 8 + 2 * size_t(units);
  if (!key || room < bytes) return 0;
  kbytes::PutBe16(key, uint16_t(6 + 2 * units));
  kbytes::PutBe32(key + 2, parentID);
  kbytes::PutBe16(key + 6, units);
  for (uint16_t i = 0; i < units; ++i) kbytes::PutBe16(key + 8 + 2 * i, uint16_t(name[i]));
  return bytes;
}

// ---- opening a tree ----

int hfsplus_btree_open(_hfsplus_tree* tree, IStorageDevice* device, const HfspVolume* volume,
                       uint32_t treeId) {
  if (!tree || !volume) return -1;
  _hfsplus_tree* ext = tree->extentsTree;
  const HfsCatalogLeaves* leaves = tree->leaves;
  memset(tree, 0, sizeof *tree);
  tree->extentsTree = ext;
  tree->leaves = leaves;
  if (treeId != kHfsExtentsFileID && treeId != kHfsCatalogFileID) return -1;
  uint32_t bs = volume->blockSize;
  if (bs < 512 || !kbytes::IsPowerOfTwo(bs)) return -1;
  tree->treeId = treeId;
  tree->device = device;
  tree->volume = *volume;
  const HFSPlusForkData* fork = TreeFork(tree);
  if (fork->extents[0].blockCount == 0) return -1;
  tree->startOffset = uint64_t(fork->extents[0].startBlock) * bs;
  tree->compare = treeId == kHfsExtentsFileID ? hfsplus_ext_key_cmp : hfsplus_cat_key_cmp;

  // Node 0 is read as the smallest catalog node (4 KiB) before its size is known; its
  // descriptor and header record lie in the first 512 bytes whatever the node size, and
  // only those must be readable: an unreadable sector further into the header node (its
  // map record) would otherwise cost the whole tree.
  const uint32_t kHeadRead = 4096, kHeadDecoded = 512;
  uint8_t* head = static_cast<uint8_t*>(HFS_MALLOC(kHeadRead));
  if (!head) return -1;
  int got = hfsplus_read_device(device, tree->startOffset, kHeadRead, head);
  if (got != int(kHeadRead)) got = hfsplus_read_device(device, tree->startOffset, kHeadDecoded, head);
  BTNodeDescriptor desc;
  BTHeaderRec h;
  bool ok = got >= int(kHeadDecoded) && layout::DecodeBTNodeDescriptor(head, kHeadDecoded, &desc) &&
            layout::BTHeaderNodeSound(desc) &&
            layout::DecodeBTHeaderRec(head + layout::kBTHeaderRecOffset,
                                      kHeadDecoded - layout::kBTHeaderRecOffset, &h);
  if (ok) memcpy(tree->header, head + layout::kBTHeaderRecOffset, sizeof tree->header);
  trackedFree(head);
  if (!ok) return -1;

  tree->treeDepth = h.treeDepth;
  tree->rootNode = h.rootNode;
  tree->nodeSize = h.nodeSize;
  tree->maxKeyLength = h.maxKeyLength;
  tree->totalNodes = h.totalNodes;
  tree->freeNodes = h.freeNodes;
  tree->attributes = h.attributes;

  // Nothing below may trust the header until it is shown to describe a tree that fits
  // its own file.
  if (!layout::BTHeaderRecSound(h)) return -1;
  // Extents keys have one length; a catalog key holds at least its parent and name length.
  bool extents = treeId == kHfsExtentsFileID;
  uint32_t maxKey = extents ? layout::kHFSPlusExtentKeyLength : layout::kHFSPlusCatalogKeyMaxLength;
  uint32_t minKey = extents ? layout::kHFSPlusExtentKeyLength : layout::kHFSPlusCatalogKeyMinSize - 2;
  if (tree->maxKeyLength < minKey || tree->maxKeyLength > maxKey) return -1;
  uint64_t forkBytes = hfsplus_extents_block_count(fork->extents) * bs;
  if (fork->totalBlocks) forkBytes = uint64_t(fork->totalBlocks) * bs;
  if (uint64_t(tree->totalNodes) > forkBytes / tree->nodeSize) return -1;

  // HFSX alone may ask for the binary order, and only through the catalog's own header.
  if (treeId == kHfsCatalogFileID && volume->signature == kHFSXSigWord && volume->version == 5 &&
      h.keyCompareType == kHfsBinaryCompare)
    tree->compare = hfsplus_cat_key_cmp_binary;

  if (tree->nodeSize > gLargestNodeSize) gLargestNodeSize = tree->nodeSize;
  tree->opened = true;
  return 1;
}

// ---- cache and pool ----

uint8_t* hfsplus_pool_alloc() {
  if (!gNodePool.block) return nullptr;
  for (uint32_t i = 0; i < kNodeCacheEntries / 8; ++i) {
    uint8_t b = gNodePool.bitmap[i];
    if (b == 0xFF) continue;
    int j = 0;
    while (b & (1u << j)) ++j;
    gNodePool.bitmap[i] = uint8_t(b | (1u << j));
    return gNodePool.block + (size_t(i) * 8 + j) * gNodePool.slotSize;
  }
  return nullptr;
}

void hfsplus_pool_mark(uint8_t* slot, int set) {
  if (!gNodePool.block || !slot || slot < gNodePool.block) return;
  size_t index = size_t(slot - gNodePool.block) / gNodePool.slotSize;
  if (index >= kNodeCacheEntries) return;
  if (set)
    gNodePool.bitmap[index / 8] |= uint8_t(1u << (index % 8));
  else
    gNodePool.bitmap[index / 8] &= uint8_t(~(1u << (index % 8)));
}

void hfsplus_pool_free() {
  trackedFree(gNodePool.block);
  gNodePool.block = nullptr;
  gNodePool.slotSize = 0;
  memset(gNodePool.bitmap, 0, sizeof gNodePool.bitmap);
  gLargestNodeSize = 0;
}

void hfsplus_node_cache_free() {
  for (auto& e : gNodeBufferMap) {
    hfsplus_pool_mark(e.second->pBuffer, 0);
    trackedFree(e.second);
  }
  gNodeBufferMap.clear();
}

// Names of catalog nodes by CNID, searched before the catalog; nothing fills it at present,
// so it stays empty and is only emptied with the cache.
struct _NameNode {
  uint32_t cnid;
  std::u16string name;
};
std::vector<_NameNode> gNameNodeList;

void hfsplus_name_nodes_free() { gNameNodeList.clear(); }

size_t hfsplus_node_cache_size() { return gNodeBufferMap.size(); }
uint32_t hfsplus_pool_slot_size() { return gNodePool.slotSize; }

uint64_t hfsplus_node_to_offset(const _hfsplus_node* node) {
  if (!node || !node->tree || !node->tree->opened) return UINT64_MAX;
  const _hfsplus_tree* tree = node->tree;
  uint64_t pos = uint64_t(tree->nodeSize) * node->nodeNum;
  uint64_t volBlock = 0, run = 0;
  if (!MapForkBlock(tree, pos / tree->volume.blockSize, &volBlock, &run)) return UINT64_MAX;
  return volBlock * tree->volume.blockSize + pos % tree->volume.blockSize;
}

uint16_t hfsplus_node_read(const _hfsplus_node* node, void* dst, uint16_t offset, uint16_t length) {
  if (!node || !dst || length == 0 || !node->tree || !node->tree->opened) return 0;
  _hfsplus_tree* tree = node->tree;
  if (offset > tree->nodeSize || length > tree->nodeSize - offset) return 0;
  if (node->nodeNum >= tree->totalNodes) return 0;

  uint32_t want = gLargestNodeSize > tree->nodeSize ? gLargestNodeSize : tree->nodeSize;
  if (gNodePool.block && gNodePool.slotSize < tree->nodeSize) {
    // A tree with larger nodes than the slots: start the cache over with larger slots.
    hfsplus_node_cache_free();
    trackedFree(gNodePool.block);
    gNodePool.block = nullptr;
    memset(gNodePool.bitmap, 0, sizeof gNodePool.bitmap);
  }
  if (!gNodePool.block) {
    gNodePool.block = static_cast<uint8_t*>(HFS_MALLOC(size_t(want) * kNodeCacheEntries));
    if (!gNodePool.block) return 0;
    gNodePool.slotSize = want;
    memset(gNodePool.bitmap, 0, sizeof gNodePool.bitmap);
  }

  uint64_t key = uint64_t(tree->treeId) << 32 | node->nodeNum;
  auto it = gNodeBufferMap.find(key);
  if (it != gNodeBufferMap.end()) {
    memcpy(dst, it->second->pBuffer + offset, length);
    return length;
  }
  _hfsplus_nodebuffer* entry =
      static_cast<_hfsplus_nodebuffer*>(HFS_MALLOC(sizeof(_hfsplus_nodebuffer)));
  if (!entry) return 0;
  // Evict until a slot is free, not merely until the map is below its size: a catalog
  // node past its fork's eighth extent holds a slot while the extents-tree read that maps
  // it asks for another, and that nested read must be able to evict too.
  entry->pBuffer = hfsplus_pool_alloc();
  while (!entry->pBuffer && !gNodeBufferMap.empty()) {
    auto first = gNodeBufferMap.begin();
    hfsplus_pool_mark(first->second->pBuffer, 0);
    trackedFree(first->second);
    gNodeBufferMap.erase(first);
    entry->pBuffer = hfsplus_pool_alloc();
  }
  if (!entry->pBuffer) {
    trackedFree(entry);
    return 0;
  }
  if (!ReadNodeBytes(node, entry->pBuffer)) {
    // The slot goes back, or failed reads would slowly use up the pool.
    hfsplus_pool_mark(entry->pBuffer, 0);
    trackedFree(entry);
    return 0;
  }
  memcpy(dst, entry->pBuffer + offset, length);
  entry->treeId = tree->treeId;
  entry->nodeNum = node->nodeNum;
  gNodeBufferMap[key] = entry;
  return length;
}

// ---- nodes and records ----

bool hfsplus_check_node_kind(const _hfsplus_tree* tree, int8_t kind, uint8_t height) {
  return tree && layout::BTNodeKindSound(kind, height, tree->treeDepth);
}

int hfsplus_read_node_desc(_hfsplus_tree* tree, uint32_t nodeNum, _hfsplus_node* node) {
  if (!tree || !node || !tree->opened || nodeNum >= tree->totalNodes) return -1;
  node->tree = tree;
  node->nodeNum = nodeNum;
  uint8_t d[layout::kBTNodeDescriptorSize];
  BTNodeDescriptor desc;
  if (hfsplus_node_read(node, d, 0, sizeof d) != sizeof d ||
      !layout::DecodeBTNodeDescriptor(d, sizeof d, &desc))
    return -1;
  node->fLink = desc.fLink;
  node->bLink = desc.bLink;
  node->kind = desc.kind;
  node->height = desc.height;
  node->numRecords = desc.numRecords;
  if (!hfsplus_check_node_kind(tree, node->kind, node->height)) return -1;
  // The offset table (records plus the free-space entry) must fit after the descriptor.
  if ((uint32_t(node->numRecords) + 1) * 2 > uint32_t(tree->nodeSize) - sizeof d) return -1;
  return 1;
}

namespace {

// Damaged records one search passes over, and damaged offset entries in a row one record
// may lie in front of, before the node counts as unreadable.
const int kMaxDamagedEntries = 4;

// Entry j of a node's offset table when it points into the node's record area (behind
// the descriptor, not past the table); an entry outside it is damage. The first record
// always starts right behind the descriptor, so entry 0 is 14 whatever it holds.
bool SoundTableEntry(const _hfsplus_node* node, int j, uint16_t* out) {
  if (j == 0) {
    *out = uint16_t(layout::kBTNodeDescriptorSize);
    return true;
  }
  uint32_t ns = node->tree->nodeSize;
  uint8_t t[2];
  if (hfsplus_node_read(node, t, uint16_t(ns - 2 * uint32_t(j) - 2), 2) != 2) return false;
  uint16_t v = 0;
  if (!layout::BTRecordOffset(t, sizeof t, 0, &v)) return false;
  uint32_t tableStart = ns - 2 * (uint32_t(node->numRecords) + 1);
  if (v < layout::kBTNodeDescriptorSize || v > tableStart) return false;
  *out = v;
  return true;
}

// The length a record gives itself, for a record whose end entry is damaged: its key and
// the pointer of an index record, or its key and the fixed or self-told size of a leaf
// record of the tree. 0 when the record does not say or does not fit in `room` bytes.
uint32_t OwnRecordLength(const _hfsplus_node* node, uint16_t off, uint32_t room) {
  const _hfsplus_tree* tree = node->tree;
  uint32_t field = (tree->attributes & kBTBigKeysMask) ? 2 : 1;
  uint8_t k[2] = {};
  if (room < field || hfsplus_node_read(node, k, off, uint16_t(field)) != field) return 0;
  uint32_t keyLen = field == 2 ? (uint32_t(k[0]) << 8 | k[1]) : k[0];
  if (node->kind == kBTIndexNode && !(tree->attributes & kBTVariableIndexKeysMask))
    keyLen = tree->maxKeyLength;
  if (keyLen > tree->maxKeyLength) return 0;
  uint32_t keyTotal = (keyLen + field + 1) & ~1u;
  uint32_t data = 0;
  if (node->kind == kBTIndexNode) {
    data = 4;
  } else if (tree->treeId == kHfsExtentsFileID) {
    data = uint32_t(layout::kHFSPlusExtentRecordSize);
  } else {
    uint8_t head[10];
    if (keyTotal > room || room - keyTotal < sizeof head ||
        hfsplus_node_read(node, head, uint16_t(off + keyTotal), sizeof head) != sizeof head)
      return 0;
    uint16_t type = uint16_t(head[0] << 8 | head[1]);
    if (type == kHfsPlusFolderRecord) {
      data = uint32_t(layout::kHFSPlusCatalogFolderSize);
    } else if (type == kHfsPlusFileRecord) {
      data = uint32_t(layout::kHFSPlusCatalogFileSize);
    } else if (type == kHfsPlusFolderThreadRecord || type == kHfsPlusFileThreadRecord) {
      uint32_t units = uint32_t(head[8]) << 8 | head[9];
      if (units > kHfsMaxNameUnits) return 0;
      data = 10 + 2 * units;
    } else {
      return 0;
    }
  }
  uint32_t total = keyTotal + data;
  return total <= room ? total : 0;
}

}  // namespace

uint16_t hfsplus_rec_offset_len(const _hfsplus_node* node, int i, uint16_t* offset) {
  if (!node || !node->tree || i < 0 || i >= node->numRecords) return 0;
  uint16_t off = 0, next = 0;
  // A record whose own entry is damaged cannot be found; the others keep theirs.
  if (!SoundTableEntry(node, i, &off)) return 0;
  uint32_t len = 0;
  if (SoundTableEntry(node, i + 1, &next)) {
    if (next < off) return 0;
    len = uint32_t(next - off);
  } else {
    // The entry that ends this record is damaged: the next sound entry bounds the record
    // and whatever was lost behind it, and the record tells its own length.
    int j = i + 2;
    while (j <= node->numRecords && j - i <= kMaxDamagedEntries && !SoundTableEntry(node, j, &next)) ++j;
    if (j > node->numRecords || j - i > kMaxDamagedEntries || next < off) return 0;
    len = OwnRecordLength(node, off, uint32_t(next - off));
    if (!len) return 0;
  }
  if (offset) *offset = off;
  return uint16_t(len);
}

uint16_t hfsplus_rec_offset(const _hfsplus_node* node, int i) {
  uint16_t off = 0;
  return hfsplus_rec_offset_len(node, i, &off) ? off : 0;
}

uint16_t hfsplus_rec_key_len(const _hfsplus_node* node, int i) {
  if (!node || !node->tree) return 0;
  if (node->kind != kBTIndexNode && node->kind != kBTLeafNode) return 0;
  const _hfsplus_tree* tree = node->tree;
  uint16_t off = 0;
  uint16_t recLen = hfsplus_rec_offset_len(node, i, &off);
  if (!recLen) return 0;
  uint32_t field = (tree->attributes & kBTBigKeysMask) ? 2 : 1;
  uint32_t keyLen = tree->maxKeyLength;
  if (node->kind == kBTLeafNode || (tree->attributes & kBTVariableIndexKeysMask)) {
    uint8_t k[2] = {};
    if (hfsplus_node_read(node, k, off, uint16_t(field)) != field) return 0;
    uint16_t wide = 0;
    uint8_t narrow = 0;
    if (field == 2 ? !ReadBe16(k, sizeof k, 0, &wide) : !kbytes::ReadU8(k, sizeof k, 0, &narrow)) return 0;
    keyLen = field == 2 ? wide : narrow;
  }
  if (keyLen > tree->maxKeyLength) return 0;
  uint32_t total = (keyLen + field + 1) & ~1u;
  if (total > recLen) return 0;
  return uint16_t(total);
}

uint16_t hfsplus_rec_read_key(const _hfsplus_node* node, int i, void* buf, uint16_t maxLength) {
  if (!buf || !maxLength) return 0;
  uint16_t off = 0;
  uint16_t recLen = hfsplus_rec_offset_len(node, i, &off);
  uint16_t keyLen = hfsplus_rec_key_len(node, i);
  if (!recLen || !keyLen || recLen < keyLen) return 0;
  uint16_t n = keyLen < maxLength ? keyLen : maxLength;
  return hfsplus_node_read(node, buf, off, n);
}

uint16_t hfsplus_rec_read_data(const _hfsplus_node* node, int i, void* buf, uint16_t maxLength) {
  if (!buf) return 0;
  uint16_t off = 0;
  uint16_t recLen = hfsplus_rec_offset_len(node, i, &off);
  uint16_t keyLen = hfsplus_rec_key_len(node, i);
  if (!recLen || !keyLen || recLen <= keyLen) return 0;
  uint16_t n = uint16_t(recLen - keyLen);
  if (n > maxLength) return 0;
  return hfsplus_node_read(node, buf, uint16_t(off + keyLen), n);
}

int hfsplus_find_rec_in_node(const _hfsplus_node* node, const uint8_t* key, size_t keyBytes,
                             int* status) {
  int dummy = 0;
  if (!status) status = &dummy;
  *status = 0;
  if (!node || !node->tree || !key) {
    *status = -1;
    return -1;
  }
  int lo = 0, hi = int(node->numRecords) - 1;
  uint8_t rk[kHfsMaxCatalogKeyBytes];
  bool anyRead = false;
  int unreadable = 0;
  while (lo <= hi) {
    int mid = lo + (hi - lo) / 2;
    uint16_t n = hfsplus_rec_read_key(node, mid, rk, sizeof rk);
    // A record that cannot be read is passed over: the nearest readable one in the range
    // takes its place, so one damaged record costs the search nothing but itself. A node
    // with more damage than that is given up, as before, so that it costs no more time.
    for (int d = 1; !n && (mid - d >= lo || mid + d <= hi); ++d) {
      if (++unreadable > kMaxDamagedEntries) {
        *status = -5;
        return -1;
      }
      if (mid - d >= lo && (n = hfsplus_rec_read_key(node, mid - d, rk, sizeof rk)) != 0) {
        mid -= d;
      } else if (mid + d <= hi && (n = hfsplus_rec_read_key(node, mid + d, rk, sizeof rk)) != 0) {
        mid += d;
      }
    }
    if (!n) {
      // Nothing in the range is readable: the last record below it is the answer.
      hi = lo - 1;
      break;
    }
    anyRead = true;
    int c = node->tree->compare(rk, n, key, keyBytes);
    if (c == 0) return mid;
    if (c < 0)
      lo = mid + 1;
    else
      hi = mid - 1;
  }
  if (hi < 0) {
    *status = anyRead ? -2 : -5;
    return -1;
  }
  return hi;
}

int hfsplus_descend_to_leaf(_hfsplus_tree* tree, const uint8_t* key, size_t keyBytes, int* index,
                            int* status, _hfsplus_node* leaf) {
  int dummy = 0;
  if (!status) status = &dummy;
  if (!tree || !tree->opened || !key || !index || !leaf || tree->treeDepth == 0) {
    *status = -1;
    return -1;
  }
  // The two node handles of a descent are the tracked allocator's, as all of the layer's
  // working memory is, so that its log counts them.
  struct Handles {
    _hfsplus_node* node = static_cast<_hfsplus_node*>(HFS_MALLOC(sizeof(_hfsplus_node)));
    _hfsplus_node* child = static_cast<_hfsplus_node*>(HFS_MALLOC(sizeof(_hfsplus_node)));
    ~Handles() {
      trackedFree(node);
      trackedFree(child);
    }
  } h;
  if (!h.node || !h.child || hfsplus_read_node_desc(tree, tree->rootNode, h.node) != 1 ||
      h.node->height == 0 || h.node->height > tree->treeDepth) {
    *status = -1;
    return -1;
  }
  _hfsplus_node& node = *h.node;
  _hfsplus_node& child = *h.child;
  // Each level is one lower than the last, so the loop ends within treeDepth steps.
  for (;;) {
    int i = hfsplus_find_rec_in_node(&node, key, keyBytes, status);
    if (i < 0 || i >= node.numRecords) return -1;
    if (node.kind == kBTLeafNode) {
      *index = i;
      *leaf = node;
      return 1;
    }
    if (node.kind != kBTIndexNode) return -1;
    uint16_t off = 0;
    uint16_t recLen = hfsplus_rec_offset_len(&node, i, &off);
    uint16_t keyLen = hfsplus_rec_key_len(&node, i);
    if (!recLen || !keyLen || recLen < uint32_t(keyLen) + 4) return -1;
    uint8_t ptr[4];
    uint32_t childNum = 0;
    if (hfsplus_node_read(&node, ptr, uint16_t(off + keyLen), 4) != 4 || !ReadBe32(ptr, sizeof ptr, 0, &childNum))
      return -1;
    if (hfsplus_read_node_desc(tree, childNum, &child) != 1) return -1;
    if (child.height == 0 || child.height != node.height - 1) return -1;
    node = child;
  }
}

static int FindCommon(_hfsplus_tree* tree, const uint8_t* key, size_t keyBytes, bool exact,
                      uint8_t* foundKey, size_t* foundKeyBytes, void* data, uint32_t* length) {
  if (!tree || !key || !data || !length) return -1;
  _hfsplus_node leaf;
  int index = -1, status = 0;
  if (hfsplus_descend_to_leaf(tree, key, keyBytes, &index, &status, &leaf) != 1) return -1;
  uint8_t rk[kHfsMaxCatalogKeyBytes];
  uint16_t n = hfsplus_rec_read_key(&leaf, index, rk, sizeof rk);
  if (!n) return -1;
  if (exact && tree->compare(key, keyBytes, rk, n) != 0) return -1;
  uint16_t off = 0;
  uint16_t recLen = hfsplus_rec_offset_len(&leaf, index, &off);
  uint16_t keyLen = hfsplus_rec_key_len(&leaf, index);
  if (!recLen || !keyLen || recLen <= keyLen) return -1;
  uint32_t dataLen = uint32_t(recLen) - keyLen;
  if (dataLen > *length) return -1;
  if (hfsplus_node_read(&leaf, data, uint16_t(off + keyLen), uint16_t(dataLen)) != dataLen) return -1;
  *length = dataLen;
  if (foundKey && foundKeyBytes) {
    size_t c = n < *foundKeyBytes ? n : *foundKeyBytes;
    memcpy(foundKey, rk, c);
    *foundKeyBytes = c;
  }
  return 1;
}

int hfsplus_btfind(_hfsplus_tree* tree, uint8_t* key, size_t* keyBytes, void* data,
                   uint32_t* length) {
  if (!key || !keyBytes) return -1;
  uint8_t search[kHfsMaxCatalogKeyBytes];
  size_t sb = *keyBytes < sizeof search ? *keyBytes : sizeof search;
  memcpy(search, key, sb);
  return FindCommon(tree, search, sb, false, key, keyBytes, data, length);
}

int hfsplus_btfind_exact(_hfsplus_tree* tree, const uint8_t* key, size_t keyBytes, void* data,
                         uint32_t* length, int flags, const char* caller) {
  uint64_t start = (flags & 1) ? hfsplus_ticks() : 0;
  int r = FindCommon(tree, key, keyBytes, true, nullptr, nullptr, data, length);
  if (flags & 1) printElapsed(caller, "hfsplus_btfind_exact", start);
  return r;
}

int hfsplus_walk_leaves(_hfsplus_tree* tree, const HfsLeafVisitor& visit) {
  if (!tree || !tree->opened) return -1;
  BTHeaderRec h;
  if (!layout::DecodeBTHeaderRec(tree->header, sizeof tree->header, &h)) return -1;
  uint32_t first = h.firstLeafNode;
  std::set<uint32_t> seen;
  std::vector<uint8_t> rec(tree->nodeSize);
  for (uint32_t n = first; n != 0;) {
    if (!seen.insert(n).second) return -1;  // a forward link back to a visited node
    _hfsplus_node node;
    if (hfsplus_read_node_desc(tree, n, &node) != 1 || node.kind != kBTLeafNode) return -1;
    for (int i = 0; i < node.numRecords; ++i) {
      uint16_t off = 0;
      uint16_t len = hfsplus_rec_offset_len(&node, i, &off);
      uint16_t keyLen = hfsplus_rec_key_len(&node, i);
      if (!len || !keyLen) continue;
      if (hfsplus_node_read(&node, rec.data(), off, len) != len) continue;
      if (!visit(rec.data(), keyLen, rec.data() + keyLen, len - keyLen)) return 1;
    }
    n = node.fLink;
  }
  return 1;
}
