// The HFS+ deleted-file scan end to end on journaled volumes built from TN1150: what the
// journal alone still knows comes back under its path with its bytes, and what the live
// catalog has is never reported.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "common/inc/bytes.h"
#include "common/inc/idevice.h"
#include "common/inc/ifileinfo.h"
#include "common/inc/ifilemanager.h"
#include "common/inc/ifileop.h"
#include "common/inc/inotifysink.h"
#include "common/inc/irecoverymanagement.h"
#include "common/inc/iscanoperator.h"
#include "common/inc/kestrum_types.h"
#include "common/inc/seams.h"
#include "baddevice.h"
#include "hfsp_testdev.h"
#include "rawrecovery/devicebitmap.h"
#include "scanoperate/hfsp/btree.h"
#include "scanoperate/hfsp/hfspfscan.h"
#include "scanoperate/hfsp/journal.h"
#include "scanread.h"
#include "testutil.h"

namespace {

std::string Narrow(const std::u16string& s) {
  std::string o;
  for (char16_t c : s) o += c < 0x80 ? char(c) : '?';
  return o;
}

struct Found {
  std::string folder;
  IFileInfo* file;
};

class CollectSink : public INotifySink {
 public:
  int Notify(int event, int64_t a, int64_t, void* obj) override {
    if (event == NE_FOUND_FILE && obj) {
      const char16_t* p = reinterpret_cast<const char16_t*>(intptr_t(a));
      IFileInfo* f = static_cast<IFileInfo*>(obj);
      files[Narrow(f->GetName())].push_back({p ? Narrow(p) : "", f});
    }
    return 0;
  }
  std::map<std::string, std::vector<Found>> files;
};

struct Expectation {
  std::vector<std::vector<std::string>> found;  // folder, name, size, data file
  std::vector<std::string> live;
};

Expectation LoadExpect(const std::string& image) {
  Expectation e;
  std::ifstream in(image + ".expect");
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    std::vector<std::string> parts;
    std::stringstream ss(line);
    std::string p;
    while (std::getline(ss, p, '|')) parts.push_back(p);
    if (parts[0] == "live")
      e.live.push_back(parts[1]);
    else {
      // A '/' in an HFS+ name is shown as ':' (the Finder's form); the results tree then
      // gives characters a file name cannot carry as '_'.
      for (char& c : parts[1])
        if (c == ':') c = '_';
      e.found.push_back(parts);
    }
  }
  return e;
}

// The file's bytes in one read, as far as they arrive; *rc gets the read's answer.
std::vector<uint8_t> ReadAll(IFileManager* fm, IFileInfo* f, int* rc = nullptr) {
  IFileOP* op = nullptr;
  std::vector<uint8_t> out;
  if (rc) *rc = -1;
  if (fm->GetFileOp(f, &op) != 0 || !op) return out;
  out.resize(size_t(f->GetSize()));
  uint32_t got = 0;
  int r = op->Read(out.data(), uint32_t(out.size()), 0, &got);
  if (rc) *rc = r;
  if (r != 0 && r != RC_READ_FAILED) got = 0;
  out.resize(got);
  return out;
}

// Damage a scan must come through: bytes patched, 512-byte sectors that cannot be read, and
// the files whose read then gives only the first bytes of their data before it fails.
struct ScanCase {
  std::function<void(std::vector<uint8_t>&)> patch;
  std::vector<uint64_t> unreadable;
  std::map<std::string, size_t> knownOnly;
};

