// The results tree: acceptance rules, folders, duplicates, listing and scale; and the bitmap.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "common/inc/ifilter.h"
#include "common/inc/inotifysink.h"
#include "filemanager/fileinfo.h"
#include "filemanager/filemanager.h"
#include "filemanager/formerplace.h"
#include "filemanager/wtext.h"
#include "memdevice.h"
#include "rawrecovery/devicebitmap.h"

using testutil::MemDevice;

namespace {

struct Sink : INotifySink {
  std::vector<std::pair<std::u16string, std::u16string>> found;  // (folder, name)
  std::vector<int64_t> progress;
  int answer = 0;
  int Notify(int event, int64_t a, int64_t, void* obj) override {
    if (event == NE_FOUND_FILE)
      found.emplace_back(reinterpret_cast<const char16_t*>(a), static_cast<IFileInfo*>(obj)->GetName());
    if (event == NE_PERCENT) progress.push_back(a);
    return answer;
  }
};

struct AllFilter : IFilter {
  bool Match(IFileInfo*) override { return true; }
  int AddName(const char16_t*) override { return 0; }
  int AddSize(int64_t, int64_t) override { return 0; }
  int AddCreateTime(int, int, int, int, int, int) override { return 0; }
  int AddModifyTime(int, int, int, int, int, int) override { return 0; }
  int AddFileType(int) override { return 0; }
  int AddValidity(uint32_t) override { return 0; }
  int AddStatus(int) override { return 0; }
  void Clear() override {}
};

CFileInfo* File(const char16_t* name, int64_t size, uint64_t start) {
  CFileInfo* f = new CFileInfo;
  f->SetName(name);
  f->SetSize(size);
  f->SetRunList(new RunList(start, uint32_t((size + 511) / 512)));
  return f;
}

// A tree on a whole-disk memory device (no scanner is asked for a bitmap).
struct Tree {
  CFileManager* fm = new CFileManager;
  Sink sink;
  explicit Tree(std::vector<uint8_t> bytes = std::vector<uint8_t>(1 << 20)) {
    fm->SetStorageDevice(new MemDevice(std::move(bytes), 512, 4096, DT_FIXED_DISK));
    fm->SetNotifySink(&sink);
  }
  ~Tree() { fm->Release(); }
};

}  // namespace

TEST(FileManager, AcceptanceRules) {
  Tree t;
  EXPECT_EQ(0, t.fm->AddFile(u"/Volume", File(u"._hidden", 10, 8)));
  EXPECT_EQ(0, t.fm->AddFile(u"/Volume", File(u"empty", 0, 8)));
  EXPECT_EQ(0, t.fm->AddFile(u"", File(u"nopath", 10, 8)));
  EXPECT_EQ(0, t.fm->AddFile(u"/Volume", nullptr));
  // "/Volume/" + name + terminator: 8 + 255 + 1 = 264 fits; a longer name is shortened to
  // fit rather than the file being lost.
  EXPECT_EQ(0, t.fm->AddFile(u"/Volume", File(std::u16string(255, u'a').c_str(), 10, 16)));
  EXPECT_EQ(0, t.fm->AddFile(u"/Volume", File(std::u16string(256, u'b').c_str(), 10, 24)));
  // The limit is checked on the path after the trash folder is renamed.
  EXPECT_EQ(0, t.fm->AddFile(u"/$RECYCLE.BIN.with.a.long.tail", File(std::u16string(250, u'c').c_str(), 10, 32)));
  EXPECT_EQ(0, t.fm->AddFile(u"/Volume", File(u"a:b?.txt", 10, 40)));
  // A deep folder: the name keeps its extension; a folder that leaves no room refuses.
  std::u16string deep = u"/Volume/" + std::u16string(232, u'd');
  EXPECT_EQ(0, t.fm->AddFile(deep.c_str(), File((std::u16string(50, u'x') + u".jpg").c_str(), 10, 48)));
  std::u16string deeper = u"/Volume/" + std::u16string(250, u'e');
  EXPECT_EQ(0, t.fm->AddFile(deeper.c_str(), File(u"quarterly report.docx", 10, 56)));
  ASSERT_EQ(5u, t.sink.found.size());
  EXPECT_EQ(255u, t.sink.found[0].second.size());
  EXPECT_EQ(std::u16string(254, u'b') + u"~", t.sink.found[1].second);
  EXPECT_EQ(u"/$RECYCLE.BIN.with.a.long.tail", t.sink.found[2].first);
  EXPECT_EQ(u"a_b_.txt", t.sink.found[3].second);
  EXPECT_EQ(std::u16string(17, u'x') + u"~.jpg", t.sink.found[4].second);
  EXPECT_EQ(5u, t.fm->GetFileCount());
  // The shortened paths fit the tree's 264-character buffer with their terminator.
  EXPECT_LE(deep.size() + 1 + t.sink.found[4].second.size() + 1, size_t(MAX_PATH_ZQ));
}

