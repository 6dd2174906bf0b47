// A camera card's exFAT volume whose root directory was zeroed, overwritten or cannot be
// read while its boot region stayed sound: the format scan, alone and through the
// dispatcher, keeps the boot's layout and lists every file with its own bytes or with none;
// the deleted-file scan answers that the volume's folders are damaged.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "common/inc/bytes.h"
#include "common/inc/ifileinfo.h"
#include "common/inc/ifilemanager.h"
#include "common/inc/ifileop.h"
#include "common/inc/inotifysink.h"
#include "common/inc/kestrum_types.h"
#include "common/inc/seams.h"
#include "fat_memdevice.h"
#include "filesystems/exfatformat.h"
#include "filesystems/fatentry.h"
#include "fixtures.h"
#include "scanread.h"
#include "testutil.h"

namespace {

std::string U8(const char16_t* s) {
  std::string o;
  for (; s && *s; ++s) {
    char16_t c = *s;
    if (c < 0x80)
      o += char(c);
    else if (c < 0x800)
      o += char(0xC0 | (c >> 6)), o += char(0x80 | (c & 0x3F));
    else
      o += char(0xE0 | (c >> 12)), o += char(0x80 | ((c >> 6) & 0x3F)), o += char(0x80 | (c & 0x3F));
  }
  return o;
}

struct Listed {
  std::string folder;
  IFileInfo* file;
};

// The files as the results tree hands them to the desktop program, by name.
struct Sink : INotifySink {
  std::multimap<std::string, Listed> files;
  int Notify(int event, int64_t a, int64_t, void* obj) override {
    if (event == NE_FOUND_FILE && obj) {
      IFileInfo* f = static_cast<IFileInfo*>(obj);
      if (!(f->GetFlags() & FF_DIRECTORY))
        files.insert({U8(f->GetName()), {U8(reinterpret_cast<const char16_t*>(intptr_t(a))), f}});
    }
    return 0;
  }
};


struct Outcome {
  int rc = -9;
  int exact = 0, noData = 0, wrong = 0, missingLive = 0, missingDeleted = 0, orphaned = 0;
  double seconds = 0;
  bool rootDamaged = false;
};

// One format scan of dev, every file read back through the results tree and held against
// the card's originals.
Outcome FormatScan(FatMemDevice* dev, bool viaDispatcher) {
  Outcome o;
  testutil::FixtureManifest m;
  EXPECT_TRUE(m.Load("exfat-card"));
  IFileManager* fm = CreateFileManager();
  fm->SetStorageDevice(dev);
  IScanOperator* s = nullptr;
  CExfatFormat* direct = nullptr;
  if (viaDispatcher) {
    s = CreateFormatScanner(dev);
    IScanParam* p = nullptr;
    EXPECT_EQ(s->GetScanParam(&p), 0);
    p->SetValue(FS_EXFAT);
  } else {
    s = direct = new CExfatFormat(dev, nullptr);
  }
  s->SetFileManager(fm);
  Sink sink;
  auto t0 = std::chrono::steady_clock::now();
  o.rc = s->Scan(&sink);
  o.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  if (direct) o.rootDamaged = direct->RootDamaged();
  for (const auto* e : m.Files()) {
    std::string name = e->path.substr(e->path.rfind('/') + 1);
    auto range = sink.files.equal_range(name);
    if (range.first == range.second) {
      ++(e->deleted ? o.missingDeleted : o.missingLive);
      continue;
    }
    EXPECT_EQ(std::distance(range.first, range.second), 1) << name << " listed more than once";
    const Listed& l = range.first->second;
    EXPECT_EQ(l.file->GetSize(), e->size) << e->path;
    // The root named the top folders: they are lost, what lies below them is not.
    std::string parent = e->path.substr(0, e->path.rfind('/'));
    std::string below =
        parent.substr(parent.find('/', 1) == std::string::npos ? parent.size() : parent.find('/', 1));
    if (l.folder.find("Lost Location") != std::string::npos) ++o.orphaned;
    EXPECT_EQ(l.folder.compare(l.folder.size() - below.size(), below.size(), below), 0)
        << e->path << " listed under " << l.folder;
    if (l.file->GetFlags() & FF_NODATA) {
      ++o.noData;
      continue;
    }
    if (m.SameAsOriginal(e->path, testutil::ReadAll(fm, l.file, 100003)))
      ++o.exact;
    else {
      ++o.wrong;
      ADD_FAILURE() << "wrong bytes for " << e->path;
    }
  }
  s->Release();
  fm->Release();
  return o;
}

int DeletedScan(IStorageDevice* dev) {
  IScanOperator* s = CreateExfatDelScanner(dev);
  IFileManager* fm = CreateFileManager();
  fm->SetStorageDevice(dev);
  s->SetFileManager(fm);
  Sink sink;
  int rc = s->Scan(&sink);
  s->Release();
  fm->Release();
  return rc;
}

size_t LiveFiles() {
  testutil::FixtureManifest m;
  size_t n = 0;
  if (m.Load("exfat-card"))
    for (const auto* e : m.Files()) n += !e->deleted;
  return n;
}

}  // namespace

