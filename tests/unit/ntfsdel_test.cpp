// Deleted files of real NTFS volumes made by mkntfs and ntfs-3g: found at their paths, with
// their sizes and dates, read back byte for byte; damaged volumes end with a code, not a crash.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "common/inc/bytes.h"
#include "common/inc/ifilemanager.h"
#include "common/inc/ifileop.h"
#include "common/inc/inotifysink.h"
#include "common/inc/irecoverymanagement.h"
#include "common/inc/kestrum_types.h"
#include "common/inc/seams.h"
#include "filemanager/fileinfo.h"
#include "filesystems/ntfs/ntfsdel.h"
#include "fixtures.h"
#include "memdevice.h"
#include "rawrecovery/devicebitmap.h"
#include "testutil.h"

using testutil::MemDevice;

namespace {

using testutil::Utf8;

// Collects the found files by full path; answers stop after `stopAfter` progress events.
struct Collector : INotifySink {
  std::map<std::string, IFileInfo*> files;
  int finished = 0;
  int progress = 0;
  int stopAfter = -1;
  int Notify(int event, int64_t a, int64_t, void* obj) override {
    if (event == NE_FOUND_FILE) {
      IFileInfo* f = static_cast<IFileInfo*>(obj);
      std::string dir = Utf8(reinterpret_cast<const char16_t*>(a));
      files[dir + "/" + Utf8(f->GetName())] = f;
    } else if (event == NE_FINISHED) {
      ++finished;
    } else if (event == NE_PERCENT) {
      if (stopAfter >= 0 && ++progress > stopAfter) return -1;
    }
    return 0;
  }
};

// A scan of an image held in memory, with its results tree.
struct MemScan {
  MemDevice* dev;
  IFileManager* fm;
  IScanOperator* scanner;
  Collector sink;
  int rc = 0;
  explicit MemScan(std::vector<uint8_t> bytes, int sectorSize = 512) {
    NtfsBootInfo boot;
    int cluster = ParseNtfsBootSector(bytes.data(), bytes.size(), &boot) == 0 ? int(boot.clusterBytes) : 4096;
    dev = new MemDevice(std::move(bytes), sectorSize, cluster);
    dev->SetOwnedByCaller(true);
    dev->SetFileSystem(FS_NTFS);
    fm = CreateFileManager();
    fm->SetStorageDevice(dev);
    scanner = CreateNtfsDelScanner(dev);
    scanner->SetFileManager(fm);
  }
  int Run() { return rc = scanner->Scan(&sink); }
  ~MemScan() {
    scanner->Release();
    fm->Release();
    delete dev;
  }
};

std::vector<uint8_t> ReadAll(IScanOperator* scanner, IFileInfo* f, uint32_t chunk) {
  IFileOP* op = nullptr;
  std::vector<uint8_t> out;
  if (scanner->GetFileOp(f, &op) != 0 || !op) return out;
  std::vector<uint8_t> buf(chunk);
  for (uint64_t off = 0; off < f->GetSize();) {
    uint32_t got = 0;
    if (op->Read(buf.data(), chunk, off, &got) != 0 || got == 0) break;
    out.insert(out.end(), buf.begin(), buf.begin() + got);
    off += got;
  }
  return out;
}

// The engine keeps dates: the local midnight of the file's day.
uint64_t LocalMidnight(int64_t t) {
  time_t tt = time_t(t);
  struct tm tm;
  localtime_r(&tt, &tm);
  tm.tm_hour = tm.tm_min = tm.tm_sec = 0;
  tm.tm_isdst = -1;
  return uint64_t(mktime(&tm));
}

// What The Sleuth Kit reads for a path of the image ("" when it does not know it).
std::string IcatSha(const std::string& img, const std::string& path) {
  if (!testutil::HaveTool("fls") || !testutil::HaveTool("icat")) return "";
  std::string list = testutil::RunCommand("fls -r -d -p '" + img + "' 2>/dev/null");
  std::string rel = path.substr(1);
  size_t pos = 0;
  while ((pos = list.find("\t" + rel + "\n", pos)) != std::string::npos) {
    size_t start = list.rfind('\n', pos);
    std::string line = list.substr(start == std::string::npos ? 0 : start + 1, pos - start);
    size_t colon = line.find(':');
    size_t num = line.find_first_of("0123456789", line.find(' '));
    if (colon != std::string::npos && num != std::string::npos) {
      std::string inode = line.substr(num, line.find_first_not_of("0123456789-", num) - num);
      std::string out = testutil::RunCommand("icat -r '" + img + "' " + inode + " | sha256sum");
      return out.substr(0, 64);
    }
    ++pos;
  }
  return "";
}

// Full path as the results tree shows it, or "" when a component is too long for its path
// limit (names of 255 characters under a folder do not fit MAX_PATH_ZQ).
std::string TreePath(const std::string& path) { return "/Volume" + path; }

class NtfsDelFixture : public ::testing::TestWithParam<const char*> {};

}  // namespace

