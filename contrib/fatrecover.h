// Rebuilds the file tree of a formatted or damaged FAT12/16 or FAT32 volume: the inspector
// finds the geometry, then every directory cluster on the device is parsed (live and
// deleted entries) and linked into a directory graph by cluster numbers. FAT chains are
// not followed; every file is reported with one contiguous run.
#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "contrib/fat_item.h"
#include "contrib/fatinspector.h"
#include "filesystems/fatentry.h"
#include "filesystems/fatwalk.h"
#include "filesystems/layoutvote.h"
#include "graphfs/graphfeeder.h"
#include "scanoperate/scanoperator.h"
class CFATScanParam;
class RunList;

class CFatFormat : public CScanOperator {
 public:
  CFatFormat();
  ~CFatFormat() override;

  int SetDevice(IStorageDevice* device);
  // 1 FAT12/16, 2 FAT32; anything else -1 and nothing changes.
  int SetFatType(int fatType);

  int GetScanParam(IScanParam** out) override;
  // 1 after the search reached the device's end, 5 when it did so past unreadable
  // sectors, 2 when the sink stopped it, -1 when no geometry, no root directory or no file
  // manager.
  int Scan(INotifySink* sink) override;
  void Release() override { delete this; }
  int GetScanType() override;
  IDeviceBitmap* CreateDeviceBitmap() override { return nullptr; }

  int OnProgress(int64_t done, int64_t total);
  const fatrec::FatInfo& Info() const { return m_info; }

  // The graph's file callback (folder path, name, item, this object).
  static int AddNodeToManager(const char16_t* folder, const char16_t* name, void* payload, void* user, int);
  // A short entry in use other than "." and "..", with a name and a date, among the
  // entries at p (up to an end mark).
  static bool HoldsLiveEntry(const uint8_t* p, size_t len);
  // A file entry met anywhere on the device by the file vote's pass: where it says the
  // file begins, its size and its creation stamp (as FatItem::created).
  struct SeenFile {
    uint32_t first;
    uint32_t size;
    uint64_t created;
  };
  static bool SeenBefore(const SeenFile& a, const SeenFile& b) {
    return a.first != b.first ? a.first < b.first
           : a.size != b.size ? a.size < b.size
                              : a.created < b.created;
  }

 private:
  struct Trail {  // long-name entries left open at the end of a directory cluster
    int64_t dirId;
    std::vector<uint8_t> entries;
  };

  int ReadRoot();
  int64_t FindRootPosition(int64_t offset);
  void ProcessCluster(int64_t pos, bool dots);
  // The rest of a folder's chain, parsed on from its first cluster.
  void ParseChain(const std::vector<uint32_t>& rest, int64_t dirId);
  // Feeds entries into the running parse; false when the parse of this cluster ended.
  void Parse(const uint8_t* p, size_t len, int64_t dirId);
  // The same for entries read at device offset pos.
  void ParseAt(const uint8_t* p, size_t len, int64_t dirId, int64_t pos);
  bool TakeItem(const fat::FatDirItem& it, int64_t dirId);
  void RememberTrail(const uint8_t* cluster, size_t len, int64_t dirId);
  bool FindTrail(const uint8_t* firstEntry, Trail* out, bool take);
  void RestoreHighWord(fat::FatDirItem* it);
  int64_t DirId(uint32_t cluster) const;
  // The file record of one graph item, with its one contiguous run; null when it cannot be.
  // *hold set: the item is to be held back (Held) rather than handed out now.
  IFileInfo* FileFromItem(const char16_t* name, const fatrec::FatItem* item, bool* hold = nullptr) const;
  // taken: without runs, because another file's entry or the present volume holds its clusters.
  static IFileInfo* NewFileInfo(const char16_t* name, const fatrec::FatItem& item, RunList* runs,
                                bool taken = false);
  uint32_t HighestCluster() const;
  // The files that entries name vote on the geometry the inspector found; a layout they
  // confirm over it replaces it.
  void VoteByFiles();
  // Bytes the present volume's format wrote (its boot region, FATs and root cluster).
  bool PresentWrote(int64_t offset, int64_t bytes) const;
  // Under a layout the files established: the file's bytes are still where
  // its entry says (head, one piece, proven end).
  // With strict, a file of one cluster must prove its end as well.
  bool DataStillThere(const fatrec::FatItem& item, int64_t offset, bool strict = false) const;

