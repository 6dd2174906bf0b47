// Saved scan results: save, reload, save again gives the same bytes; the reloaded tree reads
// the same data; truncated and mutated files are refused without a crash; a cancelled save
// keeps the previous file; a saved disk index that now names another disk is refused.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "common/inc/bytes.h"
#include "common/inc/idevice.h"
#include "common/inc/ifileop.h"
#include "common/inc/inotifysink.h"
#include "common/inc/irecoverymanagement.h"
#include "common/inc/iscanoperator.h"
#include "filemanager/fileinfo.h"
#include "filemanager/filemanager.h"
#include "filemanager/lznt1.h"
#include "filemanager/savefilesystem.h"
#include "scanread.h"
#include "storagedevice/devenum.h"
#include "testutil.h"

using testutil::ScopedEnv;
using testutil::TempDir;

namespace {

const int64_t kPartStart = 2048;
const int64_t kPartSectors = 30720;  // 15 MiB
const int64_t kDataSector = 20000;   // inside the partition, in FAT16 free space

uint64_t Mask(int width) { return width == 8 ? ~uint64_t(0) : (uint64_t(1) << (8 * width)) - 1; }

bool HaveTool(const char* t) {
  std::string cmd = std::string("command -v ") + t + " >/dev/null 2>&1";
  return std::system(cmd.c_str()) == 0;
}

void PutMbrEntry(std::vector<uint8_t>& img, int slot, uint8_t type, uint32_t start, uint32_t count) {
  uint8_t* e = &img[446 + 16 * slot];
  e[4] = type;
  kbytes::PutLe32(e + 8, start);
  kbytes::PutLe32(e + 12, count);
  img[510] = 0x55;
  img[511] = 0xAA;
}

// A disk image with one FAT16 partition; extra shell commands run on the volume (as $V)
// before it is placed, so that a test can add and delete files with mtools.
bool MakeDisk(const TempDir& dir, const std::string& name, const std::string& volumeCommands,
              uint32_t seed) {
  std::string vol = dir.file(name + ".vol");
  std::string script = dir.file(name + ".sh");
  std::ofstream(script) << "set -e\nV='" << vol << "'\ntruncate -s " << kPartSectors * 512
                        << " \"$V\"\nmkfs.fat -F 16 -s 4 -n SAVED \"$V\" >/dev/null\n"
                        << volumeCommands << "\n";
  if (std::system(("bash '" + script + "'").c_str()) != 0) return false;
  std::vector<uint8_t> v = testutil::ReadFile(vol);
  std::vector<uint8_t> noise = testutil::RandomBytes(256 * 512, seed);
  std::copy(noise.begin(), noise.end(), v.begin() + kDataSector * 512);
  std::vector<uint8_t> img(size_t(kPartStart + kPartSectors + 2048) * 512);
  std::copy(v.begin(), v.end(), img.begin() + kPartStart * 512);
  PutMbrEntry(img, 0, 0x06, uint32_t(kPartStart), uint32_t(kPartSectors));
  testutil::WriteFile(dir.file(name), img);
  return true;
}

class Sink : public INotifySink {
 public:
  int Notify(int event, int64_t a, int64_t, void*) override {
    if (event == NE_PERCENT) {
      percents.push_back(a);
      if (cancelAt >= 0 && a >= cancelAt) return -1;
    }
    return 0;
  }
  std::vector<int64_t> percents;
  int64_t cancelAt = -1;
};

CFileInfo* Record(const char16_t* name, uint64_t size, uint32_t flags, IRunList* runs) {
  CFileInfo* f = new CFileInfo;
  f->SetName(name);
  f->SetSize(int64_t(size));
  f->AddFlags(flags);
  f->SetTimes(1600000000, 1700000000);
  f->SetValidity(77);
  if (runs) f->SetRunList(runs);
  return f;
}

// What a tree holds, by full path: size, flags and the bytes its reader gives (with the
// reader's answer), so that two trees can be compared.
struct Seen {
  uint64_t size;
  uint32_t flags;
  int readResult;
  std::vector<uint8_t> bytes;
};

std::map<std::u16string, Seen> Contents(IScanOperator* scanner) {
  std::map<std::u16string, Seen> out;
  testutil::ForEachTreeFile(scanner, [&](const std::u16string& path, IFileInfo* e) {
    Seen s{e->GetSize(), e->GetFlags(), -2, {}};
    IFileOP* op = nullptr;
    if (scanner->GetFileOp(e, &op) == 0 && op) {
      s.bytes.resize(size_t(std::min<uint64_t>(e->GetSize(), 1 << 20)));
      uint32_t got = 0;
      s.readResult = op->Read(s.bytes.data(), uint32_t(s.bytes.size()), 0, &got);
      s.bytes.resize(got);
    }
    out[path] = s;
  });
  return out;
}

class SavedResult : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HaveTool("mkfs.fat") || !HaveTool("mcopy")) GTEST_SKIP() << "mkfs.fat or mtools missing";
    ASSERT_TRUE(MakeDisk(dir, "disk.img", Volume(), 11));
    env.reset(new ScopedEnv("KESTRUM_DISKS", dir.file("disk.img")));
    ASSERT_EQ(InitKestrum(&top), 0);
    Enumerate();
  }
  void TearDown() override {
    for (IDevice* d : owned) d->Release();
    if (top) top->Release();
  }
  virtual std::string Volume() { return ""; }
  void Enumerate() {
    IDevice* out[100] = {};
    int count = 0;
    ASSERT_EQ(top->EnumDevices(out, &count, 100), 0);
    ASSERT_GE(count, 2);
    disk = out[0];
    part = out[1];
    // Disks and letters are ours; partitions go with their disk.
    for (int i = 0; i < count; ++i)
      if (out[i]->GetType() != DT_PARTITION && out[i]->GetType() != DT_PARTITION_OTHER) owned.push_back(out[i]);
    ASSERT_EQ(part->GetType(), DT_PARTITION);
  }
  // A scanner and its tree for the partition; the tree is released with the scanner.
  IScanOperator* NewScanner(int kind) {
    IFileManager* fm = nullptr;
    IScanOperator* sc = nullptr;
    if (top->CreateScanOperator(part, kind, &fm, &sc) != 0) return nullptr;
    return sc;
  }
  static void Free(IScanOperator* sc) {
    if (!sc) return;
    IFileManager* fm = sc->GetFileManager();
    sc->Release();
    if (fm) fm->Release();
  }
  int Save(IScanOperator* sc, const std::string& path, INotifySink* sink = nullptr) {
    std::u16string w(path.begin(), path.end());
    return sc->SaveResult(w.c_str(), sink);
  }
  // LoadScanResult then LoadResult: the pair of codes.
  std::pair<int, int> Load(const std::string& path, IScanOperator** out, int skip = 0) {
    std::u16string w(path.begin(), path.end());
    *out = nullptr;
    int r = top->LoadScanResult(w.c_str(), out, skip);
    if (r != 0) return {r, r};
    Sink sink;
    return {0, (*out)->LoadResult(&sink, skip)};
  }
  // Fills a tree with one record of every class and folders of every kind.
  void Populate(IScanOperator* sc) {
    IFileManager* fm = sc->GetFileManager();
    RunList* plain = new RunList(kDataSector, 3);
    plain->Append(kDataSector + 10, 2);
    fm->AddFile(u"/Volume/docs", Record(u"plain.bin", 2000, 0, plain));
    CPermanentRunList* res = new CPermanentRunList;
    std::vector<uint8_t> small = testutil::RandomBytes(700, 3);
    res->SetData(small.data(), int(small.size()));
    res->m_value = 0x1122334455667788ull;
    fm->AddFile(u"/Volume/docs", Record(u"resident.txt", 700, FF_RESIDENT, res));
    // A compressed unit written into the volume's free space, so that the reader decodes it.
    // The hole after the packed sectors is what marks the unit as compressed.
    RunList* packed = new RunList(kDataSector + 40, 16);
    packed->Append(RUN_HOLE, 48);
    fm->AddFile(u"/Volume/docs/sub", Record(u"packed.dat", 9000, FF_COMPRESSED, packed));
    CEncRunList* enc = new CEncRunList;
    enc->m_first = new StreamDesc{300, 0, nullptr, 1, nullptr};
    CPermanentRunList* meta = new CPermanentRunList;
    meta->SetData(small.data(), 300);
    enc->m_first->runs = meta;
    char16_t* sname = new char16_t[5]{u'$', u'E', u'F', u'S', 0};
    enc->m_second = new StreamDesc{3000, 4096, sname, 0, new RunList(kDataSector + 60, 8)};
    enc->m_value = 42;
    fm->AddFile(u"/Volume/docs/sub", Record(u"secret.doc", 3000, FF_ENCRYPTED, enc));
    fm->AddFile(u"/Volume/docs", Record(u"gone.tmp", 5000, FF_NODATA, nullptr));
    // No data because other files hold its clusters: the reason is kept with the record.
    fm->AddFile(u"/Volume/docs",
                Record(u"taken.jpg", 7000, FF_NODATA | FF_OVERWRITTEN | FF_FORMATTED, nullptr));
    fm->AddFile(u"/", Record(u"at-root.bin", 512, 0, new RunList(kDataSector + 80, 1)));
    // A folder that holds only a sub-folder, made before its sibling.
    fm->AddFile(u"/Volume/only/deeper", Record(u"deep.bin", 1024, 0, new RunList(kDataSector + 90, 2)));
    fm->AddFile(u"/Volume/RECYCLER/S-1-5", Record(u"old.doc", 1500, 0, new RunList(kDataSector + 100, 3)));
    fm->AddFile(u"/Volume/$RECYCLE.BIN/S-1-5", Record(u"older.doc", 600, 0, new RunList(kDataSector + 110, 2)));
    fm->AddFile(u"/Volume", Record(u"top.bin", 100, 0, new RunList(kDataSector + 120, 1)));
    for (int i = 0; i < 1200; ++i) {
      std::string n = "many" + std::to_string(i) + ".jpg";
      std::u16string wn(n.begin(), n.end());
      fm->AddFile(u"/Volume/many", Record(wn.c_str(), 512 + uint64_t(i), 0, new RunList(kDataSector + uint64_t(i % 200), 2)));
    }
  }

  TempDir dir;
  std::unique_ptr<ScopedEnv> env;
  IRecoveryManagement* top = nullptr;
  IDevice* disk = nullptr;
  IDevice* part = nullptr;
  std::vector<IDevice*> owned;
};

}  // namespace

