// The HFS+ layouts against a volume made by xorriso (with The Sleuth Kit's listing of it),
// and against single patched fields.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <set>

#include "common/inc/bytes.h"
#include "common/layout/apple_partition_map.h"
#include "common/layout/hfsplus_btree.h"
#include "common/layout/hfsplus_catalog.h"
#include "common/layout/hfsplus_journal.h"
#include "common/layout/hfsplus_volume.h"
#include "layoutcheck.h"
#include "scanoperate/hfsp/hfsplus_format.h"
#include "scanoperate/hfsp/journal.h"
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

// Every leaf record of xorriso's catalog, walked along the leaf links: a key and a folder,
// file or thread record each, one record and one thread per file and folder (the root's
// included), a thread's key without a name. Then single patched fields.
TEST(LayoutHfsPlus, CatalogKeysAndRecordsOfAnXorrisoVolume) {
  std::string img = testutil::Fixture("hfsplus_xorriso.img");
  std::string fls = testutil::Fixture("hfsplus_xorriso.fls");
  if (img.empty() || fls.empty()) GTEST_SKIP() << "fixture missing";
  std::vector<uint8_t> raw = ReadRange(img, layout::kHFSPlusVolumeHeaderOffset, 512);
  layout::HFSPlusVolumeHeader h;
  ASSERT_TRUE(layout::DecodeHFSPlusVolumeHeader(raw.data(), raw.size(), &h));
  const uint64_t at = uint64_t(h.catalogFile.extents[0].startBlock) * h.blockSize;
  std::vector<uint8_t> head = ReadRange(img, at, 512);
  layout::BTNodeDescriptor d;
  layout::BTHeaderRec r;
  ASSERT_TRUE(layout::DecodeBTNodeDescriptor(head.data(), head.size(), &d));
  ASSERT_TRUE(layout::BTHeaderNodeSound(d));
  ASSERT_TRUE(layout::DecodeBTHeaderRec(&head[14], head.size() - 14, &r));
  ASSERT_TRUE(layout::BTHeaderRecSound(r));

  size_t entries = 0, threads = 0, files = 0, leaves = 0;
  std::vector<uint8_t> sampleFile, sampleThread, sampleKey;
  std::set<uint32_t> seen;
  for (uint32_t n = r.firstLeafNode; n != 0 && seen.insert(n).second;) {
    std::vector<uint8_t> node = ReadRange(img, at + uint64_t(n) * r.nodeSize, r.nodeSize);
    ASSERT_TRUE(layout::DecodeBTNodeDescriptor(node.data(), node.size(), &d));
    ASSERT_TRUE(layout::BTNodeKindSound(d.kind, d.height, r.treeDepth));
    ASSERT_EQ(d.kind, layout::kBTLeafNode);
    ++leaves;
    for (size_t i = 0; i < d.numRecords; ++i) {
      uint16_t off = 0, next = 0;
      ASSERT_TRUE(layout::BTRecordOffset(node.data(), node.size(), i, &off));
      ASSERT_TRUE(layout::BTRecordOffset(node.data(), node.size(), i + 1, &next));
      ASSERT_LT(off, next);
      const uint8_t* rec = &node[off];
      size_t len = next - off;
      layout::HFSPlusCatalogKey k;
      ASSERT_TRUE(layout::DecodeHFSPlusCatalogKey(rec, len, &k));
      EXPECT_EQ(k.keyLength, 6 + 2 * k.nameLength);
      EXPECT_TRUE(layout::HFSPlusCatalogKeySound(k));
      if (sampleKey.empty() && k.nameLength) sampleKey.assign(rec, rec + 2 + k.keyLength);
      const uint8_t* data = rec + 2 + k.keyLength;
      size_t dataBytes = len - 2 - k.keyLength;
      uint16_t type = layout::HFSPlusCatalogRecordType(data, dataBytes);
      layout::HFSPlusCatalogEntry e;
      layout::HFSPlusCatalogThread t;
      if (layout::DecodeHFSPlusCatalogEntry(data, dataBytes, &e)) {
        EXPECT_EQ(e.recordType, type);
        EXPECT_GE(e.id, 2u);
        ++entries;
        if (type == layout::kHFSPlusFileRecordType) {
          ++files;
          EXPECT_LE(e.dataFork.logicalSize, uint64_t(e.dataFork.totalBlocks) * h.blockSize);
          if (sampleFile.empty() && e.dataFork.logicalSize) sampleFile.assign(data, data + dataBytes);
        }
      } else {
        ASSERT_TRUE(layout::DecodeHFSPlusCatalogThread(data, dataBytes, &t)) << n << " " << i;
        EXPECT_EQ(t.recordType, type);
        EXPECT_EQ(k.nameLength, 0);  // a thread's key is its own id with no name
        EXPECT_GE(t.parentID, 1u);
        ++threads;
        if (sampleThread.empty() && t.nameLength) sampleThread.assign(data, data + dataBytes);
      }
    }
    n = d.fLink;
  }
  const size_t nodes = ListedNodes(fls);
  EXPECT_EQ(entries, nodes + 1);
  EXPECT_EQ(threads, nodes + 1);
  EXPECT_EQ(files, h.fileCount);
  EXPECT_EQ(entries + threads, r.leafRecords);
  EXPECT_GT(leaves, 1u);

  // One field patched at a time. A key's length is odd only when damaged: the copy of the
  // rule that let such keys through for journal records no longer does.
  ASSERT_FALSE(sampleKey.empty());
  layout::HFSPlusCatalogKey k;
  testutil::ExpectRefusesShort<layout::HFSPlusCatalogKey>(layout::DecodeHFSPlusCatalogKey, sampleKey, 8);
  ASSERT_TRUE(layout::DecodeHFSPlusCatalogKey(sampleKey.data(), sampleKey.size(), &k));
  const uint16_t keyLength = k.keyLength;
  for (uint16_t bad : {uint16_t(keyLength + 1), uint16_t(keyLength - 2), uint16_t(4), uint16_t(518)}) {
    std::vector<uint8_t> p = sampleKey;
    kbytes::PutBe16(p.data(), bad);
    ASSERT_TRUE(layout::DecodeHFSPlusCatalogKey(p.data(), p.size(), &k));
    EXPECT_FALSE(layout::HFSPlusCatalogKeySound(k)) << bad;
  }
  std::vector<uint8_t> longer = sampleKey;
  kbytes::PutBe16(longer.data(), uint16_t(keyLength + 2));  // room after the name is allowed
  ASSERT_TRUE(layout::DecodeHFSPlusCatalogKey(longer.data(), longer.size(), &k));
  EXPECT_TRUE(layout::HFSPlusCatalogKeySound(k));
  kbytes::PutBe16(&longer[6], 256);
  kbytes::PutBe16(longer.data(), 516);
  ASSERT_TRUE(layout::DecodeHFSPlusCatalogKey(longer.data(), longer.size(), &k));
  EXPECT_FALSE(layout::HFSPlusCatalogKeySound(k));  // more units than a name has
  ASSERT_FALSE(sampleFile.empty());
  ASSERT_FALSE(sampleThread.empty());
  layout::HFSPlusCatalogEntry e;
  testutil::ExpectRefusesShort<layout::HFSPlusCatalogEntry>(layout::DecodeHFSPlusCatalogEntry, sampleFile,
                                                            248);
  std::vector<uint8_t> p = sampleFile;
  kbytes::PutBe16(p.data(), 1);  // a folder record needs only 88 bytes
  std::vector<uint8_t> folder(p.begin(), p.begin() + 88);
  ASSERT_TRUE(layout::DecodeHFSPlusCatalogEntry(folder.data(), folder.size(), &e));
  EXPECT_EQ(layout::HFSPlusCatalogRecordType(folder.data(), 87), 0);
  kbytes::PutBe16(p.data(), 5);
  EXPECT_FALSE(layout::DecodeHFSPlusCatalogEntry(p.data(), p.size(), &e));
  EXPECT_EQ(layout::HFSPlusCatalogRecordType(p.data(), p.size()), 0);
  layout::HFSPlusCatalogThread t;
  ASSERT_TRUE(layout::DecodeHFSPlusCatalogThread(sampleThread.data(), sampleThread.size(), &t));
  uint16_t unit = 0;
  EXPECT_TRUE(layout::HFSPlusNameUnit(sampleThread.data(), sampleThread.size(),
                                      layout::kHFSPlusCatalogThreadNameOffset, t.nameLength - 1u, &unit));
  EXPECT_FALSE(layout::HFSPlusNameUnit(sampleThread.data(), 10 + 2 * size_t(t.nameLength) - 1,
                                       layout::kHFSPlusCatalogThreadNameOffset, t.nameLength - 1u, &unit));
  EXPECT_FALSE(layout::DecodeHFSPlusCatalogThread(sampleThread.data(), 10 + 2 * size_t(t.nameLength) - 1, &t));
  p = sampleThread;
  kbytes::PutBe16(&p[8], 256);  // longer than any name
  p.resize(10 + 512, 0);
  EXPECT_FALSE(layout::DecodeHFSPlusCatalogThread(p.data(), p.size(), &t));
  std::vector<uint8_t> key = {0, 10, 0xFF, 0, 0, 0, 0, 20, 0x80, 0, 0, 1};
  testutil::ExpectRefusesShort<layout::HFSPlusExtentKey>(layout::DecodeHFSPlusExtentKey, key, 12);
  layout::HFSPlusExtentKey x;
  ASSERT_TRUE(layout::DecodeHFSPlusExtentKey(key.data(), key.size(), &x));
  EXPECT_EQ(x.forkType, 0xFF);
  EXPECT_EQ(x.fileID, 20u);
  EXPECT_EQ(x.startBlock, 0x80000001u);
  std::vector<uint8_t> extents(sampleFile.begin() + 88 + 16, sampleFile.begin() + 88 + 80);
  layout::HFSPlusExtentDescriptor rec[8];
  ASSERT_TRUE(layout::DecodeHFSPlusExtentRecord(extents.data(), extents.size(), rec));
  ASSERT_TRUE(layout::DecodeHFSPlusCatalogEntry(sampleFile.data(), sampleFile.size(), &e));
  for (int i = 0; i < 8; ++i) EXPECT_EQ(rec[i].startBlock, e.dataFork.extents[i].startBlock) << i;
  EXPECT_FALSE(layout::DecodeHFSPlusExtentRecord(extents.data(), 63, rec));
}

