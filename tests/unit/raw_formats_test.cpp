// The structure-walking analysers: real pictures, documents, archives, songs and videos made
// by Debian tools, hand-built files of the types no tool writes, the worked sizes and hostile
// files that must neither crash nor hang.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <set>

#include "common/inc/bytes.h"
#include "rawrecovery/fileanalyser/aacanalyser.h"
#include "rawrecovery/fileanalyser/gifanalyser.h"
#include "rawrecovery/fileanalyser/jpganalyser.h"
#include "rawrecovery/fileanalyser/matanalyser.h"
#include "rawrecovery/fileanalyser/mp3analyser.h"
#include "rawrecovery/fileanalyser/mp4analyser.h"
#include "rawrecovery/fileanalyser/mpganalyser.h"
#include "rawrecovery/fileanalyser/pdfanalyser.h"
#include "rawrecovery/fileanalyser/tiffanalyser.h"
#include "rawrecovery/fileanalyser/zipanalyser.h"
#include "rawrecovery/fileanalyser/signatureanalysers.h"
#include "rawrecovery/rawrecover.h"
#include "rawtestdev.h"
#include "testutil.h"

using rawtest::Carved;
using rawtest::Feed;
using rawtest::MemStorage;
using rawtest::RecordingManager;

namespace {

bool Run(const std::string& cmd) { return std::system(("(" + cmd + ") >/dev/null 2>&1").c_str()) == 0; }

struct Sample {
  std::string ext;     // the folder the file must be reported under
  int exact;  // 1: the type knows its end, the carved bytes are the file; 0: zeros may follow;
             // -1: the carved file begins with the original
  std::vector<uint8_t> bytes;
};

// A compound file of 512-byte sectors: header, FAT at sector 0, directory at sector 1, then
// `used` - 2 data sectors; the directory names the given streams in order. With a shift of
// 12 it is a version-4 file whose header fills its first 4096-byte sector; dirFirst swaps
// the FAT and the directory.
std::vector<uint8_t> MakeCompound(const std::vector<std::u16string>& names, int used, int shift = 9,
                                  bool dirFirst = false) {
  const size_t ss = size_t(1) << shift;
  const uint32_t fatAt = dirFirst ? 1 : 0, dirAt = dirFirst ? 0 : 1;
  std::vector<uint8_t> f(ss + size_t(used) * ss, 0x11);
  const uint8_t magic[8] = {0xd0, 0xcf, 0x11, 0xe0, 0xa1, 0xb1, 0x1a, 0xe1};
  std::memset(f.data(), 0, ss);
  std::memcpy(f.data(), magic, 8);
  kbytes::PutLe16(&f[24], 0x3e);
  kbytes::PutLe16(&f[26], shift == 12 ? 4 : 3);
  kbytes::PutLe16(&f[28], 0xfffe);
  kbytes::PutLe16(&f[30], uint16_t(shift));
  kbytes::PutLe16(&f[32], 6);
  kbytes::PutLe32(&f[44], 1);
  kbytes::PutLe32(&f[48], dirAt);
  kbytes::PutLe32(&f[60], 0xfffffffe);
  kbytes::PutLe32(&f[68], 0xfffffffe);
  kbytes::PutLe32(&f[72], 0);
  for (int i = 0; i < 109; ++i) kbytes::PutLe32(&f[76 + 4 * i], i == 0 ? fatAt : 0xffffffff);
  uint8_t* fat = &f[ss + fatAt * ss];
  for (size_t i = 0; i < ss / 4; ++i) kbytes::PutLe32(fat + 4 * i, i < size_t(used) ? uint32_t(i + 1) : 0xffffffffu);
  kbytes::PutLe32(fat + 4 * fatAt, 0xfffffffd);
  kbytes::PutLe32(fat + 4 * dirAt, 0xfffffffe);
  kbytes::PutLe32(fat + 4 * (used - 1), 0xfffffffe);
  uint8_t* dir = &f[ss + dirAt * ss];
  std::memset(dir, 0, ss);
  for (size_t e = 0; e < names.size() && e < 4; ++e)
    for (size_t i = 0; i < names[e].size(); ++i) kbytes::PutLe16(dir + 128 * e + 2 * i, uint16_t(names[e][i]));
  return f;
}

// A little-endian TIFF: one strip of 1000 bytes at 8, one IFD of ten entries at 2000, the
// maker name at 1500.
std::vector<uint8_t> MakeTiff(const char* make, bool subIfds) {
  std::vector<uint8_t> f(2126, 0x20);
  std::memcpy(f.data(), "II*\0", 4);
  kbytes::PutLe32(&f[4], 2000);
  std::memset(&f[1500], 0, 16);
  std::memcpy(&f[1500], make, std::strlen(make));
  uint8_t* ifd = &f[2000];
  kbytes::PutLe16(ifd, 10);
  struct E {
    uint16_t tag, type;
    uint32_t count, value;
  } es[10] = {{256, 3, 1, 16}, {257, 3, 1, 16}, {258, 3, 1, 8},   {259, 3, 1, 1},     {262, 3, 1, 1},
              {271, 2, uint32_t(std::strlen(make) + 1), 1500},   {273, 4, 1, 8},    {277, 3, 1, 1},
              {279, 4, 1, 1000}, {subIfds ? uint16_t(330) : uint16_t(284), 3, subIfds ? 0u : 1u, 1}};
  for (int i = 0; i < 10; ++i) {
    uint8_t* e = ifd + 2 + 12 * i;
    kbytes::PutLe16(e, es[i].tag);
    kbytes::PutLe16(e + 2, es[i].type);
    kbytes::PutLe32(e + 4, es[i].count);
    kbytes::PutLe32(e + 8, es[i].value);
  }
  kbytes::PutLe32(ifd + 2 + 120, 0);
  return f;
}

std::vector<uint8_t> MakeRealMedia() {
  std::vector<uint8_t> f;
  auto chunk = [&](const char* id, uint32_t size, uint8_t fill) {
    size_t at = f.size();
    f.resize(at + size, fill);
    std::memcpy(&f[at], id, 4);
    kbytes::PutBe32(&f[at + 4], size);
  };
  chunk(".RMF", 18, 0);
  kbytes::PutBe32(&f[14], 4);  // header count
  chunk("PROP", 50, 0x01);
  chunk("DATA", 20000, 0x5a);
  chunk("INDX", 48, 0);  // an index with two entries
  chunk("INDX", 20, 0);  // the last, empty index
  return f;
}

std::vector<uint8_t> MakeDwg() {
  // An R2004 drawing: the tag at 128 reappears 108 bytes before the end.
  std::vector<uint8_t> f(9000, 0x3c);
  std::memcpy(f.data(), "AC1018", 6);
  std::memcpy(&f[128], "KESTRUMX", 8);
  std::memcpy(&f[9000 - 108], "KESTRUMX", 8);
  return f;
}

std::vector<uint8_t> MakeMat(int elements, std::vector<uint32_t> lens) {
  std::vector<uint8_t> f(128, ' ');
  std::memcpy(f.data(), "MATLAB 5.0 MAT-file, made by a test", 35);
  f[124] = 0;
  f[125] = 1;
  f[126] = 'I';
  f[127] = 'M';
  for (int i = 0; i < elements; ++i) {
    size_t at = f.size();
    f.resize(at + 8 + lens[size_t(i)], uint8_t(0x30 + i));
    kbytes::PutLe32(&f[at], 14);
    kbytes::PutLe32(&f[at + 4], lens[size_t(i)]);
  }
  return f;
}

std::vector<Sample> MakeSamples(const testutil::TempDir& dir) {
  std::vector<Sample> out;
  const std::string d = dir.path() + "/";
  const std::string im = "/usr/bin/convert";
  const std::string ff = "ffmpeg -y -loglevel error ";
  Run(im + " -size 160x120 plasma:fractal " + d + "thumb.jpg");
  Run("head -c 30000 /dev/urandom | base64 > " + d + "t.txt");
  Run("(echo a,b,c; for i in $(seq 1 3000); do echo $i,$((i*7)),x$i; done) > " + d + "t.csv");
  struct Job {
    const char* ext;
    int exact;
    std::string file, cmd;
  } jobs[] = {
      {"jpg", true, "exif.jpg",
       im + " -size 640x480 plasma:fractal " + d + "exif.jpg && exiftool -overwrite_original '-ThumbnailImage<=" + d +
           "thumb.jpg' " + d + "exif.jpg"},
      {"jpg", true, "prog.jpg", im + " -size 400x300 plasma:fractal -interlace Plane " + d + "prog.jpg"},
      {"gif", true, "anim.gif",
       im + " -size 120x90 plasma:red-blue plasma:green-yellow plasma:fractal -loop 0 " + d + "anim.gif"},
      {"tif", true, "tiled.tif", im + " -size 256x256 plasma:fractal -define tiff:tile-geometry=64x64 " + d + "tiled.tif"},
      {"tif", true, "multi.tif", im + " -size 128x128 plasma:fractal plasma:fractal " + d + "multi.tif"},
      {"pdf", true, "lin.pdf", "cd " + d + " && HOME=" + d + " soffice --headless --convert-to pdf t.txt && mv t.pdf p.pdf && qpdf --linearize " + d + "p.pdf " + d + "lin.pdf"},
      {"zip", true, "c.zip", "cd " + d + " && printf 'ten chars!' | zip -z -q c.zip t.txt thumb.jpg"},
      {"mp3", true, "v3.mp3", ff + "-f lavfi -i sine=frequency=440:duration=3 -c:a libmp3lame -id3v2_version 3 -metadata title=v3 " + d + "v3.mp3"},
      {"mp3", true, "v4.mp3", ff + "-f lavfi -i sine=frequency=660:duration=3 -c:a libmp3lame -id3v2_version 4 -metadata title=v4 " + d + "v4.mp3"},
      {"mp3", true, "lame.mp3", ff + "-f lavfi -i sine=frequency=500:duration=2 " + d + "l.wav && lame --quiet --id3v2-only --tt lame " + d + "l.wav " + d + "lame.mp3"},
      // Long enough to pass the 32 KiB minimum of their rows now that they end exactly.
      {"mp4", true, "a.mp4", ff + "-f lavfi -i testsrc=duration=5:size=160x120:rate=10 -c:v mpeg4 " + d + "a.mp4"},
      {"mov", true, "a.mov", ff + "-f lavfi -i testsrc=duration=5:size=160x120:rate=10 -c:v mpeg4 " + d + "a.mov"},
      {"m4a", true, "a.m4a", ff + "-f lavfi -i sine=frequency=440:duration=4 -c:a aac " + d + "a.m4a"},
      {"3gp", true, "a.3gp", ff + "-f lavfi -i testsrc=duration=2:size=176x144:rate=10 -c:v h263 " + d + "a.3gp"},
      {"mpg", true, "a.mpg", ff + "-f lavfi -i testsrc=duration=2:size=160x120:rate=25 -c:v mpeg1video -f mpeg " + d + "a.mpg"},
      {"wma", true, "a.wma", ff + "-f lavfi -i sine=frequency=440:duration=3 -c:a wmav2 " + d + "a.wma"},
      {"wmv", true, "a.wmv", ff + "-f lavfi -i testsrc=duration=2:size=160x120:rate=10 -c:v wmv2 " + d + "a.wmv"},
      {"aac", true, "a.aac", ff + "-f lavfi -i sine=frequency=440:duration=2 -ar 22050 -ac 1 -c:a aac -f adts " + d + "a.aac"},
  };
  for (const Job& j : jobs) {
    if (!Run(j.cmd)) continue;
    std::vector<uint8_t> b = testutil::ReadFile(d + j.file);
    if (!b.empty()) out.push_back({j.ext, j.exact, b});
  }
  // Office files when LibreOffice is installed.
  if (Run("which soffice")) {
    struct Office {
      const char* ext;
      int exact;
      const char* src;
    } office[] = {{"doc", true, "t.txt"},  {"docx", true, "t.txt"}, {"odt", true, "t.txt"},
                  {"xls", true, "t.csv"},  {"xlsx", true, "t.csv"}, {"ods", true, "t.csv"}};
    for (const Office& o : office) {
      std::string src = d + o.src;
      if (!Run("cd " + d + " && HOME=" + d + " soffice --headless --convert-to " + o.ext + " --outdir " + d + "o_" +
               o.ext + " " + src))
        continue;
      std::string base(o.src);
      base = base.substr(0, base.find('.'));
      std::vector<uint8_t> b = testutil::ReadFile(d + "o_" + o.ext + "/" + base + "." + o.ext);
      if (!b.empty()) out.push_back({o.ext, o.exact, b});
    }
  }
  // Types no Debian tool writes, built from their published layouts.
  out.push_back({"rm", true, MakeRealMedia()});
  out.push_back({"dwg", true, MakeDwg()});
  out.push_back({"mat", true, MakeMat(3, {3000, 5000, 1200})});
  std::vector<uint8_t> nef = MakeTiff("NIKON CORPORATION", false);
  out.push_back({"nef", -1, nef});
  out.push_back({"msg", true, MakeCompound({u"Root Entry", u"__nameid_version1.0"}, 20)});
  out.push_back({"vsd", true, MakeCompound({u"Root Entry", u"VisioDocument"}, 20)});
  out.push_back({"ppt", true, MakeCompound({u"Root Entry", u"PowerPoint Document"}, 24)});
  return out;
}

struct Layout {
  std::vector<uint8_t> image;
  std::vector<size_t> at;
};

// Each file at a multiple of 4096 followed by 8 KiB of zeros.
Layout Lay(const std::vector<Sample>& files) {
  Layout l;
  l.image.assign(8192, 0);
  for (const Sample& s : files) {
    l.at.push_back(l.image.size());
    l.image.insert(l.image.end(), s.bytes.begin(), s.bytes.end());
    l.image.insert(l.image.end(), (4096 - l.image.size() % 4096) % 4096 + 8192, 0);
  }
  l.image.insert(l.image.end(), 8192, 0);
  return l;
}

rawtest::Hits Scan(MemStorage& dev, int mode, const std::set<std::string>& exts, int* rc = nullptr) {
  return rawtest::ScanHits(dev, mode, exts, rc);
}

bool PrefixThenZeros(const std::vector<uint8_t>& carved, const std::vector<uint8_t>& orig) {
  if (carved.size() < orig.size() || std::memcmp(carved.data(), orig.data(), orig.size()) != 0) return false;
  for (size_t i = orig.size(); i < carved.size(); ++i)
    if (carved[i]) return false;
  return true;
}

}  // namespace

