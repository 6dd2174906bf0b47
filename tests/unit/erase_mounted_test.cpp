// A partition of a real disk whose volume is mounted: the erase must refuse it, the file
// that is still there must be recognised at its former place, and once the volume is
// unmounted the erase runs and answers 0. The disk is an image with a partition table,
// listed once as the image file and once as its loop device.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "common/inc/kestrum_types.h"
#include "filemanager/fileinfo.h"
#include "filemanager/fileop.h"
#include "filemanager/formerplace.h"
#include "graphfs/graphfs.h"
#include "platform/fileplace.h"
#include "platform/platform.h"
#include "rawrecovery/devicebitmap.h"
#include "storagedevice/cdisk.h"
#include "storagedevice/cstoragedevice.h"
#include "storagedevice/cvolume.h"
#include "storagedevice/devenum.h"
#include "testutil.h"

namespace {

const int64_t kPartStart = 2048;  // sectors
const int64_t kPartSectors = 12288;
const int kBlock = 4096;

// A found file with the tree path a results tree gives it.
class PlacedFile : public CFileInfo {
 public:
  explicit PlacedFile(std::u16string path) : m_path(std::move(path)) {}
  int GetFullPath(char16_t* buf, uint32_t* len) override {
    if (!buf || !len || *len <= m_path.size()) return -1;
    std::copy(m_path.begin(), m_path.end(), buf);
    buf[m_path.size()] = 0;
    *len = uint32_t(m_path.size());
    return 0;
  }

 private:
  std::u16string m_path;
};

bool Shell(const std::string& cmd) { return system((cmd + " >/dev/null 2>&1").c_str()) == 0; }

bool Tool(const char* name) { return Shell(std::string("command -v ") + name); }

// The image: an MBR with one Linux partition at 1 MiB holding an ext2 volume.
bool MakeImage(const std::string& img) {
  if (!Tool("sfdisk") || !Tool("mkfs.ext2")) return false;
  if (!Shell("truncate -s 8M '" + img + "'")) return false;
  return Shell("printf 'start=2048, size=12288, type=83\\n' | sfdisk -q '" + img + "'") &&
         Shell("mkfs.ext2 -q -F -b 4096 -E offset=" + std::to_string(kPartStart * 512) + " '" + img + "' " +
             std::to_string(kPartSectors * 512 / kBlock));
}

// The runs (partition sectors) of content that the file system wrote somewhere in the
// partition, found block by block; empty when some block is not in the image.
RunList* FindRuns(const std::vector<uint8_t>& image, const std::vector<uint8_t>& content) {
  RunList* head = nullptr;
  const size_t part = size_t(kPartStart) * 512;
  for (size_t off = 0; off < content.size(); off += kBlock) {
    auto at = std::search(image.begin() + long(part), image.end(), content.begin() + long(off),
                          content.begin() + long(off + kBlock));
    if (at == image.end()) {
      delete head;
      return nullptr;
    }
    uint64_t sector = uint64_t(at - image.begin() - long(part)) / 512;
    if (!head)
      head = new RunList(sector, kBlock / 512);
    else
      head->Append(sector, kBlock / 512);
  }
  return head;
}

bool Zero(const std::vector<uint8_t>& v, size_t from, size_t n) {
  return std::all_of(v.begin() + long(from), v.begin() + long(from + n), [](uint8_t b) { return b == 0; });
}

// Takes the first listed partition of disk 0 and reads it through a storage facade.
struct Partition {
  CDisk* disk = nullptr;
  CVolume* volume = nullptr;
  CStorageDevice* device = nullptr;
  bool Open() {
    QueryDiskDrives();
    disk = new CDisk();
    if (disk->OpenByIndex(0) != 0) return false;
    for (CVolume* v : disk->GetVolumes()) {
      PartitionInfo info;
      if (v->GetPartitionInfo(&info) == 0 && info.PartitionNumber == 1) volume = v;
    }
    if (!volume) return false;
    device = new CStorageDevice();
    return device->Attach(volume) == 0;
  }
  ~Partition() {
    if (device) device->Release();
    if (disk) disk->Release();
  }
};

int g_mergeSeen = -1;
bool RememberMerge(void*, void*, int exists) {
  g_mergeSeen = exists;
  return false;
}

// The merge flag the graph gives a second copy of folder/name: 1 when the file is present.
int MergeFlagFor(IDevice* volume, const char16_t* name) {
  GFS::CGraphFileSystem g;
  g.SetDevice(volume);
  g.SetRootNode(5, -1, u"Volume", nullptr, u"Lost Location");
  static int payload[2];
  g.AddNode(30, 5, u"docs", nullptr, nullptr);
  g.AddNamedNode(100, 30, name, &payload[0], RememberMerge);
  g_mergeSeen = -1;
  g.AddNamedNode(100, 30, name, &payload[1], RememberMerge);
  return g_mergeSeen;
}

class EraseOnMountedPartition : public ::testing::TestWithParam<bool> {};

}  // namespace

