#include "scanoperate/hfsp/journal.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <unordered_map>
#include <vector>

#include "common/inc/bytes.h"
#include "common/inc/inotifysink.h"
#include "common/layout/hfsplus_journal.h"
#include "scanoperate/hfsp/hfspdebug.h"
#include "scanoperate/hfsp/namecmp.h"
#include "scanoperate/hfsp/trackedalloc.h"

using kbytes::Fits;
using kbytes::ReadBe16;
using kbytes::ReadBe32;
typedef layout::raw::HFSPlusCatalogFile CatalogFile;
typedef layout::raw::HFSPlusCatalogThread CatalogThread;

namespace {

std::map<RecordNodeKey, _RecordNode*> gRecordNodeMap;
// Records held outside the map; nothing keeps any here at present, and it is emptied (and
// its records freed) with the map.
std::vector<_RecordNode*> gRecordNodeList;

// A kept record's body is the record after its 2-byte type field.
const size_t kBodyAt = 2;
const size_t kFolderBody = layout::kHFSPlusCatalogFolderSize - kBodyAt;
const size_t kFileBody = layout::kHFSPlusCatalogFileSize - kBodyAt;
const int kMaxPathDepth = 256;
// The smallest span a record can have: a key without a name and a folder record.
const size_t kMinRecordSpan = 2 + 4 + layout::kHFSPlusCatalogFolderSize;

struct TrackedBuffer {
  uint8_t* p = nullptr;
  ~TrackedBuffer() { trackedFree(p); }
};

RecordNodeKey KeyOf(const _RecordNode* r) {
  RecordNodeKey k;
  k.parentID = r->parentID;
  k.nameLength = r->nameLength;
  memcpy(k.name, r->name, sizeof k.name);
  k.cnid = getRecordCnid(r);
  return k;
}

}  // namespace

// 1 when a record under the same key is already kept, else 0. For a file record the copy
// with more data wins; with equal sizes the newer copy replaces one whose dates are
// implausible.
int isExitRecordNode(const _RecordNode* rec) {
  auto it = gRecordNodeMap.find(KeyOf(rec));
  if (it == gRecordNodeMap.end()) return 0;
  _RecordNode* stored = it->second;
  if (rec->recordType == kHfsPlusFileRecord && stored->recordType == kHfsPlusFileRecord) {
    uint64_t a = recordDataSize(rec), b = recordDataSize(stored);
    if (a > b || (a == b && hasInvalidRecordDates(stored) == 1))
      memcpy(stored->body, rec->body, kFileBody);
  }
  return 1;
}

namespace {

// The u32 of a kept record at its record offset (the type field counted).
uint32_t BodyBe32(const _RecordNode* r, size_t recordOffset) {
  uint32_t v = 0;
  ReadBe32(r->body, sizeof r->body, recordOffset - kBodyAt, &v);
  return v;
}

// A field kept as on disk in a host struct: two big-endian bytes.
uint16_t StoredBe16(const uint16_t& field) {
  uint16_t v = 0;
  ReadBe16(reinterpret_cast<const uint8_t*>(&field), sizeof field, 0, &v);
  return v;
}
uint32_t StoredBe32(const uint32_t& field) {
  uint32_t v = 0;
  ReadBe32(reinterpret_cast<const uint8_t*>(&field), sizeof field, 0, &v);
  return v;
}

}  // namespace

namespace {

// The name of the catalog key at p as the catalog's leaves are indexed: host order, up to a
// zero unit, "/" shown as ":".
std::u16string LeafName(const uint8_t* p, size_t avail, uint16_t units) {
  std::u16string name;
  for (uint16_t i = 0; i < units; ++i) {
    uint16_t unit = 0;
    if (!layout::HFSPlusNameUnit(p, avail, layout::kHFSPlusCatalogKeyNameOffset, i, &unit) || unit == 0) break;
    name += unit == u'/' ? u':' : char16_t(unit);
  }
  return name;
}

}  // namespace

