// Formatted-volume scans over sectors that cannot be read: the scan goes on past them, lists
// what it listed without them, never hands out other bytes for the unread ones, and ends
// with 5 (finished, some areas unreadable) instead of the plain success it used to give.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "baddevice.h"
#include "common/inc/iscanoperator.h"
#include "common/inc/istoragedevice.h"
#include "common/inc/kestrum_types.h"
#include "common/inc/seams.h"
#include "eioview.h"
#include "fixtures.h"
#include "storagedevice/cvolume.h"
#include "storagedevice/devenum.h"
#include "stubfilemanager.h"
#include "testutil.h"

namespace {

struct Listed {
  uint64_t size = 0;
  uint64_t start = 0;  // first sector of the first run
  uint64_t sectors = 0;
  std::vector<uint8_t> data;  // as the runs lay it in the original image
};

// What a scan hands over, each file's bytes taken from the original image.
class Keep : public StubFileManager {
 public:
  explicit Keep(const std::vector<uint8_t>* image) : m_image(image) {}
  std::map<std::string, Listed> files;
  int AddFile(const char16_t* folder, IFileInfo* file) override {
    std::string path = testutil::Utf8(folder);
    if (path.empty() || path.back() != '/') path += '/';
    path += testutil::Utf8(file->GetName());
    Listed l;
    l.size = file->GetSize();
    for (RunList* r = static_cast<RunList*>(file->GetRunList()); r; r = r->m_next) {
      if (r == file->GetRunList()) l.start = r->m_start;
      l.sectors += r->m_count;
    }
    l.data = GatherRunBytes(*m_image, file);
    if (l.data.size() > l.size) l.data.resize(size_t(l.size));
    files[path] = std::move(l);
    file->Release();
    return 0;
  }

 private:
  const std::vector<uint8_t>* m_image;
};

struct Tally {
  int exact = 0, wrong = 0, missing = 0, unread = 0;
};

// Live files of the manifest below its first folder (a quick format empties the root),
// found by the path's tail; a file whose sectors touch [badFirst, badEnd) is only counted.
Tally Compare(const std::string& manifest, const Keep& k, uint64_t badFirst, uint64_t badEnd) {
  testutil::FixtureManifest m;
  Tally t;
  EXPECT_TRUE(m.Load(manifest));
  for (const auto* e : m.Files()) {
    if (e->deleted || e->path.find('/', 1) == std::string::npos || e->path.compare(0, 6, "/frag/") == 0) continue;
    std::string tail = e->path.substr(e->path.find('/', 1));
    const Listed* f = nullptr;
    for (auto& kv : k.files)
      if (kv.first.size() >= tail.size() && kv.first.compare(kv.first.size() - tail.size(), tail.size(), tail) == 0)
        f = &kv.second;
    if (!f) {
      ++t.missing;
      continue;
    }
    if (f->start < badEnd && f->start + f->sectors > badFirst) {
      ++t.unread;
      continue;
    }
    if (f->size == e->size && m.SameAsOriginal(e->path, f->data)) ++t.exact;
    else ++t.wrong;
  }
  return t;
}

int ScanWith(IScanOperator* s, Keep* k) {
  QuietSink sink;
  s->SetFileManager(k);
  int rc = s->Scan(&sink);
  s->Release();
  return rc;
}

// The first sector of the listed file whose path ends so.
uint64_t FileStart(const Keep& k, const std::string& suffix) {
  for (auto& kv : k.files)
    if (kv.first.size() >= suffix.size() && kv.first.compare(kv.first.size() - suffix.size(), suffix.size(), suffix) == 0)
      return kv.second.start;
  return 0;
}

}  // namespace

// The FAT reader, alone and under the format scan: 64 unreadable sectors inside a file and
// an unreadable root cost that file's bytes only; every other file comes back exact.
TEST(UnreadableSectors, FatReaderGoesOnAndAnswersFive) {
  std::string path = testutil::Fixture("fat16-qformat.img");
  if (path.empty()) GTEST_SKIP() << "fixture missing";
  const auto image = testutil::ReadFile(path);
  Keep plain(&image);
  {
    testutil::BadSectorDevice dev(image);
    dev.SetOwnedByCaller(true);
    ASSERT_EQ(ScanWith(CreateFatFormatScanner(&dev, 1), &plain), 1);
  }
  Tally base = Compare("fat16", plain, 0, 0);
  EXPECT_EQ(base.wrong, 0);
  EXPECT_GT(base.exact, 30);
  uint64_t at = FileStart(plain, "/Summer 2019/IMG_0002.JPG");
  ASSERT_GT(at, 0u);
  const uint64_t first = at + 8, end = at + 72;
  // The root region of FAT16 lies after the reserved sectors and both FATs.
  const uint64_t root = uint64_t(image[14] | image[15] << 8) + uint64_t(image[16]) * (image[22] | image[23] << 8);

  for (int via = 0; via < 2; ++via) {
    SCOPED_TRACE(via ? "format scan" : "FAT reader");
    testutil::BadSectorDevice dev(image);
    dev.SetOwnedByCaller(true);
    dev.info().PartitionType = 0x06;
    dev.AddBad(first, end);
    dev.AddBad(root, root + 4);
    Keep k(&dev.bytes());
    EXPECT_EQ(ScanWith(via ? CreateFormatScanner(&dev) : CreateFatFormatScanner(&dev, 1), &k), RC_READ_FAILED);
    EXPECT_GT(dev.failedReads(), 0);
    Tally t = Compare("fat16", k, first, end);
    EXPECT_EQ(t.wrong, 0);
    EXPECT_EQ(t.missing, base.missing);
    EXPECT_EQ(t.unread, 1);
    EXPECT_EQ(t.exact, base.exact - 1);
    EXPECT_EQ(k.files.size(), plain.files.size());
    EXPECT_EQ(dev.bytesWritten(), 0);
  }
}

