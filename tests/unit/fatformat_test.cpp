// Formatted FAT and exFAT volumes: geometry found from surviving directories (or from the
// exFAT up-case table and root), the trees rebuilt from quick-formatted images compared
// with the originals, hostile boot values, and the deleted-file scanners' device bitmaps.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <string>

#include "common/inc/bytes.h"
#include "common/inc/idevicebitmap.h"
#include "common/inc/ifilemanager.h"
#include "common/inc/inotifysink.h"
#include "common/inc/kestrum_types.h"
#include "common/inc/seams.h"
#include "contrib/fatinspector.h"
#include "contrib/fatrecover.h"
#include "contrib/fatscanparam.h"
#include "fat_memdevice.h"
#include "filemanager/fileinfo.h"
#include "filesystems/exfatformat.h"
#include "filesystems/fatentry.h"
#include "fixtures.h"
#include "testutil.h"

namespace {

std::string U8(const std::u16string& s) {
  std::string o;
  for (char16_t c : s) {
    if (c < 0x80) o += char(c);
    else if (c < 0x800) o += char(0xC0 | (c >> 6)), o += char(0x80 | (c & 0x3F));
    else o += char(0xE0 | (c >> 12)), o += char(0x80 | ((c >> 6) & 0x3F)), o += char(0x80 | (c & 0x3F));
  }
  return o;
}

bool Sh(const std::string& cmd) { return std::system((cmd + " >/dev/null 2>&1").c_str()) == 0; }

// A read-only facade over an image file, so that sparse images need no memory.
class FileDevice : public IStorageDevice {
 public:
  explicit FileDevice(const std::string& path) : m_fd(::open(path.c_str(), O_RDONLY)) {
    if (m_fd >= 0) m_size = uint64_t(::lseek(m_fd, 0, SEEK_END));
  }
  ~FileDevice() { if (m_fd >= 0) ::close(m_fd); }
  bool ok() const { return m_fd >= 0; }
  void Release() override {}
  int Attach(IDevice*) override { return 0; }
  int GetFileSystem() override { return 0; }
  IDevice* GetDevice() override { return nullptr; }
  int GetType() override { return 0; }
  int GetSize(uint64_t* s) override { *s = m_size; return 0; }
  int GetClusterInfo(int* c, int* s) override { *c = 4096; *s = 512; return 0; }
  int Read(void* buf, uint32_t n) override {
    ssize_t got = ::pread(m_fd, buf, n, off_t(m_pos));
    if (got > 0) m_pos += uint64_t(got);
    return int(got);
  }
  int Write(const void*, uint32_t) override { return -1; }
  int64_t Seek(int64_t off, int) override { m_pos = uint64_t(off); return off; }
  int ReadSectors(int64_t first, void* buf, uint32_t n) override {
    return int(::pread(m_fd, buf, size_t(n) * 512, off_t(first * 512)));
  }
  int WriteSectors(int64_t, const void*, uint32_t) override { return -1; }
  int CloneRead(void* b, uint32_t n) override { return Read(b, n); }
  int CloneWrite(const void*, uint32_t) override { return -1; }
  int64_t CloneSeek(int64_t o, int w) override { return Seek(o, w); }
  int CloneReadSectors(int64_t f, void* b, uint32_t n) override { return ReadSectors(f, b, n); }
  int CloneWriteSectors(int64_t, const void*, uint32_t) override { return -1; }
  bool IsReadOnly() override { return true; }
  int Close(int) override { return 0; }

 private:
  int m_fd;
  uint64_t m_size = 0;
  uint64_t m_pos = 0;
};

struct Found {
  uint64_t size;
  uint32_t flags;
  std::vector<uint8_t> bytes;
};

struct Collect : IFileManager {
  explicit Collect(const std::vector<uint8_t>* img) : image(img) {}
  const std::vector<uint8_t>* image;
  std::map<std::string, Found> files;
  IFileManager* SetStorageDevice(IStorageDevice*) override { return this; }
  IStorageDevice* GetStorageDevice() override { return nullptr; }
  int SetNotifySink(INotifySink*) override { return 0; }
  int AddFile(const char16_t* folder, IFileInfo* file) override {
    std::string path = U8(folder);
    if (path.empty() || path.back() != '/') path += '/';
    path += U8(file->GetName());
    Found f{file->GetSize(), file->GetFlags(), {}};
    RunList* r = static_cast<RunList*>(file->GetRunList());
    if (image && r) {
      uint64_t off = r->m_start * 512, len = uint64_t(r->m_count) * 512;
      if (off <= image->size()) {
        len = std::min<uint64_t>(std::min<uint64_t>(len, f.size), image->size() - off);
        f.bytes.assign(image->begin() + off, image->begin() + off + len);
      }
    }
    files[path] = std::move(f);
    file->Release();
    return 0;
  }
  int GetFileOp(IFileInfo*, IFileOP**) override { return 0; }
  int ListFiles(IFilter*, INotifySink*) override { return 0; }
  int CreateFilter(IFilter**) override { return 0; }
  void Release() override {}
  IDeviceBitmap* GetDeviceBitmap() override { return nullptr; }

  // The found file whose path ends like the original's below its first folder (the old
  // root directory is what a quick format overwrites).
  const Found* BySuffix(const std::string& original) const {
    size_t cut = original.find('/', 1);
    std::string tail = original.substr(cut);
    for (auto& kv : files)
      if (kv.first.size() >= tail.size() && kv.first.compare(kv.first.size() - tail.size(), tail.size(), tail) == 0)
        return &kv.second;
    return nullptr;
  }
};

struct Sink : INotifySink {
  std::vector<std::pair<int, int64_t>> seen;
  int stopAt = -1;
  int Notify(int e, int64_t a, int64_t, void*) override {
    seen.push_back({e, a});
    return (stopAt >= 0 && int(seen.size()) >= stopAt) ? 1 : 0;
  }
};

std::map<std::string, Found> RunFatFormat(IStorageDevice* dev, int type, const std::vector<uint8_t>* img,
                                          int* rc = nullptr, fatrec::FatInfo* info = nullptr) {
  IScanOperator* s = CreateFatFormatScanner(dev, type);
  EXPECT_NE(s, nullptr);
  Collect fm(img);
  Sink sink;
  s->SetFileManager(&fm);
  int r = s->Scan(&sink);
  if (rc) *rc = r;
  if (info) *info = static_cast<CFatFormat*>(s)->Info();
  s->Release();
  return fm.files;
}

// Every file whose directory entry survived (below the overwritten root) comes back with
// its long name; those outside reused or fragmented areas byte for byte.
void CheckAgainstManifest(const std::string& name, const std::map<std::string, Found>& found,
                          const std::vector<std::string>& skipBytes, int allowedMissing = 0) {
  testutil::FixtureManifest m;
  ASSERT_TRUE(m.Load(name));
  Collect c(nullptr);
  c.files = found;
  int checked = 0;
  for (const auto* e : m.Files()) {
    if (e->deleted || e->path.find('/', 1) == std::string::npos) continue;
    const Found* f = c.BySuffix(e->path);
    if (!f) {
      EXPECT_GT(allowedMissing--, 0) << e->path;
      continue;
    }
    EXPECT_EQ(f->size, e->size) << e->path;
    bool skip = false;
    for (auto& p : skipBytes) skip |= e->path.compare(0, p.size(), p) == 0;
    if (!skip) {
      EXPECT_TRUE(m.SameAsOriginal(e->path, f->bytes)) << e->path;
    }
    ++checked;
  }
  EXPECT_GT(checked, 30);
}

}  // namespace

// ---------------------------------------------------------------------------------------
// FAT

TEST(FatFormat, QuickFormattedFat16AndFat32ComeBackByteForByte) {
  for (auto [name, type] : {std::pair<std::string, int>{"fat16", 1}, {"fat32", 2}}) {
    std::string path = testutil::Fixture(name + "-qformat.img");
    if (path.empty()) GTEST_SKIP() << "fixture missing";
    uint64_t before = testutil::FileChecksum(path);
    auto img = testutil::ReadFile(path);
    FatMemDevice dev(img);
    int rc = -9;
    auto found = RunFatFormat(&dev, type, &img, &rc);
    EXPECT_EQ(rc, 1);  // the search reached the device's end
    EXPECT_EQ(dev.writes, 0);
    // frag/ holds a file laid around another's hole: not contiguous.
    CheckAgainstManifest(name, found, {"/frag/"});
    // A deleted file whose entry survived is marked as found by the format search.
    bool deletedSeen = false;
    for (auto& kv : found)
      if (kv.first.find("Meeting notes 2.txt") != std::string::npos) deletedSeen = (kv.second.flags & FF_FORMATTED) != 0;
    EXPECT_TRUE(deletedSeen) << name;
    if (type == 2) {
      // The deleted folder above cluster 65535 had its high word cleared: its files still
      // come back with their bytes.
      testutil::FixtureManifest m;
      ASSERT_TRUE(m.Load("fat32"));
      Collect c(nullptr);
      c.files = found;
      const Found* f = c.BySuffix("/high/deleted folder/inside two.bin");
      ASSERT_NE(f, nullptr);
      EXPECT_TRUE(m.SameAsOriginal("/high/deleted folder/inside two.bin", f->bytes));
    }
    EXPECT_EQ(testutil::FileChecksum(path), before);
  }
}

