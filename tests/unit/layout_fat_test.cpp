// The FAT layouts against volumes made by mkfs.fat and filled by mtools (with mtools' minfo
// as the oracle of what mkfs.fat chose itself), and against single patched fields.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <sstream>

#include "common/inc/bytes.h"
#include "common/layout/fat_boot.h"
#include "common/layout/fat_dirent.h"
#include "filesystems/fatentry.h"
#include "fixtures.h"
#include "layoutcheck.h"
#include "testutil.h"

namespace {

using testutil::ReadRange;

// "key: value" (and "key=value") lines of `minfo`.
std::map<std::string, std::string> Minfo(const std::string& img, uint64_t byteOffset) {
  std::map<std::string, std::string> out;
  std::istringstream in(
      testutil::RunCommand("minfo -i '" + img + "@@" + std::to_string(byteOffset) + "' :: 2>/dev/null"));
  for (std::string l; std::getline(in, l);) {
    size_t sep = l.find(": ") != std::string::npos ? l.find(": ") : l.find('=');
    if (sep != std::string::npos) out[l.substr(0, sep)] = l.substr(sep + (l[sep] == '=' ? 1 : 2));
  }
  return out;
}

TEST(LayoutFat, BootSectorsAsMkfsFatWroteThem) {
  const struct {
    const char* image;
    uint64_t at;
    int type;
    uint8_t spc;
    const char* label;
  } cases[] = {{"fat16.img", 0, 16, 4, "KESTRUM16  "},
               {"fat32.img", 0, 32, 1, "KESTRUM32  "},
               {"tables_mbr.img", 20480, 32, 8, "MBRFAT32   "},
               {"tables_mbr.img", 743424, 16, 4, "MBRFAT16   "}};
  for (const auto& c : cases) {
    std::string img = testutil::Fixture(c.image);
    if (img.empty()) GTEST_SKIP() << "fixture missing";
    std::vector<uint8_t> s = ReadRange(img, c.at * 512, 512);
    layout::FatBootSector b;
    ASSERT_TRUE(layout::DecodeFatBootSector(s.data(), s.size(), &b)) << c.image;
    const bool f32 = c.type == 32;
    EXPECT_TRUE(b.signatureValid);
    EXPECT_EQ(b.bytesPerSector, 512u);
    EXPECT_EQ(b.sectorsPerCluster, c.spc) << c.image << " " << c.at;
    EXPECT_EQ(b.numFats, 2u);
    uint64_t clusters = 0;
    ASSERT_TRUE(layout::FatDataClusters(b, &clusters));
    EXPECT_EQ(layout::FatTypeFromClusters(clusters), c.type) << c.image << " " << clusters;
    EXPECT_EQ(std::string(f32 ? b.fat32.volumeLabel : b.fat16.volumeLabel, 11), c.label);
    EXPECT_EQ(std::string(f32 ? b.fat32.fsType : b.fat16.fsType, 8), f32 ? "FAT32   " : "FAT16   ");
    EXPECT_EQ(f32 ? b.fat32.bootSignature : b.fat16.bootSignature, 0x29);
    if (f32) {
      EXPECT_EQ(b.rootEntries + b.fatSize16, 0u);
      EXPECT_EQ(b.fat32.rootCluster, 2u);
      EXPECT_EQ(b.fat32.fsInfoSector, 1u);
      EXPECT_EQ(b.fat32.backupBootSector, 6u);
    }
    if (testutil::HaveTool("minfo")) {
      std::map<std::string, std::string> mi = Minfo(img, c.at * 512);
      ASSERT_TRUE(mi.count("big size")) << c.image;
      auto num = [&](const char* key) { return mi.count(key) ? std::stoull(mi[key]) : UINT64_MAX; };
      EXPECT_EQ(b.TotalSectors(), num(b.totalSectors16 ? "small size" : "big size")) << c.image;
      EXPECT_EQ(b.reservedSectors, num("reserved (boot) sectors"));
      EXPECT_EQ(b.rootEntries, num("max available root directory slots"));
      EXPECT_EQ(b.sectorsPerTrack, num("sectors per track"));
      EXPECT_EQ(b.heads, num("heads"));
      EXPECT_EQ(b.hiddenSectors, num("hidden sectors"));
      EXPECT_EQ(b.FatSize(), num(f32 ? "Big fatlen" : "sectors per fat"));
      char serial[16];
      snprintf(serial, sizeof serial, "%08X", f32 ? b.fat32.volumeId : b.fat16.volumeId);
      EXPECT_EQ(mi["serial number"], serial);
    }
    fat::FatGeometry g;  // the engine's reading agrees
    ASSERT_EQ(fat::ParseFatBoot(s.data(), s.size(), f32 ? fat::kFat32 : fat::kFat16, 0, &g), 0);
    EXPECT_EQ(g.sectorsPerFat, b.FatSize());
    EXPECT_EQ(g.totalSectors, b.TotalSectors());
  }
}

std::u16string Lower(const std::string& s) {
  std::u16string out;
  for (char c : s) out.push_back(char16_t(c >= 'A' && c <= 'Z' ? c + 32 : c));
  return out;
}

TEST(LayoutFat, RootDirectoriesHoldTheManifestNames) {
  for (const char* image : {"fat16", "fat32"}) {
    testutil::FixtureManifest m;
    if (!m.Load(image)) GTEST_SKIP() << "fixture missing";
    std::string img = m.ImagePath();
    std::vector<uint8_t> s = ReadRange(img, 0, 512);
    layout::FatBootSector b;
    ASSERT_TRUE(layout::DecodeFatBootSector(s.data(), s.size(), &b));
    const bool f32 = b.rootEntries == 0;
    const uint64_t fatAt = uint64_t(b.reservedSectors) * 512,
                   rootAt = fatAt + uint64_t(b.numFats) * b.FatSize() * 512;
    const uint64_t dataAt = rootAt + b.rootEntries * 32u, clusterBytes = 512u * b.sectorsPerCluster;
    std::vector<uint8_t> dir = ReadRange(img, rootAt, b.rootEntries * 32u);
    std::set<uint32_t> seen;
    for (uint32_t c = b.fat32.rootCluster; f32 && c >= 2 && c < 0x0FFFFFF8u && seen.insert(c).second;) {
      std::vector<uint8_t> part = ReadRange(img, dataAt + (c - 2) * clusterBytes, size_t(clusterBytes));
      dir.insert(dir.end(), part.begin(), part.end());
      c = kbytes::Le32(ReadRange(img, fatAt + 4u * c, 4).data()) & 0x0FFFFFFFu;
    }
    // Live entries by name: the long name put together from the entries before the short
    // one (each carrying the short name's checksum), else the 8.3 name.
    std::map<std::u16string, layout::FatDirEntry> byName;
    std::u16string longName, label;
    for (size_t off = 0; off + 32 <= dir.size() && dir[off] != 0; off += 32) {
      layout::FatDirEntry e;
      layout::FatLongNameEntry l;
      ASSERT_TRUE(layout::DecodeFatDirEntry(&dir[off], dir.size() - off, &e));
      ASSERT_TRUE(layout::DecodeFatLongNameEntry(&dir[off], dir.size() - off, &l));
      if (e.name[0] == 0xE5) {
        longName.clear();
      } else if (e.attributes == layout::kFatAttrLongName) {
        std::u16string part;
        for (char16_t ch : l.chars)
          if (ch && ch != 0xFFFF) part.push_back(ch);
        longName = part + longName;
        const size_t shortAt = off + 32u * (l.order & 0x1F);
        ASSERT_LE(shortAt + 11, dir.size());
        uint8_t sum = 0;
        for (int i = 0; i < 11; ++i) sum = uint8_t(((sum & 1) << 7) + (sum >> 1) + dir[shortAt + i]);
        EXPECT_EQ(l.checksum, sum) << image << " " << off;
      } else {
        std::string base(reinterpret_cast<char*>(e.name), 8), ext(reinterpret_cast<char*>(e.name) + 8, 3);
        base.erase(base.find_last_not_of(' ') + 1);
        ext.erase(ext.find_last_not_of(' ') + 1);
        if (e.attributes & 0x08)
          label = Lower(base + ext);
        else
          byName[longName.empty() ? Lower(ext.empty() ? base : base + "." + ext)
                                  : Lower(std::string(longName.begin(), longName.end()))] = e;
        longName.clear();
      }
    }
    EXPECT_EQ(label, f32 ? u"kestrum32" : u"kestrum16");
    for (const testutil::ManifestEntry& e : m.Entries()) {
      if (e.deleted || std::count(e.path.begin(), e.path.end(), '/') != 1) continue;
      auto it = byName.find(Lower(e.path.substr(1)));
      ASSERT_NE(it, byName.end()) << image << " " << e.path;
      EXPECT_EQ((it->second.attributes & 0x10) != 0, e.isDir) << e.path;
      EXPECT_EQ(it->second.fileSize, e.isDir ? 0u : e.size) << e.path;
      EXPECT_GE(it->second.FirstCluster(f32), 2u) << e.path;
    }
  }
}

TEST(LayoutFat, ShortBuffersAndPatchedFields) {
  std::vector<uint8_t> s(512, 0);
  kbytes::PutLe16(&s[11], 512);
  s[13] = 4;
  kbytes::PutLe16(&s[14], 4);
  s[16] = 2;
  kbytes::PutLe16(&s[17], 512);
  kbytes::PutLe32(&s[32], 70000);
  kbytes::PutLe16(&s[22], 64);
  testutil::ExpectRefusesShort<layout::FatBootSector>(layout::DecodeFatBootSector, s, 512);
  layout::FatBootSector b;
  ASSERT_TRUE(layout::DecodeFatBootSector(s.data(), s.size(), &b));
  EXPECT_FALSE(b.signatureValid);
  uint64_t clusters = 0;
  ASSERT_TRUE(layout::FatDataClusters(b, &clusters));
  EXPECT_EQ(clusters, (70000u - 4 - 128 - 32) / 4);
  b.totalSectors16 = 1000;  // the 16-bit total wins when it is set
  EXPECT_EQ(b.TotalSectors(), 1000u);
  b.totalSectors16 = 164;  // metadata filling the volume
  EXPECT_FALSE(layout::FatDataClusters(b, &clusters));
  b.totalSectors16 = 0;
  b.sectorsPerCluster = 0;
  EXPECT_FALSE(layout::FatDataClusters(b, &clusters));
  // 255 FATs of 65535 sectors on a 2^32 - 1 sector volume stay exact in 64 bits.
  b.sectorsPerCluster = 4;
  b.numFats = 255;
  b.fatSize16 = 0xFFFF;
  b.totalSectors32 = 0xFFFFFFFFu;
  ASSERT_TRUE(layout::FatDataClusters(b, &clusters));
  EXPECT_EQ(clusters, (0xFFFFFFFFull - 4 - 255ull * 0xFFFF - 32) / 4);
  const std::pair<uint64_t, int> kinds[] = {{4084, 12}, {4085, 16}, {65524, 16}, {65525, 32}};
  for (const auto& k : kinds) EXPECT_EQ(layout::FatTypeFromClusters(k.first), k.second) << k.first;

  std::vector<uint8_t> e(32, 0);
  kbytes::PutLe16(&e[20], 0xF123);
  kbytes::PutLe16(&e[26], 0x4567);
  kbytes::PutLe32(&e[28], 0xFFFFFFFFu);
  testutil::ExpectRefusesShort<layout::FatDirEntry>(layout::DecodeFatDirEntry, e, 32);
  layout::FatDirEntry d;
  ASSERT_TRUE(layout::DecodeFatDirEntry(e.data(), e.size(), &d));
  EXPECT_EQ(d.FirstCluster(true), 0x01234567u);  // the top four bits are not the cluster's
  EXPECT_EQ(d.FirstCluster(false), 0x4567u);
  EXPECT_EQ(d.fileSize, 0xFFFFFFFFu);
  // The thirteen characters of a long-name entry in their three runs.
  const size_t at[] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
  for (int i = 0; i < 13; ++i) kbytes::PutLe16(&e[at[i]], uint16_t('a' + i));
  e[13] = 0x5A;
  testutil::ExpectRefusesShort<layout::FatLongNameEntry>(layout::DecodeFatLongNameEntry, e, 32);
  layout::FatLongNameEntry ln;
  ASSERT_TRUE(layout::DecodeFatLongNameEntry(e.data(), e.size(), &ln));
  EXPECT_EQ(std::u16string(ln.chars, 13), u"abcdefghijklm");
  EXPECT_EQ(ln.checksum, 0x5A);
}

TEST(LayoutFat, DotNamesOfAFolderMkfsFatAndMtoolsWrote) {
  testutil::FixtureManifest m;
  if (!m.Load("fat16")) GTEST_SKIP() << "fixture missing";
  std::string img = m.ImagePath();
  std::vector<uint8_t> s = ReadRange(img, 0, 512);
  layout::FatBootSector b;
  ASSERT_TRUE(layout::DecodeFatBootSector(s.data(), s.size(), &b));
  const uint64_t rootAt = (uint64_t(b.reservedSectors) + uint64_t(b.numFats) * b.FatSize()) * 512;
  const uint64_t dataAt = rootAt + b.rootEntries * 32u, clusterBytes = 512u * b.sectorsPerCluster;
  std::vector<uint8_t> root = ReadRange(img, rootAt, b.rootEntries * 32u);
  // The first live folder of the root: its first cluster opens with "." and "..".
  uint32_t folder = 0;
  for (size_t off = 0; off + 32 <= root.size() && root[off] && !folder; off += 32) {
    layout::FatDirEntry e;
    ASSERT_TRUE(layout::DecodeFatDirEntry(&root[off], root.size() - off, &e));
    if (e.name[0] != 0xE5 && e.attributes == 0x10) folder = e.FirstCluster(false);
  }
  ASSERT_GE(folder, 2u);
  std::vector<uint8_t> c = ReadRange(img, dataAt + (folder - 2) * clusterBytes, 96);
  ASSERT_EQ(c.size(), 96u);
  EXPECT_EQ(layout::FatDotName(&c[0]), 1);
  EXPECT_EQ(layout::FatDotName(&c[32]), 2);
  EXPECT_EQ(layout::FatDotName(&c[64]), 0);  // the folder's first own entry
  EXPECT_EQ(layout::FatDotName(nullptr), 0);
  // One byte off in the name, each way.
  for (size_t at : {1, 7, 8, 10}) {
    std::vector<uint8_t> p = c;
    p[at] = 'X';
    EXPECT_EQ(layout::FatDotName(&p[0]), 0) << at;
  }
  std::vector<uint8_t> p = c;
  p[33] = ' ';  // ".." cut to "."
  EXPECT_EQ(layout::FatDotName(&p[32]), 1);
  p[32] = 0xE5;
  EXPECT_EQ(layout::FatDotName(&p[32]), 0);
}

}  // namespace
