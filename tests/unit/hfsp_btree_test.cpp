#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "common/inc/bytes.h"
#include "common/layout/hfsplus_btree.h"
#include "hfsp_testdev.h"
#include "scanoperate/hfsp/btree.h"
#include "scanoperate/hfsp/hfspformat.h"
#include "testutil.h"

namespace {

void Be16At(std::vector<uint8_t>& v, size_t o, uint16_t x) {
  v[o] = uint8_t(x >> 8);
  v[o + 1] = uint8_t(x);
}
void Be32At(std::vector<uint8_t>& v, size_t o, uint32_t x) {
  for (int i = 0; i < 4; ++i) v[o + i] = uint8_t(x >> (24 - 8 * i));
}
void Be64At(std::vector<uint8_t>& v, size_t o, uint64_t x) {
  Be32At(v, o, uint32_t(x >> 32));
  Be32At(v, o + 4, uint32_t(x));
}

// Free space after a tree, as a volume has: a tree is opened by reading 4 KiB of node 0.
const size_t kTail = 4096;

// A hand-made volume: 512-byte blocks, the catalog at block 8 with `nodes` nodes of
// `nodeSize` bytes, one extent, then free blocks. Node 0 is the header; the caller fills
// the others.
struct SynthVolume {
  uint32_t nodeSize;
  uint32_t nodes;
  std::vector<uint8_t> img;
  SynthVolume(uint32_t ns, uint32_t n, uint16_t sig = 0x482B, uint16_t ver = 4, uint8_t cmpType = 0xCF,
              uint16_t depth = 1, uint32_t root = 1)
      : nodeSize(ns), nodes(n), img(8 * 512 + size_t(ns) * n + kTail) {
    Be16At(img, 1024, sig);
    Be16At(img, 1026, ver);
    Be32At(img, 1024 + 40, 512);
    Be32At(img, 1024 + 44, uint32_t(img.size() / 512));
    uint32_t blocks = ns * n / 512;
    Be64At(img, 1024 + 272, uint64_t(blocks) * 512);
    Be32At(img, 1024 + 272 + 12, blocks);
    Be32At(img, 1024 + 272 + 16, 8);
    Be32At(img, 1024 + 272 + 20, blocks);
    size_t h = Node(0);
    img[h + 8] = 1;
    Be16At(img, h + 10, 3);
    size_t r = h + 14;
    Be16At(img, r + 0, depth);
    Be32At(img, r + 2, root);
    Be32At(img, r + 10, 1);
    Be16At(img, r + 18, uint16_t(ns));
    Be16At(img, r + 20, 516);
    Be32At(img, r + 22, n);
    img[r + 37] = cmpType;
    Be32At(img, r + 38, 6);
  }
  size_t Node(uint32_t i) const { return 8 * 512 + size_t(nodeSize) * i; }
  // A node with the given records (each record's bytes), offsets table at the end.
  void SetNode(uint32_t i, int8_t kind, uint8_t height, uint32_t fLink,
               const std::vector<std::vector<uint8_t>>& recs) {
    size_t b = Node(i);
    std::fill(img.begin() + b, img.begin() + b + nodeSize, 0);
    Be32At(img, b, fLink);
    img[b + 8] = uint8_t(kind);
    img[b + 9] = height;
    Be16At(img, b + 10, uint16_t(recs.size()));
    uint16_t off = 14;
    for (size_t k = 0; k < recs.size(); ++k) {
      std::copy(recs[k].begin(), recs[k].end(), img.begin() + b + off);
      Be16At(img, b + nodeSize - 2 * (k + 1), off);
      off = uint16_t(off + recs[k].size());
    }
    Be16At(img, b + nodeSize - 2 * (recs.size() + 1), off);
  }
};

std::vector<uint8_t> CatKey(uint32_t parent, const std::u16string& name) {
  std::vector<uint8_t> k(8 + 2 * name.size());
  Be16At(k, 0, uint16_t(6 + 2 * name.size()));
  Be32At(k, 2, parent);
  Be16At(k, 6, uint16_t(name.size()));
  for (size_t i = 0; i < name.size(); ++i) Be16At(k, 8 + 2 * i, name[i]);
  return k;
}
std::vector<uint8_t> FileRec(uint32_t parent, const std::u16string& name, uint32_t cnid) {
  auto r = CatKey(parent, name);
  std::vector<uint8_t> body(248);
  Be16At(body, 0, 2);
  Be32At(body, 8, cnid);
  r.insert(r.end(), body.begin(), body.end());
  return r;
}

struct OpenTrees {
  HfsMemStorage dev;
  HfspVolume vol{};
  _hfsplus_tree ext{};
  _hfsplus_tree cat{};
  int catOpen = -1, extOpen = -1;
  explicit OpenTrees(std::vector<uint8_t> img) : dev(std::move(img)) {
    hfsplus_node_cache_free();
    hfsplus_pool_free();
    hfsplus_parse_volume(dev.bytes().data() + 1024, 512, &vol);
    cat.extentsTree = &ext;
    extOpen = hfsplus_btree_open(&ext, &dev, &vol, kHfsExtentsFileID);
    catOpen = hfsplus_btree_open(&cat, &dev, &vol, kHfsCatalogFileID);
  }
  ~OpenTrees() {
    hfsplus_node_cache_free();
    hfsplus_pool_free();
  }
  int Find(const std::vector<uint8_t>& key, uint32_t* cnid = nullptr) {
    uint8_t data[520];
    uint32_t len = sizeof data;
    int r = hfsplus_btfind_exact(&cat, key.data(), key.size(), data, &len, 0, "test");
    if (r == 1 && cnid && len >= 12) *cnid = uint32_t(data[8]) << 24 | data[9] << 16 | data[10] << 8 | data[11];
    return r;
  }
};

std::string Utf8(const uint8_t* units, size_t n) {
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    uint32_t c = uint32_t(units[2 * i]) << 8 | units[2 * i + 1];
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < n) {
      uint32_t d = uint32_t(units[2 * i + 2]) << 8 | units[2 * i + 3];
      c = 0x10000 + ((c - 0xD800) << 10) + (d - 0xDC00);
      ++i;
    }
    if (c < 0x80) s += char(c);
    else if (c < 0x800) { s += char(0xC0 | c >> 6); s += char(0x80 | (c & 0x3F)); }
    else if (c < 0x10000) { s += char(0xE0 | c >> 12); s += char(0x80 | ((c >> 6) & 0x3F)); s += char(0x80 | (c & 0x3F)); }
    else { s += char(0xF0 | c >> 18); s += char(0x80 | ((c >> 12) & 0x3F)); s += char(0x80 | ((c >> 6) & 0x3F)); s += char(0x80 | (c & 0x3F)); }
  }
  return s;
}

}  // namespace

