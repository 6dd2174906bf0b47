// Memory cards formatted again by another device: the photos, videos and documents that
// surviving entries name place the old layout by their heads; every file handed out is
// byte for byte its original, and files whose bytes cannot be shown to be theirs (heads
// gone, chains lost with the old FAT, random bytes under a photo's name) carry no data.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <utility>

#include "common/inc/bytes.h"
#include "common/inc/ifilemanager.h"
#include "common/inc/kestrum_types.h"
#include "contrib/fatrecover.h"
#include "fat_memdevice.h"
#include "filemanager/fileinfo.h"
#include "filesystems/exfatformat.h"
#include "fixtures.h"
#include "imagedisk.h"
#include "rawrecovery/headprobe.h"
#include "recoverymanagement/crecoverymanagement.h"
#include "scanread.h"
#include "stubfilemanager.h"
#include "testutil.h"

namespace {

std::string U8(const char16_t* s) {
  std::string o;
  for (; s && *s; ++s) {
    char16_t c = *s;
    if (c < 0x80) o += char(c);
    else if (c < 0x800) o += char(0xC0 | (c >> 6)), o += char(0x80 | (c & 0x3F));
    else o += char(0xE0 | (c >> 12)), o += char(0x80 | ((c >> 6) & 0x3F)), o += char(0x80 | (c & 0x3F));
  }
  return o;
}

struct Got {
  std::string name;
  uint32_t flags;
  std::vector<uint8_t> bytes;
  std::string folder;
};

class Keep : public StubFileManager {
 public:
  explicit Keep(const std::vector<uint8_t>* img) : m_img(img) {}
  std::vector<Got> files;
  int AddFile(const char16_t* folder, IFileInfo* f) override {
    if (!(f->GetFlags() & FF_DIRECTORY))
      files.push_back({U8(f->GetName()), f->GetFlags(), GatherRunBytes(*m_img, f), U8(folder)});
    f->Release();
    return 0;
  }

 private:
  const std::vector<uint8_t>* m_img;
};

struct Tally {
  int exact = 0, noData = 0, wrong = 0;
  double ms = 0;
};

// Each file with data against the originals of its name (a deleted FAT short name has lost
// its first letter).
Tally Judge(const std::string& manifest, const std::vector<Got>& files) {
  Tally t;
  testutil::FixtureManifest m;
  EXPECT_TRUE(m.Load(manifest));
  for (const Got& g : files) {
    bool known = false, same = false;
    for (const auto* e : m.Files()) {
      std::string base = e->path.substr(e->path.rfind('/') + 1);
      bool named = base == g.name || (!g.name.empty() && g.name[0] == '_' && base.size() == g.name.size() &&
                                      base.compare(1, std::string::npos, g.name, 1, std::string::npos) == 0);
      if (!named) continue;
      known = true;
      same = same || m.SameAsOriginal(e->path, g.bytes);
    }
    if (!known) continue;
    // Why a file has no data is said only of files without data.
    if (g.flags & FF_OVERWRITTEN) {
      EXPECT_TRUE(g.flags & FF_NODATA) << g.name;
    }
    if (g.flags & FF_NODATA) {
      EXPECT_TRUE(g.bytes.empty()) << g.name;
      ++t.noData;
    } else if (same) {
      ++t.exact;
    } else {
      ++t.wrong;
      ADD_FAILURE() << "wrong bytes under the name " << g.name << " (" << manifest << ")";
    }
  }
  return t;
}

Tally ScanExfat(const std::vector<uint8_t>& img, const std::string& manifest, CExfatFormat::Placement* placement,
                std::vector<Got>* out = nullptr) {
  FatMemDevice dev(img);
  CExfatFormat s(&dev, nullptr);
  Keep fm(&img);
  QuietSink sink;
  s.SetFileManager(&fm);
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(s.Scan(&sink), 0);
  double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_EQ(dev.writes, 0);
  if (placement) *placement = s.GetPlacement();
  Tally t = Judge(manifest, fm.files);
  t.ms = ms;
  if (out) *out = fm.files;
  return t;
}

Tally ScanFat32(const std::vector<uint8_t>& img, const std::string& manifest, std::vector<Got>* out = nullptr,
                int fatType = 2) {
  FatMemDevice dev(img);
  CFatFormat s;
  s.SetDevice(&dev);
  s.SetFatType(fatType);
  Keep fm(&img);
  QuietSink sink;
  s.SetFileManager(&fm);
  auto t0 = std::chrono::steady_clock::now();
  s.Scan(&sink);
  double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_EQ(dev.writes, 0);
  Tally t = Judge(manifest, fm.files);
  t.ms = ms;
  if (out) *out = fm.files;
  return t;
}

// A partition scanned the way the program scans it (the engine's scanner of that kind, the
// file manager it makes), every listed file read back through the engine's file reader.
std::vector<Got> ScanThroughEngine(IDevice* partition, int kind, int* rc) {
  std::vector<Got> out;
  CRecoveryManagement rm;
  IFileManager* fm = nullptr;
  IScanOperator* so = nullptr;
  EXPECT_EQ(rm.CreateScanOperator(partition, kind, &fm, &so), 0) << kind;
  if (!so || !fm) return out;
  testutil::FoundFiles found;
  fm->SetNotifySink(&found);
  *rc = so->Scan(&found);
  for (const auto& f : found.seen)
    out.push_back({f.first, f.second->GetFlags(), testutil::ReadAll(so, f.second), ""});
  so->Release();
  fm->Release();
  return out;
}

const Got* Named(const std::vector<Got>& files, const std::string& name) {
  for (const Got& g : files)
    if (g.name == name) return &g;
  return nullptr;
}

}  // namespace

