// Format recovery: which file system a volume held and where it began, and the rebuilt
// tree of a quick-formatted NTFS volume checked against the files that were on it before.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "common/inc/ifilemanager.h"
#include "common/inc/inotifysink.h"
#include "common/inc/kestrum_types.h"
#include "common/inc/seams.h"
#include "filemanager/fileinfo.h"
#include "filesystems/format/format.h"
#include "filesystems/format/ntfsformat.h"
#include "filesystems/ntfs/ntfs.h"
#include "scanoperate/scanoperator.h"
#include "common/inc/bytes.h"
#include "memdevice.h"
#include "stubfilemanager.h"
#include "testutil.h"

namespace {

struct Found {
  uint32_t flags;
  uint64_t size;
  std::vector<uint8_t> data;
};

std::string Narrow(const char16_t* s) {
  std::string out;
  for (; s && *s; ++s) out += *s < 0x80 ? char(*s) : '?';
  return out;
}

// Keeps what the scan hands over, with each file's data read from the image at once.
class Collector : public StubFileManager {
 public:
  explicit Collector(const std::vector<uint8_t>* image) : m_image(image) {}
  std::map<std::string, Found> files;

  int AddFile(const char16_t* folder, IFileInfo* file) override {
    Found f{file->GetFlags(), file->GetSize(), {}};
    // Encrypted and compressed data is not plain bytes of the image.
    IRunList* runs = file->GetRunList();
    if (runs && (runs->IsResident() || !(f.flags & (FF_ENCRYPTED | FF_COMPRESSED))))
      f.data = GatherRunBytes(*m_image, file);
    files[Narrow(folder) + "/" + Narrow(file->GetName())] = std::move(f);
    file->Release();
    return 0;
  }

 private:
  const std::vector<uint8_t>* m_image;
};

class Sink : public INotifySink {
 public:
  int maxBefore100 = 0;
  bool saw100 = false;
  int Notify(int event, int64_t a, int64_t, void*) override {
    if (event == NE_PERCENT) {
      if (a == 100) saw100 = true;
      else if (a > maxBefore100) maxBefore100 = int(a);
    }
    return 0;
  }
};

struct ScanRun {
  int rc = -12345;
  std::unique_ptr<Collector> files;
  CFormatParam param;
  int scanType = 0;
  int64_t written = 0;
  Sink sink;
};

// A device whose sectors [badFrom, badTo) cannot be read: a read stops before the first of
// them, as a disk's does, and fails when it starts on one.
class BadSectors : public testutil::MemDevice {
 public:
  BadSectors(std::vector<uint8_t> bytes, int clusterBytes, uint64_t from, uint64_t to)
      : MemDevice(std::move(bytes), 512, clusterBytes), m_from(from), m_to(to) {}
  int ReadSectors(int64_t first, void* buf, uint32_t count) override {
    uint64_t f = uint64_t(first);
    if (m_from < m_to && f < m_to && f + count > m_from) {
      if (f >= m_from) return -1;
      count = uint32_t(m_from - f);
    }
    return MemDevice::ReadSectors(first, buf, count);
  }