// The parameter: the disk is listed as its loop device (true) or as the image file (false).
TEST_P(EraseOnMountedPartition, RefusedWhileMountedDoneAfter) {
  if (geteuid() != 0) GTEST_SKIP() << "loop devices and mounts need root";
  testutil::TempDir dir;
  const std::string img = dir.file("disk.img"), mnt = dir.file("mnt");
  if (!MakeImage(img)) GTEST_SKIP() << "sfdisk or mkfs.ext2 is not usable here";
  mkdir(mnt.c_str(), 0700);
  testutil::LoopDevice loop(img, false, true);
  if (loop.path().empty()) GTEST_SKIP() << "no loop device can be attached here";
  if (access((loop.path() + "p1").c_str(), F_OK) != 0) GTEST_SKIP() << "no partition node for the loop device";
  testutil::Mount mount(loop.path() + "p1", mnt);
  if (!mount.mounted()) GTEST_SKIP() << "the partition cannot be mounted here";

  const std::vector<uint8_t> content = testutil::RandomBytes(3 * kBlock, 28);
  ASSERT_EQ(0, mkdir((mnt + "/docs").c_str(), 0700));
  testutil::WriteFile(mnt + "/docs/a.txt", content);
  ASSERT_TRUE(Shell("sync"));
  std::vector<uint8_t> before = testutil::ReadFile(img);
  PlacedFile file(u"/Volume/docs/a.txt");
  file.SetSize(int64_t(content.size()));
  RunList* runs = FindRuns(before, content);
  ASSERT_NE(runs, nullptr) << "the file's blocks are not in the image";
  file.SetRunList(runs);

  testutil::ScopedEnv disks("KESTRUM_DISKS", GetParam() ? loop.path() : img);
  Partition part;
  ASSERT_TRUE(part.Open());
  plat::HostDevice host;
  ASSERT_TRUE(DevicePathOf(part.volume, &host));
  if (GetParam()) {
    EXPECT_EQ(host.path, loop.path() + "p1");
  } else {
    EXPECT_EQ(host.path, img);
    EXPECT_EQ(host.base, kPartStart * 512);
  }
  std::string at;
  ASSERT_TRUE(plat::MountPointOf(host, &at));
  EXPECT_EQ(at, mnt);

  CNormalFileOP op;
  ASSERT_EQ(0, op.SetStorageDevice(part.device));
  op.SetFile(&file);
  // Every cluster marked in use: only the former-place test can answer 100.
  DeviceBitmap used;
  ASSERT_EQ(0, used.Init(kPartSectors * 512, 0, kBlock));
  for (int64_t c = 0; c < kPartSectors * 512 / kBlock; ++c) used.BitSet(c, true);
  op.SetBitmap(&used);
  uint32_t pct = 7;
  EXPECT_EQ(0, op.GetValidity(&pct));
  EXPECT_EQ(100u, pct) << "the file is still where it was";
  EXPECT_EQ(1, MergeFlagFor(part.volume, u"a.txt"));
  EXPECT_EQ(0, MergeFlagFor(part.volume, u"gone.txt"));

  DeviceBitmap freeMap;
  ASSERT_EQ(0, freeMap.Init(kPartSectors * 512, 0, kBlock));
  op.SetBitmap(&freeMap);
  EXPECT_EQ(RC_WRITE_PROTECTED, op.Wipe(&file, 1, nullptr));
  ASSERT_TRUE(Shell("sync"));
  EXPECT_EQ(content, testutil::ReadFile(mnt + "/docs/a.txt"));

  ASSERT_TRUE(mount.Unmount());
  std::string none;
  EXPECT_FALSE(plat::MountPointOf(host, &none));
  op.SetBitmap(&used);
  pct = 7;
  EXPECT_EQ(0, op.GetValidity(&pct));
  EXPECT_EQ(0u, pct) << "nothing is mounted: the bitmap decides";
  EXPECT_EQ(0, MergeFlagFor(part.volume, u"a.txt"));

  before = testutil::ReadFile(img);
  op.SetBitmap(&freeMap);
  EXPECT_EQ(0, op.Wipe(&file, 1, nullptr)) << "a finished erase flushes the real device";
  std::vector<uint8_t> after = testutil::ReadFile(img);
  ASSERT_EQ(before.size(), after.size());
  // The file's blocks are zero, and nothing else moved.
  for (RunList* r = runs; r; r = r->m_next) {
    size_t from = size_t((kPartStart + int64_t(r->m_start)) * 512), n = size_t(r->m_count) * 512;
    EXPECT_TRUE(Zero(after, from, n)) << r->m_start;
    std::fill(before.begin() + long(from), before.begin() + long(from + n), 0);
  }
  EXPECT_TRUE(before == after);
}

