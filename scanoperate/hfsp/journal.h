// Mining the HFS+ journal for deleted catalog records: the journal still holds copies of
// catalog leaf nodes (and fragments of them) written before records were removed.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "scanoperate/hfsp/btree.h"

class INotifySink;

const uint32_t kHfsEpochDelta = 2082844800u;
const uint32_t kHfsRootFolderID = 2;
const size_t kJournalGapThreshold = 95;
// The largest journal the miner takes into memory.
const uint64_t kMaxJournalBytes = 1ull << 30;

struct _RecordNode {
  uint32_t parentID;     // big-endian, as on disk
  uint16_t nameLength;   // big-endian
  uint16_t name[255];    // big-endian units
  uint16_t recordType;   // host order
  uint8_t body[246];     // the record after its type field
  uint32_t state;
  _RecordNode* first;
  _RecordNode* second;
};

struct RecordNodeKey {
  uint32_t parentID;
  uint16_t nameLength;
  uint16_t name[255];
  uint32_t cnid;
  bool operator<(const RecordNodeKey& o) const;
};

enum RecordState : uint32_t { kRecUnvisited = 0, kRecOrphan = 1, kRecParentKept = 2, kRecParentLive = 4, kRecRoot = 8 };

// A found file as the miner hands it on: its folder path below the volume ("/Volume/..."
// or "/Volume/Lost Location/..."), a second folder path when a folder on the way has a
// second kept copy (else empty), its name and its record.
typedef std::function<int(const std::u16string& folder, const std::u16string& secondFolder,
                          const std::u16string& name, const _RecordNode* record)>
    JournalFileSink;

int analyzeJournal(_hfsplus_tree* catalog, const HfspVolume* volume, INotifySink* sink,
                   const JournalFileSink& report);
// The walk over a journal already in memory (also what the fuzzer drives).
int walkJournalImage(_hfsplus_tree* catalog, const uint8_t* image, uint64_t size, INotifySink* sink);
int consNodePath(_hfsplus_tree* catalog, INotifySink* sink, const JournalFileSink& report);
// The first and second kept folder record of that CNID (map order); false when none.
// Answers from the index that consNodePath builds.
bool findParentRecord(_RecordNode** first, _RecordNode** second, uint32_t parentCnid);
// The record's folder path below prefix, and a second one when a folder on the way has a
// second kept copy (else empty); 1.
int makeRecordPath(_hfsplus_tree* catalog, _RecordNode* rec, std::u16string* path, std::u16string* secondPath,
                   const std::u16string& prefix);

bool isJournaled(uint32_t attributes);
uint32_t journalChecksum(const uint8_t* bytes, size_t count);
// The catalog leaf nodes among the blocks of one transaction of bytesUsed bytes (header
// included) at tx; journalOffset is where tx sits in the journal. 0, or -1 when the
// header's block table does not fit.
int parseBlocks(_hfsplus_tree* catalog, const uint8_t* tx, uint32_t bytesUsed, uint64_t journalOffset);
// Adds the bsize of block_info entries 1..n of the transaction at tx to *offset; -1 when an
// entry lies past bytesUsed.
int sumBlockSizes(const uint8_t* tx, uint32_t bytesUsed, uint32_t n, uint64_t* offset);
// Offset of record i from the node's offset table into *offset (0 when there is none) and
// the record's length up to the next offset (0 when that does not follow it).
uint16_t getRecordOffset(const uint8_t* node, size_t nodeSize, uint16_t i, uint16_t* offset);
// Every record of a catalog leaf node; flags, caller and journalOffset say where it came from.
// 0, or -1 when the buffer is not a leaf node.
int parseBTreeNode(_hfsplus_tree* catalog, const uint8_t* node, size_t nodeSize, int flags = 0,
                   const char* caller = "parseBTreeNode", uint64_t journalOffset = 0);
// Takes the catalog records that bytes between transactions still hold; 1, or -1 for no gap.
int scanJournalGap(_hfsplus_tree* catalog, const uint8_t* gap, uint64_t length);
// The first place in [start, start + length) where a folder or file record can begin (a key
// with nothing after its name, then four dates after 1970), with its type; null when none.
const uint8_t* findCatalogRecordInGap(const uint8_t* start, uint64_t length, uint16_t* type);
// Whether the key at r and the fixed part of its folder or file record fit in remaining bytes.
bool isCatalogRecordAt(const uint8_t* r, size_t remaining);
// One catalog record (key at p) into the record map unless the live catalog still has it
// or the map holds a copy. 1 when it was kept, else 0; *consumed (key field, key and
// record) is set for any folder or file record.
int parseRecordFragment(_hfsplus_tree* catalog, const uint8_t* p, size_t avail, size_t* consumed);
// 1 when an equal key is already kept (a larger copy of a file record replaces the kept
// one's body), else 0.
int isExitRecordNode(const _RecordNode* rec);
// The live catalog's folder thread record of cnid: its parent and its name (with "/" shown
// as ":"); false when the catalog has none.
bool resolveParentChain(_hfsplus_tree* catalog, uint32_t cnid, uint32_t* parent, std::u16string* name);
// Hands one kept file record to `report` with its folder paths and name; report's answer.
int reportRecoveredFiles(_hfsplus_tree* catalog, _RecordNode* rec, const JournalFileSink& report);
// The record's name in host order, "/" shown as ":"; "." and ".." made harmless.
std::u16string makeRecordName(const _RecordNode* rec);
void replaceSlashInName(char16_t* units, size_t count);
uint32_t getRecordCnid(const _RecordNode* rec);
uint64_t recordDataSize(const _RecordNode* rec);
int hasInvalidRecordDates(const _RecordNode* rec);
void freeRecordNodeList();
void freeRecordNodeMap();
size_t recordNodeCount();
const std::map<RecordNodeKey, _RecordNode*>& recordNodeMap();