// Volume Recovery of volumes that were never formatted: the folders are those of the
// present volume, and its FAT tells which deleted entries name clusters a live file holds
// now. In fat16.img, frag/d.bin filled the hole b left, ran on behind c and was deleted:
// one piece from its first cluster crosses c, so it comes without data. Every other file
// that comes with data is its original byte for byte, deleted ones included.
TEST(FatFormat, IntactVolumeGivesNoDeletedFileTheBytesOfALiveOne) {
  int ran = 0;
  for (auto [name, type] : {std::pair<std::string, int>{"fat16", 1}, {"fat32", 2}}) {
    std::string path = testutil::Fixture(name + ".img");
    testutil::FixtureManifest m;
    if (path.empty() || !m.Load(name)) continue;
    ++ran;
    auto img = testutil::ReadFile(path);
    FatMemDevice dev(img);
    int rc = -9;
    Collect c(nullptr);
    c.files = RunFatFormat(&dev, type, &img, &rc);
    EXPECT_EQ(rc, 1) << name;
    int exact = 0, deletedExact = 0, noData = 0;
    for (const auto* e : m.Files()) {
      const std::string tail = e->path.substr(e->path.rfind('/'));
      const Found* f = nullptr;
      for (auto& kv : c.files)
        if (kv.first.size() >= e->path.size() &&
            kv.first.compare(kv.first.size() - e->path.size(), e->path.size(), e->path) == 0)
          f = &kv.second;
      if (!f) continue;
      if (f->flags & FF_NODATA) {
        EXPECT_TRUE(f->bytes.empty()) << e->path;
        ++noData;
        continue;
      }
      EXPECT_TRUE(m.SameAsOriginal(e->path, f->bytes)) << name << " " << e->path;
      ++exact;
      deletedExact += e->deleted;
    }
    std::printf("%s: %d exact (%d of them deleted), %d without data\n", name.c_str(), exact, deletedExact,
                noData);
    EXPECT_GT(exact, 30) << name;
    EXPECT_GT(deletedExact, 3) << name;
    if (type == 1) {
      // A deleted 8.3 entry has lost its first letter.
      auto d = c.files.find("/Volume/frag/_.bin");
      ASSERT_NE(d, c.files.end());
      EXPECT_EQ(d->second.size, 30820u);
      EXPECT_TRUE(d->second.flags & FF_NODATA);
    }
  }
  if (!ran) GTEST_SKIP() << "fixtures missing";
}

TEST(FatFormat, ZeroedBootSectorsGiveTheOriginalGeometry) {
  for (auto [name, type] : {std::pair<std::string, int>{"fat16", 1}, {"fat32", 2}}) {
    std::string path = testutil::Fixture(name + "-qformat.img");
    if (path.empty()) GTEST_SKIP() << "fixture missing";
    auto img = testutil::ReadFile(path);
    fat::FatGeometry g;
    ASSERT_EQ(fat::ParseFatBoot(img.data(), 512, type == 2 ? fat::kFat32 : fat::kFat16, img.size(), &g), 0);
    std::fill(img.begin(), img.begin() + 512, 0);
    if (type == 2) std::fill(img.begin() + 6 * 512, img.begin() + 7 * 512, 0);  // the backup
    FatMemDevice dev(img);
    fatrec::FatInspector ins(&dev);
    fatrec::FatInfo fi;
    fi.ft = fatrec::FatType(type);
    ASSERT_TRUE(ins.Inspect(&fi)) << name;
    EXPECT_EQ(uint32_t(fi.clusterSize), g.clusterBytes);
    EXPECT_EQ(uint64_t(ins.ClusterToOffset(2)), g.dataOffset);
    if (type == 1) {
      EXPECT_EQ(uint64_t(ins.RootDirOffset()), g.rootDirOffset);
    }
    EXPECT_EQ(ins.ClusterToOffset(0xFFFD), type == 1 ? -1 : ins.ClusterToOffset(0xFFFD));
    // Two inspections in one process agree, and so do two whole scans.
    fatrec::FatInspector again(&dev);
    fatrec::FatInfo f2;
    f2.ft = fi.ft;
    ASSERT_TRUE(again.Inspect(&f2));
    EXPECT_EQ(f2.clusterSize, fi.clusterSize);
    EXPECT_EQ(again.ClusterToOffset(2), ins.ClusterToOffset(2));
    EXPECT_EQ(again.DotClustersFound(), ins.DotClustersFound());
    auto a = RunFatFormat(&dev, type, &img);
    auto b = RunFatFormat(&dev, type, &img);
    EXPECT_GT(a.size(), 30u);
    ASSERT_EQ(a.size(), b.size());
    for (auto& kv : a) EXPECT_TRUE(b.count(kv.first)) << kv.first;
    CheckAgainstManifest(name, a, {"/frag/"});
  }
}

// A reformat with another cluster size: the old directories outvote the new boot sector,
// so the old files are placed with the old geometry. Directories the new volume writes
// would pull the other way; the vote counts clusters, so a new tree larger than the old
// surviving one would win. That is the limit.
TEST(FatFormat, DotEntryClusterKeepsTwentyEightBits) {
  // Two folders' "." entries alone place the clusters once the boot sectors are gone. The
  // top four bits of a FAT32 cluster number are reserved: a "." entry that carries one in
  // its high word still names its own cluster, as every other reader of an entry takes it.
  std::string path = testutil::Fixture("fat32-qformat.img");
  if (path.empty()) GTEST_SKIP() << "fixture missing";
  auto img = testutil::ReadFile(path);
  fat::FatGeometry g;
  ASSERT_EQ(fat::ParseFatBoot(img.data(), 512, fat::kFat32, img.size(), &g), 0);
  std::fill(img.begin(), img.begin() + 512, 0);
  std::fill(img.begin() + 6 * 512, img.begin() + 7 * 512, 0);
  std::vector<uint64_t> dots;
  for (uint64_t at = g.dataOffset; at + 64 <= img.size(); at += 512) {
    if (!fatrec::FatInspector::IsDotPair(img.data() + at, 64)) continue;
    if (dots.size() < 2) dots.push_back(at);
    else std::fill(img.begin() + long(at), img.begin() + long(at) + 64, 0);  // leaves two
  }
  ASSERT_EQ(dots.size(), 2u);
  for (bool patched : {false, true}) {
    if (patched) img[dots[1] + 21] |= 0x10;  // "." high word, bit 28 of the number
    FatMemDevice dev(img);
    fatrec::FatInspector ins(&dev);
    fatrec::FatInfo fi;
    fi.ft = fatrec::FT_FAT32;
    ASSERT_TRUE(ins.Inspect(&fi)) << patched;
    EXPECT_EQ(uint32_t(fi.clusterSize), g.clusterBytes) << patched;
    EXPECT_EQ(uint64_t(ins.ClusterToOffset(2)), g.dataOffset) << patched;
  }
}

TEST(FatFormat, ReformatWithAnotherClusterSizeKeepsTheOldGeometry) {
  std::string path = testutil::Fixture("fat16.img");
  if (path.empty() || !Sh("command -v mkfs.fat")) GTEST_SKIP() << "fixture or mkfs.fat missing";
  testutil::TempDir tmp;
  std::string copy = tmp.file("re.img");
  ASSERT_TRUE(Sh("cp " + path + " " + copy + " && mkfs.fat -F 16 -s 8 " + copy));
  auto img = testutil::ReadFile(copy);
  FatMemDevice dev(img);
  fatrec::FatInfo fi;
  int rc = -9;
  auto found = RunFatFormat(&dev, 1, &img, &rc, &fi);
  EXPECT_EQ(rc, 1);
  EXPECT_EQ(fi.clusterSize, 2048);  // the old -s 4, not the new -s 8
  testutil::FixtureManifest m;
  ASSERT_TRUE(m.Load("fat16"));
  Collect c(nullptr);
  c.files = found;
  const Found* f = c.BySuffix("/photos/Winter/Schnee über den Bergen.jpg");
  ASSERT_NE(f, nullptr);
  EXPECT_TRUE(m.SameAsOriginal("/photos/Winter/Schnee über den Bergen.jpg", f->bytes));
}

