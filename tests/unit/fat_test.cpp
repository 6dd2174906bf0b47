// FAT16, FAT32 and exFAT: boot geometry, directory parsing and the deleted-file walks over
// images made by mkfs.fat and mtools (FAT) or mkfs.exfat plus hand-written entries (exFAT).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <map>
#include <set>
#include <sstream>
#include <string>

#include "common/inc/bytes.h"
#include "common/inc/idevicebitmap.h"
#include "common/inc/inotifysink.h"
#include "common/inc/iscanoperator.h"
#include "common/inc/seams.h"
#include "fat_memdevice.h"
#include "fatentries.h"
#include "filemanager/fileinfo.h"
#include "filesystems/fatdelscan.h"
#include "filesystems/fatentry.h"
#include "filesystems/fatwalk.h"
#include "fixtures.h"
#include "testutil.h"

using namespace fat;

namespace {

std::string U8(const std::u16string& s) {
  std::string o;
  for (char16_t c : s) o += c < 0x80 ? char(c) : '?';
  return o;
}

bool Sh(const std::string& cmd) { return std::system((cmd + " >/dev/null 2>&1").c_str()) == 0; }

bool HaveMtools() { return Sh("command -v mkfs.fat && command -v mcopy"); }

struct Found {
  uint64_t size;
  uint16_t cdate, mdate;
  std::vector<uint8_t> bytes;
};

std::vector<uint8_t> Gather(const std::vector<uint8_t>& img, const FoundFile& f) {
  std::vector<uint8_t> out;
  for (const auto& r : f.runs) {
    if (r.first == RUN_HOLE) {
      out.insert(out.end(), size_t(r.second * 512), 0);
      continue;
    }
    uint64_t off = r.first * 512, len = r.second * 512;
    if (off > img.size()) break;
    len = std::min<uint64_t>(len, img.size() - off);
    out.insert(out.end(), img.begin() + off, img.begin() + off + len);
  }
  if (out.size() > f.size) out.resize(f.size);
  return out;
}

std::map<std::string, Found> RunFat(FatMemDevice& dev, FatKind kind, int* rc = nullptr) {
  std::map<std::string, Found> out;
  FatDelWalker w(&dev, kind);
  int r = w.Open();
  if (rc) *rc = r;
  if (r) return out;
  w.Walk(
      [&](const FoundFile& f) {
        out[U8(f.folder + f.name)] = {f.size, f.createDate, f.modifyDate, Gather(dev.Bytes(), f)};
        return 0;
      },
      nullptr);
  return out;
}

std::map<std::string, Found> RunExfat(FatMemDevice& dev, int* rc = nullptr) {
  std::map<std::string, Found> out;
  ExfatDelWalker w(&dev);
  int r = w.Open();
  if (rc) *rc = r;
  if (r) return out;
  w.Walk(
      [&](const FoundFile& f) {
        out[U8(f.folder + f.name)] = {f.size, f.createDate, f.modifyDate, Gather(dev.Bytes(), f)};
        return 0;
      },
      nullptr);
  return out;
}

uint8_t* Entry(std::vector<uint8_t>& b, size_t i) { return b.data() + i * 32; }

std::u16string ShortName(const uint8_t* e) { return FatNameDecoder::BuildShortName(e); }

uint8_t NameSum(const uint8_t* name11) {
  uint8_t sum = 0;
  FatShortNameChecksum(name11, &sum);
  return sum;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Directory entries

TEST(FatEntry, ShortNamesHonourCaseFlagsCodePageAndDeletion) {
  uint8_t e[32] = {};
  std::memcpy(e, "README  TXT", 11);
  EXPECT_EQ(ShortName(e), u"README.TXT");
  e[12] = 0x08 | 0x10;
  EXPECT_EQ(ShortName(e), u"readme.txt");
  e[12] = 0x10;
  EXPECT_EQ(ShortName(e), u"README.txt");
  e[12] = 0;
  e[0] = 0xE5;
  EXPECT_EQ(ShortName(e), u"_EADME.TXT");
  std::memcpy(e, "ABC        ", 11);
  EXPECT_EQ(ShortName(e), u"ABC");
  std::memcpy(e, "\x05" "BC\x81    TX ", 11);  // 0x05 stands for 0xE5 (sigma); 0x81 is u-umlaut
  EXPECT_EQ(ShortName(e), std::u16string(u"\u03C3BC\u00FC.TX"));
  EXPECT_EQ(FatIsInvalidShortName(reinterpret_cast<const uint8_t*>("AB\x81     TXT")), 1);
  EXPECT_EQ(FatIsInvalidShortName(reinterpret_cast<const uint8_t*>("\xE5OO     TXT")), 0);
  int y, m, d;
  ASSERT_TRUE(DosDateParts(0x5A21, &y, &m, &d));
  EXPECT_EQ(y * 10000 + m * 100 + d, 20250101);
  EXPECT_FALSE(DosDateParts(0x5A01, &y, &m, &d));  // month 0
}

TEST(FatEntry, LongNameRunsAcrossBlocksWithChecksums) {
  std::vector<uint8_t> b(32 * 4, 0);
  uint8_t shortName[11];
  std::memcpy(shortName, "LONGFI~1TXT", 11);
  uint8_t sum = NameSum(shortName);
  std::u16string name = u"long file name.txt";  // 18 characters: two pieces
  testutil::PutLfnEntry(Entry(b, 0), 0x42, name.substr(13), sum);
  testutil::PutLfnEntry(Entry(b, 1), 0x01, name.substr(0, 13), sum);
  std::memcpy(Entry(b, 2), shortName, 11);
  kbytes::PutLe32(Entry(b, 2) + 28, 5);

  // Split between the two pieces, as when a run ends at a cluster end.
  FatDirParser p(kFat16);
  std::vector<FatDirItem> items;
  auto sink = [&](const FatDirItem& it) { items.push_back(it); return true; };
  EXPECT_EQ(p.Feed(b.data(), 32, sink), FatDirParser::kMore);
  EXPECT_EQ(p.Feed(b.data() + 32, 96, sink), FatDirParser::kEnd);
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].name, name);

