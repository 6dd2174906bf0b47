// The format scan's search for a lost volume's boot record over a whole disk: every kind of
// volume the boot-record checker knows is found where it begins, a stray boot-sector copy
// whose structures do not follow it is passed over, and an unreadable sector ends the search.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/inc/ifileinfo.h"
#include "common/inc/ifilemanager.h"
#include "common/inc/inotifysink.h"
#include "common/inc/kestrum_types.h"
#include "common/inc/seams.h"
#include "filesystems/format/format.h"
#include "memdevice.h"
#include "testutil.h"

namespace {

class CountingFiles : public IFileManager {
 public:
  int added = 0;
  IFileManager* SetStorageDevice(IStorageDevice*) override { return this; }
  IStorageDevice* GetStorageDevice() override { return nullptr; }
  int SetNotifySink(INotifySink*) override { return 0; }
  int AddFile(const char16_t*, IFileInfo* file) override {
    ++added;
    file->Release();
    return 0;
  }
  int GetFileOp(IFileInfo*, IFileOP**) override { return -1; }
  int ListFiles(IFilter*, INotifySink*) override { return -1; }
  int CreateFilter(IFilter**) override { return -1; }
  void Release() override {}
  IDeviceBitmap* GetDeviceBitmap() override { return nullptr; }
};

class QuietSink : public INotifySink {
 public:
  int Notify(int, int64_t, int64_t, void*) override { return 0; }
};

// A bare disk of lead zero sectors, the volume, and tail zero bytes.
std::vector<uint8_t> Disk(const std::vector<uint8_t>& volume, uint64_t leadSectors, int sectorSize = 512,
                          size_t tail = 1 << 20) {
  std::vector<uint8_t> disk(size_t(leadSectors) * size_t(sectorSize) + volume.size() + tail, 0);
  std::memcpy(disk.data() + size_t(leadSectors) * size_t(sectorSize), volume.data(), volume.size());
  return disk;
}

struct Detected {
  int rc = -1;
  int fs = -1;
  uint64_t boot = 0, scanned = 0;
};

Detected DetectOn(std::vector<uint8_t> disk, int sectorSize = 512, int64_t failAfter = -1) {
  testutil::MemDevice dev(std::move(disk), sectorSize, 0);
  dev.SetOwnedByCaller(true);
  dev.SetHasPartitionInfo(false);
  dev.FailAfter(failAfter);
  CFormat f(&dev);
  Detected d;
  d.rc = f.DetectWholeDisk(&d.boot, &d.fs, &d.scanned);
  EXPECT_EQ(dev.bytesWritten(), 0);
  return d;
}

}  // namespace

TEST(FormatWholeDisk, EachKindOfVolumeIsFoundWhereItBegins) {
  struct Case {
    const char* image;
    int fs;
  } cases[] = {{"lost_fat16.img", FS_FAT16}, {"lost_fat32.img", FS_FAT32}, {"lost_exfat.img", FS_EXFAT},
               {"lost_ntfs.img", FS_NTFS},   {"hfsplus.img", FS_HFSP}};
  int ran = 0;
  for (const Case& c : cases) {
    std::string path = testutil::Fixture(c.image);
    if (path.empty()) continue;
    ++ran;
    // An odd start, so that no rounding to a track or a cluster can hide a wrong base.
    Detected d = DetectOn(Disk(testutil::ReadFile(path), 777));
    EXPECT_EQ(d.rc, 0) << c.image;
    EXPECT_EQ(d.fs, c.fs) << c.image;
    EXPECT_EQ(d.boot, 777u) << c.image;
    EXPECT_EQ(d.scanned, 4096u) << c.image;
  }
  if (!ran) GTEST_SKIP() << "no volume fixtures";
}

