// The fixture images themselves: a broken builder must be noticed here, not as a puzzling
// failure in a scanner's test. The Sleuth Kit reads the same images as an independent oracle.
#include <gtest/gtest.h>

#include <cstring>
#include <set>

#include "fixtures.h"
#include "testutil.h"

using testutil::FixtureManifest;
using testutil::ManifestEntry;
using testutil::RunCommand;

namespace {

// Every line of "fls -r -p" (with -d only the deleted ones), as the path after the tab.
std::set<std::string> FlsPaths(const std::string& image, const std::string& opts) {
  std::set<std::string> paths;
  std::string out = RunCommand("fls -r -p " + opts + " '" + image + "' 2>/dev/null");
  size_t at = 0;
  while (at < out.size()) {
    size_t end = out.find('\n', at);
    if (end == std::string::npos) end = out.size();
    std::string line = out.substr(at, end - at);
    size_t tab = line.find('\t');
    if (tab != std::string::npos) paths.insert("/" + line.substr(tab + 1));
    at = end + 1;
  }
  return paths;
}

// The inode number fls gives for a path ("r/r * 582:\tfrag/_.bin" -> "582"), or "".
std::string FlsInode(const std::string& image, const std::string& opts, const std::string& path) {
  std::string out = RunCommand("fls -r -p " + opts + " '" + image + "' 2>/dev/null");
  size_t at = 0;
  while (at < out.size()) {
    size_t end = out.find('\n', at);
    if (end == std::string::npos) end = out.size();
    std::string line = out.substr(at, end - at);
    at = end + 1;
    size_t tab = line.find('\t');
    if (tab == std::string::npos || line.substr(tab + 1) != path) continue;
    size_t colon = line.rfind(':', tab);
    size_t start = line.find_last_of(" ", colon);
    if (colon == std::string::npos || start == std::string::npos) continue;
    std::string inode = line.substr(start + 1, colon - start - 1);
    size_t dash = inode.find('-');
    return dash == std::string::npos ? inode : inode.substr(0, dash);
  }
  return std::string();
}

class FixtureImages : public ::testing::TestWithParam<const char*> {};

// The manifest agrees with the originals it points to, and lists deletions.
TEST_P(FixtureImages, ManifestMatchesOriginals) {
  FixtureManifest m;
  if (!m.Load(GetParam())) GTEST_SKIP() << GetParam() << " was not built";
  ASSERT_FALSE(m.ImagePath().empty());
  size_t files = 0;
  for (const ManifestEntry* e : m.Files()) {
    auto bytes = m.Original(e->path);
    ASSERT_EQ(bytes.size(), e->size) << e->path;
    ASSERT_TRUE(m.SameAsOriginal(e->path, bytes)) << e->path;
    ++files;
  }
  EXPECT_GT(files, 3u);
  // The xorriso volumes hold no deleted files.
  const std::string name = GetParam();
  if (name != "hfsplus" && name != "hfs_hybrid") {
    EXPECT_FALSE(m.Deleted().empty());
  }
}

INSTANTIATE_TEST_SUITE_P(All, FixtureImages,
                         ::testing::Values("ntfs", "ntfs4k", "fat16", "fat32", "fat16-1fat", "exfat", "hfsplus",
                                           "hfsplus_journal", "hfsx_journal", "hfs_hybrid"),
                         [](const auto& info) {
                           std::string n = info.param;
                           for (auto& c : n)
                             if (c == '-') c = '_';
                           return n;
                         });

TEST(FixtureSha256, KnownVectors) {
  EXPECT_EQ(testutil::Sha256Hex(nullptr, 0), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  std::string abc = "abc";
  EXPECT_EQ(testutil::Sha256Hex(reinterpret_cast<const uint8_t*>(abc.data()), abc.size()),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  std::string two = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
  EXPECT_EQ(testutil::Sha256Hex(reinterpret_cast<const uint8_t*>(two.data()), two.size()),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
}

// NTFS and exFAT keep every deleted name: the oracle must see each deleted file at its path,
// and every live file too.
TEST(FixtureOracle, SleuthKitSeesNtfsAndExfatDeletions) {
  if (!testutil::HaveTool("fls")) GTEST_SKIP() << "fls (sleuthkit) not installed";
  for (const char* name : {"ntfs", "ntfs4k", "exfat"}) {
    FixtureManifest m;
    if (!m.Load(name)) continue;
    auto deleted = FlsPaths(m.ImagePath(), "-d");
    auto all = FlsPaths(m.ImagePath(), "");
    for (const ManifestEntry* e : m.Files()) {
      // fls cuts names longer than its own buffer: those are left to the engine's tests.
      if (e->path.size() > 200) continue;
      if (e->deleted) {
        EXPECT_TRUE(deleted.count(e->path)) << name << ": deleted " << e->path;
      } else {
        EXPECT_TRUE(all.count(e->path)) << name << ": live " << e->path;
      }
    }
  }
}

// The NTFS bulk must exceed 2,000 records with folders younger than their files.
TEST(FixtureOracle, NtfsFoldersYoungerThanTheirFiles) {
  if (!testutil::HaveTool("fls")) GTEST_SKIP() << "fls (sleuthkit) not installed";
  FixtureManifest m;
  if (!m.Load("ntfs")) GTEST_SKIP() << "ntfs was not built";
  std::string dir = FlsInode(m.ImagePath(), "", "many/d05");
  std::string file = FlsInode(m.ImagePath(), "", "many/d05/f5.txt");
  ASSERT_FALSE(dir.empty());
  ASSERT_FALSE(file.empty());
  EXPECT_GT(std::stoll(dir), std::stoll(file));
  EXPECT_GT(std::stoll(dir), 2000);
}

// FAT: long names of deleted files survive; the FAT32 deleted folder lies above cluster
// 65535; the FAT16 fragmented file really is fragmented (the contiguous guess is wrong).
TEST(FixtureOracle, SleuthKitSeesFatDeletions) {
  if (!testutil::HaveTool("fls")) GTEST_SKIP() << "fls (sleuthkit) not installed";
  FixtureManifest fat16, fat32;
  if (!fat16.Load("fat16") || !fat32.Load("fat32")) GTEST_SKIP() << "fat images were not built";
  for (FixtureManifest* m : {&fat16, &fat32}) {
    auto deleted = FlsPaths(m->ImagePath(), "-d");
    EXPECT_TRUE(deleted.count("/docs/a very long file name that needs many entries.txt"));
    EXPECT_TRUE(deleted.count("/many/Document number 17 with a long name.txt"));
    auto all = FlsPaths(m->ImagePath(), "");
    for (const ManifestEntry* e : m->Files()) {
      if (!e->deleted) {
        EXPECT_TRUE(all.count(e->path)) << "live " << e->path;
      }
    }
  }
  EXPECT_TRUE(FlsPaths(fat32.ImagePath(), "-d").count("/high/deleted folder/inside two.bin"));
  std::string istat = RunCommand("istat '" + fat32.ImagePath() + "' " +
                                 FlsInode(fat32.ImagePath(), "-d", "high/deleted folder/inside two.bin"));
  size_t s = istat.find("Sectors:\n");
  ASSERT_NE(s, std::string::npos);
  EXPECT_GT(std::stoll(istat.substr(s + 9)), 65536 + 2048);  // 512-byte clusters

  // d's entry reused b's; its first cluster is in b's hole, and reading on from there
  // contiguously runs into c, so the bytes differ from d's.
  std::string inode = FlsInode(fat16.ImagePath(), "-d", "frag/_.bin");
  ASSERT_FALSE(inode.empty());
  const ManifestEntry* d = fat16.Find("/frag/d.bin");
  ASSERT_NE(d, nullptr);
  EXPECT_TRUE(d->deleted);
  istat = RunCommand("istat '" + fat16.ImagePath() + "' " + inode);
  s = istat.find("Sectors:\n");
  ASSERT_NE(s, std::string::npos);
  int64_t first = std::stoll(istat.substr(s + 9));
  auto image = testutil::ReadFile(fat16.ImagePath());
  ASSERT_LE(uint64_t(first) * 512 + d->size, image.size());
  auto head = fat16.Original("/frag/d.bin");
  ASSERT_EQ(head.size(), d->size);
  const size_t hole = 6 * 2048;
  EXPECT_EQ(0, memcmp(image.data() + first * 512, head.data(), hole)) << "d does not start in b's hole";
  EXPECT_NE(0, memcmp(image.data() + first * 512 + hole, head.data() + hole, 2048)) << "d was written contiguously";
}

TEST(FixtureOracle, SleuthKitReadsHfsPlus) {
  if (!testutil::HaveTool("fls")) GTEST_SKIP() << "fls (sleuthkit) not installed";
  FixtureManifest m;
  if (!m.Load("hfsplus")) GTEST_SKIP() << "hfsplus was not built";
  std::string vol = std::string(KESTRUM_FIXTURE_DIR) + "/hfsplus.img";
  auto bytes = testutil::ReadFile(vol);
  ASSERT_GT(bytes.size(), 1100u);
  EXPECT_EQ(bytes[1024], 'H');
  EXPECT_EQ(bytes[1025], '+');
  // HFS+ keeps names decomposed: compare the count, and the plain-ASCII paths exactly.
  auto all = FlsPaths(vol, "-f hfs");
  size_t files = m.Files().size();
  EXPECT_GE(files, 300u);
  EXPECT_TRUE(all.count("/large/multi block.bin"));
  EXPECT_TRUE(all.count("/a/b/c/d/e/f/g/h/deep.txt"));
  size_t seen = 0;
  for (const auto& p : all)
    if (p.find("$") == std::string::npos && p.find('.') != std::string::npos) ++seen;
  EXPECT_EQ(seen, files);
}

// Every sample starts with its format's signature, so a tool that silently wrote something
// else is caught.
TEST(FixtureSamples, SignaturesMatchTheirTypes) {
  std::string dir = std::string(KESTRUM_FIXTURE_DIR) + "/samples/";
  auto manifest = testutil::ReadFile(dir + "manifest");
  if (manifest.empty()) GTEST_SKIP() << "samples were not built";
  struct Sig {
    const char* ext;
    std::string magic;
    size_t at;
  };
  const Sig sigs[] = {
      {".jpg", "\xFF\xD8\xFF", 0},   {".png", "\x89PNG\r\n\x1A\n", 0}, {".gif", "GIF89a", 0},
      {".tif", std::string("II*\0", 4), 0}, {".bmp", "BM", 0},         {".pdf", "%PDF-", 0},
      {".zip", "PK\x03\x04", 0},    {".mp3", "ID3", 0},               {".mp4", "ftyp", 4},
      {".mov", "ftyp", 4},          {".m4a", "ftyp", 4},              {".3gp", "ftyp", 4},
      {".mpg", std::string("\0\0\x01\xBA", 4), 0},
      {".wmv", "\x30\x26\xB2\x75", 0}, {".wma", "\x30\x26\xB2\x75", 0}, {".asf", "\x30\x26\xB2\x75", 0},
      {".doc", "\xD0\xCF\x11\xE0", 0}, {".xls", "\xD0\xCF\x11\xE0", 0}, {".ppt", "\xD0\xCF\x11\xE0", 0},
      {".docx", "PK\x03\x04", 0},   {".xlsx", "PK\x03\x04", 0},       {".pptx", "PK\x03\x04", 0},
      {".odt", "PK\x03\x04", 0}};
  std::string text(manifest.begin(), manifest.end());
  size_t checked = 0, at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    std::string name = text.substr(at, text.find('\t', at) - at);
    at = end == std::string::npos ? text.size() : end + 1;
    auto bytes = testutil::ReadFile(dir + name);
    ASSERT_FALSE(bytes.empty()) << name;
    for (const Sig& s : sigs) {
      std::string ext(s.ext);
      if (name.size() < ext.size() || name.compare(name.size() - ext.size(), ext.size(), ext) != 0) continue;
      ASSERT_GE(bytes.size(), s.at + s.magic.size());
      EXPECT_EQ(0, memcmp(bytes.data() + s.at, s.magic.data(), s.magic.size())) << name;
      ++checked;
    }
  }
  EXPECT_GE(checked, 10u);
  // The ID3 versions asked for: one 2.3 and one 2.4 tag.
  auto v23 = testutil::ReadFile(dir + "tone-id3v23.mp3");
  auto v24 = testutil::ReadFile(dir + "tone-id3v24.mp3");
  ASSERT_GT(v23.size(), 4u);
  ASSERT_GT(v24.size(), 4u);
  EXPECT_EQ(v23[3], 3);
  EXPECT_EQ(v24[3], 4);
}

}  // namespace