TEST(FileManager, FoldersDuplicatesAndPaths) {
  Tree t;
  t.fm->AddFile(u"/Volume/Docs", File(u"a.txt", 100, 64));
  t.fm->AddFile(u"/volume/DOCS/", File(u"A.TXT", 100, 64));   // duplicate: same size, start, name
  t.fm->AddFile(u"/Volume/docs", File(u"a.txt", 100, 72));    // another start: kept
  t.fm->AddFile(u"/Volume/Recycled", File(u"r1", 5, 80));
  t.fm->AddFile(u"/Volume/RECYCLER/S-1-5", File(u"r2", 5, 88));
  EXPECT_EQ(4u, t.fm->GetFileCount());
  FmNode* volume = t.fm->Root()->firstChild;
  ASSERT_NE(nullptr, volume);
  EXPECT_EQ(nullptr, volume->nextSibling);  // "Volume" and "volume" are one folder
  FmNode* docs = volume->firstChild;
  FmNode* bin = docs->nextSibling;
  ASSERT_NE(nullptr, bin);
  EXPECT_EQ(nullptr, bin->nextSibling);
  EXPECT_EQ(u"Recycle Bin", std::u16string(bin->folder->GetName()));

  IFileInfo* entry = docs->firstChild->file;
  char16_t buf[64];
  uint32_t len = 64;
  ASSERT_EQ(0, entry->GetFullPath(buf, &len));
  EXPECT_EQ(u"/Volume/Docs/a.txt", std::u16string(buf));
  EXPECT_EQ(18u, len);
  len = 18;  // exactly the length: nothing is copied
  buf[0] = u'#';
  EXPECT_EQ(1, entry->GetFullPath(buf, &len));
  EXPECT_EQ(u'#', buf[0]);
  EXPECT_EQ(RC_BAD_PATH, entry->GetFullPath(nullptr, &len));
  EXPECT_EQ(docs->folder, entry->GetParentFolder());
  EXPECT_EQ(volume->folder, docs->folder->GetParentFolder());
  EXPECT_EQ(nullptr, volume->folder->GetParentFolder());

  // Resident files are never duplicates; encrypted ones compare their data stream.
  for (int i = 0; i < 2; ++i) {
    CFileInfo* r = new CFileInfo;
    r->SetName(u"res");
    r->SetSize(3);
    r->AddFlags(FF_RESIDENT);
    auto* p = new CPermanentRunList;
    p->SetData("abc", 3);
    r->SetRunList(p);
    t.fm->AddFile(u"/Volume", r);
  }
  EXPECT_EQ(6u, t.fm->GetFileCount());
}

TEST(FileManager, TemporaryOfficeNamesAreRepaired) {
  std::vector<uint8_t> disk(1 << 20);
  // 4096-byte file at sector 100 whose last KiB names word/ three times.
  std::string tail = "xx word/document.xml word/styles.xml word/settings.xml";
  std::copy(tail.begin(), tail.end(), disk.begin() + 100 * 512 + 4096 - 1024 + 10);
  Tree t(disk);
  t.fm->AddFile(u"/Volume", File(u"~WRL0001.tmp", 4096, 100));
  t.fm->AddFile(u"/Volume", File(u"plain.tmp", 4096, 300));
  ASSERT_EQ(2u, t.sink.found.size());
  EXPECT_EQ(u"~WRL0001.docx", t.sink.found[0].second);
  EXPECT_EQ(u"plain.tmp", t.sink.found[1].second);
}

TEST(FileManager, BreadthFirstListingWithProgress) {
  Tree t;
  t.fm->AddFile(u"/Volume/a/deep", File(u"x", 1, 1));
  for (int i = 0; i < 249; ++i)
    t.fm->AddFile(u"/Volume", File((u"f" + wtext::FromAscii(std::to_string(i).c_str())).c_str(), 1, 10 + i));
  Sink list;
  AllFilter all;
  ASSERT_EQ(0, t.fm->ListFiles(&all, &list));
  ASSERT_EQ(250u, list.found.size());
  EXPECT_EQ(u"/Volume", list.found[0].first);
  EXPECT_EQ(u"/Volume/a/deep", list.found.back().first);  // deeper level comes last
  EXPECT_EQ((std::vector<int64_t>{40, 80}), list.progress);
  list.answer = -1;
  list.found.clear();
  list.progress.clear();
  EXPECT_EQ(0, t.fm->ListFiles(&all, &list));
  EXPECT_EQ(100u, list.found.size());  // ended at the first progress answer of -1
  EXPECT_EQ(-1, t.fm->ListFiles(nullptr, &list));
  CFileManager empty;
  EXPECT_EQ(-1, empty.ListFiles(&all, &list));
}

TEST(FileManager, TwoHundredThousandFilesInOneFolder) {
  Tree t;
  t.fm->SetNotifySink(&t.sink);
  auto begin = std::chrono::steady_clock::now();
  for (int i = 0; i < 200000; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "%08d.jpg", i);
    t.fm->AddFile(u"/JPG", File(wtext::FromAscii(name).c_str(), 4096, uint64_t(i) * 8));
  }
  double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  EXPECT_EQ(200000u, t.fm->GetFileCount());
  EXPECT_LT(secs, 300.0);
  // The destructor of Tree frees them all without recursion.
}

