#include "scanoperate/hfsp/journal.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <unordered_map>
#include <vector>

#include "common/inc/bytes.h"
#include "common/inc/inotifysink.h"
#include "scanoperate/hfsp/namecmp.h"
#include "scanoperate/hfsp/trackedalloc.h"

using kbytes::Be16;
using kbytes::Be32;
using kbytes::Be64;
using kbytes::Fits;

namespace {

std::map<RecordNodeKey, _RecordNode*> gRecordNodeMap;

const size_t kFolderBody = 86;
const size_t kFileBody = 246;
const int kMaxPathDepth = 256;

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

// A file record already kept under the same key: the copy with more data wins; with equal
// sizes the newer copy replaces one whose dates are implausible.
bool IsExitRecordNode(const _RecordNode* rec) {
  auto it = gRecordNodeMap.find(KeyOf(rec));
  if (it == gRecordNodeMap.end()) return false;
  _RecordNode* stored = it->second;
  if (rec->recordType == kHfsPlusFileRecord && stored->recordType == kHfsPlusFileRecord) {
    uint64_t a = recordDataSize(rec), b = recordDataSize(stored);
    if (a > b || (a == b && hasInvalidRecordDates(stored) == 1))
      memcpy(stored->body, rec->body, kFileBody);
  }
  return true;
}

bool DatesPlausible(const uint8_t* rec) {
  for (int off = 12; off <= 24; off += 4)
    if (Be32(rec + off) < kHfsEpochDelta) return false;
  return true;
}

// Takes one catalog record (key at p, `avail` bytes from p) into the map when the live
// catalog no longer has it. Returns the bytes it spans, or 0 when it is not a record.
size_t TakeRecord(_hfsplus_tree* catalog, const uint8_t* p, size_t avail) {
  if (avail < 8) return 0;
  uint16_t keyLength = Be16(p);
  if (keyLength < 6 || keyLength > 516 || !Fits(avail, 2, size_t(keyLength) + 2)) return 0;
  uint16_t nameLength = Be16(p + 6);
  if (nameLength > kHfsMaxNameUnits || 6 + 2 * size_t(nameLength) > keyLength) return 0;
  if (nameLength && Be16(p + 8) == 0) return 0;
  uint16_t type = Be16(p + 2 + keyLength);
  size_t bodyLen = type == kHfsPlusFolderRecord ? kFolderBody : type == kHfsPlusFileRecord ? kFileBody : 0;
  if (!bodyLen) return 0;
  size_t span = 2 + size_t(keyLength) + 2 + bodyLen;
  if (span > avail) return 0;

  if (type != kHfsPlusFolderRecord && catalog && catalog->opened) {
    uint8_t key[kHfsMaxCatalogKeyBytes];
    size_t kb = 8 + 2 * size_t(nameLength);
    kbytes::PutBe16(key, uint16_t(kb - 2));
    memcpy(key + 2, p + 2, kb - 2);
    uint8_t data[520];
    uint32_t len = sizeof data;
    if (hfsplus_btfind_exact(catalog, key, kb, data, &len, 0, "parseBTreeNode") == 1) return span;
  }
  _RecordNode* rec = static_cast<_RecordNode*>(HFS_MALLOC(sizeof(_RecordNode)));
  if (!rec) return span;
  memset(rec, 0, sizeof *rec);
  memcpy(&rec->parentID, p + 2, 4);
  memcpy(&rec->nameLength, p + 6, 2);
  memcpy(rec->name, p + 8, 2 * size_t(nameLength));
  rec->recordType = type;
  memcpy(rec->body, p + 2 + keyLength + 2, bodyLen);
  if (IsExitRecordNode(rec)) {
    trackedFree(rec);
    return span;
  }
  gRecordNodeMap[KeyOf(rec)] = rec;
  return span;
}

bool LooksLikeRecordAt(const uint8_t* r, size_t avail) {
  if (avail < 94) return false;
  uint16_t keyLength = Be16(r);
  if (keyLength < 6 || keyLength > 516) return false;
  if (keyLength != 2 * size_t(Be16(r + 6)) + 6) return false;
  if (!Fits(avail, 2 + size_t(keyLength), 2)) return false;
  const uint8_t* rec = r + 2 + keyLength;
  size_t left = avail - 2 - keyLength;
  uint16_t type = Be16(rec);
  size_t need = type == kHfsPlusFolderRecord ? 88 : type == kHfsPlusFileRecord ? 248 : 0;
  return need && left >= need && DatesPlausible(rec);
}

void ScanJournalGap(_hfsplus_tree* catalog, const uint8_t* gap, uint64_t length) {
  uint64_t p = 0;
  while (p + 94 <= length) {
    const uint8_t* r = gap + p;
    size_t avail = size_t(length - p);
    if (LooksLikeRecordAt(r, avail)) {
      size_t used = TakeRecord(catalog, r, avail);
      p += used ? used : 1;
    } else {
      ++p;
    }
  }
}

// A transaction: block_list_header, block_info entries, then the blocks back to back.
void ParseBlocks(_hfsplus_tree* catalog, const uint8_t* tx, uint32_t bytesUsed) {
  uint16_t numBlocks = kbytes::Le16(tx + 2);
  if (numBlocks < 2) return;
  uint64_t tableEnd = 16 + 16ull * numBlocks;
  if (tableEnd > bytesUsed) return;
  uint64_t total = 0;
  for (uint32_t k = 1; k < numBlocks; ++k) total += kbytes::Le32(tx + 16 + 16 * k + 8);
  if (total > bytesUsed - tableEnd) return;
  uint64_t at = bytesUsed - total;
  for (uint32_t k = 1; k < numBlocks; ++k) {
    uint32_t bsize = kbytes::Le32(tx + 16 + 16 * k + 8);
    if (bsize > bytesUsed - at) break;
    const uint8_t* block = tx + at;
    if (bsize >= 512 && bsize <= 32768 && kbytes::IsPowerOfTwo(bsize) && Be16(block + bsize - 2) == 14 &&
        int8_t(block[8]) == kBTLeafNode)
      parseBTreeNode(catalog, block, bsize);
    at += bsize;
  }
}

std::u16string NameText(const _RecordNode* r) {
  uint16_t n = Be16(reinterpret_cast<const uint8_t*>(&r->nameLength));
  if (n > kHfsMaxNameUnits) n = kHfsMaxNameUnits;
  std::u16string s;
  for (uint16_t i = 0; i < n; ++i) {
    char16_t c = char16_t(Be16(reinterpret_cast<const uint8_t*>(&r->name[i])));
    s += c == u'/' ? u':' : c;
  }
  // Names that would walk out of their folder are kept visible but harmless.
  if (s == u".") s = u"_";
  if (s == u"..") s = u"__";
  return s;
}

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

// The live catalog's thread record of a folder gives its parent and name.
bool LiveFolder(_hfsplus_tree* catalog, uint32_t cnid, uint32_t* parent, std::u16string* name) {
  if (!catalog || !catalog->opened) return false;
  uint8_t key[8];
  hfsplus_make_cat_key(key, sizeof key, cnid, nullptr, 0);
  uint8_t data[520];
  uint32_t len = sizeof data;
  if (hfsplus_btfind_exact(catalog, key, sizeof key, data, &len, 0, "consNodePath") != 1) return false;
  if (len < 10 || Be16(data) != kHfsPlusFolderThreadRecord) return false;
  *parent = Be32(data + 4);
  uint16_t units = hfsNameUnitsPresent(data + 8, len - 8);
  name->clear();
  for (uint16_t i = 0; i < units; ++i) {
    char16_t c = char16_t(Be16(data + 10 + 2 * i));
    *name += c == u'/' ? u':' : c;
  }
  return true;
}

}  // namespace

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
  return Be32(rec->body + 6);  // record offset 8, less the 2-byte type
}
uint64_t recordDataSize(const _RecordNode* rec) {
  return rec && rec->recordType == kHfsPlusFileRecord ? Be64(rec->body + 86) : 0;
}
int hasInvalidRecordDates(const _RecordNode* rec) {
  if (!rec) return -1;
  for (int off = 10; off <= 22; off += 4)
    if (Be32(rec->body + off) < kHfsEpochDelta) return 1;
  return 0;
}