// The journal of a journaled volume built to TN1150: the info block places it inside the
// volume, its header carries the magic and endian words, and each transaction's block list
// header sums right and lists catalog nodes. Then short buffers.
TEST(LayoutHfsPlus, JournalInfoBlockHeaderAndBlockLists) {
  std::string img = testutil::Fixture("hfsplus_journal.img");
  if (img.empty()) GTEST_SKIP() << "fixture missing";
  std::vector<uint8_t> raw = ReadRange(img, layout::kHFSPlusVolumeHeaderOffset, 512);
  layout::HFSPlusVolumeHeader h;
  ASSERT_TRUE(layout::DecodeHFSPlusVolumeHeader(raw.data(), raw.size(), &h));
  ASSERT_TRUE(h.attributes & (1u << 13));
  std::vector<uint8_t> jib = ReadRange(img, uint64_t(h.journalInfoBlock) * h.blockSize, 180);
  layout::JournalInfoBlock info;
  testutil::ExpectRefusesShort<layout::JournalInfoBlock>(layout::DecodeJournalInfoBlock, jib, 52);
  ASSERT_TRUE(layout::DecodeJournalInfoBlock(jib.data(), jib.size(), &info));
  EXPECT_TRUE(kbytes::RangeInside(info.offset, info.size, uint64_t(h.totalBlocks) * h.blockSize));
  EXPECT_EQ(info.offset % h.blockSize, 0u);
  std::vector<uint8_t> j = ReadRange(img, info.offset, size_t(info.size));
  ASSERT_EQ(j.size(), info.size);
  layout::journal_header jh;
  std::vector<uint8_t> jhBytes(j.begin(), j.begin() + 44);
  testutil::ExpectRefusesShort<layout::journal_header>(layout::DecodeJournalHeader, jhBytes, 44);
  ASSERT_TRUE(layout::DecodeJournalHeader(j.data(), j.size(), &jh));
  EXPECT_EQ(jh.magic, 0x4A4E4C78u);  // "JNLx"
  EXPECT_EQ(jh.endian, 0x12345678u);
  EXPECT_EQ(jh.size, info.size);
  EXPECT_LT(jh.jhdr_size, jh.size);
  EXPECT_LE(jh.end, jh.size);

  // The transactions from start to end, with fragments of older ones between them.
  size_t transactions = 0, blocks = 0;
  for (uint64_t pos = jh.start; pos < jh.end;) {
    layout::block_list_header list;
    ASSERT_TRUE(layout::DecodeBlockListHeader(&j[pos], j.size() - pos, &list));
    std::vector<uint8_t> sum(j.begin() + long(pos), j.begin() + long(pos) + 32);
    std::memset(&sum[layout::kBlockListChecksumOffset], 0, 4);
    if (journalChecksum(sum.data(), sum.size()) != list.checksum) {
      pos += 512;
      continue;
    }
    ++transactions;
    ASSERT_GE(list.num_blocks, 2);
    ASSERT_LE(list.num_blocks, list.max_blocks);
    for (size_t k = 1; k < list.num_blocks; ++k) {
      layout::block_info b;
      ASSERT_TRUE(layout::DecodeBlockInfo(&j[pos], list.bytes_used, k, &b));
      EXPECT_TRUE(layout::BTValidNodeSize(b.bsize));
      ++blocks;
    }
    layout::block_info past;
    size_t tableEnd = 16 + 16 * size_t(list.num_blocks);
    EXPECT_FALSE(layout::DecodeBlockInfo(&j[pos], tableEnd - 1, list.num_blocks - 1u, &past));
    EXPECT_FALSE(layout::DecodeBlockInfo(&j[pos], SIZE_MAX, SIZE_MAX / 16, &past));
    std::vector<uint8_t> lh(j.begin() + long(pos), j.begin() + long(pos) + 16);
    testutil::ExpectRefusesShort<layout::block_list_header>(layout::DecodeBlockListHeader, lh, 16);
    pos += list.bytes_used;
  }
  EXPECT_GE(transactions, 2u);
  EXPECT_GT(blocks, transactions);
}