// Every live record of a real (xorriso) catalog is found again by the exact lookup, and
// the file names agree with The Sleuth Kit's listing of the same volume.
TEST(HfspBTree, XorrisoCatalogLookups) {
  std::string path = testutil::Fixture("hfsplus_xorriso.img");
  if (path.empty()) GTEST_SKIP() << "no xorriso fixture";
  OpenTrees t(testutil::ReadFile(path));
  ASSERT_EQ(t.extOpen, 1);
  ASSERT_EQ(t.catOpen, 1);
  EXPECT_EQ(t.cat.compare, &hfsplus_cat_key_cmp);
  EXPECT_EQ(t.ext.nodeSize, 2048);
  EXPECT_EQ(t.cat.nodeSize, 4096);
  EXPECT_GE(t.cat.treeDepth, 2) << "the fixture should need index nodes";

  // An extents node goes through the cache first: the slots must still hold catalog nodes.
  _hfsplus_node en{};
  en.tree = &t.ext;
  en.nodeNum = 0;
  uint8_t desc[14];
  ASSERT_EQ(hfsplus_node_read(&en, desc, 0, 14), 14);
  EXPECT_EQ(hfsplus_pool_slot_size(), 4096u);

  std::vector<std::vector<uint8_t>> keys;
  std::set<std::string> names;
  ASSERT_EQ(hfsplus_walk_leaves(&t.cat, [&](const uint8_t* k, size_t kb, const uint8_t* d, size_t db) {
              keys.emplace_back(k, k + kb);
              if (db >= 2 && (d[1] == 1 || d[1] == 2) && kb >= 8) {
                size_t units = size_t(k[6]) << 8 | k[7];
                if (8 + 2 * units <= kb) names.insert(Utf8(k + 8, units));
              }
              return true;
            }),
            1);
  EXPECT_GT(keys.size(), 1100u);
  size_t found = 0;
  for (const auto& k : keys) found += t.Find(k) == 1;
  EXPECT_EQ(found, keys.size());

  // Case folding: the live "Mixed Case" folder answers to any case.
  uint32_t cnid = 0;
  EXPECT_EQ(t.Find(CatKey(2, u"mixed case"), &cnid), 1);
  EXPECT_GT(cnid, 15u);
  EXPECT_EQ(t.Find(CatKey(2, u"no such thing")), -1);
  EXPECT_EQ(t.Find(CatKey(0, u"")), -1);  // below every key

  std::ifstream fls(path.substr(0, path.size() - 4) + ".fls");
  std::string line;
  size_t checked = 0;
  while (std::getline(fls, line)) {
    size_t tab = line.find('\t');
    if (tab == std::string::npos || line.find('$') != std::string::npos) continue;
    std::string name = line.substr(tab + 1);
    size_t slash = name.rfind('/');
    if (slash != std::string::npos) name = name.substr(slash + 1);
    if (name.find("HFS+ Private") != std::string::npos || name.empty() || name[0] == '^') continue;
    EXPECT_TRUE(names.count(name)) << name;
    ++checked;
  }
  EXPECT_GT(checked, 500u);
}

