// Streams and chunked media carved to the byte: real files made by ffmpeg and lame, laid on a
// volume whose slack after each file is random, must come back with the original's size and
// bytes; end marks cut by a unit boundary are still found; a file whose format gives no end
// still ends where its bounding rule says.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <set>

#include "common/inc/bytes.h"
#include "rawrecovery/fileanalyser/aacanalyser.h"
#include "rawrecovery/fileanalyser/mp3analyser.h"
#include "rawrecovery/fileanalyser/mpganalyser.h"
#include "rawrecovery/fileanalyser/mxfanalyser.h"
#include "rawrecovery/fileanalyser/ogganalyser.h"
#include "rawrecovery/rawrecover.h"
#include "rawtestdev.h"
#include "testutil.h"

using rawtest::Carved;
using rawtest::Feed;
using rawtest::MemStorage;
using rawtest::RecordingManager;

namespace {

bool Sh(const std::string& cmd) { return std::system(("(" + cmd + ") >/dev/null 2>&1").c_str()) == 0; }

struct Media {
  std::string name;  // what the test calls it
  std::string ext;   // the folder it must be reported under
  std::vector<uint8_t> bytes;
};

// A standard MIDI file of two tracks, written from the published chunk layout (no Debian
// tool writes one without a sound font).
std::vector<uint8_t> MakeMidi() {
  std::vector<uint8_t> f = {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 1, 0, 2, 0x01, 0xe0};
  auto track = [&](uint8_t note, int events) {
    std::vector<uint8_t> t;
    for (int i = 0; i < events; ++i) {
      const uint8_t on[] = {0x00, 0x90, uint8_t(note + i % 12), 0x40, 0x60, 0x80, uint8_t(note + i % 12), 0x00};
      t.insert(t.end(), on, on + sizeof on);
    }
    const uint8_t end[] = {0x00, 0xff, 0x2f, 0x00};
    t.insert(t.end(), end, end + 4);
    f.insert(f.end(), {'M', 'T', 'r', 'k', 0, 0, 0, 0});
    kbytes::PutBe32(&f[f.size() - 4], uint32_t(t.size()));
    f.insert(f.end(), t.begin(), t.end());
  };
  track(60, 700);
  track(48, 500);
  return f;
}

std::vector<Media> MakeMedia(const testutil::TempDir& dir) {
  const std::string d = dir.path() + "/";
  const std::string ff = "ffmpeg -y -loglevel error -f lavfi -i ";
  const std::string tone = "sine=frequency=440:duration=3";
  const std::string pic = "testsrc=duration=2:size=160x120:rate=25";
  Sh(ff + tone + " " + d + "tone.wav");
  struct Job {
    const char* name;
    const char* ext;
    std::string file, cmd;
  } jobs[] = {
      {"wav", "wav", "a.wav", ff + "sine=frequency=330:duration=1 -ac 1 -ar 22050 " + d + "a.wav"},
      {"avi", "avi", "a.avi", ff + pic + " -c:v mjpeg " + d + "a.avi"},
      {"mpeg", "mpg", "a.mpg", ff + pic + " -c:v mpeg1video -f mpeg " + d + "a.mpg"},
      {"vob", "mpg", "b.mpg", ff + pic + " -f lavfi -i " + tone + " -c:v mpeg2video -c:a mp2 -shortest -f vob " + d + "b.mpg"},
      {"vorbis", "ogg", "a.ogg", ff + tone + " -c:a libvorbis " + d + "a.ogg"},
      {"theora", "ogg", "t.ogg", ff + pic + " -c:v libtheora " + d + "t.ogg"},
      {"theora+vorbis", "ogg", "tv.ogg", ff + pic + " -f lavfi -i " + tone + " -c:v libtheora -c:a libvorbis -shortest " + d + "tv.ogg"},
      {"lame v1+v2", "mp3", "l.mp3", "lame --quiet --add-id3v2 --tt Tone --ta Kestrum " + d + "tone.wav " + d + "l.mp3"},
      {"ffmpeg mp3 v1", "mp3", "f.mp3", ff + tone + " -c:a libmp3lame -write_id3v1 1 -metadata title=T " + d + "f.mp3"},
      {"aac", "aac", "a.aac", ff + tone + " -ar 22050 -ac 1 -c:a aac -f adts " + d + "a.aac"},
      {"flv", "flv", "a.flv", ff + pic + " -c:v flv1 " + d + "a.flv"},
      {"mkv", "mkv", "a.mkv", ff + pic + " -c:v mjpeg " + d + "a.mkv"},
      {"wmv", "wmv", "a.wmv", ff + pic + " -c:v wmv2 " + d + "a.wmv"},
      {"wma", "wma", "a.wma", ff + tone + " -c:a wmav2 " + d + "a.wma"},
      {"asf", "asf", "a.asf", ff + pic + " -f lavfi -i " + tone + " -c:v wmv1 -c:a wmav1 -shortest -f asf " + d + "a.asf"},
      {"aiff", "aif", "a.aif", ff + tone + " " + d + "a.aif"},
      {"rm", "rm", "a.rm", ff + "testsrc=duration=2:size=176x144:rate=10 -f lavfi -i " + tone + " -c:v rv10 -c:a ac3 -shortest " + d + "a.rm"},
      {"mxf", "mxf", "a.mxf", ff + pic + " -c:v mpeg2video -f mxf " + d + "a.mxf"},
  };
  std::vector<Media> out;
  for (const Job& j : jobs) {
    std::vector<uint8_t> b;
    if (Sh(j.cmd)) b = testutil::ReadFile(d + j.file);
    EXPECT_FALSE(b.empty()) << j.name << " was not made";
    if (!b.empty()) out.push_back({j.name, j.ext, b});
  }
  out.push_back({"midi", "mid", MakeMidi()});
  return out;
}

struct Layout {
  std::vector<uint8_t> image;
  std::vector<size_t> at;
};

// Each file at a multiple of 4096; the rest of its last cluster and one more cluster are
// random bytes, as a disk's slack would be.
Layout LayRandom(const std::vector<std::vector<uint8_t>>& files, uint32_t seed) {
  Layout l;
  l.image.assign(8192, 0);
  for (const auto& f : files) {
    l.at.push_back(l.image.size());
    l.image.insert(l.image.end(), f.begin(), f.end());
    size_t pad = (4096 - l.image.size() % 4096) % 4096 + 4096;
    std::vector<uint8_t> r = testutil::RandomBytes(pad, seed++);
    l.image.insert(l.image.end(), r.begin(), r.end());
  }
  l.image.insert(l.image.end(), 8192, 0);
  return l;
}

rawtest::Hits Scan(MemStorage& dev, int mode, const std::set<std::string>& exts) {
  return rawtest::ScanHits(dev, mode, exts);
}

int64_t Length(CRawAnalyser& a) {
  int64_t s = 0, e = 0;
  a.GetRange(&s, &e);
  return a.GetState() == AS_ENDED ? e - s : a.GetState() == AS_COMPLETE ? a.GetSizeForExtension(a.GetExtension()) : -1;
}

// An Ogg page of one stream: flags, serial and a body of n bytes (in lacing values of 255).
std::vector<uint8_t> OggPage(uint8_t flags, uint32_t serial, int n, uint8_t fill) {
  std::vector<uint8_t> segs;
  int left = n;
  do {
    segs.push_back(uint8_t(std::min(left, 255)));
    left -= std::min(left, 255);
  } while (left > 0 || segs.back() == 255);
  std::vector<uint8_t> p(27, 0);
  std::memcpy(p.data(), "OggS", 4);
  p[5] = flags;
  kbytes::PutLe32(&p[14], serial);
  p[26] = uint8_t(segs.size());
  p.insert(p.end(), segs.begin(), segs.end());
  p.insert(p.end(), size_t(n), fill);
  return p;
}

// An ID3v2.3 tag of `tag` bytes after its head, then `frames` MPEG-1 Layer III frames of
// 417 bytes (128 kbit/s, 44100 Hz).
std::vector<uint8_t> Mp3(int tag, int frames) {
  std::vector<uint8_t> f(10, 0);
  std::memcpy(f.data(), "ID3\x03\0\0", 6);
  for (int i = 0; i < 4; ++i) f[size_t(9 - i)] = uint8_t((tag >> (7 * i)) & 0x7f);
  f.resize(size_t(10 + tag), 0);
  for (int i = 0; i < frames; ++i) {
    size_t at = f.size();
    f.resize(at + 417, uint8_t(0x30 + i));
    const uint8_t h[4] = {0xff, 0xfb, 0x90, 0x64};
    std::memcpy(&f[at], h, 4);
  }
  return f;
}

std::vector<uint8_t> Concat(std::initializer_list<std::vector<uint8_t>> parts) {
  std::vector<uint8_t> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

}  // namespace

TEST(RawTrueEnds, RealMediaComeBackExactFromRandomSlack) {
  testutil::TempDir dir;
  std::vector<Media> media = MakeMedia(dir);
  ASSERT_GE(media.size(), 12u);
  std::vector<std::vector<uint8_t>> files;
  std::set<std::string> exts;
  for (const Media& m : media) {
    files.push_back(m.bytes);
    exts.insert(m.ext);
  }
  Layout l = LayRandom(files, 2020);
  for (int mode : {SECTOR_SCAN, CLUSTER_SCAN}) {
    MemStorage dev(l.image, mode == CLUSTER_SCAN ? 4096 : 0);
    auto hits = Scan(dev, mode, exts);
    EXPECT_FALSE(dev.writes);
    for (size_t i = 0; i < media.size(); ++i) {
      const Media& m = media[i];
      SCOPED_TRACE(m.name + " mode " + std::to_string(mode));
      auto range = hits.equal_range(l.at[i]);
      bool found = false;
      for (auto it = range.first; it != range.second; ++it) {
        if (it->second.ext != m.ext) continue;
        found = true;
        EXPECT_TRUE(it->second.bytes == m.bytes)
            << "carved " << it->second.bytes.size() << " original " << m.bytes.size();
      }
      EXPECT_TRUE(found) << "not carved as " << m.ext;
    }
  }
}

TEST(RawTrueEnds, EndMarksCutByAUnitBoundary) {
  const int cs = 512;
  auto withJunk = [](std::vector<uint8_t> f, uint32_t seed) {
    std::vector<uint8_t> junk = testutil::RandomBytes(1024, seed);
    f.insert(f.end(), junk.begin(), junk.end());
    return f;
  };
  // Ogg: the second page's header begins two bytes before the unit's end.
  {
    std::vector<uint8_t> a = OggPage(0x02, 7, 481, 0x41);
    ASSERT_EQ(510u, a.size());
    std::vector<uint8_t> f = Concat({a, OggPage(0x00, 7, 700, 0x42), OggPage(0x04, 7, 90, 0x43)});
    COggAnalyser o;
    EXPECT_EQ(AS_ENDED, Feed(o, withJunk(f, 5), cs));
    EXPECT_EQ(int64_t(f.size()), Length(o));
  }
  // MPEG program stream: the end code 00 00 01 B9 cut after its second byte.
  {
    std::vector<uint8_t> f(514, 0x5a);
    const uint8_t pack[12] = {0, 0, 1, 0xba, 0x21, 0, 1, 0, 1, 0x80, 0, 1};
    std::memcpy(f.data(), pack, 12);
    const uint8_t sys[6] = {0, 0, 1, 0xbb, 0, 12};
    std::memcpy(&f[12], sys, 6);
    const uint8_t pad[6] = {0, 0, 1, 0xbe, 0x01, 0xda};  // 474 bytes of padding: ends at 510
    std::memcpy(&f[30], pad, 6);
    const uint8_t endCode[4] = {0, 0, 1, 0xb9};
    std::memcpy(&f[510], endCode, 4);
    CMpgAnalyser m;
    EXPECT_EQ(AS_ENDED, Feed(m, withJunk(f, 6), cs));
    EXPECT_EQ(514, Length(m));
  }
  // MP3: a frame header cut by the boundary; then an ID3v1 block whose "TAG" is cut.
  for (int cut : {510, 1022}) {
    const int frames = cut == 510 ? 4 : 2;
    std::vector<uint8_t> f = Mp3(cut - (cut == 510 ? 1 : 2) * 417 - 10, frames);
    std::vector<uint8_t> id3v1(128, ' ');
    std::memcpy(id3v1.data(), "TAGTone", 7);
    f.insert(f.end(), id3v1.begin(), id3v1.end());
    CMp3Analyser a;
    EXPECT_EQ(AS_ENDED, Feed(a, withJunk(f, uint32_t(cut)), cs)) << cut;
    EXPECT_EQ(int64_t(f.size()), Length(a)) << cut;
  }
  // MXF: the footer partition key cut by the boundary; the packets after it (an index
  // segment, the random index pack) are the file's.
  {
    const uint8_t head[16] = {0x06, 0x0e, 0x2b, 0x34, 0x02, 0x05, 0x01, 0x01, 0x0d, 0x01, 0x02, 0x01, 0x01, 0x02, 0x04, 0x00};
    const uint8_t foot[16] = {0x06, 0x0e, 0x2b, 0x34, 0x02, 0x05, 0x01, 0x01, 0x0d, 0x01, 0x02, 0x01, 0x01, 0x04, 0x04, 0x00};
    const uint8_t index[16] = {0x06, 0x0e, 0x2b, 0x34, 0x02, 0x53, 0x01, 0x01, 0x0d, 0x01, 0x02, 0x01, 0x01, 0x10, 0x01, 0x00};
    const uint8_t rip[16] = {0x06, 0x0e, 0x2b, 0x34, 0x02, 0x05, 0x01, 0x01, 0x0d, 0x01, 0x02, 0x01, 0x01, 0x11, 0x01, 0x00};
    auto klv = [](const uint8_t* key, size_t n, bool longForm) {
      std::vector<uint8_t> k(key, key + 16);
      if (longForm) k.insert(k.end(), {0x83, uint8_t(n >> 16), uint8_t(n >> 8), uint8_t(n)});
      else k.push_back(uint8_t(n));
      k.resize(k.size() + n, 0x3c);
      return k;
    };
    std::vector<uint8_t> body = klv(head, 505 - 20, true);
    ASSERT_EQ(505u, body.size());
    std::vector<uint8_t> f = Concat({body, klv(foot, 88, false), klv(index, 300, true), klv(rip, 40, false)});
    CMxfAnalyser x;
    EXPECT_EQ(AS_ENDED, Feed(x, withJunk(f, 14), cs));
    EXPECT_EQ(int64_t(f.size()), Length(x));
  }
  // MP3 and ADTS AAC: an APE tag (with its header) and then an ID3v1 block end the file.
  {
    std::vector<uint8_t> ape(32, 0);
    std::memcpy(ape.data(), "APETAGEX", 8);
    kbytes::PutLe32(&ape[8], 2000);
    kbytes::PutLe32(&ape[12], 32 + 20);
    kbytes::PutLe32(&ape[16], 1);
    kbytes::PutLe32(&ape[20], 0xa0000000u);
    std::vector<uint8_t> footer = ape;
    kbytes::PutLe32(&footer[20], 0x80000000u);
    std::vector<uint8_t> items(20, 'i');
    std::vector<uint8_t> id3v1(128, ' ');
    std::memcpy(id3v1.data(), "TAG", 3);
    std::vector<uint8_t> tags = Concat({ape, items, footer, id3v1});
    std::vector<uint8_t> f = Concat({Mp3(300, 3), tags});
    CMp3Analyser a;
    EXPECT_EQ(AS_ENDED, Feed(a, withJunk(f, 12), cs));
    EXPECT_EQ(int64_t(f.size()), Length(a));
    // Three ADTS frames of 300 bytes (22050 Hz, mono), the first frame's header cut by
    // nothing, the second's by the boundary at 512.
    std::vector<uint8_t> aac;
    for (int i = 0; i < 3; ++i) {
      std::vector<uint8_t> fr(i == 0 ? 510 : 300, uint8_t(0x20 + i));
      const int n = int(fr.size());
      const uint8_t h[7] = {0xff, 0xf1, 0x5c, uint8_t(0x40 | (n >> 11)), uint8_t(n >> 3), uint8_t((n & 7) << 5 | 0x1f), 0xfc};
      std::memcpy(fr.data(), h, 7);
      aac.insert(aac.end(), fr.begin(), fr.end());
    }
    std::vector<uint8_t> g = Concat({aac, tags});
    CAacAnalyser c;
    EXPECT_EQ(AS_ENDED, Feed(c, withJunk(g, 13), cs));
    EXPECT_EQ(int64_t(g.size()), Length(c));
  }
}

TEST(RawTrueEnds, StreamsJoinedAndSplitByHeadsAtUnitStarts) {
  // Two Ogg streams begun together, the second's first page at a unit start (a head the
  // scanner sees): one file, ending with the last stream's final page.
  std::vector<uint8_t> a = OggPage(0x02, 1, 483, 0x11);
  ASSERT_EQ(512u, a.size());
  std::vector<uint8_t> f = Concat({a, OggPage(0x02, 2, 300, 0x12), OggPage(0x00, 1, 900, 0x13),
                                   OggPage(0x04, 2, 100, 0x14), OggPage(0x04, 1, 40, 0x15)});
  std::vector<uint8_t> img(512, 0);
  img.insert(img.end(), f.begin(), f.end());
  std::vector<uint8_t> junk = testutil::RandomBytes(1024, 9);
  img.insert(img.end(), junk.begin(), junk.end());
  img.resize(img.size() / 512 * 512);
  // An MP3 whose last frame ends at a unit end, the next unit a RIFF head: the MP3 ends
  // where the frame it waits for would begin.
  const size_t mp3At = img.size();
  std::vector<uint8_t> m = Mp3(1024 - 2 * 417 - 10, 2);
  ASSERT_EQ(1024u, m.size());
  img.insert(img.end(), m.begin(), m.end());
  std::vector<uint8_t> wav(600, 0x20);
  std::memcpy(wav.data(), "RIFF", 4);
  kbytes::PutLe32(&wav[4], 592);
  std::memcpy(&wav[8], "WAVE", 4);
  img.insert(img.end(), wav.begin(), wav.end());
  junk = testutil::RandomBytes(424, 11);
  img.insert(img.end(), junk.begin(), junk.end());
  img.resize(img.size() + 2048, 0);
  MemStorage dev(img, 0);
  auto hits = Scan(dev, SECTOR_SCAN, {"ogg", "mp3", "wav"});
  std::map<std::string, std::pair<size_t, std::vector<uint8_t>>> by;
  size_t oggs = 0;
  for (auto& h : hits) {
    by[h.second.ext] = {h.first, h.second.bytes};
    oggs += h.second.ext == "ogg";
  }
  EXPECT_EQ(1u, oggs);  // the second stream's first page was taken into the file
  ASSERT_EQ(1u, by.count("ogg"));
  EXPECT_EQ(512u, by["ogg"].first);
  EXPECT_TRUE(by["ogg"].second == f) << by["ogg"].second.size() << " vs " << f.size();
  ASSERT_EQ(1u, by.count("mp3"));
  EXPECT_EQ(mp3At, by["mp3"].first);
  EXPECT_TRUE(by["mp3"].second == m) << by["mp3"].second.size() << " vs " << m.size();
  ASSERT_EQ(1u, by.count("wav"));
  EXPECT_EQ(600u, by["wav"].second.size());
}

TEST(RawTrueEnds, FormatsWithoutAnEndKeepTheirBound) {
  testutil::TempDir dir;
  const std::string d = dir.path() + "/";
  // A video elementary stream has no lengths to follow: it still ends at the zeros after it.
  ASSERT_TRUE(Sh("ffmpeg -y -loglevel error -f lavfi -i testsrc=duration=2:size=160x120:rate=25 -c:v mpeg1video -f "
                  "mpeg1video " + d + "v.m1v"));
  std::vector<uint8_t> es = testutil::ReadFile(d + "v.m1v");
  ASSERT_FALSE(es.empty());
  // An FLV whose header claims an odd data offset is not walked: its zero tail ends it.
  std::vector<uint8_t> flv(10000, 0x61);  // above the row's 8 KiB: its end is only bounded
  std::memcpy(flv.data(), "FLV\x01\x05\0\0\x10\0", 9);
  std::vector<uint8_t> img(4096, 0);
  const size_t esAt = img.size();
  img.insert(img.end(), es.begin(), es.end());
  img.resize((img.size() + 4095) / 4096 * 4096 + 32768, 0);
  const size_t flvAt = img.size();
  img.insert(img.end(), flv.begin(), flv.end());
  img.resize(img.size() + 8192, 0);
  MemStorage dev(img, 4096);
  auto hits = Scan(dev, CLUSTER_SCAN, {"mpg", "flv"});
  bool sawEs = false, sawFlv = false;
  for (auto& h : hits) {
    const std::vector<uint8_t>& got = h.second.bytes;
    if (h.first == esAt && h.second.ext == "mpg") {
      sawEs = true;
      // Ends where its zeros begin: the stream, then zeros up to the unit end.
      ASSERT_GE(got.size(), es.size());
      EXPECT_TRUE(std::equal(es.begin(), es.end(), got.begin()));
      EXPECT_EQ(0u, got.size() % 4096);
    }
    if (h.first == flvAt && h.second.ext == "flv") {
      sawFlv = true;
      EXPECT_EQ(10000u, got.size());  // where the first sector tail of zeros begins
    }
  }
  EXPECT_TRUE(sawEs);
  EXPECT_TRUE(sawFlv);
}
