// Image files that hold a bare volume made on a disk of 4096-byte sectors: the sector size
// comes from the volume's boot sector when nobody gives it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/inc/bytes.h"
#include "common/inc/idevice.h"
#include "common/inc/ifileinfo.h"
#include "common/inc/ifilemanager.h"
#include "common/inc/inotifysink.h"
#include "common/inc/irecoverymanagement.h"
#include "common/inc/iscanoperator.h"
#include "common/inc/kestrum_types.h"
#include "fixtures.h"
#include "platform/platform.h"
#include "scanread.h"
#include "testutil.h"

namespace {

std::vector<uint8_t> FirstSector(const std::string& fixture) {
  std::string path = testutil::Fixture(fixture);
  if (path.empty()) return {};
  std::vector<uint8_t> all = testutil::ReadFile(path);
  if (all.size() < 512) return {};
  return std::vector<uint8_t>(all.begin(), all.begin() + 512);
}

// No KESTRUM_SECTOR_SIZE for the life of the object, whatever the environment set.
class NoSectorSizeGiven {
 public:
  NoSectorSizeGiven() {
    const char* old = getenv("KESTRUM_SECTOR_SIZE");
    m_had = old != nullptr;
    if (old) m_old = old;
    unsetenv("KESTRUM_SECTOR_SIZE");
  }
  ~NoSectorSizeGiven() {
    if (m_had) setenv("KESTRUM_SECTOR_SIZE", m_old.c_str(), 1);
  }

 private:
  bool m_had = false;
  std::string m_old;
};

struct DeletedFiles : INotifySink {
  std::map<std::string, IFileInfo*> files;  // name -> entry
  int Notify(int event, int64_t, int64_t, void* obj) override {
    if (event != NE_FOUND_FILE || !obj) return 0;
    IFileInfo* f = static_cast<IFileInfo*>(obj);
    if (!(f->GetFlags() & FF_DIRECTORY)) files[testutil::Utf8(f->GetName())] = f;
    return 0;
  }
};

}  // namespace

// The three boot records that name a sector size, taken from volumes that real formatters
// made, and each with one field broken: a sector that is no boot record of that file
// system, or whose sector size is none a volume can have, names nothing.
TEST(ImageGeometry, BootRecordsNameTheirSectorSize) {
  const std::vector<uint8_t> ntfs = FirstSector("ntfs4k-bare.img");
  const std::vector<uint8_t> fat = FirstSector("fat32.img");
  const std::vector<uint8_t> exfat = FirstSector("exfat.img");
  if (ntfs.empty() || fat.empty() || exfat.empty()) GTEST_SKIP() << "the volumes were not built here";

  EXPECT_EQ(plat::SectorSizeNamedByBootRecord(ntfs.data(), ntfs.size()), 4096u);
  EXPECT_EQ(plat::SectorSizeNamedByBootRecord(fat.data(), fat.size()), 512u);
  EXPECT_EQ(plat::SectorSizeNamedByBootRecord(exfat.data(), exfat.size()), 512u);
  EXPECT_EQ(plat::SectorSizeNamedByBootRecord(ntfs.data(), 511), 0u);
  EXPECT_EQ(plat::SectorSizeNamedByBootRecord(nullptr, 512), 0u);

  for (const std::vector<uint8_t>* s : {&ntfs, &fat, &exfat}) {
    std::vector<uint8_t> t = *s;
    t[511] = 0;  // no signature: a sector met among others
    EXPECT_EQ(plat::SectorSizeNamedByBootRecord(t.data(), t.size()), 0u);
    t.assign(512, 0);
    EXPECT_EQ(plat::SectorSizeNamedByBootRecord(t.data(), t.size()), 0u);
  }

  std::vector<uint8_t> t = ntfs;
  std::memcpy(&t[3], "NTFX", 4);
  EXPECT_EQ(plat::SectorSizeNamedByBootRecord(t.data(), t.size()), 0u);
  for (uint16_t bps : {512, 1024, 2048}) {
    t = ntfs;
    kbytes::PutLe16(&t[11], bps);
    EXPECT_EQ(plat::SectorSizeNamedByBootRecord(t.data(), t.size()), bps);
  }
  for (uint16_t bps : {0, 768, 8192}) {
    t = ntfs;
    kbytes::PutLe16(&t[11], bps);
    EXPECT_EQ(plat::SectorSizeNamedByBootRecord(t.data(), t.size()), 0u) << bps;
  }

  // A FAT32 volume's layout stays whole when its sectors grow: the counts are in sectors.
  t = fat;
  kbytes::PutLe16(&t[11], 4096);
  EXPECT_EQ(plat::SectorSizeNamedByBootRecord(t.data(), t.size()), 4096u);
  kbytes::PutLe16(&t[11], 3000);
  EXPECT_EQ(plat::SectorSizeNamedByBootRecord(t.data(), t.size()), 0u);
  t = fat;
  kbytes::PutLe16(&t[11], 4096);
  t[0] = 0x33;  // the code of a master boot record, not a jump over a parameter block
  EXPECT_EQ(plat::SectorSizeNamedByBootRecord(t.data(), t.size()), 0u);
  t = fat;
  t[16] = 0;  // no FAT
  EXPECT_EQ(plat::SectorSizeNamedByBootRecord(t.data(), t.size()), 0u);

  t = exfat;
  t[108] = 12;
  EXPECT_EQ(plat::SectorSizeNamedByBootRecord(t.data(), t.size()), 4096u);
  t[108] = 13;
  EXPECT_EQ(plat::SectorSizeNamedByBootRecord(t.data(), t.size()), 0u);

  // A master boot record with one partition entry names nothing, whatever lies at 11.
  t.assign(512, 0);
  t[0] = 0xEB;
  t[2] = 0x90;
  kbytes::PutLe16(&t[11], 4096);
  t[446 + 4] = 0x07;
  kbytes::PutLe32(&t[446 + 8], 2048);
  kbytes::PutLe32(&t[446 + 12], 100000);
  t[510] = 0x55;
  t[511] = 0xAA;
  EXPECT_EQ(plat::SectorSizeNamedByBootRecord(t.data(), t.size()), 0u);
}

