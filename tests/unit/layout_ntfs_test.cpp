// The NTFS layouts against volumes made by mkntfs, and against single patched fields.
#include <gtest/gtest.h>

#include "common/inc/bytes.h"
#include "common/layout/ntfs_attribute.h"
#include "common/layout/ntfs_attribute_list.h"
#include "common/layout/ntfs_boot.h"
#include "common/layout/ntfs_file_name.h"
#include "common/layout/ntfs_file_record.h"
#include "common/layout/ntfs_index.h"
#include "filesystems/ntfs/ntfs.h"
#include "layoutcheck.h"
#include "testutil.h"

namespace {

using testutil::ReadRange;

TEST(LayoutNtfs, BootSectorsAsMkntfsWroteThem) {
  // ntfs.img: -s 512 -c 1024 on 24 MiB; the MBR table's NTFS: -c 2048 -p 675840 -H 255 -S 63
  // on 65536 sectors. mkntfs keeps the last sector for the backup.
  const struct {
    const char* image;
    uint64_t at;
    uint32_t spc, hidden, track, heads;
    uint64_t total;
  } cases[] = {{"ntfs.img", 0, 2, 0, 0, 0, 49151}, {"tables_mbr.img", 675840, 4, 675840, 63, 255, 65535}};
  for (const auto& c : cases) {
    std::string img = testutil::Fixture(c.image);
    if (img.empty()) GTEST_SKIP() << "fixture missing";
    std::vector<uint8_t> s = ReadRange(img, c.at * 512, 512);
    layout::NtfsBootSector b;
    ASSERT_TRUE(layout::DecodeNtfsBootSector(s.data(), s.size(), &b)) << c.image;
    EXPECT_TRUE(b.oemIsNtfs && b.signatureValid);
    EXPECT_EQ(b.bytesPerSector, 512u);
    EXPECT_EQ(layout::NtfsSectorsPerCluster(b.sectorsPerClusterCode), c.spc) << c.image;
    EXPECT_EQ(b.hiddenSectors, c.hidden);
    EXPECT_EQ(b.sectorsPerTrack, c.track);
    EXPECT_EQ(b.heads, c.heads);
    EXPECT_EQ(b.totalSectors, c.total);
    // 1 KiB records and 4 KiB index buffers, stored as clusters or as a power of two.
    uint64_t record = 0, index = 0;
    ASSERT_TRUE(layout::NtfsSizeFromClusters(b.clustersPerRecord, 512u * c.spc, &record));
    ASSERT_TRUE(layout::NtfsSizeFromClusters(b.clustersPerIndexBuffer, 512u * c.spc, &index));
    EXPECT_EQ(record, 1024u) << c.image;
    EXPECT_EQ(index, 4096u) << c.image;
    NtfsBootInfo info;  // the engine's reading agrees
    ASSERT_EQ(ParseNtfsBootSector(s.data(), s.size(), &info), 0);
    EXPECT_EQ(info.mftLcn, b.mftLcn);
    EXPECT_EQ(info.recordBytes, record);
    std::vector<uint8_t> backup = ReadRange(img, (c.at + c.total) * 512, 512);
    layout::NtfsBootSector bb;
    ASSERT_TRUE(layout::DecodeNtfsBootSector(backup.data(), backup.size(), &bb));
    EXPECT_EQ(bb.serialNumber, b.serialNumber);
  }
}

TEST(LayoutNtfs, MftRecordsAttributesAndNames) {
  std::string img = testutil::Fixture("ntfs.img");
  if (img.empty()) GTEST_SKIP() << "fixture missing";
  std::vector<uint8_t> boot = ReadRange(img, 0, 512);
  layout::NtfsBootSector b;
  ASSERT_TRUE(layout::DecodeNtfsBootSector(boot.data(), boot.size(), &b));
  // $MFT and the root folder, which is its own parent.
  const struct {
    uint32_t n;
    const char16_t* name;
    uint16_t flags;
    std::vector<uint32_t> types;
  } cases[] = {{0, u"$MFT", 1, {0x10, 0x30, 0x80, 0xB0}}, {5, u".", 3, {0x10, 0x30, 0x50, 0x90, 0xA0, 0xB0}}};
  for (const auto& c : cases) {
    std::vector<uint8_t> r = ReadRange(img, (b.mftLcn + c.n) * 1024, 1024);
    ASSERT_EQ(r.size(), 1024u);
    for (uint16_t i = 1; i < 3; ++i) memcpy(&r[i * 512u - 2], &r[48 + 2u * i], 2);  // fixup
    layout::NtfsFileRecordHeader h;
    ASSERT_TRUE(layout::DecodeNtfsFileRecordHeader(r.data(), r.size(), &h));
    EXPECT_TRUE(h.isFile);
    EXPECT_EQ(h.usaOffset, 48u);
    EXPECT_EQ(h.usaCount, 3u);
    EXPECT_EQ(h.bytesAllocated, 1024u);
    EXPECT_EQ(h.flags, c.flags);
    ASSERT_TRUE(h.hasRecordNumber);
    EXPECT_EQ(h.recordNumber, c.n);
    std::vector<uint32_t> types;
    for (uint32_t at = h.firstAttributeOffset; types.size() < 16;) {
      layout::NtfsAttributeHeader a;
      ASSERT_TRUE(layout::DecodeNtfsAttributeHeader(&r[at], h.bytesInUse - at, &a)) << at;
      if (a.isEnd) break;
      types.push_back(a.type);
      if (a.type == 0x30) {
        layout::NtfsFileName fn;
        ASSERT_TRUE(layout::DecodeNtfsFileName(&r[at + a.valueOffset], a.valueLength, &fn));
        EXPECT_EQ(fn.name, std::u16string(c.name));
        EXPECT_EQ(fn.parentRecord, 5u);
        EXPECT_EQ(fn.nameSpace, 3);  // Win32 and DOS at once
      }
      if (a.type == 0x80) {  // $MFT's data, from VCN 0 over whole clusters
        ASSERT_TRUE(a.nonResident);
        EXPECT_EQ(a.lowestVcn, 0u);
        EXPECT_EQ(a.mappingPairsOffset, 64u);
        EXPECT_EQ(a.highestVcn + 1, a.allocatedSize / 1024);
        EXPECT_GE(a.allocatedSize, a.dataSize);
      }
      at += a.length;
    }
    EXPECT_EQ(types, c.types) << c.n;
  }
}

// A 1 KiB record: a named resident attribute at 56 (32 bytes), a non-resident one at 88
// (72 bytes, mapping pairs at 64), the end marker at 160; 168 bytes in use.
std::vector<uint8_t> SampleRecord() {
  std::vector<uint8_t> r(1024, 0);
  memcpy(r.data(), "FILE", 4);
  kbytes::PutLe16(&r[4], 48);
  kbytes::PutLe16(&r[6], 3);
  kbytes::PutLe16(&r[20], 56);
  kbytes::PutLe32(&r[24], 168);
  kbytes::PutLe32(&r[28], 1024);
  kbytes::PutLe32(&r[56], 0x80);
  kbytes::PutLe32(&r[56 + 4], 32);
  r[56 + 9] = 2;
  kbytes::PutLe16(&r[56 + 10], 24);
  kbytes::PutLe16(&r[56 + 20], 32);
  kbytes::PutLe32(&r[88], 0x80);
  kbytes::PutLe32(&r[88 + 4], 72);
  r[88 + 8] = 1;
  kbytes::PutLe16(&r[88 + 32], 64);
  kbytes::PutLe32(&r[160], 0xFFFFFFFF);
  return r;
}

void Put(std::vector<uint8_t>* x, size_t at, uint32_t value, int width) {
  if (width == 2)
    kbytes::PutLe16(&(*x)[at], uint16_t(value));
  else
    kbytes::PutLe32(&(*x)[at], value);
}

TEST(LayoutNtfs, RecordAndAttributeBounds) {
  std::vector<uint8_t> r = SampleRecord();
  layout::NtfsFileRecordHeader h;
  for (size_t n = 0; n < 168; ++n) EXPECT_FALSE(layout::DecodeNtfsFileRecordHeader(r.data(), n, &h)) << n;
  ASSERT_TRUE(layout::DecodeNtfsFileRecordHeader(r.data(), r.size(), &h));
  layout::NtfsAttributeHeader a;
  ASSERT_TRUE(layout::DecodeNtfsAttributeHeader(&r[56], 112, &a));
  EXPECT_EQ(a.nameLength, 2);
  ASSERT_TRUE(layout::DecodeNtfsAttributeHeader(&r[88], 80, &a));
  EXPECT_TRUE(a.nonResident && !a.hasCompressedSize);
  ASSERT_TRUE(layout::DecodeNtfsAttributeHeader(&r[160], 4, &a));
  EXPECT_TRUE(a.isEnd);
  for (size_t n = 0; n < 32; ++n) EXPECT_FALSE(layout::DecodeNtfsAttributeHeader(&r[56], n, &a)) << n;
  for (size_t n = 0; n < 72; ++n) EXPECT_FALSE(layout::DecodeNtfsAttributeHeader(&r[88], n, &a)) << n;

  // One field per case, each putting one part outside the part that holds it.
  const struct {
    size_t at;  // in the record; attributes at 56 (resident) and 88 (non-resident)
    uint32_t value;
    int width;
  } patches[] = {{24, 1025, 4},              // bytes in use past the record
                 {20, 166, 2},               // no room for a type before their end
                 {20, 40, 2},                // first attribute inside the header
                 {4, 1020, 2},               // update-sequence array past the record
                 {6, 0xFFFF, 2},             //   likewise, by its count
                 {56 + 4, 23, 4},            // shorter than its header
                 {56 + 4, 0x80000000u, 4},   // longer than the bytes in use
                 {56 + 10, 30, 2},           // name past the attribute
                 {56 + 16, 1, 4},            // value one byte past it
                 {56 + 16, 0xFFFFFFFFu, 4},  // value length that would wrap
                 {56 + 20, 33, 2},           // value offset past it
                 {88 + 4, 63, 4},            // non-resident shorter than its header
                 {88 + 32, 63, 2},           // mapping pairs inside the header
                 {88 + 32, 72, 2}};          // mapping pairs at the end
  for (const auto& p : patches) {
    std::vector<uint8_t> x = r;
    Put(&x, p.at, p.value, p.width);
    bool record = layout::DecodeNtfsFileRecordHeader(x.data(), x.size(), &h);
    bool attr =
        p.at < 56 || layout::DecodeNtfsAttributeHeader(&x[p.at < 88 ? 56 : 88], p.at < 88 ? 112 : 80, &a);
    EXPECT_FALSE(record && attr) << p.at << " = " << p.value;
  }
  // An NTFS 3.0 record has its update-sequence array where 3.1 keeps the record number.
  Put(&r, 4, 42, 2);
  ASSERT_TRUE(layout::DecodeNtfsFileRecordHeader(r.data(), r.size(), &h));
  EXPECT_FALSE(h.hasRecordNumber);
  memcpy(r.data(), "BAAD", 4);
  ASSERT_TRUE(layout::DecodeNtfsFileRecordHeader(r.data(), r.size(), &h));
  EXPECT_FALSE(h.isFile);
  // The compressed size is read only when the mapping pairs start behind it.
  Put(&r, 88 + 4, 80, 4);
  Put(&r, 88 + 32, 72, 2);
  kbytes::PutLe64(&r[88 + 64], 12345);
  ASSERT_TRUE(layout::DecodeNtfsAttributeHeader(&r[88], 80, &a));
  EXPECT_TRUE(a.hasCompressedSize);
  EXPECT_EQ(a.compressedSize, 12345u);
}

// The attribute walk's shortcut reads two header fields; it must fail where the whole
// header read fails and give the same first attribute and end.
TEST(LayoutNtfs, AttributeBoundsAsTheWholeHeaderGivesThem) {
  std::vector<uint8_t> r = SampleRecord();
  for (uint32_t inUse : {0u, 100u, 168u, 1024u, 5000u, 0xFFFFFFFFu}) {
    Put(&r, 24, inUse, 4);
    for (size_t n : {size_t(0), size_t(20), layout::kNtfsFileRecordMinSize - 1, layout::kNtfsFileRecordMinSize,
                     size_t(168), r.size()}) {
      layout::NtfsFileRecordHeader h;
      uint16_t first = 0;
      size_t end = 0;
      bool whole = layout::ReadNtfsFileRecordHeader(r.data(), n, &h);
      ASSERT_EQ(whole, layout::ReadNtfsAttributeBounds(r.data(), n, &first, &end)) << inUse << " " << n;
      if (!whole) continue;
      EXPECT_EQ(h.firstAttributeOffset, first);
      EXPECT_EQ(layout::NtfsAttributesEnd(h, n), end);
    }
  }
  uint16_t first = 0;
  size_t end = 0;
  EXPECT_FALSE(layout::ReadNtfsAttributeBounds(nullptr, r.size(), &first, &end));
}

TEST(LayoutNtfs, FileNameAndAttributeListBounds) {
  std::vector<uint8_t> v(66 + 6, 0);
  kbytes::PutLe64(&v[0], (uint64_t(7) << 48) | 0x123456789ABCull);
  kbytes::PutLe64(&v[48], 4242);
  v[64] = 3;
  for (int i = 0; i < 3; ++i) kbytes::PutLe16(&v[66 + 2 * i], uint16_t(u"a.b"[i]));
  testutil::ExpectRefusesShort<layout::NtfsFileName>(layout::DecodeNtfsFileName, v, 66 + 6);
  layout::NtfsFileName f;
  ASSERT_TRUE(layout::DecodeNtfsFileName(v.data(), v.size(), &f));
  EXPECT_EQ(f.name, u"a.b");
  EXPECT_EQ(f.parentRecord, 0x123456789ABCull);
  EXPECT_EQ(f.parentSequence, 7);
  EXPECT_EQ(f.dataSize, 4242u);
  for (uint8_t n : {4, 0xFF}) {  // names past the value
    v[64] = n;
    EXPECT_FALSE(layout::DecodeNtfsFileName(v.data(), v.size(), &f)) << int(n);
  }

  // $STANDARD_INFORMATION in record 30, then a named $DATA from VCN 99 in record 40.
  std::vector<uint8_t> list(64, 0);
  kbytes::PutLe32(&list[0], 0x10);
  kbytes::PutLe16(&list[4], 32);
  kbytes::PutLe64(&list[16], (uint64_t(1) << 48) | 30);
  kbytes::PutLe32(&list[32], 0x80);
  kbytes::PutLe16(&list[36], 32);
  list[38] = 2;
  list[39] = 26;
  kbytes::PutLe64(&list[40], 99);
  kbytes::PutLe64(&list[48], (uint64_t(2) << 48) | 40);
  layout::NtfsAttributeListEntry e;
  ASSERT_TRUE(layout::DecodeNtfsAttributeListEntry(list.data(), list.size(), &e));
  EXPECT_EQ(e.record, 30u);
  ASSERT_EQ(e.recordLength, 32u);
  ASSERT_TRUE(layout::DecodeNtfsAttributeListEntry(&list[32], 32, &e));
  EXPECT_EQ(e.type, 0x80u);
  EXPECT_EQ(e.startingVcn, 99u);
  EXPECT_EQ(e.record, 40u);
  EXPECT_EQ(e.sequence, 2);
  std::vector<uint8_t> second(list.begin() + 32, list.end());
  testutil::ExpectRefusesShort<layout::NtfsAttributeListEntry>(layout::DecodeNtfsAttributeListEntry, second,
                                                               32);
  // Shorter than an entry, past the list, a name outside the entry (by offset, by length).
  const std::pair<size_t, uint16_t> patches[] = {{4, 25}, {4, 33}, {7, 29}, {6, 4}};
  for (const auto& p : patches) {
    std::vector<uint8_t> x = second;
    if (p.first == 4)
      kbytes::PutLe16(&x[4], p.second);
    else
      x[p.first] = uint8_t(p.second);
    EXPECT_FALSE(layout::DecodeNtfsAttributeListEntry(x.data(), x.size(), &e)) << p.first;
  }
}

TEST(LayoutNtfs, ClusterAndRecordSizeCodes) {
  EXPECT_EQ(layout::NtfsSectorsPerCluster(0x80), 128u);
  EXPECT_EQ(layout::NtfsSectorsPerCluster(0xF4), 4096u);  // 2^(256 - 0xF4)
  EXPECT_EQ(layout::NtfsSectorsPerCluster(0xFF), 2u);
  for (uint8_t bad : {0, 3, 0x81, 0xF3}) EXPECT_EQ(layout::NtfsSectorsPerCluster(bad), 0u) << int(bad);
  uint64_t bytes = 0;
  ASSERT_TRUE(layout::NtfsSizeFromClusters(-31, 4096, &bytes));
  EXPECT_EQ(bytes, uint64_t(1) << 31);
  for (int8_t v : {-32, -128, 0}) EXPECT_FALSE(layout::NtfsSizeFromClusters(v, 4096, &bytes)) << int(v);
  EXPECT_FALSE(layout::NtfsSizeFromClusters(2, 0, &bytes));
  EXPECT_FALSE(layout::NtfsSizeFromClusters(127, UINT64_MAX / 100, &bytes));
  std::vector<uint8_t> s(512, 0);
  s[64] = 0xF6;
  testutil::ExpectRefusesShort<layout::NtfsBootSector>(layout::DecodeNtfsBootSector, s, 512);
  layout::NtfsBootSector b;
  ASSERT_TRUE(layout::DecodeNtfsBootSector(s.data(), s.size(), &b));
  EXPECT_EQ(b.clustersPerRecord, -10);
  EXPECT_FALSE(b.oemIsNtfs || b.signatureValid);
}

// Record 0 of ntfs.img with one header field patched at a time: the plain reader still gives
// every field, while the strict decoder refuses; the attributes end at the record's end when
// the bytes in use reach past it.
TEST(LayoutNtfs, DamagedHeadersAreReadAndClamped) {
  std::string img = testutil::Fixture("ntfs.img");
  if (img.empty()) GTEST_SKIP() << "fixture missing";
  std::vector<uint8_t> boot = ReadRange(img, 0, 512);
  layout::NtfsBootSector b;
  ASSERT_TRUE(layout::DecodeNtfsBootSector(boot.data(), boot.size(), &b));
  const std::vector<uint8_t> r = ReadRange(img, b.mftLcn * 1024, 1024);
  ASSERT_EQ(r.size(), 1024u);
  uint16_t usaOffset = 0, usaCount = 0;
  ASSERT_TRUE(layout::ReadNtfsUpdateSequence(r.data(), r.size(), &usaOffset, &usaCount));
  EXPECT_EQ(usaOffset, 48u);
  EXPECT_EQ(usaCount, layout::NtfsUpdateSequenceCount(1024));
  EXPECT_EQ(layout::NtfsUpdateSequenceCount(4096), 9u);
  EXPECT_FALSE(layout::ReadNtfsUpdateSequence(r.data(), 7, &usaOffset, &usaCount));
  layout::NtfsFileRecordHeader h;
  ASSERT_TRUE(layout::ReadNtfsFileRecordHeader(r.data(), r.size(), &h));
  const uint32_t inUse = h.bytesInUse;
  EXPECT_LT(inUse, 1024u);
  EXPECT_EQ(layout::NtfsAttributesEnd(h, r.size()), inUse);
  EXPECT_TRUE(layout::IsNtfsFileRecordSignature(r.data(), r.size()));
  EXPECT_FALSE(layout::IsNtfsFileRecordSignature(r.data(), 3));

  for (uint32_t past : {1025u, 0xFFFFFFFFu}) {
    std::vector<uint8_t> x = r;
    kbytes::PutLe32(&x[24], past);
    EXPECT_FALSE(layout::DecodeNtfsFileRecordHeader(x.data(), x.size(), &h)) << past;
    ASSERT_TRUE(layout::ReadNtfsFileRecordHeader(x.data(), x.size(), &h)) << past;
    EXPECT_EQ(h.bytesInUse, past);
    EXPECT_EQ(layout::NtfsAttributesEnd(h, x.size()), 1024u);
    EXPECT_EQ(h.firstAttributeOffset, 56u);  // the rest of the header as it was
  }
  // The signature is bytes: another case is another signature.
  for (const char* sig : {"file", "File", "FILe", "BAAD"}) {
    std::vector<uint8_t> x = r;
    memcpy(x.data(), sig, 4);
    EXPECT_FALSE(layout::IsNtfsFileRecordSignature(x.data(), x.size())) << sig;
    ASSERT_TRUE(layout::ReadNtfsFileRecordHeader(x.data(), x.size(), &h));
    EXPECT_FALSE(h.isFile) << sig;
  }
  // Laid out as NTFS 3.0, with the update sequence at 42: the u32 at 44 is no record number.
  std::vector<uint8_t> x = r;
  kbytes::PutLe16(&x[4], 42);
  ASSERT_TRUE(layout::ReadNtfsFileRecordHeader(x.data(), x.size(), &h));
  EXPECT_FALSE(h.hasRecordNumber);
  EXPECT_EQ(h.recordNumber, 0u);  // record 0's field, read as it stands
  EXPECT_FALSE(layout::ReadNtfsFileRecordHeader(x.data(), layout::kNtfsFileRecordMinSize - 1, &h));
}

TEST(LayoutNtfs, AttributeListStepPassesOverABadName) {
  // Two entries of 32 bytes; the first has a 2-unit name at 26.
  std::vector<uint8_t> list(64, 0);
  for (size_t at : {0, 32}) {
    kbytes::PutLe32(&list[at], 0x80);
    kbytes::PutLe16(&list[at + 4], 32);
  }
  list[6] = 2;
  list[7] = 26;
  layout::NtfsAttributeListEntry e;
  EXPECT_EQ(layout::NtfsAttributeListEntryStep(list.data(), list.size()), 32u);
  list[7] = 30;  // the name now ends past the entry: the entry goes, its length still steps
  EXPECT_FALSE(layout::DecodeNtfsAttributeListEntry(list.data(), list.size(), &e));
  EXPECT_EQ(layout::NtfsAttributeListEntryStep(list.data(), list.size()), 32u);
  EXPECT_TRUE(layout::DecodeNtfsAttributeListEntry(&list[32], 32, &e));
  for (uint16_t bad : {0, 25, 65}) {
    kbytes::PutLe16(&list[4], bad);
    EXPECT_EQ(layout::NtfsAttributeListEntryStep(list.data(), list.size()), 0u) << bad;
  }
  EXPECT_EQ(layout::NtfsAttributeListEntryStep(&list[32], 25), 0u);
}

// An index buffer of the root folder of ntfs.img: the node header, entries that follow one
// another up to the last, each key a $FILE_NAME whose parent is the root; then one field
// patched per case.
TEST(LayoutNtfs, IndexBufferOfTheRootFolder) {
  std::string img = testutil::Fixture("ntfs.img");
  if (img.empty()) GTEST_SKIP() << "fixture missing";
  std::vector<uint8_t> boot = ReadRange(img, 0, 512);
  NtfsBootInfo info;
  ASSERT_EQ(ParseNtfsBootSector(boot.data(), boot.size(), &info), 0);
  CNTFS ntfs(nullptr);
  ASSERT_EQ(ntfs.SetBootInfo(info, 512), 0);
  std::vector<uint8_t> root = ReadRange(img, (info.mftLcn * info.clusterBytes) + 5 * 1024, 1024);
  ASSERT_EQ(ntfs.ApplyFixup(root.data()), 0);
  NtfsAttr a;  // the root's $INDEX_ALLOCATION, named $I30
  uint32_t cursor = 0;
  bool found = false;
  while (!found && ntfs.NextAttribute(root.data(), &cursor, &a) == 1) found = a.type == NTFS_AT_INDEX_ALLOCATION;
  ASSERT_TRUE(found && a.nonResident);
  std::vector<NtfsRun> runs;
  ASSERT_EQ(ntfs.DecodeMappingPairs(root.data() + a.pairsOffset, a.pairsLength, &runs), 0);
  ASSERT_FALSE(runs.empty());
  std::vector<uint8_t> block = ReadRange(img, uint64_t(runs[0].lcn) * info.clusterBytes, 4096);
  ASSERT_TRUE(layout::IsNtfsIndexBufferSignature(block.data(), block.size()));
  ASSERT_EQ(CNTFS::ApplyBlockFixup(block.data(), 4096), 0);

  const size_t node = layout::kNtfsIndexNodeHeaderOffset;
  layout::NtfsIndexNodeHeader h;
  ASSERT_TRUE(layout::DecodeNtfsIndexNodeHeader(&block[node], block.size() - node, &h));
  EXPECT_EQ(h.allocatedSize, 4096u - node);
  auto walk = [&](const std::vector<uint8_t>& b, bool* last) {
    std::vector<std::u16string> names;
    layout::NtfsIndexNodeHeader nh;
    *last = false;
    if (!layout::DecodeNtfsIndexNodeHeader(&b[node], b.size() - node, &nh)) return names;
    size_t end = node + nh.indexLength;
    layout::NtfsIndexEntry e;
    for (size_t pos = node + nh.entriesOffset; pos < end; pos += e.length) {
      if (!layout::DecodeNtfsIndexEntry(&b[pos], end - pos, &e)) break;
      if (e.isLast) {
        *last = pos + e.length == end;
        break;
      }
      layout::NtfsFileName fn;
      if (e.keyInside && layout::DecodeNtfsFileName(&b[pos + 16], e.keyLength, &fn) && fn.parentRecord == 5)
        names.push_back(fn.name);
    }
    return names;
  };
  bool last = false;
  std::vector<std::u16string> names = walk(block, &last);
  EXPECT_TRUE(last);
  ASSERT_GE(names.size(), 3u);
  for (const std::u16string& n : names) EXPECT_FALSE(n.empty());

  // The first entry's length, key length, then the node's offsets, one per case.
  const size_t first = node + h.entriesOffset;
  struct Patch {
    size_t at;
    uint32_t value;
    int width;
    size_t namesLeft;  // what the walk still gives
  } patches[] = {{first + 8, 8, 2, 0},                 // shorter than an entry header
                 {first + 8, 0xFFF8, 2, 0},            // past the node
                 {first + 8, 0x0101, 2, 0},            // not a multiple of 8
                 {first + 10, 0xFFF0, 2, names.size() - 1},  // key outside: that entry only
                 {node, 8, 4, 0},                      // first entry inside the node header
                 {node + 4, 4096, 4, 0}};              // bytes in use past the buffer
  for (const Patch& p : patches) {
    std::vector<uint8_t> x = block;
    Put(&x, p.at, p.value, p.width);
    EXPECT_EQ(walk(x, &last).size(), p.namesLeft) << p.at << " = " << p.value;
  }
  layout::NtfsIndexEntry e;
  EXPECT_FALSE(layout::DecodeNtfsIndexEntry(&block[first], 15, &e));
  EXPECT_FALSE(layout::DecodeNtfsIndexNodeHeader(&block[node], 15, &h));
  EXPECT_FALSE(layout::IsNtfsIndexBufferSignature(block.data(), 3));
}

}  // namespace