// Heads and ends come from the analysers themselves: real files of the samples begin files
// of their own kind only, and a photo proves its own length.
TEST(HeadProbe, ExtensionsHeadsAndProvenEnds) {
  EXPECT_EQ(kraw::TypeOfName(u"IMG_0001.JPG"), 1);
  EXPECT_EQ(kraw::TypeOfName(u"holiday.jpeg"), 1);
  EXPECT_EQ(kraw::TypeOfName(u"scan.TIFF"), kraw::TypeOfName(u"scan.tif"));
  EXPECT_GT(kraw::TypeOfName(u"clip.mp4"), 0);
  EXPECT_EQ(kraw::TypeOfName(u"readme.txt"), 0);
  EXPECT_EQ(kraw::TypeOfName(u"README"), 0);
  EXPECT_EQ(kraw::TypeOfName(u"trailing."), 0);
  EXPECT_EQ(kraw::TypeOfName(u"odd.j\u00e9g"), 0);
  EXPECT_EQ(kraw::TypeOfName(nullptr), 0);

  std::string dir = testutil::Fixture("samples");
  if (dir.empty()) GTEST_SKIP() << "samples missing";
  auto jpg = testutil::ReadFile(dir + "/photo.jpg");
  auto png = testutil::ReadFile(dir + "/picture.png");
  auto pdf = testutil::ReadFile(dir + "/document.pdf");
  ASSERT_FALSE(jpg.empty());
  ASSERT_FALSE(png.empty());
  kraw::HeadProbe probe;
  const int tJpg = kraw::TypeOfName(u"a.jpg"), tPng = kraw::TypeOfName(u"a.png"), tPdf = kraw::TypeOfName(u"a.pdf");
  EXPECT_TRUE(probe.Begins(tJpg, jpg.data(), jpg.size()));
  EXPECT_FALSE(probe.Begins(tPng, jpg.data(), jpg.size()));
  EXPECT_TRUE(probe.Begins(tPng, png.data(), png.size()));
  EXPECT_FALSE(probe.Begins(tJpg, png.data(), png.size()));
  if (!pdf.empty()) {
    EXPECT_TRUE(probe.Begins(tPdf, pdf.data(), pdf.size()));  // shorter than a unit: padded
  }
  std::vector<uint8_t> zeros(8192, 0);
  EXPECT_FALSE(probe.Begins(tJpg, zeros.data(), zeros.size()));
  EXPECT_FALSE(probe.Begins(tJpg, jpg.data() + 512, jpg.size() - 512));

  auto from = [](const std::vector<uint8_t>& bytes) {
    return [&bytes](uint64_t off, uint8_t* buf, uint32_t len) {
      std::memset(buf, 0, len);
      if (off < bytes.size()) std::memcpy(buf, bytes.data() + off, std::min<uint64_t>(len, bytes.size() - off));
      return true;
    };
  };
  EXPECT_EQ(probe.ProvenLength(tJpg, from(jpg), jpg.size() + 4096), int64_t(jpg.size()));
  // Cut short, followed by another photo: the end found is not this file's.
  std::vector<uint8_t> cut(jpg.begin(), jpg.begin() + jpg.size() / 2);
  cut.insert(cut.end(), jpg.begin(), jpg.end());
  EXPECT_NE(probe.ProvenLength(tJpg, from(cut), jpg.size() / 2 + 4096), int64_t(jpg.size() / 2));
  EXPECT_EQ(probe.ProvenLength(tJpg, from(png), png.size() + 4096), -1);
  EXPECT_EQ(probe.ProvenLength(tJpg, from(jpg), 1000), -1);  // past the limit
}