// Takes one catalog record (key at p, `avail` bytes from p) into the map when the live
// catalog no longer has it. 1 when it was kept; 0 when it was not (not a folder or file
// record, still in the live catalog, or a copy of one the map holds). *consumed is the
// bytes a folder or file record spans.
int parseRecordFragment(_hfsplus_tree* catalog, const uint8_t* p, size_t avail, size_t* consumed) {
  *consumed = 0;
  layout::HFSPlusCatalogKey k;
  if (!layout::DecodeHFSPlusCatalogKey(p, avail, &k)) return 0;
  uint16_t keyLength = k.keyLength;
  if (!layout::HFSPlusCatalogKeySound(k) || !Fits(avail, 2, size_t(keyLength) + 2)) return 0;
  uint16_t nameLength = k.nameLength;
  uint16_t unit0 = 0;
  if (nameLength && (!layout::HFSPlusNameUnit(p, avail, layout::kHFSPlusCatalogKeyNameOffset, 0, &unit0) ||
                     unit0 == 0))
    return 0;
  uint16_t type = 0;
  if (!ReadBe16(p, avail, 2 + size_t(keyLength), &type)) return 0;
  size_t bodyLen = type == kHfsPlusFolderRecord ? kFolderBody : type == kHfsPlusFileRecord ? kFileBody : 0;
  if (!bodyLen) return 0;
  size_t span = 2 + size_t(keyLength) + 2 + bodyLen;
  if (span > avail) return 0;
  *consumed = span;

  if (type != kHfsPlusFolderRecord && catalog && catalog->opened) {
    uint8_t key[kHfsMaxCatalogKeyBytes];
    size_t kb = 8 + 2 * size_t(nameLength);
    kbytes::PutBe16(key, uint16_t(kb - 2));
    memcpy(key + 2, p + 2, kb - 2);
    uint8_t data[520];
    uint32_t len = sizeof data;
    if (hfsplus_btfind_exact(catalog, key, kb, data, &len, 0, "parseBTreeNode") == 1) return 0;
  } else if (type != kHfsPlusFolderRecord && catalog && catalog->leaves) {
    // A catalog that cannot be opened still has its leaves: a file one of them names is
    // live, whatever the journal says.
    if (catalog->leaves->files.count({k.parentID, LeafName(p, avail, nameLength)})) return 0;
  }
  _RecordNode* rec = static_cast<_RecordNode*>(HFS_MALLOC(sizeof(_RecordNode)));
  if (!rec) return 0;
  memset(rec, 0, sizeof *rec);
  memcpy(&rec->parentID, p + 2, 4);
  memcpy(&rec->nameLength, p + 6, 2);
  memcpy(rec->name, p + 8, 2 * size_t(nameLength));
  rec->recordType = type;
  memcpy(rec->body, p + 2 + keyLength + kBodyAt, bodyLen);
  if (isExitRecordNode(rec)) {
    trackedFree(rec);
    return 0;
  }
  gRecordNodeMap[KeyOf(rec)] = rec;
  return 1;
}

namespace {

// Whether a folder or file record can begin at r: a key with nothing after its name, then
// a folder or file type and four dates after 1970. `avail` bytes from r.
bool CatalogRecordCandidate(const uint8_t* r, size_t avail, uint16_t* type) {
  layout::HFSPlusCatalogKey k;
  if (avail < kMinRecordSpan || !layout::DecodeHFSPlusCatalogKey(r, avail, &k)) return false;
  uint16_t keyLength = k.keyLength;
  if (!layout::HFSPlusCatalogKeySound(k) || keyLength != 2 * size_t(k.nameLength) + 6) return false;
  const size_t at = 2 + size_t(keyLength);
  uint16_t t = 0;
  if (!ReadBe16(r, avail, at, &t) || (t != kHfsPlusFolderRecord && t != kHfsPlusFileRecord)) return false;
  for (size_t off = offsetof(CatalogFile, createDate); off <= offsetof(CatalogFile, accessDate); off += 4) {
    uint32_t date = 0;
    if (!ReadBe32(r, avail, at + off, &date) || date < kHfsEpochDelta) return false;
  }
  *type = t;
  return true;
}

}  // namespace