// A FAT16 volume with a labelled root of 256 entries (one 8 KiB cluster) loses its boot
// sector. The directories give the cluster size and data start, but the root is placed for
// 512 entries, one cluster too early; the label found one cluster on gives the real root,
// so the root's own files come back under the volume.
TEST(FatFormat, RootFoundByItsVolumeLabelAfterTheBootSectorIsLost) {
  if (!Sh("command -v mkfs.fat && command -v mcopy")) GTEST_SKIP() << "mtools missing";
  testutil::TempDir tmp;
  std::string img = tmp.file("label.img");
  std::string rootNote = tmp.file("note.txt"), inner = tmp.file("inner.bin");
  testutil::WriteFile(rootNote, testutil::RandomBytes(3000, 11));
  testutil::WriteFile(inner, testutil::RandomBytes(20000, 12));
  std::string m = "MTOOLS_SKIP_CHECK=1 ";
  ASSERT_TRUE(Sh("mkfs.fat -C -F 16 -s 16 -r 256 -n ROOTLABEL " + img + " 65536"));
  ASSERT_TRUE(Sh(m + "mcopy -i " + img + " " + rootNote + " '::/Root note.txt' && " + m + "mcopy -i " + img + " " +
                 inner + " ::/ROOT.BIN && " + m + "mmd -i " + img + " ::/sub ::/sub/deeper ::/other && " + m +
                 "mcopy -i " + img + " " + inner + " '::/sub/deeper/inner file.bin' && " + m + "mcopy -i " + img +
                 " " + rootNote + " '::/other/second note.txt'"));
  auto bytes = testutil::ReadFile(img);
  fat::FatGeometry g;
  ASSERT_EQ(fat::ParseFatBoot(bytes.data(), 512, fat::kFat16, bytes.size(), &g), 0);
  ASSERT_EQ(g.rootEntries, 256u);
  ASSERT_EQ(g.clusterBytes, 8192u);
  ASSERT_EQ(bytes[g.rootDirOffset + 11], 0x08);  // the label leads the root
  std::fill(bytes.begin(), bytes.begin() + 512, 0);

  FatMemDevice dev(bytes);
  fatrec::FatInspector ins(&dev);
  fatrec::FatInfo fi;
  fi.ft = fatrec::FT_FAT16;
  ASSERT_TRUE(ins.Inspect(&fi));
  EXPECT_EQ(uint64_t(ins.ClusterToOffset(2)), g.dataOffset);
  EXPECT_EQ(uint64_t(ins.RootDirOffset()) + g.clusterBytes, g.rootDirOffset);  // one cluster early

  int rc = -9;
  auto found = RunFatFormat(&dev, 1, &bytes, &rc);
  EXPECT_EQ(rc, 1);
  EXPECT_EQ(dev.writes, 0);
  ASSERT_TRUE(found.count("/Volume/Root note.txt")) << found.size();
  EXPECT_EQ(found["/Volume/Root note.txt"].bytes, testutil::ReadFile(rootNote));
  ASSERT_TRUE(found.count("/Volume/ROOT.BIN"));
  EXPECT_EQ(found["/Volume/ROOT.BIN"].bytes, testutil::ReadFile(inner));
  // The folders hang under the root again, not under "Lost Location".
  ASSERT_TRUE(found.count("/Volume/sub/deeper/inner file.bin"));
  EXPECT_EQ(found["/Volume/sub/deeper/inner file.bin"].bytes, testutil::ReadFile(inner));
  EXPECT_TRUE(found.count("/Volume/other/second note.txt"));
  for (auto& kv : found) EXPECT_EQ(kv.first.find("Lost Location"), std::string::npos) << kv.first;

  // A write time of 60 seconds cannot be: the parse of the root ends at that entry, so the
  // entries before it still come back and those behind it do not.
  size_t at = g.rootDirOffset;
  while (at < g.rootDirOffset + g.rootDirBytes && std::memcmp(&bytes[at], "ROOT    BIN", 11) != 0) at += 32;
  ASSERT_LT(at, g.rootDirOffset + g.rootDirBytes);
  kbytes::PutLe16(&bytes[at + 22], 0xBF7E);
  FatMemDevice bad(bytes);
  found = RunFatFormat(&bad, 1, &bytes, &rc);
  EXPECT_TRUE(found.count("/Volume/Root note.txt"));
  EXPECT_FALSE(found.count("/Volume/ROOT.BIN"));
  EXPECT_FALSE(found.count("/Volume/other/second note.txt"));
}

// An entry with an attribute above 63 (no file system writes one) and a stray volume label
// lead a folder's entries: both are passed over and the files behind them still come back.
TEST(FatFormat, BadAttributeAndLabelEntriesDoNotEndTheFolder) {
  if (!Sh("command -v mkfs.fat && command -v mcopy")) GTEST_SKIP() << "mtools missing";
  testutil::TempDir tmp;
  std::string img = tmp.file("attr.img");
  std::string a = tmp.file("a"), b = tmp.file("b");
  testutil::WriteFile(a, testutil::RandomBytes(5000, 21));
  testutil::WriteFile(b, testutil::RandomBytes(9000, 22));
  std::string m = "MTOOLS_SKIP_CHECK=1 ";
  ASSERT_TRUE(Sh("mkfs.fat -C -F 16 -s 4 " + img + " 16384"));
  ASSERT_TRUE(Sh(m + "mmd -i " + img + " ::/dir && " + m + "mcopy -i " + img + " " + a + " '::/dir/first after.txt' && " +
                 m + "mcopy -i " + img + " " + b + " ::/dir/SECOND.BIN"));
  auto bytes = testutil::ReadFile(img);
  fat::FatGeometry g;
  ASSERT_EQ(fat::ParseFatBoot(bytes.data(), 512, fat::kFat16, bytes.size(), &g), 0);
  size_t dir = 0;
  for (size_t at = g.dataOffset; at + 64 <= bytes.size() && !dir; at += g.clusterBytes)
    if (fatrec::FatInspector::IsDotPair(bytes.data() + at, 64)) dir = at;
  ASSERT_NE(dir, 0u);
  // Two slots made in front of the folder's files, after "." and "..".
  std::memmove(&bytes[dir + 128], &bytes[dir + 64], g.clusterBytes - 128);
  uint8_t* odd = &bytes[dir + 64];
  std::memcpy(odd, &bytes[dir], 32);  // the "." entry's times
  std::memcpy(odd, "ODDATTR BIN", 11);
  odd[11] = 0x41;
  uint8_t* label = &bytes[dir + 96];
  std::memset(label, 0, 32);
  std::memcpy(label, "OLD LABEL  ", 11);
  label[11] = 0x08;
  FatMemDevice dev(bytes);
  int rc = -9;
  auto found = RunFatFormat(&dev, 1, &bytes, &rc);
  EXPECT_EQ(rc, 1);
  Collect c(nullptr);
  c.files = found;
  const Found* first = c.BySuffix("/x/dir/first after.txt");
  const Found* second = c.BySuffix("/x/dir/SECOND.BIN");
  ASSERT_NE(first, nullptr) << found.size();
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(first->bytes, testutil::ReadFile(a));
  EXPECT_EQ(second->bytes, testutil::ReadFile(b));
  for (auto& kv : found) {
    EXPECT_EQ(kv.first.find("ODDATTR"), std::string::npos) << kv.first;
    EXPECT_EQ(kv.first.find("OLD LABEL"), std::string::npos) << kv.first;
  }
}

// Two folders each end their first cluster inside a long name, and both names share one
// short alias, so one checksum. The first folder goes on in the next cluster and is
// completed there; the second goes on in a cluster further on, which must be joined with
// the second folder's own pieces, not the first's.
TEST(FatFormat, SplitLongNameJoinsTheNewestRunOfItsChecksum) {
  if (!Sh("command -v mkfs.fat && command -v mcopy")) GTEST_SKIP() << "mtools missing";
  testutil::TempDir tmp;
  std::string img = tmp.file("split.img");
  std::string empty = tmp.file("empty"), two = tmp.file("two"), fill;
  testutil::WriteFile(empty, {});
  testutil::WriteFile(two, testutil::RandomBytes(7000, 31));
  for (int i = 0; i < 60; ++i) {
    std::string f = tmp.file("F" + std::to_string(100 + i) + ".TXT");
    testutil::WriteFile(f, {});
    fill += " " + f;
  }
  std::string m = "MTOOLS_SKIP_CHECK=1 ";
  // 64 entries a cluster: the dots and 60 short names leave two slots, so each long name's
  // two pieces end the first cluster and its short entry opens the next.
  ASSERT_TRUE(Sh("mkfs.fat -C -F 16 -s 4 " + img + " 16384"));
  ASSERT_TRUE(Sh(m + "mmd -i " + img + " ::/A && " + m + "mcopy -i " + img + fill + " ::/A/ && " + m + "mcopy -i " +
                 img + " " + empty + " '::/A/split name one.txt' && " + m + "mmd -i " + img + " ::/B && " + m +
                 "mcopy -i " + img + fill + " ::/B/ && " + m + "mcopy -i " + img + " " + two +
                 " '::/B/split name two.txt'"));
  auto bytes = testutil::ReadFile(img);
  fat::FatGeometry g;
  ASSERT_EQ(fat::ParseFatBoot(bytes.data(), 512, fat::kFat16, bytes.size(), &g), 0);
  auto cluster = [&](uint32_t c) { return &bytes[g.dataOffset + uint64_t(c - 2) * g.clusterBytes]; };
  auto next = [&](uint32_t c) { return kbytes::Le16(&bytes[g.fatOffset + 2 * c]); };
  // A in clusters 2 and 3, B from 4 on to a cluster behind its file's data.
  ASSERT_TRUE(fatrec::FatInspector::IsDotPair(cluster(2), 64));
  ASSERT_TRUE(fatrec::FatInspector::IsDotPair(cluster(4), 64));
  ASSERT_EQ(next(2), 3u);
  ASSERT_GT(next(4), 5u);
  ASSERT_EQ(std::memcmp(cluster(3), "SPLITN~1TXT", 11), 0);
  ASSERT_EQ(std::memcmp(cluster(next(4)), "SPLITN~1TXT", 11), 0);
  FatMemDevice dev(bytes);
  int rc = -9;
  auto found = RunFatFormat(&dev, 1, &bytes, &rc);
  EXPECT_EQ(rc, 1);
  Collect c(nullptr);
  c.files = found;
  const Found* one = c.BySuffix("/x/A/split name one.txt");
  const Found* second = c.BySuffix("/x/B/split name two.txt");
  ASSERT_NE(one, nullptr);
  EXPECT_EQ(one->size, 0u);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(second->bytes, testutil::ReadFile(two));
}