// Scans an image through the real results tree and checks it against its expectations.
void ScanAndCheck(const std::string& name, const ScanCase& c) {
  std::string img = testutil::Fixture(name);
  if (img.empty()) GTEST_SKIP() << name << " not built";
  Expectation want = LoadExpect(img);
  ASSERT_FALSE(want.found.empty());
  std::vector<uint8_t> bytes = testutil::ReadFile(img);
  if (c.patch) c.patch(bytes);
  HfsMemStorage plain(bytes);
  testutil::BadSectorDevice failing(c.unreadable.empty() ? std::vector<uint8_t>() : bytes);
  failing.SetOwnedByCaller(true);
  for (uint64_t s : c.unreadable) failing.AddBad(s, s + 1);
  IStorageDevice& dev = c.unreadable.empty() ? static_cast<IStorageDevice&>(plain) : failing;
  IFileManager* fm = CreateFileManager();
  ASSERT_NE(fm, nullptr);
  fm->SetStorageDevice(&dev);
  CHfspFScan scan(&dev);
  scan.SetFileManager(fm);
  CollectSink sink;
  auto t0 = std::chrono::steady_clock::now();
  ASSERT_EQ(scan.Scan(&sink), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(300));
  // The process-wide caches hold nothing of this volume once the scan is over.
  EXPECT_EQ(hfsplus_node_cache_size(), 0u);
  EXPECT_EQ(recordNodeCount(), 0u);

  std::string dir = img.substr(0, img.rfind('/') + 1);
  // A name may be expected under several folders (a folder with two kept copies): it must
  // come back exactly once under each, each time with the whole of its bytes.
  std::map<std::string, std::vector<std::string>> wantFolders;
  for (const auto& f : want.found) wantFolders[f[1]].push_back(f[0]);
  for (const auto& f : want.found) {
    auto it = sink.files.find(f[1]);
    if (it == sink.files.end()) {
      for (auto& k : sink.files) ADD_FAILURE() << "have " << k.first;
    }
    ASSERT_NE(it, sink.files.end()) << f[1] << " not found in " << name;
    ASSERT_EQ(it->second.size(), wantFolders[f[1]].size()) << f[1] << " reported another number of times";
    const Found* at = nullptr;
    for (const Found& g : it->second)
      if (g.folder == f[0]) at = &g;
    ASSERT_NE(at, nullptr) << f[1] << " not under " << f[0];
    EXPECT_EQ(at->file->GetSize(), std::stoull(f[2])) << f[1];
    // A file whose last extents are lost keeps its size; its read gives what is known and
    // then fails.
    int rc = 0;
    std::vector<uint8_t> known = testutil::ReadFile(dir + f[3]);
    auto cut = c.knownOnly.find(f[1]);
    if (cut != c.knownOnly.end() && cut->second < known.size()) known.resize(cut->second);
    EXPECT_EQ(ReadAll(fm, at->file, &rc), known) << f[1] << " under " << f[0];
    EXPECT_EQ(rc, known.size() < at->file->GetSize() ? RC_READ_FAILED : 0) << f[1];
  }
  for (const auto& kv : wantFolders) {
    if (kv.second.size() > 1) {
      EXPECT_NE(sink.files[kv.first][0].file, sink.files[kv.first][1].file);
    }
  }
  for (const auto& n : want.live) EXPECT_EQ(sink.files.count(n), 0u) << "live file " << n << " reported";
  fm->Release();
}

void ScanAndCheck(const std::string& name, const std::function<void(std::vector<uint8_t>&)>& patch = nullptr) {
  ScanAndCheck(name, ScanCase{patch, {}, {}});
}

}  // namespace

TEST(HfspScan, JournalOnlyFilesComeBackWithTheirBytes) {
  ScanAndCheck("hfsplus_journal.img");
}

// The live catalog's leaf with the entry after its middle record pointing past the node
// (0xFFF0), where the first step of every search lands: the one record behind the entry is
// lost, the lookups still find the rest, so the live file is not taken for a deleted one
// and the journal's files come back as before.
TEST(HfspScan, DamagedOffsetEntryInTheLiveCatalog) {
  ScanAndCheck("hfsplus_journal.img", [](std::vector<uint8_t>& img) {
    const uint8_t* vh = img.data() + 1024;
    uint64_t cat = uint64_t(kbytes::Be32(vh + 272 + 16)) * kbytes::Be32(vh + 40);
    uint32_t nodeSize = kbytes::Be16(img.data() + cat + 14 + 18);
    uint8_t* leaf = img.data() + cat + uint64_t(kbytes::Be32(img.data() + cat + 14 + 10)) * nodeSize;
    ASSERT_EQ(int8_t(leaf[8]), -1);
    int mid = (kbytes::Be16(leaf + 10) - 1) / 2;
    kbytes::PutBe16(leaf + nodeSize - 2 * (mid + 2), 0xFFF0);
  });
}

// One unreadable sector in node 0 of a tree (the fixture's catalog begins at block 196 and
// its extents tree at block 180, of 4096 bytes: sectors 1568 and 1440). Opening a tree
// decodes only the descriptor and header record of its first sector, so a bad sector past
// them costs nothing: every file at its folder, the live one not reported, the file of ten
// fragments whole. When the first sector itself is gone the tree cannot be opened: the
// catalog's leaves, found in its blocks, still keep the live file out and give the folders;
// without the extents tree the fragmented file keeps its size and its read fails past its
// eight extents (9 blocks of 4096 bytes).
TEST(HfspScan, UnreadableSectorInATreeHeaderNode) {
  const std::map<std::string, size_t> none;
  for (uint64_t sector : {1568 + 2, 1568 + 7, 1440 + 2, 1440 + 7, 1568}) {
    SCOPED_TRACE(sector);
    ScanAndCheck("hfsplus_journal.img", ScanCase{nullptr, {sector}, none});
  }
  ScanAndCheck("hfsplus_journal.img", ScanCase{nullptr, {1440}, {{"frag.bin", 9 * 4096}}});
  // The same on HFSX, whose trees lie two blocks further on.
  ScanAndCheck("hfsx_journal.img", ScanCase{nullptr, {1584}, none});
  ScanAndCheck("hfsx_journal.img", ScanCase{nullptr, {1458}, none});
}