  // The same run in front of a deleted short entry: the first byte is lost but the
  // checksum still matches with the long name's first letter.
  Entry(b, 0)[0] = Entry(b, 1)[0] = Entry(b, 2)[0] = 0xE5;
  items.clear();
  p.Reset();
  p.Feed(b.data(), b.size(), sink);
  ASSERT_EQ(items.size(), 1u);
  EXPECT_TRUE(items[0].deleted);
  EXPECT_EQ(items[0].name, name);

  // A run that belongs to another short name falls back to the 8.3 name.
  Entry(b, 0)[13] = Entry(b, 1)[13] = uint8_t(sum + 1);
  items.clear();
  p.Reset();
  p.Feed(b.data(), b.size(), sink);
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].name, u"_ONGFI~1.TXT");

  // An empty long name falls back as well; "." and ".." are flagged.
  testutil::PutLfnEntry(Entry(b, 0), 0x41, u"", NameSum(reinterpret_cast<const uint8_t*>(".          ")));
  std::memcpy(Entry(b, 1), ".          ", 11);
  Entry(b, 1)[11] = 0x10;
  std::memcpy(Entry(b, 2), "..         ", 11);
  Entry(b, 2)[11] = 0x10;
  items.clear();
  p.Reset();
  p.Feed(b.data(), b.size(), sink);
  ASSERT_EQ(items.size(), 2u);
  EXPECT_TRUE(items[0].isDot && items[1].isDot);
  EXPECT_EQ(items[0].name, u".");
}

// Deleted runs whose short name began with a byte outside ASCII: the checksum alone names
// the lost first byte, and the long name's first character only has to allow it.
TEST(FatEntry, DeletedLongNamesWhateverTheFirstShortByte) {
  struct Case {
    const char* shortName;  // as the generator wrote it, before the deletion
    std::u16string longName;
    bool taken;
  } cases[] = {
      {"\xA5\x41ND\xE9   PNG", u"\u00D1and\u00FA.png", true},  // code page 850
      {"\x90LISE   JPG", u"\u00C9lise.jpg", true},
      {"ELISE   JPG", u"\u00C9lise.jpg", true},  // a best-fit spelling
      {"______  JPG", u"\u65E5\u672C\u8A9E\u306E\u5199\u771F.jpg", true},
      {"\x93\xFA\x96{~1  JPG", u"\u65E5\u672C\u8A9E.jpg", true},  // a double-byte code page
      {"_SMILE  PNG", u"\U0001F600smile.png", true},
      {"\x05OO     TXT", u"\u03C3oo.txt", true},  // 0x05 stands for 0xE5
      {"APPLE   TXT", u"apple.txt", true},
      {"XPPLE   TXT", u"apple.txt", false},       // another name's run
      {"aPPLE   TXT", u"\u00C4pple.txt", false},  // no short name holds "a"
      {"*PPLE   TXT", u"\u00C4pple.txt", false},
      {"\xA5PPLE   TXT", u"apple.txt", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testutil::Utf8(c.longName));
    std::vector<uint8_t> b(32 * 3, 0);
    uint8_t sum = NameSum(reinterpret_cast<const uint8_t*>(c.shortName));
    std::u16string tail = c.longName.size() > 13 ? c.longName.substr(13) : u"";
    size_t pieces = tail.empty() ? 1 : 2;
    if (pieces == 2) testutil::PutLfnEntry(Entry(b, 0), 0xE5, tail, sum);
    testutil::PutLfnEntry(Entry(b, pieces - 1), 0xE5, c.longName.substr(0, 13), sum);
    uint8_t* e = Entry(b, pieces);
    std::memcpy(e, c.shortName, 11);
    e[0] = 0xE5;
    kbytes::PutLe32(e + 28, 100);
    FatDirParser p(kFat32);
    std::vector<FatDirItem> items;
    p.Feed(b.data(), 32 * (pieces + 1), [&](const FatDirItem& it) {
      items.push_back(it);
      return true;
    });
    ASSERT_EQ(items.size(), 1u);
    EXPECT_TRUE(items[0].deleted);
    EXPECT_EQ(items[0].hasLongName, c.taken);
    if (c.taken) {
      EXPECT_EQ(items[0].name, c.longName);
    } else {
      EXPECT_EQ(items[0].name, items[0].shortName);
      EXPECT_EQ(items[0].name[0], u'_');
    }
  }
}

TEST(FatEntry, LongRunsAreBounded) {
  // 40 long-name entries in a row: the name buffer never exceeds 255 characters.
  std::vector<uint8_t> b(32 * 41, 0);
  for (int i = 0; i < 40; ++i) testutil::PutLfnEntry(Entry(b, i), 0xE5, u"abcdefghijklm", 0);
  std::memcpy(Entry(b, 40), "\xE5" "BCDEFGHTXT", 11);
  kbytes::PutLe32(Entry(b, 40) + 28, 1);
  FatDirParser p(kFat32);
  std::vector<FatDirItem> items;
  p.Feed(b.data(), b.size(), [&](const FatDirItem& it) { items.push_back(it); return true; });
  ASSERT_EQ(items.size(), 1u);
  EXPECT_LE(items[0].name.size(), 255u);
}

// ---------------------------------------------------------------------------------------
// Boot geometry and chains

class FatImage : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HaveMtools()) GTEST_SKIP() << "mkfs.fat/mtools missing";
  }
  std::string Img() const { return dir.file("v.img"); }
  bool M(const std::string& args) { return Sh("MTOOLS_SKIP_CHECK=1 " + args); }
  void Put(const std::string& name, const std::vector<uint8_t>& bytes, const std::string& to) {
    testutil::WriteFile(dir.file(name), bytes);
    ASSERT_TRUE(M("mcopy -i " + Img() + " " + dir.file(name) + " '::" + to + "'"));
  }
  std::vector<uint8_t> Load() { return testutil::ReadFile(Img()); }
  testutil::TempDir dir;
};

