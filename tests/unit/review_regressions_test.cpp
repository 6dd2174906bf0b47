// Regressions found in review: each case failed (or ran into undefined behaviour) before
// the fix it names in its comment.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <ctime>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <fstream>
#include <sstream>
#include <string>

#include "common/inc/ideviceio.h"
#include "common/inc/kestrum_types.h"
#include "common/inc/seams.h"
#include "deviceapi/windowsdeviceio.h"
#include "filemanager/formerplace.h"
#include "filemanager/timeconv.h"
#include "platform/platform.h"
#include "memarchive.h"
#include "storagedevice/cdisk.h"
#include "storagedevice/cvolume.h"
#include "storagedevice/devenum.h"
#include "testutil.h"

namespace {

using testutil::ScopedEnv;

class Zone {
 public:
  explicit Zone(const char* tz) : m_env(new ScopedEnv("TZ", tz)) { tzset(); }
  ~Zone() {
    m_env.reset();  // the old zone back first, then the C library told
    tzset();
  }

 private:
  std::unique_ptr<ScopedEnv> m_env;
};

void ToFileTime(int64_t unixSeconds, uint32_t* low, uint32_t* high) {
  uint64_t v = uint64_t(unixSeconds + 11644473600LL) * 10000000ull;
  *low = uint32_t(v);
  *high = uint32_t(v >> 32);
}

// The local calendar day of a time value.
std::string LocalDay(int value) {
  std::time_t t = value;
  std::tm tm;
  if (value < 0 || !localtime_r(&t, &tm)) return "invalid";
  char text[48];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
  return text;
}

}  // namespace

// An NTFS time is a UTC instant; the file's day is the day its owner saw on the clock.
// Before the fix the UTC day was taken, one day off for the hours between the two midnights.
TEST(ReviewRegressions, FileTimeGivesTheLocalDayInEveryZone) {
  uint32_t lo, hi;
  {
    Zone z("EST5EDT,M3.2.0,M11.1.0");
    ToFileTime(1719885600, &lo, &hi);  // 2024-07-02 02:00 UTC = 2024-07-01 22:00 EDT
    EXPECT_EQ("2024-07-01", LocalDay(FileTimeToTime(lo, hi)));
    EXPECT_EQ(MakeLocalTime(2024, 7, 1, 0, 0, 0), FileTimeToTime(lo, hi));
    ToFileTime(1704153600, &lo, &hi);  // 2024-01-02 00:00 UTC = 2024-01-01 19:00 EST
    EXPECT_EQ("2024-01-01", LocalDay(FileTimeToTime(lo, hi)));
  }
  {
    Zone z("JST-9");
    ToFileTime(1719846000, &lo, &hi);  // 2024-07-01 15:00 UTC = 2024-07-02 00:00 JST
    EXPECT_EQ("2024-07-02", LocalDay(FileTimeToTime(lo, hi)));
  }
  {
    Zone z("UTC0");
    ToFileTime(1719885600, &lo, &hi);
    EXPECT_EQ("2024-07-02", LocalDay(FileTimeToTime(lo, hi)));
    EXPECT_EQ(-1, FileTimeToTime(0, 0));  // 1601: not a time value
    EXPECT_EQ(-1, FileTimeToTime(0xFFFFFFFF, 0xFFFFFFFF));
  }
}

// A relative or end-based seek whose target passes the 64-bit limit is refused and leaves
// the position alone; before the fix the sum overflowed (undefined behaviour) and could
// land on any position.
TEST(ReviewRegressions, ChannelSeekNeverWrapsPastTheLimit) {
  testutil::TempDir dir;
  std::string img = dir.file("disk.img");
  testutil::WriteFile(img, testutil::RandomBytes(8192, 7));
  IDeviceIo* io = CreateDeviceIo();
  ASSERT_NE(io, nullptr);
  ASSERT_EQ(io->Open(img.c_str(), KIO_RDONLY, 0), 0);
  ASSERT_EQ(io->Seek(1000, 0), 1000);
  EXPECT_EQ(io->Seek(INT64_MAX, 1), -1);
  EXPECT_EQ(io->Seek(INT64_MAX - 10, 2), -1);
  EXPECT_EQ(io->Seek(INT64_MIN, 1), -1);
  EXPECT_EQ(io->Seek(0, 1), 1000);
  EXPECT_EQ(io->Seek(-8192, 2), 0);
  io->Close();
  io->Release();
}