int parseBTreeNode(_hfsplus_tree* catalog, const uint8_t* node, size_t nodeSize) {
  if (!node || nodeSize < 512 || Be16(node + nodeSize - 2) != 14) return -1;
  uint16_t numRecords = Be16(node + 10);
  if ((size_t(numRecords) + 1) * 2 > nodeSize - 14) return -1;
  size_t tableStart = nodeSize - 2 * (size_t(numRecords) + 1);
  for (uint16_t i = 0; i < numRecords; ++i) {
    size_t off = Be16(node + nodeSize - 2 * (size_t(i) + 1));
    if (off < 14 || off >= tableStart) continue;
    TakeRecord(catalog, node + off, tableStart - off);
  }
  return 0;
}

int walkJournalImage(_hfsplus_tree* catalog, const uint8_t* image, uint64_t size, INotifySink* sink) {
  if (!image || size < 44) return -1;
  uint64_t pos = kbytes::Le32(image + 40);  // jhdr_size
  if (pos == 0 || pos >= size) pos = 512;
  uint64_t gapStart = UINT64_MAX;
  while (pos < size) {
    if (gapStart == UINT64_MAX) gapStart = pos;
    if (sink && sink->Notify(4, int64_t(pos * 20 / size), 0, nullptr) != 0) return 2;
    if (size - pos < 32) break;
    uint8_t hdr[32];
    memcpy(hdr, image + pos, 32);
    uint32_t stored = kbytes::Le32(hdr + 8);
    memset(hdr + 8, 0, 4);
    uint32_t bytesUsed = kbytes::Le32(hdr + 4);
    uint16_t numBlocks = kbytes::Le16(hdr + 2);
    // A header whose sum is right but whose size cannot hold its own block table is as
    // good as no header: the walk moves on rather than stand still.
    bool valid = journalChecksum(hdr, 32) == stored && bytesUsed >= 32 &&
                 uint64_t(bytesUsed) >= 16 + 16ull * numBlocks;
    if (!valid) {
      pos += 512;
      continue;
    }
    if (bytesUsed > size - pos) {
      if (size - gapStart >= kJournalGapThreshold) ScanJournalGap(catalog, image + gapStart, size - gapStart);
      gapStart = UINT64_MAX;
      break;
    }
    if (pos - gapStart >= kJournalGapThreshold) ScanJournalGap(catalog, image + gapStart, pos - gapStart);
    gapStart = UINT64_MAX;
    ParseBlocks(catalog, image + pos, bytesUsed);
    pos += bytesUsed;
  }
  // The circular journal's tail past its last sound header still holds records of older
  // transactions: the gap still open there is scanned like any other.
  if (gapStart != UINT64_MAX && gapStart < size && size - gapStart >= kJournalGapThreshold)
    ScanJournalGap(catalog, image + gapStart, size - gapStart);
  return 0;
}