// Zeroed and random root clusters: the boot's layout is kept, every file of the card is
// listed (the deleted ones with their bytes where the clusters still hold them), the live
// ones byte for byte, the folders below the lost top folders under their own names.
TEST(ExfatRootless, DamagedRootKeepsTheBootLayoutAndEveryFile) {
  int ran = 0;
  for (const char* image : {"exfat-card-rootzero.img", "exfat-card-rootrand.img"}) {
    std::string path = testutil::Fixture(image);
    if (path.empty()) continue;
    ++ran;
    const uint64_t before = testutil::FileChecksum(path);
    for (bool viaDispatcher : {false, true}) {
      FatMemDevice dev(testutil::ReadFile(path));
      Outcome o = FormatScan(&dev, viaDispatcher);
      std::printf("%s %s: %d exact, %d without data, %d wrong, %d live and %d deleted missing, %.3f s\n",
                  image, viaDispatcher ? "0x100" : "0x1100", o.exact, o.noData, o.wrong, o.missingLive,
                  o.missingDeleted, o.seconds);
      EXPECT_EQ(o.rc, 0) << image;
      if (!viaDispatcher) {
        EXPECT_TRUE(o.rootDamaged) << image;
      }
      EXPECT_EQ(o.wrong, 0) << image;
      EXPECT_EQ(o.missingLive, 0) << image;
      EXPECT_EQ(o.missingDeleted, 0) << image;
      EXPECT_GE(size_t(o.exact), LiveFiles()) << image;
      EXPECT_EQ(o.orphaned, o.exact + o.noData) << image;
      EXPECT_EQ(dev.writes, 0);
    }
    FatMemDevice dev(testutil::ReadFile(path));
    EXPECT_EQ(DeletedScan(&dev), RC_ROOT_DAMAGED) << image;
    EXPECT_EQ(dev.writes, 0);
    EXPECT_EQ(testutil::FileChecksum(path), before) << image;
  }
  if (!ran) GTEST_SKIP() << "fixtures missing";
}