TEST_P(NtfsDelFixture, DeletedFilesComeBackAtTheirPathsByteForByte) {
  testutil::FixtureManifest m;
  if (!m.Load(GetParam())) GTEST_SKIP() << "no " << GetParam() << " image";
  std::string img = m.ImagePath();
  uint64_t before = testutil::FileChecksum(img);
  MemScan s(testutil::ReadFile(img));
  ASSERT_EQ(0, s.Run());
  EXPECT_EQ(1, s.sink.finished);
  EXPECT_EQ(0, s.dev->bytesWritten());
  int checked = 0, bytesChecked = 0;
  for (const testutil::ManifestEntry* e : m.Deleted()) {
    if (e->isDir) continue;
    std::string where = TreePath(e->path);
    auto it = s.sink.files.find(where);
    // A name of 255 characters under a folder is past the results tree's path limit.
    size_t nameChars = 0;
    for (unsigned char c : e->path.substr(e->path.rfind('/') + 1)) nameChars += (c & 0xC0) != 0x80;
    if (nameChars > 200) continue;
    ASSERT_NE(it, s.sink.files.end()) << "missing " << where;
    IFileInfo* f = it->second;
    EXPECT_EQ(e->size, f->GetSize()) << where;
    EXPECT_EQ(LocalMidnight(e->mtime), f->GetModifyTime()) << where;
    ++checked;
    std::vector<uint8_t> got = ReadAll(s.scanner, f, 7777);
    if (m.SameAsOriginal(e->path, got)) {
      ++bytesChecked;
      continue;
    }
    // Only clusters given to another file since may differ: the independent reader agrees.
    std::string oracle = IcatSha(img, e->path);
    EXPECT_TRUE(!oracle.empty() && oracle != e->sha256 && oracle == testutil::Sha256Hex(got))
        << "bytes of " << where << " differ from the original";
  }
  EXPECT_GT(checked, 5);
  EXPECT_GT(bytesChecked, 5);
  for (auto& kv : s.sink.files)
    EXPECT_EQ(kv.first.find("/Volume/Lost Location"), std::string::npos) << kv.first;
  EXPECT_EQ(before, testutil::FileChecksum(img));
}

INSTANTIATE_TEST_SUITE_P(Images, NtfsDelFixture, ::testing::Values("ntfs", "ntfs4k"));

TEST(NtfsDel, EveryKindOfFileReadsBackAtAnyOffset) {
  testutil::FixtureManifest m;
  if (!m.Load("ntfs")) GTEST_SKIP() << "no ntfs image";
  MemScan s(testutil::ReadFile(m.ImagePath()));
  ASSERT_EQ(0, s.Run());
  // Resident, multi-cluster, fragmented, compressed, sparse, moved into a later folder.
  for (const char* path : {"/docs/note2.txt", "/data/big2.bin", "/frag/a.bin",
                           "/compressed/text2.txt", "/sparse/gone.bin", "/later/moved.bin"}) {
    auto it = s.sink.files.find(TreePath(path));
    ASSERT_NE(it, s.sink.files.end()) << path;
    IFileInfo* f = it->second;
    std::vector<uint8_t> orig = m.Original(path);
    ASSERT_EQ(orig.size(), f->GetSize()) << path;
    IFileOP* op = nullptr;
    ASSERT_EQ(0, s.scanner->GetFileOp(f, &op));
    // Reads at odd offsets and lengths, straddling units, runs and holes.
    uint64_t size = orig.size();
    for (uint64_t off : {uint64_t(0), uint64_t(1), uint64_t(4095), uint64_t(65535), size / 3,
                         size / 2 + 17, size - 1}) {
      if (off >= size) continue;
      std::vector<uint8_t> buf(70001, 0xCC);
      uint32_t got = 0;
      ASSERT_EQ(0, op->Read(buf.data(), uint32_t(buf.size()), off, &got)) << path << "@" << off;
      uint64_t want = std::min<uint64_t>(buf.size(), size - off);
      ASSERT_EQ(want, got) << path << "@" << off;
      EXPECT_EQ(0, memcmp(buf.data(), orig.data() + off, got)) << path << "@" << off;
    }
    // Past the end, even far past 4 GiB: nothing, and no fault.
    uint8_t b[16];
    uint32_t got = 99;
    op->Read(b, sizeof b, size, &got);
    EXPECT_EQ(0u, got) << path;
    got = 99;
    op->Read(b, sizeof b, (uint64_t(1) << 40) + 3, &got);
    EXPECT_EQ(0u, got) << path;
  }
  auto f = s.sink.files.find(TreePath("/compressed/text2.txt"));
  EXPECT_TRUE(f->second->GetFlags() & FF_COMPRESSED);
  f = s.sink.files.find(TreePath("/docs/note2.txt"));
  EXPECT_TRUE(f->second->GetFlags() & FF_RESIDENT);
}

TEST(NtfsDel, FoldersYoungerThanTheirFilesKeepThemAcrossFlushes) {
  testutil::FixtureManifest m;
  if (!m.Load("ntfs")) GTEST_SKIP() << "no ntfs image";
  MemScan s(testutil::ReadFile(m.ImagePath()));
  ASSERT_EQ(0, s.Run());
  CNtfsDel* scanner = static_cast<CNtfsDel*>(s.scanner);
  EXPECT_GT(scanner->HighestRecord(), 2000u);
  // The bulk files were made before their folders; the deleted ones must sit in them.
  int bulk = 0;
  for (const testutil::ManifestEntry* e : m.Deleted()) {
    if (e->isDir || e->path.compare(0, 6, "/many/") != 0) continue;
    ++bulk;
    EXPECT_TRUE(s.sink.files.count(TreePath(e->path))) << e->path;
  }
  EXPECT_GT(bulk, 100);
  for (auto& kv : s.sink.files) EXPECT_EQ(kv.first.find("Lost Location"), std::string::npos) << kv.first;
}