TEST(FatFormat, HostileBootValuesAndBadArgumentsAreRefused) {
  // No directories at all: only the boot sector can answer, and its values are impossible.
  std::vector<uint8_t> img(2 << 20, 0);
  std::memcpy(img.data() + 54, "FAT16   ", 8);
  img[510] = 0x55, img[511] = 0xAA;
  for (int variant = 0; variant < 3; ++variant) {
    auto bad = img;
    kbytes::PutLe16(bad.data() + 11, variant == 0 ? 0 : 512);
    bad[13] = variant == 1 ? 0 : 4;
    kbytes::PutLe16(bad.data() + 14, 1);
    bad[16] = 2;
    kbytes::PutLe16(bad.data() + 17, variant == 2 ? 0 : 512);
    kbytes::PutLe16(bad.data() + 19, 4096);
    kbytes::PutLe16(bad.data() + 22, 0);  // zero sectors per FAT
    FatMemDevice dev(bad);
    fatrec::FatInspector ins(&dev);
    fatrec::FatInfo fi;
    fi.ft = fatrec::FT_FAT16;
    EXPECT_FALSE(ins.Inspect(&fi)) << variant;
    int rc = 0;
    auto found = RunFatFormat(&dev, 1, &bad, &rc);
    EXPECT_EQ(rc, -1);
    EXPECT_TRUE(found.empty());
  }
  FatMemDevice dev(img);
  fatrec::FatInspector ins(&dev);
  int64_t pos = 0;
  EXPECT_EQ(ins.FindDirCluster(0, int64_t(img.size()), 0, &pos), fatrec::FatInspector::kEndOfRange);
  EXPECT_EQ(ins.FindDirCluster(0, int64_t(img.size()), 0x20000, &pos), fatrec::FatInspector::kEndOfRange);
  fatrec::FatInfo fi;
  fi.ft = fatrec::FT_None;
  EXPECT_FALSE(ins.Inspect(&fi));
  uint8_t b[16];
  EXPECT_EQ(ins.CachedRead(-1, b, 16), 43);
  EXPECT_EQ(ins.CachedRead(int64_t(img.size()) - 8, b, 16), 5);  // past the end
  EXPECT_EQ(CreateFatFormatScanner(&dev, 3), nullptr);
  CFatFormat f;
  EXPECT_EQ(f.SetFatType(7), -1);
  EXPECT_EQ(f.GetScanType(), Scan_FormatFat16);
  EXPECT_EQ(f.SetFatType(2), 0);
  EXPECT_EQ(f.GetScanType(), Scan_FormatFat32);
  EXPECT_EQ(f.Scan(nullptr), -1);  // no device
  IScanParam* p1 = nullptr;
  IScanParam* p2 = nullptr;
  EXPECT_EQ(f.GetScanParam(&p1), 0);
  EXPECT_EQ(f.GetScanParam(&p2), 0);
  EXPECT_EQ(p1, p2);
  EXPECT_EQ(static_cast<CFATScanParam*>(p1)->SetDevice(nullptr), -1);
}

// A fresh volume has no folders to measure: only its boot sector places the clusters. That
// is taken when the device does not know its file system, or knows it as this FAT, and
// refused when the device says it holds another one.
TEST(FatFormat, BootSectorAloneServesUnlessTheDeviceNamesAnotherSystem) {
  if (!Sh("command -v mkfs.fat")) GTEST_SKIP() << "mkfs.fat missing";
  testutil::TempDir tmp;
  std::string img = tmp.file("fresh.img");
  ASSERT_TRUE(Sh("mkfs.fat -C -F 16 -s 4 " + img + " 16384"));
  auto bytes = testutil::ReadFile(img);
  fat::FatGeometry g;
  ASSERT_EQ(fat::ParseFatBoot(bytes.data(), 512, fat::kFat16, bytes.size(), &g), 0);
  struct Named : FatMemDevice {
    using FatMemDevice::FatMemDevice;
    int fs = 0;
    int GetFileSystem() override { return fs; }
  };
  for (int fs : {0, int(FS_FAT16), int(FS_FAT32), int(FS_NTFS), int(FS_EXFAT)}) {
    Named dev(bytes);
    dev.fs = fs;
    fatrec::FatInspector ins(&dev);
    fatrec::FatInfo fi;
    fi.ft = fatrec::FT_FAT16;
    bool taken = fs == 0 || fs == FS_FAT16;
    ASSERT_EQ(ins.Inspect(&fi), taken) << fs;
    if (!taken) continue;
    EXPECT_EQ(uint32_t(fi.clusterSize), g.clusterBytes) << fs;
    EXPECT_EQ(uint64_t(ins.ClusterToOffset(2)), g.dataOffset) << fs;
    EXPECT_EQ(uint64_t(ins.RootDirOffset()), g.rootDirOffset) << fs;
  }
}

// The search reaches the device's last step: a folder in the last cluster is found.
TEST(FatFormat, SearchReachesTheLastCluster) {
  std::vector<uint8_t> img(1 << 20, 0);
  uint8_t* last = img.data() + img.size() - 512;
  for (int k = 0; k < 2; ++k) {
    uint8_t* e = last + 32 * k;
    std::memcpy(e, k == 0 ? ".          " : "..         ", 11);
    e[11] = 0x10;
  }
  FatMemDevice dev(img);
  fatrec::FatInspector ins(&dev);
  int64_t pos = 0;
  ASSERT_EQ(ins.FindDirCluster(0, int64_t(img.size()), 512, &pos), fatrec::FatInspector::kDotCluster);
  EXPECT_EQ(pos, int64_t(img.size()) - 512);
}

TEST(FatFormat, CacheServesInsideAndRefillsAcrossItsEnd) {
  auto img = testutil::RandomBytes(9 << 20, 77);
  FatMemDevice dev(img);
  fatrec::FatInspector ins(&dev);
  std::vector<uint8_t> b(4096);
  ASSERT_EQ(ins.CachedRead(100, b.data(), 4096), 0);
  EXPECT_EQ(0, std::memcmp(b.data(), img.data() + 100, 4096));
  int reads = dev.reads;
  ASSERT_EQ(ins.CachedRead(5000, b.data(), 4096), 0);
  EXPECT_EQ(dev.reads, reads);  // inside the cache
  ASSERT_EQ(ins.CachedRead((8 << 20) + 50, b.data(), 4096), 0);  // straddles its end
  EXPECT_GT(dev.reads, reads);
  EXPECT_EQ(0, std::memcmp(b.data(), img.data() + (8 << 20) + 50, 4096));
}

TEST(FatFormat, SinkStopEndsTheSearchWithoutHandOver) {
  std::string path = testutil::Fixture("fat32-qformat.img");
  if (path.empty()) GTEST_SKIP() << "fixture missing";
  auto img = testutil::ReadFile(path);
  FatMemDevice dev(img);
  IScanOperator* s = CreateFatFormatScanner(&dev, 2);
  Collect fm(&img);
  Sink sink;
  s->SetFileManager(&fm);
  EXPECT_EQ(s->Scan(&sink), 1);
  int64_t last = 0;
  for (auto& e : sink.seen)
    if (e.first == NE_PERCENT) {
      EXPECT_GE(e.second, last);
      last = e.second;
    }
  EXPECT_EQ(sink.seen.back().first, NE_FINISHED);
  Sink stop;
  stop.stopAt = 40;
  Collect fm2(&img);
  s->SetFileManager(&fm2);
  EXPECT_EQ(s->Scan(&stop), 2);
  EXPECT_EQ(stop.seen.back().first, NE_FINISHED);
  s->Release();
}

// ---------------------------------------------------------------------------------------
// exFAT

namespace {
std::map<std::string, Found> RunExfatFormat(IStorageDevice* dev, const std::vector<uint8_t>* img, int* rc,
                                            uint32_t* spc = nullptr) {
  CExfatFormat s(dev, nullptr);
  Collect fm(img);
  Sink sink;
  s.SetFileManager(&fm);
  *rc = s.Scan(&sink);
  if (spc) *spc = s.SectorsPerCluster();
  return fm.files;
}
}  // namespace

TEST(ExfatFormat, QuickFormattedVolumeAndZeroedBootRegions) {
  std::string path = testutil::Fixture("exfat-qformat.img");
  if (path.empty()) GTEST_SKIP() << "fixture missing";
  uint64_t before = testutil::FileChecksum(path);
  auto img = testutil::ReadFile(path);
  for (int zeroed = 0; zeroed < 2; ++zeroed) {
    auto bytes = img;
    if (zeroed) std::fill(bytes.begin(), bytes.begin() + 24 * 512, 0);  // main and backup regions
    FatMemDevice dev(bytes);
    int rc = -9;
    uint32_t spc = 0;
    auto found = RunExfatFormat(&dev, &bytes, &rc, &spc);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(spc, 8u) << zeroed;
    // Entry sets cut by the end of a directory cluster whose next cluster lies further on
    // (the directory grew between the files written into it) are completed there.
    CheckAgainstManifest("exfat", found, {});
    for (auto& kv : found) EXPECT_TRUE(kv.second.flags & FF_FORMATTED) << kv.first;
    EXPECT_EQ(dev.writes, 0);
  }
  EXPECT_EQ(testutil::FileChecksum(path), before);
  IScanOperator* s = CreateExfatFormatScanner(nullptr);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->GetScanType(), Scan_FormatExfat);
  Sink sink;
  EXPECT_EQ(s->Scan(nullptr), RC_BAD_ARGUMENT);
  EXPECT_EQ(s->Scan(&sink), RC_WRONG_FS);
  s->Release();
}