TEST_F(SavedResult, EveryRecordClassSurvivesSaveLoadSaveByteForByte) {
  // Put a real compressed unit where the compressed record points.
  {
    std::vector<uint8_t> plainBytes(9000);
    for (size_t i = 0; i < plainBytes.size(); ++i) plainBytes[i] = uint8_t("saved result "[i % 13]);
    std::vector<uint8_t> packed(16 * 512);
    int64_t n = Lznt1Compress(plainBytes.data(), plainBytes.size(), packed.data(), packed.size());
    ASSERT_GT(n, 0);
    std::fstream f(dir.file("disk.img"), std::ios::in | std::ios::out | std::ios::binary);
    f.seekp((kPartStart + kDataSector + 40) * 512);
    f.write(reinterpret_cast<const char*>(packed.data()), std::streamsize(packed.size()));
  }
  IScanOperator* a = NewScanner(Scan_DeletedFat16);
  ASSERT_NE(a, nullptr);
  Populate(a);
  std::string first = dir.file("first.res"), second = dir.file("second.res");
  Sink saveSink;
  ASSERT_EQ(Save(a, first, &saveSink), 0);
  ASSERT_FALSE(saveSink.percents.empty());
  EXPECT_EQ(saveSink.percents.back(), 100);
  EXPECT_EQ(std::count(saveSink.percents.begin(), saveSink.percents.end(), 100), 1);

  IScanOperator* b = nullptr;
  ASSERT_EQ(Load(first, &b), std::make_pair(0, 0));
  EXPECT_EQ(b->GetScanType(), Scan_DeletedFat16);
  ASSERT_EQ(Save(b, second), 0);
  EXPECT_EQ(testutil::ReadFile(first), testutil::ReadFile(second));

  auto before = Contents(a), after = Contents(b);
  ASSERT_EQ(before.size(), 1211u);
  EXPECT_TRUE(before.count(u"/at-root.bin")) << "a file of the root keeps its place";
  EXPECT_TRUE(before.count(u"/Volume/Recycle Bin/S-1-5/older.doc"));
  ASSERT_EQ(after.size(), before.size());
  for (auto& [path, s] : before) {
    ASSERT_TRUE(after.count(path));
    const Seen& t = after[path];
    EXPECT_EQ(s.size, t.size);
    EXPECT_EQ(s.flags, t.flags);
    EXPECT_EQ(s.readResult, t.readResult);
    EXPECT_EQ(s.bytes, t.bytes);
  }
  EXPECT_EQ(before[u"/Volume/docs/sub/packed.dat"].bytes.size(), 9000u);
  EXPECT_EQ(before[u"/Volume/docs/sub/packed.dat"].bytes[13], 's');
  EXPECT_EQ(before[u"/Volume/docs/resident.txt"].bytes.size(), 700u);
  EXPECT_EQ(before[u"/Volume/docs/gone.tmp"].readResult, -2) << "no reader for a no-data file";
  EXPECT_EQ(after[u"/Volume/docs/taken.jpg"].flags, uint32_t(FF_NODATA | FF_OVERWRITTEN | FF_FORMATTED));
  EXPECT_EQ(after[u"/Volume/docs/taken.jpg"].readResult, -2);
  EXPECT_EQ(after[u"/Volume/docs/gone.tmp"].flags & FF_OVERWRITTEN, 0u);

  // Either release order is safe: the tree keeps the rebuilt device.
  IFileManager* bTree = b->GetFileManager();
  b->Release();
  EXPECT_EQ(Contents(a).size(), 1211u);
  bTree->Release();
  Free(a);
}

