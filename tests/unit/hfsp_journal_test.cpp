#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "common/inc/kestrum_types.h"
#include "filemanager/fileinfo.h"
#include "hfsp_testdev.h"
#include "scanoperate/hfsp/btree.h"
#include "scanoperate/hfsp/hfspfscan.h"
#include "scanoperate/hfsp/journal.h"
#include "testutil.h"

namespace {

void B16(std::vector<uint8_t>& v, size_t o, uint16_t x) { v[o] = uint8_t(x >> 8); v[o + 1] = uint8_t(x); }
void B32(std::vector<uint8_t>& v, size_t o, uint32_t x) { for (int i = 0; i < 4; ++i) v[o + i] = uint8_t(x >> (24 - 8 * i)); }
void B64(std::vector<uint8_t>& v, size_t o, uint64_t x) { B32(v, o, uint32_t(x >> 32)); B32(v, o + 4, uint32_t(x)); }
void L16(std::vector<uint8_t>& v, size_t o, uint16_t x) { v[o] = uint8_t(x); v[o + 1] = uint8_t(x >> 8); }
void L32(std::vector<uint8_t>& v, size_t o, uint32_t x) { for (int i = 0; i < 4; ++i) v[o + i] = uint8_t(x >> (8 * i)); }
void L64(std::vector<uint8_t>& v, size_t o, uint64_t x) { L32(v, o, uint32_t(x)); L32(v, o + 4, uint32_t(x >> 32)); }

std::vector<uint8_t> Rec(uint32_t parent, const std::u16string& name, uint16_t type, uint32_t cnid, uint64_t size = 0) {
  std::vector<uint8_t> r(8 + 2 * name.size());
  B16(r, 0, uint16_t(6 + 2 * name.size()));
  B32(r, 2, parent);
  B16(r, 6, uint16_t(name.size()));
  for (size_t i = 0; i < name.size(); ++i) B16(r, 8 + 2 * i, name[i]);
  std::vector<uint8_t> body(type == 2 ? 248 : type == 1 ? 88 : 0);
  if (type == 3) {  // folder thread: type, reserved, parent, name
    body.resize(10 + 2 * name.size());
  }
  B16(body, 0, type);
  if (type <= 2) {
    B32(body, 8, cnid);
    for (int off = 12; off <= 28; off += 4) B32(body, off, 3000000000u);
    if (type == 2) {
      B64(body, 88, size);
      B32(body, 88 + 12, 1);
      B32(body, 88 + 16, 40);
      B32(body, 88 + 20, 1);
    }
  }
  r.insert(r.end(), body.begin(), body.end());
  return r;
}
std::vector<uint8_t> Thread(uint32_t cnid, uint32_t parent, const std::u16string& name) {
  std::vector<uint8_t> r(8);
  B16(r, 0, 6);
  B32(r, 2, cnid);
  std::vector<uint8_t> body(10 + 2 * name.size());
  B16(body, 0, 3);
  B32(body, 4, parent);
  B16(body, 8, uint16_t(name.size()));
  for (size_t i = 0; i < name.size(); ++i) B16(body, 10 + 2 * i, name[i]);
  r.insert(r.end(), body.begin(), body.end());
  return r;
}
void PutNode(std::vector<uint8_t>& img, size_t b, uint32_t ns, int8_t kind, uint8_t height,
             const std::vector<std::vector<uint8_t>>& recs) {
  std::fill(img.begin() + b, img.begin() + b + ns, 0);
  img[b + 8] = uint8_t(kind);
  img[b + 9] = height;
  B16(img, b + 10, uint16_t(recs.size()));
  uint16_t off = 14;
  for (size_t k = 0; k < recs.size(); ++k) {
    std::copy(recs[k].begin(), recs[k].end(), img.begin() + b + off);
    B16(img, b + ns - 2 * (k + 1), off);
    off = uint16_t(off + recs[k].size());
  }
  B16(img, b + ns - 2 * (recs.size() + 1), off);
}

// A journaled volume of 512-byte blocks: catalog of 2 nodes (header + one leaf) at block
// 8, JIB at block 16, journal at block 32 for `journalBlocks` blocks.
struct JVolume {
  static const uint32_t ns = 4096;
  std::vector<uint8_t> img;
  uint32_t journalBlocks;
  size_t txPos;
  explicit JVolume(uint32_t jb = 64) : img(512 * (32 + jb)), journalBlocks(jb), txPos(512) {
    B16(img, 1024, 0x482B);
    B16(img, 1026, 4);
    B32(img, 1024 + 4, 1u << 13);
    B32(img, 1024 + 12, 16);
    B32(img, 1024 + 40, 512);
    B32(img, 1024 + 44, uint32_t(img.size() / 512));
    // The catalog lives inside the journal's blocks' neighbourhood: blocks 40.. of a
    // second area appended below.
    img.resize(img.size() + 2 * ns);
    uint32_t catBlock = 32 + jb;
    B32(img, 1024 + 44, uint32_t(img.size() / 512));
    B64(img, 1024 + 272, 2 * ns);
    B32(img, 1024 + 272 + 12, 2 * ns / 512);
    B32(img, 1024 + 272 + 16, catBlock);
    B32(img, 1024 + 272 + 20, 2 * ns / 512);
    size_t h = size_t(catBlock) * 512;
    img[h + 8] = 1;
    B16(img, h + 10, 3);
    B16(img, h + 14 + 0, 1);
    B32(img, h + 14 + 2, 1);
    B32(img, h + 14 + 10, 1);
    B16(img, h + 14 + 18, ns);
    B16(img, h + 14 + 20, 516);
    B32(img, h + 14 + 22, 2);
    img[h + 14 + 37] = 0xCF;
    B32(img, h + 14 + 38, 6);
    // Live: folder "live" (CNID 20) in the root with its thread; file "here.txt" in it.
    PutNode(img, h + ns, ns, -1, 1,
            {Rec(1, u"root", 1, 2), Thread(2, 1, u"root"), Rec(2, u"live", 1, 20), Thread(20, 2, u"live"),
             Rec(20, u"here.txt", 2, 21, 10)});
    size_t j = 16 * 512;
    B64(img, j + 36, 32 * 512);
    B64(img, j + 44, uint64_t(jb) * 512);
    L32(img, 32 * 512 + 40, 512);  // jhdr_size
  }
  size_t J() const { return 32 * 512; }
  // Appends a transaction holding the given leaf nodes.
  void AddTx(const std::vector<std::vector<std::vector<uint8_t>>>& nodes) {
    uint16_t nb = uint16_t(nodes.size() + 1);
    uint32_t used = 512 + uint32_t(nodes.size()) * ns;
    size_t t = J() + txPos;
    L16(img, t + 0, nb);
    L16(img, t + 2, nb);
    L32(img, t + 4, used);
    for (size_t k = 1; k < nb; ++k) {
      L64(img, t + 16 + 16 * k, 100 + k);
      L32(img, t + 16 + 16 * k + 8, ns);
    }
    for (size_t k = 0; k < nodes.size(); ++k) PutNode(img, t + 512 + k * ns, ns, -1, 1, nodes[k]);
    Seal(t);
    txPos += used;
  }
  void Seal(size_t t) {
    L32(img, t + 8, 0);
    L32(img, t + 8, journalChecksum(img.data() + t, 32));
  }
};

// A hand-made volume's catalog opened for the miner, after the caches that an earlier run
// left are emptied.
struct OpenCatalog {
  HfsMemStorage dev;
  HfspVolume vol{};
  _hfsplus_tree ext{}, cat{};
  int opened;
  explicit OpenCatalog(const std::vector<uint8_t>& img) : dev(img) {
    freeRecordNodeMap();
    hfsplus_node_cache_free();
    hfsplus_pool_free();
    hfsplus_parse_volume(dev.bytes().data() + 1024, 512, &vol);
    cat.extentsTree = &ext;
    opened = hfsplus_btree_open(&cat, &dev, &vol, kHfsCatalogFileID);
  }
};

struct Found {
  std::map<std::u16string, std::u16string> folderOf;
  std::map<std::u16string, uint64_t> sizeOf;
  std::map<std::u16string, std::u16string> secondOf;
};

int Mine(JVolume& v, Found* out) {
  OpenCatalog c(v.img);
  int r = analyzeJournal(&c.cat, &c.vol, nullptr,
                         [&](const std::u16string& folder, const std::u16string& second,
                             const std::u16string& name, const _RecordNode* rec) {
                           if (!second.empty()) out->secondOf[name] = second;
                           out->folderOf[name] = folder;
                           out->sizeOf[name] = recordDataSize(rec);
                           return 0;
                         });
  freeRecordNodeMap();
  hfsplus_node_cache_free();
  hfsplus_pool_free();
  return r;
}

}  // namespace