// exFAT cards formatted again with larger clusters and a later heap, smaller clusters and
// an earlier one, and a heap moved by part of a cluster; in nested folders and with every
// file in the root (no folder names another, so only the files place the old heap).
TEST(CardRelayout, ExfatFilesPlaceTheOldLayout) {
  struct Case {
    const char* image;
    const char* manifest;
    int minExact;
  };
  const Case cases[] = {{"card-exfat-c128k.img", "card-exfat", 10},   {"card-exfat-c4k.img", "card-exfat", 44},
                        {"card-exfat-shift.img", "card-exfat", 44},   {"card-exfat-flat.img", "card-flat", 44},
                        {"card-exfat-flat-shift.img", "card-flat", 44}};
  int ran = 0;
  for (const Case& c : cases) {
    std::string path = testutil::Fixture(c.image);
    if (path.empty()) continue;
    ++ran;
    uint64_t before = testutil::FileChecksum(path);
    auto img = testutil::ReadFile(path);
    CExfatFormat::Placement placement;
    Tally t = ScanExfat(img, c.manifest, &placement);
    std::printf("%s: %d exact, %d without data, %d wrong, %.0f ms\n", c.image, t.exact, t.noData, t.wrong, t.ms);
    EXPECT_EQ(placement, CExfatFormat::kOldLayout) << c.image;
    EXPECT_EQ(t.wrong, 0) << c.image;
    EXPECT_GE(t.exact, c.minExact) << c.image;
    EXPECT_EQ(testutil::FileChecksum(path), before);
  }
  if (!ran) GTEST_SKIP() << "fixtures missing";
}

// FAT32 cards formatted again: with every file in the root no "." entry survives, and the
// files alone place the old data start and cluster size; with folders, the dots and the
// files agree. Under an old layout each file of more than one cluster must prove its end.
TEST(CardRelayout, Fat32FilesPlaceTheOldLayout) {
  struct Case {
    const char* image;
    const char* manifest;
    int minExact;
  };
  const Case cases[] = {{"card-fat32-flat.img", "card-flat", 40},
                        {"card-fat32-r.img", "card-fat32", 40},
                        {"card-fat32-c512.img", "card-fat32", 0}};
  int ran = 0;
  for (const Case& c : cases) {
    std::string path = testutil::Fixture(c.image);
    if (path.empty()) continue;
    ++ran;
    uint64_t before = testutil::FileChecksum(path);
    auto img = testutil::ReadFile(path);
    Tally t = ScanFat32(img, c.manifest);
    std::printf("%s: %d exact, %d without data, %d wrong, %.0f ms\n", c.image, t.exact, t.noData, t.wrong, t.ms);
    EXPECT_EQ(t.wrong, 0) << c.image;
    EXPECT_GE(t.exact, c.minExact) << c.image;
    EXPECT_EQ(testutil::FileChecksum(path), before);
  }
  if (!ran) GTEST_SKIP() << "fixtures missing";
}

// Files named like photos, videos and documents whose bytes are random: no head confirms
// any layout, and none of them is handed out.
TEST(CardRelayout, NoHeadConfirmsNoLayout) {
  std::string path = testutil::Fixture("card-exfat-noise.img");
  if (path.empty()) GTEST_SKIP() << "fixture missing";
  uint64_t before = testutil::FileChecksum(path);
  auto img = testutil::ReadFile(path);
  std::vector<Got> files;
  Tally t = ScanExfat(img, "card-noise", nullptr, &files);
  std::printf("card-exfat-noise.img: %d exact, %d without data, %d wrong, %.0f ms\n", t.exact, t.noData, t.wrong,
              t.ms);
  EXPECT_EQ(t.wrong, 0);
  for (const Got& g : files) {
    std::u16string n(g.name.begin(), g.name.end());
    if (kraw::TypeOfName(n.c_str()) > 0) {
      EXPECT_TRUE(g.flags & FF_NODATA) << g.name;
    }
  }
  EXPECT_EQ(testutil::FileChecksum(path), before);
}