namespace {

struct RunsOf : Collect {
  explicit RunsOf(const std::vector<uint8_t>* img = nullptr) : Collect(img) {}
  std::map<uint64_t, std::vector<std::pair<uint64_t, uint32_t>>> byStart;  // first run start -> runs
  int AddFile(const char16_t* folder, IFileInfo* file) override {
    std::vector<std::pair<uint64_t, uint32_t>> runs;
    for (RunList* r = static_cast<RunList*>(file->GetRunList()); r; r = r->m_next) runs.push_back({r->m_start, r->m_count});
    if (!runs.empty()) byStart[runs[0].first == RUN_HOLE ? uint64_t(file->GetSize()) : runs[0].first] = runs;
    return Collect::AddFile(folder, file);
  }
};

}  // namespace

// Bytes past a file's valid data length read as zeros on exFAT: they come back as a hole.
// An unreadable data cluster in the middle of the volume costs only itself.
TEST(ExfatFormat, ValidDataLengthHoleAndUnreadableClusterMidVolume) {
  std::string path = testutil::Fixture("exfat-qformat.img");
  if (path.empty()) GTEST_SKIP() << "fixture missing";
  const auto original = testutil::ReadFile(path);
  auto img = original;
  const uint64_t heap = uint64_t(kbytes::Le32(img.data() + 88)) * 512, cb = 4096;
  const uint32_t root = kbytes::Le32(img.data() + 96);
  // Two live stream entries of files of more than one cluster, beyond the root.
  std::vector<size_t> streams;
  for (size_t o = heap; o + 32 <= img.size() && streams.size() < 2; o += 32) {
    const uint8_t* e = img.data() + o;
    if (e[0] != 0xC0 || o % 32 || img[o - 32] != 0x85 || (kbytes::Le16(img.data() + o - 28) & 0x10)) continue;
    if (kbytes::Le64(e + 24) > 2 * cb && kbytes::Le32(e + 20) > root + 4) streams.push_back(o);
  }
  ASSERT_EQ(streams.size(), 2u);
  uint8_t* half = img.data() + streams[0];
  uint64_t length = kbytes::Le64(half + 24);
  uint32_t first = kbytes::Le32(half + 20);
  kbytes::PutLe64(half + 8, 1000);  // two sectors written, the rest never
  uint8_t* none = img.data() + streams[1];
  uint64_t noneLength = kbytes::Le64(none + 24);
  kbytes::PutLe64(none + 8, 0);
  uint64_t sectors = (length + cb - 1) / cb * 8, noneSectors = (noneLength + cb - 1) / cb * 8;

  // The bad cluster is the first file's second one: file data, not a directory.
  uint64_t bad = heap + (uint64_t(first) - 2 + 1) * cb;
  UnreadableStretch dev(img, bad, bad + cb);
  CExfatFormat s(&dev, nullptr);
  RunsOf fm;
  Sink sink;
  s.SetFileManager(&fm);
  EXPECT_EQ(s.Scan(&sink), RC_READ_FAILED);  // to the end, past the unreadable cluster
  uint64_t start = (heap + (uint64_t(first) - 2) * cb) / 512;
  ASSERT_TRUE(fm.byStart.count(start));
  auto runs = fm.byStart[start];
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_EQ(runs[0], std::make_pair(start, 2u));
  EXPECT_EQ(runs[1], std::make_pair(RUN_HOLE, uint32_t(sectors - 2)));
  ASSERT_TRUE(fm.byStart.count(noneLength));
  EXPECT_EQ(fm.byStart[noneLength].size(), 1u);
  EXPECT_EQ(fm.byStart[noneLength][0], std::make_pair(RUN_HOLE, uint32_t(noneSectors)));
  EXPECT_EQ(dev.writes, 0);

  // Every folder beyond the bad cluster was still read.
  UnreadableStretch plain(original, bad, bad + cb);
  CExfatFormat t(&plain, nullptr);
  RunsOf all(&original);
  t.SetFileManager(&all);
  EXPECT_EQ(t.Scan(&sink), RC_READ_FAILED);
  CheckAgainstManifest("exfat", all.files, {});
  // A device that is gone ends the scan as a failure, not as a finished one.
  FatMemDevice vanish(original);
  vanish.failAfterReads = 40;
  CExfatFormat u(&vanish, nullptr);
  RunsOf some;
  u.SetFileManager(&some);
  EXPECT_EQ(u.Scan(&sink), RC_FAIL);
}

TEST(ExfatFormat, LargeSparseVolumeGeometryFromUpcaseAndRoot) {
  if (!Sh("command -v mkfs.exfat")) GTEST_SKIP() << "mkfs.exfat missing";
  testutil::TempDir tmp;
  std::string img = tmp.file("big.img");
  ASSERT_TRUE(Sh("truncate -s 512M " + img + " && mkfs.exfat " + img));
  std::vector<uint8_t> boot(512);
  {
    FileDevice d(img);
    ASSERT_TRUE(d.ok());
    d.Seek(0, 0);
    ASSERT_EQ(d.Read(boot.data(), 512), 512);
  }
  uint32_t trueSpc = 1u << boot[109];
  EXPECT_EQ(trueSpc, 64u);
  // Wipe the main and backup boot regions in place (sparse stays sparse).
  ASSERT_TRUE(Sh("dd if=/dev/zero of=" + img + " bs=512 count=24 conv=notrunc"));
  FileDevice dev(img);
  CExfatFormat s(&dev, nullptr);
  ASSERT_EQ(s.ReadVolumeInfo(), 0);
  EXPECT_EQ(s.SectorsPerCluster(), trueSpc);
  uint64_t heap = kbytes::Le32(boot.data() + 88);
  EXPECT_EQ(s.ClusterOriginSector(), heap - 2 * trueSpc);
  const uint64_t root = heap + (kbytes::Le32(boot.data() + 96) - 2) * trueSpc;
  EXPECT_EQ(s.RootSector(), root);

  // A copy of the root's first sector ahead of the up-case table, as a stale directory of
  // what the disk held before would lie: no geometry follows from it, and the search goes
  // on to the real root instead of giving the volume up.
  const uint64_t stale = 100;
  ASSERT_LT(stale, uint64_t(kbytes::Le32(boot.data() + 80)));
  ASSERT_TRUE(Sh("dd if=" + img + " of=" + img + " bs=512 skip=" + std::to_string(root) +
                 " seek=" + std::to_string(stale) + " count=1 conv=notrunc"));
  FileDevice again(img);
  CExfatFormat t(&again, nullptr);
  ASSERT_EQ(t.ReadVolumeInfo(), 0);
  EXPECT_EQ(t.SectorsPerCluster(), trueSpc);
  EXPECT_EQ(t.RootSector(), root);
}

namespace {

struct Tally {
  int exact = 0, wrong = 0, noData = 0;
};

// Every file given with data must be byte for byte an original of the same name; files the
// reader cannot place carry no data.
Tally TallyAgainstOriginals(const std::string& manifest, const std::map<std::string, Found>& found) {
  Tally t;
  testutil::FixtureManifest m;
  EXPECT_TRUE(m.Load(manifest));
  for (const auto& kv : found) {
    if (kv.second.flags & FF_DIRECTORY) continue;
    std::string name = kv.first.substr(kv.first.rfind('/') + 1);
    bool known = false, same = false;
    for (const auto* e : m.Files()) {
      if (e->path.substr(e->path.rfind('/') + 1) != name) continue;
      known = true;
      same = same || (e->size == kv.second.size && m.SameAsOriginal(e->path, kv.second.bytes));
    }
    if (!known) continue;
    if (kv.second.flags & FF_NODATA) {
      EXPECT_TRUE(kv.second.bytes.empty()) << kv.first;
      ++t.noData;
    } else if (same) {
      ++t.exact;
    } else {
      ++t.wrong;
      ADD_FAILURE() << "wrong bytes under the name " << kv.first;
    }
  }
  return t;
}

}  // namespace