TEST_F(FatImage, BootGeometryIsValidated) {
  ASSERT_TRUE(Sh("mkfs.fat -C -F 16 -s 1 -f 1 -r 500 " + Img() + " 8192"));
  std::vector<uint8_t> img = Load();
  FatGeometry g;
  ASSERT_EQ(ParseFatBoot(img.data(), 512, kFat16, img.size(), &g), 0);
  EXPECT_EQ(g.numFats, 1u);
  EXPECT_EQ(g.rootDirSectors, (500u * 32 + 511) / 512);  // rounded up: 32 sectors
  EXPECT_EQ(g.dataOffset, (uint64_t(g.reservedSectors) + g.sectorsPerFat + g.rootDirSectors) * 512);
  EXPECT_EQ(ParseFatBoot(img.data(), 512, kFat32, img.size(), &g), 104);

  std::vector<uint8_t> bad = img;
  bad[13] = 0;  // sectors per cluster
  EXPECT_EQ(ParseFatBoot(bad.data(), 512, kFat16, img.size(), &g), -1);
  bad = img;
  bad[13] = 3;
  EXPECT_EQ(ParseFatBoot(bad.data(), 512, kFat16, img.size(), &g), -1);
  bad = img;
  kbytes::PutLe16(bad.data() + 11, 0);
  EXPECT_EQ(ParseFatBoot(bad.data(), 512, kFat16, img.size(), &g), -1);
  bad = img;
  kbytes::PutLe16(bad.data() + 22, 0xFFFF);  // FATs larger than the volume
  EXPECT_EQ(ParseFatBoot(bad.data(), 512, kFat16, img.size(), &g), -1);
  bad = img;
  bad[16] = 0;
  EXPECT_EQ(ParseFatBoot(bad.data(), 512, kFat16, img.size(), &g), -1);

  // Scanning the damaged volume is refused, not attempted.
  bad = img;
  bad[13] = 0;
  FatMemDevice dev(bad);
  int rc = 0;
  RunFat(dev, kFat16, &rc);
  EXPECT_EQ(rc, -1);
}

TEST(FatChain, CyclesAndWildValuesEnd) {
  FatGeometry g;
  g.kind = kFat16;
  g.clusterCount = 8;
  g.maxCluster = 9;
  g.fatBytes = 20;
  std::vector<uint8_t> fatBytes(20, 0);
  kbytes::PutLe16(&fatBytes[4], 3);   // 2 -> 3
  kbytes::PutLe16(&fatBytes[6], 4);   // 3 -> 4
  kbytes::PutLe16(&fatBytes[8], 2);   // 4 -> 2 : a cycle
  kbytes::PutLe16(&fatBytes[10], 5);  // 5 -> 5 : a self-loop
  kbytes::PutLe16(&fatBytes[12], 0x7000);  // 6 -> beyond the volume
  FatTable t;
  t.InitFromBytes(g, fatBytes.data(), fatBytes.size());
  bool clean = true;
  EXPECT_EQ(FollowChain(t, 2, 100, &clean), (std::vector<uint32_t>{2, 3, 4}));
  EXPECT_FALSE(clean);
  EXPECT_EQ(FollowChain(t, 5, 100, &clean).size(), 1u);
  EXPECT_EQ(FollowChain(t, 6, 100, &clean).size(), 1u);
  EXPECT_EQ(FollowChain(t, 2, 2, &clean).size(), 2u);
  EXPECT_TRUE(FollowChain(t, 0x7000, 100, &clean).empty());
}

// ---------------------------------------------------------------------------------------
// FAT16 and FAT32 walks over real volumes

TEST_F(FatImage, Fat16DeletedFilesComeBackAtTheirPaths) {
  ASSERT_TRUE(Sh("mkfs.fat -C -F 16 -s 4 " + Img() + " 16384"));
  auto small = testutil::RandomBytes(700, 1);
  auto multi = testutil::RandomBytes(5 * 2048 + 17, 2);
  auto nested = testutil::RandomBytes(9000, 3);
  auto keep = testutil::RandomBytes(3000, 4);
  ASSERT_TRUE(M("mmd -i " + Img() + " ::/Photos ::/Photos/Summer ::/Old"));
  Put("a", small, "/readme.txt");
  Put("b", multi, "/Photos/A rather long name for a holiday picture.jpg");
  Put("c", nested, "/Photos/Summer/beach.raw");
  Put("d", keep, "/Old/keep.bin");
  Put("e", small, "/Old/gone.bin");
  ASSERT_TRUE(M("mdel -i " + Img() + " ::/readme.txt '::/Photos/A rather long name for a holiday picture.jpg'"));
  ASSERT_TRUE(M("mdeltree -i " + Img() + " ::/Old"));
  FatMemDevice dev(Load());
  auto found = RunFat(dev, kFat16);
  // The first letter of a deleted 8.3 name is lost; the lower-case flags are not.
  ASSERT_TRUE(found.count("/Volume/_eadme.txt"));
  EXPECT_EQ(found["/Volume/_eadme.txt"].bytes, small);
  ASSERT_TRUE(found.count("/Volume/Photos/A rather long name for a holiday picture.jpg"));
  EXPECT_EQ(found["/Volume/Photos/A rather long name for a holiday picture.jpg"].bytes, multi);
  EXPECT_EQ(found["/Volume/Photos/A rather long name for a holiday picture.jpg"].size, multi.size());
  ASSERT_TRUE(found.count("/Volume/Old/_eep.bin"));
  EXPECT_EQ(found["/Volume/Old/_eep.bin"].bytes, keep);
  ASSERT_TRUE(found.count("/Volume/Old/_one.bin"));
  EXPECT_EQ(found["/Volume/Old/_one.bin"].bytes, small);
  EXPECT_FALSE(found.count("/Volume/Photos/Summer/beach.raw")) << "live files are not listed";
  int y, m, d;
  EXPECT_TRUE(DosDateParts(found["/Volume/_eadme.txt"].mdate, &y, &m, &d));
  EXPECT_GE(y, 2020);
  EXPECT_EQ(dev.writes, 0);
}