// The chains: an exFAT file of several clusters without its NoFatChain flag needed the old
// FAT, and a FAT32 file with another file's head inside its clusters is no single piece;
// both are listed without data, and everything else still comes back.
TEST(CardRelayout, ChainsTheOldFatHeldGiveNoData) {
  std::string ex = testutil::Fixture("card-exfat-flat.img");
  std::string f32 = testutil::Fixture("card-fat32-flat.img");
  std::string dir = testutil::Fixture("card-flat.files");
  if (ex.empty() || f32.empty() || dir.empty()) GTEST_SKIP() << "fixtures missing";
  auto photo = testutil::ReadFile(dir + "/IMG_1010.JPG");
  auto png = testutil::ReadFile(dir + "/wallpaper.png");
  ASSERT_GT(photo.size(), 40u * 1024);  // more than one cluster on both cards
  ASSERT_GT(png.size(), 4096u);

  auto img = testutil::ReadFile(ex);
  // The photo's stream entry in the old root: the name entry after it reads IMG_1010.JPG.
  const std::u16string want = u"IMG_1010.JPG";
  size_t stream = 0;
  for (size_t o = 32; o + 96 <= img.size() && !stream; o += 32) {
    if (img[o] != 0xC0 || img[o - 32] != 0x85 || img[o + 32] != 0xC1) continue;
    bool same = img[o + 3] == want.size();
    for (size_t i = 0; same && i < want.size(); ++i) same = kbytes::Le16(img.data() + o + 34 + 2 * i) == want[i];
    if (same) stream = o;
  }
  ASSERT_NE(stream, 0u);
  ASSERT_TRUE(img[stream + 1] & 0x02);
  img[stream + 1] &= uint8_t(~0x02);  // entry-set checksum left as it was: no scan checks it
  std::vector<Got> files;
  Tally t = ScanExfat(img, "card-flat", nullptr, &files);
  EXPECT_EQ(t.wrong, 0);
  const Got* g = Named(files, "IMG_1010.JPG");
  ASSERT_NE(g, nullptr);
  EXPECT_TRUE(g->flags & FF_NODATA);
  EXPECT_FALSE(g->flags & FF_OVERWRITTEN) << "its chain is lost: its place is what is not known";
  EXPECT_GE(t.exact, 43);

  // A PNG's head written 4 KiB into the photo (a cluster boundary of the old FAT32 card).
  auto fimg = testutil::ReadFile(f32);
  size_t at = 0;
  for (size_t o = 0; o + photo.size() <= fimg.size(); o += 512)
    if (std::memcmp(fimg.data() + o, photo.data(), 4096) == 0) {
      at = o;
      break;
    }
  ASSERT_NE(at, 0u);
  std::memcpy(fimg.data() + at + 4096, png.data(), 4096);
  Tally u = ScanFat32(fimg, "card-flat", &files);
  EXPECT_EQ(u.wrong, 0);
  g = Named(files, "IMG_1010.JPG");
  ASSERT_NE(g, nullptr);
  EXPECT_TRUE(g->flags & FF_NODATA);
  EXPECT_FALSE(g->flags & FF_OVERWRITTEN) << "no entry names the clusters the PNG's head lies in";
  EXPECT_GE(u.exact, 40);
}