bool findParentRecord(_RecordNode** first, _RecordNode** second, uint32_t parentCnid) {
  auto it = gFolderIndex.find(parentCnid);
  if (first) *first = it == gFolderIndex.end() ? nullptr : it->second.first;
  if (second) *second = it == gFolderIndex.end() ? nullptr : it->second.second;
  return it != gFolderIndex.end();
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
  uint32_t parent = Be32(reinterpret_cast<const uint8_t*>(&rec->parentID));
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
      names.push_back(NameText(f));
      tail = f;
      parent = Be32(reinterpret_cast<const uint8_t*>(&f->parentID));
      continue;
    }
    uint32_t up = 0;
    std::u16string n;
    if (!LiveFolder(catalog, parent, &up, &n)) break;
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

int consNodePath(_hfsplus_tree* catalog, INotifySink* sink, const JournalFileSink& report) {
  size_t total = gRecordNodeMap.size(), count = 0;
  IndexFolders();
  std::u16string folder, other;
  for (auto& e : gRecordNodeMap) {
    if (sink && sink->Notify(1, 0, 0, nullptr) != 0) return -79;
    _RecordNode* rec = e.second;
    ++count;
    if (sink && total && sink->Notify(4, int64_t(20 + count * 80 / total), 0, nullptr) != 0) return -79;
    if (rec->recordType != kHfsPlusFileRecord) continue;
    makeRecordPath(catalog, rec, &folder, &other, u"/Volume");
    if (report && report(folder, other, NameText(rec), rec) != 0) return -79;
  }
  return 0;
}

int analyzeJournal(_hfsplus_tree* catalog, const HfspVolume* volume, INotifySink* sink,
                   const JournalFileSink& report) {
  if (!catalog || !volume || !isJournaled(volume->attributes)) return -1;
  uint64_t bs = volume->blockSize;
  if (bs < 512 || !kbytes::IsPowerOfTwo(bs)) return -1;
  uint64_t volumeBytes = uint64_t(volume->totalBlocks) * bs;
  uint8_t jib[180];
  if (hfsplus_read_device(catalog->device, uint64_t(volume->journalInfoBlock) * bs, 180, jib) != 180)
    return -1;
  uint64_t offset = Be64(jib + 36), size = Be64(jib + 44);

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
  return consNodePath(catalog, sink, report);
}

void freeRecordNodeList() {}

void freeRecordNodeMap() {
  gFolderIndex.clear();
  for (auto& e : gRecordNodeMap) trackedFree(e.second);
  gRecordNodeMap.clear();
}

size_t recordNodeCount() { return gRecordNodeMap.size(); }
const std::map<RecordNodeKey, _RecordNode*>& recordNodeMap() { return gRecordNodeMap; }