// The Apple partition map that xorriso writes in front of the HFS+ volume of an ISO: seen
// from the disk, its Apple_HFS entry gives the byte where the volume (header at +1024)
// begins; seen through the MBR partition from sector 1, the map's first entry is the
// partition's sector 0 and the start counts from there; a partition that begins past the
// map (-partition_offset 16) shows none. Then maps of 2048-byte blocks, cut short, or
// whose own entry is not their first block.
TEST(LayoutHfsPlus, ApplePartitionMapPlacesTheHfsVolume) {
  struct Iso {
    const char* image;
    uint64_t partitionByte;  // where the MBR partition begins
    bool mapInPartition;
  };
  for (const Iso& iso : {Iso{"hfs_hybrid.iso", 512, true}, Iso{"hfs_hybrid_p16.iso", 64 * 512, false},
                         Iso{"hfsplus.iso", 0, true}}) {
    SCOPED_TRACE(iso.image);
    std::string img = testutil::Fixture(iso.image);
    if (img.empty()) GTEST_SKIP() << "fixture missing";
    std::vector<uint8_t> disk = ReadRange(img, 0, 32768);
    std::vector<uint64_t> starts = layout::ApmHfsStarts(disk.data(), disk.size());
    ASSERT_EQ(starts.size(), 1u);
    std::vector<uint8_t> header = ReadRange(img, starts[0] + layout::kHFSPlusVolumeHeaderOffset, 512);
    layout::HFSPlusVolumeHeader h;
    ASSERT_TRUE(layout::DecodeHFSPlusVolumeHeader(header.data(), header.size(), &h));
    EXPECT_EQ(h.signature, layout::kHFSPlusSignature);
    std::vector<uint8_t> part = ReadRange(img, iso.partitionByte, 32768);
    std::vector<uint64_t> inside = layout::ApmHfsStarts(part.data(), part.size());
    if (iso.mapInPartition) {
      ASSERT_EQ(inside.size(), 1u);
      EXPECT_EQ(inside[0], starts[0] - iso.partitionByte);
    } else {
      EXPECT_TRUE(inside.empty());
    }
  }

  // A disk of 2048-byte blocks: driver map, the map's own entry, an HFSX volume at block 10.
  auto entry = [](uint8_t* at, uint32_t entries, uint32_t start, uint32_t blocks, const char* type) {
    kbytes::PutBe16(at, layout::kApmEntrySignature);
    kbytes::PutBe32(at + 4, entries);
    kbytes::PutBe32(at + 8, start);
    kbytes::PutBe32(at + 12, blocks);
    std::memcpy(at + 48, type, std::strlen(type));
  };
  std::vector<uint8_t> cd(8 * 2048, 0);
  entry(&cd[2048], 2, 1, 2, "Apple_partition_map");
  entry(&cd[4096], 2, 10, 100, "Apple_HFSX");
  std::vector<uint64_t> got = layout::ApmHfsStarts(cd.data(), cd.size());
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0], 10u * 2048);
  layout::ApmEntry e;
  ASSERT_TRUE(layout::DecodeApmEntry(&cd[4096], layout::kApmEntrySize, &e));
  EXPECT_TRUE(layout::ApmEntryIsHfs(e));
  EXPECT_EQ(std::string(e.type), "Apple_HFSX");
  EXPECT_FALSE(layout::DecodeApmEntry(&cd[4096], layout::kApmEntrySize - 1, &e));
  EXPECT_FALSE(layout::DecodeApmEntry(&cd[0], cd.size(), &e));  // no "PM"
  // The map's second entry cut off by the end of the bytes.
  EXPECT_TRUE(layout::ApmHfsStarts(cd.data(), 4096 + 79).empty());
  // The map's own entry claiming to begin elsewhere than at block 1.
  std::vector<uint8_t> odd = cd;
  kbytes::PutBe32(&odd[2048 + 8], 2);
  EXPECT_TRUE(layout::ApmHfsStarts(odd.data(), odd.size()).empty());
  // An entry whose count disagrees with the map's own.
  odd = cd;
  kbytes::PutBe32(&odd[4096 + 4], 3);
  EXPECT_TRUE(layout::ApmHfsStarts(odd.data(), odd.size()).empty());
}

}  // namespace