// exfat-matrix formatted again with 32 KiB clusters: the old files lie under the old layout.
// Where the new volume's bitmap takes the cluster an old entry names first, or a later cluster
// of a file the old volume kept in one piece, that file has no data because other files hold
// its clusters. A file whose FAT chain went with the format (one written in two pieces, or one
// whose NoFatChain flag is cleared) has no data because its place is not known, unless the
// cluster its entry names is taken too.
TEST(CardRelayout, ExfatFilesWithoutDataSayWhy) {
  std::string path = testutil::Fixture("exfat-matrix-c32k.img");
  testutil::FixtureManifest m;
  if (path.empty() || !m.Load("exfat-matrix")) GTEST_SKIP() << "fixtures missing";
  auto img = testutil::ReadFile(path);
  auto at = [&img](const std::vector<uint8_t>& bytes) {
    for (size_t o = 0; o + bytes.size() <= img.size(); o += 512)
      if (std::memcmp(img.data() + o, bytes.data(), std::min<size_t>(bytes.size(), 4096)) == 0) return o;
    return size_t(0);
  };
  CExfatFormat::Placement placement;
  std::vector<Got> before, after;
  Tally t = ScanExfat(img, "exfat-matrix", &placement, &before);
  ASSERT_EQ(placement, CExfatFormat::kOldLayout);
  EXPECT_EQ(t.wrong, 0);

  // The new volume's clusters and its bitmap (named by its root's entry 0x81).
  const uint64_t heap = uint64_t(kbytes::Le32(img.data() + 88)) << img[108];
  const uint64_t cluster = uint64_t(1) << (img[108] + img[109]);
  ASSERT_EQ(cluster, 32768u);
  const uint8_t* root = img.data() + heap + (kbytes::Le32(img.data() + 96) - 2) * cluster;
  uint64_t bitmap = 0;
  for (size_t i = 0; i < cluster && !bitmap; i += 32)
    if (root[i] == 0x81) bitmap = heap + (kbytes::Le32(root + i + 20) - 2) * cluster;
  ASSERT_NE(bitmap, 0u);
  auto take = [&](uint64_t off) {
    const uint64_t c = (off - heap) / cluster;
    img[bitmap + c / 8] |= uint8_t(1u << (c % 8));
  };
  // A new cluster that holds old folder entries (a file entry and its stream) would hide them.
  auto holdsEntries = [&](uint64_t off) {
    const uint64_t from = heap + (off - heap) / cluster * cluster;
    for (uint64_t o = from; o + 64 <= from + cluster; o += 32)
      if ((img[o] & 0x7F) == 0x05 && (img[o + 32] & 0x7F) == 0x40) return true;
    return false;
  };
  // Its live stream entry: the name entries after it spell the name, 15 characters each.
  auto streamOf = [&img](const std::string& name) {
    const size_t names = (name.size() + 14) / 15;
    for (size_t o = 32; o + 32 * (names + 1) <= img.size(); o += 32) {
      if (img[o] != 0xC0 || img[o - 32] != 0x85 || img[o + 3] != name.size()) continue;
      bool same = true;
      for (size_t i = 0; same && i < name.size(); ++i) {
        const uint8_t* e = img.data() + o + 32 * (1 + i / 15);
        same = e[0] == 0xC1 && kbytes::Le16(e + 2 + 2 * (i % 15)) == uint8_t(name[i]);
      }
      if (same) return o;
    }
    return size_t(0);
  };
  // A file of one old cluster; one of several that the old volume kept in one piece, whose end
  // lies in the new cluster after the one its head lies in; two of several whose NoFatChain
  // flag is cleared, the head of one in a cluster taken, the end only of the other.
  std::string one, kept, lost, lostEnd;
  for (const auto* e : m.Files()) {
    const Got* g = Named(before, e->path.substr(e->path.rfind('/') + 1));
    if (e->deleted || !g || (g->flags & FF_NODATA) || e->size == 0) continue;
    const size_t off = at(m.Original(e->path));
    if (!off || holdsEntries(off) || holdsEntries(off + e->size - 1)) continue;
    if (e->size <= 4096) {
      if (!one.empty()) continue;
      one = g->name;
      take(off);
      continue;
    }
    const bool across = (off - heap) / cluster != (off + e->size - 1 - heap) / cluster;
    if (kept.empty() && across) {
      kept = g->name;
      take(off + e->size - 1);
      continue;
    }
    const size_t stream = streamOf(g->name);
    if (!stream || !(img[stream + 1] & 0x02) || !(across ? lostEnd : lost).empty()) continue;
    img[stream + 1] &= uint8_t(~0x02);  // no scan checks the set's checksum
    (across ? lostEnd : lost) = g->name;
    take(across ? off + e->size - 1 : off);
  }
  ASSERT_FALSE(one.empty() || kept.empty() || lost.empty() || lostEnd.empty());

  Tally u = ScanExfat(img, "exfat-matrix", &placement, &after);
  EXPECT_EQ(placement, CExfatFormat::kOldLayout);
  EXPECT_EQ(u.wrong, 0);
  EXPECT_LT(u.exact, t.exact);
  for (const std::string& n : {one, kept, lost}) {
    const Got* g = Named(after, n);
    ASSERT_NE(g, nullptr) << n;
    EXPECT_TRUE(g->flags & FF_NODATA) << n;
    EXPECT_TRUE(g->flags & FF_OVERWRITTEN) << n;
  }
  for (const std::string& n : {lostEnd, std::string("journal.txt"), std::string("draft in two pieces.txt")}) {
    const Got* g = Named(after, n);
    ASSERT_NE(g, nullptr) << n;
    EXPECT_TRUE(g->flags & FF_NODATA) << n;
    EXPECT_FALSE(g->flags & FF_OVERWRITTEN) << n;
  }
  // Before the new files took them, no file said its clusters were taken; after, every file
  // that lost its data to them says so.
  for (const Got& g : before) EXPECT_FALSE(g.flags & FF_OVERWRITTEN) << g.name;
  for (const Got& g : after) {
    const Got* was = Named(before, g.name);
    ASSERT_NE(was, nullptr) << g.name;
    if ((g.flags & FF_NODATA) && !(was->flags & FF_NODATA) && g.name != lostEnd) {
      EXPECT_TRUE(g.flags & FF_OVERWRITTEN) << g.name;
    }
  }
}

