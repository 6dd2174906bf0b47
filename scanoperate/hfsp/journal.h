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
int parseBTreeNode(_hfsplus_tree* catalog, const uint8_t* node, size_t nodeSize);
uint32_t getRecordCnid(const _RecordNode* rec);
uint64_t recordDataSize(const _RecordNode* rec);
int hasInvalidRecordDates(const _RecordNode* rec);
void freeRecordNodeList();
void freeRecordNodeMap();
size_t recordNodeCount();
const std::map<RecordNodeKey, _RecordNode*>& recordNodeMap();
