// NTFS on a 4Kn disk (4096-byte sectors, clusters and FILE records), made by mkntfs and
// filled through ntfs-3g, opened through the engine as a user does: files of up to about
// 3.6 KB live inside their 4 KiB records and must come back from the Deleted and Volume
// Recovery scans and from a saved result, byte for byte. A compressed file whose run list
// was cut short reads as a failure past its runs, never as zeros.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "common/inc/bytes.h"
#include "common/inc/idevice.h"
#include "common/inc/ifilemanager.h"
#include "common/inc/ifileop.h"
#include "common/inc/inotifysink.h"
#include "common/inc/irecoverymanagement.h"
#include "common/inc/iscanoperator.h"
#include "common/inc/kestrum_types.h"
#include "filesystems/ntfs/ntfs.h"
#include "fixtures.h"
#include "imageengine.h"
#include "scanread.h"
#include "testutil.h"

namespace {

const uint32_t kSector = 4096;

using Found = testutil::FoundFile;
using testutil::TreeContents;

// The engine over one image, read in 4096-byte sectors.
struct Engine : testutil::ImageEngine {
  explicit Engine(const std::string& image) : ImageEngine(image, kSector) {}
};

class Ntfs4kn : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!m.Load("ntfs4kn")) GTEST_SKIP() << "no ntfs4kn image";
    image = m.ImagePath();
    before = testutil::FileChecksum(image);
  }
  void TearDown() override {
    if (!image.empty()) {
      EXPECT_EQ(before, testutil::FileChecksum(image)) << "the image was written to";
    }
  }
  // Every file of the manifest (or every deleted one) is found at its path with its bytes;
  // answers how many were exact.
  int ExpectExact(const std::map<std::string, Found>& found, bool deletedOnly) {
    int exact = 0, asked = 0;
    for (const testutil::ManifestEntry& e : m.Entries()) {
      if (e.isDir || (deletedOnly && !e.deleted)) continue;
      ++asked;
      auto it = found.find("/Volume" + e.path);
      if (it == found.end()) {
        ADD_FAILURE() << "missing " << e.path << " (" << e.size << " bytes)";
        continue;
      }
      EXPECT_EQ(e.size, it->second.file->GetSize()) << e.path;
      if (m.SameAsOriginal(e.path, it->second.bytes))
        ++exact;
      else
        ADD_FAILURE() << "bytes of " << e.path << " differ";
    }
    EXPECT_GE(asked, 14);
    return exact;
  }

  testutil::FixtureManifest m;
  std::string image;
  uint64_t before = 0;
};

// Where the bytes of one record lie in the image: its offset, found by name among the
// 4 KiB blocks that begin a FILE record.
size_t RecordOffset(const std::vector<uint8_t>& img, CNTFS& ntfs, const std::u16string& name) {
  std::vector<uint8_t> rec(ntfs.RecordBytes());
  for (size_t at = 0; at + rec.size() <= img.size(); at += kSector) {
    if (std::memcmp(&img[at], "FILE", 4) != 0) continue;
    std::copy(img.begin() + at, img.begin() + at + rec.size(), rec.begin());
    std::u16string n;
    uint64_t parent = 0;
    if (ntfs.ApplyFixup(rec.data()) == 0 && ntfs.GetFileName(rec.data(), n, &parent, nullptr, nullptr) == 0 &&
        n == name)
      return at;
  }
  return std::string::npos;
}

// Writes one byte of a record as it stands on disk: the last two bytes of every 512 hold
// the update sequence number there, their true value sits in the update-sequence array.
void PutRecordByte(uint8_t* raw, uint32_t off, uint8_t value) {
  if (off % 512 < 510) {
    raw[off] = value;
    return;
  }
  uint16_t usa = kbytes::Le16(raw + 4);
  raw[usa + 2 * (off / 512 + 1) + (off % 512 - 510)] = value;
}

}  // namespace

// The scans of a 4Kn volume: Deleted Recovery by file system (kind 1) and as NTFS (9) find
// the fourteen deleted files; Volume Recovery through the NTFS reader (0x900) and through the
// dispatcher (0x100) every file whose record survives, deleted or not (fifteen).
struct ScanCase {
  int kind;
  int type;  // the kind the scanner then reports
  bool deletedOnly;
  int files;
};
const ScanCase kScans[] = {{Scan_Deleted, Scan_DeletedNtfs, true, 14},
                           {Scan_DeletedNtfs, Scan_DeletedNtfs, true, 14},
                           {Scan_FormatNtfs, Scan_FormatNtfs, false, 15},
                           {Scan_Format, Scan_FormatNtfs, false, 15}};

TEST_F(Ntfs4kn, BothScansBringBackFilesResidentInTheirRecords) {
  Engine engine(image);
  ASSERT_NE(engine.volume(), nullptr) << "the image is not listed as a partition";
  for (const ScanCase& c : kScans) {
    SCOPED_TRACE(c.kind);
    IScanOperator* so = nullptr;
    EXPECT_EQ(engine.Scan(c.kind, &so), 0);
    ASSERT_NE(so, nullptr);
    EXPECT_EQ(so->GetScanType(), c.type);
    auto found = TreeContents(so);
    EXPECT_EQ(ExpectExact(found, c.deletedOnly), c.files);
    auto big = found.find("/Volume/docs/r3600.bin");
    EXPECT_TRUE(big != found.end() && (big->second.file->GetFlags() & FF_RESIDENT));
    Engine::Free(so);
  }
}