INSTANTIATE_TEST_SUITE_P(Disk, EraseOnMountedPartition, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& i) { return i.param ? "LoopDevice" : "ImageFile"; });

// A loop device over the partition alone (losetup -o), as a mount -o loop of the image at
// an offset makes: its image file, seen as a disk, has the partition busy at that window.
TEST(ImageLoopWindow, LoopAtThePartitionOffsetCounts) {
  if (geteuid() != 0) GTEST_SKIP() << "loop devices and mounts need root";
  testutil::TempDir dir;
  const std::string img = dir.file("disk.img"), mnt = dir.file("mnt");
  if (!MakeImage(img)) GTEST_SKIP() << "sfdisk or mkfs.ext2 is not usable here";
  mkdir(mnt.c_str(), 0700);
  std::string loop;
  {
    FILE* p = popen(("losetup -f --show -o " + std::to_string(kPartStart * 512) + " '" + img + "' 2>/dev/null").c_str(),
                    "r");
    char line[128] = {0};
    if (p && fgets(line, sizeof line, p)) loop = line;
    if (p) pclose(p);
    while (!loop.empty() && (loop.back() == '\n' || loop.back() == ' ')) loop.pop_back();
  }
  if (loop.compare(0, 9, "/dev/loop") != 0) GTEST_SKIP() << "no loop device can be attached here";
  struct Detach {
    std::string dev;
    ~Detach() { Shell("losetup -d " + dev); }
  } detach{loop};
  testutil::Mount mount(loop, mnt);
  if (!mount.mounted()) GTEST_SKIP() << "the loop device cannot be mounted here";
  testutil::WriteFile(mnt + "/kept.txt", {'k'});

  plat::HostDevice window{img, kPartStart * 512, kPartSectors * 512};
  std::string at;
  ASSERT_TRUE(plat::MountPointOf(window, &at));
  EXPECT_EQ(at, mnt);
  EXPECT_TRUE(plat::IsMountedOrHasMountedPartition(window));
  EXPECT_TRUE(plat::IsMountedOrHasMountedPartition(plat::HostDevice{img, 0, -1}));
  plat::HostDevice elsewhere{img, 4096 * 512, -1};
  EXPECT_FALSE(plat::MountPointOf(elsewhere, &at));
  // A second loop device of the same image, nothing mounted on it: the bytes are busy.
  testutil::LoopDevice other(img, false);
  if (!other.path().empty()) {
    EXPECT_TRUE(plat::IsMountedOrHasMountedPartition(other.path()));
  }

  ASSERT_TRUE(mount.Unmount());
  EXPECT_FALSE(plat::IsMountedOrHasMountedPartition(window));
  if (!other.path().empty()) {
    EXPECT_FALSE(plat::IsMountedOrHasMountedPartition(other.path()));
  }
}