const uint8_t* findCatalogRecordInGap(const uint8_t* start, uint64_t length, uint16_t* type) {
  if (!start || !type) return nullptr;
  for (uint64_t p = 0; p < length && length - p >= kMinRecordSpan; ++p)
    if (CatalogRecordCandidate(start + p, size_t(length - p), type)) return start + p;
  return nullptr;
}

bool isCatalogRecordAt(const uint8_t* r, size_t remaining) {
  layout::HFSPlusCatalogKey k;
  if (!r || !layout::DecodeHFSPlusCatalogKey(r, remaining, &k) || !layout::HFSPlusCatalogKeySound(k)) return false;
  size_t at = 2 + size_t(k.keyLength);
  if (at > remaining) return false;
  // Only folder and file records decode, and only when their fixed part is there.
  layout::HFSPlusCatalogEntry e;
  return layout::DecodeHFSPlusCatalogEntry(r + at, remaining - at, &e);
}

int scanJournalGap(_hfsplus_tree* catalog, const uint8_t* gap, uint64_t length) {
  if (!gap) return -1;
  uint64_t p = 0;
  while (p < length) {
    uint16_t type = 0;
    const uint8_t* r = findCatalogRecordInGap(gap + p, length - p, &type);
    if (!r) break;
    uint64_t at = uint64_t(r - gap);
    size_t remaining = size_t(length - at);
    size_t consumed = 0;
    // A candidate that is cut short by the gap's end may still hide a shorter record
    // behind it: the search goes on from the next byte.
    if (isCatalogRecordAt(r, remaining) && parseRecordFragment(catalog, r, remaining, &consumed) == 1)
      p = at + consumed;
    else
      p = at + 1;
  }
  return 1;
}

int sumBlockSizes(const uint8_t* tx, uint32_t bytesUsed, uint32_t n, uint64_t* offset) {
  if (!tx || !offset) return -1;
  layout::block_info info;
  for (uint32_t k = 1; k <= n; ++k) {
    if (!layout::DecodeBlockInfo(tx, bytesUsed, k, &info)) return -1;
    *offset += info.bsize;
  }
  return 0;
}

// A transaction: block_list_header, block_info entries, then the blocks back to back.
int parseBlocks(_hfsplus_tree* catalog, const uint8_t* tx, uint32_t bytesUsed, uint64_t journalOffset) {
  layout::block_list_header list;
  if (!tx || !layout::DecodeBlockListHeader(tx, bytesUsed, &list)) return -1;
  uint16_t numBlocks = list.num_blocks;
  if (numBlocks < 2) return 0;
  uint64_t tableEnd = layout::kBlockInfoOffset + uint64_t(layout::kBlockInfoSize) * numBlocks;
  if (tableEnd > bytesUsed) return -1;
  uint64_t total = 0;
  if (sumBlockSizes(tx, bytesUsed, numBlocks - 1u, &total) != 0 || total > bytesUsed - tableEnd) return -1;
  uint64_t at = bytesUsed - total;
  layout::block_info info;
  for (uint32_t k = 1; k < numBlocks; ++k) {
    if (!layout::DecodeBlockInfo(tx, bytesUsed, k, &info)) break;
    uint32_t bsize = info.bsize;
    if (bsize > bytesUsed - at) break;
    const uint8_t* block = tx + at;
    BTNodeDescriptor d;
    uint16_t first = 0;
    if (layout::BTValidNodeSize(bsize) && layout::BTRecordOffset(block, bsize, 0, &first) &&
        first == layout::kBTNodeDescriptorSize && layout::DecodeBTNodeDescriptor(block, bsize, &d) &&
        d.kind == kBTLeafNode)
      parseBTreeNode(catalog, block, bsize, 0, "parseBlocks", journalOffset + at);
    at += bsize;
  }
  return 0;
}

void replaceSlashInName(char16_t* units, size_t count) {
  for (size_t i = 0; units && i < count; ++i)
    if (units[i] == u'/') units[i] = u':';
}