TEST(NtfsDel, VolumeBitmapAndStop) {
  testutil::FixtureManifest m;
  if (!m.Load("ntfs")) GTEST_SKIP() << "no ntfs image";
  std::vector<uint8_t> bytes = testutil::ReadFile(m.ImagePath());
  MemScan s(bytes);
  IDeviceBitmap* bm = s.scanner->CreateDeviceBitmap();
  ASSERT_NE(nullptr, bm);
  EXPECT_EQ(1024, bm->GetClusterSize());
  EXPECT_TRUE(bm->BitGet(0));  // the boot sector's cluster
  // The $Bitmap is the volume's: compare with what ntfs-3g marked for the boot file and the end.
  uint32_t count = bm->GetClusterCount();
  EXPECT_EQ(bytes.size() / 1024, count);
  int used = 0;
  for (uint32_t i = 0; i < count; ++i) used += bm->BitGet(i);
  EXPECT_GT(used, int(count / 2));  // the filler made the volume nearly full
  EXPECT_LT(used, int(count));
  bm->Release();
  uint64_t start = 9;
  EXPECT_EQ(0, static_cast<CNtfsDel*>(s.scanner)->GetDataStartSector(&start));
  EXPECT_EQ(0u, start);

  // A sink that stops at once: -1, the finished event still comes.
  MemScan stop(bytes);
  stop.sink.stopAfter = 0;
  EXPECT_EQ(-1, stop.Run());
  EXPECT_EQ(1, stop.sink.finished);
  EXPECT_EQ(9, stop.scanner->GetScanType());

  // Without a $Bitmap to read (record 6 names another file, or the $MFT is unusable) the
  // bitmap still comes, with every cluster free: a raw scan then reads them all.
  NtfsBootInfo boot;
  ASSERT_EQ(0, ParseNtfsBootSector(bytes.data(), bytes.size(), &boot));
  const size_t mft = size_t(boot.mftLcn * boot.clusterBytes);
  const std::u16string bitmapName = u"$Bitmap";
  const uint8_t* nameBytes = reinterpret_cast<const uint8_t*>(bitmapName.data());
  for (int damage = 0; damage < 2; ++damage) {
    std::vector<uint8_t> d = bytes;
    if (damage == 0) {
      auto rec6 = d.begin() + mft + 6 * boot.recordBytes;
      auto at = std::search(rec6, rec6 + boot.recordBytes, nameBytes, nameBytes + 14);
      ASSERT_NE(at, rec6 + boot.recordBytes);
      at[2] = 'C';
    } else {
      std::memset(&d[mft], 0, boot.recordBytes);
    }
    MemScan s(d);
    IDeviceBitmap* clear = s.scanner->CreateDeviceBitmap();
    ASSERT_NE(nullptr, clear) << damage;
    EXPECT_EQ(1024, clear->GetClusterSize());
    EXPECT_EQ(bytes.size() / 1024, clear->GetClusterCount());
    uint32_t set = 0;
    for (uint32_t i = 0; i < clear->GetClusterCount(); ++i) set += clear->BitGet(i);
    EXPECT_EQ(0u, set) << damage;
    clear->Release();
  }

  // The $Bitmap counts the boot sector's clusters, whatever the facade's partition record
  // says (it may keep a default of 8 sectors).
  MemDevice other(bytes, 512, 4096);
  other.SetOwnedByCaller(true);
  other.SetFileSystem(FS_NTFS);
  IScanOperator* scanner = CreateNtfsDelScanner(&other);
  IDeviceBitmap* own = scanner->CreateDeviceBitmap();
  ASSERT_NE(nullptr, own);
  EXPECT_EQ(1024, own->GetClusterSize());
  EXPECT_EQ(bytes.size() / 1024, own->GetClusterCount());
  own->Release();
  scanner->Release();
}

TEST(NtfsDel, WholeEngineFindsAndReadsFilesOnAVolume) {
  testutil::FixtureManifest m;
  if (!m.Load("ntfs")) GTEST_SKIP() << "no ntfs image";
  testutil::TempDir dir;
  testutil::ScopedEnv disks("KESTRUM_DISKS", dir.file("none.img"));
  testutil::ScopedEnv vols("KESTRUM_VOLUMES", "E=" + m.ImagePath());
  uint64_t before = testutil::FileChecksum(m.ImagePath());
  IRecoveryManagement* rm = nullptr;
  ASSERT_EQ(0, InitKestrum(&rm));
  IDevice* devices[100] = {};
  int n = 0;
  rm->EnumDevices(devices, &n, 100);
  IDevice* volume = nullptr;
  for (int i = 0; i < n && devices[i]; ++i)
    if (devices[i]->GetType() == DT_LETTER_VOLUME) volume = devices[i];
  ASSERT_NE(nullptr, volume);
  for (int kind : {Scan_Deleted, Scan_DeletedNtfs}) {
    IFileManager* fm = nullptr;
    IScanOperator* so = nullptr;
    ASSERT_EQ(0, rm->CreateScanOperator(volume, kind, &fm, &so)) << kind;
    EXPECT_EQ(Scan_DeletedNtfs, so->GetScanType());
    Collector sink;
    ASSERT_EQ(0, so->Scan(&sink));
    for (const char* path : {"/data/big2.bin", "/frag/a.bin", "/compressed/text2.txt",
                             "/sparse/gone.bin", "/docs/note2.txt", "/deep/level1/level2/level3/level4/level5/file5.txt"}) {
      auto it = sink.files.find(TreePath(path));
      ASSERT_NE(it, sink.files.end()) << path;
      EXPECT_TRUE(m.SameAsOriginal(path, ReadAll(so, it->second, 65536))) << path;
    }
    so->Release();
    fm->Release();  // and with it the storage facade
  }
  for (int i = 0; i < n && devices[i]; ++i) devices[i]->Release();
  rm->Release();
  EXPECT_EQ(before, testutil::FileChecksum(m.ImagePath()));
}

