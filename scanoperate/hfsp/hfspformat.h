// Rebuilds the files of a reformatted or damaged HFS+ volume from the catalog leaf nodes
// that survive on the device, without trusting the volume header's catalog fork.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "filesystems/format/format.h"
#include "graphfs/graphfeeder.h"
#include "scanoperate/hfsp/btree.h"

// One extents-overflow record as found: its key and eight extents, host order.
struct ArgAddHFSPlusExtents {
  HFSPlusExtentKey key;
  HFSPlusExtentDescriptor extents[8];
};
static_assert(sizeof(ArgAddHFSPlusExtents) == 76, "overflow record is key plus extent record");

namespace kraw {
class HeadProbe;
}

// fileID -> fork-relative startBlock -> record (data forks only).
typedef std::map<uint32_t, std::map<uint32_t, ArgAddHFSPlusExtents>> HfsOverflowMap;
// sectors per allocation block -> how many file records suggested it.
typedef std::map<uint16_t, uint32_t> HfsBlockVote;

// What the graph keeps per file until it can be handed out with its path.
struct HfsGraphFilePayload {
  uint32_t fileID;
  uint32_t createDate;
  uint32_t contentModDate;
  uint32_t attributeModDate;
  uint32_t accessDate;
  uint32_t backupDate;
  HFSPlusForkData dataFork;  // host order
};

// Plausibility tests of stale tree structures; all take host-order values.
// A B-tree header record of a tree that holds records, with fixed-size index keys
// (fixedKeys) or any: the rules every tree reader shares, and a depth above 0, B-tree
// type 0 and first and last leaves inside the tree.
bool hfsplus_check_header_rec(const BTHeaderRec* rec, int fixedKeys);
// The header node's record table: three records at 14, 120, 248 and free space at
// nodeSize - 8. node must hold nodeSize bytes.
bool hfsplus_check_header_node_offsets(const uint8_t* node, uint16_t nodeSize);
// Record type of the catalog record of dataBytes bytes at data, 0 when the record does
// not hold the type's fixed part.
uint16_t hfsplus_catalog_record_bounds(const uint8_t* data, size_t dataBytes);
// Used extents have a start, their counts sum to at most totalBlocks, unused slots are zero.
bool hfsplus_fork_block_sum(const HFSPlusForkData* fork);
// Sectors per block that make totalBlocks just hold logicalSize; 0 when it says nothing.
uint16_t hfsplus_guess_block_sectors(uint32_t totalBlocks, uint64_t logicalSize);

class CHfspFormat : public CScanOperator, public IFormatReaderLink {
 public:
  // How far into the device a volume that does not begin where the device does is looked
  // for: as far as the dispatcher's own boot-record search goes.
  static constexpr uint64_t kHeaderSearchSectors = 100000;
  static constexpr uint32_t kProbeSectors = 64;  // the largest node, 32 KiB
  static constexpr uint32_t kPollEvery = 500;    // sectors or files between two asks of the sink
  static constexpr uint32_t kLastReservedCnid = 16;

  explicit CHfspFormat(IStorageDevice* device);
  virtual ~CHfspFormat();

  // The results tree is kept as every scanner keeps it.
  IFileManager* GetFileManager() override { return CScanOperator::GetFileManager(); }
  IScanOperator* SetFileManager(IFileManager* manager) override {
    return CScanOperator::SetFileManager(manager);
  }
  int GetScanParam(IScanParam** out) override;
  int Scan(INotifySink* sink) override;
  void Release() override;
  int GetScanType() override { return Scan_FormatHfsp; }
  IDeviceBitmap* CreateDeviceBitmap() override { return nullptr; }
  void SetFormatParent(CFormat* parent) override { m_parent = parent; }

  // Copies count 512-byte sectors of the volume from the read window; the number copied
  // (fewer at the device's end), or -1.
  int ReadSectors(uint64_t first, uint32_t count, uint8_t* buf);
  // The window's bytes at volume sector first, without copying; *sectors gets how many of
  // the wanted sectors are there. Null past the device.
  const uint8_t* View(uint64_t first, uint32_t want, uint32_t* sectors);
  // Copies length bytes at a volume byte offset through the read window; the number
  // copied (fewer at the device's end), or -1.
  int ReadAt(uint64_t byte, uint32_t length, uint8_t* buf);