TEST(RawFormats, RealFilesCarvedWithTheirEnds) {
  testutil::TempDir dir;
  std::vector<Sample> samples = MakeSamples(dir);
  ASSERT_GE(samples.size(), 12u);
  std::set<std::string> exts;
  for (const Sample& s : samples) exts.insert(s.ext);
  Layout l = Lay(samples);
  for (int cs : {512, 4096}) {
    MemStorage dev(l.image, cs);
    auto hits = Scan(dev, CLUSTER_SCAN, exts);
    EXPECT_FALSE(dev.writes);
    for (size_t i = 0; i < samples.size(); ++i) {
      const Sample& s = samples[i];
      SCOPED_TRACE(s.ext + " #" + std::to_string(i) + " cluster " + std::to_string(cs));
      bool found = false;
      auto range = hits.equal_range(l.at[i]);
      for (auto it = range.first; it != range.second; ++it) {
        if (it->second.ext != s.ext) continue;
        found = true;
        const std::vector<uint8_t>& got = it->second.bytes;
        if (s.exact < 0)
          EXPECT_TRUE(got.size() >= s.bytes.size() && std::equal(s.bytes.begin(), s.bytes.end(), got.begin()));
        else if (s.exact)
          EXPECT_TRUE(got == s.bytes) << "carved " << got.size() << " original " << s.bytes.size();
        else
          EXPECT_TRUE(PrefixThenZeros(got, s.bytes)) << "carved " << got.size() << " original " << s.bytes.size();
      }
      std::string seen;
      for (auto it = range.first; it != range.second; ++it)
        seen += " " + it->second.ext + ":" + std::to_string(it->second.bytes.size());
      EXPECT_TRUE(found) << "not carved as " << s.ext << "; found" << seen << " original " << s.bytes.size();
    }
    // Nothing is reported from inside another file.
    std::set<size_t> starts(l.at.begin(), l.at.end());
    for (auto& h : hits) EXPECT_TRUE(starts.count(h.first)) << h.second.ext << " at " << h.first;
  }
}