TEST(HfspJournal, JournalOnlyFilesComeBackUnderTheirPaths) {
  JVolume v;
  v.AddTx({{Rec(2, u"gone", 1, 30), Rec(20, u"here.txt", 2, 21, 10), Rec(20, u"lost.jpg", 2, 22, 5000),
            Rec(30, u"inner.doc", 2, 31, 700), Rec(999, u"orphan.bin", 2, 32, 64), Rec(2, u"a/b", 2, 33, 1)}});
  // A second copy of lost.jpg with more data, and an older, smaller one.
  v.AddTx({{Rec(20, u"lost.jpg", 2, 22, 9000)}, {Rec(20, u"lost.jpg", 2, 22, 100)}});
  Found f;
  EXPECT_EQ(Mine(v, &f), 0);
  EXPECT_EQ(f.folderOf.count(u"here.txt"), 0u) << "a live file must not be reported";
  EXPECT_EQ(f.folderOf[u"lost.jpg"], u"/Volume/live");
  EXPECT_EQ(f.sizeOf[u"lost.jpg"], 9000u);
  EXPECT_EQ(f.folderOf[u"inner.doc"], u"/Volume/gone");
  EXPECT_EQ(f.folderOf[u"orphan.bin"], u"/Volume/Lost Location");
  EXPECT_EQ(f.folderOf[u"a:b"], u"/Volume");
}

