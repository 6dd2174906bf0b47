// Structure walks that decide where a carved file ends: MP4 boxes and TIFF directories laid
// in a memory device next to other files, carved by the raw scan and compared byte for byte.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <map>
#include <set>

#include "common/inc/bytes.h"
#include "rawrecovery/rawrecover.h"
#include "rawtestdev.h"
#include "testutil.h"

using rawtest::Carved;
using rawtest::Hit;
using rawtest::MemStorage;
using rawtest::RecordingManager;

namespace {

rawtest::Hits ScanAll(MemStorage& dev, int mode, const std::set<std::string>& exts, int64_t base = 0) {
  int rc = -1;
  rawtest::Hits hits = rawtest::ScanHits(dev, mode, exts, &rc, base);
  EXPECT_EQ(0, rc);
  return hits;
}

void Box(std::vector<uint8_t>* f, const char* type, size_t payload, uint8_t fill, bool large = false) {
  size_t at = f->size();
  size_t head = large ? 16 : 8;
  f->resize(at + head + payload, fill);
  if (large) {
    kbytes::PutBe32(&(*f)[at], 1);
    kbytes::PutBe64(&(*f)[at + 8], head + payload);
  } else {
    kbytes::PutBe32(&(*f)[at], uint32_t(head + payload));
  }
  std::memcpy(&(*f)[at + 4], type, 4);
}

std::vector<uint8_t> Mp4(const char* brand, bool largeMdat) {
  std::vector<uint8_t> f;
  Box(&f, "ftyp", 20, 0);
  std::memcpy(&f[8], brand, 4);
  std::memcpy(&f[16], "isomiso2mp41", 12);
  Box(&f, "free", 0, 0);
  Box(&f, "mdat", 71555, 0x5a, largeMdat);
  // A JPEG head inside the media data must not end the file (the jpg type is absorbed).
  std::memcpy(&f[8192], "\xff\xd8\xff\xe0", 4);
  Box(&f, "moov", 2214, 0x6d);
  Box(&f, "uuid", 37, 0x75);  // a box type the search does not know still belongs to the file
  return f;
}

// Files at 4096-byte boundaries; the next one follows in the very next cluster.
std::vector<uint8_t> Pack(const std::vector<std::vector<uint8_t>>& files, std::vector<size_t>* at, size_t gap = 0) {
  std::vector<uint8_t> img(4096, 0);
  for (const auto& f : files) {
    at->push_back(img.size());
    img.insert(img.end(), f.begin(), f.end());
    img.resize((img.size() + 4095) / 4096 * 4096 + gap, 0);
  }
  img.resize(img.size() + 4096, 0);
  return img;
}

std::vector<uint8_t> Bmp(size_t size) {
  std::vector<uint8_t> b(size, 0x42);
  b[0] = 'B';
  b[1] = 'M';
  kbytes::PutLe32(&b[2], uint32_t(size));
  kbytes::PutLe32(&b[6], 0);
  return b;
}

struct TiffIfd {
  std::vector<std::array<uint32_t, 4>> entries;  // tag, type, count, value
};

// Writes the IFD at `at` (growing f) and returns where its next pointer lies.
size_t PutIfd(std::vector<uint8_t>* f, size_t at, const TiffIfd& d) {
  size_t end = at + 2 + 12 * d.entries.size() + 4;
  if (f->size() < end) f->resize(end, 0);
  kbytes::PutLe16(&(*f)[at], uint16_t(d.entries.size()));
  for (size_t i = 0; i < d.entries.size(); ++i) {
    uint8_t* e = &(*f)[at + 2 + 12 * i];
    kbytes::PutLe16(e, uint16_t(d.entries[i][0]));
    kbytes::PutLe16(e + 2, uint16_t(d.entries[i][1]));
    kbytes::PutLe32(e + 4, d.entries[i][2]);
    kbytes::PutLe32(e + 8, d.entries[i][3]);
  }
  kbytes::PutLe32(&(*f)[end - 4], 0);
  return end - 4;
}

void Fill(std::vector<uint8_t>* f, size_t at, size_t n, uint8_t v) {
  if (f->size() < at + n) f->resize(at + n, 0);
  std::memset(&(*f)[at], v, n);
}

TiffIfd Page(uint32_t stripAt, uint32_t stripLen) {
  return TiffIfd{{{256, 3, 1, 320}, {257, 3, 1, 240}, {273, 4, 1, stripAt}, {278, 3, 1, 240}, {279, 4, 1, stripLen}}};
}

std::vector<uint8_t> Header() {
  std::vector<uint8_t> f(8, 0);
  std::memcpy(f.data(), "II*\0", 4);
  return f;
}

}  // namespace