TEST_F(SavedResult, EmptyResultAndForeignFiles) {
  IScanOperator* a = NewScanner(Scan_DeletedFat16);
  ASSERT_NE(a, nullptr);
  std::string empty = dir.file("empty.res");
  Sink sink;
  ASSERT_EQ(Save(a, empty, &sink), 0);
  EXPECT_EQ(sink.percents, std::vector<int64_t>{100});
  EXPECT_EQ(testutil::ReadFile(empty).size(), 264u + 42 + 4 + 4 + 6 + 4 + 8 + 8 + 1128);
  IScanOperator* b = nullptr;
  EXPECT_EQ(Load(empty, &b), std::make_pair(0, 0));
  EXPECT_EQ(Contents(b).size(), 0u);
  Free(b);

  // A file of another kind: its first bytes match no device, or with the check skipped
  // the magic is wrong.
  std::vector<uint8_t> junk = testutil::RandomBytes(4096, 5);
  testutil::WriteFile(dir.file("junk.res"), junk);
  EXPECT_EQ(Load(dir.file("junk.res"), &b).first, 6);
  EXPECT_EQ(Load(dir.file("junk.res"), &b, 1).first, -1);
  EXPECT_EQ(Load(dir.file("missing.res"), &b).first, 43);
  EXPECT_EQ(top->LoadScanResult(nullptr, &b, 0), -1);

  // Paths are never cut: one too long for the system is refused, not shortened.
  std::u16string longPath = u"/tmp/" + std::u16string(5000, u'x');
  EXPECT_EQ(a->SaveResult(longPath.c_str(), nullptr), 43);
  EXPECT_EQ(top->LoadScanResult(longPath.c_str(), &b, 0), 43);
  Free(a);
}