// The xorriso catalog: every key in tree order, and where its first leaf and that leaf's
// offset table lie.
struct XorrisoFirstLeaf {
  std::vector<uint8_t> intact;
  std::vector<std::vector<uint8_t>> keys;
  uint64_t leafAt = 0;
  uint32_t nodeSize = 0;
  uint16_t records = 0;
  bool Load() {
    std::string path = testutil::Fixture("hfsplus_xorriso.img");
    if (path.empty()) return false;
    intact = testutil::ReadFile(path);
    {
      OpenTrees t(intact);
      if (t.catOpen != 1) return false;
      hfsplus_walk_leaves(&t.cat, [&](const uint8_t* k, size_t kb, const uint8_t*, size_t) {
        keys.emplace_back(k, k + kb);
        return true;
      });
    }
    const uint8_t* vh = intact.data() + 1024;
    const uint64_t cat = uint64_t(kbytes::Be32(vh + 272 + 16)) * kbytes::Be32(vh + 40);
    nodeSize = kbytes::Be16(intact.data() + cat + 14 + 18);
    leafAt = cat + uint64_t(kbytes::Be32(intact.data() + cat + 14 + 10)) * nodeSize;
    records = kbytes::Be16(intact.data() + leafAt + 10);
    return true;
  }
  // Byte of the offset entry of record k in the first leaf.
  size_t Entry(int k) const { return size_t(leafAt + nodeSize - 2 * (k + 1)); }
};

// The first leaf of the xorriso catalog with one offset entry pointing past the node
// (0xFFF0), in turn at each of its records: the walk and the exact lookups lose that one
// record and find every other record of the tree, the one before the damage included
// with its own length.
TEST(HfspBTree, DamagedOffsetEntryLosesOnlyItsRecord) {
  XorrisoFirstLeaf x;
  if (!x.Load()) GTEST_SKIP() << "no xorriso fixture";
  const std::vector<std::vector<uint8_t>>& all = x.keys;
  const uint16_t n = x.records;
  ASSERT_GT(n, 8);
  for (int k : {1, n / 2, n - 1}) {
    SCOPED_TRACE(k);
    std::vector<uint8_t> img = x.intact;
    uint8_t* entry = img.data() + x.Entry(k);
    const uint8_t* rec = x.intact.data() + x.leafAt + kbytes::Be16(entry);
    std::vector<uint8_t> lostKey(rec, rec + 2 + kbytes::Be16(rec));
    kbytes::PutBe16(entry, 0xFFF0);
    OpenTrees t(img);
    ASSERT_EQ(t.catOpen, 1);
    std::vector<std::vector<uint8_t>> walked;
    // A file record is handed out at its own length, never with its neighbour.
    size_t fileRecords = 0, ownLength = 0;
    auto visit = [&](const uint8_t* key, size_t kb, const uint8_t* d, size_t db) {
      walked.emplace_back(key, key + kb);
      if (db >= 2 && d[1] == 2) {
        ++fileRecords;
        ownLength += db == 248;
      }
      return true;
    };
    ASSERT_EQ(hfsplus_walk_leaves(&t.cat, visit), 1);
    EXPECT_EQ(ownLength, fileRecords);
    EXPECT_EQ(walked.size(), all.size() - 1);
    size_t found = 0, lost = 0;
    for (const auto& key : all) {
      std::vector<uint8_t> even(key.begin(),
                                key.begin() + std::min(key.size(), 2 + size_t(kbytes::Be16(key.data()))));
      if (even == lostKey) {
        EXPECT_EQ(t.Find(key), -1);
        ++lost;
      } else {
        found += t.Find(key) == 1;
      }
    }
    EXPECT_EQ(lost, 1u);
    EXPECT_EQ(found, all.size() - 1);
  }
}

