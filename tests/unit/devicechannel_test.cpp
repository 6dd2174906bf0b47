// The channel forwarding that a disk and a drive-letter volume share: on a read-only image
// every write is refused by both, whichever way it comes (bytes, sectors, a partition, a
// clone, after a close), the facade reports it, a scan leaves the image as it was, and a
// device without a channel reports failure for every call, its open included.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "common/inc/ifilemanager.h"
#include "common/inc/inotifysink.h"
#include "common/inc/irecoverymanagement.h"
#include "common/inc/iscanoperator.h"
#include "common/inc/istoragedevice.h"
#include "common/inc/kestrum_types.h"
#include "common/inc/seams.h"
#include "storagedevice/cdisk.h"
#include "storagedevice/cvolume.h"
#include "storagedevice/devenum.h"
#include "testutil.h"

using testutil::ScopedEnv;
using testutil::TempDir;

namespace {

// A read-only view of an image file: the file itself made unwritable for an ordinary user,
// which root ignores, so root gets a read-only loop device over it instead. Empty when
// neither can be had.
class ReadOnlyImage {
 public:
  explicit ReadOnlyImage(const std::string& file) {
    if (geteuid() != 0) {
      if (chmod(file.c_str(), 0444) == 0) m_path = file;
      return;
    }
    m_loop.reset(new testutil::LoopDevice(file, true));
    m_path = m_loop->path();
  }
  const std::string& path() const { return m_path; }

 private:
  std::string m_path;
  std::unique_ptr<testutil::LoopDevice> m_loop;
};

class QuietSink : public INotifySink {
 public:
  int Notify(int, int64_t, int64_t, void*) override { return 0; }
};

void ExpectEveryWriteRefused(IDevice* d, const char* what) {
  std::vector<uint8_t> sec(512, 0x5A);
  ASSERT_EQ(d->Seek(0, 0), 0) << what;
  EXPECT_EQ(d->Write(sec.data(), 512), RC_READ_FAILED) << what;
  EXPECT_EQ(d->WriteSectors(0, sec.data(), 1), RC_READ_FAILED) << what;
  // Reads still work, and a closed device that reopens itself stays read-only.
  std::vector<uint8_t> back(512);
  EXPECT_EQ(d->ReadSectors(0, back.data(), 1), 1) << what;
  EXPECT_EQ(d->Close(), 0) << what;
  ASSERT_EQ(d->Seek(0, 0), 0) << what;
  EXPECT_EQ(d->Write(sec.data(), 512), RC_READ_FAILED) << what;
  EXPECT_EQ(d->WriteSectors(1, sec.data(), 1), RC_READ_FAILED) << what;
}

}  // namespace

TEST(DeviceChannel, ReadOnlyDiskAndLetterRefuseEveryWriteAndScansLeaveThemAsTheyWere) {
  std::string diskFixture = testutil::Fixture("tables_enum.img");
  std::string letterFixture = testutil::Fixture("tables_letter.img");
  if (diskFixture.empty() || letterFixture.empty()) GTEST_SKIP() << "fixture missing";
  TempDir dir;
  std::string diskFile = dir.file("disk.img"), letterFile = dir.file("letter.img");
  testutil::WriteFile(diskFile, testutil::ReadFile(diskFixture));
  testutil::WriteFile(letterFile, testutil::ReadFile(letterFixture));
  const uint64_t diskSum = testutil::FileChecksum(diskFile), letterSum = testutil::FileChecksum(letterFile);
  ReadOnlyImage roDisk(diskFile), roLetter(letterFile);
  if (roDisk.path().empty() || roLetter.path().empty()) GTEST_SKIP() << "no read-only view of an image";
  ScopedEnv disks("KESTRUM_DISKS", roDisk.path());
  ScopedEnv volumes("KESTRUM_VOLUMES", "F=" + roLetter.path());
  QueryDiskDrives();

  CDisk* disk = new CDisk();
  ASSERT_EQ(disk->OpenByIndex(0), 0);
  ASSERT_GE(disk->GetVolumes().size(), 2u);
  // A disk used to pass a byte write on to its channel whatever the flag said.
  ExpectEveryWriteRefused(disk, "disk");
  ExpectEveryWriteRefused(disk->GetVolumes()[0], "partition");
  CDisk* diskClone = new CDisk();
  ASSERT_EQ(diskClone->CloneFrom(disk), 0);
  ExpectEveryWriteRefused(diskClone, "disk clone");
  diskClone->Release();

  CVirtualVolume* letter = new CVirtualVolume();
  ASSERT_EQ(letter->OpenByLetter(5), 0);
  ExpectEveryWriteRefused(letter, "letter");
  CVirtualVolume* letterClone = new CVirtualVolume();
  ASSERT_EQ(letterClone->CloneFrom(letter), 0);
  ExpectEveryWriteRefused(letterClone, "letter clone");
  letterClone->Release();

  // The facade that a secure erase asks says so too, although a read-only block device
  // takes a read-write open: it used to look at the open flags alone.
  for (IDevice* d : {static_cast<IDevice*>(disk), static_cast<IDevice*>(disk->GetVolumes()[0]),
                     static_cast<IDevice*>(letter)}) {
    IStorageDevice* facade = CreateStorageDevice();
    ASSERT_EQ(facade->Attach(d), 0);
    EXPECT_TRUE(facade->IsReadOnly());
    EXPECT_EQ(facade->CloneWriteSectors(0, std::vector<uint8_t>(512).data(), 1), RC_READ_FAILED);
    facade->Release();
  }
  letter->Release();
  disk->Release();

  // A deleted-file scan of each read-only volume, through the engine's top object.
  IRecoveryManagement* top = nullptr;
  ASSERT_EQ(InitKestrum(&top), 0);
  IDevice* out[100] = {};
  int count = 0;
  ASSERT_EQ(top->EnumDevices(out, &count, 100), 0);
  ASSERT_EQ(count, 5);
  for (IDevice* d : {out[1], out[4]}) {
    IFileManager* fm = nullptr;
    IScanOperator* sc = nullptr;
    ASSERT_EQ(top->CreateScanOperator(d, Scan_Deleted, &fm, &sc), 0);
    QuietSink sink;
    sc->Scan(&sink);
    sc->Release();
    fm->Release();
  }
  out[0]->Release();
  out[4]->Release();
  top->Release();
  EXPECT_EQ(testutil::FileChecksum(diskFile), diskSum);
  EXPECT_EQ(testutil::FileChecksum(letterFile), letterSum);
}

