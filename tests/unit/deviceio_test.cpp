// The device channel against pread on the same image: every byte it delivers must be the
// image's own, at every alignment, sector size and end condition.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <random>

#include "common/inc/ideviceio.h"
#include "deviceapi/windowsdeviceio.h"
#include "eioview.h"
#include "platform/platform.h"
#include "storagedevice/cvolume.h"
#include "testutil.h"

using testutil::ScopedEnv;
using testutil::TempDir;

namespace {

struct ImageCase {
  uint32_t sectorSize;
  size_t imageSize;
};

void CompareRandomReads(const ImageCase& c, uint32_t seed) {
  TempDir dir;
  std::string img = dir.file("disk.img");
  auto bytes = testutil::RandomBytes(c.imageSize, seed);
  testutil::WriteFile(img, bytes);
  uint64_t before = testutil::FileChecksum(img);
  ScopedEnv disks("KESTRUM_DISKS", img);
  ScopedEnv ss("KESTRUM_SECTOR_SIZE", std::to_string(c.sectorSize));

  IDeviceIo* io = CreateDeviceIo();
  ASSERT_NE(io, nullptr);
  ASSERT_EQ(io->Open("/dev/hda", KIO_RDONLY, 0), 0);
  DiskGeometry g{};
  ASSERT_EQ(io->Query(DIQ_GEOMETRY, &g), 0);
  EXPECT_EQ(g.BytesPerSector, c.sectorSize);
  EXPECT_EQ(g.DiskSize, int64_t(c.imageSize));

  std::mt19937 rng(seed);
  std::vector<uint8_t> buf(1 << 20 | 7);
  int64_t logical = 0;
  for (int i = 0; i < 400; ++i) {
    if (rng() % 3 == 0) {
      int64_t target = int64_t(rng() % (c.imageSize + 3000));
      int64_t at = io->Seek(target, 0);
      ASSERT_EQ(at, target);
      logical = target;
    }
    int len = int(rng() % 5 == 0 ? rng() % (1 << 20) : rng() % 5000);
    int got = io->Read(buf.data(), len);
    int64_t expect = std::max<int64_t>(0, std::min<int64_t>(len, int64_t(c.imageSize) - logical));
    ASSERT_EQ(got, expect) << "read " << len << " at " << logical;
    ASSERT_EQ(0, memcmp(buf.data(), bytes.data() + logical, size_t(got))) << "at " << logical;
    logical += got;
    // The logical position after a read is where the next read continues.
    ASSERT_EQ(io->Seek(0, 1), logical);
  }
  io->Release();
  EXPECT_EQ(testutil::FileChecksum(img), before);
}

}  // namespace

TEST(DeviceIo, RandomReadsMatchPread) {
  CompareRandomReads({512, 3 * 1024 * 1024 + 300}, 1);
  CompareRandomReads({512, 2 * 1024 * 1024}, 2);
  CompareRandomReads({4096, 3 * 1024 * 1024 + 1000}, 3);
  CompareRandomReads({4096, 1 * 1024 * 1024}, 4);
}

TEST(DeviceIo, SeekAndReadPositions) {
  TempDir dir;
  std::string img = dir.file("d.img");
  auto bytes = testutil::RandomBytes(8192, 9);
  testutil::WriteFile(img, bytes);
  ScopedEnv disks("KESTRUM_DISKS", img);
  IDeviceIo* io = CreateDeviceIo();
  ASSERT_EQ(io->Open("/dev/hda", KIO_RDONLY, 0), 0);
  EXPECT_EQ(io->Seek(1000, 0), 1000);
  uint8_t b[1024];
  EXPECT_EQ(io->Read(b, 24), 24);
  EXPECT_EQ(0, memcmp(b, bytes.data() + 1000, 24));
  EXPECT_EQ(io->Seek(0, 0), 0);
  EXPECT_EQ(io->Read(b, 1000), 1000);
  EXPECT_EQ(io->Seek(0, 1), 1000);
  EXPECT_EQ(io->Read(b, 0), 0);
  // Origin 2 honours the in-sector offset; a seek before the start fails and moves nothing.
  EXPECT_EQ(io->Seek(-10, 2), 8182);
  EXPECT_EQ(io->Seek(-9000, 1), -1);
  EXPECT_EQ(io->Seek(0, 1), 8182);
  EXPECT_EQ(io->Read(b, 100), 10);
  EXPECT_EQ(0, memcmp(b, bytes.data() + 8182, 10));
  // Sector reads.
  EXPECT_EQ(io->ReadSectors(3, b, 2, 512), 2);
  EXPECT_EQ(0, memcmp(b, bytes.data() + 1536, 1024));
  io->Release();
}