TEST(HfspJournal, CorruptJournalsEndQuicklyAndSafely) {
  auto start = std::chrono::steady_clock::now();
  // A transaction's bytes_used of 0, 8 and nearly 2^32; its block count 0 and 65535.
  const struct {
    size_t at;
    uint32_t value;
  } fields[] = {{4, 0}, {4, 8}, {4, 0xFFFFFFF0u}, {2, 0}, {2, 65535}};
  for (const auto& field : fields) {
    JVolume v;
    v.AddTx({{Rec(20, u"x.txt", 2, 40, 10)}});
    size_t t = v.J() + 512;
    if (field.at == 4)
      L32(v.img, t + 4, field.value);
    else
      L16(v.img, t + 2, uint16_t(field.value));
    v.Seal(t);
    Found f;
    Mine(v, &f);
  }
  {  // key length 516 in the last bytes of the journal
    JVolume v;
    size_t end = v.J() + size_t(v.journalBlocks) * 512;
    B16(v.img, end - 2, 516);
    Found f;
    Mine(v, &f);
  }
  {  // a journal of 2^40 bytes is refused, not allocated
    JVolume v;
    B64(v.img, 16 * 512 + 44, 1ull << 40);
    Found f;
    EXPECT_EQ(Mine(v, &f), -1);
  }
  {  // two folders inside each other: the file ends in the orphan folder
    JVolume v;
    v.AddTx({{Rec(51, u"A", 1, 50), Rec(50, u"B", 1, 51), Rec(50, u"cyc.txt", 2, 52, 3)}});
    Found f;
    Mine(v, &f);
    EXPECT_EQ(f.folderOf[u"cyc.txt"].rfind(u"/Volume/Lost Location", 0), 0u);
  }
  {  // random bytes over the whole journal
    for (uint32_t seed = 1; seed <= 200; ++seed) {
      JVolume v;
      v.AddTx({{Rec(2, u"gone", 1, 30), Rec(30, u"in.doc", 2, 31, 700)}});
      uint32_t x = seed * 2654435761u;
      for (int k = 0; k < 64; ++k) {
        x = x * 1103515245u + 12345u;
        size_t at = v.J() + (x >> 8) % (size_t(v.journalBlocks) * 512);
        v.img[at] = uint8_t(x >> 3);
      }
      Found f;
      Mine(v, &f);
    }
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(300));
}

// A record in the journal's tail, after the last sound transaction header, is found: the
// gap that runs to the end of the journal is scanned as well.
TEST(HfspJournal, RecordInTheTrailingGapIsFound) {
  JVolume v;
  v.AddTx({{Rec(20, u"early.txt", 2, 41, 10)}});
  auto r = Rec(20, u"tail.jpg", 2, 60, 10);
  size_t at = v.J() + size_t(v.journalBlocks) * 512 - 2048;
  std::copy(r.begin(), r.end(), v.img.begin() + at);
  Found f;
  EXPECT_EQ(Mine(v, &f), 0);
  EXPECT_EQ(f.folderOf[u"early.txt"], u"/Volume/live");
  EXPECT_EQ(f.folderOf[u"tail.jpg"], u"/Volume/live");
}