TEST(RawWalks, Mp4EndsAfterItsLastBoxAndIsNamedOnceByItsBrand) {
  struct Case {
    const char* brand;
    bool large;
    const char* ext;
  } cases[] = {{"isom", false, "mp4"}, {"isom", true, "mp4"}, {"qt  ", false, "mov"},
               {"M4A ", false, "m4a"}, {"3gp4", false, "3gp"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.brand) + (c.large ? " 64-bit mdat" : ""));
    std::vector<uint8_t> mp4 = Mp4(c.brand, c.large);
    for (size_t gap : {size_t(0), size_t(8192)}) {
      std::vector<size_t> at;
      std::vector<uint8_t> img = Pack({mp4, Bmp(3000)}, &at, gap);
      for (int mode : {SECTOR_SCAN, CLUSTER_SCAN}) {
        MemStorage dev(img, mode == CLUSTER_SCAN ? 4096 : 0);
        auto hits = ScanAll(dev, mode, {"mp4", "mov", "m4a", "m4v", "3gp", "3g2", "bmp", "jpg"});
        ASSERT_EQ(1u, hits.count(at[0])) << "one file, not one per candidate extension";
        const Hit& h = hits.find(at[0])->second;
        EXPECT_EQ(c.ext, h.ext);
        EXPECT_TRUE(h.bytes == mp4) << "carved " << h.bytes.size() << " original " << mp4.size();
        EXPECT_EQ(1u, hits.count(at[1]));
      }
    }
  }
}

TEST(RawWalks, Mp4MediaDataWithOtherHeadsAtUnitStartsIsCarvedWhole) {
  // ffmpeg's layout (ftyp, free, mdat, moov); the media data holds at unit starts the heads
  // of other types, as compressed frames now and then do. The mdat's size says the file
  // goes on, so none of them may end it, and none is carved as a file of its own. The
  // slack after the movie box may pass for one more box (printable type, a size far past
  // the next file): the file still ends after the movie box.
  std::vector<uint8_t> png = {0x89, 'P', 'N', 'G', 0x0d, 0x0a, 0x1a, 0x0a, 0,    0,    0,
                              13,   'I', 'H', 'D', 'R',  0,    0,    1,    0,    0,    0,
                              1,    0,   8,   2,   0,    0,    0,    0x12, 0x34, 0x56, 0x78};
  std::vector<uint8_t> bmp = Bmp(3000);
  const uint8_t pack[] = {0, 0, 1, 0xba, 0x44, 0, 4, 0, 4, 1, 1, 0x89, 0xc3, 0xf8, 0, 0, 1, 0xbb, 0, 0x12};
  for (const char* brand : {"isom", "qt  ", "M4A "}) {
    SCOPED_TRACE(brand);
    std::vector<uint8_t> f;
    Box(&f, "ftyp", 20, 0);
    std::memcpy(&f[8], brand, 4);
    std::memcpy(&f[16], "isomiso2mp41", 12);
    Box(&f, "free", 0, 0);
    Box(&f, "mdat", 90000, 0x5a);
    std::memcpy(&f[8192], png.data(), png.size());
    std::memcpy(&f[16384], bmp.data(), 64);
    std::memcpy(&f[24576], pack, sizeof pack);
    std::memcpy(&f[32768], f.data(), 40);  // the file's own first boxes
    Box(&f, "moov", 2214, 0x6d);
    for (bool boxLikeSlack : {false, true}) {
      SCOPED_TRACE(boxLikeSlack ? "slack like a box" : "zero slack");
      std::vector<size_t> at;
      std::vector<uint8_t> img = Pack({f, Bmp(3000)}, &at, 8192);
      if (boxLikeSlack) {
        const uint8_t slack[] = {0x9e, 0x21, 0x4c, 0x07, 'Q', 'z', ';', 'p', 0xc1, 0x05, 0x77};
        std::memcpy(&img[at[0] + f.size()], slack, sizeof slack);
        std::memset(&img[at[0] + f.size() + sizeof slack], 0xa7, at[1] - at[0] - f.size() - sizeof slack);
      }
      for (int mode : {SECTOR_SCAN, CLUSTER_SCAN}) {
        MemStorage dev(img, mode == CLUSTER_SCAN ? 4096 : 0);
        auto hits = ScanAll(dev, mode, {"mp4", "mov", "m4a", "png", "bmp", "mpg"});
        ASSERT_EQ(1u, hits.count(at[0]));
        const Hit& h = hits.find(at[0])->second;
        EXPECT_TRUE(h.bytes == f) << "carved " << h.bytes.size() << " original " << f.size();
        EXPECT_EQ(2u, hits.size()) << "a head inside the media data was carved as a file";
        EXPECT_EQ(1u, hits.count(at[1]));
      }
    }
  }
}