// A volume formatted again with another heap offset or cluster size: the old files are
// placed by the old layout, found from the directories they name; files whose clusters the
// new volume wrote get no data. A heap moved further on overwrote every old directory that
// named another: nothing places the surviving folder of 150 files, so they carry no data.
// The photos, scans and clip of these volumes are random bytes under such names: under an
// old layout a file must still begin with the head of its kind, so they carry no data.
TEST(ExfatFormat, ReformatWithAnotherLayoutNeverGivesWrongBytes) {
  struct Case {
    const char* image;
    const char* manifest;
    CExfatFormat::Placement placement;
    int minExact, minNoData;
  };
  const Case cases[] = {{"exfat-relayout-b.img", "exfat", CExfatFormat::kBootUnsure, 0, 150},
                        {"exfat-relayout-c.img", "exfat", CExfatFormat::kOldLayout, 150, 0},
                        {"exfat-relayout-bc.img", "exfat", CExfatFormat::kOldLayout, 153, 0},
                        {"exfat32k-relayout.img", "exfat32k", CExfatFormat::kOldLayout, 25, 0}};
  int ran = 0;
  for (const Case& c : cases) {
    std::string path = testutil::Fixture(c.image);
    if (path.empty()) continue;
    ++ran;
    uint64_t before = testutil::FileChecksum(path);
    auto img = testutil::ReadFile(path);
    FatMemDevice dev(img);
    CExfatFormat s(&dev, nullptr);
    Collect fm(&img);
    Sink sink;
    s.SetFileManager(&fm);
    EXPECT_EQ(s.Scan(&sink), 0) << c.image;
    EXPECT_EQ(s.GetPlacement(), c.placement) << c.image;
    Tally t = TallyAgainstOriginals(c.manifest, fm.files);
    std::printf("%s: %d exact, %d wrong, %d without data\n", c.image, t.exact, t.wrong, t.noData);
    EXPECT_EQ(t.wrong, 0) << c.image;
    EXPECT_GE(t.exact, c.minExact) << c.image;
    EXPECT_GE(t.noData, c.minNoData) << c.image;
    EXPECT_EQ(dev.writes, 0);
    EXPECT_EQ(testutil::FileChecksum(path), before);
  }
  if (!ran) GTEST_SKIP() << "fixtures missing";
}

namespace {

// The boot region's checksum over sectors 0 to 10 (flags and percent-in-use left out),
// written again into every word of sector 11, so that a patched field still agrees with it.
void ResealExfatBoot(std::vector<uint8_t>* img, size_t at) {
  uint32_t sum = 0;
  for (size_t i = 0; i < 11 * 512; ++i) {
    if (i == 106 || i == 107 || i == 112) continue;
    sum = ((sum & 1) ? 0x80000000u : 0) + (sum >> 1) + (*img)[at + i];
  }
  for (size_t i = 0; i < 512; i += 4) kbytes::PutLe32(img->data() + at + 11 * 512 + i, sum);
}

int DeletedScan(IScanOperator* s) {
  Collect fm(nullptr);
  Sink sink;
  s->SetFileManager(&fm);
  int rc = s->Scan(&sink);
  s->Release();
  return rc;
}

}  // namespace

// Boot fields that agree with their checksum but not with the volume: the deleted-file
// scanners refuse the volume; the formatted readers find the layout from the structures.
TEST(BootChecks, ExfatFieldsThatDoNotFitTheVolume) {
  std::string path = testutil::Fixture("exfat.img");
  if (path.empty()) GTEST_SKIP() << "fixture missing";
  uint64_t before = testutil::FileChecksum(path);
  const auto img = testutil::ReadFile(path);
  fat::ExfatVolume g;
  ASSERT_EQ(fat::ParseExfatBoot(img.data(), 512, img.size(), &g), 0);
  {
    auto same = img;
    ResealExfatBoot(&same, 0);
    ASSERT_TRUE(same == img);  // the checksum is the volume's own
    FatMemDevice dev(same);
    EXPECT_EQ(DeletedScan(CreateExfatDelScanner(&dev)), 0);
  }
  // A subdirectory's first cluster: one that holds file entry sets.
  uint32_t subdir = 0;
  for (uint32_t c = g.rootCluster + 1; c <= g.maxCluster && !subdir; ++c) {
    const uint8_t* p = img.data() + g.ClusterOffset(c);
    if (p[0] == 0x85 && p[32] == 0xC0 && p[64] == 0xC1) subdir = c;
  }
  ASSERT_NE(subdir, 0u);
  struct Patch {
    const char* what;
    std::function<void(uint8_t*)> apply;
  };
  const Patch patches[] = {
      // The cluster count then covers an eighth of the heap.
      {"cluster shift 0", [](uint8_t* b) { b[109] = 0; }},
      {"cluster shift 4", [](uint8_t* b) { b[109] = 4; }},
      {"cluster count halved", [&](uint8_t* b) { kbytes::PutLe32(b + 92, g.clusterCount / 2); }},
      {"heap offset 64 clusters on", [&](uint8_t* b) { kbytes::PutLe32(b + 88, kbytes::Le32(b + 88) + 64 * 8); }},
      {"FAT length a quarter", [&](uint8_t* b) { kbytes::PutLe32(b + 84, kbytes::Le32(b + 84) / 4); }},
      {"root a subdirectory", [&](uint8_t* b) { kbytes::PutLe32(b + 96, subdir); }},
  };
  for (const Patch& p : patches) {
    for (int both = 0; both < 2; ++both) {
      auto bad = img;
      p.apply(bad.data());
      ResealExfatBoot(&bad, 0);
      if (both) {
        p.apply(bad.data() + 12 * 512);
        ResealExfatBoot(&bad, 12 * 512);
      }
      FatMemDevice dev(bad);
      EXPECT_EQ(DeletedScan(CreateExfatDelScanner(&dev)), RC_WRONG_FS) << p.what;
      // The formatted reader takes the backup boot region, or without it the layout that
      // the directories and the up-case table give.
      CExfatFormat s(&dev, nullptr);
      Collect fm(&bad);
      Sink sink;
      s.SetFileManager(&fm);
      EXPECT_EQ(s.Scan(&sink), 0) << p.what;
      EXPECT_EQ(s.SectorsPerCluster() * s.BytesPerSector(), 4096u) << p.what << both;
      EXPECT_EQ(s.ClusterOriginSector(), (g.heapOffset - 2 * 4096) / 512) << p.what << both;
      CheckAgainstManifest("exfat", fm.files, {});
      Tally t = TallyAgainstOriginals("exfat", fm.files);
      EXPECT_EQ(t.wrong, 0) << p.what;
      EXPECT_EQ(dev.writes, 0);
    }
  }
  EXPECT_EQ(testutil::FileChecksum(path), before);
}

// A volume that begins further into the disk than its own length: its files lie past the
// volume's length counted from the disk's start and still come back.
TEST(ExfatFormat, VolumeFarInsideADisk) {
  std::string path = testutil::Fixture("exfat-qformat.img");
  if (path.empty()) GTEST_SKIP() << "fixture missing";
  auto vol = testutil::ReadFile(path);
  std::vector<uint8_t> disk(vol.size(), 0);
  const uint64_t base = disk.size() / 512;
  disk.insert(disk.end(), vol.begin(), vol.end());
  FatMemDevice dev(disk);
  CExfatFormat s(&dev, nullptr, base);
  Collect fm(&disk);
  Sink sink;
  s.SetFileManager(&fm);
  EXPECT_EQ(s.Scan(&sink), 0);
  EXPECT_EQ(s.GetPlacement(), CExfatFormat::kBootLayout);
  CheckAgainstManifest("exfat", fm.files, {});
  EXPECT_EQ(dev.writes, 0);
}

namespace {

// The formatted exFAT reader over an image in memory ends (a hang guard, not a speed check)
// and writes nothing; trace names the case.
void ExfatScanEnds(const std::vector<uint8_t>& bytes, int trace) {
  FatMemDevice dev(bytes);
  CExfatFormat s(&dev, nullptr);
  Collect fm(nullptr);
  Sink sink;
  s.SetFileManager(&fm);
  auto t0 = std::chrono::steady_clock::now();
  s.Scan(&sink);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(300)) << trace;
  EXPECT_EQ(dev.writes, 0) << trace;
}

}  // namespace

// Every sector a directory lookalike naming random folders: the layout vote stays within
// its bounds and ends in time, with or without a boot sector over it.
TEST(ExfatFormat, DirectoryLookalikesEverywhereEndInTime) {
  std::vector<uint8_t> img(24u << 20, 0);
  uint32_t seed = 7;
  auto next = [&seed] { return seed = seed * 1103515245u + 12345u; };
  for (size_t off = 0; off < img.size(); off += 96) {
    uint8_t* e = img.data() + off;
    if (off % 512 + 96 > 512) continue;
    e[0] = 0x85, e[1] = 2, e[4] = 0x10;
    e[32] = 0xC0, e[35] = 1;
    kbytes::PutLe32(e + 52, next() % 50000 + 2);
    e[64] = 0xC1, e[66] = 'a';
  }
  for (int withBoot = 0; withBoot < 2; ++withBoot) {
    auto bytes = img;
    if (withBoot) {
      testutil::TempDir tmp;
      std::string f = tmp.file("b.img");
      if (!Sh("truncate -s 24M " + f + " && mkfs.exfat -c 4096 " + f)) continue;
      auto fresh = testutil::ReadFile(f);
      // The boot region, FAT, bitmap, up-case table and root of a fresh volume.
      std::copy(fresh.begin(), fresh.begin() + (4u << 20), bytes.begin());
    }
    ExfatScanEnds(bytes, withBoot);
  }
}