namespace {

// The first two kept folder records of each CNID, in map order: several journal copies of
// one folder (a folder moved or renamed) give its files more than one path. Built once per
// path pass, so that every parent step is one look-up rather than a walk over the map.
struct FolderCopies {
  _RecordNode* first = nullptr;
  _RecordNode* second = nullptr;
};
std::unordered_map<uint32_t, FolderCopies> gFolderIndex;

void IndexFolders() {
  gFolderIndex.clear();
  for (auto& e : gRecordNodeMap) {
    if (e.second->recordType != kHfsPlusFolderRecord) continue;
    FolderCopies& c = gFolderIndex[e.first.cnid];
    if (!c.first)
      c.first = e.second;
    else if (!c.second)
      c.second = e.second;
  }
}

}  // namespace

// The live catalog's thread record of a folder gives its parent and name.
bool resolveParentChain(_hfsplus_tree* catalog, uint32_t cnid, uint32_t* parent, std::u16string* name) {
  if (catalog && !catalog->opened && catalog->leaves) {
    auto it = catalog->leaves->folders.find(cnid);
    if (it == catalog->leaves->folders.end()) return false;
    *parent = it->second.first;
    *name = it->second.second;
    return true;
  }
  if (!catalog || !catalog->opened) return false;
  uint8_t key[8];
  hfsplus_make_cat_key(key, sizeof key, cnid, nullptr, 0);
  uint8_t data[520];
  uint32_t len = sizeof data;
  if (hfsplus_btfind_exact(catalog, key, sizeof key, data, &len, 0, "consNodePath") != 1) return false;
  // The name is taken as far as it is there; only the type and the parent must be.
  uint16_t type = 0;
  if (len < layout::kHFSPlusCatalogThreadMinSize || !ReadBe16(data, len, offsetof(CatalogThread, recordType), &type) ||
      type != kHfsPlusFolderThreadRecord || !ReadBe32(data, len, offsetof(CatalogThread, parentID), parent))
    return false;
  const size_t nameAt = offsetof(CatalogThread, nodeName);
  uint16_t units = hfsNameUnitsPresent(data + nameAt, len - nameAt);
  name->clear();
  for (uint16_t i = 0; i < units; ++i) {
    uint16_t unit = 0;
    if (!layout::HFSPlusNameUnit(data, len, layout::kHFSPlusCatalogThreadNameOffset, i, &unit)) break;
    *name += char16_t(unit);
  }
  replaceSlashInName(&(*name)[0], name->size());
  return true;
}

bool RecordNodeKey::operator<(const RecordNodeKey& o) const {
  if (cnid != o.cnid) return cnid < o.cnid;
  uint8_t a[4 + 2 + 510], b[4 + 2 + 510];
  memcpy(a, &parentID, 4);
  memcpy(a + 4, &nameLength, 2);
  memcpy(a + 6, name, 510);
  memcpy(b, &o.parentID, 4);
  memcpy(b + 4, &o.nameLength, 2);
  memcpy(b + 6, o.name, 510);
  return hfsplus_name_key_cmp(a, sizeof a, b, sizeof b) < 0;
}

bool isJournaled(uint32_t attributes) { return (attributes >> 13) & 1; }

uint32_t journalChecksum(const uint8_t* bytes, size_t count) {
  uint32_t h = 0;
  for (size_t i = 0; i < count; ++i) h = (h << 8) ^ (h + bytes[i]);
  return ~h;
}

uint32_t getRecordCnid(const _RecordNode* rec) {
  if (!rec || (rec->recordType != kHfsPlusFolderRecord && rec->recordType != kHfsPlusFileRecord)) return 0;
  return BodyBe32(rec, offsetof(CatalogFile, fileID));  // the folder's id sits there too
}
uint64_t recordDataSize(const _RecordNode* rec) {
  uint64_t size = 0;
  if (rec && rec->recordType == kHfsPlusFileRecord)
    kbytes::ReadBe64(rec->body, sizeof rec->body, offsetof(CatalogFile, dataFork) - kBodyAt, &size);
  return size;
}
int hasInvalidRecordDates(const _RecordNode* rec) {
  if (!rec) return -1;
  for (size_t off = offsetof(CatalogFile, createDate); off <= offsetof(CatalogFile, accessDate); off += 4)
    if (BodyBe32(rec, off) < kHfsEpochDelta) return 1;
  return 0;
}