TEST(FormatWholeDisk, HfsPlusBaseOnLargeSectorsAndThroughTheScan) {
  std::string path = testutil::Fixture("hfsplus.img");
  if (path.empty()) GTEST_SKIP() << "no HFS+ fixture";
  std::vector<uint8_t> volume = testutil::ReadFile(path);
  // On 4096-byte sectors the header lies inside the volume's first sector.
  volume.resize((volume.size() + 4095) / 4096 * 4096, 0);
  Detected d = DetectOn(Disk(volume, 9, 4096), 4096);
  EXPECT_EQ(d.rc, 0);
  EXPECT_EQ(d.fs, FS_HFSP);
  EXPECT_EQ(d.boot, 9u);

  // The whole scan hands the HFS+ reader the volume's start; until that reader is built in,
  // the scan answers 12 and never success.
  testutil::MemDevice dev(Disk(volume, 2051), 512, 0);
  dev.SetOwnedByCaller(true);
  dev.SetHasPartitionInfo(false);
  CountingFiles files;
  QuietSink sink;
  CFormat f(&dev);
  f.SetFileManager(&files);
  int rc = f.Scan(&sink);
  EXPECT_EQ(f.FormatParam()->fileSystem, FS_HFSP);
  EXPECT_EQ(f.FormatParam()->bootSector, 2051u);
  EXPECT_EQ(f.FormatParam()->scannedSectors, 4096u);
  IScanOperator* reader = CreateHfspFormatScanner(&dev);
  if (!reader)
    EXPECT_EQ(rc, RC_NO_MEMORY);
  else
    reader->Release();
  EXPECT_EQ(dev.bytesWritten(), 0);
}

TEST(FormatWholeDisk, NtfsBootSectorFoundAndStrayCopyPassedOver) {
  std::string path = testutil::Fixture("ntfs_format.img");
  if (path.empty()) GTEST_SKIP() << "no formatted NTFS fixture";
  std::vector<uint8_t> disk = Disk(testutil::ReadFile(path), 2048, 512, 8 << 20);
  // A copy of the boot sector ahead of the volume: its $MFT would lie where no records are,
  // so the checker does not confirm it and the search goes on to the real one.
  std::memcpy(disk.data() + 100 * 512, disk.data() + 2048 * 512, 512);
  testutil::MemDevice dev(disk, 512, 0);
  dev.SetOwnedByCaller(true);
  dev.SetHasPartitionInfo(false);
  CountingFiles files;
  QuietSink sink;
  CFormat f(&dev);
  f.SetFileManager(&files);
  EXPECT_EQ(f.Scan(&sink), 0);
  EXPECT_EQ(f.FormatParam()->fileSystem, FS_NTFS);
  EXPECT_EQ(f.FormatParam()->bootSector, 2048u);
  EXPECT_EQ(f.FormatParam()->scannedSectors, 4096u);  // no content search took place
  EXPECT_EQ(f.FormatParam()->sectorsPerCluster, 8);
  EXPECT_GT(files.added, 1000);
  EXPECT_EQ(dev.bytesWritten(), 0);
}

TEST(FormatWholeDisk, UnreadableSectorEndsTheSearchWithoutAFind) {
  std::string path = testutil::Fixture("lost_fat32.img");
  if (path.empty()) GTEST_SKIP() << "no FAT32 fixture";
  std::vector<uint8_t> disk = Disk(testutil::ReadFile(path), 777);
  testutil::MemDevice dev(disk, 512, 0);
  dev.SetOwnedByCaller(true);
  dev.FailAfter(600 * 512);
  CFormat f(&dev);
  uint64_t sector = 0;
  int fs = 0;
  EXPECT_EQ(f.SearchBootSector(&sector, &fs, 0), RC_MISSING);
  EXPECT_EQ(fs, 0);
  // Reads that fail only beyond the boot record leave it found.
  testutil::MemDevice late(disk, 512, 0);
  late.SetOwnedByCaller(true);
  late.FailAfter(2000 * 512);
  CFormat g(&late);
  EXPECT_EQ(g.SearchBootSector(&sector, &fs, 0), 0);
  EXPECT_EQ(sector, 777u);
  EXPECT_EQ(fs, FS_FAT32);
}