// A volume formatted again with another cluster size and data start, then written to: the
// old folders' "." entries outvote the new ones, so the search reads with the old layout,
// while the new files live under the new one (and a folder the new volume made and deleted
// again names its clusters the new way). Every new file comes back whole through the new
// FAT under its own path; old files come back exact or without data (one whose data the
// new volume overwrote, without); no file anywhere comes back with another file's bytes.
TEST(FatRenew, FilesWrittenAfterTheFormatKeepTheirOwnLayout) {
  struct Case {
    const char* name;
    int type;
    int minOldExact;
  };
  const Case cases[] = {{"fat32-renew", 2, 4}, {"fat16-renew", 1, 11}};
  int ran = 0;
  for (const Case& c : cases) {
    std::string path = testutil::Fixture(std::string(c.name) + ".img");
    testutil::FixtureManifest fresh;
    if (path.empty() || !fresh.Load(std::string(c.name) + "-new")) continue;
    ++ran;
    uint64_t before = testutil::FileChecksum(path);
    auto img = testutil::ReadFile(path);
    std::vector<Got> files;
    Tally old = ScanFat32(img, c.name, &files, c.type);
    Tally now = Judge(std::string(c.name) + "-new", files);
    std::printf("%s: old files %d exact, %d without data, %d wrong; new files %d exact, %d without data, %d wrong\n",
                c.name, old.exact, old.noData, old.wrong, now.exact, now.noData, now.wrong);
    EXPECT_EQ(old.wrong, 0) << c.name;
    EXPECT_EQ(now.wrong, 0) << c.name;
    EXPECT_GE(old.exact, c.minOldExact) << c.name;
    int live = 0;
    for (const auto* e : fresh.Files()) {
      if (e->deleted) continue;
      ++live;
      std::string dir = e->path.substr(0, e->path.rfind('/'));
      std::string base = e->path.substr(e->path.rfind('/') + 1);
      int seen = 0;
      for (const Got& g : files) {
        if (g.name != base) continue;
        ++seen;
        EXPECT_EQ(g.folder, "/Volume" + dir) << e->path;
        EXPECT_FALSE(g.flags & FF_NODATA) << e->path;
        EXPECT_TRUE(fresh.SameAsOriginal(e->path, g.bytes)) << e->path;
      }
      EXPECT_EQ(seen, 1) << c.name << " " << e->path;
    }
    EXPECT_EQ(now.exact, live) << c.name;
    // The old file whose entry survived while the new volume overwrote its data.
    const Got* early = Named(files, "old early.bin");
    ASSERT_NE(early, nullptr) << c.name;
    EXPECT_TRUE(early->flags & FF_NODATA) << c.name;
    EXPECT_TRUE(early->flags & FF_OVERWRITTEN) << c.name;
    EXPECT_EQ(testutil::FileChecksum(path), before);
  }
  if (!ran) GTEST_SKIP() << "fixtures missing";
}