// A read whose sectors fail is a failure, even when the sector holding its first bytes read
// well: a short count would pass the head's few bytes off as all there was to read there.
// A read that only reaches a bad sector stops short before it, as the disk delivered.
TEST(DeviceIo, FailedSectorsAfterAGoodHeadFailTheRead) {
  TempDir dir;
  std::string img = dir.file("d.img");
  auto bytes = testutil::RandomBytes(8192, 21);
  testutil::WriteFile(img, bytes);
  testutil::EioView view(img, {{1, 2}});
  if (view.path().empty()) GTEST_SKIP() << view.why();
  IDeviceIo* io = CreateDeviceIo();
  ASSERT_EQ(io->Open(view.path().c_str(), KIO_RDONLY, 0), 0);
  std::vector<uint8_t> b(4096);
  // Head in sector 0, whole sectors from the bad sector 1 on.
  ASSERT_EQ(io->Seek(100, 0), 100);
  EXPECT_EQ(io->Read(b.data(), 2000), -1);
  EXPECT_EQ(io->Seek(0, 1), 100);
  // A head in a bad sector fails; past the bad sectors every byte is there.
  ASSERT_EQ(io->Seek(1500, 0), 1500);
  EXPECT_EQ(io->Read(b.data(), 100), -1);
  ASSERT_EQ(io->Seek(2024, 0), 2024);
  ASSERT_EQ(io->Read(b.data(), 2000), 2000);
  EXPECT_EQ(0, memcmp(b.data(), bytes.data() + 2024, 2000));
  // Whole sectors that reach the bad one deliver those before it; a tail in it is cut off.
  ASSERT_EQ(io->Seek(0, 0), 0);
  EXPECT_EQ(io->Read(b.data(), 2048), 512);
  EXPECT_EQ(0, memcmp(b.data(), bytes.data(), 512));
  ASSERT_EQ(io->Seek(0, 0), 0);
  EXPECT_EQ(io->Read(b.data(), 600), 512);
  io->Release();
}

TEST(DeviceIo, WritesAreWholeSectorsOnly) {
  TempDir dir;
  std::string img = dir.file("w.img");
  testutil::WriteFile(img, std::vector<uint8_t>(4096, 0));
  IDeviceIo* io = CreateDeviceIo();
  ASSERT_EQ(io->Open(img.c_str(), KIO_RDWR, 0), 0);
  std::vector<uint8_t> s(512, 0xAB);
  EXPECT_EQ(io->Seek(100, 0), 100);
  EXPECT_EQ(io->Write(s.data(), 512), -1);
  EXPECT_EQ(io->WriteSectors(2, s.data(), 1, 512), 1);
  io->Release();
  auto after = testutil::ReadFile(img);
  EXPECT_EQ(after[1024], 0xAB);
  EXPECT_EQ(after[1023], 0);
  EXPECT_EQ(after[1536], 0);
}