TEST(RawFormats, WorkedSizes) {
  // A RIFF of 992 bytes plus its 8-byte head is 1000, rounded up to whole sectors: 1024.
  std::vector<uint8_t> avi(1024, 0x41);
  std::memcpy(avi.data(), "RIFF", 4);
  kbytes::PutLe32(&avi[4], 992);
  std::memcpy(&avi[8], "AVI ", 4);
  CAviAnalyser av;
  EXPECT_EQ(AS_COMPLETE, Feed(av, avi, 1024));
  int64_t s = 0;
  av.GetRange(&s, nullptr);
  EXPECT_EQ(0, s);

  // Layer III frame lengths.
  const uint8_t f128[] = {0xff, 0xfb, 0x90, 0x00}, f128p[] = {0xff, 0xfb, 0x92, 0x00};
  const uint8_t mpeg2[] = {0xff, 0xf3, 0x40, 0x00}, reserved[] = {0xff, 0xfb, 0xf0, 0x00};
  EXPECT_EQ(417, CMp3Analyser::FrameLength(f128));
  EXPECT_EQ(418, CMp3Analyser::FrameLength(f128p));
  EXPECT_EQ(72000 * 32 / 22050, CMp3Analyser::FrameLength(mpeg2));
  EXPECT_EQ(0, CMp3Analyser::FrameLength(reserved));

  // TIFF: the IFD ends at 2000 + 2 + 120 + 4, beyond the strip end 1008; two more with the
  // sub-data flag. NIKON makes it a nef, 81920 bytes added before the row's limits.
  for (bool sub : {false, true}) {
    CTiffAnalyser t;
    std::vector<uint8_t> f = MakeTiff("nikon corp", sub);
    f.resize(4096, 0);
    // Everything is held in the first cluster, so the walk finishes there.
    Feed(t, f, 4096);
    ClusterBuf next(4096);
    next.lcn = 1;
    for (int i = 0; i < 4 && t.GetState() == AS_HEADER; ++i, ++next.lcn) t.Continue(next);
    ASSERT_EQ(AS_COMPLETE, t.GetState());
    EXPECT_STREQ("nef", t.GetExtension());
    EXPECT_EQ((sub ? 2128 : 2126) + 81920, t.GetSizeForExtension("nef"));
    // Sized from its own directories and strips: kept below the tif row's 8 KiB minimum.
    EXPECT_EQ(sub ? 2128 : 2126, t.GetSizeForExtension("tif"));
  }
  CTiffAnalyser sony;
  std::vector<uint8_t> sf = MakeTiff("SONY", false);
  sf.resize(8192, 0);
  Feed(sony, sf, 512);
  EXPECT_STREQ("sr2/arw", sony.GetExtension());

  // MP4 brands.
  EXPECT_EQ(0xfu, CMp4Analyser::BrandFlags(reinterpret_cast<const uint8_t*>("isom")));
  CMp4Analyser m;
  std::vector<uint8_t> mp4(4096, 0);
  kbytes::PutBe32(&mp4[0], 24);
  std::memcpy(&mp4[4], "ftypqt  ", 8);
  kbytes::PutBe32(&mp4[24], 4000);
  std::memcpy(&mp4[28], "mdat", 4);
  Feed(m, mp4, 4096);
  EXPECT_STREQ("mov", m.GetExtension());  // the brand names one kind, not every candidate

  // MAT: the third element has type 0: 128 plus two elements with their tags.
  CMatAnalyser mat;
  std::vector<uint8_t> mf = MakeMat(2, {1000, 2000});
  mf.resize(8192, 0);
  EXPECT_EQ(AS_COMPLETE, Feed(mat, mf, 512));
  EXPECT_EQ(128 + 1008 + 2008, mat.GetSizeForExtension("mat"));
}