// Progress counts the queued folders' clusters: a folder of three clusters and one of one
// give four steps, never falling, the last at 100.
TEST_F(FatImage, ProgressCountsTheClustersOfTheQueuedFolders) {
  ASSERT_TRUE(Sh("mkfs.fat -C -F 16 -s 1 " + Img() + " 8192"));
  ASSERT_TRUE(M("mmd -i " + Img() + " ::/BIG ::/SMALL"));
  std::string files;
  for (int i = 0; i < 40; ++i) {
    std::string f = dir.file("F" + std::to_string(100 + i) + ".TXT");
    testutil::WriteFile(f, {1});
    files += " " + f;
  }
  ASSERT_TRUE(M("mcopy -i " + Img() + files + " ::/BIG/"));
  FatMemDevice dev(Load());
  FatDelWalker w(&dev, kFat16);
  ASSERT_EQ(w.Open(), 0);
  std::vector<int> seen;
  w.Walk([](const FoundFile&) { return 0; },
         [&](int p) {
           seen.push_back(p);
           return 0;
         });
  EXPECT_EQ(seen, (std::vector<int>{25, 50, 75, 100}));
}

TEST_F(FatImage, Fat16FragmentedDeletedFileIsGatheredByteForByte) {
  ASSERT_TRUE(Sh("mkfs.fat -C -F 16 -s 1 " + Img() + " 8192"));
  auto a = testutil::RandomBytes(3 * 512, 10), b = testutil::RandomBytes(2 * 512, 11);
  auto c = testutil::RandomBytes(3 * 512, 12), d = testutil::RandomBytes(6 * 512 + 5, 13);
  Put("a", a, "/a.bin");
  Put("b", b, "/b.bin");
  Put("c", c, "/c.bin");
  ASSERT_TRUE(M("mdel -i " + Img() + " ::/b.bin"));
  Put("d", d, "/d.bin");
  ASSERT_TRUE(M("mdel -i " + Img() + " ::/d.bin"));
  FatMemDevice dev(Load());
  auto found = RunFat(dev, kFat16);
  ASSERT_TRUE(found.count("/Volume/_.bin"));
  EXPECT_EQ(found["/Volume/_.bin"].bytes, d);
}

TEST_F(FatImage, Fat32HighClustersAndDeletedTrees) {
  // 4 KiB... 512-byte clusters on 48 MiB put the later files above cluster 65535.
  ASSERT_TRUE(Sh("mkfs.fat -C -F 32 -s 1 " + Img() + " 49152"));
  auto filler = testutil::RandomBytes(36u << 20, 20);
  auto hi = testutil::RandomBytes(4000, 21), deep = testutil::RandomBytes(2500, 22);
  Put("f", filler, "/filler.bin");
  ASSERT_TRUE(M("mmd -i " + Img() + " ::/Docs ::/Docs/Inner"));
  Put("h", hi, "/Docs/high file.dat");
  Put("p", deep, "/Docs/Inner/deep.txt");
  ASSERT_TRUE(M("mdeltree -i " + Img() + " ::/Docs"));
  FatMemDevice dev(Load());
  auto found = RunFat(dev, kFat32);
  ASSERT_TRUE(found.count("Volume/Docs/high file.dat"));
  EXPECT_EQ(found["Volume/Docs/high file.dat"].bytes, hi);
  ASSERT_TRUE(found.count("Volume/Docs/Inner/_eep.txt"));
  EXPECT_EQ(found["Volume/Docs/Inner/_eep.txt"].bytes, deep);
  EXPECT_FALSE(found.count("Volume/filler.bin"));
  int rc = 0;
  RunFat(dev, kFat16, &rc);
  EXPECT_EQ(rc, 104);
}

// The cluster bitmap of each FAT scanner: bit c - 2 is cluster c, set where its FAT entry is
// in use. A FAT32 entry counts without its four reserved top bits: a free cluster may keep
// them, and carving must still reach it; a value whose low 16 bits are zero is in use.
TEST_F(FatImage, DeviceBitmapsMarkTheClustersTheFatUses) {
  ASSERT_TRUE(Sh("mkfs.fat -C -F 32 -s 1 " + Img() + " 40960"));
  auto bytes = testutil::RandomBytes(3 * 512 + 1, 30);
  Put("a", bytes, "/a.bin");
  std::vector<uint8_t> img = Load();
  const uint64_t fat = uint64_t(img[14] | img[15] << 8) * 512;
  const uint32_t reservedOnly = 200, highWordOnly = 201, untouched = 202;
  kbytes::PutLe32(&img[fat + reservedOnly * 4], 0xF0000000u);
  kbytes::PutLe32(&img[fat + highWordOnly * 4], 0x00010000u);
  FatMemDevice dev(img);
  IScanOperator* scanner = CreateFat32DelScanner(&dev);
  ASSERT_NE(scanner, nullptr);
  EXPECT_EQ(scanner->GetScanType(), 5);
  IDeviceBitmap* bm = scanner->CreateDeviceBitmap();
  ASSERT_NE(bm, nullptr);
  EXPECT_EQ(bm->GetClusterSize(), 512);
  EXPECT_TRUE(bm->BitGet(0));  // the root's cluster 2
  EXPECT_TRUE(bm->BitGet(highWordOnly - 2));
  EXPECT_FALSE(bm->BitGet(reservedOnly - 2));
  EXPECT_FALSE(bm->BitGet(untouched - 2));
  bm->Release();
  // The FAT16 scanner refuses the volume and gives no bitmap.
  IScanOperator* fat16 = CreateFat16DelScanner(&dev);
  ASSERT_NE(fat16, nullptr);
  EXPECT_EQ(fat16->CreateDeviceBitmap(), nullptr);
  fat16->Release();
  scanner->Release();
  EXPECT_EQ(dev.writes, 0);
}