// A folder whose record the journal holds twice (renamed, moved): its files are reported
// under the path of each copy, and a second copy further up gives a second path as well.
// Copies that point into each other still end, in the orphan folder.
TEST(HfspJournal, FolderWithTwoKeptCopiesGivesTwoPaths) {
  JVolume v;
  v.AddTx({{Rec(2, u"before", 1, 70), Rec(70, u"pic.jpg", 2, 71, 50), Rec(2, u"g1", 1, 80),
            Rec(80, u"mid", 1, 81), Rec(81, u"deep.txt", 2, 82, 60), Rec(2, u"c1", 1, 90),
            Rec(90, u"d", 1, 91), Rec(90, u"cyc.bin", 2, 92, 70), Rec(2, u"one", 1, 95),
            Rec(95, u"plain.txt", 2, 96, 80)}});
  v.AddTx({{Rec(20, u"after", 1, 70), Rec(20, u"g2", 1, 80), Rec(91, u"c2", 1, 90)}});
  Found f;
  EXPECT_EQ(Mine(v, &f), 0);
  // Map order puts the copy under the lower parent id first.
  EXPECT_EQ(f.folderOf[u"pic.jpg"], u"/Volume/before");
  EXPECT_EQ(f.secondOf[u"pic.jpg"], u"/Volume/live/after");
  EXPECT_EQ(f.folderOf[u"deep.txt"], u"/Volume/g1/mid");
  EXPECT_EQ(f.secondOf[u"deep.txt"], u"/Volume/live/g2/mid");
  EXPECT_EQ(f.folderOf[u"cyc.bin"], u"/Volume/c1");
  EXPECT_EQ(f.secondOf[u"cyc.bin"].rfind(u"/Volume/Lost Location", 0), 0u);
  EXPECT_EQ(f.folderOf[u"plain.txt"], u"/Volume/one");
  EXPECT_EQ(f.secondOf.count(u"plain.txt"), 0u);
}

// Thousands of folders, each holding the next and a file: every file is placed, and the
// chain deeper than the walk's cap ends in the orphan folder.
TEST(HfspJournal, ThousandsOfNestedFoldersArePlaced) {
  JVolume v(8192);
  const uint32_t kFolders = 3000;
  std::vector<std::vector<std::vector<uint8_t>>> nodes;
  std::vector<std::vector<uint8_t>> cur;
  size_t bytes = 0;
  for (uint32_t i = 0; i < kFolders; ++i) {
    uint32_t folder = 1000 + 2 * i, parent = i ? folder - 2 : 2;
    for (auto r : {Rec(parent, u"d", 1, folder), Rec(folder, u"f" + std::u16string(1, char16_t(u'a' + i % 26)), 2, folder + 1, 9)}) {
      if (bytes + r.size() + 2 > JVolume::ns - 64) {
        nodes.push_back(cur);
        cur.clear();
        bytes = 0;
      }
      bytes += r.size() + 2;
      cur.push_back(r);
    }
    if (nodes.size() == 20) {  // the block table must fit the 512-byte header
      v.AddTx(nodes);
      nodes.clear();
    }
  }
  nodes.push_back(cur);
  v.AddTx(nodes);
  size_t found = 0;
  OpenCatalog c(v.img);
  std::u16string deepest;
  EXPECT_EQ(analyzeJournal(&c.cat, &c.vol, nullptr,
                           [&](const std::u16string& folder, const std::u16string&, const std::u16string&,
                               const _RecordNode*) {
                             ++found;
                             if (folder.size() > deepest.size()) deepest = folder;
                             return 0;
                           }),
            0);
  freeRecordNodeMap();
  hfsplus_node_cache_free();
  hfsplus_pool_free();
  EXPECT_EQ(found, kFolders);
  // The chain is deeper than the walk's cap: the deepest files end in the orphan folder.
  EXPECT_EQ(deepest.rfind(u"/Volume/Lost Location/d/d", 0), 0u);
}