// Damaged volumes: every run ends with a result code within a time limit.
TEST(NtfsDel, DamagedVolumesEndWithACode) {
  testutil::FixtureManifest m;
  if (!m.Load("ntfs4k")) GTEST_SKIP() << "no ntfs4k image";
  const std::vector<uint8_t> good = testutil::ReadFile(m.ImagePath());
  NtfsBootInfo boot;
  ASSERT_EQ(0, ParseNtfsBootSector(good.data(), good.size(), &boot));
  const size_t mft = size_t(boot.mftLcn * boot.clusterBytes);
  auto timed = [](std::vector<uint8_t> bytes, int* rc) {
    auto t0 = std::chrono::steady_clock::now();
    MemScan s(std::move(bytes));
    *rc = s.Run();
    IDeviceBitmap* bm = s.scanner->CreateDeviceBitmap();
    if (bm) bm->Release();
    return std::chrono::steady_clock::now() - t0;
  };
  int rc = 0;
  // Truncated inside the $MFT: the records that could not be read are reported.
  std::vector<uint8_t> cut(good.begin(), good.begin() + mft + 20 * 1024);
  EXPECT_LT(timed(cut, &rc), std::chrono::seconds(300));
  EXPECT_EQ(RC_READ_FAILED, rc);
  // Truncated before the $MFT: record 0 cannot be read, the $MFT is unusable.
  cut.assign(good.begin(), good.begin() + mft / 2);
  timed(cut, &rc);
  EXPECT_EQ(RC_MFT_UNREADABLE, rc);
  // Record 0 zeroed.
  std::vector<uint8_t> d = good;
  std::memset(&d[mft], 0, 1024);
  timed(d, &rc);
  EXPECT_EQ(RC_MFT_UNREADABLE, rc);
  // A boot sector that claims impossible clusters.
  d = good;
  d[13] = 3;
  timed(d, &rc);
  EXPECT_EQ(RC_WRONG_FS, rc);
  // Garbage over the records after the system files.
  d = good;
  std::vector<uint8_t> junk = testutil::RandomBytes(64 * 1024, 3);
  std::memcpy(&d[mft + 24 * 1024], junk.data(), junk.size());
  EXPECT_LT(timed(d, &rc), std::chrono::seconds(300));
  EXPECT_EQ(0, rc);
  // Every length field of real records mutated, record by record: with the fixup tails kept
  // right so that the mutation reaches the attribute walk.
  uint32_t seed = 11;
  auto next = [&seed] { return seed = seed * 1103515245u + 12345u; };
  for (int iter = 0; iter < 120; ++iter) {
    d = good;
    size_t rec = mft + size_t(next() % 64) * 1024;
    uint8_t* r = &d[rec];
    if (std::memcmp(r, "FILE", 4) != 0) continue;
    // The fields of the header, then of each attribute.
    std::vector<size_t> fields = {4, 6, 20, 24, 28};
    size_t off = r[20] | r[21] << 8;
    for (int a = 0; a < 12 && off + 24 < 1024; ++a) {
      uint32_t len = r[off + 4] | r[off + 5] << 8 | r[off + 6] << 16 | uint32_t(r[off + 7]) << 24;
      if (r[off] == 0xFF || len < 24 || len > 1024 - off) break;
      for (size_t f : {4, 9, 10, 16, 20, 32, 40, 48, 64}) fields.push_back(off + f);
      off += len;
    }
    size_t field = fields[next() % fields.size()];
    if (field + 4 > 510) field = fields[next() % 5];
    uint32_t values[] = {0, 1, 0xFF, 0xFFFF, 0x7FFFFFFF, 0xFFFFFFFF, 1023, 1024, 4096, next()};
    uint32_t v = values[next() % 10];
    std::memcpy(r + field, &v, 1 + next() % 4);
    EXPECT_LT(timed(d, &rc), std::chrono::seconds(300)) << iter;
  }
}

// A $MFT cluster that the boot sector gives but the volume contradicts: another record
// there, or a cluster past the volume. Nothing is read through it.
TEST(NtfsDel, MftClusterThatHoldsNoRecordZeroIsRefused) {
  testutil::FixtureManifest m;
  if (!m.Load("ntfs4k")) GTEST_SKIP() << "no ntfs4k image";
  uint64_t before = testutil::FileChecksum(m.ImagePath());
  const std::vector<uint8_t> good = testutil::ReadFile(m.ImagePath());
  NtfsBootInfo boot;
  ASSERT_EQ(0, ParseNtfsBootSector(good.data(), good.size(), &boot));
  ASSERT_EQ(boot.clusterBytes, 4096u);
  auto withLcn = [&](uint64_t lcn) {
    std::vector<uint8_t> d = good;
    for (int i = 0; i < 8; ++i) d[48 + i] = uint8_t(lcn >> (8 * i));
    return d;
  };
  {
    MemScan s(withLcn(boot.mftLcn + 1));  // record 4 begins one cluster on
    EXPECT_EQ(RC_WRONG_FS, s.Run());
    EXPECT_TRUE(s.sink.files.empty());
  }
  {
    MemScan s(withLcn(boot.totalSectors / boot.sectorsPerCluster + 16));
    EXPECT_EQ(RC_WRONG_FS, s.Run());
  }
  {
    MemScan s(withLcn(boot.mftLcn));
    EXPECT_EQ(0, s.Run());
  }
  EXPECT_EQ(before, testutil::FileChecksum(m.ImagePath()));
}