TEST(RawWalks, TiffSizedByEveryPageTableAndPreview) {
  std::map<std::string, std::vector<uint8_t>> files;
  {
    // Three pages, the last directory at the very end of the file.
    std::vector<uint8_t> f = Header();
    Fill(&f, 8, 60000, 0x11);
    kbytes::PutLe32(&f[4], 60008);
    size_t next = PutIfd(&f, 60008, Page(8, 60000));
    Fill(&f, 60100, 60000, 0x22);
    kbytes::PutLe32(&f[next], 120100);
    next = PutIfd(&f, 120100, Page(60100, 60000));
    Fill(&f, 120200, 60000, 0x33);
    kbytes::PutLe32(&f[next], 180200);
    PutIfd(&f, 180200, Page(120200, 60000));
    files["pages"] = f;
  }
  {
    // 1500 strips (beyond a 1000-entry table) whose tables follow the directory.
    const uint32_t n = 1500, len = 40;
    std::vector<uint8_t> f = Header();
    kbytes::PutLe32(&f[4], 8);
    TiffIfd d{{{256, 3, 1, 64}, {257, 3, 1, n}, {273, 4, n, 100}, {279, 4, n, 100 + 4 * n}}};
    PutIfd(&f, 8, d);
    uint32_t data = 100 + 8 * n;
    f.resize(data, 0);
    for (uint32_t i = 0; i < n; ++i) {
      kbytes::PutLe32(&f[100 + 4 * i], data + i * len);
      kbytes::PutLe32(&f[100 + 4 * n + 4 * i], len);
    }
    Fill(&f, data, n * len, 0x44);
    files["strips"] = f;
  }
  {
    // A SubIFD written with the IFD type (13) holding the full-size image last in the file,
    // and an IFD1 JPEG preview addressed by offset and length.
    std::vector<uint8_t> f = Header();
    kbytes::PutLe32(&f[4], 8);
    TiffIfd d{{{256, 3, 1, 16}, {273, 4, 1, 300}, {279, 4, 1, 500}, {330, 13, 1, 1000}}};
    size_t next = PutIfd(&f, 8, d);
    Fill(&f, 300, 500, 0x55);
    kbytes::PutLe32(&f[next], 200);
    PutIfd(&f, 200, TiffIfd{{{259, 3, 1, 6}, {513, 4, 1, 90000}, {514, 4, 1, 7000}}});
    PutIfd(&f, 1000, Page(2000, 80000));
    Fill(&f, 2000, 80000, 0x66);
    Fill(&f, 90000, 7000, 0x77);
    files["subifd"] = f;
  }
  for (auto& kv : files) {
    SCOPED_TRACE(kv.first);
    std::vector<size_t> at;
    std::vector<uint8_t> img = Pack({kv.second, Bmp(3000)}, &at);
    for (int mode : {SECTOR_SCAN, CLUSTER_SCAN}) {
      MemStorage dev(img, mode == CLUSTER_SCAN ? 4096 : 0);
      auto hits = ScanAll(dev, mode, {"tif", "bmp"});
      ASSERT_EQ(1u, hits.count(at[0]));
      const Hit& h = hits.find(at[0])->second;
      EXPECT_EQ("tif", h.ext);
      EXPECT_TRUE(h.bytes == kv.second) << "carved " << h.bytes.size() << " original " << kv.second.size();
      EXPECT_EQ(1u, hits.count(at[1]));
    }
  }
}