// A file-record candidate cut short by the gap's end does not hide a folder record that
// starts inside it; a candidate needs 94 bytes; a name's "/" is shown as ":".
TEST(HfspJournal, GapSearchGoesPastACandidateCutShort) {
  freeRecordNodeMap();
  std::vector<uint8_t> gap(200, 0xEE);  // shorter than the file record would need
  auto cut = Rec(20, u"cut.bin", 2, 44, 10);
  std::copy(cut.begin(), cut.begin() + 60, gap.begin());  // key, type and dates only
  auto folder = Rec(20, u"a/b", 1, 45);
  std::copy(folder.begin(), folder.end(), gap.begin() + 80);
  uint16_t type = 0;
  EXPECT_EQ(findCatalogRecordInGap(gap.data(), gap.size(), &type), gap.data());
  EXPECT_EQ(type, 2);
  EXPECT_FALSE(isCatalogRecordAt(gap.data(), gap.size()));
  EXPECT_TRUE(isCatalogRecordAt(gap.data() + 80, gap.size() - 80));
  EXPECT_EQ(findCatalogRecordInGap(gap.data() + 80, 93, &type), nullptr);
  EXPECT_EQ(scanJournalGap(nullptr, gap.data(), gap.size()), 1);
  ASSERT_EQ(recordNodeCount(), 1u);
  const _RecordNode* kept = recordNodeMap().begin()->second;
  EXPECT_EQ(getRecordCnid(kept), 45u);
  EXPECT_EQ(makeRecordName(kept), u"a:b");
  size_t consumed = 0;
  // A second copy of a kept folder is not kept, and the gap search goes on inside it.
  EXPECT_EQ(parseRecordFragment(nullptr, gap.data() + 80, gap.size() - 80, &consumed), 0);
  EXPECT_EQ(consumed, folder.size());
  EXPECT_EQ(recordNodeCount(), 1u) << "a second copy of a folder is not kept twice";
  EXPECT_EQ(parseRecordFragment(nullptr, gap.data(), 60, &consumed), 0);
  freeRecordNodeMap();
}

// A transaction's block table: the sizes of its blocks and the offsets of a node's records.
TEST(HfspJournal, BlockTableAndRecordOffsets) {
  std::vector<uint8_t> tx(512 + 2 * 4096);
  L16(tx, 0, 3);
  L16(tx, 2, 3);
  L32(tx, 4, uint32_t(tx.size()));
  L32(tx, 16 + 16 + 8, 4096);
  L32(tx, 16 + 32 + 8, 4096);
  uint64_t sum = 5;
  EXPECT_EQ(sumBlockSizes(tx.data(), uint32_t(tx.size()), 2, &sum), 0);
  EXPECT_EQ(sum, 5u + 8192u);
  EXPECT_EQ(sumBlockSizes(tx.data(), 40, 2, &sum), -1) << "an entry past the transaction";
  L16(tx, 2, 40);  // a block table larger than the transaction
  EXPECT_EQ(parseBlocks(nullptr, tx.data(), 512, 0), -1);

  std::vector<uint8_t> node(4096);
  PutNode(node, 0, 4096, -1, 1, {Rec(20, u"x", 1, 50), Rec(20, u"yy", 1, 51)});
  uint16_t off = 0;
  EXPECT_EQ(getRecordOffset(node.data(), node.size(), 0, &off), Rec(20, u"x", 1, 50).size());
  EXPECT_EQ(off, 14);
  EXPECT_EQ(getRecordOffset(node.data(), node.size(), 1, &off), Rec(20, u"yy", 1, 51).size());
  EXPECT_EQ(off, 14 + Rec(20, u"x", 1, 50).size());
  B16(node, 4096 - 4, 10);  // record 1 placed before record 0
  EXPECT_EQ(getRecordOffset(node.data(), node.size(), 0, &off), 0);
  EXPECT_EQ(off, 14);
}

namespace {
std::vector<std::string> gDebugTexts;
void CollectDebugText(const char* text) { gDebugTexts.push_back(text); }
}  // namespace