  // A volume formatted again with another layout and then written to holds two volumes:
  // the old folders the search reads under the layout found above, and the present one,
  // which its own boot sector and FAT describe. The present tree is walked through its
  // FAT and handed out with its own runs; the search leaves the present volume's clusters
  // alone, and hands out bytes only for files of folders that show they are the old ones.
  // Formatted again with the same layout, the search reads both volumes' folders alike;
  // the present FAT then tells which clusters its files took from the old entries.
  void WalkPresent();
  void WalkPresentDir(const std::u16string& folder, uint32_t first, int depth);
  struct Range {
    uint64_t first, count;
    bool operator<(const Range& o) const { return first < o.first; }
  };
  // Clusters that the present tree's deleted entries name, and that its live files whose
  // chains break off would fill: gathered by the walk, marked after it.
  std::vector<Range> m_goneRanges, m_fillRanges;
  void MarkRanges(std::vector<Range>* ranges, std::vector<uint8_t>* bits) const;
  enum Owned {
    kOwnedAll,      // written, or named by its deleted entries (formatted again only)
    kOwnedWritten,  // in use in its FAT, or filled by a live file whose chain breaks off
    kOwnedInUse,    // clusters its FAT marks in use
    kOwnedFolders,  // clusters of its folders: those its tree reaches, or that begin chains
  };
  // Bytes the present volume holds: its boot region, FATs and root, or clusters of the kind
  // asked for.
  bool PresentOwns(int64_t offset, int64_t bytes, Owned which = kOwnedAll) const;
  // The device runs of a file of the present volume, through its chain; false when the
  // chain cannot be trusted for the whole size.
  typedef std::vector<std::pair<uint64_t, uint32_t>> Runs;  // device sectors: start, count
  bool PresentRuns(const std::vector<uint32_t>& chain, Runs* runs) const;
  bool PresentFileRuns(uint32_t first, uint32_t size, Runs* runs) const;
  // A live entry outside the present tree whose first cluster begins a chain of exactly
  // the clusters its size needs, which no entry of the present tree names: that chain.
  bool ChainHeadRuns(uint32_t first, uint32_t size, Runs* runs) const;
  // Entries in use with data among those at p, and every one of them begins a chain of
  // exactly its clusters (ChainHeadRuns).
  bool FilesFollowTheirChains(const uint8_t* p, size_t len) const;
  // The present volume's geometry without a boot sector at the volume's start: FAT32's
  // backup boot sector, else the FATs found where the search's layout ends them.
  bool PresentGeometryWithoutBoot(fat::FatGeometry* g);
  // The copies of a FAT (FAT32 or FAT16 entries) that end at byte end, on a volume of
  // clusters data clusters: their offset, size and count.
  struct Fats {
    uint64_t offset = 0, bytes = 0, count = 0;
  };
  bool FindFats(bool fat32, uint64_t end, uint64_t clusters, Fats* out);
  // Asked for FAT32, the volume shows no FAT32 boot sector, but FAT16's FATs before a fixed
  // root at the first cluster (a FAT16 volume whose boot sector is gone, whose folders alone
  // made the dispatcher take it for FAT32).
  bool LaidOutAsFat16();
  // After the present tree was walked: the folders the search will meet that begin chains
  // in the present FAT, and whether the volume shows that it was formatted again.
  void SettlePresentFolders();
  // The later clusters of the folders that begin at firsts, through the present FAT, into
  // m_folderRests and m_chainRest.
  void SettleFolderChains(std::vector<uint32_t>& firsts);
  // The clusters after a folder's first one, through the present FAT (empty without it).
  std::vector<uint32_t> FolderChain(uint32_t first) const;
  // One layout for both volumes: true when the item's bytes can be handed out, with runs
  // set from its chain, or left empty for its one contiguous piece at offset. *taken, when
  // asked: refused because the present volume holds or wrote those clusters.
  bool SameLayoutRuns(const fatrec::FatItem& item, int64_t offset, Runs* runs, bool* taken = nullptr) const;
  // A run list of the runs in their order; null when there are none or memory runs out.
  static RunList* MakeRunList(const Runs& runs);
  void HandOutPresent();
  // Deleted entries that the present volume leaves their clusters to are held back until
  // the search ends, so that two of them naming the same clusters can be weighed.
  struct Held {
    std::u16string folder, name;
    fatrec::FatItem item;
    uint32_t clusters = 0;  // from item.firstCluster
  };
  void HandOutHeld();
  struct PresentFile {
    std::u16string folder;  // "" for the root, else "/a/b"
    std::u16string name;
    uint32_t size = 0;
    int64_t createTime = 0, writeTime = 0;
    Runs runs;
    bool whole = false;  // the chain holds every cluster the size needs
  };

  IStorageDevice* m_device = nullptr;
  std::unique_ptr<fatrec::FatInspector> m_inspector;
  fatrec::FatInfo m_info;
  INotifySink* m_sink = nullptr;
  int64_t m_totalSectors = 0;
  int m_devSector = 0;
  int m_lastPercent = 0;
  float m_phase = -1.0f;
  GFS::CGraphFeeder m_feeder;  // the graph, the items added since the last flush, the stop
  int64_t m_lastEightMiB = -1;  // per scan
  CFATScanParam* m_param = nullptr;

