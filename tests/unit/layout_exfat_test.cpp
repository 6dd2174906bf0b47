// The exFAT layouts against volumes made by mkfs.exfat and filled through exfat-fuse, and
// against single patched fields.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "common/inc/bytes.h"
#include "common/layout/exfat_boot.h"
#include "common/layout/exfat_dirent.h"
#include "filesystems/fatentry.h"
#include "fixtures.h"
#include "layoutcheck.h"
#include "testutil.h"

namespace {

using testutil::ReadRange;

// The boot sector and the root directory's first cluster of the filled volume.
struct FilledRoot {
  std::string img;
  layout::ExfatBootSector b;
  uint64_t cluster = 0;
  std::vector<uint8_t> dir;
  uint64_t At(uint32_t c) const { return uint64_t(b.clusterHeapOffset) * 512 + (c - 2) * cluster; }
  bool Load(const testutil::FixtureManifest& m) {
    img = m.ImagePath();
    std::vector<uint8_t> s = ReadRange(img, 0, 512);
    if (!layout::DecodeExfatBootSector(s.data(), s.size(), &b)) return false;
    cluster = uint64_t(512) << b.sectorsPerClusterShift;
    dir = ReadRange(img, At(b.rootDirectoryCluster), size_t(cluster));
    return !dir.empty();
  }
};

TEST(LayoutExfat, BootSectorsAsMkfsExfatWroteThem) {
  // exfat.img: -c 4096 on 64 MiB; the MBR table's: -c 32K on 65536 sectors; the GPT
  // table's: -c 64K on 131072 sectors.
  const struct {
    const char* image;
    uint64_t at;
    uint8_t clusterShift;
    uint64_t sectors;
  } cases[] = {{"exfat.img", 0, 3, 131072},
               {"tables_mbr.img", 811008, 6, 65536},
               {"tables_gpt.img", 120832, 7, 131072}};
  for (const auto& c : cases) {
    std::string img = testutil::Fixture(c.image);
    if (img.empty()) GTEST_SKIP() << "fixture missing";
    std::vector<uint8_t> s = ReadRange(img, c.at * 512, 512);
    layout::ExfatBootSector b;
    ASSERT_TRUE(layout::DecodeExfatBootSector(s.data(), s.size(), &b)) << c.image;
    EXPECT_TRUE(b.nameIsExfat && b.zeroAreaClean && b.signatureValid);
    EXPECT_EQ(b.bytesPerSectorShift, 9);
    EXPECT_EQ(b.sectorsPerClusterShift, c.clusterShift) << c.image;
    EXPECT_TRUE(layout::ExfatShiftsValid(b.bytesPerSectorShift, b.sectorsPerClusterShift));
    EXPECT_EQ(b.volumeLength, c.sectors) << c.image;
    EXPECT_EQ(b.numberOfFats, 1);
    EXPECT_EQ(b.fileSystemRevision, 0x0100);
    fat::ExfatVolume g;  // the engine's reading agrees
    ASSERT_EQ(fat::ParseExfatBoot(s.data(), s.size(), 0, &g), 0);
    EXPECT_EQ(g.rootCluster, b.rootDirectoryCluster);
    EXPECT_EQ(g.fatOffset, uint64_t(b.fatOffset) * 512);
    EXPECT_EQ(g.heapOffset, uint64_t(b.clusterHeapOffset) * 512);
  }
}

TEST(LayoutExfat, RootDirectoryEntriesOfAFilledVolume) {
  testutil::FixtureManifest m;
  if (!m.Load("exfat")) GTEST_SKIP() << "fixture missing";
  std::string img = m.ImagePath();
  std::vector<uint8_t> s = ReadRange(img, 0, 512);
  layout::ExfatBootSector b;
  ASSERT_TRUE(layout::DecodeExfatBootSector(s.data(), s.size(), &b));
  const uint64_t cluster = uint64_t(512) << b.sectorsPerClusterShift;
  std::vector<uint8_t> dir = ReadRange(
      img, uint64_t(b.clusterHeapOffset) * 512 + (b.rootDirectoryCluster - 2) * cluster, size_t(cluster));
  ASSERT_FALSE(dir.empty());
  layout::ExfatLabelEntry label;
  layout::ExfatBitmapEntry bitmap;
  layout::ExfatUpcaseEntry upcase;
  std::map<std::u16string, std::pair<layout::ExfatFileEntry, layout::ExfatStreamEntry>> sets;
  for (size_t off = 0; off + 32 <= dir.size() && dir[off] != 0; off += 32) {
    const uint8_t* e = &dir[off];
    const size_t left = dir.size() - off;
    layout::DecodeExfatLabelEntry(e, left, &label);
    layout::DecodeExfatBitmapEntry(e, left, &bitmap);
    layout::DecodeExfatUpcaseEntry(e, left, &upcase);
    layout::ExfatFileEntry f;
    if (!layout::DecodeExfatFileEntry(e, left, &f) || !f.inUse) continue;
    // The set: a stream extension, then name entries of 15 units each.
    layout::ExfatStreamEntry st;
    ASSERT_TRUE(layout::DecodeExfatStreamEntry(e + 32, left - 32, &st));
    EXPECT_EQ(f.secondaryCount, 1 + (st.nameLength + 14) / 15);
    std::u16string name;
    for (int k = 0; k < f.secondaryCount - 1; ++k) {
      layout::ExfatNameEntry n;
      ASSERT_TRUE(layout::DecodeExfatNameEntry(e + 64 + 32 * k, left - 64 - 32 * k, &n));
      name.append(n.chars, layout::kExfatNameChars);
    }
    name.resize(st.nameLength);
    sets[name] = {f, st};
    off += 32u * f.secondaryCount;
  }
  EXPECT_EQ(label.label, u"KESTRUMX");
  EXPECT_GE(bitmap.firstCluster, 2u);
  EXPECT_EQ(bitmap.dataLength, (b.clusterCount + 7) / 8);
  EXPECT_EQ(upcase.dataLength, 5836u);  // the exFAT documentation's compressed table
  EXPECT_EQ(upcase.tableChecksum, 0xE619D30Du);
  size_t roots = 0;
  for (const testutil::ManifestEntry& e : m.Entries()) {
    if (e.deleted || std::count(e.path.begin(), e.path.end(), '/') != 1) continue;
    ++roots;
    auto it = sets.find(std::u16string(e.path.begin() + 1, e.path.end()));
    ASSERT_NE(it, sets.end()) << e.path;
    EXPECT_EQ((it->second.first.fileAttributes & 0x10) != 0, e.isDir) << e.path;
    EXPECT_TRUE(it->second.second.inUse);
    EXPECT_GE(it->second.second.firstCluster, 2u);
    EXPECT_EQ(it->second.second.dataLength, e.isDir ? it->second.second.validDataLength : e.size) << e.path;
  }
  EXPECT_EQ(roots, sets.size());
}

TEST(LayoutExfat, KnownTypesAndTheUpcaseTableOfAFilledVolume) {
  testutil::FixtureManifest m;
  if (!m.Load("exfat")) GTEST_SKIP() << "fixture missing";
  FilledRoot r;
  ASSERT_TRUE(r.Load(m));
  const std::vector<uint8_t>& dir = r.dir;
  // Every entry mkfs.exfat and exfat-fuse wrote to the root is of a known type, and the
  // up-case entry leads to the table's first sector.
  layout::ExfatUpcaseEntry up;
  bool haveUp = false;
  size_t entries = 0;
  for (size_t off = 0; off + 32 <= dir.size() && dir[off] != 0; off += 32, ++entries) {
    EXPECT_TRUE(layout::ExfatEntryTypeKnown(dir[off])) << off;
    haveUp = haveUp || layout::DecodeExfatUpcaseEntry(&dir[off], dir.size() - off, &up);
  }
  EXPECT_GT(entries, 5u);
  ASSERT_TRUE(haveUp);
  std::vector<uint8_t> table = ReadRange(r.img, r.At(up.firstCluster), 512);
  ASSERT_EQ(table.size(), 512u);
  EXPECT_TRUE(layout::ExfatUpcaseTableStarts(table.data(), table.size()));
  EXPECT_FALSE(layout::ExfatUpcaseTableStarts(table.data(), 127));
  EXPECT_FALSE(layout::ExfatUpcaseTableStarts(nullptr, 512));
  EXPECT_FALSE(layout::ExfatUpcaseTableStarts(dir.data(), dir.size()));
  std::vector<uint8_t> patched = table;
  patched[2 * 63] ^= 0x01;  // unit 63 mapped elsewhere
  EXPECT_FALSE(layout::ExfatUpcaseTableStarts(patched.data(), patched.size()));
  // Deleted forms of the set's entries are known; the bitmap and up-case tables are never
  // deleted, and benign (0xA0 and on) and unused codes are not known.
  for (uint8_t t : {0x85, 0x05, 0xC0, 0x40, 0xC1, 0x41, 0x83, 0x03, 0x81, 0x82})
    EXPECT_TRUE(layout::ExfatEntryTypeKnown(t)) << int(t);
  for (uint8_t t : {0x00, 0x01, 0x02, 0x04, 0x84, 0xA0, 0xA1, 0xE0, 0xFF})
    EXPECT_FALSE(layout::ExfatEntryTypeKnown(t)) << int(t);
}

TEST(LayoutExfat, ShortBuffersWrongTypesAndLabelLength) {
  std::vector<uint8_t> s(512, 0);
  memcpy(&s[3], "EXFAT   ", 8);
  s[20] = 1;  // in the area that must stay zero
  testutil::ExpectRefusesShort<layout::ExfatBootSector>(layout::DecodeExfatBootSector, s, 512);
  layout::ExfatBootSector b;
  ASSERT_TRUE(layout::DecodeExfatBootSector(s.data(), s.size(), &b));
  EXPECT_TRUE(b.nameIsExfat);
  EXPECT_FALSE(b.zeroAreaClean || b.signatureValid);
  // Sectors of 512 to 4096 bytes, clusters up to 32 MiB.
  EXPECT_TRUE(layout::ExfatShiftsValid(9, 16) && layout::ExfatShiftsValid(12, 13));
  for (auto bad :
       {std::make_pair(12, 14), std::make_pair(8, 0), std::make_pair(13, 0), std::make_pair(9, 255)})
    EXPECT_FALSE(layout::ExfatShiftsValid(uint8_t(bad.first), uint8_t(bad.second)))
        << bad.first << " " << bad.second;

  std::vector<uint8_t> e(32, 0);
  e[0] = 0xC0;
  e[1] = 0x03;
  kbytes::PutLe32(&e[20], 77);
  kbytes::PutLe64(&e[24], UINT64_MAX);
  testutil::ExpectRefusesShort<layout::ExfatStreamEntry>(layout::DecodeExfatStreamEntry, e, 32);
  layout::ExfatStreamEntry st;
  ASSERT_TRUE(layout::DecodeExfatStreamEntry(e.data(), e.size(), &st));
  EXPECT_TRUE(st.inUse && st.NoFatChain());
  EXPECT_EQ(st.dataLength, UINT64_MAX);
  EXPECT_EQ(st.firstCluster, 77u);
  e[0] = 0x40;  // deleted: the code stays, the in-use bit goes
  ASSERT_TRUE(layout::DecodeExfatStreamEntry(e.data(), e.size(), &st));
  EXPECT_FALSE(st.inUse);
  // Each decoder takes its own type alone.
  layout::ExfatFileEntry f;
  layout::ExfatNameEntry n;
  layout::ExfatBitmapEntry bm;
  layout::ExfatUpcaseEntry up;
  layout::ExfatLabelEntry l;
  for (uint8_t type : {0x40, 0x85, 0xC1, 0x81, 0x82, 0x83}) {
    e[0] = type;
    EXPECT_EQ(layout::DecodeExfatFileEntry(e.data(), 32, &f), type == 0x85);
    EXPECT_EQ(layout::DecodeExfatNameEntry(e.data(), 32, &n), type == 0xC1);
    EXPECT_EQ(layout::DecodeExfatBitmapEntry(e.data(), 32, &bm), type == 0x81);
    EXPECT_EQ(layout::DecodeExfatUpcaseEntry(e.data(), 32, &up), type == 0x82);
    EXPECT_EQ(layout::DecodeExfatLabelEntry(e.data(), 32, &l), type == 0x83);
    EXPECT_FALSE(
        layout::DecodeExfatFileEntry(e.data(), 31, &f) || layout::DecodeExfatNameEntry(e.data(), 31, &n) ||
        layout::DecodeExfatBitmapEntry(e.data(), 31, &bm) ||
        layout::DecodeExfatUpcaseEntry(e.data(), 31, &up) || layout::DecodeExfatLabelEntry(e.data(), 31, &l));
  }
  // A label of more than eleven characters would run past the label field.
  e.assign(32, 0);
  e[0] = 0x83;
  e[1] = 11;
  for (int i = 0; i < 11; ++i) kbytes::PutLe16(&e[2 + 2 * i], uint16_t('A' + i));
  ASSERT_TRUE(layout::DecodeExfatLabelEntry(e.data(), e.size(), &l));
  EXPECT_EQ(l.label, u"ABCDEFGHIJK");
  for (uint8_t count : {12, 0xFF}) {
    e[1] = count;
    EXPECT_FALSE(layout::DecodeExfatLabelEntry(e.data(), e.size(), &l)) << int(count);
  }
}

}  // namespace