// Files whose names begin outside ASCII, written by mtools in a UTF-8 locale (code page 850
// for the 8.3 names) and deleted, on FAT16 and FAT32: each comes back under the name The
// Sleuth Kit lists for it, with the bytes that were written.
TEST_F(FatImage, DeletedNamesBeginningOutsideAscii) {
  if (!testutil::HaveTool("fls") || !Sh("command -v mdel")) GTEST_SKIP() << "fls or mdel missing";
  const std::vector<std::string> names = {"Ñandú.png",  "Élise.jpg",        "Ürlaub 2024.jpg",
                                          "Москва.pdf", "日本語の写真.jpg", "😀smile.png"};
  for (int fat32 = 0; fat32 < 2; ++fat32) {
    SCOPED_TRACE(fat32 ? "FAT32" : "FAT16");
    std::remove(Img().c_str());
    ASSERT_TRUE(Sh(std::string("mkfs.fat -C -F ") + (fat32 ? "32 -s 1 " : "16 -s 2 ") + Img() +
                   (fat32 ? " 34000" : " 8192")));
    std::vector<std::vector<uint8_t>> originals;
    std::string del;
    for (size_t i = 0; i < names.size(); ++i) {
      originals.push_back(testutil::RandomBytes(2500 + i * 1333, uint32_t(60 + i)));
      testutil::WriteFile(dir.file("src"), originals.back());
      ASSERT_TRUE(M("LC_ALL=C.UTF-8 mcopy -i " + Img() + " " + dir.file("src") + " '::/" + names[i] + "'"));
      // mtools keeps only the low 16 bits of a character beyond U+FFFF, so that name is
      // matched by a pattern; the name fls and the walk must agree on is the one stored.
      del += " '::/" +
             (names[i].compare(0, 4, "😀") == 0 ? "?" + names[i].substr(4) : names[i]) + "'";
    }
    Put("k", testutil::RandomBytes(700, 70), "/keep.txt");
    ASSERT_TRUE(M("LC_ALL=C.UTF-8 mdel -i " + Img() + del));

    std::set<std::string> listed;
    std::istringstream fls(testutil::RunCommand("fls -r -p -d '" + Img() + "'"));
    for (std::string line; std::getline(fls, line);) {
      size_t tab = line.find(":\t");
      if (line.compare(0, 6, "r/r * ") == 0 && tab != std::string::npos) listed.insert(line.substr(tab + 2));
    }
    ASSERT_EQ(listed.size(), names.size());

    FatMemDevice dev(Load());
    FatDelWalker w(&dev, fat32 ? kFat32 : kFat16);
    ASSERT_EQ(w.Open(), 0);
    std::map<std::string, std::vector<uint8_t>> found;
    w.Walk(
        [&](const FoundFile& f) {
          found[testutil::Utf8(f.name)] = Gather(dev.Bytes(), f);
          return 0;
        },
        nullptr);
    std::set<std::string> ours;
    std::set<size_t> matched;
    for (auto& kv : found) {
      ours.insert(kv.first);
      auto it = std::find(originals.begin(), originals.end(), kv.second);
      EXPECT_NE(it, originals.end()) << kv.first << " has bytes of no file written";
      if (it != originals.end()) {
        EXPECT_TRUE(matched.insert(size_t(it - originals.begin())).second) << kv.first;
      }
    }
    EXPECT_EQ(ours, listed);
    EXPECT_EQ(matched.size(), names.size());
    EXPECT_EQ(dev.writes, 0);
  }
}

TEST_F(FatImage, DamagedLiveDirectoryChainDoesNotHang) {
  ASSERT_TRUE(Sh("mkfs.fat -C -F 32 -s 1 " + Img() + " 40960"));
  ASSERT_TRUE(M("mmd -i " + Img() + " ::/Loop"));
  auto x = testutil::RandomBytes(1000, 30);
  Put("x", x, "/Loop/x.bin");
  ASSERT_TRUE(M("mdel -i " + Img() + " ::/Loop/x.bin"));
  std::vector<uint8_t> img = Load();
  FatGeometry g;
  ASSERT_EQ(ParseFatBoot(img.data(), 512, kFat32, img.size(), &g), 0);
  // Point every used FAT entry at itself: each live chain becomes a self-loop.
  for (uint32_t c = 2; c <= 40; ++c) {
    for (uint32_t f = 0; f < g.numFats; ++f) {
      uint8_t* p = img.data() + g.fatOffset + f * g.fatBytes + c * 4;
      if (kbytes::Le32(p)) kbytes::PutLe32(p, c);
    }
  }
  FatMemDevice dev(img);
  auto t0 = std::chrono::steady_clock::now();
  auto found = RunFat(dev, kFat32);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(300));
  ASSERT_TRUE(found.count("Volume/Loop/_.bin"));
  EXPECT_EQ(found["Volume/Loop/_.bin"].bytes, x);
}

TEST_F(FatImage, VanishedDeviceEndsTheWalk) {
  ASSERT_TRUE(Sh("mkfs.fat -C -F 16 -s 1 " + Img() + " 8192"));
  ASSERT_TRUE(M("mmd -i " + Img() + " ::/A ::/A/B ::/A/B/C"));
  FatMemDevice dev(Load());
  FatDelWalker w(&dev, kFat16);
  ASSERT_EQ(w.Open(), 0);
  dev.failAfterReads = dev.reads + 1;
  EXPECT_EQ(w.Walk([](const FoundFile&) { return 0; }, nullptr), 0);
  EXPECT_TRUE(w.DeviceGone());
}