namespace {

// A FAT32 volume of one-sector clusters made by mkfs.fat, patched in memory: its FAT
// entries (in every copy) and 8.3 entries with dates that the readers take.
struct Fat32Patch {
  std::vector<uint8_t> img;
  uint32_t bps = 0, reserved = 0, fats = 0, fatSectors = 0, root = 0;
  uint64_t data = 0;
  bool Make(const testutil::TempDir& tmp, uint32_t kib) {
    std::string path = tmp.file("patched.img");
    if (!Sh("mkfs.fat -C -F 32 -s 1 " + path + " " + std::to_string(kib))) return false;
    img = testutil::ReadFile(path);
    if (img.size() < 512) return false;
    bps = kbytes::Le16(&img[11]), reserved = kbytes::Le16(&img[14]), fats = img[16];
    fatSectors = kbytes::Le32(&img[36]), root = kbytes::Le32(&img[44]);
    data = uint64_t(reserved + fats * fatSectors) * bps;
    return true;
  }
  uint8_t* Cluster(uint32_t c) { return img.data() + data + uint64_t(c - 2) * bps; }
  void SetFat(uint32_t c, uint32_t v) {
    for (uint32_t k = 0; k < fats; ++k) kbytes::PutLe32(&img[(reserved + k * fatSectors) * bps + 4 * c], v);
  }
  static void Entry(uint8_t* e, const char* name, uint8_t attr, uint32_t first, uint32_t size) {
    std::memcpy(e, name, 11);
    e[11] = attr;
    kbytes::PutLe16(e + 14, 0x6000), kbytes::PutLe16(e + 16, 0x5A21);  // created
    kbytes::PutLe16(e + 22, 0x6000), kbytes::PutLe16(e + 24, 0x5A21);  // written
    kbytes::PutLe16(e + 20, uint16_t(first >> 16)), kbytes::PutLe16(e + 26, uint16_t(first));
    kbytes::PutLe32(e + 28, size);
  }
};

}  // namespace

// A root folder of thousands of deleted entries, each claiming most of the volume: the
// clusters they name are marked once, not once for every entry.
TEST(FatFormat, DeletedEntriesClaimingTheVolumeEndInTime) {
  if (!Sh("command -v mkfs.fat")) GTEST_SKIP() << "mkfs.fat missing";
  testutil::TempDir tmp;
  Fat32Patch v;
  ASSERT_TRUE(v.Make(tmp, 65536));
  const uint32_t rootClusters = 512;
  for (uint32_t i = 0; i < rootClusters; ++i) {
    v.SetFat(v.root + i, i + 1 < rootClusters ? v.root + i + 1 : 0x0FFFFFFF);
    for (uint32_t at = 0; at < v.bps; at += 32)
      Fat32Patch::Entry(v.Cluster(v.root + i) + at, "\xE5ILE    BIN", 0x20, 5000 + at, 0xF0000000u);
  }
  FatMemDevice dev(v.img);
  auto t0 = std::chrono::steady_clock::now();
  RunFatFormat(&dev, 2, &v.img);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(300));
  EXPECT_EQ(dev.writes, 0);
}

// A damaged FAT that joins the chains of many folders to one tail: each cluster is read
// for one folder at most, so the tail's entries are listed once (not once a folder) and the
// work stays linear however many folders lead into it.
TEST(FatFormat, FolderChainsThatJoinReadTheSharedTailOnce) {
  if (!Sh("command -v mkfs.fat")) GTEST_SKIP() << "mkfs.fat missing";
  testutil::TempDir tmp;
  Fat32Patch v;
  ASSERT_TRUE(v.Make(tmp, 40960));
  auto entry = &Fat32Patch::Entry;
  // The tail: eight clusters, the first naming an empty file (an empty file has no cluster
  // of its own, so each folder that read it would list it again).
  static const char kGone[] = "\xE5GONE   TXT";
  const uint32_t tail = 20000, tailLength = 8, heads = 64, head0 = 30000;
  for (uint32_t i = 0; i < tailLength; ++i)
    v.SetFat(tail + i, i + 1 < tailLength ? tail + i + 1 : 0x0FFFFFFF);
  entry(v.Cluster(tail), "JOINED  TXT", 0x20, 0, 0);
  // Folders of the present volume that no entry names any more, each a chain head whose
  // next cluster is the tail.
  for (uint32_t h = head0; h < head0 + heads; ++h) {
    v.SetFat(h, tail);
    entry(v.Cluster(h), ".          ", 0x10, h, 0);
    entry(v.Cluster(h) + 32, "..         ", 0x10, 0, 0);
    entry(v.Cluster(h) + 64, "OWN     TXT", 0x20, 0, 0);
    // Deleted entries to the cluster's end: no end mark, so the folder goes on in its chain.
    for (uint32_t at = 96; at + 32 <= v.bps; at += 32) entry(v.Cluster(h) + at, kGone, 0x20, 0, 0);
  }
  auto& img = v.img;
  FatMemDevice dev(img);
  auto t0 = std::chrono::steady_clock::now();
  auto found = RunFatFormat(&dev, 2, &img);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(300));
  int joined = 0, own = 0;
  for (const auto& kv : found) {
    const std::string& p = kv.first;
    joined += p.size() >= 10 && p.compare(p.size() - 10, 10, "JOINED.TXT") == 0;
    own += p.size() >= 7 && p.compare(p.size() - 7, 7, "OWN.TXT") == 0;
  }
  EXPECT_EQ(own, int(heads));
  EXPECT_LE(joined, 1);
  EXPECT_EQ(dev.writes, 0);
}

// Tens of thousands of files in free clusters, each claiming most of the volume from one
// cluster: whether another file or folder begins inside a file's clusters, or a cluster in
// use breaks them, is counted once for the volume, not once for every file. The second
// time they are folders kept in one piece, each from a cluster in use of its own: a folder's
// run is walked only as far as it is kept (to where the next one begins).
TEST(ExfatFormat, ManyFilesClaimingMostOfTheVolumeEndInTime) {
  for (int folders = 0; folders < 2; ++folders) {
    testutil::TempDir tmp;
    std::string f = tmp.file("c.img");
    if (!Sh("truncate -s 24M " + f + " && mkfs.exfat -c 512 " + f)) GTEST_SKIP() << "mkfs.exfat missing";
    auto img = testutil::ReadFile(f);
    ASSERT_EQ(img.size(), 24u << 20);
    const uint64_t heap = uint64_t(kbytes::Le32(&img[88])) << img[108];
    const uint64_t cb = uint64_t(1) << (img[108] + img[109]);
    const uint64_t root = heap + (kbytes::Le32(&img[96]) - 2) * cb;
    uint64_t bitmap = 0;
    for (uint64_t e = root; e < root + cb && !bitmap; e += 32)
      if (img[e] == 0x81) bitmap = heap + (kbytes::Le32(&img[e + 20]) - 2) * cb;
    ASSERT_NE(bitmap, 0u);
    const uint32_t first = 2000;
    uint32_t n = 0;
    for (size_t off = 20u << 20; off + 96 <= img.size(); off += 96) {
      uint8_t* e = img.data() + off;
      if (off % 512 + 96 > 512) continue;
      const uint32_t c = folders ? first + n++ : first;
      e[0] = 0x85, e[1] = 2, e[4] = folders ? 0x10 : 0x20;
      e[32] = 0xC0, e[33] = folders ? 3 : 1, e[35] = 1;
      kbytes::PutLe64(e + 40, 16u << 20);  // valid data length
      kbytes::PutLe32(e + 52, c);          // first cluster
      kbytes::PutLe64(e + 56, 16u << 20);  // data length
      e[64] = 0xC1, e[66] = 'a';
      if (folders) img[bitmap + (c - 2) / 8] |= uint8_t(1u << ((c - 2) % 8));
    }
    ExfatScanEnds(img, folders);
  }
}

TEST(BootChecks, FatClusterCountBeyondTheFat) {
  for (auto [name, type] : {std::pair<std::string, int>{"fat16", 1}, {"fat32", 2}}) {
    std::string path = testutil::Fixture(name + ".img");
    if (path.empty()) GTEST_SKIP() << "fixture missing";
    uint64_t before = testutil::FileChecksum(path);
    auto img = testutil::ReadFile(path);
    fat::FatGeometry g;
    ASSERT_EQ(fat::ParseFatBoot(img.data(), 512, type == 2 ? fat::kFat32 : fat::kFat16, img.size(), &g), 0);
    auto bad = img;
    if (type == 1) {
      bad[13] = 1;  // four times the clusters of 2 KiB: the FAT holds a quarter of them
    } else {
      kbytes::PutLe32(bad.data() + 36, g.sectorsPerFat / 2);
      std::copy(bad.begin(), bad.begin() + 512, bad.begin() + 6 * 512);  // and its backup
    }
    fat::FatGeometry gg;
    EXPECT_EQ(fat::ParseFatBoot(bad.data(), 512, type == 2 ? fat::kFat32 : fat::kFat16, bad.size(), &gg),
              fat::kBootDisagrees)
        << name;
    // A larger cluster size keeps the FAT large enough, but the root's folders then lack
    // their "." entries where the clusters would lie.
    if (type == 1) {
      auto wide = img;
      wide[13] = 8;
      FatMemDevice w(wide);
      EXPECT_EQ(DeletedScan(CreateFat16DelScanner(&w)), RC_WRONG_FS);
    }
    // The volume's own FAT covers its clusters.
    uint64_t width = type == 2 ? 4 : 2;
    EXPECT_LE((uint64_t(g.clusterCount) + 2) * width, g.fatBytes + 512);
    FatMemDevice good(img);
    EXPECT_EQ(DeletedScan(type == 1 ? CreateFat16DelScanner(&good) : CreateFat32DelScanner(&good)), 0) << name;
    FatMemDevice dev(bad);
    EXPECT_EQ(DeletedScan(type == 1 ? CreateFat16DelScanner(&dev) : CreateFat32DelScanner(&dev)), RC_WRONG_FS)
        << name;
    // The formatted reader takes its geometry from the directories' "." clusters (1: its
    // search reached the device's end, a finished scan).
    int rc = -9;
    auto found = RunFatFormat(&dev, type, &bad, &rc);
    EXPECT_TRUE(rc == 0 || rc == 1) << name << " " << rc;
    CheckAgainstManifest(name, found, {"/frag/"});
    EXPECT_EQ(dev.writes, 0);
    EXPECT_EQ(testutil::FileChecksum(path), before);
  }
}