// A scan's result saved and loaded again (through the top object, which matches the saved
// device): the same files with the same bytes, and a second save gives the same file.
TEST_F(Ntfs4kn, SavedResultKeepsResidentFilesOfFourKilobyteRecords) {
  testutil::TempDir dir;
  Engine engine(image);
  ASSERT_NE(engine.volume(), nullptr);
  for (const ScanCase& c : {kScans[1], kScans[2]}) {
    SCOPED_TRACE(c.kind);
    IScanOperator* a = nullptr;
    EXPECT_EQ(engine.Scan(c.kind, &a), 0);
    ASSERT_NE(a, nullptr);
    std::string first = dir.file("first.res"), second = dir.file("second.res");
    std::u16string w2(second.begin(), second.end());
    IScanOperator* b = nullptr;
    ASSERT_EQ(engine.SaveAndLoad(a, first, &b), 0);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->GetScanType(), c.type);
    auto loaded = TreeContents(b);
    EXPECT_EQ(ExpectExact(loaded, c.deletedOnly), c.files);
    EXPECT_EQ(loaded.size(), TreeContents(a).size());
    ASSERT_EQ(b->SaveResult(w2.c_str(), nullptr), 0);
    EXPECT_EQ(testutil::ReadFile(first), testutil::ReadFile(second));
    Engine::Free(b);
    Engine::Free(a);
  }
}

// The deleted compressed file with its mapping pairs ended after its first 64 KiB unit: the
// first unit still reads back exact, every later unit answers 5 and hands out nothing,
// through both scans.
TEST_F(Ntfs4kn, CompressedFileWithItsRunListCutFailsPastTheCut) {
  std::vector<uint8_t> img = testutil::ReadFile(image);
  NtfsBootInfo boot;
  ASSERT_EQ(ParseNtfsBootSector(img.data(), img.size(), &boot), 0);
  CNTFS ntfs(nullptr);
  ASSERT_EQ(ntfs.SetBootInfo(boot, kSector), 0);
  ASSERT_EQ(boot.recordBytes, 4096u);
  size_t at = RecordOffset(img, ntfs, u"packed.txt");
  ASSERT_NE(at, std::string::npos);
  std::vector<uint8_t> rec(img.begin() + at, img.begin() + at + boot.recordBytes);
  ASSERT_EQ(ntfs.ApplyFixup(rec.data()), 0);
  NtfsAttr a;
  ASSERT_EQ(ntfs.FindUnnamed(rec.data(), NTFS_AT_DATA, &a), 0);
  ASSERT_TRUE(a.nonResident && (a.flags & NTFS_ATTR_COMPRESSED));
  // Walk the pairs to the end of the first compression unit (16 clusters) and end them there.
  uint32_t off = a.pairsOffset;
  uint64_t clusters = 0;
  while (clusters < 16) {
    uint8_t size = 0;
    int64_t delta = 0;
    uint64_t count = 0;
    bool sparse = false;
    ASSERT_EQ(
        CNTFS::DecodeRunEntry(&rec[off], a.pairsOffset + a.pairsLength - off, &size, &delta, &count, &sparse),
        0);
    clusters += count;
    off += size;
  }
  ASSERT_EQ(clusters, 16u) << "unit 0 of the text is not compressed on its own";
  ASSERT_NE(rec[off], 0) << "the run list already ends after unit 0";
  PutRecordByte(&img[at], off, 0);

  testutil::TempDir dir;
  std::string cut = dir.file("cut.img");
  testutil::WriteFile(cut, img);
  std::vector<uint8_t> original = m.Original("/compressed/packed.txt");
  ASSERT_GT(original.size(), 4u * 65536);
  Engine engine(cut);
  ASSERT_NE(engine.volume(), nullptr);
  for (int kind : {Scan_DeletedNtfs, Scan_FormatNtfs}) {
    SCOPED_TRACE(kind);
    IScanOperator* so = nullptr;
    EXPECT_EQ(engine.Scan(kind, &so), 0);
    ASSERT_NE(so, nullptr);
    IFileInfo* f = nullptr;
    for (auto& kv : TreeContents(so))
      if (kv.first == "/Volume/compressed/packed.txt") f = kv.second.file;
    ASSERT_NE(f, nullptr);
    EXPECT_TRUE(f->GetFlags() & FF_COMPRESSED);
    EXPECT_EQ(f->GetSize(), original.size());
    IFileOP* op = nullptr;
    ASSERT_EQ(so->GetFileOp(f, &op), 0);
    std::vector<uint8_t> buf(original.size(), 0xEE);
    uint32_t got = 12345;
    EXPECT_EQ(op->Read(buf.data(), uint32_t(buf.size()), 0, &got), RC_READ_FAILED);
    EXPECT_EQ(got, 65536u);
    EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + 65536, original.begin()));
    got = 12345;
    EXPECT_EQ(op->Read(buf.data(), 1000, 3 * 65536 + 5, &got), RC_READ_FAILED);
    EXPECT_EQ(got, 0u);
    // The part that the runs still hold reads as before.
    EXPECT_EQ(op->Read(buf.data(), 70000, 0, &got), RC_READ_FAILED);
    EXPECT_EQ(got, 65536u);
    EXPECT_EQ(op->Read(buf.data(), 60000, 100, &got), 0);
    EXPECT_EQ(got, 60000u);
    EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + 60000, original.begin() + 100));
    Engine::Free(so);
  }
}