// ---------------------------------------------------------------------------------------
// exFAT: mkfs.exfat lays out the volume; entries are written by hand.

class ExfatImage : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!Sh("command -v mkfs.exfat")) GTEST_SKIP() << "mkfs.exfat missing";
    std::string img = dir.file("x.img");
    ASSERT_TRUE(Sh("truncate -s 8M " + img + " && mkfs.exfat -c 4096 " + img));
    bytes = testutil::ReadFile(img);
    ASSERT_EQ(ParseExfatBoot(bytes.data(), 512, bytes.size(), &g), 0);
    // The root's first free entry slot.
    uint8_t* root = Cl(g.rootCluster);
    while (root[slot * 32] != 0) ++slot;
    next = 2;
    while (Allocated(next)) ++next;
  }
  uint8_t* Cl(uint32_t c) { return bytes.data() + g.ClusterOffset(c); }
  uint8_t* Bitmap() {
    for (size_t i = 0; i < g.clusterBytes; i += 32)
      if (Cl(g.rootCluster)[i] == 0x81) return Cl(kbytes::Le32(Cl(g.rootCluster) + i + 20));
    return nullptr;
  }
  bool Allocated(uint32_t c) { return (Bitmap()[(c - 2) / 8] >> ((c - 2) % 8)) & 1; }
  void Allocate(uint32_t c) { Bitmap()[(c - 2) / 8] |= uint8_t(1 << ((c - 2) % 8)); }
  void SetFat(uint32_t c, uint32_t v) { kbytes::PutLe32(bytes.data() + g.fatOffset + c * 4, v); }
  // Writes a file entry set at entries [at, at + 2 + names) of a byte area.
  static size_t PutSet(uint8_t* area, size_t at, bool deleted, bool dir, const std::u16string& name,
                       uint32_t first, uint64_t len, bool noFatChain = true, uint64_t valid = UINT64_MAX) {
    size_t names = (name.size() + 14) / 15;
    uint8_t* f = area + at * 32;
    std::memset(f, 0, 32 * (2 + names));
    f[0] = deleted ? 0x05 : 0x85;
    f[1] = uint8_t(1 + names);
    kbytes::PutLe16(f + 4, dir ? 0x10 : 0x20);
    kbytes::PutLe32(f + 8, uint32_t(0x5A21) << 16);
    kbytes::PutLe32(f + 12, uint32_t(0x5A42) << 16);
    uint8_t* s = f + 32;
    s[0] = deleted ? 0x40 : 0xC0;
    s[1] = uint8_t(0x01 | (noFatChain ? 0x02 : 0));
    s[3] = uint8_t(name.size());
    kbytes::PutLe64(s + 8, valid == UINT64_MAX ? len : valid);
    kbytes::PutLe32(s + 20, first);
    kbytes::PutLe64(s + 24, len);
    for (size_t k = 0; k < names; ++k) {
      uint8_t* n = f + (2 + k) * 32;
      n[0] = deleted ? 0x41 : 0xC1;
      for (size_t c = 0; c < 15 && k * 15 + c < name.size(); ++c) kbytes::PutLe16(n + 2 + 2 * c, name[k * 15 + c]);
    }
    return at + 2 + names;
  }
  std::vector<uint8_t> Data(uint32_t first, size_t n, uint32_t seed) {
    auto d = testutil::RandomBytes(n, seed);
    std::memcpy(Cl(first), d.data(), n);
    return d;
  }
  testutil::TempDir dir;
  std::vector<uint8_t> bytes;
  ExfatVolume g;
  size_t slot = 0;
  uint32_t next = 0;
};

TEST_F(ExfatImage, DeletedFilesAndSetsAcrossClustersOfTheChain) {
  // A live directory of two clusters that are not adjacent on disk, with a deleted file's
  // set cut by the first cluster's end.
  uint32_t d1 = next, d2 = next + 3, dataC = next + 5;
  Allocate(d1);
  Allocate(d2);
  SetFat(d1, d2);
  SetFat(d2, 0xFFFFFFFF);
  slot = PutSet(Cl(g.rootCluster), slot, false, true, u"Camera", d1, 2 * g.clusterBytes, false);
  std::vector<uint8_t> area(2 * g.clusterBytes, 0);
  size_t perCluster = g.clusterBytes / 32;
  size_t at = 0;
  while (at + 4 < perCluster - 1) at = PutSet(area.data(), at, false, false, u"live.bin", dataC + 20, 10);
  std::u16string longName(40, u'p');  // 3 name entries: the set spans the cluster end
  for (; at < perCluster - 2; ++at) area[at * 32] = 0x41;  // orphaned deleted name entries
  PutSet(area.data(), perCluster - 2, true, false, longName + u".jpg", dataC, 4097);
  std::memcpy(Cl(d1), area.data(), g.clusterBytes);
  std::memcpy(Cl(d2), area.data() + g.clusterBytes, g.clusterBytes);
  auto pic = Data(dataC, 4097, 40);
  std::memcpy(Cl(dataC + 1), pic.data() + 4096, 1);

  FatMemDevice dev(bytes);
  auto found = RunExfat(dev);
  std::string path = "/Volume/Camera/" + U8(longName) + ".jpg";
  ASSERT_TRUE(found.count(path));
  EXPECT_EQ(found[path].size, 4097u);
  EXPECT_EQ(found[path].bytes, pic);
  EXPECT_EQ(found[path].cdate, 0x5A21);
  EXPECT_EQ(found[path].mdate, 0x5A42);
  EXPECT_EQ(found.size(), 1u) << "live files of live folders are not listed";
}

