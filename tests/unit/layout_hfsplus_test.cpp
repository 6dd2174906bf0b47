// The HFS+ layouts against a volume made by xorriso (with The Sleuth Kit's listing of it),
// and against single patched fields.
#include <gtest/gtest.h>

#include <fstream>

#include "common/inc/bytes.h"
#include "common/layout/hfsplus_btree.h"
#include "common/layout/hfsplus_volume.h"
#include "layoutcheck.h"
#include "scanoperate/hfsp/hfsplus_format.h"
#include "testutil.h"

namespace {

using testutil::ReadRange;

// Files and folders of the Sleuth Kit listing, the four special files left out.
size_t ListedNodes(const std::string& fls) {
  std::ifstream in(fls);
  std::string line;
  size_t n = 0;
  while (std::getline(in, line)) {
    size_t tab = line.find('\t');
    if (tab != std::string::npos && line.compare(tab + 1, 1, "$") != 0) ++n;
  }
  return n;
}

void ExpectSameFork(const layout::HFSPlusForkData& a, const ::HFSPlusForkData& b) {
  EXPECT_EQ(a.logicalSize, b.logicalSize);
  EXPECT_EQ(a.totalBlocks, b.totalBlocks);
  EXPECT_EQ(a.clumpSize, b.clumpSize);
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ(a.extents[i].startBlock, b.extents[i].startBlock) << i;
    EXPECT_EQ(a.extents[i].blockCount, b.extents[i].blockCount) << i;
  }
}

TEST(LayoutHfsPlus, VolumeHeaderAndTreesOfAnXorrisoVolume) {
  std::string img = testutil::Fixture("hfsplus_xorriso.img");
  std::string fls = testutil::Fixture("hfsplus_xorriso.fls");
  if (img.empty() || fls.empty()) GTEST_SKIP() << "fixture missing";
  std::vector<uint8_t> raw = ReadRange(img, layout::kHFSPlusVolumeHeaderOffset, 512);
  layout::HFSPlusVolumeHeader h;
  ASSERT_TRUE(layout::DecodeHFSPlusVolumeHeader(raw.data(), raw.size(), &h));
  EXPECT_EQ(h.signature, layout::kHFSPlusSignature);
  EXPECT_EQ(h.version, 4);
  EXPECT_EQ(h.lastMountedVersion, 0x6C69736Fu);  // "liso", xorriso's tag
  EXPECT_EQ(h.blockSize, 2048u);                 // xorriso's block size
  std::ifstream f(img, std::ios::binary | std::ios::ate);
  EXPECT_EQ(uint64_t(h.totalBlocks) * h.blockSize, uint64_t(f.tellg()));
  const size_t nodes = ListedNodes(fls);
  EXPECT_EQ(size_t(h.fileCount) + h.folderCount, nodes);

  // The engine's own reading of the header agrees, fork by fork.
  ::HFSPlusVolumeHeader old;
  ASSERT_TRUE(hfsplus_read_volume_header(raw.data(), raw.size(), &old));
  EXPECT_EQ(h.totalBlocks, old.totalBlocks);
  EXPECT_EQ(h.encodingsBitmap, old.encodingsBitmap);
  EXPECT_EQ(h.finderInfo[7], old.finderInfo[7]);
  ExpectSameFork(h.allocationFile, old.allocationFile);
  ExpectSameFork(h.extentsFile, old.extentsFile);
  ExpectSameFork(h.catalogFile, old.catalogFile);
  ExpectSameFork(h.startupFile, old.startupFile);

  // Node 0 of each tree: a header node of three records, the header record at 14.
  const struct {
    const layout::HFSPlusForkData* fork;
    uint16_t maxKey;
  } trees[] = {{&h.catalogFile, 516}, {&h.extentsFile, 10}};
  for (const auto& t : trees) {
    uint64_t at = uint64_t(t.fork->extents[0].startBlock) * h.blockSize;
    std::vector<uint8_t> node = ReadRange(img, at, 512);
    layout::BTNodeDescriptor d;
    ASSERT_TRUE(layout::DecodeBTNodeDescriptor(node.data(), node.size(), &d));
    EXPECT_EQ(d.kind, 1);
    EXPECT_EQ(d.height, 0);
    EXPECT_EQ(d.numRecords, 3);
    EXPECT_EQ(d.fLink, 0u);
    layout::BTHeaderRec r;
    ASSERT_TRUE(layout::DecodeBTHeaderRec(&node[layout::kBTHeaderRecOffset],
                                          node.size() - layout::kBTHeaderRecOffset, &r));
    EXPECT_TRUE(layout::BTValidNodeSize(r.nodeSize));
    EXPECT_EQ(r.maxKeyLength, t.maxKey);
    EXPECT_EQ(uint64_t(r.totalNodes) * r.nodeSize, t.fork->logicalSize);
    EXPECT_EQ(r.btreeType, 0);
    EXPECT_TRUE(r.attributes & 0x2);  // big keys
    if (t.maxKey == 516) {
      EXPECT_EQ(r.nodeSize, 4096);  // xorriso's catalog nodes
      // A record and a thread for every file and folder, and for the root.
      EXPECT_EQ(r.leafRecords, 2 * (nodes + 1));
      EXPECT_LT(r.rootNode, r.totalNodes);
      EXPECT_GE(r.treeDepth, 1);
      std::vector<uint8_t> leaf = ReadRange(img, at + uint64_t(r.firstLeafNode) * r.nodeSize, 14);
      ASSERT_TRUE(layout::DecodeBTNodeDescriptor(leaf.data(), leaf.size(), &d));
      EXPECT_EQ(d.kind, -1);
      EXPECT_EQ(d.height, 1);
      EXPECT_EQ(d.bLink, 0u);
    } else {
      EXPECT_EQ(r.treeDepth, 0);  // nothing overflows
      EXPECT_EQ(r.leafRecords, 0u);
    }
  }
}