uint16_t getRecordOffset(const uint8_t* node, size_t nodeSize, uint16_t i, uint16_t* offset) {
  uint16_t off = 0, next = 0;
  if (offset) *offset = 0;
  if (!node || !offset || !layout::BTRecordOffset(node, nodeSize, i, &off)) return 0;
  *offset = off;
  if (!layout::BTRecordOffset(node, nodeSize, uint32_t(i) + 1, &next) || next < off) return 0;
  return uint16_t(next - off);
}

int parseBTreeNode(_hfsplus_tree* catalog, const uint8_t* node, size_t nodeSize, int flags, const char* caller,
                   uint64_t journalOffset) {
  (void)flags;
  (void)caller;
  (void)journalOffset;
  const size_t descBytes = layout::kBTNodeDescriptorSize;
  BTNodeDescriptor d;
  uint16_t first = 0;
  if (!node || nodeSize < 512 || !layout::BTRecordOffset(node, nodeSize, 0, &first) || first != descBytes ||
      !layout::DecodeBTNodeDescriptor(node, nodeSize, &d))
    return -1;
  uint16_t numRecords = d.numRecords;
  if ((size_t(numRecords) + 1) * 2 > nodeSize - descBytes) return -1;
  size_t tableStart = nodeSize - 2 * (size_t(numRecords) + 1);
  for (uint16_t i = 0; i < numRecords; ++i) {
    // A record is bounded by the offset table, not by the next record's offset, which a
    // journal copy of a node being rewritten need not keep.
    uint16_t off = 0;
    getRecordOffset(node, nodeSize, i, &off);
    if (off < descBytes || off >= tableStart) continue;
    size_t consumed = 0;
    parseRecordFragment(catalog, node + off, tableStart - off, &consumed);
  }
  return 0;
}

int walkJournalImage(_hfsplus_tree* catalog, const uint8_t* image, uint64_t size, INotifySink* sink) {
  layout::journal_header jh;
  if (!image || !layout::DecodeJournalHeader(image, size_t(std::min<uint64_t>(size, SIZE_MAX)), &jh)) return -1;
  uint64_t pos = jh.jhdr_size;
  if (pos == 0 || pos >= size) pos = 512;
  uint64_t gapStart = UINT64_MAX;
  const bool debug = hfsplus_debug_output_on();
  int step = 0;
  while (pos < size) {
    if (gapStart == UINT64_MAX) gapStart = pos;
    if (debug) {
      hfsplus_debug_text("%d\n", step++);
      hfsplus_debug_text("[HFSP] \t\t\t\t\t   analyze journal buffer posision:%%%" PRId64 "\n", int64_t(pos * 100 / size));
    }
    if (sink && sink->Notify(4, int64_t(pos * 20 / size), 0, nullptr) != 0) return 2;
    if (size - pos < layout::kBlockListChecksumBytes) break;
    uint8_t hdr[layout::kBlockListChecksumBytes];
    memcpy(hdr, image + pos, sizeof hdr);
    layout::block_list_header list;
    if (!layout::DecodeBlockListHeader(hdr, sizeof hdr, &list)) break;
    memset(hdr + layout::kBlockListChecksumOffset, 0, sizeof list.checksum);
    uint32_t bytesUsed = list.bytes_used;
    // A header whose sum is right but whose size cannot hold its own block table is as
    // good as no header: the walk moves on rather than stand still.
    bool valid = journalChecksum(hdr, sizeof hdr) == list.checksum && bytesUsed >= sizeof hdr &&
                 uint64_t(bytesUsed) >= layout::kBlockInfoOffset + uint64_t(layout::kBlockInfoSize) * list.num_blocks;
    if (!valid) {
      pos += 512;
      continue;
    }
    if (bytesUsed > size - pos) {
      if (size - gapStart >= kJournalGapThreshold) scanJournalGap(catalog, image + gapStart, size - gapStart);
      gapStart = UINT64_MAX;
      break;
    }
    if (pos - gapStart >= kJournalGapThreshold) scanJournalGap(catalog, image + gapStart, pos - gapStart);
    gapStart = UINT64_MAX;
    parseBlocks(catalog, image + pos, bytesUsed, pos);
    pos += bytesUsed;
  }
  // The circular journal's tail past its last sound header still holds records of older
  // transactions: the gap still open there is scanned like any other.
  if (gapStart != UINT64_MAX && gapStart < size && size - gapStart >= kJournalGapThreshold)
    scanJournalGap(catalog, image + gapStart, size - gapStart);
  return 0;
}