TEST_F(ExfatImage, BytesPastTheValidDataLengthReadAsZeros) {
  // A preallocated file: 3 clusters long, only 5000 bytes ever written; the clusters still
  // hold an older file's bytes past that point.
  uint32_t first = next + 2;
  size_t len = 3 * g.clusterBytes;
  auto old = Data(first, len, 77);
  PutSet(Cl(g.rootCluster), slot, true, false, u"movie.mp4", first, len, true, 5000);
  FatMemDevice dev(bytes);
  auto found = RunExfat(dev);
  ASSERT_TRUE(found.count("/Volume/movie.mp4"));
  const std::vector<uint8_t>& got = found["/Volume/movie.mp4"].bytes;
  ASSERT_EQ(got.size(), len);
  EXPECT_TRUE(std::equal(old.begin(), old.begin() + 5000, got.begin()));
  // The rest of the sector that holds the last valid byte is kept; after it, zeros.
  EXPECT_TRUE(std::all_of(got.begin() + 5120, got.end(), [](uint8_t b) { return b == 0; }));
}

TEST_F(ExfatImage, DeletedDirectoryAndHostileEntries) {
  uint32_t dirC = next, fileC = next + 1;
  // A deleted directory holding a live file, a child pointing back at the root, and a
  // child pointing at itself.
  slot = PutSet(Cl(g.rootCluster), slot, true, true, u"Trip", dirC, g.clusterBytes);
  size_t at = PutSet(Cl(dirC), 0, false, false, u"note.txt", fileC, 100);
  at = PutSet(Cl(dirC), at, false, true, u"up", g.rootCluster, g.clusterBytes);
  PutSet(Cl(dirC), at, false, true, u"self", dirC, g.clusterBytes);
  auto note = Data(fileC, 100, 50);
  FatMemDevice dev(bytes);
  auto t0 = std::chrono::steady_clock::now();
  auto found = RunExfat(dev);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(300));
  ASSERT_TRUE(found.count("/Volume/Trip/note.txt"));
  EXPECT_EQ(found["/Volume/Trip/note.txt"].bytes, note);

  // The deleted directory's cluster in use again: not entered.
  Allocate(dirC);
  FatMemDevice reused(bytes);
  EXPECT_FALSE(RunExfat(reused).count("/Volume/Trip/note.txt"));
}

// Benign entry types (a volume GUID 0xA0, vendor entries 0xE0 and on) and stray deleted
// pieces are no end of the directory: the sets behind them are still read.
TEST_F(ExfatImage, BenignEntriesDoNotEndTheDirectory) {
  uint32_t fileC = next + 1;
  uint8_t* root = Cl(g.rootCluster);
  root[slot * 32] = 0xA0;  // volume GUID
  root[(slot + 1) * 32] = 0xE1;
  root[(slot + 2) * 32] = 0x41;  // a name piece without its set
  PutSet(root, slot + 3, true, false, u"after.txt", fileC, 300);
  auto data = Data(fileC, 300, 51);
  FatMemDevice dev(bytes);
  auto found = RunExfat(dev);
  ASSERT_TRUE(found.count("/Volume/after.txt"));
  EXPECT_EQ(found["/Volume/after.txt"].bytes, data);
}

TEST_F(ExfatImage, BootDamageIsRefused) {
  std::vector<uint8_t> bad = bytes;
  bad[109] = 0xFF;  // sectors-per-cluster shift
  FatMemDevice d1(bad);
  int rc = 0;
  RunExfat(d1, &rc);
  EXPECT_EQ(rc, -1);
  bad = bytes;
  bad[108] = 0xFF;
  FatMemDevice d2(bad);
  RunExfat(d2, &rc);
  EXPECT_EQ(rc, -1);
  // No allocation-bitmap entry anywhere in the root.
  bad = bytes;
  ExfatVolume gg;
  ASSERT_EQ(ParseExfatBoot(bad.data(), 512, bad.size(), &gg), 0);
  for (size_t i = 0; i < gg.clusterBytes; i += 32)
    if (bad[gg.ClusterOffset(gg.rootCluster) + i] == 0x81) bad[gg.ClusterOffset(gg.rootCluster) + i] = 0x01;
  FatMemDevice d3(bad);
  RunExfat(d3, &rc);
  EXPECT_EQ(rc, 104);
}

// ---------------------------------------------------------------------------------------
// The scanner classes hand records to the results tree.
#if __has_include("common/timeconv.h")
#include "common/inc/ifilemanager.h"
#include "common/inc/inotifysink.h"
#include "common/inc/iscanoperator.h"
#include "common/inc/kestrum_types.h"
#include "common/inc/seams.h"
#include "filemanager/fileinfo.h"

namespace {
struct CollectManager : IFileManager {
  std::map<std::string, IFileInfo*> files;
  ~CollectManager() {
    for (auto& f : files) f.second->Release();
  }
  IFileManager* SetStorageDevice(IStorageDevice*) override { return this; }
  IStorageDevice* GetStorageDevice() override { return nullptr; }
  int SetNotifySink(INotifySink*) override { return 0; }
  int AddFile(const char16_t* folder, IFileInfo* file) override {
    files[U8(std::u16string(folder) + file->GetName())] = file;
    return 0;
  }
  int GetFileOp(IFileInfo*, IFileOP**) override { return 0; }
  int ListFiles(IFilter*, INotifySink*) override { return 0; }
  int CreateFilter(IFilter**) override { return 0; }
  void Release() override {}
  IDeviceBitmap* GetDeviceBitmap() override { return nullptr; }
};
struct Events : INotifySink {
  std::vector<std::pair<int, int64_t>> seen;
  int Notify(int e, int64_t a, int64_t, void*) override {
    seen.push_back({e, a});
    return 0;
  }
};
}  // namespace