  // Node size in sectors of the catalog leaf node that starts at buf (sectors of 512
  // bytes available there), or 0: the test the probe makes, without taking anything from
  // the node. For those who must tell an HFS+ catalog from other sectors.
  static int CatalogLeafSectors(const uint8_t* buf, uint32_t sectors);
  // (parentID, name with "/" shown as ":", record type, record data holding the type's
  // fixed part, its bytes) of one sound catalog record; false gives up the node.
  typedef std::function<bool(uint32_t, const std::u16string&, uint16_t, const uint8_t*, size_t)>
      CatalogRecordFn;
  // The same test; fn then gets every sound record of the node found. Its size in sectors,
  // or 0 when no catalog leaf node starts at buf.
  static int CatalogLeafRecords(const uint8_t* buf, uint32_t sectors, const CatalogRecordFn& fn);
  // The same test; a node that passes gives its records to the graph (and block-size votes).
  int ProbeLeafNode(const uint8_t* buf, uint32_t sectors, GFS::CGraphFileSystem* graph,
                    HfsBlockVote* vote);
  // 0 when at least one record was a catalog record, -1 when the node is not taken.
  int ParseCatalogLeaf(const uint8_t* node, uint32_t nodeSectors, uint16_t numRecords,
                       GFS::CGraphFileSystem* graph, HfsBlockVote* vote);
  // Size in sectors of the extents tree whose header node is at first (buf holds
  // sectors of it), its data-fork records added to mForkData; 0 when it is none.
  uint64_t LoadExtentsOverflow(uint64_t first, const uint8_t* buf, uint32_t sectors,
                               HfsOverflowMap* mForkData);
  // The state of one walk over an extents tree: a node buffer, its record offsets, the
  // nodes seen and the (node, height) pairs still to read.
  struct ExtentsWalk {
    std::vector<uint8_t> node;
    std::vector<uint16_t> off;
    std::set<uint32_t> visited;
    std::vector<std::pair<uint32_t, int>> todo;
  };
  // Node k of the extents tree at sector first, expected at height: a leaf's data-fork
  // records go to mForkData, an index node's unseen children onto walk->todo. 0 when the
  // node is taken or passed over, -1 when a record in it is no extent record (no extents
  // tree).
  int ParseExtentsLeaf(uint64_t first, uint32_t k, int height, const BTHeaderRec& header,
                       HfsOverflowMap* mForkData, ExtentsWalk* walk);
  static int AddOverflowExtent(const HFSPlusExtentKey& key, const HFSPlusExtentDescriptor ext[8],
                               HfsOverflowMap* mForkData);

  uint64_t UnreadableSectors() const { return m_unreadable; }

  // What the graph callbacks need: block size, the reader and the overflow records.
  struct WalkContext {
    uint32_t sectorsPerBlock;
    CHfspFormat* self;
    const HfsOverflowMap* overflow;  // null until an extents tree was read
    bool quiet;                      // the user stopped: hand out without asking again
    uint64_t calls;
    // Where the volume began is not known: files are handed out without data rather than
    // with bytes counted from a start that may be wrong.
    bool noData = false;
  };
  int AddFileToManager(const char16_t* folderPath, const char16_t* name,
                       const HfsGraphFilePayload* payload, WalkContext* ctx);

 static int OnGraphFile(const char16_t* folderPath, const char16_t* name, void* payload,
                         void* user, int percent);
  static int OnGraphFileNoProgress(const char16_t* folderPath, const char16_t* name,
                                   void* payload, void* user, int percent);
  static void FreeNodePayload(void* payload, void* user);
  static bool MergeKeepLarger(void* existing, void* incoming, int exists);
  static bool MergeKeepFirst(void* existing, void* incoming, int exists);
  static uint16_t MostFrequentKey(const HfsBlockVote& vote);