// The compressed reader over units as ntfs-3g wrote them: compressed, stored, and a short
// last unit. The live files are made to look deleted by clearing their in-use flag.
TEST(NtfsDel, CompressedUnitsAsWrittenReadBack) {
  testutil::FixtureManifest m;
  if (!m.Load("ntfs") || !testutil::HaveTool("fls")) GTEST_SKIP() << "no ntfs image or fls";
  std::vector<uint8_t> bytes = testutil::ReadFile(m.ImagePath());
  std::string list = testutil::RunCommand("fls -r -p '" + m.ImagePath() + "' 2>/dev/null");
  std::map<std::string, uint64_t> records;
  for (const char* name : {"compressed/random.bin", "compressed/text1.txt", "compressed/text3.txt"}) {
    size_t at = list.find(std::string(":\t") + name + "\n");
    ASSERT_NE(at, std::string::npos) << name;
    size_t start = list.rfind(' ', at) + 1;
    records[std::string("/") + name] = std::stoull(list.substr(start, at - start));
  }
  uint64_t mftSector;
  {
    MemScan probe(bytes);
    ASSERT_EQ(0, probe.Run());
    CNTFS ntfs(probe.dev);
    NtfsBootInfo boot;
    ASSERT_EQ(0, ParseNtfsBootSector(bytes.data(), bytes.size(), &boot));
    ASSERT_EQ(0, ntfs.SetBootInfo(boot, 512));
    const MftRun* runs = static_cast<CNtfsDel*>(probe.scanner)->MftRuns();
    for (auto& kv : records) {
      mftSector = ntfs.RecordToSector(runs, kv.second);
      ASSERT_NE(mftSector, NTFS_NO_SECTOR);
      bytes[mftSector * 512 + 22] &= uint8_t(~1);  // flags: no longer in use
    }
  }
  MemScan s(bytes);
  ASSERT_EQ(0, s.Run());
  for (auto& kv : records) {
    auto it = s.sink.files.find(TreePath(kv.first));
    ASSERT_NE(it, s.sink.files.end()) << kv.first;
    EXPECT_TRUE(it->second->GetFlags() & FF_COMPRESSED) << kv.first;
    EXPECT_TRUE(m.SameAsOriginal(kv.first, ReadAll(s.scanner, it->second, 5000))) << kv.first;
  }
}

// A record in use is reported only when the $MFT bitmap calls it free; record 0 without its
// $BITMAP makes the volume unusable.
TEST(NtfsDel, MftBitmapDecidesForRecordsInUse) {
  testutil::FixtureManifest m;
  if (!m.Load("ntfs") || !testutil::HaveTool("fls")) GTEST_SKIP() << "no ntfs image or fls";
  std::vector<uint8_t> bytes = testutil::ReadFile(m.ImagePath());
  std::string list = testutil::RunCommand("fls -r -p '" + m.ImagePath() + "' 2>/dev/null");
  size_t at = list.find(":\tdocs/note1.txt\n");
  ASSERT_NE(at, std::string::npos);
  size_t start = list.rfind(' ', at) + 1;
  uint64_t n = std::stoull(list.substr(start, at - start));
  NtfsBootInfo boot;
  ASSERT_EQ(0, ParseNtfsBootSector(bytes.data(), bytes.size(), &boot));
  MemDevice dev(bytes);
  dev.SetOwnedByCaller(true);
  CNTFS ntfs(&dev);
  ASSERT_EQ(0, ntfs.SetBootInfo(boot, 512));
  size_t mft = size_t(boot.mftLcn * boot.clusterBytes);
  std::vector<uint8_t> rec0(bytes.begin() + mft, bytes.begin() + mft + 1024);
  ASSERT_EQ(0, ntfs.ApplyFixup(rec0.data()));
  NtfsAttr a;
  ASSERT_EQ(0, ntfs.FindUnnamed(rec0.data(), NTFS_AT_BITMAP, &a));
  ASSERT_TRUE(a.nonResident);
  std::vector<NtfsRun> runs;
  ASSERT_EQ(0, ntfs.DecodeMappingPairs(rec0.data() + a.pairsOffset, a.pairsLength, &runs));
  size_t bit = size_t(runs[0].lcn) * boot.clusterBytes * 8 + n;

  {
    MemScan s(bytes);
    ASSERT_EQ(0, s.Run());
    EXPECT_FALSE(s.sink.files.count("/Volume/docs/note1.txt"));
  }
  std::vector<uint8_t> freed = bytes;
  freed[bit / 8] &= uint8_t(~(1u << (bit % 8)));
  {
    MemScan s(freed);
    ASSERT_EQ(0, s.Run());
    auto it = s.sink.files.find("/Volume/docs/note1.txt");
    ASSERT_NE(it, s.sink.files.end());
    EXPECT_TRUE(m.SameAsOriginal("/docs/note1.txt", ReadAll(s.scanner, it->second, 100)));
  }
  std::vector<uint8_t> nobitmap = bytes;
  nobitmap[mft + a.offset] = 0xC0;  // the attribute becomes another known type
  MemScan s(nobitmap);
  EXPECT_EQ(RC_MFT_UNREADABLE, s.Run());
}