 private:
  uint64_t m_from, m_to;
};

// A format scan of an image held in memory; hasInfo false makes it a bare disk.
ScanRun Scan(const std::vector<uint8_t>& image, uint32_t type, bool hasInfo = true,
         int clusterBytes = 4096, int fsCode = 0, uint64_t badFrom = 0, uint64_t badTo = 0) {
  ScanRun r;
  BadSectors dev(image, clusterBytes, badFrom, badTo);
  dev.SetOwnedByCaller(true);
  dev.info().PartitionType = type;
  dev.SetHasPartitionInfo(hasInfo);
  r.files.reset(new Collector(&dev.bytes()));
  IScanOperator* fmt = CreateFormatScanner(&dev);
  fmt->SetFileManager(r.files.get());
  if (fsCode) {
    IScanParam* p = nullptr;
    fmt->GetScanParam(&p);
    p->SetValue(fsCode);
  }
  r.rc = fmt->Scan(&r.sink);
  r.param = *static_cast<CFormat*>(fmt)->FormatParam();
  r.scanType = fmt->GetScanType();
  fmt->Release();
  r.written = dev.bytesWritten();
  return r;
}

struct Entry {
  std::string state, sha, path;
  uint64_t size;
};

std::vector<Entry> Manifest() {
  std::vector<Entry> out;
  std::string dir = testutil::Fixture("ntfs_format");
  if (dir.empty()) return out;
  std::ifstream in(dir + "/manifest.txt");
  Entry e;
  while (in >> e.state >> e.size >> e.sha >> e.path) out.push_back(e);
  return out;
}

std::vector<uint8_t> Original(const Entry& e) {
  return testutil::ReadFile(testutil::Fixture("ntfs_format") + "/" + e.path);
}

// Every file whose record survived comes back at its path, byte for byte; the deleted
// ones too, marked as found by the format scan.
void ExpectTreeBack(const ScanRun& r, bool dataToo) {
  auto manifest = Manifest();
  ASSERT_FALSE(manifest.empty());
  size_t live = 0, liveExact = 0, deleted = 0, deletedExact = 0;
  for (const Entry& e : manifest) {
    auto it = r.files->files.find("/Volume/" + e.path);
    if (e.state == "reused") continue;  // its clusters now hold frag.bin
    bool exact = it != r.files->files.end() && it->second.size == e.size &&
                 it->second.data == Original(e);
    if (e.state == "live") {
      EXPECT_NE(it, r.files->files.end()) << e.path;
      ++live;
      liveExact += exact;
      if (dataToo) {
        EXPECT_TRUE(exact) << e.path;
      }
    } else {
      ASSERT_NE(it, r.files->files.end()) << e.path;
      EXPECT_TRUE(it->second.flags & FF_FORMATTED) << e.path;
      ++deleted;
      deletedExact += exact;
      if (dataToo) {
        EXPECT_TRUE(exact) << e.path;
      }
    }
  }
  EXPECT_GT(live, 1000u);
  EXPECT_EQ(deleted, 10u);
  for (auto& kv : r.files->files) {
    EXPECT_EQ(kv.first.find("/$"), std::string::npos) << "system file listed: " << kv.first;
    // Only records deleted before the format carry the mark (the fillers whose clusters
    // frag.bin took are deleted records too).
    bool wasDeleted = kv.first.find("/Volume/a/x/") == 0 || kv.first.find("/Volume/fill/") == 0;
    if (!wasDeleted) {
      EXPECT_FALSE(kv.second.flags & FF_FORMATTED) << kv.first;
    }
  }
  EXPECT_TRUE(r.sink.saw100);
  EXPECT_LE(r.sink.maxBefore100, 98);
  EXPECT_EQ(r.written, 0);
}

class FormattedNtfs : public ::testing::Test {
 protected:
  void SetUp() override {
    path = testutil::Fixture("ntfs_format.img");
    if (path.empty()) GTEST_SKIP() << "no formatted NTFS fixture";
    before = testutil::FileChecksum(path);
  }
  void TearDown() override {
    if (!path.empty()) {
      EXPECT_EQ(before, testutil::FileChecksum(path));
    }
  }
  std::string path;
  uint64_t before = 0;
};

TEST_F(FormattedNtfs, QuickFormatBringsTheTreeBack) {
  ScanRun r = Scan(testutil::ReadFile(path), PT_NTFS);
  ASSERT_EQ(r.rc, 0);
  EXPECT_EQ(r.scanType, Scan_FormatNtfs);
  EXPECT_EQ(r.param.fileSystem, FS_NTFS);
  EXPECT_EQ(r.param.sectorsPerCluster, 8);
  ExpectTreeBack(r, true);
  // The files moved into a folder made after them are under that folder, not a stand-in.
  for (auto& kv : r.files->files) EXPECT_EQ(kv.first.find("DIR0"), std::string::npos) << kv.first;
  EXPECT_TRUE(r.files->files.count("/Volume/late/f0007.txt"));
  EXPECT_GT(r.files->files.at("/Volume/a/frag.bin").size, 1000000u);
}

// Unreadable sectors in front of the $MFT cost nothing: the search reads on after them.
// It used to stop at the first short batch and found no file at all. The scan says that
// it finished past unreadable sectors.
TEST_F(FormattedNtfs, UnreadableSectorsDoNotEndTheSearch) {
  ScanRun r = Scan(testutil::ReadFile(path), PT_NTFS, true, 4096, 0, 16, 24);
  ASSERT_EQ(r.rc, RC_READ_FAILED);
  ExpectTreeBack(r, true);
}

// Scan kind 0x900 from the scanner factory: the NTFS reader alone, with no format scan
// around it, brings the tree back as the format scan does, from the boot sector it finds
// itself; a second scan of the same object gives the same.
TEST_F(FormattedNtfs, ScanKind0x900ReadsTheVolumeAsNtfs) {
  auto image = testutil::ReadFile(path);
  BadSectors dev(image, 4096, 0, 0);
  dev.SetOwnedByCaller(true);
  dev.info().PartitionType = PT_NTFS;
  CIScanDeviceFactory factory;
  IScanOperator* lone = factory.CreateScanner(&dev, Scan_FormatNtfs);
  ASSERT_NE(lone, nullptr);
  EXPECT_EQ(lone->GetScanType(), Scan_FormatNtfs);
  for (int pass = 0; pass < 2; ++pass) {
    ScanRun r;
    r.files.reset(new Collector(&dev.bytes()));
    lone->SetFileManager(r.files.get());
    r.rc = lone->Scan(&r.sink);
    r.written = dev.bytesWritten();
    EXPECT_EQ(r.rc, 0) << pass;
    ExpectTreeBack(r, true);
  }
  lone->Release();
  // With sectors of the $MFT unreadable it still finishes, and says what it could not read.
  BadSectors bad(image, 4096, 16, 24);
  bad.SetOwnedByCaller(true);
  bad.info().PartitionType = PT_NTFS;
  lone = factory.CreateScanner(&bad, Scan_FormatNtfs);
  ScanRun r;
  r.files.reset(new Collector(&bad.bytes()));
  lone->SetFileManager(r.files.get());
  EXPECT_EQ(lone->Scan(&r.sink), RC_READ_FAILED);
  lone->Release();
  ExpectTreeBack(r, true);
}

// A boot sector whose $MFT cluster names another record: the reader finds the records
// themselves, so the tree comes back as with the boot sector's own value.
TEST_F(FormattedNtfs, MftClusterOfAnotherRecordChangesNothing) {
  auto image = testutil::ReadFile(path);
  uint64_t lcn = 0;
  for (int i = 0; i < 8; ++i) lcn |= uint64_t(image[48 + i]) << (8 * i);
  for (int i = 0; i < 8; ++i) image[48 + i] = uint8_t((lcn + 1) >> (8 * i));
  ScanRun r = Scan(image, PT_NTFS);
  ASSERT_EQ(r.rc, 0);
  EXPECT_EQ(r.param.sectorsPerCluster, 8);
  ExpectTreeBack(r, true);
}

TEST_F(FormattedNtfs, ZeroedBootSectorIsOutvotedByTheRecords) {
  auto image = testutil::ReadFile(testutil::Fixture("ntfs_format_noboot.img"));
  ASSERT_FALSE(image.empty());
  // The device claims 64 KiB clusters: only the vote can give the right size.
  ScanRun r = Scan(image, PT_NTFS, true, 65536);
  ASSERT_EQ(r.rc, 0);
  EXPECT_EQ(r.param.sectorsPerCluster, 8);
  ExpectTreeBack(r, true);
}

TEST_F(FormattedNtfs, WholeDiskWithoutBootSectorFindsTheVolumeStart) {
  auto image = testutil::ReadFile(testutil::Fixture("ntfs_format_disk.img"));
  ASSERT_FALSE(image.empty());
  for (bool asUnallocated : {false, true}) {
    ScanRun r = Scan(image, PT_UNALLOCATED, asUnallocated, 0);
    ASSERT_EQ(r.rc, 0);
    EXPECT_EQ(r.param.bootSector, 2048u);
    EXPECT_EQ(r.param.sectorsPerCluster, 8);
    ExpectTreeBack(r, true);
  }
}

TEST_F(FormattedNtfs, StrayMftRecordsBeforeTheRealOneAreNotTakenForIt) {
  auto image = testutil::ReadFile(testutil::Fixture("ntfs_format_disk.img"));
  ASSERT_FALSE(image.empty());
  // Find the real record 0 and the mirror; copy the mirror's records 0 and 1 in front
  // of the volume, where they name a start that holds no second copy.
  std::vector<size_t> mft;
  for (size_t off = 2048 * 512; off + 1024 <= image.size() && mft.size() < 4; off += 512)
    if (std::memcmp(image.data() + off, "FILE", 4) == 0 && image[off + 44] == 0 &&
        image[off + 45] == 0 && image[off + 46] == 0 && image[off + 47] == 0)
      mft.push_back(off);
  ASSERT_GE(mft.size(), 2u);
  size_t mirror = mft.back();
  std::memcpy(image.data() + 300 * 512, image.data() + mirror, 2048);
  std::memcpy(image.data() + 1500 * 512, image.data() + mirror, 2048);
  ScanRun r = Scan(image, PT_UNALLOCATED);
  ASSERT_EQ(r.rc, 0);
  EXPECT_EQ(r.param.bootSector, 2048u);
  ExpectTreeBack(r, true);
}

TEST_F(FormattedNtfs, ReformatWithAnotherClusterSize) {
  auto image = testutil::ReadFile(testutil::Fixture("ntfs_format_recluster.img"));
  if (image.empty()) GTEST_SKIP();
  ScanRun r = Scan(image, PT_NTFS);
  ASSERT_EQ(r.rc, 0);
  // The new boot sector's 1 KiB clusters are trusted: names and folders come back, and so
  // do resident files, but data that lies in clusters reads from the wrong place.
  auto manifest = Manifest();
  size_t named = 0, resident = 0, residentExact = 0, placedExact = 0, placed = 0;
  for (const Entry& e : manifest) {
    if (e.state != "live") continue;
    auto it = r.files->files.find("/Volume/" + e.path);
    if (it == r.files->files.end()) continue;
    ++named;
    bool exact = it->second.data == Original(e);
    if (e.size < 600) {
      ++resident;
      residentExact += exact;
    } else {
      ++placed;
      placedExact += exact;
    }
  }
  EXPECT_GT(named, 1000u);
  EXPECT_EQ(resident, residentExact);
  RecordProperty("cluster_files", int(placed));
  RecordProperty("cluster_files_exact", int(placedExact));
  EXPECT_LT(placedExact, placed);
}

// The same volume on a whole disk, where the format scan's own search found its boot
// sector: the start is taken from it, the cluster size from the records' vote. Their 4 KiB
// clusters place every file; the new boot sector's 1 KiB would misplace those in clusters.
TEST_F(FormattedNtfs, ReformatWithAnotherClusterSizeOnAWholeDisk) {
  auto volume = testutil::ReadFile(testutil::Fixture("ntfs_format_recluster.img"));
  if (volume.empty()) GTEST_SKIP();
  std::vector<uint8_t> image(2048 * 512 + volume.size() + (1 << 20), 0);
  std::memcpy(image.data() + 2048 * 512, volume.data(), volume.size());
  ScanRun r = Scan(image, PT_UNALLOCATED, false);
  ASSERT_EQ(r.rc, 0);
  EXPECT_EQ(r.param.bootSector, 2048u);
  EXPECT_EQ(r.param.sectorsPerCluster, 8);
  size_t named = 0, exact = 0;
  for (const Entry& e : Manifest()) {
    if (e.state != "live") continue;
    auto it = r.files->files.find("/Volume/" + e.path);
    if (it == r.files->files.end()) continue;
    ++named;
    exact += it->second.data == Original(e);
  }
  EXPECT_GT(named, 1000u);
  EXPECT_EQ(exact, named);
  EXPECT_EQ(r.written, 0);
}

// Record numbers are ids of their own: the folder "late" renumbered 123456789 (once the
// graph's orphan folder id), its files naming that number as their parent, and a file of
// "bulk" numbered the same all come back at their paths.
TEST_F(FormattedNtfs, RecordNumberOfTheOldOrphanIdIsAnOrdinaryRecord) {
  auto image = testutil::ReadFile(path);
  const uint32_t kOld = 123456789;
  CNTFS ntfs(nullptr);
  struct Rec {
    size_t off;
    uint32_t number;
    uint64_t parent;
    uint32_t parentAt;  // offset of the first $FILE_NAME's parent reference
    bool dir;
    std::u16string name;
  };
  std::vector<Rec> recs;
  for (size_t off = 0; off + 1024 <= image.size(); off += 512) {
    if (std::memcmp(image.data() + off, "FILE", 4) != 0) continue;
    std::vector<uint8_t> r(image.begin() + off, image.begin() + off + 1024);
    if (ntfs.ApplyFixup(r.data()) != 0) continue;
    Rec e{off, kbytes::Le32(&r[44]), 0, 0, false, u""};
    if (ntfs.GetFileName(r.data(), e.name, &e.parent, &e.dir, nullptr) != 0) continue;
    uint32_t cursor = 0;
    NtfsAttr a;
    while (ntfs.NextAttribute(r.data(), &cursor, &a) == 1)
      if (a.type == NTFS_AT_FILE_NAME && !e.parentAt) e.parentAt = a.valueOffset;
    recs.push_back(e);
  }
  std::set<uint32_t> late;
  for (const Rec& e : recs)
    if (e.dir && e.parent == 5 && e.name == u"late") late.insert(e.number);
  ASSERT_FALSE(late.empty());
  size_t children = 0;
  bool bulkDone = false;
  for (const Rec& e : recs) {
    uint8_t* r = image.data() + e.off;
    if (late.count(e.number) && e.dir) kbytes::PutLe32(r + 44, kOld);
    if (late.count(uint32_t(e.parent)) && e.parent < (1ull << 32)) {
      ASSERT_LT(e.parentAt + 8, 510u);  // clear of the sector tail
      uint64_t ref = kbytes::Le64(r + e.parentAt);
      kbytes::PutLe64(r + e.parentAt, (ref & 0xFFFF000000000000ull) | kOld);
      ++children;
    }
    if (!bulkDone && !e.dir && e.name == u"f0050.txt" && !late.count(uint32_t(e.parent))) {
      kbytes::PutLe32(r + 44, kOld);
      bulkDone = true;
    }
  }
  EXPECT_GE(children, 50u);
  ScanRun r = Scan(image, PT_NTFS);
  ASSERT_EQ(r.rc, 0);
  ExpectTreeBack(r, true);
  EXPECT_TRUE(r.files->files.count("/Volume/late/f0007.txt"));
  EXPECT_TRUE(r.files->files.count("/Volume/bulk/f0050.txt"));
}

TEST_F(FormattedNtfs, MutatedRecordsNeverCrashOrHang) {
  auto clean = testutil::ReadFile(path);
  std::vector<size_t> records;
  for (size_t off = 0; off + 1024 <= clean.size(); off += 512)
    if (std::memcmp(clean.data() + off, "FILE", 4) == 0) records.push_back(off);
  ASSERT_GT(records.size(), 1000u);
  auto start = std::chrono::steady_clock::now();
  for (uint32_t round = 0; round < 3; ++round) {
    auto image = clean;
    auto noise = testutil::RandomBytes(records.size() * 8, 77 + round);
    for (size_t i = 0; i < records.size(); ++i) {
      uint8_t* rec = image.data() + records[i];
      for (int k = 0; k < 4; ++k) {
        uint8_t pos = noise[i * 8 + k], val = noise[i * 8 + 4 + k];
        // Header fields, the first attribute headers and the run bytes where it hurts most.
        size_t at = k == 0 ? pos % 64 : k == 1 ? 56 + pos % 200 : k == 2 ? 256 + pos : pos * 3;
        rec[at % 1024] = val;
      }
    }
    ScanRun r = Scan(image, round == 2 ? PT_UNALLOCATED : PT_NTFS, true, round == 1 ? 0 : 4096);
    EXPECT_EQ(r.written, 0);
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(300));
}

// Copies of record 0 all over a sound volume, each with its $MFT's run starting where the
// copy lies, as an old $MFT's record 0 does: each is taken as an old $MFT (up to a bound),
// and telling whether a record lies in one stays a look-up, not a pass over all of them.
TEST(NtfsFormatHostile, CopiesOfRecordZeroNamingThemselvesEndInTime) {
  testutil::TempDir tmp;
  std::string f = tmp.file("v.img");
  const std::string make = "truncate -s 96M " + f + " && mkntfs -F -Q -q -c 512 " + f + " >/dev/null 2>&1";
  if (std::system(make.c_str()) != 0) GTEST_SKIP() << "mkntfs missing";
  auto image = testutil::ReadFile(f);
  ASSERT_EQ(image.size(), 96u << 20);
  const uint64_t mft = kbytes::Le64(&image[48]) * image[13] * 512;
  ASSERT_EQ(std::memcmp(&image[mft], "FILE", 4), 0);
  std::vector<uint8_t> zero(image.begin() + mft, image.begin() + mft + 1024);
  // Its $DATA: a run of one cluster (512 bytes) at the copy's own sector.
  size_t at = kbytes::Le16(&zero[20]);
  while (at + 8 <= zero.size() && kbytes::Le32(&zero[at]) != 0x80) at += kbytes::Le32(&zero[at + 4]);
  ASSERT_LT(at + 0x40, zero.size());
  ASSERT_EQ(zero[at + 8], 1);  // non-resident
  kbytes::PutLe64(&zero[at + 0x28], 512);
  const size_t runs = at + kbytes::Le16(&zero[at + 0x20]);
  ASSERT_GE(kbytes::Le32(&zero[at + 4]) - (runs - at), 7u);
  uint32_t copies = 0;
  for (uint64_t sector = 4096; (sector + 2) * 512 <= image.size(); sector += 2, ++copies) {
    zero[runs] = 0x41, zero[runs + 1] = 1, zero[runs + 6] = 0;
    kbytes::PutLe32(&zero[runs + 2], uint32_t(sector));
    std::memcpy(&image[sector * 512], zero.data(), zero.size());
  }
  ASSERT_GT(copies, 70000u);
  auto t0 = std::chrono::steady_clock::now();
  ScanRun r = Scan(image, PT_NTFS, true, 512);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(300));
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(r.written, 0);
}

