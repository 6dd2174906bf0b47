// Rebuilds the files of a formatted exFAT volume: every cluster that holds directory
// entries is parsed, each entry set becomes a file record, and the records are linked by
// the cluster numbers of their directories; a folder of the present volume that spans
// several clusters is read through its chain. Without a boot sector the geometry comes from
// the up-case table and the root directory, which mkfs.exfat lays side by side. A volume
// formatted again with another heap offset or cluster size keeps its old directories
// where the old layout put them: the old layout is found by a vote among the directory
// clusters that the surviving directory entries name.
#pragma once
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "filesystems/fatentry.h"
#include "filesystems/format/format.h"
#include "filesystems/layoutvote.h"
#include "graphfs/graphfeeder.h"
#include "scanoperate/scanoperator.h"

class CExfatFormat : public CScanOperator, public IFormatReaderLink {
 public:
  // bootSector: the device sector where the old volume began (0 = the device's start).
  CExfatFormat(IStorageDevice* device, IFileManager* manager, uint64_t bootSector = 0);
  ~CExfatFormat() override;

  int GetScanParam(IScanParam**) override { return 1; }
  int Scan(INotifySink* sink) override;
  void Release() override { delete this; }
  int GetScanType() override { return Scan_FormatExfat; }
  IDeviceBitmap* CreateDeviceBitmap() override { return nullptr; }

  void SetBootSector(uint64_t sector) { m_bootSector = sector; }
  // Under the dispatcher the volume's start and the progress line are the dispatcher's.
  void SetFormatParent(CFormat* parent) override { m_parent = parent; }
  // A dispatcher's progress so far: this scan's percent never falls below it.
  void SetProgressBase(int percent) { m_percent = percent; }

  // 0; 43 nothing found; 5 read failure; 12 no memory.
  int ReadVolumeInfo();
  int RebuildFromUpcase();
  static int IsRootDirectoryStart(const uint8_t* sector);
  int WalkVolume(INotifySink* sink);
  // The file record of one entry set (a file, not a folder), flagged as found by this
  // reader: its run from the first cluster, the part past the valid data length as a hole,
  // no data when its place is not trusted. 0; RC_OUT_OF_RANGE when it does not fit the
  // volume; RC_NO_MEMORY; RC_BAD_ARGUMENT.
  // presentDir: the set lies in a folder of the present volume (its cluster in use there).
  int FileInfoFromEntry(const fat::ExfatItem& it, bool dataTrusted, bool presentDir, IFileInfo** out);

  uint32_t SectorsPerCluster() const { return m_spc; }
  uint32_t BytesPerSector() const { return m_bps; }
  uint64_t ClusterOriginSector() const { return m_bps ? m_origin / m_bps : 0; }
  uint64_t RootSector() const { return m_bps ? m_rootOffset / m_bps : 0; }

  static int AddNodeToManager(const char16_t* folder, const char16_t* name, void* payload, void* user, int);

  // How the files found are placed: through the boot sector's layout (or, with both boot
  // regions gone, through the layout rebuilt from the root whose FAT and bitmap were found);
  // through an older layout established by the vote (the present volume's own clusters are
  // then left alone); or through the boot sector's layout while old directories outside the
  // present volume contradict it and no old layout could be established (their files get no
  // data, unless the present volume's own folders name them as deleted folders).
  enum Placement { kBootLayout, kOldLayout, kBootUnsure };
  Placement GetPlacement() const { return m_placement; }
  // True when the boot sector's layout was taken over a root that could not be read.
  bool RootDamaged() const { return m_rootDamaged; }