// The same leaf with the entry of its first record damaged (0xFFF0, and 0, and an offset
// inside the node that is not 14): the first record always starts right behind the
// descriptor, so nothing is lost. The walk gives every record of the tree at its own
// length and every key is found, the first record's included, so that a live file is
// never taken for a deleted one.
TEST(HfspBTree, DamagedFirstOffsetEntryLosesNoRecord) {
  XorrisoFirstLeaf x;
  if (!x.Load()) GTEST_SKIP() << "no xorriso fixture";
  ASSERT_GT(x.records, 2);
  for (uint16_t bad : {uint16_t(0xFFF0), uint16_t(0), uint16_t(200)}) {
    SCOPED_TRACE(bad);
    std::vector<uint8_t> img = x.intact;
    ASSERT_EQ(kbytes::Be16(img.data() + x.Entry(0)), 14);
    kbytes::PutBe16(img.data() + x.Entry(0), bad);
    OpenTrees t(img);
    ASSERT_EQ(t.catOpen, 1);
    std::vector<std::vector<uint8_t>> walked;
    size_t fileRecords = 0, ownLength = 0;
    ASSERT_EQ(hfsplus_walk_leaves(&t.cat,
                                  [&](const uint8_t* key, size_t kb, const uint8_t* d, size_t db) {
                                    walked.emplace_back(key, key + kb);
                                    if (db >= 2 && d[1] == 2) {
                                      ++fileRecords;
                                      ownLength += db == 248;
                                    }
                                    return true;
                                  }),
              1);
    EXPECT_EQ(walked, x.keys);
    EXPECT_GT(fileRecords, 500u);
    EXPECT_EQ(ownLength, fileRecords);
    size_t found = 0;
    for (const auto& key : x.keys) found += t.Find(key) == 1;
    EXPECT_EQ(found, x.keys.size());
  }
}

TEST(HfspBTree, HfsxUsesBinaryOrderOnlyWhenTheHeaderSaysSo) {
  for (int hfsx = 0; hfsx < 2; ++hfsx) {
    SynthVolume v(1024, 3, hfsx ? 0x4858 : 0x482B, hfsx ? 5 : 4, hfsx ? 0xBC : 0xCF);
    // Binary order: "Abc" (0x41) before "abc" (0x61).
    v.SetNode(1, -1, 1, 0, {FileRec(2, u"Abc", 100), FileRec(2, u"abc", 101)});
    OpenTrees t(v.img);
    ASSERT_EQ(t.catOpen, 1);
    uint32_t a = 0, b = 0;
    ASSERT_EQ(t.Find(CatKey(2, u"Abc"), &a), 1);
    ASSERT_EQ(t.Find(CatKey(2, u"abc"), &b), 1);
    if (hfsx) {
      EXPECT_EQ(a, 100u);
      EXPECT_EQ(b, 101u);
      EXPECT_EQ(t.Find(CatKey(2, u"ABC")), -1);
    } else {
      EXPECT_EQ(a, b);  // one name under case folding
    }
  }
  // "HX" with version 4, or the HFS+ signature with 0xBC: still case folding.
  SynthVolume odd(512, 3, 0x482B, 4, 0xBC);
  odd.SetNode(1, -1, 1, 0, {FileRec(2, u"Abc", 100)});
  OpenTrees t(odd.img);
  ASSERT_EQ(t.catOpen, 1);
  EXPECT_EQ(t.cat.compare, &hfsplus_cat_key_cmp);
}

