// Deleted folders whose entries spread over several clusters: deleting the folder clears its
// chain, so only its first cluster is named anywhere. The later clusters are found among the
// free clusters, joined to their folder, and their files come back with their bytes. The
// Sleuth Kit (fls/icat) tells which files of the image can be recovered at all.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <cstdlib>
#include <map>
#include <set>
#include <sstream>
#include <string>

#include "common/inc/bytes.h"
#include "fat_memdevice.h"
#include "filemanager/fileinfo.h"
#include "filesystems/fatentry.h"
#include "filesystems/fatwalk.h"
#include "fixtures.h"
#include "testutil.h"

using namespace fat;

namespace {

bool Sh(const std::string& cmd) { return std::system((cmd + " >/dev/null 2>&1").c_str()) == 0; }

std::string U8(const std::u16string& s) {
  std::string o;
  for (char16_t c : s) o += c < 0x80 ? char(c) : '?';
  return o;
}

std::vector<uint8_t> Gather(const std::vector<uint8_t>& img, const FoundFile& f) {
  std::vector<uint8_t> out;
  for (const auto& r : f.runs) {
    uint64_t off = r.first * 512, len = r.second * 512;
    if (off > img.size()) break;
    len = std::min<uint64_t>(len, img.size() - off);
    out.insert(out.end(), img.begin() + off, img.begin() + off + len);
  }
  if (out.size() > f.size) out.resize(f.size);
  return out;
}

struct Walked {
  std::map<std::string, std::vector<uint8_t>> files;  // folder + name -> bytes
  size_t lostClusters = 0;
  uint64_t freeSearched = 0;
};

Walked Walk(FatMemDevice& dev, FatKind kind) {
  Walked w;
  FatDelWalker walker(&dev, kind);
  EXPECT_EQ(walker.Open(), 0);
  walker.Walk(
      [&](const FoundFile& f) {
        std::string key = U8(f.folder + f.name);
        EXPECT_FALSE(w.files.count(key)) << key << " reported twice";
        w.files[key] = Gather(dev.Bytes(), f);
        return 0;
      },
      nullptr);
  w.lostClusters = walker.LostDirClusters();
  w.freeSearched = walker.FreeBytesSearched();
  EXPECT_EQ(dev.writes, 0);
  return w;
}

// The bytes of every deleted file The Sleuth Kit lists on the image, by its listing path.
std::map<std::string, std::vector<uint8_t>> SleuthKitDeleted(const std::string& img) {
  std::map<std::string, std::vector<uint8_t>> out;
  int status = 0;
  std::istringstream in(testutil::RunCommand("fls -r -p '" + img + "'", &status));
  std::string line;
  while (std::getline(in, line)) {
    if (line.find("r/r * ") == std::string::npos && line.find("-/r * ") == std::string::npos) continue;
    size_t star = line.find("* "), colon = line.find(":\t");
    if (star == std::string::npos || colon == std::string::npos) continue;
    std::string inode = line.substr(star + 2, colon - star - 2);
    std::string data = testutil::RunCommand("icat -r '" + img + "' " + inode);
    out[line.substr(colon + 2)].assign(data.begin(), data.end());
  }
  return out;
}

class FatLostDir : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!Sh("(command -v mkfs.fat && command -v mcopy && command -v mdeltree)"))
      GTEST_SKIP() << "mkfs.fat/mtools missing";
  }
  std::string Img() const { return dir.file("v.img"); }
  bool M(const std::string& args) { return Sh("MTOOLS_SKIP_CHECK=1 " + args); }
  testutil::TempDir dir;

  // A folder of forty long-named files, enough entries for several clusters, and a kept
  // folder beside it; the folder is then deleted with everything in it.
  void Build(const std::string& mkfs, const std::string& kib) {
    ASSERT_TRUE(Sh(mkfs + " " + Img() + " " + kib));
    std::string src = dir.file("src");
    ASSERT_TRUE(Sh("mkdir -p '" + src + "/Old photos/inner folder' '" + src + "/keep'"));
    for (int i = 1; i <= 40; ++i) {
      char name[96];
      std::snprintf(name, sizeof name, "Long named file number %02d in the folder.bin", i);
      auto bytes = testutil::RandomBytes(size_t(1000 + i * 777), uint32_t(100 + i));
      testutil::WriteFile(src + "/Old photos/" + name, bytes);
      originals[name] = bytes;
    }
    originals["inner file.txt"] = testutil::RandomBytes(3333, 99);
    testutil::WriteFile(src + "/Old photos/inner folder/inner file.txt", originals["inner file.txt"]);
    testutil::WriteFile(src + "/keep/kept.txt", testutil::RandomBytes(1234, 98));
    ASSERT_TRUE(M("mcopy -s -Q -i " + Img() + " '" + src + "/keep' '" + src + "/Old photos' ::/"));
    ASSERT_TRUE(M("mdeltree -i " + Img() + " '::/Old photos'"));
  }

  // Every file The Sleuth Kit recovers byte for byte comes back with the same bytes under
  // its folder, and nothing is reported with bytes that are not its own.
  void Check(FatKind kind, const std::string& root) {
    uint64_t before = testutil::FileChecksum(Img());
    std::set<std::vector<uint8_t>> recoverable;
    for (auto& kv : SleuthKitDeleted(Img()))
      for (auto& o : originals)
        if (kv.second == o.second) recoverable.insert(o.second);
    ASSERT_GE(recoverable.size(), 30u) << "The Sleuth Kit should find most of them";

    FatMemDevice dev(testutil::ReadFile(Img()));
    Walked w = Walk(dev, kind);
    EXPECT_GE(w.lostClusters, 2u);
    size_t exact = 0, underFolder = 0;
    for (auto& o : originals) {
      std::string path = root + "Old photos/" + (o.first == "inner file.txt" ? "inner folder/" : "") + o.first;
      auto it = w.files.find(path);
      if (it != w.files.end()) {
        EXPECT_EQ(it->second, o.second) << path << " has wrong bytes";
        ++underFolder;
        exact += it->second == o.second;
      } else if (recoverable.count(o.second)) {
        ADD_FAILURE() << path << " is recoverable but missing";
      }
    }
    RecordProperty("files_exact", int(exact));
    EXPECT_GE(underFolder, recoverable.size());
    // Whatever else is reported (under "Lost Location" or not) carries its own bytes.
    for (auto& kv : w.files) {
      std::string name = kv.first.substr(kv.first.rfind('/') + 1);
      if (originals.count(name)) { EXPECT_EQ(kv.second, originals[name]) << kv.first; }
    }
    EXPECT_EQ(testutil::FileChecksum(Img()), before);

    // With the folder's first cluster gone as well, nothing names the folder: the files of
    // its later clusters come back under "Lost Location", still with their own bytes.
    std::vector<uint8_t> img = testutil::ReadFile(Img());
    FatGeometry g;
    ASSERT_EQ(ParseFatBoot(img.data(), img.size(), kind, img.size(), &g), 0);
    // The folder's first cluster: the one beginning with "." that is full of deleted names.
    uint32_t first = 0;
    for (uint32_t c = 2; c <= g.maxCluster && !first; ++c) {
      const uint8_t* p = img.data() + g.ClusterOffset(c);
      size_t deleted = 0;
      for (size_t k = 2; k < g.clusterBytes / 32; ++k) deleted += p[k * 32] == 0xE5;
      if (std::memcmp(p, ".          ", 11) == 0 && deleted + 2 == g.clusterBytes / 32) first = c;
    }
    ASSERT_NE(first, 0u);
    std::memset(img.data() + g.ClusterOffset(first), 0, g.clusterBytes);
    FatMemDevice cut(img);
    Walked lost = Walk(cut, kind);
    size_t placed = 0;
    for (auto& kv : lost.files) {
      std::string name = kv.first.substr(kv.first.rfind('/') + 1);
      if (!originals.count(name)) continue;
      EXPECT_EQ(kv.second, originals[name]) << kv.first;
      // The inner folder's ".." still names the deleted folder, whose entry survives.
      std::string under = name == "inner file.txt" ? root + "Old photos/DIR" : root + "Lost Location/DIR";
      EXPECT_EQ(kv.first.compare(0, under.size(), under), 0) << kv.first;
      ++placed;
    }
    EXPECT_GE(placed, originals.size() / 2);
  }

  std::map<std::string, std::vector<uint8_t>> originals;
};

}  // namespace