TEST_F(SavedResult, CancelledSaveKeepsThePreviousFile) {
  IScanOperator* a = NewScanner(Scan_DeletedFat16);
  ASSERT_NE(a, nullptr);
  std::string path = dir.file("keep.res");
  ASSERT_EQ(Save(a, path), 0);  // an empty result first
  std::vector<uint8_t> previous = testutil::ReadFile(path);
  Populate(a);
  Sink cancel;
  cancel.cancelAt = 0;
  EXPECT_EQ(Save(a, path, &cancel), -1);
  EXPECT_EQ(testutil::ReadFile(path), previous);
  EXPECT_FALSE(std::ifstream(path + ".saving").good()) << "the temporary file is removed";
  Free(a);
}

TEST_F(SavedResult, TruncatedAndMutatedFilesAreRefused) {
  IScanOperator* a = NewScanner(Scan_DeletedFat16);
  ASSERT_NE(a, nullptr);
  {
    IFileManager* fm = a->GetFileManager();
    CPermanentRunList* res = new CPermanentRunList;
    uint8_t d[5] = {1, 2, 3, 4, 5};
    res->SetData(d, 5);
    fm->AddFile(u"/", Record(u"r", 5, FF_RESIDENT, res));
    fm->AddFile(u"/V/d", Record(u"p.bin", 700, 0, new RunList(kDataSector, 2)));
    CEncRunList* enc = new CEncRunList;
    enc->m_first = new StreamDesc{10, 0, nullptr, 0, new RunList(kDataSector + 4, 1)};
    char16_t* sname = new char16_t[3]{u'a', u'b', 0};
    enc->m_second = new StreamDesc{700, 1024, sname, 0, new RunList(kDataSector + 6, 2)};
    fm->AddFile(u"/V/d", Record(u"e.doc", 700, FF_ENCRYPTED, enc));
  }
  std::string path = dir.file("t.res");
  ASSERT_EQ(Save(a, path), 0);
  const std::vector<uint8_t> good = testutil::ReadFile(path);
  std::string cut = dir.file("cut.res");
  IScanOperator* b = nullptr;
  for (size_t n = 0; n < good.size(); ++n) {
    testutil::WriteFile(cut, std::vector<uint8_t>(good.begin(), good.begin() + long(n)));
    auto r = Load(cut, &b);
    EXPECT_TRUE(r.second == -1 || r.second == 6) << "cut at " << n << ": " << r.first << "/" << r.second;
    Free(b);
  }

  // The length fields, found by walking the file as written: each is set to values that
  // the loader must not trust.
  std::vector<std::pair<size_t, int>> lengths;  // offset, width
  size_t at = 264 + 42 + 4;
  lengths.push_back({at, 4});  // file count
  at += 4 + 6 + 4 + 8;         // count, tag, type, disk record
  lengths.push_back({at + 4, 4});  // partition record size
  at += 8 + 1128;
  auto runList = [&](size_t p) {
    while (kbytes::Le64(&good[p]) != 0xFFFFFFFFFFFFFFFDull) p += 12;
    lengths.push_back({p, 8});  // the terminator, which then never comes
    return p + 12;
  };
  while (at < good.size()) {
    if (std::memcmp(&good[at], "DIR0", 4) == 0) {
      lengths.push_back({at + 8, 2});
      at += 10 + 2 * size_t(kbytes::Le16(&good[at + 8]));
      continue;
    }
    ASSERT_EQ(std::memcmp(&good[at], "FILE", 4), 0);
    at += 8;
    uint32_t flags = kbytes::Le32(&good[at + 4]);
    lengths.push_back({at + 32, 2});  // name length
    at += 34 + 2 * size_t(kbytes::Le16(&good[at + 32]));
    if (flags & FF_RESIDENT) {
      lengths.push_back({at + 8, 4});
      at += 12 + kbytes::Le32(&good[at + 8]);
    } else if (flags & FF_ENCRYPTED) {
      for (int s = 0; s < 2; ++s) {
        at += 32;
        lengths.push_back({at, 4});  // stream name count
        at += 4 + 2 * size_t(kbytes::Le32(&good[at]));
        at = runList(at);
      }
      at += 8;
    } else {
      at = runList(at);
    }
  }
  ASSERT_EQ(at, good.size());
  std::string bad = dir.file("bad.res");
  for (auto [off, width] : lengths) {
    for (uint64_t v : {uint64_t(0), uint64_t(1), uint64_t(265), uint64_t(1025), ~uint64_t(0)}) {
      std::vector<uint8_t> m = good;
      uint64_t old = 0;
      std::memcpy(&old, &m[off], size_t(width));
      if ((old & Mask(width)) == (v & Mask(width)))
        continue;
      std::memcpy(&m[off], &v, size_t(width));
      testutil::WriteFile(bad, m);
      auto r = Load(bad, &b);
      EXPECT_TRUE(r.second == -1 || r.second == 6) << "offset " << off << " value " << v << ": " << r.second;
      Free(b);
    }
  }
  Free(a);
}