// A deleted folder's record taken by a new folder, hard links, an alternate data stream
// larger than the main data: each file comes back whole, never under a folder not its own.
TEST(NtfsDel, ReusedFoldersLinksAndStreams) {
  std::string reuse = testutil::Fixture("ntfs-reuse.img");
  std::string cases = testutil::Fixture("ntfs-cases.img");
  std::string keep = testutil::Fixture("ntfs-cases.files");
  if (reuse.empty() || cases.empty() || keep.empty()) GTEST_SKIP() << "no ntfs-cases images";
  {
    MemScan s(testutil::ReadFile(reuse));
    ASSERT_EQ(0, s.Run());
    std::vector<uint8_t> want = testutil::ReadFile(keep + "/child.bin");
    int found = 0;
    for (auto& kv : s.sink.files) {
      if (kv.first.size() < 10 || kv.first.compare(kv.first.size() - 10, 10, "/child.bin")) continue;
      ++found;
      // Its folder "old" was deleted and its record now holds the folder "n4".
      EXPECT_EQ(0u, kv.first.find("/Volume/Lost Location/")) << kv.first;
      EXPECT_TRUE(want == ReadAll(s.scanner, kv.second, 4096)) << kv.first;
    }
    EXPECT_EQ(1, found);
    // A deleted file whose folder is still the same one stays there.
    EXPECT_NE(s.sink.files.end(), s.sink.files.find("/Volume/a1/filler.bin"));
  }
  MemScan s(testutil::ReadFile(cases));
  ASSERT_EQ(0, s.Run());
  auto check = [&](const std::vector<std::string>& paths, const std::string& original) {
    std::vector<uint8_t> want = testutil::ReadFile(keep + "/" + original);
    ASSERT_FALSE(want.empty()) << original;
    IFileInfo* f = nullptr;
    for (const std::string& p : paths) {
      auto it = s.sink.files.find(p);
      if (it != s.sink.files.end()) f = it->second;
    }
    ASSERT_NE(nullptr, f) << original;
    EXPECT_EQ(uint64_t(want.size()), f->GetSize()) << original;
    EXPECT_TRUE(want == ReadAll(s.scanner, f, 65536)) << original;
  };
  check({"/Volume/keep/linked.bin", "/Volume/a2/hard2.bin"}, "linked.bin");
  check({"/Volume/keep/ads.bin"}, "ads.bin");
}

// Deleted files whose parent reference reads 123456789 (once the graph's own orphan folder
// id) are ordinary files of a folder that is gone: they come back, under a stand-in for
// that folder in "Lost Location", with their bytes.
// Where in the image the deleted file record of that name lies (0 when there is none).
size_t DeletedRecordAt(const std::vector<uint8_t>& bytes, const std::u16string& name) {
  CNTFS ntfs(nullptr);
  for (size_t off = 0; off + 1024 <= bytes.size(); off += 1024) {
    if (std::memcmp(bytes.data() + off, "FILE", 4) != 0) continue;
    std::vector<uint8_t> r(bytes.begin() + off, bytes.begin() + off + 1024);
    std::u16string found;
    uint64_t parent = 0;
    bool dir = true;
    if (ntfs.ApplyFixup(r.data()) == 0 && !(r[22] & NTFS_RECORD_IN_USE) &&
        ntfs.GetFileName(r.data(), found, &parent, &dir, nullptr) == 0 && !dir && found == name)
      return off;
  }
  return 0;
}

// A deleted file whose record claims more bytes in use than the record holds: one damaged
// field, and the file still comes back byte for byte.
TEST(NtfsDel, DeletedFileWithBytesInUsePastItsRecordComesBack) {
  testutil::FixtureManifest m;
  if (!m.Load("ntfs")) GTEST_SKIP() << "no ntfs image";
  std::vector<uint8_t> bytes = testutil::ReadFile(m.ImagePath());
  const char* paths[] = {"/docs/note2.txt", "/data/big2.bin"};  // resident, and in clusters
  for (const char* path : paths) {
    std::string p(path);
    std::u16string name(p.begin() + p.rfind('/') + 1, p.end());
    size_t at = DeletedRecordAt(bytes, name);
    ASSERT_NE(at, 0u) << path;
    kbytes::PutLe32(&bytes[at + 24], 0xFFFFFFFFu);
  }
  MemScan s(bytes);
  ASSERT_EQ(0, s.Run());
  for (const char* path : paths) {
    auto it = s.sink.files.find(TreePath(path));
    ASSERT_NE(it, s.sink.files.end()) << path;
    EXPECT_TRUE(m.SameAsOriginal(path, ReadAll(s.scanner, it->second, 4096))) << path;
  }
}