TEST(FileManager, ReadersFollowTheFlags) {
  Tree t;
  IFileOP* op = nullptr;
  EXPECT_EQ(-1, t.fm->GetFileOp(nullptr, &op));
  CFileInfo nodata;
  nodata.AddFlags(FF_NODATA);
  EXPECT_EQ(-1, t.fm->GetFileOp(&nodata, &op));
  EXPECT_EQ(nullptr, op);
  CFileInfo comp;
  comp.AddFlags(FF_COMPRESSED | FF_ENCRYPTED);
  ASSERT_EQ(0, t.fm->GetFileOp(&comp, &op));
  EXPECT_NE(nullptr, dynamic_cast<CCompressedFileOP*>(op));
  EXPECT_EQ(&comp, op->GetFile());
  {
    // A reader asked for before the first file is added reads through the tree's device.
    std::vector<uint8_t> bytes(1 << 20);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = uint8_t(i * 7 + i / 512);
    Tree early(bytes);
    CFileInfo plain;
    plain.SetSize(100);
    plain.SetRunList(new RunList(4, 1));
    IFileOP* reader = nullptr;
    ASSERT_EQ(0, early.fm->GetFileOp(&plain, &reader));
    uint8_t buf[100];
    uint32_t got = 0;
    EXPECT_EQ(0, reader->Read(buf, sizeof buf, 0, &got));
    ASSERT_EQ(100u, got);
    EXPECT_EQ(0, memcmp(buf, bytes.data() + 4 * 512, 100));
  }
  IFilter* f = nullptr;
  EXPECT_EQ(-1, t.fm->CreateFilter(nullptr));
  ASSERT_EQ(0, t.fm->CreateFilter(&f));
  ASSERT_NE(nullptr, f);
  delete f;
  // A whole disk gets the null bitmap after the first add.
  EXPECT_EQ(nullptr, t.fm->GetDeviceBitmap());
  t.fm->AddFile(u"/", File(u"x", 1, 1));
  ASSERT_NE(nullptr, t.fm->GetDeviceBitmap());
  EXPECT_FALSE(t.fm->GetDeviceBitmap()->BitGet(0));
}

TEST(DeviceBitmap, BitsAndBounds) {
  DeviceBitmap b;
  ASSERT_EQ(0, b.Init(10 * 4096, 8192, 4096));
  uint32_t bytes = 0;
  uint8_t* buf = b.GetBuffer(&bytes);
  EXPECT_EQ(2u, bytes);
  EXPECT_EQ(nullptr, b.GetBuffer(nullptr));
  buf[1] = 0x02;
  EXPECT_TRUE(b.BitGet(9));
  EXPECT_FALSE(b.BitGet(10));
  EXPECT_FALSE(b.BitGet(-1));
  EXPECT_FALSE(b.BitSet(3, true));
  EXPECT_TRUE(b.BitSet(3, true));
  EXPECT_TRUE(b.BitGet(3));
  EXPECT_FALSE(b.SetBufferSize(1));
  EXPECT_TRUE(b.SetBufferSize(16));
  EXPECT_FALSE(b.BitGet(3));  // a new zeroed buffer
  EXPECT_EQ(8192, b.GetFirstClusterOffset());

  DeviceBitmap zero, wrap, neg;
  EXPECT_EQ(-1, zero.Init(4096, 0, 0));
  EXPECT_EQ(-1, wrap.Init(int64_t(1) << 44, 0, 512));  // 2^35 clusters do not fit 32 bits
  EXPECT_EQ(-1, neg.Init(4096, 0, -512));
  EXPECT_FALSE(zero.BitGet(0));

  NullDeviceBitmap n;
  EXPECT_FALSE(n.BitGet(5));
  EXPECT_TRUE(n.BitSet(5, true));
  EXPECT_FALSE(n.BitGet(5));
  n.SetClusterSize(4096);
  EXPECT_EQ(4096, n.GetClusterSize());
}

// Folder and file names come from the disk. A crafted ".." must not let the former-place
// lookup, and the erase that deletes what it finds there, reach outside the volume.
TEST(FileManager, FormerPlaceRefusesDotComponents) {
  EXPECT_TRUE(TreePathStaysInside(u"/Volume/docs/a.txt"));
  EXPECT_TRUE(TreePathStaysInside(u"/Volume/..hidden/a..b/...x"));
  EXPECT_FALSE(TreePathStaysInside(u"/Volume/../../etc/passwd"));
  EXPECT_FALSE(TreePathStaysInside(u"/Volume/docs/.."));
  EXPECT_FALSE(TreePathStaysInside(u"/Volume/./a.txt"));
  EXPECT_FALSE(TreePathStaysInside(u"/Volume//..//x"));
  EXPECT_FALSE(TreePathStaysInside(nullptr));
}