TEST_F(SavedResult, AnotherDiskAtTheSavedIndexIsRefused) {
  IScanOperator* a = NewScanner(Scan_DeletedFat16);
  ASSERT_NE(a, nullptr);
  a->GetFileManager()->AddFile(u"/V", Record(u"x.bin", 700, 0, new RunList(kDataSector, 2)));
  std::string path = dir.file("idx.res");
  ASSERT_EQ(Save(a, path), 0);
  Free(a);
  // Re-enumerated with another disk first: index 0 now names a disk of another size, while
  // the saved disk is still present as index 1.
  TempDir other;
  ASSERT_TRUE(MakeDisk(other, "other.img", "", 3));
  std::vector<uint8_t> bigger = testutil::ReadFile(other.file("other.img"));
  bigger.resize(bigger.size() + (4 << 20));
  testutil::WriteFile(other.file("other.img"), bigger);
  ScopedEnv two("KESTRUM_DISKS", other.file("other.img") + ":" + dir.file("disk.img"));
  QueryDiskDrives();
  Enumerate();
  IScanOperator* b = nullptr;
  EXPECT_EQ(Load(path, &b).first, 6);
  EXPECT_EQ(b, nullptr);
  // Skipping the check loads whatever the index names now.
  auto r = Load(path, &b, 1);
  EXPECT_EQ(r.first, 0);
  Free(b);
}