TEST(HfspBTree, HeaderFieldsValidatedBeforeUse) {
  struct Patch {
    size_t off;
    uint32_t value;
    int width;
  };
  const size_t r = 8 * 512 + 14;
  const Patch bad[] = {
      {r + 18, 0, 2},       {r + 18, 300, 2},  {r + 18, 65535, 2},  // node size
      {r + 22, 0, 4},       {r + 22, 1000, 4},                      // totalNodes past the fork
      {r + 2, 7, 4},        {r + 0, 200, 2},                        // root past the end, depth
      {r + 20, 600, 2},     {r + 26, 9, 4},                         // key length, freeNodes
      {8 * 512 + 8, 0xFF, 1},                                       // node 0 not a header
  };
  for (const auto& p : bad) {
    SynthVolume v(512, 3);
    if (p.width == 1) v.img[p.off] = uint8_t(p.value);
    else if (p.width == 2) Be16At(v.img, p.off, uint16_t(p.value));
    else Be32At(v.img, p.off, p.value);
    OpenTrees t(v.img);
    EXPECT_EQ(t.catOpen, -1) << p.off << " " << p.value;
  }
  SynthVolume ok(512, 3);
  OpenTrees t(ok.img);
  EXPECT_EQ(t.catOpen, 1);
}

TEST(HfspBTree, HostileNodesEndQuickly) {
  auto start = std::chrono::steady_clock::now();
  {  // a leaf linked to itself
    SynthVolume v(512, 3);
    v.SetNode(1, -1, 1, 1, {FileRec(2, u"a", 20)});
    OpenTrees t(v.img);
    size_t seen = 0;
    EXPECT_EQ(hfsplus_walk_leaves(&t.cat, [&](const uint8_t*, size_t, const uint8_t*, size_t) {
                ++seen;
                return true;
              }),
              -1);
    EXPECT_EQ(seen, 1u);
  }
  {  // an index node whose child is itself; depth 2
    SynthVolume v(512, 3, 0x482B, 4, 0xCF, 2, 1);
    auto idx = CatKey(2, u"a");
    idx.insert(idx.end(), {0, 0, 0, 1});
    v.SetNode(1, 0, 2, 0, {idx});
    OpenTrees t(v.img);
    EXPECT_EQ(t.Find(CatKey(2, u"b")), -1);
  }
  {  // key length 516 in the last record of the node: nothing read past the node
    SynthVolume v(512, 3);
    v.SetNode(1, -1, 1, 0, {FileRec(2, u"a", 20)});
    size_t b = v.Node(1);
    Be16At(v.img, b + 14, 516);
    OpenTrees t(v.img);
    EXPECT_EQ(t.Find(CatKey(2, u"a")), -1);
  }
  {  // record offsets out of order or into the offset table
    SynthVolume v(512, 3);
    v.SetNode(1, -1, 1, 0, {FileRec(2, u"a", 20)});
    // The end of the one record past the node: nothing bounds it inside.
    Be16At(v.img, v.Node(1) + 508, 600);
    OpenTrees t(v.img);
    EXPECT_EQ(t.Find(CatKey(2, u"a")), -1);
  }
  {  // the first record's own entry past the node: that record is where it always is
    SynthVolume v(512, 3);
    v.SetNode(1, -1, 1, 0, {FileRec(2, u"a", 20)});
    Be16At(v.img, v.Node(1) + 510, 600);
    OpenTrees t(v.img);
    EXPECT_EQ(t.Find(CatKey(2, u"a")), 1);
  }
  {  // numRecords far beyond what the node can index
    SynthVolume v(512, 3);
    v.SetNode(1, -1, 1, 0, {FileRec(2, u"a", 20)});
    Be16At(v.img, v.Node(1) + 10, 65535);
    OpenTrees t(v.img);
    EXPECT_EQ(t.Find(CatKey(2, u"a")), -1);
  }
  {  // a catalog cut short past its first 4 KiB: the root's read fails and its slot is given back
    SynthVolume v(512, 10, 0x482B, 4, 0xCF, 1, 9);
    v.SetNode(9, -1, 1, 0, {FileRec(2, u"a", 20)});
    v.img.resize(v.Node(9) + 100);
    OpenTrees t(v.img);
    ASSERT_EQ(t.catOpen, 1);
    EXPECT_EQ(t.Find(CatKey(2, u"a")), -1);
    EXPECT_EQ(hfsplus_node_cache_size(), 0u);
    uint8_t* slot = hfsplus_pool_alloc();
    ASSERT_NE(slot, nullptr);
    hfsplus_pool_mark(slot, 0);
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(300));
}