// Debug texts go to the debugger output (standard error with KESTRUM_DEBUG) unless another
// output is set; lookup timings only when the timing bit is on and the caller asks for them.
TEST(HfspJournal, DebugTextsGoToTheDebuggerOutputOrASetOne) {
  gDebugTexts.clear();
  JVolume v;
  v.AddTx({{Rec(20, u"lost.jpg", 2, 22, 5000)}});
  Found f;
  {
    testutil::ScopedEnv debug("KESTRUM_DEBUG", "1");
    testing::internal::CaptureStderr();
    EXPECT_EQ(Mine(v, &f), 0);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err.rfind("0\n[HFSP] \t\t\t\t\t   analyze journal buffer posision:%1\n", 0), 0u) << err;
    EXPECT_NE(err.find("[HFSP][consNodePath]================================================"
                       "currentItem/allItem 1/1  0x"),
              std::string::npos);
  }
  EXPECT_TRUE(gDebugTexts.empty());

  hfsplus_set_debug_output(CollectDebugText);
  EXPECT_EQ(Mine(v, &f), 0);
  ASSERT_GE(gDebugTexts.size(), 3u);
  EXPECT_EQ(gDebugTexts[0], "0\n");
  EXPECT_EQ(gDebugTexts[1], "[HFSP] \t\t\t\t\t   analyze journal buffer posision:%1\n");
  EXPECT_EQ(gDebugTexts.back().rfind("[HFSP][consNodePath]================================================"
                                     "currentItem/allItem 1/1  0x",
                                     0),
            0u);

  OpenCatalog c(v.img);
  ASSERT_EQ(c.opened, 1);
  _hfsplus_tree& cat = c.cat;
  uint8_t key[8];
  hfsplus_make_cat_key(key, sizeof key, 20, nullptr, 0);
  uint8_t data[520];
  uint32_t len = sizeof data;
  uint32_t savedFlags = hfsplus_debug_flags();
  hfsplus_set_debug_flags(0);
  gDebugTexts.clear();
  EXPECT_EQ(hfsplus_btfind_exact(&cat, key, sizeof key, data, &len, 1, "probe"), 1);
  EXPECT_TRUE(gDebugTexts.empty());
  hfsplus_set_debug_flags(3);
  len = sizeof data;
  EXPECT_EQ(hfsplus_btfind_exact(&cat, key, sizeof key, data, &len, 0, "probe"), 1);
  EXPECT_TRUE(gDebugTexts.empty());
  len = sizeof data;
  EXPECT_EQ(hfsplus_btfind_exact(&cat, key, sizeof key, data, &len, 1, "probe"), 1);
  ASSERT_EQ(gDebugTexts.size(), 1u);
  EXPECT_EQ(gDebugTexts[0].rfind("probe/hfsplus_btfind_exact\t", 0), 0u);
  hfsplus_set_debug_flags(savedFlags);
  hfsplus_set_debug_output(nullptr);
  hfsplus_node_cache_free();
  hfsplus_pool_free();
  gDebugTexts.clear();
}

// A journal-found file gets the bytes its extents cover, in the volume's sectors; a file none
// of whose extents lie in the volume has no data to copy and says so, rather than pass for
// an empty file that was recovered.
TEST(HfspJournal, FileRecordBecomesRunsOrNoData) {
  HfspVolume vol{};
  vol.blockSize = 4096;
  vol.totalBlocks = 100;
  auto make = [&](uint64_t size, uint32_t start, uint32_t blocks) {
    std::vector<uint8_t> r = Rec(20, u"f.bin", 2, 40, size);
    const size_t type = 8 + 2 * 5;  // the key, then the record's type field
    B32(r, type + 88 + 12, blocks);
    B32(r, type + 88 + 16, start);
    B32(r, type + 88 + 20, blocks);
    _RecordNode rec{};
    rec.recordType = 2;
    std::memcpy(rec.body, r.data() + type + 2, sizeof rec.body);
    return hfsplus_make_file_info(nullptr, &vol, &rec, u"f.bin", 512);
  };
  IFileInfo* whole = make(5000, 40, 2);
  ASSERT_NE(whole, nullptr);
  EXPECT_EQ(whole->GetSize(), 5000);
  EXPECT_EQ(whole->GetFlags() & FF_NODATA, 0u);
  RunList* run = static_cast<RunList*>(whole->GetRunList());
  ASSERT_NE(run, nullptr);
  EXPECT_EQ(run->m_start, 40u * 8);
  EXPECT_EQ(run->m_count, 10u);
  EXPECT_EQ(run->m_next, nullptr);
  whole->Release();

  IFileInfo* cut = make(20000, 40, 2);  // more than two blocks hold
  ASSERT_NE(cut, nullptr);
  EXPECT_EQ(cut->GetSize(), 8192);
  cut->Release();

  IFileInfo* outside = make(5000, 99, 2);  // runs past the volume's last block
  ASSERT_NE(outside, nullptr);
  EXPECT_EQ(outside->GetSize(), 0);
  EXPECT_NE(outside->GetFlags() & FF_NODATA, 0u);
  EXPECT_EQ(outside->GetFlags() & FF_OVERWRITTEN, 0u) << "its extents are what was lost";
  EXPECT_EQ(outside->GetRunList(), nullptr);
  outside->Release();
}
