// FAT12 volumes made by mkfs.fat (a 1.44 MB floppy and a 16 MiB volume), with files deleted
// and the volume formatted again, under Volume Recovery: the type byte 0x01 sends them to
// the FAT reader, which lists every file with its own bytes or, where it cannot tell them,
// without data, never with other bytes.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "common/inc/iscanoperator.h"
#include "common/inc/kestrum_types.h"
#include "common/inc/seams.h"
#include "fixtures.h"
#include "memdevice.h"
#include "stubfilemanager.h"
#include "testutil.h"

namespace {

struct Got {
  uint64_t size;
  uint32_t flags;
  std::vector<uint8_t> data;
};

class Keep : public StubFileManager {
 public:
  explicit Keep(const std::vector<uint8_t>* image) : m_image(image) {}
  std::map<std::string, Got> files;
  int AddFile(const char16_t* folder, IFileInfo* f) override {
    std::string p = testutil::Utf8(folder);
    if (p.empty() || p.back() != '/') p += '/';
    p += testutil::Utf8(f->GetName());
    Got g{f->GetSize(), f->GetFlags(), GatherRunBytes(*m_image, f)};
    if (g.data.size() > g.size) g.data.resize(size_t(g.size));
    files[p] = std::move(g);
    f->Release();
    return 0;
  }

 private:
  const std::vector<uint8_t>* m_image;
};

struct Tally {
  int exact = 0, wrong = 0, missing = 0, noData = 0, deletedExact = 0;
};

// Every file of the manifest found by its name (the names of this tree are unique; a
// deleted folder's first letter is lost, so folders are not compared).
Tally Compare(const testutil::FixtureManifest& m, const Keep& k) {
  Tally t;
  for (const auto* e : m.Files()) {
    std::string name = e->path.substr(e->path.rfind('/'));
    const Got* g = nullptr;
    for (auto& kv : k.files)
      if (kv.first.size() >= name.size() && kv.first.compare(kv.first.size() - name.size(), name.size(), name) == 0)
        g = &kv.second;
    if (!g) {
      ++t.missing;
    } else if (g->data.empty() && e->size) {
      ++t.noData;
    } else if (g->size == e->size && m.SameAsOriginal(e->path, g->data)) {
      ++t.exact;
      if (e->deleted) ++t.deletedExact;
      EXPECT_EQ(bool(g->flags & FF_FORMATTED), e->deleted) << e->path;
    } else {
      ++t.wrong;
      ADD_FAILURE() << "wrong bytes: " << e->path;
    }
  }
  return t;
}

int Scan(IScanOperator* s, Keep* k) {
  QuietSink sink;
  s->SetFileManager(k);
  int rc = s->Scan(&sink);
  s->Release();
  return rc;
}

}  // namespace

TEST(FormatFat12, FloppyAndSixteenMiBComeBackByteForByte) {
  for (std::string base : {"fat12-floppy", "fat12-16m"}) {
    testutil::FixtureManifest m;
    if (!m.Load(base)) GTEST_SKIP() << "fixture missing";
    for (std::string name : {base, base + "-qformat"}) {
      SCOPED_TRACE(name);
      const std::string path = testutil::Fixture(name + ".img");
      ASSERT_FALSE(path.empty());
      const uint64_t before = testutil::FileChecksum(path);
      auto image = testutil::ReadFile(path);
      for (int via = 0; via < 2; ++via) {
        SCOPED_TRACE(via ? "FAT reader" : "format scan, type byte 0x01");
        testutil::MemDevice dev(image, 512, 512);
        dev.SetOwnedByCaller(true);
        dev.info().PartitionType = 0x01;
        Keep k(&dev.bytes());
        EXPECT_EQ(Scan(via ? CreateFatFormatScanner(&dev, 1) : CreateFormatScanner(&dev), &k), 1);
        Tally t = Compare(m, k);
        EXPECT_EQ(t.wrong, 0);
        EXPECT_EQ(t.missing, 0);
        EXPECT_EQ(t.exact, 21);  // every file, the five deleted ones included
        EXPECT_EQ(t.deletedExact, 5);
        EXPECT_EQ(k.files.size(), 21u);
        EXPECT_EQ(dev.bytesWritten(), 0);
        if (name == base) {
          // Before the format the root still names the folders: the FAT12 boot sector
          // places the root, also where it holds fewer than 512 entries (the floppy's 224).
          EXPECT_TRUE(k.files.count("/Volume/docs/REPORT.PDF"));
          EXPECT_TRUE(k.files.count("/Volume/work/src/deeper/notes.md"));
        }
      }
      EXPECT_EQ(testutil::FileChecksum(path), before);
    }
  }
}

// With the boot sector zeroed too, the geometry comes from the folders' own "." entries,
// also where a cluster is no larger than a sector (the floppy's).
TEST(FormatFat12, ZeroedBootSectorGivesNoWrongBytes) {
  for (std::string base : {"fat12-floppy", "fat12-16m"}) {
    SCOPED_TRACE(base);
    testutil::FixtureManifest m;
    if (!m.Load(base)) GTEST_SKIP() << "fixture missing";
    auto image = testutil::ReadFile(testutil::Fixture(base + "-qformat.img"));
    ASSERT_GT(image.size(), 512u);
    std::fill(image.begin(), image.begin() + 512, 0);
    testutil::MemDevice dev(image, 512, 512);
    dev.SetOwnedByCaller(true);
    dev.info().PartitionType = 0x01;
    Keep k(&dev.bytes());
    EXPECT_EQ(Scan(CreateFormatScanner(&dev), &k), 1);
    Tally t = Compare(m, k);
    EXPECT_EQ(t.wrong, 0);
    EXPECT_EQ(t.exact, 21);
  }
}