// 6401 distinct nodes through a 6400-entry cache: the lowest key is evicted and its slot,
// cleared at eviction, is the one the newcomer gets.
TEST(HfspBTree, CacheEvictsLowestKeyAndReusesItsSlot) {
  SynthVolume v(512, 6403);
  for (uint32_t i = 1; i < 6403; ++i) v.SetNode(i, -1, 1, 0, {});
  OpenTrees t(v.img);
  ASSERT_EQ(t.catOpen, 1);
  _hfsplus_node n{};
  for (uint32_t i = 1; i <= 6400; ++i) ASSERT_EQ(hfsplus_read_node_desc(&t.cat, i, &n), 1) << i;
  EXPECT_EQ(hfsplus_node_cache_size(), 6400u);
  int readsBefore = t.dev.reads;
  ASSERT_EQ(hfsplus_read_node_desc(&t.cat, 6401, &n), 1);
  EXPECT_EQ(hfsplus_node_cache_size(), 6400u);
  EXPECT_EQ(t.dev.reads, readsBefore + 1);
  // Node 2 is still cached (no read); node 1 was evicted (read again).
  ASSERT_EQ(hfsplus_read_node_desc(&t.cat, 2, &n), 1);
  EXPECT_EQ(t.dev.reads, readsBefore + 1);
  ASSERT_EQ(hfsplus_read_node_desc(&t.cat, 1, &n), 1);
  EXPECT_EQ(t.dev.reads, readsBefore + 2);
  EXPECT_EQ(hfsplus_read_node_desc(&t.cat, 6403, &n), -1);  // beyond totalNodes
}

// A catalog that continues in the extents-overflow tree and has more nodes than the cache:
// once the cache is full, mapping a catalog node past the eighth extent reads an extents
// node while the catalog node already holds a slot. Every node must still be readable.
TEST(HfspBTree, FullCacheStillReadsCatalogNodesMappedThroughOverflow) {
  const uint32_t kNodes = 6410;
  SynthVolume v(512, kNodes);
  for (uint32_t i = 1; i < kNodes; ++i) v.SetNode(i, -1, 1, 0, {});
  // Catalog fork: eight one-block extents (nodes 0..7), the rest in one overflow record.
  for (int e = 0; e < 8; ++e) {
    Be32At(v.img, 1024 + 272 + 16 + 8 * e, 8 + e);
    Be32At(v.img, 1024 + 272 + 20 + 8 * e, 1);
  }
  // Extents tree after the catalog: header node and one leaf, 512-byte nodes.
  uint32_t extStart = uint32_t(v.img.size() / 512);
  v.img.resize(v.img.size() + 1024 + kTail);
  Be64At(v.img, 1024 + 192, 1024);
  Be32At(v.img, 1024 + 192 + 12, 2);
  Be32At(v.img, 1024 + 192 + 16, extStart);
  Be32At(v.img, 1024 + 192 + 20, 2);
  Be32At(v.img, 1024 + 44, uint32_t(v.img.size() / 512));
  size_t h = size_t(extStart) * 512;
  v.img[h + 8] = 1;
  Be16At(v.img, h + 10, 3);
  Be16At(v.img, h + 14 + 0, 1);    // depth
  Be32At(v.img, h + 14 + 2, 1);    // root
  Be32At(v.img, h + 14 + 10, 1);   // first leaf
  Be16At(v.img, h + 14 + 18, 512);
  Be16At(v.img, h + 14 + 20, 10);
  Be32At(v.img, h + 14 + 22, 2);
  Be32At(v.img, h + 14 + 38, 2);
  size_t l = h + 512;
  v.img[l + 8] = uint8_t(-1);
  v.img[l + 9] = 1;
  Be16At(v.img, l + 10, 1);
  Be16At(v.img, l + 14, 10);
  Be32At(v.img, l + 14 + 4, kHfsCatalogFileID);
  Be32At(v.img, l + 14 + 8, 8);                  // continues at fork block 8
  Be32At(v.img, l + 14 + 12, 16);                // volume block 16
  Be32At(v.img, l + 14 + 16, kNodes - 8);
  Be16At(v.img, l + 512 - 2, 14);
  Be16At(v.img, l + 512 - 4, 14 + 76);
  OpenTrees t(v.img);
  ASSERT_EQ(t.extOpen, 1);
  ASSERT_EQ(t.catOpen, 1);
  _hfsplus_node n{};
  for (uint32_t i = 1; i < kNodes; ++i) ASSERT_EQ(hfsplus_read_node_desc(&t.cat, i, &n), 1) << i;
  EXPECT_LE(hfsplus_node_cache_size(), size_t(kNodeCacheEntries));
}