// A bare NTFS volume made with 4096-byte sectors, opened as a disk with no sector size
// given: the disk and its one partition read in 4096-byte sectors, the partition is NTFS,
// and Deleted Recovery is made for it and gives the deleted files back with their bytes.
// A sector size given still wins; a bare FAT32 volume of 4096-byte sectors opens the same
// way; nothing is written to either image.
TEST(ImageGeometry, BareVolumeImageOpensWithTheSectorSizeItsBootSectorNames) {
  testutil::FixtureManifest m;
  const std::string fat = testutil::Fixture("fat4k-bare.img");
  if (!m.Load("ntfs4k-bare") || fat.empty()) GTEST_SKIP() << "the 4Kn volumes were not built here";
  const std::string image = m.ImagePath();
  const uint64_t sums[2] = {testutil::FileChecksum(image), testutil::FileChecksum(fat)};
  NoSectorSizeGiven none;

  struct Case {
    std::string path;
    const char* given;  // KESTRUM_SECTOR_SIZE, or null
    uint32_t sectorSize;
    uint32_t partitionType;
  } cases[] = {{image, nullptr, 4096, 0x07}, {fat, nullptr, 4096, 0x0B}, {image, "512", 512, PT_UNALLOCATED}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path + (c.given ? " given " + std::string(c.given) : std::string()));
    testutil::ScopedEnv disks("KESTRUM_DISKS", c.path);
    std::unique_ptr<testutil::ScopedEnv> given;
    if (c.given) given.reset(new testutil::ScopedEnv("KESTRUM_SECTOR_SIZE", c.given));
    IRecoveryManagement* rm = nullptr;
    ASSERT_EQ(InitKestrum(&rm), 0);
    IDevice* devices[100] = {};
    int n = 0;
    rm->EnumDevices(devices, &n, 100);
    ASSERT_GE(n, 2);
    ASSERT_TRUE(devices[0]->GetType() == DT_FIXED_DISK || devices[0]->GetType() == DT_OTHER_DISK);
    DiskGeometry g;
    ASSERT_EQ(devices[0]->GetGeometry(&g), 0);
    EXPECT_EQ(g.BytesPerSector, c.sectorSize);
    IDevice* partition = devices[1];
    PartitionInfo info;
    ASSERT_EQ(partition->GetPartitionInfo(&info), 0);
    EXPECT_EQ(info.SectorSize, c.sectorSize);
    EXPECT_EQ(info.PartitionType, c.partitionType);
    EXPECT_EQ(uint64_t(info.SectorCount) * c.sectorSize, uint64_t(g.DiskSize));

    IFileManager* fm = nullptr;
    IScanOperator* so = nullptr;
    const int rc = rm->CreateScanOperator(partition, Scan_Deleted, &fm, &so);
    if (c.partitionType == PT_UNALLOCATED) {
      // Read in the wrong sectors, the volume is none the engine knows.
      EXPECT_NE(rc, 0);
    } else {
      ASSERT_EQ(rc, 0);
      ASSERT_NE(so, nullptr);
      if (c.path == image) {
        DeletedFiles sink;
        fm->SetNotifySink(&sink);
        EXPECT_EQ(so->Scan(&sink), 0);
        size_t exact = 0;
        for (const testutil::ManifestEntry* e : m.Deleted()) {
          const std::string name = e->path.substr(e->path.rfind('/') + 1);
          auto it = sink.files.find(name);
          if (it == sink.files.end()) {
            ADD_FAILURE() << "missing " << e->path;
            continue;
          }
          const bool same = m.SameAsOriginal(e->path, testutil::ReadAll(so, it->second));
          EXPECT_TRUE(same) << e->path;
          exact += same;
        }
        EXPECT_EQ(exact, 3u);
      }
      so->Release();
      fm->Release();
    }
    testutil::ReleaseOwnedDevices(devices, n);
    rm->Release();
  }
  EXPECT_EQ(testutil::FileChecksum(image), sums[0]);
  EXPECT_EQ(testutil::FileChecksum(fat), sums[1]);
}