 private:
  // The sound catalog records of a leaf node of `bytes` bytes: how many (fn may be empty),
  // -1 when its offset table is not one, -2 when fn gave up.
  static int ForEachCatalogRecord(const uint8_t* node, size_t bytes, uint16_t numRecords,
                                  const CatalogRecordFn& fn);
  // The node sizes a leaf descriptor at buf allows, smallest first; the first that accept
  // takes is the answer.
  static int LeafNodeSectors(const uint8_t* buf, uint32_t sectors,
                             const std::function<bool(uint32_t, uint16_t)>& accept);
  int ScanVolume();
  int Progress(int percent);
  // Probes [first, end); false when the user stopped.
  bool ProbeRange(uint64_t first, uint64_t end, int pctFrom, int pctTo, bool voting,
                  bool findExtents, WalkContext* ctx, GFS::CGraphFileSystem* graph,
                  HfsBlockVote* vote, HfsOverflowMap* mForkData);
  // A volume that does not begin where the device does (HFS+ inside a hybrid ISO, scanned
  // through the partition that carries it): the first sound header in front of the first
  // catalog leaf node whose extents and catalog files begin with their tree header nodes.
  // Moves the base to that volume's start; false when there is none.
  bool FindShiftedVolume(HFSPlusVolumeHeader* vh);
  // Whether the fork's first block, counted from volume byte start, holds a B-tree header node.
  bool BeginsWithTreeHeader(uint64_t start, const HFSPlusVolumeHeader& vh, const HFSPlusForkData& fork);
  void Flush(WalkContext* ctx, HfsBlockVote* vote, bool voting);
  bool LoadWindow(uint64_t byte);