// A FAT16 volume without folders, with far more free clusters than the search for lost
// folders polls the sink after: one progress event, at 100, then the end; the search only
// asks whether to stop.
TEST(FatDelProgress, VolumeWithoutFoldersSendsOneHundredOnce) {
  if (!Sh("command -v mkfs.fat && command -v mcopy")) GTEST_SKIP() << "mtools missing";
  testutil::TempDir dir;
  const std::string img = dir.file("big16.img"), src = dir.file("a.bin");
  testutil::WriteFile(src, testutil::RandomBytes(5000, 44));
  ASSERT_TRUE(Sh("mkfs.fat -C -F 16 -s 16 " + img + " 262144"));  // 256 MiB, sparse
  ASSERT_TRUE(Sh("MTOOLS_SKIP_CHECK=1 mcopy -i " + img + " " + src +
                 " ::/A.BIN && MTOOLS_SKIP_CHECK=1 mdel -i " + img + " ::/A.BIN"));
  FileDevice dev(img);
  ASSERT_TRUE(dev.ok());
  IScanOperator* s = CreateFat16DelScanner(&dev);
  ASSERT_NE(s, nullptr);
  Collect fm(nullptr);
  Sink sink;
  s->SetFileManager(&fm);
  EXPECT_EQ(s->Scan(&sink), 0);
  s->Release();
  std::vector<int64_t> percents;
  int polls = 0;
  for (auto& e : sink.seen) {
    if (e.first == NE_PERCENT) percents.push_back(e.second);
    polls += e.first == NE_CANCEL_POLL;
  }
  EXPECT_EQ(percents, std::vector<int64_t>{100});
  EXPECT_GT(polls, 0);
  ASSERT_FALSE(sink.seen.empty());
  EXPECT_EQ(sink.seen.back().first, NE_FINISHED);
  EXPECT_TRUE(fm.files.count("/Volume/_.BIN"));
}

// ---------------------------------------------------------------------------------------
// Device bitmaps of the deleted-file scanners

TEST(FatBitmap, BitmapsEqualTheVolumesOwnView) {
  for (auto [name, type] : {std::pair<std::string, int>{"fat16", 1}, {"fat32", 2}}) {
    std::string path = testutil::Fixture(name + ".img");
    if (path.empty() || !Sh("command -v mdir")) GTEST_SKIP() << "fixture or mtools missing";
    auto img = testutil::ReadFile(path);
    fat::FatGeometry g;
    ASSERT_EQ(fat::ParseFatBoot(img.data(), 512, type == 2 ? fat::kFat32 : fat::kFat16, img.size(), &g), 0);
    FatMemDevice dev(img);
    IScanOperator* s = type == 1 ? CreateFat16DelScanner(&dev) : CreateFat32DelScanner(&dev);
    IDeviceBitmap* bm = s->CreateDeviceBitmap();
    ASSERT_NE(bm, nullptr);
    EXPECT_EQ(bm->GetFirstClusterOffset(), int64_t(g.dataOffset));
    EXPECT_EQ(uint32_t(bm->GetClusterSize()), g.clusterBytes);
    uint64_t used = 0;
    for (uint32_t c = 2; c <= g.maxCluster; ++c) used += bm->BitGet(c - 2);
    // mtools' own count of free bytes.
    int st = 0;
    std::string out = testutil::RunCommand("MTOOLS_SKIP_CHECK=1 mdir -i " + path + " ::/ | sed -n 's/ bytes free//p' | tr -dc 0-9", &st);
    ASSERT_FALSE(out.empty());
    uint64_t freeClusters = std::stoull(out) / g.clusterBytes;
    EXPECT_EQ(used, uint64_t(g.maxCluster - 1) - freeClusters) << name;
    // The root folder's first cluster (FAT32) and the first data cluster are in use.
    EXPECT_TRUE(bm->BitGet(0));
    bm->Release();
    s->Release();
  }
}

TEST(FatBitmap, ExfatBitmapIsTheAllocationBitmap) {
  std::string path = testutil::Fixture("exfat.img");
  if (path.empty()) GTEST_SKIP() << "fixture missing";
  auto img = testutil::ReadFile(path);
  fat::ExfatVolume g;
  ASSERT_EQ(fat::ParseExfatBoot(img.data(), 512, img.size(), &g), 0);
  FatMemDevice dev(img);
  IScanOperator* s = CreateExfatDelScanner(&dev);
  IDeviceBitmap* bm = s->CreateDeviceBitmap();
  ASSERT_NE(bm, nullptr);
  EXPECT_EQ(bm->GetFirstClusterOffset(), int64_t(g.heapOffset));
  EXPECT_EQ(uint32_t(bm->GetClusterSize()), g.clusterBytes);
  // The bitmap, the up-case table and the root are allocated; the volume's last cluster,
  // on a volume filled to a few MiB, is not.
  EXPECT_TRUE(bm->BitGet(0));
  EXPECT_TRUE(bm->BitGet(g.rootCluster - 2));
  EXPECT_FALSE(bm->BitGet(g.maxCluster - 2));
  uint64_t used = 0;
  for (uint32_t c = 2; c <= g.maxCluster; ++c) used += bm->BitGet(c - 2);
  EXPECT_GT(used, 100u);
  EXPECT_LT(used, g.clusterCount / 2);
  bm->Release();
  s->Release();
  // A volume without exFAT geometry has no bitmap.
  std::vector<uint8_t> zero(1 << 20, 0);
  FatMemDevice z(zero);
  IScanOperator* s2 = CreateExfatDelScanner(&z);
  EXPECT_EQ(s2->CreateDeviceBitmap(), nullptr);
  s2->Release();
}

// The format-recovery dispatcher runs the same readers when told the file system.
TEST(FatFormat, DispatcherRunsTheReadersByFileSystemCode) {
  for (auto [name, code] : {std::pair<std::string, int>{"fat32", FS_FAT32}, {"exfat", FS_EXFAT}}) {
    std::string path = testutil::Fixture(name + "-qformat.img");
    if (path.empty()) GTEST_SKIP() << "fixture missing";
    auto img = testutil::ReadFile(path);
    FatMemDevice dev(img);
    IScanOperator* s = CreateFormatScanner(&dev);
    ASSERT_NE(s, nullptr);
    IScanParam* p = nullptr;
    ASSERT_EQ(s->GetScanParam(&p), 0);
    p->SetValue(code);
    Collect fm(&img);
    Sink sink;
    s->SetFileManager(&fm);
    // The FAT reader's own end code passes through: 1, its search reached the end.
    EXPECT_EQ(s->Scan(&sink), code == FS_FAT32 ? 1 : 0) << name;
    CheckAgainstManifest(name, fm.files, {"/frag/"});
    s->Release();
  }
}

// Once the desktop program has asked to stop, it answers stop to every event, so the results
// tree answers stop to every file added. The files found before the stop still all arrive.
TEST(ExfatFormat, AStoppedScanHandsOverEveryFileFoundBeforeTheStop) {
  std::string path = testutil::Fixture("exfat-qformat.img");
  if (path.empty()) GTEST_SKIP() << "fixture missing";
  auto img = testutil::ReadFile(path);
  struct StopsForGood : INotifySink {
    int windows = 0, stopAfter = -1;
    bool stopping = false;
    int Notify(int e, int64_t, int64_t, void*) override {
      if (e == NE_SECTORS && ++windows == stopAfter) stopping = true;
      return stopping ? -1 : 0;
    }
  };
  struct Answering : Collect {
    StopsForGood* sink;
    Answering(const std::vector<uint8_t>* img, StopsForGood* s) : Collect(img), sink(s) {}
    int AddFile(const char16_t* folder, IFileInfo* file) override {
      Collect::AddFile(folder, file);
      return sink->stopping ? 1 : 0;
    }
  };
  FatMemDevice dev(img);
  StopsForGood quiet;
  Answering all(&img, &quiet);
  CExfatFormat full(&dev, nullptr);
  full.SetFileManager(&all);
  ASSERT_EQ(full.Scan(&quiet), 0);
  ASSERT_GT(quiet.windows, 2);
  ASSERT_GT(all.files.size(), 20u);

  StopsForGood sink;
  sink.stopAfter = quiet.windows / 2;
  Answering some(&img, &sink);
  CExfatFormat half(&dev, nullptr);
  half.SetFileManager(&some);
  EXPECT_EQ(half.Scan(&sink), 0);  // a stopped format scan still answers 0
  EXPECT_EQ(sink.windows, quiet.windows / 2);  // the walk ended at the stop
  EXPECT_GT(some.files.size(), 20u);
  std::set<std::string> names;
  for (auto& kv : all.files) names.insert(kv.first.substr(kv.first.rfind('/')));
  for (auto& kv : some.files) {
    if (kv.first.find("/Lost Location/") != std::string::npos)
      EXPECT_TRUE(names.count(kv.first.substr(kv.first.rfind('/')))) << kv.first;
    else
      EXPECT_TRUE(all.files.count(kv.first)) << kv.first;
  }
}