TEST(LayoutHfsPlus, ShortBuffersAndBigEndianFields) {
  std::vector<uint8_t> vh(512, 0);
  vh[0] = 'H';
  vh[1] = 'X';
  kbytes::PutBe16(&vh[2], 5);
  kbytes::PutBe32(&vh[40], 4096);
  kbytes::PutBe64(&vh[72], 0x8000000000000001ull);
  kbytes::PutBe32(&vh[80 + 28], 0xCAFEBABE);
  kbytes::PutBe64(&vh[272], 0x0102030405060708ull);
  kbytes::PutBe32(&vh[272 + 16 + 7 * 8], 0x80000001u);      // last extent's start
  kbytes::PutBe32(&vh[432 + 16 + 7 * 8 + 4], 0xFFFFFFFFu);  // startup's last count
  testutil::ExpectRefusesShort<layout::HFSPlusVolumeHeader>(layout::DecodeHFSPlusVolumeHeader, vh, 512);
  layout::HFSPlusVolumeHeader h;
  ASSERT_TRUE(layout::DecodeHFSPlusVolumeHeader(vh.data(), vh.size(), &h));
  EXPECT_EQ(h.signature, layout::kHFSXSignature);
  EXPECT_EQ(h.version, 5);
  EXPECT_EQ(h.blockSize, 4096u);
  EXPECT_EQ(h.encodingsBitmap, 0x8000000000000001ull);
  EXPECT_EQ(h.finderInfo[7], 0xCAFEBABEu);
  EXPECT_EQ(h.catalogFile.logicalSize, 0x0102030405060708ull);
  EXPECT_EQ(h.catalogFile.extents[7].startBlock, 0x80000001u);
  EXPECT_EQ(h.startupFile.extents[7].blockCount, 0xFFFFFFFFu);

  std::vector<uint8_t> fork(vh.begin() + 272, vh.begin() + 352);
  testutil::ExpectRefusesShort<layout::HFSPlusForkData>(layout::DecodeHFSPlusForkData, fork, 80);
  std::vector<uint8_t> ext(fork.begin() + 16 + 56, fork.end());
  testutil::ExpectRefusesShort<layout::HFSPlusExtentDescriptor>(layout::DecodeHFSPlusExtentDescriptor, ext,
                                                                8);

  std::vector<uint8_t> node(14 + 106, 0);
  kbytes::PutBe32(&node[0], 7);
  kbytes::PutBe32(&node[4], 0xFFFFFFFEu);
  node[8] = 0xFF;
  node[9] = 1;
  kbytes::PutBe16(&node[10], 0x1234);
  testutil::ExpectRefusesShort<layout::BTNodeDescriptor>(layout::DecodeBTNodeDescriptor, node, 14);
  layout::BTNodeDescriptor d;
  ASSERT_TRUE(layout::DecodeBTNodeDescriptor(node.data(), node.size(), &d));
  EXPECT_EQ(d.kind, -1);  // signed
  EXPECT_EQ(d.bLink, 0xFFFFFFFEu);
  EXPECT_EQ(d.numRecords, 0x1234);
  node[8] = 0x80;
  ASSERT_TRUE(layout::DecodeBTNodeDescriptor(node.data(), node.size(), &d));
  EXPECT_EQ(d.kind, -128);

  std::vector<uint8_t> rec(node.begin() + 14, node.end());
  kbytes::PutBe16(&rec[0], 3);
  kbytes::PutBe32(&rec[2], 0xABCDEF01u);
  kbytes::PutBe16(&rec[18], 8192);
  kbytes::PutBe32(&rec[22], 0x01020304u);
  rec[37] = 0xBC;
  kbytes::PutBe32(&rec[38], 6);
  testutil::ExpectRefusesShort<layout::BTHeaderRec>(layout::DecodeBTHeaderRec, rec, 106);
  layout::BTHeaderRec r;
  ASSERT_TRUE(layout::DecodeBTHeaderRec(rec.data(), rec.size(), &r));
  EXPECT_EQ(r.treeDepth, 3);
  EXPECT_EQ(r.rootNode, 0xABCDEF01u);
  EXPECT_EQ(r.nodeSize, 8192);
  EXPECT_EQ(r.totalNodes, 0x01020304u);
  EXPECT_EQ(r.keyCompareType, 0xBC);
  EXPECT_EQ(r.attributes, 6u);

  for (uint32_t ok : {512u, 4096u, 32768u}) EXPECT_TRUE(layout::BTValidNodeSize(ok)) << ok;
  for (uint32_t bad : {0u, 256u, 1000u, 65536u, 0x80000000u})
    EXPECT_FALSE(layout::BTValidNodeSize(bad)) << bad;
}

}  // namespace