TEST(DeviceIo, PathTranslation) {
  using T = CWindowsDeviceIo::Translation;
  T t = CWindowsDeviceIo::ParseEnginePath("/dev/hdc");
  EXPECT_EQ(t.fields, 1);
  EXPECT_EQ(t.disk, 2);
  t = CWindowsDeviceIo::ParseEnginePath("/dev/hda1-1048576");
  EXPECT_EQ(t.fields, 3);
  t = CWindowsDeviceIo::ParseEnginePath("/dev/hda1");
  EXPECT_EQ(t.fields, 2);
  t = CWindowsDeviceIo::ParseEnginePath("/dev/hdb4294967295-8589934592000-1048576");
  EXPECT_EQ(t.fields, 4);
  EXPECT_EQ(t.disk, 1);
  EXPECT_EQ(t.partition, 4294967295u);
  EXPECT_EQ(t.start, 8589934592000LL);
  EXPECT_EQ(t.length, 1048576);
  EXPECT_EQ(CWindowsDeviceIo::ParseEnginePath("/tmp/x.img").fields, 0);
  EXPECT_EQ(CWindowsDeviceIo::LetterOfPath("\\\\.\\e:"), 'E');
  EXPECT_EQ(CWindowsDeviceIo::LetterOfPath("\\\\.\\e:x"), 0);

  TempDir dir;
  std::string img = dir.file("p.img");
  auto bytes = testutil::RandomBytes(6 * 1024 * 1024, 5);
  testutil::WriteFile(img, bytes);
  std::string other = dir.file("vol.img");
  testutil::WriteFile(other, std::vector<uint8_t>(4096, 0x5A));
  ScopedEnv disks("KESTRUM_DISKS", dir.file("none.img") + ":" + img);
  ScopedEnv vols("KESTRUM_VOLUMES", "E=" + other);
  IDeviceIo* io = CreateDeviceIo();
  // Entry 0 does not exist; the disk path never opens "/dev/hda" itself.
  EXPECT_EQ(io->Open("/dev/hda", KIO_RDONLY, 0), -1);
  EXPECT_EQ(io->Open("", KIO_RDONLY, 0), -1);
  EXPECT_EQ(io->Open("/dev/hdb1-1048576", KIO_RDONLY, 0), -1);
  // A partition of an image is a window onto it.
  ASSERT_EQ(io->Open("/dev/hdb1-1048576-2097152", KIO_RDONLY, 0), 0);
  uint8_t b[600];
  EXPECT_EQ(io->Read(b, 600), 600);
  EXPECT_EQ(0, memcmp(b, bytes.data() + 1048576, 600));
  EXPECT_EQ(io->Seek(-100, 2), 2097152 - 100);
  EXPECT_EQ(io->Read(b, 600), 100);
  EXPECT_EQ(0, memcmp(b, bytes.data() + 1048576 + 2097152 - 100, 100));
  ASSERT_EQ(io->Open("\\\\.\\E:", KIO_RDONLY, 0), 0);
  EXPECT_EQ(io->Read(b, 10), 10);
  EXPECT_EQ(b[0], 0x5A);
  char path[260];
  EXPECT_EQ(io->Query(DIQ_PATH, path), 0);
  EXPECT_EQ(std::string(path), other);
  EXPECT_EQ(io->Open("\\\\.\\F:", KIO_RDONLY, 0), -1);
  io->Release();
}

TEST(DeviceIo, MbrLayoutWalkStopsOnCycles) {
  TempDir dir;
  std::string img = dir.file("m.img");
  std::vector<uint8_t> d(1024 * 1024, 0);
  auto entry = [&](size_t sector, int i, uint8_t type, uint32_t start, uint32_t count) {
    uint8_t* e = &d[sector * 512 + 446 + 16 * size_t(i)];
    e[4] = type;
    memcpy(e + 8, &start, 4);
    memcpy(e + 12, &count, 4);
    d[sector * 512 + 510] = 0x55;
    d[sector * 512 + 511] = 0xAA;
  };
  entry(0, 0, 0x07, 63, 100);
  entry(0, 1, 0x05, 200, 1000);
  entry(200, 0, 0x0B, 10, 50);
  entry(200, 1, 0x05, 0, 100);  // links back to itself
  testutil::WriteFile(img, d);
  IDeviceIo* io = CreateDeviceIo();
  ASSERT_EQ(io->Open(img.c_str(), KIO_RDONLY, 0), 0);
  std::vector<LayoutEntry> layout;
  ASSERT_EQ(io->Query(DIQ_LAYOUT, &layout), 0);
  ASSERT_EQ(layout.size(), 2u);
  EXPECT_EQ(layout[0].startByte, 63 * 512);
  EXPECT_EQ(layout[1].startByte, 210 * 512);
  EXPECT_EQ(layout[1].type, 0x0B);
  EXPECT_EQ(layout[1].number, 2u);
  // A protective MBR leaves the table to the disk's own GPT reader.
  entry(0, 0, 0xEE, 1, 2047);
  testutil::WriteFile(img, d);
  ASSERT_EQ(io->Open(img.c_str(), KIO_RDONLY, 0), 0);
  EXPECT_EQ(io->Query(DIQ_LAYOUT, &layout), -1);
  io->Release();
}