bool findParentRecord(_RecordNode** first, _RecordNode** second, uint32_t parentCnid) {
  auto it = gFolderIndex.find(parentCnid);
  if (first) *first = it == gFolderIndex.end() ? nullptr : it->second.first;
  if (second) *second = it == gFolderIndex.end() ? nullptr : it->second.second;
  return it != gFolderIndex.end();
}

std::u16string makeRecordName(const _RecordNode* rec) {
  std::u16string s;
  if (!rec) return s;
  uint16_t n = StoredBe16(rec->nameLength);
  if (n > kHfsMaxNameUnits) n = kHfsMaxNameUnits;
  for (uint16_t i = 0; i < n; ++i) s += char16_t(StoredBe16(rec->name[i]));
  replaceSlashInName(&s[0], s.size());
  // Names that would walk out of their folder are kept visible but harmless.
  if (s == u".") s = u"_";
  if (s == u"..") s = u"__";
  return s;
}

namespace {

// The folders above a record, outermost first, below `prefix`, or below prefix + "/Lost
// Location" when the chain does not reach the root folder. Kept folder copies come first,
// then the live catalog; a repeat or a depth past the cap ends the chain in the orphan
// folder. With `second` every step takes a folder's second kept copy where it has one;
// *forked tells whether any step had one. The first walk also records each record's parent
// links and state.
std::u16string WalkUp(_hfsplus_tree* catalog, _RecordNode* rec, bool second, bool* forked,
                      const std::u16string& prefix) {
  std::vector<std::u16string> names;
  std::set<uint32_t> seen;
  _RecordNode* tail = rec;
  uint32_t parent = StoredBe32(rec->parentID);
  bool rooted = false;
  for (int depth = 0; depth < kMaxPathDepth; ++depth) {
    if (parent == kHfsRootFolderID) {
      rooted = true;
      break;
    }
    if (parent < 16 || !seen.insert(parent).second) break;
    _RecordNode* first = nullptr;
    _RecordNode* other = nullptr;
    if (findParentRecord(&first, &other, parent)) {
      if (other && forked) *forked = true;
      _RecordNode* f = second && other ? other : first;
      if (tail && !second) {
        tail->first = first;
        tail->second = other;
        tail->state = kRecParentKept;
      }
      names.push_back(makeRecordName(f));
      tail = f;
      parent = StoredBe32(f->parentID);
      continue;
    }
    uint32_t up = 0;
    std::u16string n;
    if (!resolveParentChain(catalog, parent, &up, &n)) break;
    if (tail && !second) tail->state = kRecParentLive;
    tail = nullptr;  // above here only the live catalog speaks
    names.push_back(n == u"." ? u"_" : n == u".." ? u"__" : n);
    parent = up;
  }
  std::u16string folder = prefix;
  if (!rooted) {
    if (tail && !second) tail->state = kRecOrphan;
    folder += u"/Lost Location";
  }
  for (auto it = names.rbegin(); it != names.rend(); ++it) folder += u"/" + *it;
  return folder;
}

}  // namespace

int makeRecordPath(_hfsplus_tree* catalog, _RecordNode* rec, std::u16string* path, std::u16string* secondPath,
                   const std::u16string& prefix) {
  bool forked = false;
  *path = WalkUp(catalog, rec, false, &forked, prefix);
  secondPath->clear();
  if (forked) {
    *secondPath = WalkUp(catalog, rec, true, nullptr, prefix);
    if (*secondPath == *path) secondPath->clear();
  }
  return 1;
}