// The $MFT's clusters past its data size hold no record of this volume: what lies there was
// left by what the clusters held before (a former volume's records, whose clusters this one
// has since given to other files). A deleted file's record copied there under another name
// is not reported; the record itself still is.
TEST(NtfsDel, RecordsPastTheMftDataSizeAreNotTaken) {
  testutil::FixtureManifest m;
  if (!m.Load("ntfs")) GTEST_SKIP() << "no ntfs image";
  std::vector<uint8_t> bytes = testutil::ReadFile(m.ImagePath());
  NtfsBootInfo boot;
  ASSERT_EQ(0, ParseNtfsBootSector(bytes.data(), bytes.size(), &boot));
  CNTFS ntfs(nullptr);
  ASSERT_EQ(0, ntfs.SetBootInfo(boot, 512));
  const size_t mft = size_t(boot.mftLcn * boot.clusterBytes);
  std::vector<uint8_t> rec0(bytes.begin() + mft, bytes.begin() + mft + boot.recordBytes);
  ASSERT_EQ(0, ntfs.ApplyFixup(rec0.data()));
  NtfsAttr a;
  ASSERT_EQ(0, ntfs.FindUnnamed(rec0.data(), NTFS_AT_DATA, &a));
  ASSERT_GE(a.allocatedSize, a.dataSize + boot.recordBytes);
  std::vector<NtfsRun> runs;
  ASSERT_EQ(0, ntfs.DecodeMappingPairs(rec0.data() + a.pairsOffset, a.pairsLength, &runs));
  // The image offset of the first record past the data size.
  uint64_t byte = a.dataSize;
  size_t past = 0;
  for (const NtfsRun& r : runs) {
    uint64_t len = r.clusters * boot.clusterBytes;
    if (byte < len) {
      past = size_t(uint64_t(r.lcn) * boot.clusterBytes + byte);
      break;
    }
    byte -= len;
  }
  ASSERT_NE(past, 0u);
  size_t src = DeletedRecordAt(bytes, u"big2.bin");
  ASSERT_NE(src, 0u);
  std::memcpy(&bytes[past], &bytes[src], boot.recordBytes);
  const std::u16string from = u"big2.bin", to = u"qig2.bin";
  const uint8_t* f = reinterpret_cast<const uint8_t*>(from.data());
  int renamed = 0;
  for (auto at = bytes.begin() + past;
       (at = std::search(at, bytes.begin() + past + 510, f, f + 16)) != bytes.begin() + past + 510; ++renamed)
    std::memcpy(&*at, to.data(), 16);
  ASSERT_GE(renamed, 1);
  MemScan s(bytes);
  ASSERT_EQ(0, s.Run());
  EXPECT_TRUE(s.sink.files.count(TreePath("/data/big2.bin")));
  for (const auto& kv : s.sink.files) EXPECT_EQ(kv.first.find("qig2.bin"), std::string::npos) << kv.first;
}

// A record whose signature reads "file" is no FILE record: the scan leaves it out, and only it.
TEST(NtfsDel, RecordSignedInAnotherCaseIsNotTaken) {
  testutil::FixtureManifest m;
  if (!m.Load("ntfs")) GTEST_SKIP() << "no ntfs image";
  std::vector<uint8_t> bytes = testutil::ReadFile(m.ImagePath());
  size_t at = DeletedRecordAt(bytes, u"big2.bin");
  ASSERT_NE(at, 0u);
  std::memcpy(&bytes[at], "file", 4);
  MemScan s(bytes);
  ASSERT_EQ(0, s.Run());
  EXPECT_FALSE(s.sink.files.count(TreePath("/data/big2.bin")));
  EXPECT_TRUE(s.sink.files.count(TreePath("/docs/note2.txt")));
}

// A file in some 450 fragments: ntfs-3g kept its first extents in the base record and moved
// its name and later extents to extension records that its attribute list names. With its
// base record free in the $MFT bitmap it is taken as a deleted file, and comes back whole,
// under its name.
TEST(NtfsDel, FileSpreadOverExtensionRecordsComesBackWhole) {
  std::string img = testutil::Fixture("ntfs-listed.img");
  std::vector<uint8_t> original = testutil::ReadFile(testutil::Fixture("ntfs-listed.files/big.bin"));
  if (img.empty() || original.empty()) GTEST_SKIP() << "no ntfs-listed image";
  std::vector<uint8_t> bytes = testutil::ReadFile(img);
  NtfsBootInfo boot;
  ASSERT_EQ(0, ParseNtfsBootSector(bytes.data(), bytes.size(), &boot));
  CNTFS ntfs(nullptr);
  ASSERT_EQ(0, ntfs.SetBootInfo(boot, 512));
  const size_t mft = size_t(boot.mftLcn * boot.clusterBytes);
  auto record = [&](uint64_t n) {
    std::vector<uint8_t> r(bytes.begin() + mft + n * 1024, bytes.begin() + mft + (n + 1) * 1024);
    return ntfs.ApplyFixup(r.data()) == 0 ? r : std::vector<uint8_t>();
  };
  uint64_t base = 0;
  NtfsAttr a;
  for (uint64_t n = 24; mft + (n + 1) * 1024 <= bytes.size() && n < 4096 && !base; ++n) {
    std::vector<uint8_t> r = record(n);
    if (!r.empty() && ntfs.ValidateRecord(r.data()) == 0 && ntfs.FindUnnamed(r.data(), 0x20, &a) == 0) base = n;
  }
  ASSERT_NE(base, 0u);
  std::vector<uint8_t> rec0 = record(0);
  ASSERT_EQ(0, ntfs.FindUnnamed(rec0.data(), NTFS_AT_BITMAP, &a));
  ASSERT_TRUE(a.nonResident);
  std::vector<NtfsRun> runs;
  ASSERT_EQ(0, ntfs.DecodeMappingPairs(rec0.data() + a.pairsOffset, a.pairsLength, &runs));
  size_t bit = size_t(runs[0].lcn) * boot.clusterBytes * 8 + base;
  bytes[bit / 8] &= uint8_t(~(1u << (bit % 8)));
  MemScan s(bytes);
  ASSERT_EQ(0, s.Run());
  auto it = s.sink.files.find(TreePath("/big.bin"));
  ASSERT_NE(it, s.sink.files.end());
  EXPECT_EQ(it->second->GetSize(), original.size());
  EXPECT_TRUE(ReadAll(s.scanner, it->second, 65536) == original);
}