// A partition record read from a saved result is untrusted: a length whose byte size does
// not fit 64 bits is refused before any offset is computed from it.
TEST(ReviewRegressions, LoadedPartitionWithOverflowingLengthIsRefused) {
  testutil::TempDir dir;
  std::string img = dir.file("disk.img");
  testutil::WriteFile(img, std::vector<uint8_t>(1 << 20, 0));
  ScopedEnv disks("KESTRUM_DISKS", img);
  QueryDiskDrives();
  CDisk* disk = new CDisk();
  ASSERT_EQ(disk->OpenByIndex(0), 0);
  uint64_t before = testutil::FileChecksum(img);

  auto archiveOf = [](int64_t start, int64_t count) {
    PartitionInfo info;
    std::memset(&info, 0, sizeof info);
    info.StartSector = start;
    info.SectorCount = count;
    info.PartitionNumber = 1;
    info.PartitionType = PT_UNDETECTED;
    testutil::MemArchive a;
    uint32_t version = 3, size = sizeof(PartitionInfo);
    a.Write(&version, 4);
    a.Write(&size, 4);
    a.Write(&info, sizeof info);
    return a;
  };
  // The last three start at or past the end of the 2048-sector disk, which the tables
  // refuse too.
  const int64_t hostile[][2] = {{0, INT64_MAX / 2}, {INT64_MAX / 4, 16}, {0, -5}, {-1, 16},
                                {2048, 0}, {2049, 0}, {4096, 16}};
  for (const auto& h : hostile) {
    CVolume v(disk);
    testutil::MemArchive a = archiveOf(h[0], h[1]);
    EXPECT_EQ(v.Load(&a), -1) << h[0] << " " << h[1];
  }
  // One that starts on the disk and ends past it (the image was cut shorter since it was
  // saved) is cut back to the disk's end and marked, as the tables do.
  for (const auto& h : {std::make_pair(int64_t(0), int64_t(2049)), std::make_pair(int64_t(2047), int64_t(2))}) {
    CVolume v(disk);
    testutil::MemArchive a = archiveOf(h.first, h.second);
    ASSERT_EQ(v.Load(&a), 0) << h.first;
    PartitionInfo info;
    v.GetPartitionInfo(&info);
    EXPECT_EQ(info.StartSector + info.SectorCount, 2048);
    EXPECT_EQ(info.Flags, PF_CLIPPED);
  }
  {
    CVolume v(disk);
    testutil::MemArchive a = archiveOf(0, 2048);
    EXPECT_EQ(v.Load(&a), 0);
    uint64_t size = 0;
    v.GetSize(&size);
    EXPECT_EQ(size, 2048u * 512u);
  }
  disk->Release();
  EXPECT_EQ(before, testutil::FileChecksum(img));
}

// Folder and file names come from the disk. A crafted ".." must not let the former-place
// lookup, and the erase that deletes what it finds there, reach outside the volume.
TEST(ReviewRegressions, FormerPlaceRefusesDotComponents) {
  EXPECT_TRUE(TreePathStaysInside(u"/Volume/docs/a.txt"));
  EXPECT_TRUE(TreePathStaysInside(u"/Volume/..hidden/a..b/...x"));
  EXPECT_FALSE(TreePathStaysInside(u"/Volume/../../etc/passwd"));
  EXPECT_FALSE(TreePathStaysInside(u"/Volume/docs/.."));
  EXPECT_FALSE(TreePathStaysInside(u"/Volume/./a.txt"));
  EXPECT_FALSE(TreePathStaysInside(u"/Volume//..//x"));
  EXPECT_FALSE(TreePathStaysInside(nullptr));
}

// Device paths as people have them: an image path may hold a ':' and an '=', and a text
// after the disk letter that is no partition spec must not open the disk.
TEST(ReviewRegressions, VolumeListAndEnginePathsParseWhole) {
  {
    ScopedEnv volumes("KESTRUM_VOLUMES", "E=/mnt/cam:2024/a=b.img:f=/dev/sdb1:G=/x:");
    std::vector<plat::LetterVolume> v = plat::LetterVolumes();
    ASSERT_EQ(v.size(), 3u);
    EXPECT_EQ(v[0].letter, 'E');
    EXPECT_EQ(v[0].path, "/mnt/cam:2024/a=b.img");
    EXPECT_EQ(v[1].letter, 'F');
    EXPECT_EQ(v[1].path, "/dev/sdb1");
    EXPECT_EQ(v[2].path, "/x:");
  }
  EXPECT_EQ(CWindowsDeviceIo::ParseEnginePath("/dev/hdaX").fields, -1);
  EXPECT_EQ(CWindowsDeviceIo::ParseEnginePath("/dev/hda1-512-512junk").fields, -1);
  EXPECT_EQ(CWindowsDeviceIo::ParseEnginePath("/dev/hda1-512-512").fields, 4);

  testutil::TempDir dir;
  std::string img = dir.file("d.img");
  testutil::WriteFile(img, std::vector<uint8_t>(1 << 20));
  ScopedEnv disks("KESTRUM_DISKS", img);
  IDeviceIo* io = CreateDeviceIo();
  ASSERT_NE(io, nullptr);
  EXPECT_EQ(io->Open("/dev/hda", KIO_RDONLY, 0), 0);
  EXPECT_EQ(io->Open("/dev/hdaX", KIO_RDONLY, 0), -1);
  EXPECT_EQ(io->Open("/dev/hda0-512-512junk", KIO_RDONLY, 0), -1);
  io->Release();
}

