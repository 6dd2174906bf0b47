// The format scan's search for a lost volume's boot record over a whole disk: every kind of
// volume the boot-record checker knows is found where it begins, a stray boot-sector copy
// whose structures do not follow it is passed over, and unreadable sectors cost only themselves.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "common/inc/bytes.h"
#include "common/inc/ifileinfo.h"
#include "common/inc/ifilemanager.h"
#include "common/inc/inotifysink.h"
#include "common/inc/kestrum_types.h"
#include "common/inc/seams.h"
#include "damagematrix.h"
#include "filesystems/format/format.h"
#include "memdevice.h"
#include "stubfilemanager.h"
#include "testutil.h"

namespace {



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

// Volumes whose boot sector is destroyed, as on a stick formatted without a partition
// table whose first sector was overwritten: each is found by the copy its formatter left
// (FAT32 at sector 6, exFAT at 12, NTFS in its last sector), where the volume begins, with
// no content search. The FAT32 volume's folders all lie past the first half of the disk,
// where the content search does not look.
TEST(FormatWholeDisk, DestroyedBootSectorFoundByItsBackup) {
  struct Case {
    const char* image;
    int fs;
  } cases[] = {{"fat32.img", FS_FAT32}, {"exfat.img", FS_EXFAT}, {"ntfs.img", FS_NTFS}};
  int ran = 0;
  for (const Case& c : cases) {
    std::string path = testutil::Fixture(c.image);
    if (path.empty()) continue;
    ++ran;
    std::vector<uint8_t> volume = testutil::ReadFile(path);
    // The search looks at the first 100000 sectors: the NTFS copy must lie among them.
    if (c.fs == FS_NTFS) {
      ASSERT_LT(volume.size() / 512 + 777, 100000u) << c.image;
    }
    std::memset(volume.data(), 0, 512);
    for (uint64_t lead : {uint64_t(0), uint64_t(777)}) {
      Detected d = DetectOn(Disk(volume, lead));
      EXPECT_EQ(d.rc, 0) << c.image << " at " << lead;
      EXPECT_EQ(d.fs, c.fs) << c.image << " at " << lead;
      EXPECT_EQ(d.boot, lead) << c.image;
      EXPECT_EQ(d.scanned, 4096u) << c.image;
    }
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
  CountingFileManager files;
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
  CountingFileManager files;
  QuietSink sink;
  CFormat f(&dev);
  f.SetFileManager(&files);
  EXPECT_EQ(f.Scan(&sink), 0);
  EXPECT_EQ(f.FormatParam()->fileSystem, FS_NTFS);
  EXPECT_EQ(f.FormatParam()->bootSector, 2048u);
  EXPECT_EQ(f.FormatParam()->scannedSectors, 4096u);  // no content search took place
  EXPECT_EQ(f.FormatParam()->sectorsPerCluster, 8);
  EXPECT_GT(int(files.files), 1000);
  EXPECT_EQ(dev.bytesWritten(), 0);
}

namespace {

// Sectors [from, to) cannot be read. A read that starts before them stops short of them, as
// a disk's does; with wholeFails a read that touches them fails altogether, as some drivers'.
class BadStretch : public testutil::MemDevice {
 public:
  BadStretch(std::vector<uint8_t> bytes, uint64_t from, uint64_t to, bool wholeFails = false)
      : MemDevice(std::move(bytes), 512, 0), m_from(from), m_to(to), m_whole(wholeFails) {
    SetOwnedByCaller(true);
  }
  int ReadSectors(int64_t first, void* buf, uint32_t count) override {
    uint64_t f = uint64_t(first);
    if (f < m_to && f + count > m_from) {
      if (f >= m_from || m_whole) return -1;
      count = uint32_t(m_from - f);
    }
    return MemDevice::ReadSectors(first, buf, count);
  }

 private:
  uint64_t m_from, m_to;
  bool m_whole;
};

}  // namespace

TEST(FormatWholeDisk, UnreadableSectorsDoNotEndTheSearch) {
  std::string path = testutil::Fixture("lost_fat32.img");
  if (path.empty()) GTEST_SKIP() << "no FAT32 fixture";
  std::vector<uint8_t> volume = testutil::ReadFile(path);
  std::vector<uint8_t> disk = Disk(volume, 777);
  for (bool whole : {false, true}) {
    SCOPED_TRACE(whole ? "reads touching the bad stretch fail whole" : "reads stop short");
    // A dead stretch ahead of the volume, and one single bad sector.
    for (auto bad : {std::make_pair(100, 140), std::make_pair(300, 301)}) {
      BadStretch dev(disk, bad.first, bad.second, whole);
      CFormat f(&dev);
      uint64_t sector = 0;
      int fs = 0;
      EXPECT_EQ(f.SearchBootSector(&sector, &fs, 0), 0);
      EXPECT_EQ(sector, 777u);
      EXPECT_EQ(fs, FS_FAT32);
      EXPECT_EQ(dev.bytesWritten(), 0);
    }
  }
  // A device that stops answering altogether gives no find, in bounded time.
  testutil::MemDevice dead(disk, 512, 0);
  dead.SetOwnedByCaller(true);
  dead.FailAfter(600 * 512);
  CFormat f(&dead);
  uint64_t sector = 0;
  int fs = 0;
  EXPECT_EQ(f.SearchBootSector(&sector, &fs, 0), RC_MISSING);
  EXPECT_EQ(fs, 0);

  // Without any boot sector the content searches read on past the bad stretch, too.
  std::string populated = testutil::Fixture("fat32.img");
  if (populated.empty()) return;
  std::vector<uint8_t> noBoot = testutil::ReadFile(populated);
  std::memset(noBoot.data(), 0, 512);
  std::memset(noBoot.data() + 6 * 512, 0, 512);  // the backup boot sector
  // The whole-disk search looks at the first half only: padding keeps the folders in it.
  BadStretch bare(Disk(noBoot, 0, 512, 64 << 20), 20, 24, true);
  bare.SetHasPartitionInfo(false);
  CFormat g(&bare);
  Detected d;
  d.rc = g.DetectWholeDisk(&d.boot, &d.fs, &d.scanned);
  EXPECT_EQ(d.rc, 0);
  EXPECT_EQ(d.fs, FS_FAT32);
  BadStretch content(Disk(noBoot, 0, 512, 0), 20, 24, true);
  CFormat h(&content);
  d = Detected();
  d.rc = h.DetectFsByContent(&d.boot, &d.fs, &d.scanned);
  EXPECT_EQ(d.rc, 0);
  EXPECT_EQ(d.fs, FS_FAT32);
}

// A stick formatted FAT32 as a whole whose first sector is gone, holding an NTFS volume image
// as a file: the image's boot sector and $MFT confirm it where it lies, inside the stick's
// volume that only the backup at sector 6 still describes. The stick keeps it while its FAT
// gives that cluster out and its root folder reads as a folder; once either no longer holds,
// the stick's volume counts as formatted over (or only its boot-sector copies describe it)
// and the NTFS volume is taken.
TEST(FormatWholeDisk, BackupVolumeYieldsOnlyWhereItNoLongerHoldsTheBootSector) {
  std::string path = testutil::Fixture("tableless_imgstick.img");
  if (path.empty()) GTEST_SKIP() << "no tableless fixtures";
  const std::vector<uint8_t> stick = testutil::ReadFile(path);
  const uint8_t* backup = stick.data() + 6 * 512;
  ASSERT_EQ(std::memcmp(backup + 82, "FAT32", 5), 0);
  const uint64_t reserved = kbytes::Le16(backup + 14), fatSectors = kbytes::Le32(backup + 36);
  const uint64_t spc = backup[13], data = reserved + 2 * fatSectors;
  const uint64_t root = data + (kbytes::Le32(backup + 44) - 2) * spc;
  uint64_t image = 0, cluster = 0;
  for (size_t off = 0; off < 512; off += 32) {
    const uint8_t* e = stick.data() + root * 512 + off;
    if (std::memcmp(e, "NTFS    IMG", 11) == 0) {
      cluster = uint64_t(kbytes::Le16(e + 20)) << 16 | kbytes::Le16(e + 26);
      image = data + (cluster - 2) * spc;
    }
  }
  ASSERT_NE(image, 0u);
  ASSERT_EQ(std::memcmp(stick.data() + image * 512 + 3, "NTFS", 4), 0);
  struct Case {
    const char* what;
    std::function<void(std::vector<uint8_t>&)> damage;
    int fs;
    uint64_t start;
  } cases[] = {
      {"as written", [](std::vector<uint8_t>&) {}, FS_FAT32, 0},
      {"the image's first cluster free in the first FAT",
       [&](std::vector<uint8_t>& d) { kbytes::PutLe32(d.data() + reserved * 512 + cluster * 4, 0); }, FS_NTFS,
       image},
      {"the root folder overwritten",
       [&](std::vector<uint8_t>& d) { std::memset(d.data() + root * 512, 0xF6, 512); }, FS_NTFS, image},
      // A folder whose entries were all deleted is still a folder.
      {"every root entry deleted",
       [&](std::vector<uint8_t>& d) {
         for (size_t off = 0; off < 512 && d[root * 512 + off]; off += 32) d[root * 512 + off] = 0xE5;
       },
       FS_FAT32, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<uint8_t> disk = stick;
    c.damage(disk);
    testutil::MemDevice dev(std::move(disk), 512, 0);
    dev.SetOwnedByCaller(true);
    dev.SetHasPartitionInfo(false);
    CFormat f(&dev);
    uint64_t sector = 99;
    int fs = 0;
    EXPECT_EQ(f.SearchBootSector(&sector, &fs, 0), 0);
    EXPECT_EQ(fs, c.fs);
    EXPECT_EQ(sector, c.start);
    EXPECT_EQ(dev.bytesWritten(), 0);
  }
}

namespace {

using testutil::DamageRow;

// Volume Recovery on a disk whose partition table is gone (tests/fixtures/make_tableless.sh),
// run as the program runs it: on the disk's one spanning partition (or on the disk), whose
// whole-device search finds where the volume begins. The manifests hold the files of every
// volume on the disk, so another volume's files handed out with wrong bytes are counted, and
// the listed count pins that nothing else is handed out.
DamageRow Tableless(const char* name, const char* image, int exact, int listed, int result, int device = -1) {
  DamageRow r;
  r.name = name;
  r.image = std::string(image) + ".img";
  r.manifest = image;
  r.kind = 0x100;
  r.exact = exact;
  r.elsewhere = 0;
  r.listed = listed;
  r.device = device;
  r.scanResult = result;
  return r;
}

// The same with the first sector of the NTFS volume at 2048 zeroed: the search finds the
// volume by its $MFT, which also places its end (by its $Bitmap) and its own records.
DamageRow WithoutNtfsBootSector(DamageRow r) {
  r.name += "_without_its_boot_sector";
  r.damage = [](testutil::DamageImage& image) { return image.Zero(2048 * 512, 512); };
  return r;
}

// The same with the FAT32 boot sector at 2048 zeroed: the search finds the volume by its
// backup at sector 6 of it, which the FAT reader then reads its geometry from.
DamageRow WithoutFatBootSector(DamageRow r) {
  r.name += "_without_its_boot_sector";
  r.damage = [](testutil::DamageImage& image) { return image.Zero(2048 * 512, 512); };
  return r;
}

const DamageRow kTablelessRows[] = {
    // A stick formatted FAT32 as a whole, later partitioned and formatted NTFS at 2048: the
    // old volume's backup boot sector and FAT starts lose to the NTFS boot sector, which lies
    // in the old volume's FATs.
    Tableless("ntfs_over_an_old_whole_stick_fat32", "tableless_restick", 19, 19, 0),
    // NTFS of 64 KiB clusters keeping an NTFS image in VM/disk.img: only the host's own
    // records vote, and the image's records, inside disk.img's data, are not listed.
    Tableless("host_ntfs_keeping_an_ntfs_image", "tableless_vmhost", 4, 4, 0),
    // 4 KiB records under boot sectors that say 512-byte sectors: the records have the size
    // the boot sector and record 0 give.
    Tableless("four_kib_records_under_512_byte_sectors", "tableless_4krec", 11, 11, 0),
    // Two NTFS volumes, scanned at the first: it ends where its boot sector says, and the
    // second one's files are neither listed nor put in its folders.
    Tableless("first_of_two_ntfs_volumes", "tableless_twovol", 19, 19, 0),
    Tableless("first_of_two_ntfs_volumes_on_the_disk", "tableless_twovol", 19, 19, 0, -2),
    // A FAT32 stick with no boot sector, keeping an NTFS volume image as a file: the backup
    // at sector 6 still holds the stick, whose files come back.
    Tableless("fat32_stick_keeping_an_ntfs_image", "tableless_imgstick", 5, 5, 1),
    // Damaged as well: the old FAT32's backup still loses, since its root folder now holds
    // the NTFS volume's $MFT; the second volume's files are not taken into the first's.
    WithoutNtfsBootSector(Tableless("ntfs_over_an_old_whole_stick_fat32", "tableless_restick", 19, 19, 0)),
    WithoutNtfsBootSector(Tableless("host_ntfs_keeping_an_ntfs_image", "tableless_vmhost", 4, 4, 0)),
    WithoutNtfsBootSector(Tableless("first_of_two_ntfs_volumes", "tableless_twovol", 19, 19, 0)),
    // A stick's FAT32 partition at 2048: the FAT reader reads the volume from where the search
    // found it (it read the disk from sector 0, and found nothing).
    Tableless("fat32_partition_at_2048", "tableless_fat32part", 12, 12, 1),
    Tableless("fat32_partition_at_2048_on_the_disk", "tableless_fat32part", 12, 12, 1, -2),
    WithoutFatBootSector(Tableless("fat32_partition_at_2048", "tableless_fat32part", 12, 12, 1)),
};

}  // namespace

namespace testutil {
INSTANTIATE_TEST_SUITE_P(Disk, DamageMatrix, ::testing::ValuesIn(kTablelessRows), DamageRowName);
}  // namespace testutil