TEST_F(FatLostDir, Fat16FolderOfManyClustersComesBackWhole) {
  Build("mkfs.fat -C -F 16 -s 4 -n LOST16", "16384");
  Check(kFat16, "/Volume/");
}

TEST_F(FatLostDir, Fat32FolderOfManyClustersComesBackWhole) {
  // 512-byte clusters: the folder's entries take a dozen clusters.
  Build("mkfs.fat -C -F 32 -s 1 -n LOST32", "40960");
  Check(kFat32, "Volume/");
}

// Free clusters that once held directory entries are told from other free clusters by a
// strict reading of every entry: one field out of its range, or anything after the end
// mark, and the cluster is not taken.
TEST(FatLostDirShape, EveryEntryMustBeSound) {
  FatGeometry g;
  g.kind = kFat16;
  g.bytesPerSector = 512;
  g.sectorsPerCluster = 1;
  g.clusterBytes = 512;
  g.totalSectors = 4000;
  g.clusterCount = 3900;
  g.maxCluster = 3901;
  std::vector<uint8_t> b(512, 0);
  auto entry = [&](size_t i) { return b.data() + i * 32; };
  // A deleted long name of two pieces, its short entry, a live file, then the end.
  uint8_t shortName[11];
  std::memcpy(shortName, "PHOTO~1 JPG", 11);
  uint8_t sum = 0;
  FatShortNameChecksum(shortName, &sum);
  std::u16string name = u"photo of a lake.jpg";
  for (int piece = 0; piece < 2; ++piece) {
    uint8_t* e = entry(size_t(piece));
    e[0] = 0xE5;
    e[11] = 0x0F;
    e[13] = sum;
    static const int off[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
    std::u16string part = name.substr(piece == 0 ? 13 : 0, 13);
    for (int k = 0; k < 13; ++k)
      kbytes::PutLe16(e + off[k], k < int(part.size()) ? part[k] : k == int(part.size()) ? 0 : 0xFFFF);
  }
  std::memcpy(entry(2), shortName, 11);
  entry(2)[0] = 0xE5;
  entry(2)[11] = 0x20;
  kbytes::PutLe16(entry(2) + 22, (10 << 11) | (30 << 5) | 7);
  kbytes::PutLe16(entry(2) + 24, (44 << 9) | (6 << 5) | 15);
  kbytes::PutLe16(entry(2) + 26, 300);
  kbytes::PutLe32(entry(2) + 28, 70000);
  std::memcpy(entry(3), "NOTES   TXT", 11);
  entry(3)[11] = 0x20;
  kbytes::PutLe16(entry(3) + 26, 500);
  kbytes::PutLe32(entry(3) + 28, 10);

  DirClusterShape s;
  ASSERT_TRUE(FatDirClusterShapeOf(g, b.data(), b.size(), 7, &s));
  EXPECT_FALSE(s.dot);
  EXPECT_FALSE(s.full);
  EXPECT_EQ(s.head.size(), 3u * 32);  // up to and with the first short entry

  struct Damage {
    size_t at;
    uint8_t value;
  } damages[] = {
      {2 * 32 + 11, 0x60},  // reserved attribute bits
      {3 * 32 + 11, 0x08},  // a volume label outside the root
      {2 * 32 + 12, 0x01},  // reserved case bits
      {2 * 32 + 13, 200},   // creation tenths
      {2 * 32 + 23, 0xC8},  // hour 25
      {2 * 32 + 25, 0x59},  // month 14
      {2 * 32 + 27, 0x40},  // first cluster past the volume
      {2 * 32 + 31, 0x01},  // size past the volume
      {2 * 32 + 20, 0x01},  // a high word on FAT16
      {0 * 32 + 26, 0x02},  // a long-name piece with a cluster
      {0 * 32 + 12, 0x01},  // a long-name piece with a type
      {0 * 32 + 30, 0x41},  // a character after the terminator
      {3 * 32 + 1, '?'},    // an illegal name character
      {3 * 32 + 0, ' '},    // a name that begins with a blank
      {4 * 32 + 5, 0x01},   // something after the end mark
      {0 * 32 + 0, 0x55},   // an ordinal above 20
  };
  for (const Damage& d : damages) {
    std::vector<uint8_t> bad = b;
    bad[d.at] = d.value;
    EXPECT_FALSE(FatDirClusterShapeOf(g, bad.data(), bad.size(), 7, &s)) << "byte " << d.at;
  }

  // "." must name the cluster itself and be followed by "..".
  std::vector<uint8_t> dots(512, 0);
  std::memcpy(dots.data(), ".          ", 11);
  dots[11] = 0x10;
  kbytes::PutLe16(dots.data() + 26, 7);
  std::memcpy(dots.data() + 32, "..         ", 11);
  dots[43] = 0x10;
  kbytes::PutLe16(dots.data() + 58, 3);
  std::memcpy(dots.data() + 64, b.data() + 64, 64);
  ASSERT_TRUE(FatDirClusterShapeOf(g, dots.data(), dots.size(), 7, &s));
  EXPECT_TRUE(s.dot);
  EXPECT_EQ(s.parent, 3u);
  EXPECT_FALSE(FatDirClusterShapeOf(g, dots.data(), dots.size(), 8, &s));
  std::vector<uint8_t> late = b;
  std::memcpy(late.data() + 96, dots.data(), 32);  // a "." that is not the first entry
  EXPECT_FALSE(FatDirClusterShapeOf(g, late.data(), late.size(), 7, &s));

  // Zeros and random bytes are no directory; a cluster full of entries has no end.
  std::vector<uint8_t> zero(512, 0);
  EXPECT_FALSE(FatDirClusterShapeOf(g, zero.data(), zero.size(), 7, &s));
  int passed = 0;
  for (uint32_t seed = 1; seed <= 2000; ++seed) {
    auto r = testutil::RandomBytes(512, seed);
    passed += FatDirClusterShapeOf(g, r.data(), r.size(), 7, &s);
  }
  EXPECT_EQ(passed, 0);
  std::vector<uint8_t> full(512);
  for (size_t i = 0; i < 16; ++i) std::memcpy(full.data() + i * 32, b.data() + 96, 32);
  ASSERT_TRUE(FatDirClusterShapeOf(g, full.data(), full.size(), 7, &s));
  EXPECT_TRUE(s.full);
}

// Free clusters filled with damaged copies of directory clusters: the search ends in
// bounded time, and what it reports lies on the volume.
TEST_F(FatLostDir, DamagedLostClustersNeverCrashOrHang) {
  Build("mkfs.fat -C -F 16 -s 1 -n HOSTILE", "16384");
  std::vector<uint8_t> img = testutil::ReadFile(Img());
  FatGeometry g;
  ASSERT_EQ(ParseFatBoot(img.data(), img.size(), kFat16, img.size(), &g), 0);
  // Copies of the folder's own clusters, each with a few bytes changed, over the free area.
  std::vector<uint32_t> dirs;
  DirClusterShape s;
  for (uint32_t c = 2; c <= g.maxCluster; ++c)
    if (FatDirClusterShapeOf(g, img.data() + g.ClusterOffset(c), g.clusterBytes, c, &s)) dirs.push_back(c);
  ASSERT_FALSE(dirs.empty());
  auto noise = testutil::RandomBytes(1 << 20, 7);
  size_t n = 0;
  for (uint32_t c = g.maxCluster - 6000; c <= g.maxCluster; ++c, ++n) {
    uint8_t* to = img.data() + g.ClusterOffset(c);
    std::memcpy(to, img.data() + g.ClusterOffset(dirs[n % dirs.size()]), g.clusterBytes);
    for (int k = 0; k < 3; ++k) to[noise[(n * 7 + k) % noise.size()] % g.clusterBytes] = noise[(n * 11 + k) % noise.size()];
  }
  FatMemDevice dev(img);
  auto start = std::chrono::steady_clock::now();
  FatDelWalker walker(&dev, kFat16);
  ASSERT_EQ(walker.Open(), 0);
  size_t reported = 0;
  walker.Walk(
      [&](const FoundFile& f) {
        ++reported;
        for (const auto& r : f.runs) EXPECT_LE((r.first + r.second) * 512, img.size()) << U8(f.name);
        return 0;
      },
      nullptr);
  EXPECT_GT(reported, 0u);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(300));
  EXPECT_EQ(dev.writes, 0);
}
// After a quick format every old folder is a lost one: the deleted-file scan finds the old
// folders by their free clusters and their files come back with their bytes. The one
// exception is a deleted file whose clusters were not in a row (the fixture's d.bin, laid
// into a hole and on behind another file): with the FAT gone nothing tells its clusters,
// and The Sleuth Kit reads the same wrong bytes for it.
TEST(FatLostDirFormatted, QuickFormattedVolumesGiveTheOldFoldersBack) {
  int ran = 0;
  for (const char* name : {"fat16", "fat32"}) {
    std::string img = testutil::Fixture(std::string(name) + "-qformat.img");
    testutil::FixtureManifest m;
    if (img.empty() || !m.Load(name)) continue;
    ++ran;
    uint64_t before = testutil::FileChecksum(img);
    FatMemDevice dev(testutil::ReadFile(img));
    Walked w = Walk(dev, std::string(name) == "fat16" ? kFat16 : kFat32);
    std::set<std::string> sums;
    for (const auto& e : m.Entries())
      if (!e.isDir) sums.insert(e.sha256);
    size_t exact = 0;
    std::vector<std::string> other;
    for (auto& kv : w.files) {
      if (sums.count(testutil::Sha256Hex(kv.second)))
        ++exact;
      else
        other.push_back(kv.first);
    }
    EXPECT_GE(exact, 40u) << name;
    EXPECT_GT(w.lostClusters, 5u) << name;
    for (const std::string& path : other)
      EXPECT_EQ(path.substr(path.size() - 5), "_.bin") << name << ": " << path << " has bytes of no file";
    EXPECT_LE(other.size(), 1u) << name;
    RecordProperty(std::string(name) + "_exact", int(exact));
    EXPECT_EQ(testutil::FileChecksum(img), before);
  }
  if (!ran) GTEST_SKIP() << "no quick-formatted FAT fixtures";
}