// A read-only loop device with 4096-byte logical sectors: the channel takes the sector size
// from the device, reports the write protection, reads across the device end only up to
// it, and never changes the backing file. Skipped where loop devices cannot be attached.
TEST(DeviceIo, ReadOnlyLoopDeviceWith4096ByteSectors) {
  TempDir dir;
  std::string img = dir.file("loop.img");
  const size_t size = 4 * 1024 * 1024;
  auto bytes = testutil::RandomBytes(size, 77);
  testutil::WriteFile(img, bytes);
  uint64_t before = testutil::FileChecksum(img);
  std::string cmd = "losetup -f --show -r --sector-size 4096 '" + img + "' 2>/dev/null";
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) GTEST_SKIP() << "no losetup";
  char line[128] = {0};
  bool got = fgets(line, sizeof line, p) != nullptr;
  pclose(p);
  std::string loop = got ? std::string(line) : "";
  while (!loop.empty() && (loop.back() == '\n' || loop.back() == ' ')) loop.pop_back();
  if (loop.compare(0, 9, "/dev/loop") != 0) GTEST_SKIP() << "loop devices not available";
  struct Detach {
    std::string dev;
    ~Detach() { (void)!system(("losetup -d " + dev).c_str()); }
  } detach{loop};

  ScopedEnv disks("KESTRUM_DISKS", loop);
  IDeviceIo* io = CreateDeviceIo();
  ASSERT_NE(io, nullptr);
  // The read-write first try may succeed on a read-only device; the protection says so and
  // no write gets through.
  if (io->Open("/dev/hda", KIO_RDWR, 0) == 0) {
    EXPECT_TRUE(io->IsWriteProtected());
    std::vector<uint8_t> zero(4096);
    EXPECT_EQ(io->WriteSectors(0, zero.data(), 1, 4096), -1);
  }
  ASSERT_EQ(io->Open("/dev/hda", KIO_RDONLY, 0), 0);
  EXPECT_TRUE(io->IsWriteProtected());
  DiskGeometry g;
  ASSERT_EQ(io->Query(DIQ_GEOMETRY, &g), 0);
  EXPECT_EQ(g.BytesPerSector, 4096u);
  EXPECT_EQ(g.DiskSize, int64_t(size));
  std::vector<uint8_t> buf(3 * 4096 + 100);
  // Unaligned, straddling the end: only the bytes up to the end arrive.
  ASSERT_EQ(io->Seek(int64_t(size) - 5000, 0), int64_t(size) - 5000);
  ASSERT_EQ(io->Read(buf.data(), int(buf.size())), 5000);
  EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + 5000, bytes.end() - 5000));
  EXPECT_EQ(io->Seek(0, 1), int64_t(size));
  EXPECT_EQ(io->Read(buf.data(), 10), 0);
  // Far past the end, and at the last representable positions: nothing, no fault.
  EXPECT_EQ(io->Seek(INT64_MAX - 10, 0), INT64_MAX - 10);
  EXPECT_EQ(io->Read(buf.data(), int(buf.size())), 0);
  EXPECT_EQ(io->ReadSectors(INT64_MAX / 4096, buf.data(), 1, 4096), 0);
  EXPECT_EQ(io->ReadSectors(int64_t(size / 4096) - 1, buf.data(), 3, 4096), 1);
  EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + 4096, bytes.end() - 4096));
  EXPECT_EQ(io->WriteSectors(0, buf.data(), 1, 4096), -1);
  io->Release();
  EXPECT_EQ(before, testutil::FileChecksum(img));
}

// A relative or end-based seek whose target passes the 64-bit limit is refused and leaves
// the position alone; before the fix the sum overflowed (undefined behaviour) and could
// land on any position.
TEST(DeviceIo, ChannelSeekNeverWrapsPastTheLimit) {
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

// Device paths as people have them: an image path may hold a ':' and an '=', and a text
// after the disk letter that is no partition spec must not open the disk.
TEST(DeviceIo, VolumeListAndEnginePathsParseWhole) {
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
TEST(DeviceIo, OpenOfFifoIsRefusedWithoutWaiting) {
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