TEST(HfspScan, HfsxKeepsNamesThatDifferOnlyInCase) {
  ScanAndCheck("hfsx_journal.img");
}

TEST(HfspScan, CatalogLargerThanTheNodeCache) {
  std::string img = testutil::Fixture("hfsplus_bigcat.img");
  if (img.empty()) GTEST_SKIP();
  {
    // The fixture must really be what the test claims: more nodes than the cache holds,
    // the catalog continued in the overflow tree.
    HfsMemStorage dev(testutil::ReadFile(img));
    HfspVolume vol;
    ASSERT_TRUE(hfsplus_parse_volume(dev.bytes().data() + 1024, 512, &vol));
    ASSERT_TRUE(hfsplus_check_volume_header(&vol));
    EXPECT_NE(vol.catalogFile.extents[7].blockCount, 0u);
    _hfsplus_tree ext{}, cat{};
    cat.extentsTree = &ext;
    ASSERT_EQ(hfsplus_btree_open(&ext, &dev, &vol, kHfsExtentsFileID), 1);
    ASSERT_EQ(hfsplus_btree_open(&cat, &dev, &vol, kHfsCatalogFileID), 1);
    EXPECT_GT(cat.totalNodes - cat.freeNodes, kNodeCacheEntries);
    hfsplus_node_cache_free();
    hfsplus_pool_free();
  }
  ScanAndCheck("hfsplus_bigcat.img");
}

TEST(HfspScan, RefusesWhatIsNotHfsPlusAndTakesNoNullSink) {
  HfsMemStorage zero(std::vector<uint8_t>(64 * 1024));
  CHfspFScan a(&zero);
  CollectSink sink;
  EXPECT_EQ(a.Scan(nullptr), RC_BAD_ARGUMENT);
  EXPECT_EQ(zero.reads, 0);
  EXPECT_EQ(a.Scan(&sink), RC_WRONG_FS);
  HfsMemStorage tiny(std::vector<uint8_t>(1200));
  CHfspFScan b(&tiny);
  EXPECT_EQ(b.Scan(&sink), RC_READ_FAILED);
}

TEST(HfspScan, VolumeBitmapPutsBlockZeroInBitZero) {
  std::string img = testutil::Fixture("hfsplus_journal.img");
  if (img.empty()) GTEST_SKIP();
  HfsMemStorage dev(testutil::ReadFile(img));
  CHfspFScan scan(&dev);
  uint32_t len = 0;
  ASSERT_EQ(scan.ReadVolumeBitmap(nullptr, 0, &len), 0);
  EXPECT_EQ(len, 2048u / 8);
  IDeviceBitmap* bm = scan.CreateDeviceBitmap();
  ASSERT_NE(bm, nullptr);
  EXPECT_EQ(bm->GetClusterSize(), 4096);
  EXPECT_TRUE(bm->BitGet(0));      // boot blocks and header
  EXPECT_TRUE(bm->BitGet(2047));   // alternate header
  EXPECT_FALSE(bm->BitGet(2000));  // never handed out
  bm->Release();

  // An allocation file shorter than the buffer leaves every bit clear.
  std::vector<uint8_t> buf(len + 1, 0xAA);
  EXPECT_NE(scan.ReadVolumeBitmap(buf.data(), len + 1, &len), 0);
}

