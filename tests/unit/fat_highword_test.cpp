// The FAT32 high-word restoration that the deleted-file walk and the formatted-volume reader
// share, on the folder and file that mdeltree left above cluster 65535, their high words
// cleared as some systems do on deletion.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/inc/bytes.h"
#include "filesystems/fatentry.h"
#include "filesystems/fatwalk.h"
#include "fixtures.h"
#include "layoutcheck.h"
#include "testutil.h"

using namespace fat;

namespace {

struct Fat32Sample {
  std::string img;
  FatGeometry g;
  std::vector<uint8_t> Cluster(uint32_t c) const { return testutil::ReadRange(img, g.ClusterOffset(c), g.clusterBytes); }
  // The items of the directory that begins at cluster c (its first cluster only).
  std::vector<FatDirItem> Items(uint32_t c) const {
    std::vector<FatDirItem> out;
    std::vector<uint8_t> b = Cluster(c);
    FatDirParser p(kFat32);
    p.Feed(b.data(), b.size(), [&](const FatDirItem& it) {
      out.push_back(it);
      return true;
    });
    return out;
  }
  const FatDirItem* Named(const std::vector<FatDirItem>& items, const std::u16string& name) const {
    for (const auto& it : items)
      if (it.name == name) return &it;
    return nullptr;
  }
  FirstEntryReader Reader() const {
    return [this](uint32_t c, uint8_t* first) {
      std::vector<uint8_t> b = testutil::ReadRange(img, g.ClusterOffset(c), kEntrySize);
      if (b.size() != kEntrySize) return false;
      std::memcpy(first, b.data(), kEntrySize);
      return true;
    };
  }
};

TEST(FatHighWord, DeletedFolderAndFileAboveCluster65535) {
  testutil::FixtureManifest m;
  if (!m.Load("fat32")) GTEST_SKIP() << "fixture missing";
  Fat32Sample s;
  s.img = m.ImagePath();
  std::vector<uint8_t> boot = testutil::ReadRange(s.img, 0, 512);
  ASSERT_EQ(ParseFatBoot(boot.data(), boot.size(), kFat32, 0, &s.g), 0);

  std::vector<FatDirItem> root = s.Items(s.g.rootCluster);
  const FatDirItem* high = s.Named(root, u"high");
  ASSERT_NE(high, nullptr);
  ASSERT_GT(high->firstCluster, 0xFFFFu);  // the filler pushed it up
  std::vector<FatDirItem> inHigh = s.Items(high->firstCluster);
  const FatDirItem* gone = s.Named(inHigh, u"deleted folder");
  ASSERT_NE(gone, nullptr);
  ASSERT_TRUE(gone->deleted);
  ASSERT_GT(gone->firstCluster, 0xFFFFu);

  ItemInfoList h;
  h.Init(s.g.clusterBytes, s.g.maxCluster);
  h.Add(high->firstCluster, 0);

  // The folder: its own "." entry names the whole number.
  const uint32_t folderLow = gone->firstCluster & 0xFFFF;
  uint32_t folder = folderLow;
  ASSERT_TRUE(ProbeDeletedDirHighCluster(h, &folder, kHighWordCandidates, s.Reader()));
  EXPECT_EQ(folder, gone->firstCluster);
  DirClusterShape shape;
  std::vector<uint8_t> fc = s.Cluster(folder);
  ASSERT_TRUE(FatDirClusterShapeOf(s.g, fc.data(), fc.size(), folder, &shape));
  EXPECT_TRUE(shape.dot);
  EXPECT_EQ(shape.parent, high->firstCluster);

  // A file inside it, placed in the predecessor's block: the restored cluster holds its bytes.
  std::vector<FatDirItem> inside = s.Items(folder);
  const FatDirItem* two = s.Named(inside, u"inside two.bin");
  ASSERT_NE(two, nullptr);
  const uint32_t fileLow = two->firstCluster & 0xFFFF;
  ItemInfoList fh = h;
  fh.Add(folder, 0);
  uint32_t file = fileLow;
  ASSERT_TRUE(fh.NextHighWord(&file, nullptr));
  EXPECT_EQ(file, two->firstCluster);
  std::vector<uint8_t> original = m.Original("/high/deleted folder/inside two.bin");
  ASSERT_GE(original.size(), s.g.clusterBytes);
  EXPECT_EQ(s.Cluster(file), std::vector<uint8_t>(original.begin(), original.begin() + s.g.clusterBytes));

  // Through the item as the parser gives it, the entry's stored high word patched: cleared,
  // it is restored; holding a reserved bit alone, it was not lost and the entry's own
  // 28-bit number stands.
  for (uint16_t stored : {uint16_t(0x0000), uint16_t(0x1000)}) {
    std::vector<uint8_t> b = s.Cluster(folder);
    kbytes::PutLe16(&b[two->entryIndex * kEntrySize + 20], stored);
    FatDirItem item;
    FatDirParser p(kFat32);
    p.Feed(b.data(), b.size(), [&](const FatDirItem& it) {
      if (it.entryIndex == two->entryIndex) item = it;
      return true;
    });
    ASSERT_EQ(item.name, u"inside two.bin");
    ASSERT_EQ(item.firstCluster, fileLow);
    EXPECT_EQ(RestoreItemHighWord(&item, fh, nullptr, s.Reader()), stored == 0) << stored;
    EXPECT_EQ(item.firstCluster, stored == 0 ? two->firstCluster : fileLow) << stored;
  }
  // A folder item goes to the "." probe.
  FatDirItem folderItem = *gone;
  folderItem.highWord = 0;
  folderItem.firstCluster = folderLow;
  EXPECT_TRUE(RestoreItemHighWord(&folderItem, h, nullptr, s.Reader()));
  EXPECT_EQ(folderItem.firstCluster, gone->firstCluster);

  // With a FAT at hand the move needs the candidate free or the stored cluster in use.
  uint32_t kept = fileLow;
  auto candUsedOrigFree = [&](uint32_t c, uint32_t* v) {
    *v = c == file ? 0x0FFFFFFF : 0;
    return true;
  };
  EXPECT_FALSE(fh.NextHighWord(&kept, candUsedOrigFree));
  EXPECT_EQ(kept, fileLow);
  auto bothUsed = [](uint32_t, uint32_t* v) {
    *v = 0x0FFFFFFF;
    return true;
  };
  EXPECT_TRUE(fh.NextHighWord(&kept, bothUsed));
  EXPECT_EQ(kept, file);

  // Nothing is guessed without a predecessor, past the last cluster, or for a number that
  // already has a high word.
  ItemInfoList none;
  none.Init(s.g.clusterBytes, s.g.maxCluster);
  uint32_t c = folderLow;
  EXPECT_FALSE(ProbeDeletedDirHighCluster(none, &c, kHighWordCandidates, s.Reader()));
  EXPECT_FALSE(none.NextHighWord(&c, nullptr));
  ItemInfoList small;
  small.Init(s.g.clusterBytes, 0xFFFF);
  small.Add(high->firstCluster, 0);
  EXPECT_FALSE(ProbeDeletedDirHighCluster(small, &c, kHighWordCandidates, s.Reader()));
  EXPECT_FALSE(small.NextHighWord(&c, nullptr));
  EXPECT_EQ(c, folderLow);
  uint32_t wide = folder;
  EXPECT_FALSE(h.NextHighWord(&wide, nullptr));
  // A cluster whose "." names another high word is passed over.
  FirstEntryReader lying = [&](uint32_t at, uint8_t* first) {
    if (!s.Reader()(at, first)) return false;
    if (at == folder) first[20] ^= 0x01;  // the "." entry's high word
    return true;
  };
  c = folderLow;
  EXPECT_FALSE(ProbeDeletedDirHighCluster(h, &c, kHighWordCandidates, lying));
  EXPECT_EQ(c, folderLow);
  // The top four bits of a FAT32 number are reserved: a "." entry that carries one still
  // names its own cluster.
  FirstEntryReader reserved = [&](uint32_t at, uint8_t* first) {
    if (!s.Reader()(at, first)) return false;
    if (at == folder) first[21] |= 0x10;
    return true;
  };
  c = folderLow;
  EXPECT_TRUE(ProbeDeletedDirHighCluster(h, &c, kHighWordCandidates, reserved));
  EXPECT_EQ(c, folder);
}

}  // namespace