// The same volumes with the new FAT wiped (its reserved entries kept) and the first folder
// cluster chained to itself: the new tree is walked as far as the damage lets it, files
// whose chains are gone carry no data, and still no file comes back with wrong bytes.
TEST(FatRenew, DamagedNewFatGivesNoWrongBytes) {
  int ran = 0;
  for (auto [name, type] : {std::pair<std::string, int>{"fat32-renew", 2}, {"fat16-renew", 1}}) {
    std::string path = testutil::Fixture(name + ".img");
    testutil::FixtureManifest fresh;
    if (path.empty() || !fresh.Load(name + "-new")) continue;
    ++ran;
    auto img = testutil::ReadFile(path);
    fat::FatGeometry g;
    ASSERT_EQ(fat::ParseFatBoot(img.data(), 512, type == 2 ? fat::kFat32 : fat::kFat16, img.size(), &g), 0);
    const size_t width = type == 2 ? 4 : 2;
    const uint32_t first = type == 2 ? g.rootCluster : 2;
    for (uint32_t k = 0; k < g.numFats; ++k) {
      uint8_t* fatBytes = img.data() + g.fatOffset + k * g.fatBytes;
      std::fill(fatBytes + 2 * width, fatBytes + g.fatBytes, 0);
      for (size_t b = 0; b < width; ++b) fatBytes[first * width + b] = uint8_t(first >> (8 * b));
    }
    std::vector<Got> files;
    Tally old = ScanFat32(img, name, &files, type);
    Tally now = Judge(name + "-new", files);
    std::printf("%s, new FAT wiped: old files %d exact, %d without data; new files %d exact, %d without data\n",
                name.c_str(), old.exact, old.noData, now.exact, now.noData);
    EXPECT_EQ(old.wrong + now.wrong, 0) << name;
    EXPECT_GE(now.exact + now.noData, 1) << name;
  }
  if (!ran) GTEST_SKIP() << "fixtures missing";
}

// A volume formatted again with the same layout and then written to: a folder of the old
// volume survives behind the new files, but the clusters its first files name now hold the
// new files (the fourth file's in part); its last two files lie in clusters the new FAT
// leaves free. Through the format dispatcher and the FAT reader of the volume's kind, the
// new files come back exact, an old file whose clusters the new FAT gives to a file comes
// back without data, one in free clusters exact; the deleted-file scan hands out nothing
// with wrong bytes either.
TEST(FatRenew, SameLayoutOldEntriesOverNewFilesGiveNoData) {
  // Old files that lie in clusters the new FAT leaves free, and those it gives to new files.
  const std::set<std::string> freeOnes = {"old-video.mp4", "old-picture.png"};
  const std::set<std::string> overwritten = {"old-photo.jpg", "old-document.pdf", "old-progressive.jpg",
                                             "_ld-progressive.jpg", "old-tone-id3v23.mp3"};
  auto check = [&](const std::string& what, const std::string& name, const std::vector<Got>& files) {
    Tally old = Judge(name, files), now = Judge(name + "-new", files);
    std::printf(
        "%s, %s: old files %d exact, %d without data, %d wrong; new files %d exact, %d without data, "
        "%d wrong\n",
        name.c_str(), what.c_str(), old.exact, old.noData, old.wrong, now.exact, now.noData, now.wrong);
    EXPECT_EQ(old.wrong + now.wrong, 0) << what;
    for (const Got& g : files) {
      if (overwritten.count(g.name)) {
        EXPECT_TRUE(g.flags & FF_NODATA) << what << " " << g.name;
        // The new files hold their clusters, and the window says so.
        EXPECT_TRUE(g.flags & FF_OVERWRITTEN) << what << " " << g.name;
      }
      if (freeOnes.count(g.name)) {
        EXPECT_FALSE(g.flags & FF_OVERWRITTEN) << what << " " << g.name;
      }
    }
    return std::make_pair(old, now);
  };
  int ran = 0;

  std::string disk = testutil::Fixture("fat32-reuse.img");
  testutil::FixtureManifest fresh;
  if (!disk.empty() && fresh.Load("fat32-reuse-new")) {
    ++ran;
    const uint64_t before = testutil::FileChecksum(disk);
    {
      testutil::ImageDisk d(disk);
      CVolume* part = d.Partition(1);
      ASSERT_NE(part, nullptr);
      for (int kind : {int(Scan_Format), int(Scan_FormatFat32)}) {
        int rc = -9;
        std::vector<Got> files = ScanThroughEngine(part, kind, &rc);
        EXPECT_EQ(rc, 1) << kind;  // the search reached the volume's end
        char what[32];
        std::snprintf(what, sizeof what, "scan 0x%x", kind);
        auto t = check(what, "fat32-reuse", files);
        EXPECT_EQ(t.second.exact, 2) << what;
        EXPECT_EQ(t.first.exact + t.first.noData, 6) << what;  // X's six files are all listed
        for (const std::string& n : freeOnes) {
          const Got* g = Named(files, n);
          ASSERT_NE(g, nullptr) << what << " " << n;
          EXPECT_FALSE(g->flags & FF_NODATA) << what << " " << n;
        }
        EXPECT_EQ(t.first.exact, 2) << what;
      }
      int rc = -9;
      std::vector<Got> files = ScanThroughEngine(part, Scan_Deleted, &rc);
      EXPECT_EQ(rc, 0);
      check("deleted-file scan", "fat32-reuse", files);
    }
    EXPECT_EQ(testutil::FileChecksum(disk), before);
  }

  std::string vol = testutil::Fixture("fat16-reuse.img");
  if (!vol.empty() && fresh.Load("fat16-reuse-new")) {
    ++ran;
    const uint64_t before = testutil::FileChecksum(vol);
    auto img = testutil::ReadFile(vol);
    std::vector<Got> files;
    ScanFat32(img, "fat16-reuse", &files, 1);
    auto t = check("scan 0x300", "fat16-reuse", files);
    EXPECT_EQ(t.second.exact, 2);
    EXPECT_EQ(t.first.exact, 2);
    EXPECT_EQ(t.first.exact + t.first.noData, 6);
    EXPECT_EQ(testutil::FileChecksum(vol), before);
  }
  if (!ran) GTEST_SKIP() << "fixtures missing";
}