// exFAT under the format scan: an unreadable main boot sector leaves the backup copy (it
// used to end the scan with no file), and unreadable file data costs that file alone.
TEST(UnreadableSectors, ExfatReaderGoesOnAndAnswersFive) {
  std::string path = testutil::Fixture("exfat-qformat.img");
  if (path.empty()) GTEST_SKIP() << "fixture missing";
  const auto image = testutil::ReadFile(path);
  Keep plain(&image);
  {
    testutil::BadSectorDevice dev(image);
    dev.SetOwnedByCaller(true);
    dev.info().PartitionType = 0x07;
    ASSERT_EQ(ScanWith(CreateFormatScanner(&dev), &plain), 0);
  }
  Tally base = Compare("exfat", plain, 0, 0);
  EXPECT_EQ(base.wrong, 0);
  EXPECT_GT(base.exact, 30);
  uint64_t big = FileStart(plain, "/scan 0001 of the contract, page one.pdf");
  ASSERT_GT(big, 0u);

  testutil::BadSectorDevice dev(image);
  dev.SetOwnedByCaller(true);
  dev.info().PartitionType = 0xB0;  // the type byte sends the scan to exFAT without sector 0
  dev.AddBad(0, 1);
  dev.AddBad(big + 8, big + 72);
  Keep k(&dev.bytes());
  EXPECT_EQ(ScanWith(CreateFormatScanner(&dev), &k), RC_READ_FAILED);
  Tally t = Compare("exfat", k, big + 8, big + 72);
  EXPECT_EQ(t.wrong, 0);
  EXPECT_EQ(t.unread, 1);
  EXPECT_EQ(t.exact, base.exact - 1);
  EXPECT_EQ(k.files.size(), plain.files.size());
}

// The same through a real file whose reads fail with EIO, opened as a drive-letter volume
// by the engine's own device layer.
TEST(UnreadableSectors, RealFileWithFailingSectors) {
  std::string path = testutil::Fixture("fat16-qformat.img");
  if (path.empty()) GTEST_SKIP() << "fixture missing";
  const auto image = testutil::ReadFile(path);
  const uint64_t before = testutil::FileChecksum(path);
  Keep plain(&image);
  {
    testutil::BadSectorDevice dev(image);
    dev.SetOwnedByCaller(true);
    ASSERT_EQ(ScanWith(CreateFatFormatScanner(&dev, 1), &plain), 1);
  }
  uint64_t at = FileStart(plain, "/Summer 2019/IMG_0002.JPG");
  ASSERT_GT(at, 0u);
  Tally base = Compare("fat16", plain, 0, 0);

  testutil::EioView view(path, {{at + 8, at + 71}});
  if (view.path().empty()) GTEST_SKIP() << view.why();
  testutil::ScopedEnv volumes("KESTRUM_VOLUMES", "F=" + view.path());
  testutil::ScopedEnv disks("KESTRUM_DISKS", "");
  QueryDiskDrives();
  CVirtualVolume* letter = new CVirtualVolume();
  ASSERT_EQ(letter->OpenByLetter(5), 0);
  IStorageDevice* facade = CreateStorageDevice();
  ASSERT_EQ(facade->Attach(letter), 0);
  Keep k(&image);
  EXPECT_EQ(ScanWith(CreateFormatScanner(facade), &k), RC_READ_FAILED);
  facade->Release();
  letter->Release();
  Tally t = Compare("fat16", k, at + 8, at + 72);
  EXPECT_EQ(t.wrong, 0);
  EXPECT_EQ(t.unread, 1);
  EXPECT_EQ(t.exact, base.exact - 1);
  EXPECT_EQ(k.files.size(), plain.files.size());
  EXPECT_EQ(testutil::FileChecksum(path), before);
}