// The same answers when the root cluster cannot be read at all; the intact card is no
// damaged volume; and without its checksum the boot region is not trusted over a lost root.
TEST(ExfatRootless, UnreadableRootIntactRootAndUnsealedBootRegion) {
  std::string path = testutil::Fixture("exfat-card.img");
  if (path.empty()) GTEST_SKIP() << "fixture missing";
  const uint64_t before = testutil::FileChecksum(path);
  const auto img = testutil::ReadFile(path);
  fat::ExfatVolume g;
  ASSERT_EQ(fat::ParseExfatBoot(img.data(), 512, img.size(), &g), 0);
  const uint64_t root = g.ClusterOffset(g.rootCluster);
  {
    FatMemDevice dev(img);
    EXPECT_EQ(DeletedScan(&dev), 0);
    fat::ExfatVolume h;
    EXPECT_EQ(fat::ReadExfatBootOverDamagedRoot(&dev, 0, img.size(), &h), RC_WRONG_FS);
    FatMemDevice again(img);
    Outcome o = FormatScan(&again, false);
    EXPECT_FALSE(o.rootDamaged);
    EXPECT_EQ(o.wrong, 0);
    EXPECT_EQ(o.orphaned, 0);  // the tree is whole
    EXPECT_GE(size_t(o.exact), LiveFiles());
  }
  {
    UnreadableStretch dev(img, root, root + g.clusterBytes);
    EXPECT_EQ(DeletedScan(&dev), RC_ROOT_DAMAGED);
    UnreadableStretch again(img, root, root + g.clusterBytes);
    Outcome o = FormatScan(&again, false);
    std::printf("unreadable root: %d exact, %d without data, %d wrong, %.3f s\n", o.exact, o.noData, o.wrong,
                o.seconds);
    // Every file comes back, but a read failed on the way: the scan must not claim a clean end.
    EXPECT_EQ(o.rc, RC_READ_FAILED);
    EXPECT_TRUE(o.rootDamaged);
    EXPECT_EQ(o.wrong, 0);
    EXPECT_EQ(o.missingLive, 0);
    EXPECT_GE(size_t(o.exact), LiveFiles());
  }
  {
    // A zeroed root under a boot region whose checksum no longer holds (one byte of its
    // boot code changed, in the main and the backup region).
    auto bad = img;
    std::fill(bad.begin() + root, bad.begin() + root + g.clusterBytes, 0);
    bad[300] ^= 0x5A;
    bad[12 * 512 + 300] ^= 0x5A;
    FatMemDevice dev(bad);
    fat::ExfatVolume h;
    EXPECT_EQ(fat::ReadExfatBootOverDamagedRoot(&dev, 0, bad.size(), &h), RC_WRONG_FS);
    EXPECT_NE(DeletedScan(&dev), RC_ROOT_DAMAGED);
    FatMemDevice again(bad);
    Outcome o = FormatScan(&again, false);
    EXPECT_FALSE(o.rootDamaged);
    EXPECT_EQ(o.wrong, 0);
    // Only the main region unsealed: the backup region's layout is taken.
    auto one = img;
    std::fill(one.begin() + root, one.begin() + root + g.clusterBytes, 0);
    one[300] ^= 0x5A;
    FatMemDevice third(one);
    EXPECT_EQ(fat::ReadExfatBootOverDamagedRoot(&third, 0, one.size(), &h, 512), 0);
    EXPECT_EQ(h.rootCluster, g.rootCluster);
    FatMemDevice fourth(one);
    o = FormatScan(&fourth, false);
    EXPECT_TRUE(o.rootDamaged);
    EXPECT_EQ(o.wrong, 0);
    EXPECT_GE(size_t(o.exact), LiveFiles());
  }
  EXPECT_EQ(testutil::FileChecksum(path), before);
}

// The volume's own allocation bitmap is found without the root that names it: it marks
// itself, the root and the up-case table, and equals the bytes the intact root points at.
TEST(ExfatRootless, BitmapFoundWithoutTheRoot) {
  std::string path = testutil::Fixture("exfat-card-rootzero.img");
  std::string intact = testutil::Fixture("exfat-card.img");
  if (path.empty() || intact.empty()) GTEST_SKIP() << "fixtures missing";
  const auto img = testutil::ReadFile(path);
  const auto whole = testutil::ReadFile(intact);
  fat::ExfatVolume g;
  ASSERT_EQ(fat::ParseExfatBoot(img.data(), 512, img.size(), &g), 0);
  // The intact root's bitmap entry: its first cluster at 20, its length at 24.
  const uint8_t* rootDir = whole.data() + g.ClusterOffset(g.rootCluster);
  uint32_t first = 0;
  uint64_t length = 0;
  for (size_t i = 0; i < g.clusterBytes; i += 32)
    if (rootDir[i] == 0x81) {
      first = kbytes::Le32(rootDir + i + 20);
      length = kbytes::Le64(rootDir + i + 24);
      break;
    }
  ASSERT_GE(first, 2u);
  FatMemDevice dev(img);
  std::vector<uint8_t> bm;
  ASSERT_TRUE(fat::FindExfatBitmapWithoutRoot(&dev, 0, g, &bm));
  ASSERT_EQ(bm.size(), length);
  EXPECT_TRUE(std::equal(bm.begin(), bm.end(), img.begin() + g.ClusterOffset(first)));
  // A heap whose first clusters hold no such bitmap gives none.
  auto blank = img;
  std::fill(blank.begin() + g.heapOffset, blank.begin() + g.heapOffset + 80 * g.clusterBytes, 0);
  FatMemDevice none(blank);
  EXPECT_FALSE(fat::FindExfatBitmapWithoutRoot(&none, 0, g, &bm));
  EXPECT_EQ(dev.writes + none.writes, 0);
}