// ---------------------------------------------------------------------------------------
// The dispatcher on its own

TEST(FormatDispatch, NoFileSystemGives104InBoundedTime) {
  std::vector<std::vector<uint8_t>> images{testutil::RandomBytes(8 << 20, 5)};
  std::string ext4 = testutil::Fixture("ext4_plain.img");
  if (!ext4.empty()) images.push_back(testutil::ReadFile(ext4));
  for (auto& image : images) {
    for (uint32_t type : {0x83u, uint32_t(PT_UNKNOWN_FS), uint32_t(PT_UNALLOCATED)}) {
      auto start = std::chrono::steady_clock::now();
      ScanRun r = Scan(image, type);
      EXPECT_EQ(r.rc, RC_WRONG_FS) << type;
      EXPECT_EQ(r.scanType, Scan_Format);
      EXPECT_TRUE(r.files->files.empty());
      EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(300));
    }
  }
}

TEST(FormatDispatch, TypeBytesAndReaderResults) {
  std::vector<uint8_t> image(2 << 20, 0);
  testutil::MemDevice dev(image);
  dev.SetOwnedByCaller(true);
  {
    CFormat f(&dev);
    EXPECT_EQ(f.GetScanType(), Scan_Format);  // no reader yet
    uint64_t boot = 9, scanned = 9;
    int fs = -1;
    struct { uint32_t type; int fs; } table[] = {
        {0x01, FS_FAT16}, {0x04, FS_FAT16}, {0x06, FS_FAT16}, {0x0E, FS_FAT16}, {0x14, FS_FAT16},
        {0x16, FS_FAT16}, {0x1E, FS_FAT16}, {0x0B, FS_FAT32}, {0x1B, FS_FAT32}, {0x0C, FS_FAT32},
        {0x1C, FS_FAT32}, {0x07, FS_NTFS},
        {0x17, FS_NTFS},  {0xB0, FS_EXFAT}, {0xC0, FS_EXFAT}, {0xAF, FS_HFSP},  {0xBF, FS_HFSP},
        {0x05, 0},        {0x0F, 0},        {0xEE, 0}};
    for (auto& t : table) {
      dev.info().PartitionType = t.type;
      EXPECT_EQ(f.FsCodeFromPartitionType(&boot, &fs, &scanned), 0) << t.type;
      EXPECT_EQ(fs, t.fs) << t.type;
      EXPECT_EQ(boot, 0u);
    }
    // A type byte of another system sends the search to the sectors, which hold nothing.
    dev.info().PartitionType = 0x83;
    EXPECT_EQ(f.FsCodeFromPartitionType(&boot, &fs, &scanned), RC_WRONG_FS);
    EXPECT_EQ(fs, 0);
    std::memcpy(dev.bytes().data() + 3, "EXFAT   ", 8);
    dev.info().PartitionType = 0x07;
    EXPECT_EQ(f.FsCodeFromPartitionType(&boot, &fs, &scanned), 0);
    EXPECT_EQ(fs, FS_EXFAT);
  }
  // The FAT reader finds no FAT geometry on this device: its failure, never success.
  dev.info().PartitionType = 0x01;
  Sink sink;
  IScanOperator* f = CreateFormatScanner(&dev);
  EXPECT_EQ(f->Scan(&sink), RC_FAIL);
  f->Release();
  // A reader's failure is the scan's result: the NTFS reader refuses a null sink.
  f = CreateFormatScanner(&dev);
  IScanParam* p = nullptr;
  ASSERT_EQ(f->GetScanParam(&p), 0);
  p->SetValue(FS_NTFS);
  EXPECT_EQ(f->Scan(nullptr), RC_BAD_ARGUMENT);
  EXPECT_EQ(f->GetScanType(), Scan_FormatNtfs);
  f->Release();
  // Made on its own, the NTFS reader makes the dispatcher it takes its geometry from: on
  // this empty device it finds nothing, and says so without failing.
  IScanOperator* lone = CreateNtfsFormatScanner(&dev);
  CountingFileManager none;
  lone->SetFileManager(&none);
  EXPECT_EQ(lone->Scan(&sink), 0);
  EXPECT_EQ(none.files, 0u);
  EXPECT_EQ(lone->GetScanType(), Scan_FormatNtfs);
  lone->Release();
}