// A reader that was handed no device list (here: a top object that never listed devices)
// lists them itself, below the top object. Results of a whole disk image and of a drive
// letter reload through it, and save again to the same bytes.
TEST_F(SavedResult, DiskAndLetterResultsReloadThroughTheReadersOwnListing) {
  std::string letterFile = dir.file("letter.vol");
  ASSERT_EQ(std::system(("truncate -s 16M '" + letterFile + "' && mkfs.fat -F 16 -s 4 -n LETTER '" + letterFile +
                         "' >/dev/null")
                            .c_str()),
            0);
  ScopedEnv volumes("KESTRUM_VOLUMES", "F=" + letterFile);
  IDevice* out[100] = {};
  int count = 0;
  ASSERT_EQ(top->EnumDevices(out, &count, 100), 0);
  ASSERT_GE(count, 3);
  IDevice* letter = out[count - 1];
  ASSERT_EQ(letter->GetType(), DT_LETTER_VOLUME);
  ASSERT_EQ(out[0]->GetType(), DT_FIXED_DISK);
  owned.push_back(out[0]);
  owned.push_back(letter);

  struct Case {
    IDevice* device;
    int kind;
    const char* file;
    int64_t firstSector;
  };
  for (const Case& c : {Case{out[0], Scan_Raw, "disk.res", kPartStart + kDataSector},
                        Case{letter, Scan_DeletedFat16, "letter.res", 100}}) {
    SCOPED_TRACE(c.file);
    IFileManager* fm = nullptr;
    IScanOperator* a = nullptr;
    ASSERT_EQ(top->CreateScanOperator(c.device, c.kind, &fm, &a), 0);
    fm->AddFile(u"/Found", Record(u"one.bin", 1500, 0, new RunList(c.firstSector, 3)));
    fm->AddFile(u"/Found/deeper", Record(u"two.bin", 700, 0, new RunList(c.firstSector + 8, 2)));
    std::string first = dir.file(c.file), second = dir.file(std::string("again-") + c.file);
    ASSERT_EQ(Save(a, first), 0);

    IRecoveryManagement* fresh = nullptr;
    ASSERT_EQ(InitKestrum(&fresh), 0);
    std::u16string w(first.begin(), first.end());
    IScanOperator* b = nullptr;
    ASSERT_EQ(fresh->LoadScanResult(w.c_str(), &b, 0), 0);
    Sink sink;
    ASSERT_EQ(b->LoadResult(&sink, 0), 0);
    EXPECT_EQ(b->GetScanType(), c.kind);
    ASSERT_EQ(Save(b, second), 0);
    EXPECT_EQ(testutil::ReadFile(first), testutil::ReadFile(second));
    auto before = Contents(a), after = Contents(b);
    ASSERT_EQ(before.size(), 2u);
    ASSERT_EQ(after.size(), 2u);
    for (auto& [path, seen] : before) {
      ASSERT_TRUE(after.count(path));
      EXPECT_EQ(after[path].bytes, seen.bytes);
      EXPECT_EQ(after[path].readResult, seen.readResult);
    }
    Free(b);
    Free(a);
    fresh->Release();
  }

  // With the letter gone from the machine its result matches no device.
  ScopedEnv noLetters("KESTRUM_VOLUMES", "");
  IRecoveryManagement* fresh = nullptr;
  ASSERT_EQ(InitKestrum(&fresh), 0);
  std::string path = dir.file("letter.res");
  std::u16string w(path.begin(), path.end());
  IScanOperator* b = nullptr;
  EXPECT_EQ(fresh->LoadScanResult(w.c_str(), &b, 0), 6);
  EXPECT_EQ(b, nullptr);
  fresh->Release();
}