// A path that names a FIFO (a letter mapped to the wrong file) used to block the open
// for a writer that never comes; it must be refused at once.
TEST(ReviewRegressions, OpenOfFifoIsRefusedWithoutWaiting) {
  testutil::TempDir dir;
  std::string fifo = dir.file("pipe");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  plat::OpenDevice dev;
  EXPECT_FALSE(plat::Open(fifo, KIO_RDONLY, 0, -1, &dev));
  EXPECT_EQ(dev.fd, -1);
  ScopedEnv volumes("KESTRUM_VOLUMES", "E=" + fifo);
  CVirtualVolume* v = new CVirtualVolume();
  EXPECT_NE(v->OpenByLetter(4), 0);
  v->Release();
}

// The erase refuses a disk with anything mounted on it. The disk holding the root file
// system must count as mounted; a loop device nobody mounted must not.
TEST(ReviewRegressions, MountedDiskIsRecognisedByDeviceNumber) {
  std::ifstream in("/proc/self/mountinfo");
  std::string line, rootDev;
  while (std::getline(in, line)) {
    std::istringstream ls(line);
    std::string id, parent, dev, root, mp;
    ls >> id >> parent >> dev >> root >> mp;
    if (mp == "/" && dev.compare(0, 2, "0:") != 0) rootDev = dev;
  }
  if (rootDev.empty()) GTEST_SKIP() << "root is not on a block device";
  char real[4096];
  if (!realpath(("/sys/dev/block/" + rootDev).c_str(), real)) GTEST_SKIP();
  std::string name = real;
  name = name.substr(name.rfind('/') + 1);
  // Through a node of our own: the mount table's source name need not match it.
  testutil::TempDir dir;
  std::string node = dir.file("alias");
  unsigned maj = 0, min = 0;
  if (sscanf(rootDev.c_str(), "%u:%u", &maj, &min) != 2 ||
      mknod(node.c_str(), S_IFBLK | 0600, makedev(maj, min)) != 0)
    GTEST_SKIP() << "cannot make a device node";
  EXPECT_TRUE(plat::IsMountedOrHasMountedPartition(node)) << name;
  EXPECT_FALSE(plat::IsMountedOrHasMountedPartition(dir.file("none")));
}

// Disk names sort in the kernel's order within a family, and the order is a strict weak
// one: the former character-wise rule ranked nvme0n10 < nvme1n1 < mmcblk10 < nvme0n10,
// which std::sort may answer by running off the array.
TEST(ReviewRegressions, DiskNameOrderIsNaturalAndTransitive) {
  std::vector<std::string> names = {"sdaa", "nvme0n10", "sdb", "mmcblk10", "sda", "loop10", "nvme1n1",
                                    "nvme0n2", "loop2", "sdz", "mmcblk1", "nvme0n1", "vda", "sdab"};
  for (const auto& a : names)
    for (const auto& b : names)
      for (const auto& c : names)
        if (plat::DiskNameLess(a, b) && plat::DiskNameLess(b, c)) {
          EXPECT_TRUE(plat::DiskNameLess(a, c)) << a << " < " << b << " < " << c;
        }
  std::sort(names.begin(), names.end(), plat::DiskNameLess);
  auto before = [&](const char* x, const char* y) {
    return std::find(names.begin(), names.end(), x) < std::find(names.begin(), names.end(), y);
  };
  EXPECT_TRUE(before("sda", "sdb"));
  EXPECT_TRUE(before("sdz", "sdaa"));
  EXPECT_TRUE(before("sdaa", "sdab"));
  EXPECT_TRUE(before("nvme0n2", "nvme0n10"));
  EXPECT_TRUE(before("nvme0n10", "nvme1n1"));
  EXPECT_TRUE(before("loop2", "loop10"));
  EXPECT_TRUE(before("mmcblk1", "mmcblk10"));
  EXPECT_FALSE(plat::DiskNameLess("sda", "sda"));
}