TEST(RawFormats, CompoundFileSizeAndName) {
  // 100 sectors in use: 100 x 512 + 512 = 51712, known once 1 x 512 x 512 bytes are counted.
  std::vector<uint8_t> f = MakeCompound({u"Root Entry", u"WordDocument", u"Workbook"}, 100);
  ASSERT_EQ(51712u, f.size());
  std::vector<uint8_t> img(512 * 1024, 0);
  std::memcpy(&img[512], f.data(), f.size());
  {
    MemStorage dev(img, 512);
    auto hits = Scan(dev, CLUSTER_SCAN, {"doc", "xls"});
    ASSERT_EQ(1u, hits.size());
    EXPECT_EQ("doc", hits.begin()->second.ext);
    EXPECT_TRUE(hits.begin()->second.bytes == f);
  }
  // Another head soon after: the FAT was read whole, so the file keeps its own size rather
  // than taking in the bytes up to that head.
  std::vector<uint8_t> img2 = img;
  std::fill(img2.begin() + 512 + 51712, img2.begin() + 512 * 110, 0x77);
  const uint8_t png[] = {0x89, 'P', 'N', 'G', 0x0d, 0x0a, 0x1a, 0x0a};
  std::memcpy(&img2[512 * 110], png, 8);
  MemStorage dev2(img2, 512);
  auto hits = Scan(dev2, CLUSTER_SCAN, {"doc", "png"});
  ASSERT_EQ(2u, hits.size());
  EXPECT_TRUE(hits.find(512)->second.bytes == f);
}