// The whole path a user takes: a disk with an HFS+ partition, the generic deleted-file
// kind, the file read back through the scanner's reader.
TEST(HfspScan, DeletedFileScanOfAnHfsPartition) {
  std::string img = testutil::Fixture("hfsplus_journal.img");
  if (img.empty()) GTEST_SKIP();
  testutil::TempDir dir;
  std::vector<uint8_t> vol = testutil::ReadFile(img);
  std::vector<uint8_t> disk(1 << 20);
  // MBR with one partition of type 0xAF (HFS+) at sector 2048.
  uint8_t* e = disk.data() + 446;
  e[4] = 0xAF;
  uint32_t first = 2048, count = uint32_t(vol.size() / 512);
  for (int i = 0; i < 4; ++i) e[8 + i] = uint8_t(first >> (8 * i)), e[12 + i] = uint8_t(count >> (8 * i));
  disk[510] = 0x55;
  disk[511] = 0xAA;
  size_t head = disk.size();
  disk.resize(head + vol.size());
  if (!vol.empty()) memcpy(disk.data() + head, vol.data(), vol.size());
  std::string path = dir.file("disk.img");
  testutil::WriteFile(path, disk);
  uint64_t before = testutil::FileChecksum(path);
  testutil::ScopedEnv disks("KESTRUM_DISKS", path);
  testutil::ScopedEnv vols("KESTRUM_VOLUMES", "");

  IRecoveryManagement* top = nullptr;
  ASSERT_EQ(InitKestrum(&top), 0);
  IDevice* devices[100] = {};
  int n = 0;
  top->EnumDevices(devices, &n, 100);
  IDevice* part = nullptr;
  for (int i = 0; i < n && devices[i]; ++i) {
    PartitionInfo info{};
    if ((devices[i]->GetType() == 2 || devices[i]->GetType() == 6) && devices[i]->GetPartitionInfo(&info) == 0 &&
        info.PartitionType == 0xAF)
      part = devices[i];
  }
  ASSERT_NE(part, nullptr) << "no HFS+ partition listed";
  for (int kind : {int(Scan_Deleted), int(Scan_DeletedHfsp)}) {
    IFileManager* fm = nullptr;
    IScanOperator* so = nullptr;
    ASSERT_EQ(top->CreateScanOperator(part, kind, &fm, &so), 0) << kind;
    EXPECT_EQ(so->GetScanType(), Scan_DeletedHfsp);
    CollectSink sink;
    ASSERT_EQ(so->Scan(&sink), 0);
    ASSERT_EQ(sink.files.count("frag.bin"), 1u);
    IFileInfo* f = sink.files["frag.bin"][0].file;
    IFileOP* op = nullptr;
    ASSERT_EQ(so->GetFileOp(f, &op), 0);
    std::vector<uint8_t> got(size_t(f->GetSize()));
    uint32_t n2 = 0;
    ASSERT_EQ(op->Read(got.data(), uint32_t(got.size()), 0, &n2), 0);
    std::string data = img.substr(0, img.rfind('/') + 1) + "hfsplus_journal.24.data";
    EXPECT_EQ(got, testutil::ReadFile(data));
    so->Release();
    fm->Release();
  }
  testutil::ReleaseOwnedDevices(devices, n);
  top->Release();
  EXPECT_EQ(testutil::FileChecksum(path), before);
}

// Random damage to the metadata of a builder volume (journal info block, journal, both
// trees, the allocation file): every scan ends, quickly, with whatever it could still find.
TEST(HfspScan, DamagedMetadataNeverHurtsTheScan) {
  std::string img = testutil::Fixture("hfsplus_journal.img");
  if (img.empty()) GTEST_SKIP();
  const std::vector<uint8_t> clean = testutil::ReadFile(img);
  HfspVolume vol;
  ASSERT_TRUE(hfsplus_parse_volume(clean.data() + 1024, 512, &vol));
  uint64_t from = uint64_t(vol.journalInfoBlock) * vol.blockSize;
  uint64_t to = (uint64_t(vol.allocationFile.extents[0].startBlock) + 1) * vol.blockSize;
  ASSERT_LT(from, to);
  auto start = std::chrono::steady_clock::now();
  uint32_t x = 12345;
  for (int round = 0; round < 300; ++round) {
    std::vector<uint8_t> bytes = clean;
    int hits = 1 + round % 40;
    for (int k = 0; k < hits; ++k) {
      x = x * 1103515245u + 12345u;
      uint64_t at = from + (uint64_t(x) * 2654435761u >> 7) % (to - from);
      x = x * 1103515245u + 12345u;
      // Small values and all-ones are what lengths and counts go wrong with.
      bytes[at] = (x >> 16) % 3 == 0 ? 0xFF : (x >> 16) % 3 == 1 ? 0 : uint8_t(x >> 24);
    }
    HfsMemStorage dev(std::move(bytes));
    IFileManager* fm = CreateFileManager();
    ASSERT_NE(fm, nullptr);
    fm->SetStorageDevice(&dev);
    CHfspFScan scan(&dev);
    scan.SetFileManager(fm);
    CollectSink sink;
    EXPECT_EQ(scan.Scan(&sink), 0);
    for (auto& e : sink.files)
      for (auto& f : e.second) ReadAll(fm, f.file);
    fm->Release();
  }
  EXPECT_EQ(hfsplus_node_cache_size(), 0u);
  // A guard against a walk that never ends, not a speed target: 300 rounds take about a
  // second in a plain build and a minute under the sanitizers on a busy machine.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(300));
}
