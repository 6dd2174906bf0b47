// Rebuilds the files of a reformatted or damaged HFS+ volume from the catalog leaf nodes
// that survive on the device, without trusting the volume header's catalog fork.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
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
};