TEST(RawFormats, CompoundFileOfLargeSectorsWithItsDirectoryFirst) {
  // Version 4: the header takes the whole first 4096-byte sector, so sector n lies at
  // 4096 + n x 4096, and the directory at sector 0 is read like any other. 30 sectors in
  // use: 31 x 4096 bytes, named by its Workbook stream, with other bytes following.
  std::vector<uint8_t> f = MakeCompound({u"Root Entry", u"Workbook"}, 30, 12, true);
  ASSERT_EQ(31u * 4096, f.size());
  std::vector<uint8_t> img(512 * 1024, 0);
  std::memcpy(&img[4096], f.data(), f.size());
  std::fill(img.begin() + 4096 + long(f.size()), img.begin() + 4096 * 40, 0x77);
  MemStorage dev(img, 512);
  auto hits = Scan(dev, CLUSTER_SCAN, {"doc", "xls"});
  ASSERT_EQ(1u, hits.size());
  EXPECT_EQ(4096u, hits.begin()->first);
  EXPECT_EQ("xls", hits.begin()->second.ext);
  EXPECT_EQ(f.size(), hits.begin()->second.bytes.size());
  EXPECT_TRUE(hits.begin()->second.bytes == f);
}

TEST(RawFormats, PictureEdges) {
  // AVI1 motion frames and a byte 4 of FF are not JPEG heads.
  CJpgAnalyser j;
  ClusterBuf cb(4096);
  std::memcpy(cb.GetData(), "\xff\xd8\xff\xe0\x00\x10" "AVI1", 10);
  EXPECT_EQ(AS_NONE, j.CheckHeader(cb));
  std::memcpy(cb.GetData(), "\xff\xd8\xff\xe1\xff", 5);
  EXPECT_EQ(AS_NONE, j.CheckHeader(cb));
  // The EOI the marker walk meets ends the picture at byte 1000, whether the rest of its
  // sector is zero or holds the slack of an older file.
  for (bool dirty : {false, true}) {
    std::vector<uint8_t> f(4096, 0);
    std::memcpy(f.data(), "\xff\xd8\xff\xe0\x00\x10JFIF", 10);
    std::fill(f.begin() + 20, f.begin() + 998, 0x55);
    f[998] = 0xff;
    f[999] = 0xd9;
    if (dirty) f[1010] = 1;
    CJpgAnalyser a;
    int r = Feed(a, f, 4096);
    ASSERT_EQ(AS_ENDED, r);
    int64_t s, e;
    a.GetRange(&s, &e);
    EXPECT_EQ(1000, e - s);
    EXPECT_EQ(1000, a.GetSizeForExtension("jpg"));  // below the row's 1 KiB, but whole
  }
  // An EOI cut by the cluster joint (FF the last byte of one cluster) is still the end.
  std::vector<uint8_t> f(2048, 0);
  std::memcpy(f.data(), "\xff\xd8\xff\xe0\x00\x10JFIF", 10);
  std::fill(f.begin() + 20, f.begin() + 1023, 0x55);
  f[1023] = 0xff;
  f[1024] = 0xd9;
  CJpgAnalyser k;
  ASSERT_EQ(AS_ENDED, Feed(k, f, 512));
  int64_t s, e;
  k.GetRange(&s, &e);
  EXPECT_EQ(1025, e - s);

  // A GIF ends with the trailer byte 3B where a block would begin, whatever stands before it
  // and after it: one of no block at all (header, colour table, trailer), and one whose
  // trailer follows its image's last sub-block and is itself followed by a zero byte. A 3B
  // inside the image's coded data is stepped over with its sub-block.
  const std::vector<uint8_t> bare = {'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0, 0x80, 0, 0,
                                     0, 0, 0, 0xff, 0xff, 0xff, 0x3b};
  const std::vector<uint8_t> image = {'G', 'I', 'F', '8', '7', 'a', 1, 0, 1, 0, 0x00, 0, 0,
                                      0x2c, 0, 0, 0, 0, 1, 0, 1, 0, 0x00, 0x02, 0x03, 0x3b, 0x3b, 0x01, 0x00, 0x3b};
  for (const auto* gif : {&bare, &image}) {
    for (uint8_t after : {0x00, 0x5a}) {
      std::vector<uint8_t> g = *gif;
      g.push_back(after);
      g.resize(1024, 0x5a);
      CGifAnalyser a;
      ASSERT_EQ(AS_ENDED, Feed(a, g, 512));
      a.GetRange(&s, &e);
      EXPECT_EQ(int64_t(gif->size()), e - s) << int(after);
      EXPECT_EQ(int64_t(gif->size()), a.GetSizeForExtension("gif"));
    }
  }
}