 private:
  // A folder in use named by a directory entry set: where its entries may lie.
  struct FolderRef {
    uint32_t first;
    uint64_t length;
    bool noFatChain;
  };
  // What one pass over the volume found, in device sectors.
  struct Evidence {
    std::vector<uint64_t> dirStarts;   // sectors that begin with a file entry set
    std::vector<uint32_t> dirRefs;     // first clusters named by directory entry sets
    std::vector<uint64_t> upcase;      // sectors that begin an up-case table
    struct Root {
      uint64_t sector;
      uint32_t upcaseCluster;
    };
    std::vector<Root> roots;
    std::vector<layoutvote::FileRef> files;  // first clusters of files of a known kind
    layoutvote::HeadCollector heads;
    std::vector<FolderRef> folders;  // folders in use
    // Folders (any state) named from sectors the present volume uses, and (sector, folder)
    // pairs named from sectors it does not.
    std::vector<uint32_t> presentNamed;
    std::vector<std::pair<uint64_t, uint32_t>> looseNamed;
    std::vector<uint32_t> claims;  // first clusters that any entry set names
    bool claimsFull = false;       // more than the bound: the rest go unseen
  };
  struct Layout {
    int64_t origin;       // sector of cluster 0 (may lie before the device's start)
    uint64_t spc;         // device sectors per cluster
    int score;
    uint64_t rootSector;  // 0 when no old root matches
    int files;            // files of the score whose first cluster shows their head
  };
  bool CheckUpcaseCandidate(uint64_t u, uint64_t r, const uint8_t* root, uint32_t spc);
  void TakeBootGeometry(const fat::ExfatVolume& g, uint64_t size);
  int TakeBootOverDamagedRoot(uint64_t size);
  bool LoadPresentBitmap(const fat::ExfatVolume& g, const uint8_t* root, size_t len);
  bool Occupied(uint64_t offset, uint64_t bytes) const;
  // The present volume uses the cluster (of the layout being read).
  bool InUse(uint64_t cluster) const { return Occupied(ClusterOffset(cluster), m_clusterBytes); }
  void Survey(Evidence* ev);
  int Score(const Evidence& ev, Layout* l) const;
  void ChooseLayout(bool bootValid);
  enum FileVerdict { kFilesSilent, kFilesUnsure, kFilesKeepBoot, kFilesTake };
  FileVerdict FilesDecide(const Evidence& ev, bool bootValid, const Layout& boot, const std::vector<Layout>& cands,
                          int* best);
  void TakeItem(const fat::ExfatItem& it, int64_t dirId, bool dataTrusted);
  // The present volume's FAT, and through it the clusters of each of its folders in use
  // that spans more than one.
  void PrepareFolderChains();
  bool AdoptOwnFat();
  void FindOwnDeletedFolders(Evidence* ev);
  // Reads one folder's clusters in the order of its chain, its entries the folder's.
  void WalkFolderChain(size_t index);
  // The clusters of a file not kept in one piece (no NoFatChain flag) under the present
  // layout: false when where its clusters lie is not known, or (*taken) when the chain that
  // tells it is whole but the present volume uses clusters of it.
  bool PiecesOf(const fat::ExfatItem& it, bool presentDir, uint64_t clusters, std::vector<uint32_t>* out,
                bool* taken = nullptr);
  bool OnePieceDespiteOneEntry(uint32_t first, uint64_t clusters);
  // Whether a cluster in [from, to) begins another entry set's file or folder, or a folder's
  // entries outside the present volume.
  bool ClaimedIn(uint64_t from, uint64_t to);
  // The marks those tests count, made once over the whole FAT so that a file costs the
  // same however many clusters it claims.
  void MarkClusters();
  // Under an older layout: the file's first cluster still begins a file of its kind.
  bool HeadStillThere(const fat::ExfatItem& it, uint64_t offset);
  int ReportProgress(uint64_t done, uint64_t total, int from, int to);
  uint64_t ClusterOffset(uint64_t cluster) const { return m_origin + cluster * m_clusterBytes; }

  IStorageDevice* m_device;
  CFormat* m_parent = nullptr;
  uint64_t m_bootSector;
  uint32_t m_bps = 0;          // bytes per volume sector
  uint32_t m_devSector = 512;  // the facade's sector size
  uint32_t m_spc = 0;
  uint32_t m_clusterBytes = 0;
  uint64_t m_origin = 0;       // byte offset where cluster 0 would lie
  uint64_t m_volumeBytes = 0;
  uint64_t m_rootOffset = 0;
  uint64_t m_maxCluster = 0;
  uint64_t m_rootCluster = 0;   // 0: the old root is unknown
  uint64_t m_startCluster = 0;  // where the walk begins
  Placement m_placement = kBootLayout;
  bool m_rootDamaged = false;
  // The present volume (its boot sector's layout): everything before its heap and every
  // cluster its bitmap marks in use was written by the last format or since.
  uint64_t m_presentHeap = 0;   // byte offset of its cluster 2; 0 = no present volume
  uint32_t m_presentClusterBytes = 0;
  std::vector<uint8_t> m_presentBitmap;
  bool m_bitmapKnown = false;  // m_presentBitmap was read, not assumed full
  fat::FatGeometry m_fatGeo;   // the present volume's FAT, at device offsets
  fat::FatTable m_fat;
  bool m_fatKnown = false;  // the files are read through the layout of that FAT
  std::vector<FolderRef> m_folderRefs;
  std::vector<uint32_t> m_claims;     // sorted
  std::vector<uint64_t> m_setStarts;  // device sectors outside the present volume that begin an entry set
  std::vector<std::vector<uint32_t>> m_chains;  // folders of more than one cluster, first first
  std::vector<bool> m_chainDone;
  std::unordered_map<uint32_t, size_t> m_chainOf;  // cluster -> its folder's chain
  // Deleted folders of the present volume outside what it uses: named by a folder entry
  // in one of its folders, or in such a deleted folder.
  std::vector<uint32_t> m_ownDeleted;  // sorted
  // Clusters counted over ranges: one bit a cluster, and the bits set before each block of
  // 4096 clusters.
  struct ClusterMarks {
    std::vector<uint64_t> words;
    std::vector<uint64_t> before;
    void Reset(uint64_t clusters);
    void Mark(uint64_t c) { words[size_t(c / 64)] |= uint64_t(1) << (c % 64); }
    void Seal();
    uint64_t Rank(uint64_t c) const;  // marks below c (c at most the size given)
  };
  bool m_marked = false;
  uint64_t m_markedEnd = 0;  // clusters below are marked; past it no FAT entry can be read
  ClusterMarks m_unlinked;   // FAT entry unreadable or not naming the next cluster
  ClusterMarks m_entered;    // in use, and the cluster before does not lead to it
  // The clusters whose first sector is one of m_setStarts, sorted.
  std::vector<uint32_t> m_setStartClusters;
  INotifySink* m_sink = nullptr;
  bool m_gone = false;
  int m_walkFrom = 0;           // the percent the walk's progress line starts at
  int m_percent = 0;
  GFS::CGraphFeeder m_feeder;  // the graph of a running scan and its pending count
  int64_t m_emptyIds = 0;
  kraw::HeadProbe m_probe;
  std::vector<uint8_t> m_head;
  int64_t m_readFailures = 0;  // reads of sectors on the device that failed, this scan
};
