// The partition-table layouts against tables written by sfdisk and sgdisk (with the tools'
// own listings beside them), and against single patched fields.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>
#include <sstream>

#include "common/inc/bytes.h"
#include "common/layout/gpt.h"
#include "common/layout/mbr.h"
#include "layoutcheck.h"
#include "testutil.h"

namespace {

using testutil::ReadRange;

std::string Text(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

struct Part {
  uint64_t start, size;  // for GPT listings: first and last sector
  uint8_t type;
};

TEST(LayoutMbr, PrimaryAndLogicalEntriesAsSfdiskWroteThem) {
  std::string img = testutil::Fixture("tables_mbr.img");
  if (img.empty()) GTEST_SKIP() << "fixture missing";
  std::string json = Text(testutil::Fixture("tables_mbr.json"));
  std::vector<Part> want;  // table order: three primaries (the third extended), two logicals
  std::regex entry("\"start\":\\s*(\\d+),\\s*\"size\":\\s*(\\d+),\\s*\"type\":\\s*\"([0-9a-f]+)\"");
  for (std::sregex_iterator it(json.begin(), json.end(), entry), end; it != end; ++it)
    want.push_back(
        {std::stoull((*it)[1]), std::stoull((*it)[2]), uint8_t(std::stoul((*it)[3], nullptr, 16))});
  ASSERT_EQ(want.size(), 5u);

  std::vector<uint8_t> mbr = ReadRange(img, 0, 512);
  layout::MbrSector s;
  ASSERT_TRUE(layout::DecodeMbrSector(mbr.data(), mbr.size(), &s));
  EXPECT_TRUE(s.signatureValid);
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(s.entries[i].StatusValid());
    EXPECT_EQ(s.entries[i].firstLba, want[i].start) << i;
    EXPECT_EQ(s.entries[i].sectors, want[i].size) << i;
    EXPECT_EQ(s.entries[i].type, want[i].type) << i;
  }
  EXPECT_TRUE(s.entries[3].IsEmpty());
  ASSERT_TRUE(layout::IsExtendedPartitionType(s.entries[2].type));
  EXPECT_FALSE(layout::IsExtendedPartitionType(s.entries[0].type));
  // Logicals are relative to their EBR, links to the extended partition's start.
  const uint64_t base = s.entries[2].firstLba;
  uint64_t ebr = base;
  for (size_t k = 3; k < want.size(); ++k) {
    std::vector<uint8_t> sec = ReadRange(img, ebr * 512, 512);
    layout::Ebr e;
    ASSERT_TRUE(layout::DecodeEbr(sec.data(), sec.size(), &e)) << k;
    EXPECT_TRUE(e.signatureValid);
    EXPECT_EQ(ebr + e.logical.firstLba, want[k].start) << k;
    EXPECT_EQ(e.logical.sectors, want[k].size) << k;
    EXPECT_EQ(e.logical.type, want[k].type) << k;
    EXPECT_EQ(k + 1 == want.size(), e.next.IsEmpty()) << k;
    ebr = base + e.next.firstLba;
  }
}

TEST(LayoutMbr, ShortBuffersAndPatchedFields) {
  std::vector<uint8_t> sec(512, 0);
  sec[510] = 0x55;
  sec[511] = 0xAA;
  uint8_t* e = &sec[446 + 16];
  e[0] = 0x80;
  e[4] = 0x85;
  kbytes::PutLe32(e + 8, 0xFFFFFFF0u);
  kbytes::PutLe32(e + 12, 0x10u);
  testutil::ExpectRefusesShort<layout::MbrSector>(layout::DecodeMbrSector, sec, 512);
  testutil::ExpectRefusesShort<layout::Ebr>(layout::DecodeEbr, sec, 512);
  testutil::ExpectRefusesShort<layout::MbrEntry>(layout::DecodeMbrEntry, std::vector<uint8_t>(e, e + 16), 16);
  layout::MbrSector s;
  ASSERT_TRUE(layout::DecodeMbrSector(sec.data(), sec.size(), &s));
  EXPECT_EQ(s.entries[1].firstLba, 0xFFFFFFF0u);  // all 32 bits, no sign
  EXPECT_TRUE(layout::IsExtendedPartitionType(s.entries[1].type));
  EXPECT_FALSE(layout::IsExtendedPartitionType(layout::kMbrTypeGptProtective));
  EXPECT_TRUE(s.entries[0].IsEmpty());
  // An unsigned sector and a bad status byte are decoded and reported, not refused.
  sec[511] = 0xAB;
  e[0] = 0x01;
  ASSERT_TRUE(layout::DecodeMbrSector(sec.data(), sec.size(), &s));
  EXPECT_FALSE(s.signatureValid);
  EXPECT_FALSE(s.entries[1].StatusValid());
}

// A GUID as the tools print it, in the mixed-endian order it is stored in.
std::vector<uint8_t> StoredGuid(const std::string& t) {
  std::string hex;
  for (char c : t)
    if (c != '-') hex += c;
  std::vector<uint8_t> b;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    b.push_back(uint8_t(std::stoul(hex.substr(i, 2), nullptr, 16)));
  std::swap(b[0], b[3]), std::swap(b[1], b[2]), std::swap(b[4], b[5]), std::swap(b[6], b[7]);
  return b;
}

TEST(LayoutGpt, HeadersAndEntriesAsTheToolsListThem) {
  // sgdisk -p of the 512-byte disk, sfdisk -l of the 4096-byte one.
  const struct {
    const char *image, *listing;
    uint32_t ss;
    uint64_t sectors;
  } cases[] = {{"tables_gpt.img", "tables_gpt.txt", 512, 524288},
               {"tables_gpt4k.img", "tables_gpt4k.txt", 4096, 16384}};
  for (const auto& c : cases) {
    std::string img = testutil::Fixture(c.image);
    if (img.empty()) GTEST_SKIP() << "fixture missing";
    std::string listing = Text(testutil::Fixture(c.listing));
    std::vector<uint8_t> hs = ReadRange(img, c.ss, c.ss);
    layout::GptHeader h;
    ASSERT_TRUE(layout::DecodeGptHeader(hs.data(), hs.size(), &h)) << c.image;
    EXPECT_TRUE(h.signatureValid);
    EXPECT_EQ(h.revision, 0x00010000u);
    EXPECT_EQ(h.headerSize, 92u);
    EXPECT_EQ(h.myLba, 1u);
    EXPECT_EQ(h.alternateLba, c.sectors - 1);
    EXPECT_EQ(h.entryArrayBytes, uint64_t(h.entryCount) * h.entrySize);
    std::smatch m;
    ASSERT_TRUE(std::regex_search(listing, m, std::regex("identifier(?: \\(GUID\\))?: ([0-9A-F-]{36})")));
    EXPECT_EQ(std::vector<uint8_t>(h.diskGuid, h.diskGuid + 16), StoredGuid(m[1])) << c.image;
    if (std::regex_search(listing, m, std::regex("usable sector is (\\d+), last usable sector is (\\d+)"))) {
      EXPECT_EQ(h.firstUsableLba, std::stoull(m[1]));
      EXPECT_EQ(h.lastUsableLba, std::stoull(m[2]));
    }
    uint64_t arraySectors = 0;
    ASSERT_TRUE(layout::ValidateGptEntryArray(h, c.ss, c.sectors, 4u << 20, &arraySectors));
    EXPECT_EQ(arraySectors, (h.entryArrayBytes + c.ss - 1) / c.ss);
    std::vector<uint8_t> table = ReadRange(img, h.entriesLba * c.ss, size_t(arraySectors) * c.ss);
    // "   1   2048   67583 ..." (sgdisk) or "/path/img1   256  2815 ..." (sfdisk).
    std::regex line("^\\s*\\S+\\s+(\\d+)\\s+(\\d+)\\s+\\S+\\s+\\S+");
    std::istringstream in(listing);
    uint32_t index = 0;
    for (std::string l; std::getline(in, l);) {
      if (!std::regex_search(l, m, line)) continue;
      layout::GptEntry e;
      ASSERT_TRUE(layout::GptEntryAt(table.data(), table.size(), h.entrySize, index, &e)) << index;
      EXPECT_FALSE(e.IsUnused());
      EXPECT_EQ(e.firstLba, std::stoull(m[1])) << c.image << " " << index;
      EXPECT_EQ(e.lastLba, std::stoull(m[2])) << c.image << " " << index;
      ++index;
    }
    ASSERT_GE(index, 2u);
    layout::GptEntry e;
    ASSERT_TRUE(layout::GptEntryAt(table.data(), table.size(), h.entrySize, index, &e));
    EXPECT_TRUE(e.IsUnused());
    EXPECT_FALSE(layout::GptEntryAt(table.data(), table.size(), h.entrySize, h.entryCount, &e));
    // Entry 1 of both is the EFI system partition, C12A7328-F81F-11D2-BA4B-00A0C93EC93B.
    ASSERT_TRUE(layout::GptEntryAt(table.data(), table.size(), h.entrySize, 0, &e));
    EXPECT_EQ(std::vector<uint8_t>(e.typeGuid, e.typeGuid + 16),
              StoredGuid("C12A7328-F81F-11D2-BA4B-00A0C93EC93B"));
  }
}

TEST(LayoutGpt, ShortBuffersSizesAndOverflowingCounts) {
  std::vector<uint8_t> h(512, 0);
  memcpy(h.data(), "EFI PART", 8);
  kbytes::PutLe32(&h[12], 92);
  kbytes::PutLe64(&h[72], 2);
  kbytes::PutLe32(&h[80], 128);
  kbytes::PutLe32(&h[84], 128);
  testutil::ExpectRefusesShort<layout::GptHeader>(layout::DecodeGptHeader, h, 92);
  layout::GptHeader g;
  // The header's own size: below its fixed part, or past the bytes given.
  for (uint32_t size : {91u, 513u, 0xFFFFFFFFu}) {
    kbytes::PutLe32(&h[12], size);
    EXPECT_FALSE(layout::DecodeGptHeader(h.data(), h.size(), &g)) << size;
  }
  kbytes::PutLe32(&h[12], 512);
  EXPECT_TRUE(layout::DecodeGptHeader(h.data(), 512, &g));
  EXPECT_FALSE(layout::DecodeGptHeader(h.data(), 511, &g));
  // Products that wrap in 32 bits stay exact, and are refused; so are entry sizes below 128
  // or not a multiple of 8, and arrays at LBA 0 or past the disk.
  const struct {
    uint32_t count, size;
    uint64_t lba, total;
  } bad[] = {{0xFFFFFFFFu, 0xFFFFFFF8u, 2, UINT64_MAX},
             {0x02000000u, 128, 2, UINT64_MAX},
             {128, 127, 2, 1000},
             {128, 132, 2, 1000},
             {128, 128, 0, 1000},
             {128, 128, 2, 33},
             {128, 128, UINT64_MAX, 1000},
             {0, 128, 2, 1000}};
  for (const auto& b : bad) {
    kbytes::PutLe32(&h[80], b.count);
    kbytes::PutLe32(&h[84], b.size);
    kbytes::PutLe64(&h[72], b.lba);
    ASSERT_TRUE(layout::DecodeGptHeader(h.data(), h.size(), &g));
    EXPECT_EQ(g.entryArrayBytes, uint64_t(b.count) * b.size);
    EXPECT_FALSE(layout::ValidateGptEntryArray(g, 512, b.total, 4u << 20, nullptr))
        << b.count << " " << b.size;
  }

  std::vector<uint8_t> table(256, 0);
  kbytes::PutLe64(&table[128 + 32], 34);
  testutil::ExpectRefusesShort<layout::GptEntry>(layout::DecodeGptEntry, table, 128);
  layout::GptEntry e;
  EXPECT_FALSE(layout::GptEntryAt(table.data(), table.size(), 127, 0, &e));
  EXPECT_FALSE(layout::GptEntryAt(table.data(), table.size(), 128, 2, &e));
  EXPECT_FALSE(layout::GptEntryAt(table.data(), table.size(), 0x80000000u, 1, &e));  // 2^31 x 1
  EXPECT_FALSE(layout::GptEntryAt(table.data(), 255, 128, 1, &e));
  ASSERT_TRUE(layout::GptEntryAt(table.data(), table.size(), 128, 1, &e));
  EXPECT_EQ(e.firstLba, 34u);
}

// The sectors of the sfdisk table read as the table readers read them, and patched.
TEST(LayoutMbr, PartitionRecordsOfTheSfdiskTable) {
  std::string img = testutil::Fixture("tables_mbr.img");
  if (img.empty()) GTEST_SKIP() << "fixture missing";
  std::vector<uint8_t> mbr = ReadRange(img, 0, 512);
  layout::PartitionRecord r;
  ASSERT_TRUE(layout::DecodePartitionRecord(mbr.data(), mbr.size(), false, &r));
  ASSERT_EQ(r.count, 2u);  // FAT32 and NTFS; the extended entry is the link
  EXPECT_EQ(r.partitions[0].type, 0x0C);
  EXPECT_EQ(r.partitions[1].firstLba, 675840u);
  EXPECT_EQ(r.link, 741376u);
  EXPECT_FALSE(r.protective);
  std::vector<uint8_t> ebr = ReadRange(img, uint64_t(r.link) * 512, 512);
  ASSERT_TRUE(layout::DecodePartitionRecord(ebr.data(), ebr.size(), true, &r));
  ASSERT_EQ(r.count, 1u);
  EXPECT_EQ(r.partitions[0].firstLba, 2048u);  // relative to the EBR
  EXPECT_EQ(r.link, 67584u);                   // relative to the extended partition
  // A third slot counts in the MBR only; an unsigned or short sector is no record.
  memcpy(&ebr[446 + 32], &mbr[446], 16);
  ASSERT_TRUE(layout::DecodePartitionRecord(ebr.data(), ebr.size(), true, &r));
  EXPECT_EQ(r.count, 1u);
  ASSERT_TRUE(layout::DecodePartitionRecord(ebr.data(), ebr.size(), false, &r));
  EXPECT_EQ(r.count, 2u);
  testutil::ExpectRefusesShort<layout::PartitionRecord>(
      [](const uint8_t* d, size_t n, layout::PartitionRecord* o) { return layout::DecodePartitionRecord(d, n, true, o); },
      ebr, 512);
  ebr[510] = 0;
  EXPECT_FALSE(layout::DecodePartitionRecord(ebr.data(), ebr.size(), true, &r));
  // The protective entry of a GPT disk is reported, never listed.
  mbr[446 + 4] = layout::kMbrTypeGptProtective;
  ASSERT_TRUE(layout::DecodePartitionRecord(mbr.data(), mbr.size(), false, &r));
  EXPECT_TRUE(r.protective);
  EXPECT_EQ(r.count, 1u);
}

TEST(LayoutMbr, EbrChainWalkEndsOnRepeatsTheBoundTheDiskEndAndFailures) {
  // links[sector] is the link the EBR at that sector holds; absent sectors cannot be read.
  auto walk = [](uint64_t base, uint64_t total, std::map<uint64_t, uint32_t> links) {
    return layout::WalkEbrChain(base, total, [&](uint64_t sector, uint32_t* link) {
      auto it = links.find(sector);
      if (it == links.end()) return false;
      *link = it->second;
      return true;
    });
  };
  auto expect = [](layout::EbrWalk w, int records, bool failed) {
    EXPECT_EQ(w.records, records);
    EXPECT_EQ(w.failed, failed);
  };
  expect(walk(100, 1000, {{100, 50}, {150, 80}, {180, 0}}), 3, false);
  expect(walk(100, 1000, {{100, 50}, {150, 80}, {180, 50}}), 3, false);  // back to 150
  expect(walk(100, 1000, {{100, 50}, {150, 50}}), 2, false);             // linked to itself
  expect(walk(100, 170, {{100, 50}, {150, 80}}), 2, false);              // 180: not imaged
  expect(walk(100, 1000, {{100, 50}}), 1, true);                          // 150 unreadable
  expect(walk(100, 1000, {}), 0, true);
  expect(walk(0, 1000, {{0, 5}}), 0, false);  // no extended partition
  std::map<uint64_t, uint32_t> endless;
  for (uint32_t i = 0; i < 1000; ++i) endless[100 + i] = i + 1;
  expect(walk(100, 100000, endless), layout::kMaxEbrRecords, false);
  // A link that would carry the sector past 64 bits ends the walk.
  expect(walk(UINT64_MAX - 10, UINT64_MAX, {{UINT64_MAX - 10, 0xFFFFFFFFu}}), 1, false);
}

// The disk's reader takes a header whatever its size field says; the entry size must be
// 128 x 2^n.
TEST(LayoutGpt, HeaderFieldsAndEntrySizesOfTheSgdiskTable) {
  std::string img = testutil::Fixture("tables_gpt.img");
  if (img.empty()) GTEST_SKIP() << "fixture missing";
  std::vector<uint8_t> hs = ReadRange(img, 512, 512);
  EXPECT_TRUE(layout::HasGptSignature(hs.data(), hs.size()));
  EXPECT_FALSE(layout::HasGptSignature(hs.data(), 7));
  layout::GptHeader h;
  ASSERT_TRUE(layout::ReadGptHeaderFields(hs.data(), hs.size(), &h));
  EXPECT_TRUE(h.headerSizeValid);
  EXPECT_EQ(h.entrySize, 128u);
  kbytes::PutLe32(&hs[12], 0);
  ASSERT_TRUE(layout::ReadGptHeaderFields(hs.data(), hs.size(), &h));
  EXPECT_FALSE(h.headerSizeValid);
  EXPECT_EQ(h.entryCount, 128u);
  EXPECT_FALSE(layout::DecodeGptHeader(hs.data(), hs.size(), &h));
  testutil::ExpectRefusesShort<layout::GptHeader>(layout::ReadGptHeaderFields, hs, 92);
  hs[0] = 'e';
  ASSERT_TRUE(layout::ReadGptHeaderFields(hs.data(), hs.size(), &h));
  EXPECT_FALSE(h.signatureValid);
  EXPECT_FALSE(layout::HasGptSignature(hs.data(), hs.size()));

  for (uint32_t size : {128u, 256u, 512u, 4096u, 0x80000000u}) EXPECT_TRUE(layout::GptEntrySizeValid(size)) << size;
  for (uint32_t size : {0u, 8u, 120u, 136u, 192u, 384u, 0xFFFFFF80u}) EXPECT_FALSE(layout::GptEntrySizeValid(size)) << size;
  kbytes::PutLe32(&hs[84], 136);
  ASSERT_TRUE(layout::ReadGptHeaderFields(hs.data(), hs.size(), &h));
  EXPECT_FALSE(layout::ValidateGptEntryArray(h, 512, 524288, 4u << 20, nullptr));
  kbytes::PutLe32(&hs[84], 256);
  ASSERT_TRUE(layout::ReadGptHeaderFields(hs.data(), hs.size(), &h));
  EXPECT_TRUE(layout::ValidateGptEntryArray(h, 512, 524288, 4u << 20, nullptr));
}

}  // namespace