TEST(RawFormats, DocumentEdges) {
  // A linearized PDF with /L 100000: a %EOF seen early does not end it.
  std::vector<uint8_t> pdf(120000, 0x20);
  const char* head = "%PDF-1.5\n1 0 obj <</Linearized 1 /L 100000 /H [ 1 2 ] >> endobj\n";
  std::memcpy(pdf.data(), head, std::strlen(head));
  std::memcpy(&pdf[4096 + 100], "%%EOF\n", 6);
  std::memcpy(&pdf[100000 - 6], "%%EOF\n", 6);
  CPdfAnalyser p;
  ASSERT_EQ(AS_ENDED, Feed(p, pdf, 4096));
  int64_t s, e;
  p.GetRange(&s, &e);
  EXPECT_EQ(100000, e - s);
  // A PDF still open when another head comes is not reported.
  EXPECT_EQ(AS_GIVEN_UP, p.OnNewHeader(DeviceEndHint(), ClusterBuf(512)));
  EXPECT_EQ(0, p.GetSizeForExtension("pdf"));

  // ZIP packages told apart by their member names.
  auto zipKind = [](std::vector<std::string> parts) {
    CZipAnalyser z;
    std::vector<uint8_t> f(512 * parts.size(), 0x20);
    std::memcpy(f.data(), "PK\x03\x04", 4);
    for (size_t i = 0; i < parts.size(); ++i) std::memcpy(&f[512 * i + 8], parts[i].data(), parts[i].size());
    Feed(z, f, 512);
    return std::string(z.GetExtension());
  };
  EXPECT_EQ("xlsx", zipKind({"[Content_Types].xml", "xl/_rels/workbook.xml.rels"}));
  EXPECT_EQ("docx/pptx/xlsx", zipKind({"[Content_Types].xml"}));
  EXPECT_EQ("numbers", zipKind({"QuickLook/Thumbnail.jpg"}));
  EXPECT_EQ("odt", zipKind({"mimetypeapplication/vnd.oasis.opendocument.textPK"}));
  EXPECT_EQ("zip", zipKind({"mimetypeapplication/vnd.oasis.opendocument.whatever"}));
}