TEST_F(FatImage, ScannerReportsRecordsWithDatesInOrder) {
  ASSERT_TRUE(Sh("mkfs.fat -C -F 16 -s 1 " + Img() + " 8192"));
  auto x = testutil::RandomBytes(1500, 60);
  ASSERT_TRUE(M("mmd -i " + Img() + " ::/Dir"));
  Put("x", x, "/Dir/Some Long Name.bin");
  ASSERT_TRUE(M("mdel -i " + Img() + " '::/Dir/Some Long Name.bin'"));
  FatMemDevice dev(Load());
  IScanOperator* s = CreateFat16DelScanner(&dev);
  ASSERT_NE(s, nullptr);
  CollectManager fm;
  Events ev;
  s->SetFileManager(&fm);
  EXPECT_EQ(s->Scan(nullptr), RC_BAD_ARGUMENT);
  EXPECT_EQ(s->Scan(&ev), 0);
  ASSERT_TRUE(fm.files.count("/Volume/Dir/Some Long Name.bin"));
  IFileInfo* f = fm.files["/Volume/Dir/Some Long Name.bin"];
  EXPECT_EQ(f->GetSize(), 1500u);
  EXPECT_GT(f->GetCreateTime(), 0u);
  ASSERT_FALSE(ev.seen.empty());
  EXPECT_EQ(ev.seen.back().first, NE_FINISHED);
  int64_t last = 0;
  for (auto& e : ev.seen)
    if (e.first == NE_PERCENT) {
      EXPECT_GE(e.second, last);
      last = e.second;
    }
  EXPECT_EQ(last, 100);
  s->Release();
  // Wrong FAT type.
  IScanOperator* s32 = CreateFat32DelScanner(&dev);
  EXPECT_EQ(s32->Scan(&ev), RC_WRONG_FS);
  IScanParam* p = nullptr;
  EXPECT_EQ(s32->GetScanParam(&p), 0);
  EXPECT_EQ(p->Enable(), 0);
  s32->Release();
}

// The exFAT scanner's bitmap is the volume's allocation bitmap, counted in the clusters of
// the boot sector whatever the facade's partition record says; its progress only climbs,
// also when a folder lies before its parent on the volume, and ends at 100.
TEST_F(ExfatImage, ScannerBitmapAndProgress) {
  uint32_t used = next + 7, far = g.maxCluster - 4, nearC = next + 2, fileC = next + 3;
  Allocate(used);
  slot = PutSet(Cl(g.rootCluster), slot, true, true, u"Far", far, g.clusterBytes);
  slot = PutSet(Cl(g.rootCluster), slot, true, true, u"Near", nearC, g.clusterBytes);
  PutSet(Cl(far), 0, false, false, u"a.bin", fileC, 100);
  PutSet(Cl(nearC), 0, false, false, u"b.bin", fileC + 1, 100);
  struct OtherClusterSize : FatMemDevice {
    using FatMemDevice::FatMemDevice;
    int GetClusterInfo(int* clusterBytes, int* sectorSize) override {
      if (clusterBytes) *clusterBytes = 32768;
      if (sectorSize) *sectorSize = 512;
      return 0;
    }
  } dev(bytes);
  CExfatDel scanner(&dev);
  uint32_t needed = 0;
  ASSERT_EQ(scanner.ReadVolumeBitmap(nullptr, 0, &needed), 0);
  EXPECT_EQ(needed, (g.clusterCount + 7) / 8);
  std::vector<uint8_t> copy(needed + 4, 0xAA);
  ASSERT_EQ(scanner.ReadVolumeBitmap(copy.data(), uint32_t(copy.size()), &needed), 0);
  EXPECT_TRUE(std::equal(copy.begin(), copy.begin() + needed, Bitmap()));
  EXPECT_EQ(copy.back(), 0xAA);
  EXPECT_EQ(scanner.ReadVolumeBitmap(nullptr, 0, nullptr), RC_BAD_ARGUMENT);
  IDeviceBitmap* bm = scanner.CreateDeviceBitmap();
  ASSERT_NE(bm, nullptr);
  EXPECT_EQ(bm->GetClusterSize(), int(g.clusterBytes));
  EXPECT_EQ(bm->GetFirstClusterOffset(), int64_t(g.heapOffset));
  EXPECT_TRUE(bm->BitGet(used - 2));
  EXPECT_FALSE(bm->BitGet(used - 1));
  bm->Release();

  CollectManager fm;
  Events ev;
  scanner.SetFileManager(&fm);
  EXPECT_EQ(scanner.Scan(&ev), 0);
  EXPECT_TRUE(fm.files.count("/Volume/Far/a.bin"));
  EXPECT_TRUE(fm.files.count("/Volume/Near/b.bin"));
  int64_t last = -1;
  for (auto& e : ev.seen)
    if (e.first == NE_PERCENT) {
      EXPECT_GE(e.second, last);
      last = e.second;
    }
  EXPECT_EQ(last, 100);

  // A stop answered at the far folder ends the whole walk: the folder after it is not read.
  struct StopAtHalf : INotifySink {
    int Notify(int e, int64_t a, int64_t, void*) override { return e == NE_PERCENT && a >= 50 ? -1 : 0; }
  } stop;
  CollectManager fm2;
  CExfatDel again(&dev);
  again.SetFileManager(&fm2);
  again.Scan(&stop);
  EXPECT_TRUE(fm2.files.empty());
  EXPECT_EQ(dev.writes, 0);
}
#endif

namespace {
struct QuietSink : INotifySink {
  int Notify(int, int64_t, int64_t, void*) override { return 0; }
};
}  // namespace

// A reader pulled out mid-walk: the exFAT scan answers a failure, as the FAT scan does, rather
// than passing a cut-short list off as complete.
TEST_F(ExfatImage, VanishedDeviceFailsTheScan) {
  FatMemDevice probe(bytes);
  ExfatDelWalker w(&probe);
  ASSERT_EQ(w.Open(), 0);
  QuietSink sink;
  {
    FatMemDevice dev(bytes);
    CExfatDel scanner(&dev);
    EXPECT_EQ(scanner.Scan(&sink), 0);
  }
  FatMemDevice dev(bytes);
  dev.failAfterReads = probe.reads;
  CExfatDel scanner(&dev);
  EXPECT_EQ(scanner.Scan(&sink), RC_FAIL);
  EXPECT_EQ(dev.writes, 0);
}
