// The raw scan end to end: real files laid cluster-aligned in a memory device, carved in
// sector and cluster mode and compared with their originals; failing devices, bitmaps,
// crowded heads and stops.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <set>

#include "common/inc/bytes.h"
#include "common/inc/inotifysink.h"
#include "rawrecovery/rawrecover.h"
#include "rawtestdev.h"
#include "testutil.h"

using rawtest::Carved;
using rawtest::MemStorage;
using rawtest::RecordingManager;

namespace {

bool Run(const std::string& cmd) { return std::system((cmd + " >/dev/null 2>&1").c_str()) == 0; }

// The original as the carved file's prefix (or the reverse) with only zeros beyond.
bool PrefixMatch(const std::vector<uint8_t>& carved, const std::vector<uint8_t>& orig) {
  size_t n = std::min(carved.size(), orig.size());
  if (n == 0 || std::memcmp(carved.data(), orig.data(), n) != 0) return false;
  const std::vector<uint8_t>& longer = carved.size() > orig.size() ? carved : orig;
  for (size_t i = n; i < longer.size(); ++i)
    if (longer[i] != 0) return false;
  return true;
}

std::vector<uint8_t> Text(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

// Sample files of the types this scan carves, made with real tools where Debian has them.
std::map<std::string, std::vector<uint8_t>> MakeSamples(const testutil::TempDir& dir) {
  std::map<std::string, std::vector<uint8_t>> out;
  const std::string d = dir.path();
  const std::string im = "/usr/bin/convert";
  struct Job {
    const char* ext;
    std::string cmd;
  } jobs[] = {
      {"png", im + " -size 96x64 plasma:fractal " + d + "/a.png"},
      {"bmp", im + " -size 64x48 plasma:fractal " + d + "/a.bmp"},
      {"psd", im + " -size 64x64 xc:gray +noise Random -compress none " + d + "/a.psd"},
      {"wav", "ffmpeg -y -f lavfi -i sine=frequency=440:duration=1 " + d + "/a.wav"},
      {"avi", "ffmpeg -y -f lavfi -i testsrc=duration=1:size=64x48:rate=5 -c:v mjpeg " + d + "/a.avi"},
      {"flv", "ffmpeg -y -f lavfi -i testsrc=duration=4:size=160x120:rate=25 -c:v flv1 " + d + "/a.flv"},
      {"mkv", "ffmpeg -y -f lavfi -i testsrc=duration=1:size=64x48:rate=5 -c:v mjpeg " + d + "/a.mkv"},
      {"ogg", "ffmpeg -y -f lavfi -i sine=frequency=330:duration=8 -c:a libvorbis " + d + "/a.ogg"},
      {"aif", "ffmpeg -y -f lavfi -i sine=frequency=550:duration=1 " + d + "/a.aif"},
      {"bz2", "head -c 20000 /dev/urandom > " + d + "/a && bzip2 -k " + d + "/a && mv " + d + "/a.bz2 " + d +
                  "/a.bz2"},
  };
  for (const Job& j : jobs) {
    std::string path = d + "/a." + j.ext;
    if (Run(j.cmd)) {
      std::vector<uint8_t> b = testutil::ReadFile(path);
      if (!b.empty()) out[j.ext] = b;
    }
  }
  out["rtf"] = Text("{\\rtf1\\ansi{\\fonttbl{\\f0 Times;}}\\f0 Hello \\{ braces \\} world}");
  out["htm"] = Text("<!DOCTYPE html>\n<html><body><p>found again</p></body></html>\n");
  out["eml"] = Text("Received: from mx by host\r\nFrom: a@b\r\nSubject: hi\r\n\r\nbody text\r\n");
  return out;
}

struct Layout {
  std::vector<uint8_t> image;
  std::map<std::string, size_t> at;
};

// Each file at a multiple of 4096, followed by 8 KiB of zeros (enough for the zero-run
// rules) and, with junk, a stretch of non-zero bytes before the next file.
Layout Lay(const std::map<std::string, std::vector<uint8_t>>& files, bool junk) {
  Layout l;
  l.image.assign(8192, 0);
  for (const auto& kv : files) {
    l.at[kv.first] = l.image.size();
    l.image.insert(l.image.end(), kv.second.begin(), kv.second.end());
    size_t pad = (4096 - l.image.size() % 4096) % 4096 + 8192;
    l.image.insert(l.image.end(), pad, 0);
    if (junk) {
      std::vector<uint8_t> r = testutil::RandomBytes(4096, uint32_t(l.image.size()));
      r[0] = r[1] = r[2] = r[3] = 0;  // junk that no header test can take
      l.image.insert(l.image.end(), r.begin(), r.end());
    }
  }
  l.image.insert(l.image.end(), 8192, 0);
  return l;
}

struct Sink : INotifySink {
  int stopAfterPolls = -1;
  int polls = 0;
  std::vector<int> events;
  int Notify(int event, int64_t, int64_t, void*) override {
    events.push_back(event);
    if (event == NE_CANCEL_POLL && stopAfterPolls >= 0 && ++polls > stopAfterPolls) return 1;
    return 0;
  }
};

int ScanImage(MemStorage& dev, RecordingManager& fm, int mode, const std::vector<std::string>& exts,
              INotifySink* sink = nullptr, CRawRecover** keep = nullptr) {
  return rawtest::RunRawScan(dev, fm, mode, exts, sink, keep);
}

}  // namespace

TEST(RawScan, CarvesRealFilesInSectorAndClusterMode) {
  testutil::TempDir dir;
  auto samples = MakeSamples(dir);
  ASSERT_GE(samples.size(), 3u);
  std::vector<std::string> exts;
  for (auto& kv : samples) exts.push_back(kv.first);
  for (bool junk : {false, true}) {
    Layout l = Lay(samples, junk);
    for (int mode : {SECTOR_SCAN, CLUSTER_SCAN}) {
      MemStorage dev(l.image, mode == CLUSTER_SCAN ? 4096 : 0);
      RecordingManager fm;
      ASSERT_EQ(0, ScanImage(dev, fm, mode, exts));
      std::map<std::string, std::vector<uint8_t>> got;
      for (auto& f : fm.files) {
        std::string ext = f.name.substr(f.name.find('.') + 1);
        EXPECT_EQ("/" + ext, f.folder);
        got[ext] = Carved(dev, f.info);
      }
      for (auto& kv : samples) {
        // Types ended by zeros cannot be told from junk that follows without zeros first;
        // the layout always leaves zeros, so every type must come back.
        SCOPED_TRACE(kv.first + (junk ? " junk" : " zero") + " mode " + std::to_string(mode));
        if (!got.count(kv.first)) {
          ADD_FAILURE() << "not carved";
          continue;
        }
        // Types whose own structure gives their end come back to the byte.
        static const std::set<std::string> kExact = {"wav", "avi", "flv", "mkv", "ogg", "aif", "png", "bmp"};
        if (kExact.count(kv.first))
          EXPECT_TRUE(got[kv.first] == kv.second)
              << "carved " << got[kv.first].size() << " original " << kv.second.size();
        else
          EXPECT_TRUE(PrefixMatch(got[kv.first], kv.second))
              << "carved " << got[kv.first].size() << " original " << kv.second.size();
      }
      EXPECT_FALSE(dev.writes);
    }
  }
}

TEST(RawScan, NextHeadEndsFileAndNamesAreNumbered) {
  // A PNG without its end marker followed at once by a BMP head: the PNG ends where the BMP
  // cluster begins.
  std::vector<uint8_t> img(512 * 8, 0);
  const uint8_t png[] = {0x89, 'P', 'N', 'G', 0x0d, 0x0a, 0x1a, 0x0a};
  std::memcpy(img.data() + 512, png, 8);
  std::fill(img.begin() + 520, img.begin() + 1024, 0x41);
  img[1024] = 'B';
  img[1025] = 'M';
  kbytes::PutLe32(&img[1026], 1500);
  std::fill(img.begin() + 1034, img.begin() + 1024 + 1500, 0x42);
  MemStorage dev(img, 512);
  RecordingManager fm;
  ASSERT_EQ(0, ScanImage(dev, fm, CLUSTER_SCAN, {"png", "bmp"}));
  ASSERT_EQ(2u, fm.files.size());
  EXPECT_EQ("00000001.png", fm.files[0].name);
  EXPECT_EQ(512u, fm.files[0].info->GetSize());
  EXPECT_EQ("00000002.bmp", fm.files[1].name);
  EXPECT_EQ(1500u, fm.files[1].info->GetSize());
}

TEST(RawScan, FileRunningToDeviceEndKeepsLastCluster) {
  std::vector<uint8_t> img(512 * 4, 0x33);
  std::memset(img.data(), 0, 512);
  const uint8_t png[] = {0x89, 'P', 'N', 'G', 0x0d, 0x0a, 0x1a, 0x0a};
  std::memcpy(img.data() + 512, png, 8);
  MemStorage dev(img, 512);
  RecordingManager fm;
  ASSERT_EQ(0, ScanImage(dev, fm, CLUSTER_SCAN, {"png"}));
  ASSERT_EQ(1u, fm.files.size());
  EXPECT_EQ(3u * 512, fm.files[0].info->GetSize());
}

TEST(RawScan, HeaderSizePastDeviceIsClipped) {
  std::vector<uint8_t> img(512 * 16, 0);
  std::memcpy(&img[512], "RIFF", 4);
  kbytes::PutLe32(&img[516], 0x7FFFFFF0u);
  std::memcpy(&img[520], "AVI ", 4);
  MemStorage dev(img, 512);
  RecordingManager fm;
  ASSERT_EQ(0, ScanImage(dev, fm, CLUSTER_SCAN, {"avi"}));
  ASSERT_EQ(1u, fm.files.size());
  EXPECT_EQ(15u * 512, fm.files[0].info->GetSize());
  RunList* run = static_cast<RunList*>(fm.files[0].info->GetRunList());
  EXPECT_EQ(1u, run->m_start);
  EXPECT_EQ(15u, run->m_count);
}

TEST(RawScan, UnreadableWindowIsZeroFilledUnitByUnit) {
  // A file whose head lies after a bad stretch is still found, and the scan says units
  // were unreadable.
  std::vector<uint8_t> img(512 * 64, 0);
  std::memcpy(&img[512 * 40], "BM", 2);
  kbytes::PutLe32(&img[512 * 40 + 2], 2000);
  std::fill(img.begin() + 512 * 40 + 10, img.begin() + 512 * 40 + 2000, 0x55);
  MemStorage dev(img, 512);
  dev.failFrom = 512 * 10;
  dev.failTo = 512 * 12;
  RecordingManager fm;
  CRawRecover* r = nullptr;
  EXPECT_EQ(RC_READ_FAILED, ScanImage(dev, fm, CLUSTER_SCAN, {"bmp"}, nullptr, &r));
  EXPECT_EQ(2, r->GetUnreadableUnits());
  r->Release();
  ASSERT_EQ(1u, fm.files.size());
  EXPECT_EQ(2000u, fm.files[0].info->GetSize());
}

TEST(RawScan, FourteenHeadsInARowCountDrops) {
  // Fourteen RTF heads that never close: the oldest is pushed out unreported and counted.
  std::vector<uint8_t> img(512 * 20, 0);
  for (int i = 0; i < 14; ++i) std::memcpy(&img[512 * (i + 1)], "{\\rtf1 {{{{", 11);
  MemStorage dev(img, 512);
  RecordingManager fm;
  CRawRecover* r = nullptr;
  ASSERT_EQ(0, ScanImage(dev, fm, CLUSTER_SCAN, {"eps", "rtf"}, nullptr, &r));
  EXPECT_EQ(0, r->GetDroppedCandidates());  // an RTF answers 5: it ends at the next head
  r->Release();
  EXPECT_EQ(14u, fm.files.size());
}

TEST(RawScan, AbsorbedHeadersKeepOneFile) {
  // An EML head followed by another EML head: one file. An RTF file made of nested groups
  // ends at its closing brace.
  std::vector<uint8_t> img(512 * 10, 0);
  const char* m1 = "Received: x\r\nFrom: a@b\r\n";
  std::memcpy(&img[512], m1, strlen(m1));
  std::fill(img.begin() + 512 + long(strlen(m1)), img.begin() + 512 * 3, 'x');
  std::memcpy(&img[512 * 2], "Subject: again\r\n", 16);
  std::memcpy(&img[512 * 3], "{\\rtf1{inner}}trailing", 22);
  MemStorage dev(img, 512);
  RecordingManager fm;
  ASSERT_EQ(0, ScanImage(dev, fm, CLUSTER_SCAN, {"eml", "rtf"}));
  ASSERT_EQ(2u, fm.files.size());
  EXPECT_EQ("00000001.eml", fm.files[0].name);
  EXPECT_EQ(1024u, fm.files[0].info->GetSize());
  EXPECT_EQ(14u, fm.files[1].info->GetSize());
}

TEST(RawScan, BitmapModeNeverReadsUsedUnits) {
  const int cs = 4096;
  std::vector<uint8_t> img(size_t(cs) * 4096, 0);  // 16 MiB: two read windows
  MemStorage dev(img, cs);
  auto* bm = new rawtest::SetBitmap(4096);
  for (int64_t c = 0; c < 4096; ++c)
    if (c < 3000 || (c / 7) % 2) bm->used.insert(c);
  std::memcpy(&img[0], "x", 1);
  RecordingManager fm;
  CRawRecover r;
  r.SetDevice(&dev);
  r.SetFileManager(&fm);
  r.AddFileType("png");
  r.SetSkipUsedClusters(true);
  r.Controller().PresetBitmap(bm, 0);
  ASSERT_EQ(0, r.Scan(nullptr));
  ASSERT_FALSE(dev.reads.empty());
  for (auto& rd : dev.reads) {
    int64_t first = rd.first / cs;
    EXPECT_FALSE(bm->BitGet(first)) << "read began at used unit " << first;
    EXPECT_GE(first, 3000);
  }
}

TEST(RawScan, UsedRunCrossingTheRangeEndStopsTheScanThere) {
  // Units 300..899 are in use and the range ends at unit 600: the skip over the used run
  // ends with the range, so neither the bitmap nor the disk is asked about anything past
  // it, and a PNG head in the free units after the run is not found.
  class AskedBitmap final : public IDeviceBitmap {
   public:
    int64_t highest = -1;
    void Release() override { delete this; }
    bool BitGet(int64_t c) override {
      highest = std::max(highest, c);
      return c >= 300 && c < 900;
    }
    bool BitSet(int64_t, bool) override { return false; }
    int64_t GetFirstClusterOffset() override { return 0; }
    int GetClusterSize() override { return 0; }
    uint32_t GetClusterCount() override { return 1024; }
  };
  const int cs = 4096;
  const int64_t rangeEnd = int64_t(cs) * 600;
  std::vector<uint8_t> img(size_t(cs) * 1024, 0);
  const uint8_t png[] = {0x89, 'P', 'N', 'G', 0x0d, 0x0a, 0x1a, 0x0a};
  std::memcpy(&img[size_t(cs) * 900], png, 8);
  MemStorage dev(img, cs);
  auto* bm = new AskedBitmap;
  RecordingManager fm;
  CRawRecover r;
  r.SetDevice(&dev);
  r.SetFileManager(&fm);
  r.AddFileType("png");
  r.SetSkipUsedClusters(true);
  ASSERT_EQ(0, r.SetRange(0, rangeEnd));
  r.Controller().PresetBitmap(bm, 0);
  ASSERT_EQ(0, r.Scan(nullptr));
  ASSERT_FALSE(dev.reads.empty());
  for (auto& rd : dev.reads) EXPECT_LE(rd.first + int64_t(rd.second), rangeEnd) << "read at " << rd.first;
  EXPECT_LT(bm->highest, 600);
  EXPECT_TRUE(fm.files.empty());
}

TEST(RawScan, StopFromSinkEndsPromptly) {
  std::vector<uint8_t> img(size_t(512) * 65536, 0);  // 32 MiB, four progress steps
  for (size_t i = 512; i < img.size(); i += 512 * 64) std::memcpy(&img[i], "{\\rtf1 {", 8);
  MemStorage dev(img, 512);
  RecordingManager fm;
  Sink sink;
  sink.stopAfterPolls = 0;
  ASSERT_EQ(0, ScanImage(dev, fm, CLUSTER_SCAN, {"rtf"}, &sink));
  EXPECT_EQ(NE_FINISHED, sink.events.back());
  EXPECT_LT(fm.files.size(), 400u);
}

TEST(RawScan, ParameterRules) {
  CRawRecover r;
  EXPECT_FALSE(r.AddFileType("xyz"));
  EXPECT_FALSE(r.AddFileType("*"));
  EXPECT_FALSE(r.AddFileType("dyn"));
  EXPECT_TRUE(r.AddFileType("PNG"));
  EXPECT_EQ(-1, r.SetRange(10, 5));
  EXPECT_EQ(-1, r.SetRange(-1, 5));
  std::vector<uint8_t> img(512 * 8, 0);
  MemStorage dev(img, 512);
  RecordingManager fm;
  r.SetDevice(&dev);
  r.SetFileManager(&fm);
  r.SetScanMode(0);
  EXPECT_EQ(-1, r.Scan(nullptr));
  r.SetScanMode(CLUSTER_SCAN);
  EXPECT_EQ(0, r.SetRange(1000, 1020));  // first and end cluster equal
  EXPECT_EQ(-1, r.Scan(nullptr));
  // No place to put the parameter object, or no device to read: refused, not dereferenced.
  EXPECT_EQ(RC_BAD_ARGUMENT, r.GetScanParam(nullptr));
  CRawRecover bare;
  bare.SetFileManager(&fm);
  EXPECT_TRUE(bare.AddFileType("png"));
  bare.SetScanMode(CLUSTER_SCAN);
  EXPECT_EQ(-1, bare.Scan(nullptr));
}

TEST(RawScan, EndMarkerCutByAUnitBoundaryIsFound) {
  // A PNG whose IEND chunk straddles the boundary between two 512-byte units, at every cut
  // point of its eight marker bytes, followed by non-zero slack.
  for (int cut = 1; cut < 8; ++cut) {
    std::vector<uint8_t> img(512 * 8, 0x5C);
    std::memset(img.data(), 0, 512);
    const uint8_t png[] = {0x89, 'P', 'N', 'G', 0x0d, 0x0a, 0x1a, 0x0a};
    std::memcpy(img.data() + 512, png, 8);
    const uint8_t iend[] = {'I', 'E', 'N', 'D', 0xae, 0x42, 0x60, 0x82};
    size_t markerAt = 512 * 3 - size_t(cut);
    std::memcpy(img.data() + markerAt, iend, 8);
    MemStorage dev(img, 512);
    RecordingManager fm;
    ASSERT_EQ(0, ScanImage(dev, fm, SECTOR_SCAN, {"png"}));
    ASSERT_EQ(1u, fm.files.size()) << "cut " << cut;
    EXPECT_EQ(markerAt + 8 - 512, fm.files[0].info->GetSize()) << "cut " << cut;
  }
}

// Deep Recovery over random bytes, every type of the table selected: no file comes out.
// Bzip2 heads that fall short are planted at unit starts all over it, since the noise alone
// shows a three-byte head only once in 16 million units: "BZh" with noise after it, a digit
// that is none, a head without the first block's mark, an empty stream whose CRC is not 0,
// and whole heads of the largest and the smallest block size whose streams never reach a
// further mark (such a file used to run on to the next head or the end of the disk).
TEST(RawScan, RandomBytesCarveNoFile) {
  const uint64_t kSize = 256ull << 20;
  std::vector<std::string> all;
  FileHintTable* table = FileHintTable::Instance();
  for (size_t i = 0; i < table->Count(); ++i) all.push_back(table->Row(i).ext);
  const std::vector<uint8_t> block = {0x31, 0x41, 0x59, 0x26, 0x53, 0x59};
  const std::vector<uint8_t> end = {0x17, 0x72, 0x45, 0x38, 0x50, 0x90, 0xde, 0xad, 0xbe, 0xef};
  auto head = [](const char* text, const std::vector<uint8_t>& mark) {
    std::vector<uint8_t> h(text, text + std::strlen(text));
    h.insert(h.end(), mark.begin(), mark.end());
    return h;
  };
  const std::vector<std::vector<uint8_t>> heads = {
      head("BZh", {}), head("BZhV", {}), head("BZh0", block), head("BZh9", block), head("BZh1", block),
      head("BZh7", end), head("BZh5", {0x00, 0x00, 0x00, 0x00, 0x00, 0x00})};
  for (int cs : {0, 4096}) {
    SCOPED_TRACE(cs ? "cluster mode" : "sector mode");
    rawtest::NoiseStorage dev(kSize, 0x5eed, cs);
    // Further apart than one block of the largest size can reach, so that no stream meets the
    // marks planted with the next head.
    int planted = 0;
    for (uint64_t at = 4096; at + 4096 < kSize; at += (3u << 20) + 4096 * uint64_t(planted % 64))
      dev.Plant(at, heads[size_t(planted++) % heads.size()]);
    ASSERT_GT(planted, 70);
    ASSERT_EQ('B', dev.At(4096));
    RecordingManager fm;
    ASSERT_EQ(0, ScanImage(dev, fm, cs ? CLUSTER_SCAN : SECTOR_SCAN, all));
    for (const rawtest::Found& f : fm.files) ADD_FAILURE() << f.folder << "/" << f.name << " " << f.info->GetSize();
    EXPECT_FALSE(dev.writes);
  }
}