TEST(RawFormats, MediaEdges) {
  // An AAC head like the open file's 0x30000 bytes on ends it; 0x50000 bytes on it belongs.
  CAacAnalyser a;
  ClusterBuf head(512);
  std::memcpy(head.GetData(), "\xff\xf1\x5c\x80", 4);
  ASSERT_EQ(AS_HEADER, a.CheckHeader(head));
  ClusterBuf later(512);
  std::memcpy(later.GetData(), "\xff\xf1\x5c\x81", 4);
  const FileHint* aac = TableRow("aac");
  ASSERT_TRUE(aac);
  later.lcn = 0x50000 / 512;
  EXPECT_EQ(AS_ABSORB, a.OnNewHeader(*aac, later));
  later.lcn = 0x30000 / 512;
  EXPECT_EQ(AS_ENDED, a.OnNewHeader(*aac, later));

  // An MPEG stream whose first bytes fed are the end code ends four bytes later; a JPEG head
  // inside an MP4 does not end it, a ZIP head does.
  CMpgAnalyser m;
  std::vector<uint8_t> mpg(1024, 0x33);
  std::memcpy(mpg.data(), "\0\0\x01\xb3", 4);
  std::memcpy(&mpg[12], "\0\0\x01\xbb", 4);
  kbytes::PutBe16(&mpg[512 - 6 + 4], 100);
  std::memcpy(&mpg[512 - 6], "\0\0\x01\xbe", 4);
  std::memcpy(&mpg[512 + 100], "\0\0\x01\xb9", 4);
  ASSERT_EQ(AS_ENDED, Feed(m, mpg, 512));
  int64_t s, e;
  m.GetRange(&s, &e);
  EXPECT_EQ(512 + 104, e - s);
  CMp4Analyser mp4;
  std::vector<uint8_t> f(512, 0);
  std::memcpy(&f[4], "ftypisom", 8);
  kbytes::PutBe32(f.data(), 16);
  Feed(mp4, f, 512);
  EXPECT_EQ(AS_NONE, mp4.OnNewHeader(*TableRow("jpg"), ClusterBuf(512)));
  EXPECT_EQ(AS_ENDED, mp4.OnNewHeader(*TableRow("zip"), ClusterBuf(512)));
}