int reportRecoveredFiles(_hfsplus_tree* catalog, _RecordNode* rec, const JournalFileSink& report) {
  if (!rec || rec->recordType != kHfsPlusFileRecord || !report) return 0;
  std::u16string folder, other;
  makeRecordPath(catalog, rec, &folder, &other, u"/Volume");
  return report(folder, other, makeRecordName(rec), rec);
}

int consNodePath(_hfsplus_tree* catalog, INotifySink* sink, const JournalFileSink& report) {
  size_t total = gRecordNodeMap.size(), count = 0;
  IndexFolders();
  const bool debug = hfsplus_debug_output_on();
  for (auto& e : gRecordNodeMap) {
    if (sink && sink->Notify(1, 0, 0, nullptr) != 0) return -79;
    _RecordNode* rec = e.second;
    ++count;
    if (debug) {
      unsigned address = unsigned(reinterpret_cast<uintptr_t>(rec));
      if (e.first.cnid == kHfsRootFolderID)
        hfsplus_debug_text("[HFSP][consNodePath]================================================"
                           "currentItem/allItem %d/%d  0x%X\n",
                           int(count), int(total), address);
      else
        hfsplus_debug_text("[HFSP][consNodePath]================================================"
                           "currentItem/allItem %d/%d  0x%x\n",
                           int(count), int(total), address);
    }
    if (sink && total && sink->Notify(4, int64_t(20 + count * 80 / total), 0, nullptr) != 0) return -79;
    if (reportRecoveredFiles(catalog, rec, report) != 0) return -79;
  }
  return 0;
}

int analyzeJournal(_hfsplus_tree* catalog, const HfspVolume* volume, INotifySink* sink,
                   const JournalFileSink& report) {
  if (!catalog || !volume || !isJournaled(volume->attributes)) return -1;
  uint64_t bs = volume->blockSize;
  if (bs < 512 || !kbytes::IsPowerOfTwo(bs)) return -1;
  uint64_t volumeBytes = uint64_t(volume->totalBlocks) * bs;
  uint8_t jib[layout::kJournalInfoBlockSize];
  layout::JournalInfoBlock info;
  if (hfsplus_read_device(catalog->device, uint64_t(volume->journalInfoBlock) * bs, sizeof jib, jib) != int(sizeof jib) ||
      !layout::DecodeJournalInfoBlock(jib, sizeof jib, &info))
    return -1;
  uint64_t offset = info.offset, size = info.size;

  TrackedBuffer image;
  if (FILE* f = fopen("debug_journal.j", "rb")) {
    long len = -1;
    if (fseek(f, 0, SEEK_END) == 0) len = ftell(f);
    if (len > 0 && uint64_t(len) <= kMaxJournalBytes && fseek(f, 0, SEEK_SET) == 0) {
      size = uint64_t(len);
      image.p = static_cast<uint8_t*>(HFS_MALLOC(size_t(size)));
      if (!image.p || fread(image.p, 1, size_t(size), f) != size_t(size)) {
        fclose(f);
        return -1;
      }
    }
    fclose(f);
    if (!image.p) return -1;
  } else {
    // The journal must lie inside the volume and be of a size we can hold.
    if (size < 512 || size > kMaxJournalBytes || !kbytes::RangeInside(offset, size, volumeBytes)) return -1;
    image.p = static_cast<uint8_t*>(HFS_MALLOC(size_t(size)));
    if (!image.p) return -1;
    if (size > UINT32_MAX ||
        hfsplus_read_device(catalog->device, offset, uint32_t(size), image.p) != int(uint32_t(size)))
      return -1;
  }
  if (walkJournalImage(catalog, image.p, size, sink) == 2) return 2;
  int rc = consNodePath(catalog, sink, report);
  hfsplus_name_nodes_free();
  return rc;
}

void freeRecordNodeList() {
  for (_RecordNode* r : gRecordNodeList) trackedFree(r);
  gRecordNodeList.clear();
}

void freeRecordNodeMap() {
  gFolderIndex.clear();
  for (auto& e : gRecordNodeMap) trackedFree(e.second);
  gRecordNodeMap.clear();
}

size_t recordNodeCount() { return gRecordNodeMap.size(); }
const std::map<RecordNodeKey, _RecordNode*>& recordNodeMap() { return gRecordNodeMap; }