// The demo disk when a run has made it: its FAT32 partition holds both files that came out
// wrong before (make it with tests/fixtures/make_demo.sh <fixtures>/demo).
TEST(RawWalks, DemoDiskVideoAndMultiPageTiff) {
  std::string img = testutil::Fixture("demo/demo-disk.img");
  std::string dir = testutil::Fixture("demo/demo-disk.files/fat32/DCIM/100KSTRM");
  if (img.empty() || dir.empty()) GTEST_SKIP() << "demo disk not built";
  std::vector<uint8_t> disk = testutil::ReadFile(img);
  const size_t fat32 = 100352ull * 512;
  ASSERT_GT(disk.size(), fat32);
  MemStorage dev(std::vector<uint8_t>(disk.begin() + fat32, disk.end()), 0);
  auto hits = ScanAll(dev, SECTOR_SCAN, {"mp4", "mov", "m4a", "m4v", "3gp", "3g2", "tif", "jpg", "bmp", "mp3"});
  for (const char* name : {"MOV_0001.MP4", "IMG_0004.tif"}) {
    SCOPED_TRACE(name);
    std::vector<uint8_t> orig = testutil::ReadFile(dir + "/" + name);
    int same = 0, sameStart = 0;
    for (auto& h : hits) {
      if (h.second.bytes.size() >= 8 && std::equal(orig.begin(), orig.begin() + 8, h.second.bytes.begin())) {
        ++sameStart;
        same += h.second.bytes == orig;
      }
    }
    EXPECT_EQ(1, sameStart);
    EXPECT_EQ(1, same);
  }
}

TEST(RawWalks, OfficePackageNamedByMembersInTheClusterThatShowsItsKind) {
  // The kind and the member name sit in one cluster (a central directory near the end, as
  // small packages have it): one pptx, not docx, pptx and xlsx.
  std::vector<uint8_t> z(11022, 0x30);
  std::memcpy(z.data(), "PK\x03\x04", 4);
  std::memcpy(&z[9000], "[Content_Types].xml", 19);
  std::memcpy(&z[9500], "ppt/_rels/presentation.xml.rels", 31);
  uint8_t* end = &z[11000];
  std::memcpy(end, "PK\x05\x06", 4);
  std::memset(end + 4, 0, 18);
  kbytes::PutLe16(end + 8, 3);
  kbytes::PutLe16(end + 10, 3);
  kbytes::PutLe32(end + 12, 2200);
  kbytes::PutLe32(end + 16, 8800);
  std::vector<size_t> at;
  std::vector<uint8_t> img = Pack({z}, &at);
  for (int mode : {SECTOR_SCAN, CLUSTER_SCAN}) {
    MemStorage dev(img, mode == CLUSTER_SCAN ? 4096 : 0);
    auto hits = ScanAll(dev, mode, {"zip", "docx", "pptx", "xlsx"});
    ASSERT_EQ(1u, hits.count(at[0]));
    EXPECT_EQ("pptx", hits.find(at[0])->second.ext);
    EXPECT_TRUE(hits.find(at[0])->second.bytes == z);
  }
}