TEST(RawFormats, HostileFilesEndWithoutHarm) {
  std::vector<std::vector<uint8_t>> files;
  // A TIFF whose IFD points to itself, and one whose SubIFDs point back to the first.
  {
    std::vector<uint8_t> t = MakeTiff("X", false);
    kbytes::PutLe32(&t[2000 + 2 + 120], 2000);
    t.resize(16384, 0x20);
    files.push_back(t);
    std::vector<uint8_t> u = MakeTiff("X", true);
    kbytes::PutLe32(&u[2000 + 2 + 9 * 12 + 4], 1);  // SubIFDs: one, pointing to 2000
    kbytes::PutLe32(&u[2000 + 2 + 9 * 12 + 8], 2000);
    u.resize(16384, 0x20);
    files.push_back(u);
  }
  // A compound file whose DIFAT chain repeats a sector and claims a million sectors.
  {
    std::vector<uint8_t> c = MakeCompound({u"Root Entry"}, 20);
    kbytes::PutLe32(&c[68], 2);
    kbytes::PutLe32(&c[72], 1000000);
    for (int i = 0; i < 128; ++i) kbytes::PutLe32(&c[512 + 1024 + 4 * i], 2);
    files.push_back(c);
  }
  // An ASF header full of zero-size stream objects.
  {
    std::vector<uint8_t> a(8192, 0);
    const uint8_t g[16] = {0x30, 0x26, 0xb2, 0x75, 0x8e, 0x66, 0xcf, 0x11, 0xa6, 0xd9, 0x00, 0xaa, 0x00, 0x62, 0xce, 0x6c};
    const uint8_t fp[16] = {0xa1, 0xdc, 0xab, 0x8c, 0x47, 0xa9, 0xcf, 0x11, 0x8e, 0xe4, 0x00, 0xc0, 0x0c, 0x20, 0x53, 0x65};
    const uint8_t sp[16] = {0x91, 0x07, 0xdc, 0xb7, 0xb7, 0xa9, 0xcf, 0x11, 0x8e, 0xe6, 0x00, 0xc0, 0x0c, 0x20, 0x53, 0x65};
    std::memcpy(a.data(), g, 16);
    kbytes::PutLe64(&a[16], 4000);
    a[28] = 1;
    a[29] = 2;
    std::memcpy(&a[30], fp, 16);
    kbytes::PutLe64(&a[46], 104);
    kbytes::PutLe64(&a[70], 50000);
    for (int at = 134; at + 24 <= 4000; at += 24) std::memcpy(&a[size_t(at)], sp, 16);
    files.push_back(a);
  }
  // A stored ZIP member whose data holds end records that fail the tests, then the
  // archive's real directory and end; and a PDF with a 1000-digit /L.
  std::vector<uint8_t> z(20000, 0x61);
  size_t zipIndex = 0;
  {
    std::memcpy(z.data(), "PK\x03\x04", 4);
    for (size_t at = 100; at + 22 < z.size(); at += 300) {
      std::memcpy(&z[at], "PK\x05\x06", 4);
      kbytes::PutLe32(&z[at + 12], 10);
      kbytes::PutLe32(&z[at + 16], 10);
    }
    const uint32_t dataSize = 20000 - 35;
    uint32_t crc = 0xffffffffu;
    for (size_t i = 35; i < z.size(); ++i) {
      crc ^= z[i];
      for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1)));
    }
    crc = ~crc;
    auto fields = [&](uint8_t* h) {  // version, flags, method, time, date, crc, sizes, name
      kbytes::PutLe16(h, 10);
      kbytes::PutLe16(h + 2, 0);
      kbytes::PutLe16(h + 4, 0);
      kbytes::PutLe16(h + 6, 0);
      kbytes::PutLe16(h + 8, 0x5821);
      kbytes::PutLe32(h + 10, crc);
      kbytes::PutLe32(h + 14, dataSize);
      kbytes::PutLe32(h + 18, dataSize);
      kbytes::PutLe16(h + 22, 5);
    };
    fields(&z[4]);
    kbytes::PutLe16(&z[28], 0);  // no extra field
    std::memcpy(&z[30], "a.txt", 5);
    std::vector<uint8_t> cd(46 + 5 + 22, 0);
    std::memcpy(cd.data(), "PK\x01\x02", 4);
    kbytes::PutLe16(&cd[4], 10);
    fields(&cd[6]);
    std::memcpy(&cd[46], "a.txt", 5);
    uint8_t* end = &cd[51];
    std::memcpy(end, "PK\x05\x06", 4);
    kbytes::PutLe16(end + 8, 1);
    kbytes::PutLe16(end + 10, 1);
    kbytes::PutLe32(end + 12, 51);
    kbytes::PutLe32(end + 16, 20000);
    z.insert(z.end(), cd.begin(), cd.end());
    zipIndex = files.size();
    files.push_back(z);
    std::string pdf = "%PDF-1.4\n<</Linearized 1 /L " + std::string(1000, '9') + " >>\n";
    std::vector<uint8_t> p(pdf.begin(), pdf.end());
    p.resize(12288, ' ');
    std::memcpy(&p[9000], "%%EOF\n", 6);
    files.push_back(p);
  }
  Layout l;
  l.image.assign(4096, 0);
  for (auto& f : files) {
    l.at.push_back(l.image.size());
    l.image.insert(l.image.end(), f.begin(), f.end());
    l.image.insert(l.image.end(), (4096 - l.image.size() % 4096) % 4096 + 8192, 0);
  }
  for (int cs : {512, 4096}) {
    MemStorage dev(l.image, cs);
    int rc = -2;
    auto hits = Scan(dev, CLUSTER_SCAN, {"tif", "doc", "asf", "zip", "pdf"}, &rc);
    EXPECT_EQ(0, rc);
    // The overlong /L is no length: the PDF ends at its %EOF.
    bool pdf = false;
    for (auto& h : hits)
      if (h.first == l.at.back()) pdf = h.second.ext == "pdf" && h.second.bytes.size() == 9006;
    EXPECT_TRUE(pdf);
    // The stray end records do not end the archive: it is carved whole, to its real end.
    bool zip = false;
    for (auto& h : hits)
      if (h.first == l.at[zipIndex]) zip = h.second.ext == "zip" && h.second.bytes == z;
    EXPECT_TRUE(zip) << cs;
  }
}
