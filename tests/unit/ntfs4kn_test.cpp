// NTFS on a 4Kn disk (4096-byte sectors, clusters and FILE records), made by mkntfs and
// filled through ntfs-3g, opened through the engine as a user does: files of up to about
// 3.6 KB live inside their 4 KiB records and must come back from the Deleted and Volume
// Recovery scans and from a saved result, byte for byte.
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
#include "scanread.h"
#include "testutil.h"

namespace {

using testutil::Utf8;

const uint32_t kSector = 4096;

struct QuietSink : INotifySink {
  int Notify(int, int64_t, int64_t, void*) override { return 0; }
};

// What a results tree holds, by full path ("/Volume/docs/t100.txt"): the record and the
// bytes its reader hands out.
struct Found {
  IFileInfo* file;
  std::vector<uint8_t> bytes;
};

std::map<std::string, Found> Contents(IScanOperator* scanner) {
  std::map<std::string, Found> out;
  testutil::ForEachTreeFile(scanner, [&](const std::u16string& path, IFileInfo* e) {
    if (!(e->GetFlags() & FF_DIRECTORY)) out[Utf8(path)] = {e, testutil::ReadAll(scanner, e)};
  });
  return out;
}

// The engine over one image, listed as KESTRUM_DISKS lists a bare volume: a disk with one
// partition that spans it, read in 4096-byte sectors.
class Engine {
 public:
  explicit Engine(const std::string& image)
      : m_disks("KESTRUM_DISKS", image),
        m_volumes("KESTRUM_VOLUMES", ""),
        m_sector("KESTRUM_SECTOR_SIZE", std::to_string(kSector)) {
    if (InitKestrum(&m_top) != 0) return;
    m_top->EnumDevices(m_devices, &m_count, 100);
    for (int i = 0; i < m_count && m_devices[i]; ++i)
      if (m_devices[i]->GetType() == DT_PARTITION) m_volume = m_devices[i];
  }
  ~Engine() {
    testutil::ReleaseOwnedDevices(m_devices, m_count);
    if (m_top) m_top->Release();
  }
  IRecoveryManagement* top() { return m_top; }
  IDevice* volume() { return m_volume; }
  // Runs a scan of the volume: the scan's answer, or the creation's when that failed (and
  // *out stays null).
  int Scan(int kind, IScanOperator** out) {
    IFileManager* fm = nullptr;
    *out = nullptr;
    int rc = m_top->CreateScanOperator(m_volume, kind, &fm, out);
    if (rc != 0) return rc;
    QuietSink sink;
    return (*out)->Scan(&sink);
  }
  static void Free(IScanOperator* so) {
    if (!so) return;
    IFileManager* fm = so->GetFileManager();
    so->Release();
    if (fm) fm->Release();
  }

 private:
  testutil::ScopedEnv m_disks, m_volumes, m_sector;
  IRecoveryManagement* m_top = nullptr;
  IDevice* m_devices[100] = {};
  int m_count = 0;
  IDevice* m_volume = nullptr;
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
    auto found = Contents(so);
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
    std::u16string w1(first.begin(), first.end()), w2(second.begin(), second.end());
    ASSERT_EQ(a->SaveResult(w1.c_str(), nullptr), 0);
    IScanOperator* b = nullptr;
    ASSERT_EQ(engine.top()->LoadScanResult(w1.c_str(), &b, 0), 0);
    ASSERT_NE(b, nullptr);
    QuietSink sink;
    ASSERT_EQ(b->LoadResult(&sink, 0), 0);
    EXPECT_EQ(b->GetScanType(), c.type);
    auto loaded = Contents(b);
    EXPECT_EQ(ExpectExact(loaded, c.deletedOnly), c.files);
    EXPECT_EQ(loaded.size(), Contents(a).size());
    ASSERT_EQ(b->SaveResult(w2.c_str(), nullptr), 0);
    EXPECT_EQ(testutil::ReadFile(first), testutil::ReadFile(second));
    Engine::Free(b);
    Engine::Free(a);
  }
}