// The header rules that the tree layer and the formatted reader's stale-tree finder share,
// on xorriso's trees with one field patched at a time. Its extents tree is empty (depth 0,
// root 0): the tree layer opens it, the finder does not take it, since an empty tree would
// end its search for an older tree that still has records. A header whose every node is
// free is refused by both (the header node is always in use), and so is a header node with
// other than its three records or at another height than 0. A tree of the greatest depth
// has its root index node at that height.
TEST(HfspBTree, HeaderRulesSharedWithTheStaleTreeFinder) {
  std::string path = testutil::Fixture("hfsplus_xorriso.img");
  if (path.empty()) GTEST_SKIP() << "no xorriso fixture";
  const std::vector<uint8_t> image = testutil::ReadFile(path);
  HfspVolume vol{};
  ASSERT_TRUE(hfsplus_parse_volume(image.data() + 1024, 512, &vol));
  const size_t extAt = size_t(vol.extentsFile.extents[0].startBlock) * vol.blockSize;
  const size_t catAt = size_t(vol.catalogFile.extents[0].startBlock) * vol.blockSize;
  struct Seen {
    int opens;
    bool finderTakes;
  };
  auto judge = [&](const std::vector<uint8_t>& img, size_t at) {
    OpenTrees t(img);
    BTNodeDescriptor d;
    BTHeaderRec r;
    EXPECT_TRUE(layout::DecodeBTNodeDescriptor(&img[at], 14, &d));
    EXPECT_TRUE(layout::DecodeBTHeaderRec(&img[at + 14], 106, &r));
    // The catalog has variable-length index keys, so the finder is asked about any tree.
    bool takes = layout::BTHeaderNodeSound(d) && hfsplus_check_header_rec(&r, at == extAt ? 1 : 0);
    return Seen{at == extAt ? t.extOpen : t.catOpen, takes};
  };
  BTHeaderRec cat;
  ASSERT_TRUE(layout::DecodeBTHeaderRec(&image[catAt + 14], 106, &cat));
  BTHeaderRec ext;
  ASSERT_TRUE(layout::DecodeBTHeaderRec(&image[extAt + 14], 106, &ext));
  ASSERT_EQ(ext.treeDepth, 0);
  ASSERT_EQ(ext.rootNode, 0u);
  ASSERT_GE(cat.totalNodes, 2u);

  Seen s = judge(image, extAt);
  EXPECT_EQ(s.opens, 1);
  EXPECT_FALSE(s.finderTakes);
  s = judge(image, catAt);
  EXPECT_EQ(s.opens, 1);
  EXPECT_TRUE(s.finderTakes);

  const struct {
    const char* what;
    size_t off;  // from node 0's start
    uint32_t value;
    int width;
    bool sound;
  } patches[] = {
      {"every node free", 14 + 26, cat.totalNodes, 4, false},
      {"all but the header node free", 14 + 26, cat.totalNodes - 1, 4, true},
      {"depth past the cap", 14 + 0, 17, 2, false},
      {"greatest depth", 14 + 0, 16, 2, true},
      {"four records in the header node", 10, 4, 2, false},
      {"header node at height 1", 9, 1, 1, false},
  };
  for (const auto& p : patches) {
    SCOPED_TRACE(p.what);
    std::vector<uint8_t> img = image;
    if (p.width == 1) img[catAt + p.off] = uint8_t(p.value);
    else if (p.width == 2) Be16At(img, catAt + p.off, uint16_t(p.value));
    else Be32At(img, catAt + p.off, p.value);
    s = judge(img, catAt);
    EXPECT_EQ(s.opens, p.sound ? 1 : -1);
    EXPECT_EQ(s.finderTakes, p.sound);
    if (p.value == 16 && p.off == 14) {
      OpenTrees t(img);
      EXPECT_TRUE(hfsplus_check_node_kind(&t.cat, kBTIndexNode, 16));
      EXPECT_FALSE(hfsplus_check_node_kind(&t.cat, kBTIndexNode, 17));
    }
  }
}