TEST(NtfsDel, ParentNumberedLikeTheOldOrphanIdIsAFolderLikeAnyOther) {
  testutil::FixtureManifest m;
  if (!m.Load("ntfs")) GTEST_SKIP() << "no ntfs image";
  std::vector<uint8_t> bytes = testutil::ReadFile(m.ImagePath());
  CNTFS ntfs(nullptr);
  struct Rec {
    size_t off;
    uint64_t parent;
    uint32_t parentAt;
    bool deleted;
    std::u16string name;
  };
  std::vector<Rec> recs;
  uint64_t docs = 0;
  for (size_t off = 0; off + 1024 <= bytes.size(); off += 1024) {
    if (std::memcmp(bytes.data() + off, "FILE", 4) != 0) continue;
    std::vector<uint8_t> r(bytes.begin() + off, bytes.begin() + off + 1024);
    if (ntfs.ApplyFixup(r.data()) != 0) continue;
    Rec e{off, 0, 0, !(r[22] & 1), u""};
    bool dir = false;
    if (ntfs.GetFileName(r.data(), e.name, &e.parent, &dir, nullptr) != 0) continue;
    if (dir && e.parent == 5 && e.name == u"docs") docs = kbytes::Le32(&r[44]);
    uint32_t cursor = 0;
    NtfsAttr a;
    while (ntfs.NextAttribute(r.data(), &cursor, &a) == 1)
      if (a.type == NTFS_AT_FILE_NAME && !e.parentAt) e.parentAt = a.valueOffset;
    if (!dir) recs.push_back(e);
  }
  ASSERT_NE(docs, 0u);
  std::vector<std::u16string> moved;
  for (const Rec& e : recs) {
    if (e.parent != docs || !e.deleted) continue;
    ASSERT_LT(e.parentAt + 8, 510u);
    uint8_t* p = bytes.data() + e.off + e.parentAt;
    kbytes::PutLe64(p, (kbytes::Le64(p) & 0xFFFF000000000000ull) | 123456789u);
    moved.push_back(e.name);
  }
  ASSERT_GE(moved.size(), 2u);  // note2.txt and letter.bin
  MemScan s(bytes);
  ASSERT_EQ(0, s.Run());
  for (const std::u16string& name : moved) {
    std::string n = Utf8(name);
    IFileInfo* f = nullptr;
    for (auto& kv : s.sink.files)
      if (kv.first.rfind("/Volume/Lost Location/DIR", 0) == 0 && kv.first.size() > n.size() &&
          kv.first.compare(kv.first.size() - n.size() - 1, n.size() + 1, "/" + n) == 0)
        f = kv.second;
    ASSERT_NE(f, nullptr) << n;
    EXPECT_TRUE(m.SameAsOriginal("/docs/" + n, ReadAll(s.scanner, f, 4096))) << n;
  }
}

// The desktop program, once it has asked to stop, answers stop to every event that follows,
// the found files of the final hand-over among them. That hand-over must still bring every
// file taken before the stop into the results tree, not only the first one.
TEST(NtfsDel, AStoppedScanHandsOverEveryFileFoundBeforeTheStop) {
  testutil::FixtureManifest m;
  if (!m.Load("ntfs")) GTEST_SKIP() << "no ntfs image";
  std::vector<uint8_t> bytes = testutil::ReadFile(m.ImagePath());
  MemScan full(bytes);
  ASSERT_EQ(0, full.Run());
  struct StopsForGood : Collector {
    bool stopping = false;
    int Notify(int event, int64_t a, int64_t b, void* obj) override {
      if (Collector::Notify(event, a, b, obj) != 0) stopping = true;
      return stopping ? -1 : 0;
    }
  } sink;
  sink.stopAfter = 12;  // about 1200 records in: many files found, none flushed yet
  MemScan s(bytes);
  EXPECT_EQ(-1, s.scanner->Scan(&sink));
  EXPECT_EQ(1, sink.finished);
  EXPECT_GT(sink.files.size(), 20u);
  EXPECT_LT(sink.files.size(), full.sink.files.size());
  std::set<std::string> names;
  for (auto& kv : full.sink.files) names.insert(kv.first.substr(kv.first.rfind('/')));
  for (auto& kv : sink.files) {
    // A folder whose record lies past the stop was never read: its files wait in Lost Location.
    if (kv.first.rfind("/Volume/Lost Location/", 0) == 0)
      EXPECT_TRUE(names.count(kv.first.substr(kv.first.rfind('/')))) << kv.first;
    else
      EXPECT_TRUE(full.sink.files.count(kv.first)) << kv.first;
  }
}