  // Parse state.
  fat::FatDirParser m_parser{fat::kFat16};
  fat::ItemInfoList m_items;  // FAT32: the entry parsed last
  std::map<uint8_t, Trail> m_trails;
  int64_t m_prevCluster = -1;
  int64_t m_prevDirId = 0;
  bool m_prevOpen = false;
  bool m_dirEnded = false;  // the last parse met the directory's end mark
  int64_t m_rootId = 0;
  uint32_t m_rootPosCluster = 0;  // FAT32: the cluster the root was read from
  int64_t m_emptyIds = 0;
  std::vector<uint8_t> m_buf;

  // The file vote.
  std::unique_ptr<kraw::HeadProbe> m_probe{new kraw::HeadProbe()};
  std::vector<layoutvote::Head> m_heads;
  int64_t m_presentEnd = 0;
  bool m_checkFiles = false;

  // The present volume, when its layout differs from the one the search uses.
  bool m_twoLayouts = false;
  bool m_presentFatLost = false;  // its FAT could not be read: no old file keeps its bytes
  // The present volume, when it shares the search's layout and its FAT is sound.
  bool m_sameLayout = false;
  fat::FatGeometry m_presentGeo;
  std::unique_ptr<fat::FatTable> m_presentFat;
  std::vector<uint8_t> m_presentUsed;  // one bit a cluster, set when the FAT marks it in use
  // One bit a cluster its deleted entries name: written by the present volume, though free
  // in its FAT (kept only when the volume shows it was formatted again).
  std::vector<uint8_t> m_presentGone;
  // One bit a cluster that a live file of its tree whose chain breaks off fills in one piece.
  std::vector<uint8_t> m_presentFill;
  // One bit a cluster that some FAT entry names as the next of another: no chain begins there.
  std::vector<uint8_t> m_presentLinked;
  std::unordered_set<uint32_t> m_presentClaims;  // first clusters its tree's live entries name
  // The clusters after the first of folders whose first cluster the search meets: parsed
  // with that one, in chain order.
  std::unordered_set<uint32_t> m_chainRest;
  std::unordered_map<uint32_t, std::vector<uint32_t>> m_folderRests;  // first cluster -> the rest
  // The clusters after the first of folders the present tree reaches: their first cluster.
  std::unordered_map<uint32_t, uint32_t> m_walkedRest;
  // The volume shows that it was formatted again: a folder the search meets lies in free
  // clusters, out of the present tree's reach, and still lists a live entry.
  bool m_reformatted = false;
  struct SeenDir {
    int64_t offset;   // where "." and ".." begin a cluster
    uint32_t self;    // the cluster "." names
    uint32_t parent;  // the cluster ".." names (0: the root)
    bool live;        // a live entry follows them in the cluster
  };
  std::vector<SeenDir> m_seenDirs;  // met by the file vote's pass over the device
  // Folders of the present volume the tree does not reach (their first cluster, the cluster
  // their ".." names), and live folder entries whose first cluster names no folder (the
  // folder they lie in, their name): where a folder holds one of each, they are one folder.
  std::vector<std::pair<uint32_t, uint32_t>> m_lostFolders;
  std::vector<std::pair<int64_t, std::u16string>> m_strayEntries;
  std::unordered_set<uint32_t> m_namedDirs;  // first clusters that folder entries name
  void NameLostFolders();
  std::vector<Held> m_held;
  // Every file entry the pass met (m_seenFilesFull: more than it keeps), sorted by first
  // cluster once the layout is settled, with the furthest cluster end among the first i + 1.
  std::vector<SeenFile> m_seenFiles;
  bool m_seenFilesFull = false;
  std::vector<uint64_t> m_seenReach;
  // Whether another entry on the device names clusters the item's one piece covers: only
  // then is a deleted item held back to be weighed.
  bool MayShareClusters(const fatrec::FatItem& item) const;
  // The clusters of the deleted items handed out at once.
  mutable fat::ClusterRanges m_deletedOut;
  // Formatted again: the clusters of every live file of the old volume.
  mutable fat::ClusterRanges m_oldLive;
  std::vector<uint8_t> m_presentDirs;  // one bit a cluster of a folder the present tree reaches
  // The last cluster of a present file that its size fills only in part: the bytes (whole
  // sectors) written; the rest still holds what was there before.
  std::unordered_map<uint32_t, uint32_t> m_presentTails;
  std::vector<PresentFile> m_presentFiles;
  std::set<uint32_t> m_presentDirsSeen;
  std::set<int64_t> m_oldDirs;  // folder ids the old layout is shown to hold
  bool m_untold = false;        // the entries being parsed lie in bytes the present volume wrote
  bool m_inPresent = false;     // the entries being parsed lie in a folder of the present volume
};