TEST(FormatDispatch, ZeroSectorSizeNeverDivides) {
  std::vector<uint8_t> image(1 << 20, 0);
  testutil::MemDevice dev(image, 512);
  dev.SetOwnedByCaller(true);
  // A sector size of 0 from the device.
  class ZeroSector : public testutil::MemDevice {
   public:
    using MemDevice::MemDevice;
    int GetClusterInfo(int* c, int* s) override {
      *c = 0;
      *s = 0;
      return 0;
    }
  } zero(image);
  zero.SetOwnedByCaller(true);
  for (uint32_t type : {0x07u, uint32_t(PT_UNKNOWN_FS), uint32_t(PT_UNALLOCATED)}) {
    zero.info().PartitionType = type;
    CFormat f(&zero);
    Sink sink;
    int rc = f.Scan(&sink);
    EXPECT_TRUE(rc == RC_MISSING || rc == RC_WRONG_FS) << rc;
  }
}

TEST(FormatDispatch, ContentSearchNeedsSixRecordsOrThreeDotSectors) {
  for (int records : {5, 6}) {
    std::vector<uint8_t> image(4 << 20, 0);
    for (int i = 0; i < records; ++i) std::memcpy(image.data() + 100 * 512 + i * 4096, "FILE", 4);
    testutil::MemDevice dev(image);
    dev.SetOwnedByCaller(true);
    CFormat f(&dev);
    uint64_t boot = 0, scanned = 0;
    int fs = 0;
    int rc = f.DetectFsByContent(&boot, &fs, &scanned);
    EXPECT_EQ(rc, records == 6 ? 0 : RC_WRONG_FS);
    EXPECT_EQ(fs, records == 6 ? FS_NTFS : 0);
  }
  uint8_t dots[512] = {};
  std::memcpy(dots, ".          ", 11);
  std::memcpy(dots + 32, "..         ", 11);
  EXPECT_EQ(CFormat::IsFatDotEntries(dots), 0);
  dots[33] = 'x';
  EXPECT_NE(CFormat::IsFatDotEntries(dots), 0);
  uint8_t up[512] = {};
  for (int i = 0; i < 64; ++i) up[2 * i] = uint8_t(i);
  EXPECT_EQ(CFormat::IsExfatUpcase(up, 512), 0);
  EXPECT_NE(CFormat::IsExfatUpcase(up, 16), 0);
  up[10] = 0x77;
  EXPECT_NE(CFormat::IsExfatUpcase(up, 512), 0);
}

}  // namespace
