// The FAT16, FAT32, exFAT and HFS+ deleted-file scanners list the volume's trash folder
// once their walk is done and before they report the end: the trash step reads the
// device's partition record for its mount point. Whatever it answers, the scan's files and
// result stay the same.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/inc/inotifysink.h"
#include "common/inc/iscanoperator.h"
#include "common/inc/kestrum_types.h"
#include "common/inc/seams.h"
#include "memdevice.h"
#include "stubfilemanager.h"
#include "testutil.h"

namespace {

class RecordCountingDevice : public testutil::MemDevice {
 public:
  using MemDevice::MemDevice;
  int recordReads = 0;
  int GetPartitionInfo(PartitionInfo* info) override {
    ++recordReads;
    return MemDevice::GetPartitionInfo(info);
  }
};

// Notes how many partition-record reads had happened at the last progress event and at
// the finishing event.
class WatchingSink : public INotifySink {
 public:
  explicit WatchingSink(const RecordCountingDevice* d) : m_dev(d) {}
  int atLastProgress = -1, atFinish = -1;
  int Notify(int event, int64_t, int64_t, void*) override {
    if (event == NE_PERCENT) atLastProgress = m_dev->recordReads;
    if (event == NE_FINISHED) atFinish = m_dev->recordReads;
    return 0;
  }

 private:
  const RecordCountingDevice* m_dev;
};

struct Outcome {
  int rc = -99;
  size_t files = 0;
  int atLastProgress = -1, atFinish = -1;
  int recordReads = 0;
};

Outcome RunScanner(const std::vector<uint8_t>& image, IScanOperator* (*make)(IStorageDevice*), bool withRecord) {
  Outcome o;
  RecordCountingDevice dev(image);
  dev.SetOwnedByCaller(true);
  dev.SetHasPartitionInfo(withRecord);
  std::strcpy(dev.info().MountPoint, "/Volumes/X");
  IScanOperator* s = make(&dev);
  EXPECT_NE(s, nullptr);
  if (!s) return o;
  CountingFileManager fm;
  WatchingSink sink(&dev);
  s->SetFileManager(&fm);
  o.rc = s->Scan(&sink);
  s->Release();
  o.files = fm.files;
  o.recordReads = dev.recordReads;
  o.atLastProgress = sink.atLastProgress;
  o.atFinish = sink.atFinish;
  return o;
}

}  // namespace

TEST(ScannerTrash, ListedAfterTheWalkBeforeTheEndWhateverItAnswers) {
  struct Case {
    const char* fixture;
    IScanOperator* (*make)(IStorageDevice*);
    bool finishEvent;  // the HFS+ scanner reports no end event of its own
  } cases[] = {{"fat16.img", CreateFat16DelScanner, true},
               {"fat32.img", CreateFat32DelScanner, true},
               {"exfat.img", CreateExfatDelScanner, true},
               {"hfsplus_journal.img", CreateHfspDelScanner, false}};
  int ran = 0;
  for (const Case& c : cases) {
    std::string path = testutil::Fixture(c.fixture);
    if (path.empty()) continue;
    ++ran;
    auto image = testutil::ReadFile(path);
    Outcome with = RunScanner(image, c.make, true), without = RunScanner(image, c.make, false);
    EXPECT_GT(with.files, 0u) << c.fixture;
    // A mount point that names a trash folder, or no partition record at all: the same
    // scan either way.
    EXPECT_EQ(with.rc, without.rc) << c.fixture;
    EXPECT_EQ(with.files, without.files) << c.fixture;
    if (c.finishEvent) {
      EXPECT_EQ(with.atLastProgress, 0) << c.fixture;
      EXPECT_EQ(with.atFinish, 1) << c.fixture;
      EXPECT_EQ(without.atFinish, 1) << c.fixture;
    } else {
      EXPECT_EQ(with.atLastProgress, 0) << c.fixture;
    }
    EXPECT_EQ(with.recordReads, 1) << c.fixture;
    EXPECT_EQ(without.recordReads, 1) << c.fixture;
  }
  if (ran == 0) GTEST_SKIP() << "fixtures missing";
}