// The same volume with its 200 KB file's FAT chain changed, both FATs alike. Its halves
// swapped on the device and chained the other way round: one piece from its first cluster
// would give the second half first, its chain gives it whole. Its chain ended after ten
// clusters with the rest marked free (a damaged FAT): the file is taken as one piece over
// free clusters, and the old files there still get no data, since the new volume wrote them.
TEST(FatRenew, SameLayoutPresentFileFollowsItsChain) {
  std::string path = testutil::Fixture("fat16-reuse.img");
  testutil::FixtureManifest fresh;
  if (path.empty() || !fresh.Load("fat16-reuse-new")) GTEST_SKIP() << "fixture missing";
  const auto original = testutil::ReadFile(path);
  fat::FatGeometry g;
  ASSERT_EQ(fat::ParseFatBoot(original.data(), 512, fat::kFat16, original.size(), &g), 0);
  const uint32_t cb = g.clusterBytes, size = 200 * 1024, n = size / cb, half = n / 2;
  size_t entry = 0;
  for (size_t o = g.rootDirOffset; o + 32 <= g.rootDirOffset + g.rootDirBytes && !entry; o += 32)
    if (original[o] != 0xE5 && original[o + 11] != 0x0F && kbytes::Le32(original.data() + o + 28) == size)
      entry = o;
  ASSERT_NE(entry, 0u);
  const uint32_t first = kbytes::Le16(original.data() + entry + 26);
  auto setFat = [&](std::vector<uint8_t>& img, uint32_t c, uint16_t v) {
    for (uint32_t k = 0; k < g.numFats; ++k) {
      uint8_t* e = img.data() + g.fatOffset + k * g.fatBytes + c * 2;
      e[0] = uint8_t(v);
      e[1] = uint8_t(v >> 8);
    }
  };
  auto at = [&](uint32_t c) { return size_t(g.ClusterOffset(c)); };

  for (int variant : {0, 1}) {
    std::vector<uint8_t> img = original;
    if (variant == 0) {
      std::vector<uint8_t> a(img.begin() + long(at(first)), img.begin() + long(at(first + half)));
      std::copy(img.begin() + long(at(first + half)), img.begin() + long(at(first + n)),
                img.begin() + long(at(first)));
      std::copy(a.begin(), a.end(), img.begin() + long(at(first + n - half)));
      // The second half now lies first, the first half behind it.
      for (uint32_t i = 0; i < n; ++i) {
        uint32_t c = first + (i + n - half) % n, next = first + (i + 1 + n - half) % n;
        setFat(img, c, i + 1 == n ? 0xFFFF : uint16_t(next));
      }
      img[entry + 26] = uint8_t(first + n - half);
      img[entry + 27] = uint8_t((first + n - half) >> 8);
    } else {
      setFat(img, first + 9, 0xFFFF);
      for (uint32_t c = first + 10; c < first + n; ++c) setFat(img, c, 0);
    }
    std::vector<Got> files;
    Tally old = ScanFat32(img, "fat16-reuse", &files, 1);
    Tally now = Judge("fat16-reuse-new", files);
    std::printf(
        "fat16-reuse, variant %d: old files %d exact, %d without data, %d wrong; new files %d exact, "
        "%d without data, %d wrong\n",
        variant, old.exact, old.noData, old.wrong, now.exact, now.noData, now.wrong);
    EXPECT_EQ(old.wrong + now.wrong, 0) << variant;
    EXPECT_EQ(now.exact, 2) << variant;
    EXPECT_EQ(old.exact, 2) << variant;
    EXPECT_EQ(old.noData, 4) << variant;
  }
}