// A device closed while writable and made read-only before its next use: the flag that
// guards a write is the one of the channel that would take it, set by the reopen. A letter
// volume used to judge by the flag of its previous channel and pass the write on.
TEST(DeviceChannel, ReadOnlyFlagComesFromTheReopenedChannel) {
  std::string fixture = testutil::Fixture("tables_letter.img");
  if (fixture.empty()) GTEST_SKIP() << "fixture missing";
  if (geteuid() != 0) GTEST_SKIP() << "needs a loop device";
  TempDir dir;
  std::string file = dir.file("letter.img");
  testutil::WriteFile(file, testutil::ReadFile(fixture));
  const uint64_t sum = testutil::FileChecksum(file);
  testutil::LoopDevice device(file, false);
  const std::string& loop = device.path();
  if (loop.empty()) GTEST_SKIP() << "loop devices not available";
  ScopedEnv disks("KESTRUM_DISKS", loop);
  ScopedEnv volumes("KESTRUM_VOLUMES", "F=" + loop);
  QueryDiskDrives();

  CDisk* disk = new CDisk();
  ASSERT_EQ(disk->OpenByIndex(0), 0);
  CVirtualVolume* letter = new CVirtualVolume();
  ASSERT_EQ(letter->OpenByLetter(5), 0);
  disk->Close();
  letter->Close();
  ASSERT_EQ(system(("blockdev --setro " + loop).c_str()), 0);
  std::vector<uint8_t> sec(512, 0x5A);
  for (IDevice* d : {static_cast<IDevice*>(disk), static_cast<IDevice*>(letter)}) {
    EXPECT_EQ(d->Write(sec.data(), 512), RC_READ_FAILED);
    d->Close();
    EXPECT_EQ(d->WriteSectors(0, sec.data(), 1), RC_READ_FAILED);
  }
  letter->Release();
  disk->Release();
  EXPECT_EQ(testutil::FileChecksum(file), sum);
}

TEST(DeviceChannel, WithoutAChannelEveryCallFailsAndOpenSaysSo) {
  std::vector<uint8_t> buf(512);
  CDisk* disk = new CDisk();
  CVirtualVolume* letter = new CVirtualVolume();
  for (IDevice* d : {static_cast<IDevice*>(disk), static_cast<IDevice*>(letter)}) {
    // A disk used to answer 0 here although there was nothing to open.
    EXPECT_EQ(d->Open(), -1);
    EXPECT_EQ(d->Read(buf.data(), 512), -1);
    EXPECT_EQ(d->Write(buf.data(), 512), -1);
    EXPECT_EQ(d->Seek(0, 0), -1);
    EXPECT_EQ(d->ReadSectors(0, buf.data(), 1), -1);
    EXPECT_EQ(d->WriteSectors(0, buf.data(), 1), -1);
    EXPECT_EQ(d->Close(), 0);
    EXPECT_EQ(d->GetIo(), nullptr);
  }
  // A clone needs a source that has a channel.
  CDisk* clone = new CDisk();
  EXPECT_EQ(clone->CloneFrom(disk), -1);
  clone->Release();
  disk->Release();
  letter->Release();
}