// ---------------------------------------------------------------------------------------
// From a real deleted-file scan of a FAT16 volume

class SavedFatScan : public SavedResult {
 protected:
  std::string Volume() override {
    return "head -c 70000 /dev/urandom > \"$V.a\"\nhead -c 3000 /dev/urandom > \"$V.b\"\n"
           "mmd -i \"$V\" ::/keep\nmcopy -i \"$V\" \"$V.a\" ::/keep/one.bin\n"
           "mcopy -i \"$V\" \"$V.b\" ::/two.bin\nmcopy -i \"$V\" \"$V.a\" ::/keep/three.jpg\n"
           "mdel -i \"$V\" ::/keep/one.bin ::/two.bin ::/keep/three.jpg\n";
  }
};

TEST_F(SavedFatScan, RealScanSurvivesSaveLoadSave) {
  IScanOperator* a = NewScanner(Scan_Deleted);
  ASSERT_NE(a, nullptr) << "no FAT16 deleted-file scanner";
  Sink sink;
  a->Scan(&sink);
  auto before = Contents(a);
  ASSERT_GE(before.size(), 2u) << "the scan found the deleted files";
  std::string first = dir.file("scan1.res"), second = dir.file("scan2.res");
  ASSERT_EQ(Save(a, first), 0);
  IScanOperator* b = nullptr;
  ASSERT_EQ(Load(first, &b), std::make_pair(0, 0));
  ASSERT_EQ(Save(b, second), 0);
  EXPECT_EQ(testutil::ReadFile(first), testutil::ReadFile(second));
  auto after = Contents(b);
  ASSERT_EQ(after.size(), before.size());
  for (auto& [p, s] : before) {
    ASSERT_TRUE(after.count(p));
    EXPECT_EQ(after[p].bytes, s.bytes);
    EXPECT_EQ(after[p].readResult, s.readResult);
  }
  Free(b);
  Free(a);
}