  // What the device still says about where a volume whose headers are gone began. Places
  // are 512-byte sectors from the present base.
  struct StartEvidence {
    struct File {
      uint32_t fileID;
      uint16_t type;  // the carving type its name's extension gives, 0 for none
      bool text;      // named as plain text (.txt, .csv, ...)
      uint64_t size;
      HFSPlusExtentDescriptor extents[8];
    };
    uint16_t sectorsPerBlock = 0;  // what the file records vote for; 0 when none did
    bool catalogFound = false;     // the catalog's header node, node 0 at its first block
    uint64_t catalogAt = 0;
    uint64_t catalogSectors = 0;
    bool extentsFound = false;  // the extents tree's header node
    uint64_t extentsAt = 0;
    uint64_t extentsSectors = 0;
    uint64_t searched = 0;   // the sectors the pass looked at, from the base
    bool leafFound = false;  // the first catalog leaf node seen
    uint64_t firstLeaf = 0;
    std::vector<uint64_t> nodes;      // the catalog's nodes seen, ascending
    std::vector<File> files;          // the file records of the catalog's leaves
    std::vector<uint64_t> mapStarts;  // where an Apple partition map puts HFS volumes
    // A journal's info block and its header: the first gives the second's place in bytes
    // from the volume's start.
    struct JournalMark {
      uint64_t sector;
      uint64_t offset;  // the info block's; unused for a header
      uint64_t size;
    };
    std::vector<JournalMark> journalInfos, journalHeaders;
    std::vector<uint64_t> journalStarts;  // the starts a pair of them gives
  };
  enum StartVerdict {
    kStartKept,       // nothing says the volume does not begin at the present base
    kStartConfirmed,  // the files, or what structures there are, say it begins there
    kStartMoved,      // it begins at *start
    kStartUnknown,    // the files' heads show under other starts, none of them settled
  };
  struct HeadScore {
    int hits = 0;    // files of a known kind that begin with a head of that kind there
    int misses = 0;  // those that do not
  };
  // One pass over the device's first sectors for the structures that tie the catalog to the
  // volume's blocks; false when the user stopped.
  bool GatherStartEvidence(StartEvidence* ev);
  // Where the volume begins, by the files' heads under each start the structures allow.
  StartVerdict DecideVolumeStart(const StartEvidence& ev, uint64_t* start);
  HeadScore ScoreStart(const StartEvidence& ev, const std::vector<const StartEvidence::File*>& sample,
                       uint64_t start);
  // Whether a file begins as it should with these first bytes.
  typedef std::function<bool(const StartEvidence::File&, const uint8_t*)> HeadTest;
  // Of the sample's files, how many begin under start as `begins` judges their first `bytes`;
  // one that start puts past the device's end counts against it, an unreadable one not at all.
  HeadScore ScoreHeads(const std::vector<const StartEvidence::File*>& sample, uint64_t spb, uint64_t start,
                       size_t bytes, const HeadTest& begins);
  // The structures agree with a volume beginning at start: the catalog's header node begins
  // a block other than block 0, no file's blocks cover a tree's header node, and hardly any
  // cover another node of the catalog.
  bool StartHolds(const StartEvidence& ev, uint64_t start);
  // The header nodes of the catalog and, near it, of the extents tree.
  static std::vector<uint64_t> HeaderNodes(const StartEvidence& ev);
  // The starts a search tries: first, first + stride, ... up to last.
  struct StartRange {
    uint64_t first = 0;
    uint64_t last = 0;
    uint64_t stride = 1;
    bool any = false;
  };
  // The starts of the range under which the first files of the sample show their heads
  // (two of them, or the one there is), the most heads first; *stopped when the user stopped.
  std::vector<uint64_t> AnchoredStarts(const StartEvidence& ev,
                                       const std::vector<const StartEvidence::File*>& sample,
                                       const StartRange& range, int* stopped);
  // Up to `most` starts of the range under which no file's blocks cover a tree's header node.
  std::vector<uint64_t> UncoveredStarts(const StartEvidence& ev, const StartRange& range, size_t most);
  // A start that leaves the blocks whole device sectors.
  bool StartAligned(uint64_t start) const;
  // The one of several starts under which clearly the most files named as text begin with
  // text; false when none stands out.
  bool ClearTextWinner(const StartEvidence& ev, const std::vector<uint64_t>& starts, uint64_t* won);
  // The one of several starts under which the catalog's and the extents tree's blocks are
  // all marked in use in the allocation file, found as a sector that marks block 0 and
  // every block the files' records name; false when none or more than one agree.
  bool BitmapWinner(const StartEvidence& ev, const std::vector<uint64_t>& starts, uint64_t* won);
  // Whether heads of the sample's kinds begin two sectors of the stretch the evidence was
  // gathered from.
  bool HeadsShow(const StartEvidence& ev, const std::vector<const StartEvidence::File*>& sample);
  // Up to a sample's worth of the files of a known kind, or of those named as text, spread
  // over them.
  static std::vector<const StartEvidence::File*> SampleFiles(const StartEvidence& ev, bool text);
  // How many files named as plain text begin with text under start, of a sample of them.
  HeadScore TextAt(const std::vector<const StartEvidence::File*>& sample, uint64_t spb, uint64_t start);
  // Reads bytes at a 512-byte sector from the base straight from the device, past the
  // window: the head tests jump across the whole volume. False when it cannot.
  bool ReadDirect(uint64_t sector, uint8_t* buf, uint32_t bytes);

  IStorageDevice* m_device;
  INotifySink* m_sink;
  CFormat* m_parent;
  std::vector<uint8_t> m_window;
  uint32_t m_devSector;      // bytes per device sector
  uint64_t m_baseByte;       // device byte of the volume's start
  uint64_t m_volumeBytes;    // device bytes from the volume's start
  uint64_t m_winByte;        // volume byte of the window's first byte
  uint64_t m_winBytes;       // bytes held
  uint64_t m_unreadable;     // device sectors that could not be read (zero-filled)
  std::vector<uint8_t> m_node;  // a node that passed the in-place tests
  GFS::CGraphFeeder m_feeder;  // the graph of a running scan; counts the leaf nodes taken
  int m_progressBase;
  std::unique_ptr<kraw::HeadProbe> m_probe;  // made when a volume's start must be tested
  std::vector<uint8_t> m_direct;             // ReadDirect's device sectors
};
