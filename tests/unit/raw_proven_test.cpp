// Files whose structure proves where they end are kept whatever the table minimum, while a
// size that is only guessed or bounded still answers to it; small office documents come back
// byte for byte from a FAT32 volume whose slack holds old random bytes; every row of the hint
// table builds its analyser; a raw scan that throws or faults leaves a crash report.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <map>
#include <random>
#include <sstream>

#include "common/crashdump.h"
#include "common/inc/bytes.h"
#include "rawrecovery/fileanalyser/psdanalyser.h"
#include "rawrecovery/rawrecover.h"
#include "rawtestdev.h"
#include "testutil.h"

using rawtest::Carved;
using rawtest::MemStorage;
using rawtest::RecordingManager;

namespace {

bool Shell(const std::string& cmd) { return std::system(("(" + cmd + ") >/dev/null 2>&1").c_str()) == 0; }

std::vector<uint8_t> Bytes(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

// A baseline JPEG's marker chain: SOI, APP0, DQT, SOF0, SOS, stuffed entropy bytes, EOI.
std::vector<uint8_t> MakeJpeg(size_t entropy) {
  std::vector<uint8_t> f = {0xff, 0xd8, 0xff, 0xe0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0, 1, 1, 0, 0, 1, 0, 1, 0, 0};
  auto segment = [&](uint8_t code, uint16_t len, uint8_t fill) {
    f.push_back(0xff);
    f.push_back(code);
    f.push_back(uint8_t(len >> 8));
    f.push_back(uint8_t(len));
    f.insert(f.end(), size_t(len - 2), fill);
  };
  segment(0xdb, 67, 0x10);
  segment(0xc0, 17, 0x08);
  segment(0xda, 12, 0x01);
  for (size_t i = 0; i < entropy; ++i) {
    f.push_back(uint8_t(0x3c + i * 7));
    if (f.back() == 0xff) f.push_back(0);  // a data FF is stuffed
  }
  f.push_back(0xff);
  f.push_back(0xd9);
  return f;
}

std::vector<uint8_t> MakePdf(int pad) {
  std::string s = "%PDF-1.4\n1 0 obj << /Type /Catalog /Pages 2 0 R >> endobj\n"
                  "2 0 obj << /Type /Pages /Kids [] /Count 0 >> endobj\n% " +
                  std::string(size_t(pad), 'x') + "\ntrailer << /Root 1 0 R >>\n%%EOF\n";
  return Bytes(s);
}

// A ZIP of one stored member: local header, data, central directory, end record.
std::vector<uint8_t> MakeZip(size_t dataLen) {
  std::vector<uint8_t> f(30, 0);
  std::memcpy(f.data(), "PK\x03\x04", 4);
  kbytes::PutLe32(&f[18], uint32_t(dataLen));
  kbytes::PutLe32(&f[22], uint32_t(dataLen));
  kbytes::PutLe16(&f[26], 5);
  f.insert(f.end(), {'a', '.', 't', 'x', 't'});
  for (size_t i = 0; i < dataLen; ++i) f.push_back(uint8_t('a' + i % 26));
  const size_t cd = f.size();
  f.resize(cd + 46, 0);
  std::memcpy(&f[cd], "PK\x01\x02", 4);
  kbytes::PutLe32(&f[cd + 20], uint32_t(dataLen));
  kbytes::PutLe32(&f[cd + 24], uint32_t(dataLen));
  kbytes::PutLe16(&f[cd + 28], 5);
  f.insert(f.end(), {'a', '.', 't', 'x', 't'});
  const size_t end = f.size();
  f.resize(end + 22, 0);
  std::memcpy(&f[end], "PK\x05\x06", 4);
  kbytes::PutLe16(&f[end + 8], 1);
  kbytes::PutLe16(&f[end + 10], 1);
  kbytes::PutLe32(&f[end + 12], uint32_t(end - cd));
  kbytes::PutLe32(&f[end + 16], uint32_t(cd));
  return f;
}

std::vector<uint8_t> MakePng(size_t idat) {
  std::vector<uint8_t> f = {0x89, 'P', 'N', 'G', 0x0d, 0x0a, 0x1a, 0x0a};
  auto chunk = [&](const char* type, size_t len, uint8_t fill) {
    uint8_t l[4];
    kbytes::PutBe32(l, uint32_t(len));
    f.insert(f.end(), l, l + 4);
    f.insert(f.end(), type, type + 4);
    f.insert(f.end(), len, fill);
    f.insert(f.end(), {0x12, 0x34, 0x56, 0x78});
  };
  chunk("IHDR", 13, 0x01);
  chunk("IDAT", idat, 0x77);
  f.insert(f.end(), {0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xae, 0x42, 0x60, 0x82});
  return f;
}

std::vector<uint8_t> MakeGif() {
  std::vector<uint8_t> f = Bytes("GIF89a");
  f.insert(f.end(), {1, 0, 1, 0, 0x00, 0, 0});                   // screen, no colour table
  f.insert(f.end(), {0x2c, 0, 0, 0, 0, 1, 0, 1, 0, 0x00, 0x02});  // image, code size 2
  f.insert(f.end(), {0x02, 0x44, 0x01, 0x00, 0x3b});
  return f;
}

struct Placed {
  std::string ext;
  size_t at;
  std::vector<uint8_t> bytes;
};

// Each file at a multiple of 4096; everything else, the slack after each file included, is
// random, as on a disk that held other data before.
std::vector<uint8_t> Lay(std::vector<Placed>& files, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<uint8_t> img;
  auto junk = [&](size_t n) {
    for (size_t i = 0; i < n; ++i) img.push_back(uint8_t(rng()));
  };
  junk(8192);
  for (Placed& p : files) {
    p.at = img.size();
    img.insert(img.end(), p.bytes.begin(), p.bytes.end());
    junk((4096 - img.size() % 4096) % 4096 + 8192);
  }
  return img;
}

std::map<size_t, std::pair<std::string, std::vector<uint8_t>>> Scan(MemStorage& dev, int mode,
                                                                    const std::vector<std::string>& exts) {
  RecordingManager fm;
  CRawRecover r;
  r.SetDevice(&dev);
  r.SetFileManager(&fm);
  for (const std::string& e : exts) r.AddFileType(e.c_str());
  r.SetScanMode(mode);
  EXPECT_EQ(0, r.Scan(nullptr));
  std::map<size_t, std::pair<std::string, std::vector<uint8_t>>> out;
  for (auto& f : fm.files) {
    RunList* run = static_cast<RunList*>(f.info->GetRunList());
    out[size_t(run->m_start) * 512] = {f.name.substr(f.name.find('.') + 1), Carved(dev, f.info)};
  }
  return out;
}

}  // namespace

TEST(RawProven, StructureEndsAreKeptBelowTheMinimumGuessedOnesAreNot) {
  std::vector<Placed> files = {
      {"jpg", 0, MakeJpeg(600)},  // about 700 bytes, below the row's 1 KiB
      {"pdf", 0, MakePdf(1500)},  // below 8 KiB, ends at its %%EOF
      {"zip", 0, MakeZip(3000)},  // below 8 KiB, its end record matches its directory
      {"png", 0, MakePng(5000)},
      {"gif", 0, MakeGif()},
  };
  // A multi-picture file: a second picture right after the first one's EOI is kept with it.
  std::vector<uint8_t> mpo = MakeJpeg(900), second = MakeJpeg(1300);
  mpo.insert(mpo.end(), second.begin(), second.end());
  files.push_back({"jpg", 0, mpo});
  for (const Placed& p : files) ASSERT_LT(p.bytes.size(), 8192u);
  ASSERT_LT(files[0].bytes.size(), 1024u);
  // Guessed: a Photoshop file ends at a zero tail, below its row's minimum, and is dropped.
  std::vector<uint8_t> psd = Bytes("8BPS");
  psd.resize(3000, 0x42);
  psd.resize(3000 + 600, 0);
  files.push_back({"psd", 0, psd});
  std::vector<uint8_t> img = Lay(files, 11);
  for (int cs : {512, 4096}) {
    for (int mode : {SECTOR_SCAN, CLUSTER_SCAN}) {
      SCOPED_TRACE("cluster " + std::to_string(cs) + " mode " + std::to_string(mode));
      MemStorage dev(img, mode == CLUSTER_SCAN ? cs : 0);
      auto hits = Scan(dev, mode, {"jpg", "pdf", "zip", "png", "gif", "psd"});
      for (size_t i = 0; i < 6; ++i) {
        auto it = hits.find(files[i].at);
        ASSERT_TRUE(it != hits.end()) << files[i].ext << " not carved";
        EXPECT_EQ(files[i].ext, it->second.first);
        EXPECT_TRUE(it->second.second == files[i].bytes)
            << files[i].ext << " carved " << it->second.second.size() << " original " << files[i].bytes.size();
      }
      EXPECT_EQ(0u, hits.count(files[6].at)) << "a PSD sized by a zero tail is below the minimum";
      EXPECT_FALSE(dev.writes);
    }
  }
  // A picture whose EOI never comes ends at the next head, 512 bytes on: below the jpg
  // row's 1 KiB, so dropped.
  std::vector<uint8_t> cut = MakeJpeg(300);
  cut.resize(cut.size() - 2);
  ASSERT_LT(cut.size(), 512u);
  cut.resize(512, 0);
  std::vector<uint8_t> png = MakePng(100);
  cut.insert(cut.end(), png.begin(), png.end());
  cut.resize(4096, 0);
  MemStorage dev(cut, 0);
  auto hits = Scan(dev, SECTOR_SCAN, {"jpg", "png"});
  EXPECT_EQ(0u, hits.count(0));
  ASSERT_EQ(1u, hits.count(512));
  EXPECT_EQ("png", hits[512].first);
}

TEST(RawProven, MinimumFromFilehintXmlHoldsForProvenFiles) {
  // A GIF's trailer proves its end; a minimum the user set in filehint.xml still drops it.
  // The row's own minimum is 0, which the last load puts back.
  testutil::TempDir dir;
  auto load = [&](int minSize) {
    std::string xml = "<FileType><File ID=\"4\"><Extension>gif</Extension><MinSize>" + std::to_string(minSize) +
                      "</MinSize></File></FileType>";
    std::string p = dir.file("filehint.xml");
    testutil::WriteFile(p, Bytes(xml));
    return FileHintTable::Instance()->LoadXml(p.c_str());
  };
  std::vector<Placed> files = {{"gif", 0, MakeGif()}};
  std::vector<uint8_t> img = Lay(files, 5);
  MemStorage dev(img, 4096);
  ASSERT_EQ(1u, Scan(dev, CLUSTER_SCAN, {"gif"}).count(files[0].at));
  ASSERT_EQ(0, load(100));
  EXPECT_EQ(0u, Scan(dev, CLUSTER_SCAN, {"gif"}).count(files[0].at));
  ASSERT_EQ(0, load(0));
  EXPECT_EQ(1u, Scan(dev, CLUSTER_SCAN, {"gif"}).count(files[0].at));
}

TEST(RawProven, EveryTableRowBuildsItsAnalyser) {
  FileHintTable* t = FileHintTable::Instance();
  ASSERT_EQ(81u, t->Count());
  for (size_t i = 0; i < t->Count(); ++i) {
    const FileHint& row = t->Row(i);
    SCOPED_TRACE(row.ext);
    std::unique_ptr<CRawAnalyser> a(CreateTypeAnalyser(row.TypeId));
    ASSERT_TRUE(a != nullptr);
    EXPECT_EQ(row.TypeId, a->Hint().TypeId);
    CRawRecover r;
    EXPECT_TRUE(r.AddFileType(row.ext));
  }
  for (int id = 1; id <= 48; ++id) {
    std::unique_ptr<CRawAnalyser> a(CreateTypeAnalyser(id));
    EXPECT_TRUE(a != nullptr) << id;
  }
  // The plist-only class: its own code, the plist row's extension and limits.
  std::unique_ptr<CRawAnalyser> plist(CreateTypeAnalyser(37));
  ASSERT_TRUE(plist != nullptr);
  EXPECT_EQ(37, plist->Hint().TypeId);
  EXPECT_STREQ("plist", plist->GetExtension());
  std::string doc = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                    "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n<plist version=\"1.0\"><dict><key>a</key>"
                    "<string>b</string></dict></plist>\n";
  ClusterBuf cb(512);
  std::memset(cb.GetData(), 0x5a, 512);
  std::memcpy(cb.GetData(), doc.data(), doc.size());
  ASSERT_EQ(AS_HEADER, plist->CheckHeader(cb));
  ASSERT_EQ(AS_ENDED, plist->Continue(cb));
  EXPECT_EQ(int64_t(doc.size()), plist->GetSizeForExtension("plist"));

  // A property list on a volume is carved through its row, byte for byte.
  std::vector<Placed> files = {{"plist", 0, Bytes(doc)}};
  std::vector<uint8_t> img = Lay(files, 3);
  MemStorage dev(img, 4096);
  auto hits = Scan(dev, CLUSTER_SCAN, {"plist"});
  ASSERT_EQ(1u, hits.count(files[0].at));
  EXPECT_EQ("plist", hits[files[0].at].first);
  EXPECT_TRUE(hits[files[0].at].second == files[0].bytes);
}

namespace {

// An analyser standing in for one that meets a broken invariant on some cluster.
class ThrowingAnalyser : public CRawAnalyser {
 public:
  explicit ThrowingAnalyser(bool fault) : m_fault(fault) { m_hint = DynHint(); }
  int CheckHeader(const ClusterBuf& cb) override {
    if (cb.lcn < 3) return AS_NONE;
    if (m_fault) std::raise(SIGSEGV);
    throw std::logic_error("analyser invariant broken");
  }
  int Continue(const ClusterBuf&) override { return AS_NONE; }
  const char* GetExtension() override { return "dyn"; }
  int64_t GetSizeForExtension(const char*) override { return 0; }
  int OnNewHeader(const FileHint&, const ClusterBuf& cb) override { return AS_NONE; }

 private:
  bool m_fault;
};

std::string ReadText(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

}  // namespace

TEST(RawProven, ThrowingOrFaultingScanIsGuarded) {
  testutil::TempDir tmp;
  std::vector<uint8_t> img(64 * 512, 0x61);
  {
    CrashDumpWriter* w = CrashDumpWriter::Instance();
    std::string old = w->GetReportPath();
    w->SetReportPath(tmp.file("throw.txt"));
    MemStorage dev(img, 512);
    RecordingManager fm;
    CRawRecover r;
    r.SetDevice(&dev);
    r.SetFileManager(&fm);
    ASSERT_TRUE(r.AddFileType("jpg"));
    r.Pool().SetDynAnalyser(new ThrowingAnalyser(false));
    r.SetScanMode(CLUSTER_SCAN);
    EXPECT_EQ(RC_FAIL, r.Scan(nullptr));
    w->SetReportPath(old);
    EXPECT_NE(std::string::npos,
              ReadText(tmp.file("throw.txt")).find("operation: CRawRecover::Scan\nexception: analyser invariant broken"));
  }
  std::string path = tmp.file("fault.txt");
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    CrashDumpWriter::Instance()->SetReportPath(path);
    MemStorage dev(img, 512);
    RecordingManager fm;
    CRawRecover r;
    r.SetDevice(&dev);
    r.SetFileManager(&fm);
    r.AddFileType("jpg");
    r.Pool().SetDynAnalyser(new ThrowingAnalyser(true));
    r.SetScanMode(CLUSTER_SCAN);
    r.Scan(nullptr);
    _exit(0);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(SIGSEGV, WTERMSIG(status));
  EXPECT_NE(std::string::npos, ReadText(path).find("operation: CRawRecover::Scan\nfault: SIGSEGV"));
}

// LibreOffice documents of a few KiB written to a FAT32 volume through mtools and deleted:
// each comes back with its own size and bytes although the rest of its last cluster holds
// the random bytes the volume had before it was formatted.
TEST(RawProven, SmallOfficeDocumentsFromAVolumeWithRandomSlack) {
  if (!Shell("command -v soffice && command -v mkfs.fat && command -v mcopy")) GTEST_SKIP() << "soffice or mtools missing";
  testutil::TempDir dir;
  const std::string d = dir.path() + "/";
  // No preview picture, as many installations save them: the documents stay at a few KiB.
  Shell("mkdir -p " + d + ".config/libreoffice/4/user");
  testutil::WriteFile(d + ".config/libreoffice/4/user/registrymodifications.xcu",
                      Bytes("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                            "<oor:items xmlns:oor=\"http://openoffice.org/2001/registry\" "
                            "xmlns:xs=\"http://www.w3.org/2001/XMLSchema\" "
                            "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\">\n"
                            "<item oor:path=\"/org.openoffice.Office.Common/Save/Document\">"
                            "<prop oor:name=\"GenerateThumbnail\" oor:op=\"fuse\"><value>false</value></prop>"
                            "</item>\n</oor:items>\n"));
  Shell("printf 'Dear tax office,\\nplease find the receipts attached.\\nRegards\\n' > " + d + "note.txt");
  Shell("printf 'Item,Amount\\nPaper,12\\nInk,30\\n' > " + d + "sheet.csv");
  Shell("printf '%s' '<?xml version=\"1.0\" encoding=\"UTF-8\"?><office:document "
      "xmlns:office=\"urn:oasis:names:tc:opendocument:xmlns:office:1.0\" "
      "xmlns:draw=\"urn:oasis:names:tc:opendocument:xmlns:drawing:1.0\" "
      "xmlns:text=\"urn:oasis:names:tc:opendocument:xmlns:text:1.0\" office:version=\"1.2\" "
      "office:mimetype=\"application/vnd.oasis.opendocument.presentation\"><office:body><office:presentation>"
      "<draw:page draw:name=\"One\"/></office:presentation></office:body></office:document>' > " +
      d + "slides.fodp");
  struct Doc {
    const char* ext;
    const char* src;
  } docs[] = {{"docx", "note.txt"}, {"odt", "note.txt"}, {"xlsx", "sheet.csv"}, {"pptx", "slides.fodp"}};
  std::vector<Placed> made;
  for (const Doc& doc : docs) {
    std::string base = std::string(doc.src).substr(0, std::string(doc.src).find('.'));
    Shell("cd " + d + " && HOME=" + d + " timeout 120 soffice --headless --norestore --convert-to " + doc.ext + " " +
        doc.src);
    std::vector<uint8_t> b = testutil::ReadFile(d + base + "." + doc.ext);
    if (b.empty()) continue;
    Shell("mv " + d + base + "." + doc.ext + " " + d + "f." + doc.ext);
    made.push_back({doc.ext, 0, b});
  }
  ASSERT_EQ(4u, made.size()) << "soffice wrote no document";
  // docx, odt and xlsx are the small documents the table minimum used to throw away.
  for (size_t i = 0; i < 3; ++i) EXPECT_LT(made[i].bytes.size(), 8192u) << made[i].ext;
  const std::string img = d + "vol.img";
  std::string cmd = "head -c 48M /dev/urandom > " + img + " && mkfs.fat -F 32 -s 1 " + img;
  for (const Placed& p : made) cmd += " && mcopy -i " + img + " " + d + "f." + p.ext + " ::/";
  for (const Placed& p : made) cmd += " && mdel -i " + img + " ::/f." + p.ext;
  ASSERT_TRUE(Shell(cmd));
  std::vector<uint8_t> vol = testutil::ReadFile(img);
  ASSERT_GT(vol.size(), 1u << 20);
  for (Placed& p : made) {
    auto it = std::search(vol.begin(), vol.end(), p.bytes.begin(), p.bytes.begin() + 64);
    ASSERT_TRUE(it != vol.end());
    p.at = size_t(it - vol.begin());
    ASSERT_TRUE(std::equal(p.bytes.begin(), p.bytes.end(), vol.begin() + int64_t(p.at)));
    size_t end = p.at + p.bytes.size();
    EXPECT_FALSE(end % 512 != 0 && vol[end] == 0 && vol[end + 1] == 0 && vol[end + 2] == 0) << "slack is zero";
  }
  MemStorage dev(vol, 0);
  auto hits = Scan(dev, SECTOR_SCAN, {"docx", "odt", "xlsx", "pptx"});
  for (const Placed& p : made) {
    SCOPED_TRACE(p.ext);
    auto it = hits.find(p.at);
    ASSERT_TRUE(it != hits.end()) << "not carved";
    EXPECT_EQ(p.ext, it->second.first);
    EXPECT_TRUE(it->second.second == p.bytes) << "carved " << it->second.second.size() << " original " << p.bytes.size();
  }
  EXPECT_FALSE(dev.writes);
}

namespace {

// A bzip2-like stream: header, block magic, `bits` random bits, end-of-stream mark, CRC and
// zero padding to a byte. The analyser reads no block, so random bits stand for the data.
std::vector<uint8_t> MakeBz2(int bits, std::mt19937& rng) {
  std::vector<uint8_t> out = Bytes("BZh9");
  uint64_t acc = 0;
  int held = 0;
  auto put = [&](uint64_t v, int n) {
    for (int i = n - 1; i >= 0; --i) {
      acc = (acc << 1) | ((v >> i) & 1);
      if (++held == 8) {
        out.push_back(uint8_t(acc));
        acc = 0;
        held = 0;
      }
    }
  };
  put(0x314159265359ull, 48);
  for (int i = 0; i < bits; ++i) put(rng() & 1, 1);
  put(0x177245385090ull, 48);
  put(0x89abcdefu, 32);
  if (held) put(0, 8 - held);
  return out;
}

// A Photoshop file of one 8-bit plane per channel: raw, or run-length coded with one count
// per row (two bytes each).
std::vector<uint8_t> MakePsd(int channels, int width, int height, bool rle) {
  std::vector<uint8_t> f(26, 0);
  std::memcpy(f.data(), "8BPS", 4);
  kbytes::PutBe16(&f[4], 1);
  kbytes::PutBe16(&f[12], uint16_t(channels));
  kbytes::PutBe32(&f[14], uint32_t(height));
  kbytes::PutBe32(&f[18], uint32_t(width));
  kbytes::PutBe16(&f[22], 8);
  kbytes::PutBe16(&f[24], 3);
  auto section = [&](uint32_t len, uint8_t fill) {
    uint8_t l[4];
    kbytes::PutBe32(l, len);
    f.insert(f.end(), l, l + 4);
    f.insert(f.end(), len, fill);
  };
  section(0, 0);      // colour mode data
  section(300, 0);    // image resources, zeros as a sparse resource block can hold
  section(1000, 7);   // layer and mask information
  f.push_back(0);
  f.push_back(rle ? 1 : 0);
  if (!rle) {
    f.insert(f.end(), size_t(channels) * size_t(width) * size_t(height), 0);  // a black picture
    return f;
  }
  std::vector<uint8_t> rows;
  for (int r = 0; r < channels * height; ++r) {
    std::vector<uint8_t> row;
    for (int x = 0; x < width; x += 128) {
      int run = std::min(128, width - x);
      row.push_back(uint8_t(257 - run));  // a run of `run` copies of the next byte
      row.push_back(uint8_t(r));
    }
    uint8_t c[2];
    kbytes::PutBe16(c, uint16_t(row.size()));
    f.insert(f.end(), c, c + 2);
    rows.insert(rows.end(), row.begin(), row.end());
  }
  f.insert(f.end(), rows.begin(), rows.end());
  return f;
}

}  // namespace

// Ends read from the format where zeros used to decide: a bzip2 file after its end mark,
// whatever bit it falls on and also when a unit boundary cuts it, a concatenated file after
// its last stream; a Photoshop file after its image data, raw or run-length coded, though its
// planes are all zero.
TEST(RawProven, Bzip2AndPhotoshopEndWhereTheirFormatSays) {
  std::mt19937 rng(2);
  std::vector<Placed> files;
  // Marks ending on each bit of the bytes around the 1024 joint.
  for (int k = 0; k < 24; ++k) files.push_back({"bz2", 0, MakeBz2(8 * 1024 - 32 - 48 - 48 - 32 - 40 + 3 * k, rng)});
  std::vector<uint8_t> two = MakeBz2(5000, rng), second = MakeBz2(3000, rng);
  two.insert(two.end(), second.begin(), second.end());
  files.push_back({"bz2", 0, two});
  // Two streams whose joint falls on each byte around the 1024 unit joint, so that the next
  // head is cut by it at every place.
  for (int k = 0; k < 20; ++k) {
    std::vector<uint8_t> first = MakeBz2((1010 + k) * 8 - 160, rng), next = MakeBz2(2000, rng);
    first.insert(first.end(), next.begin(), next.end());
    files.push_back({"bz2", 0, first});
  }
  // A unit inside the coded data that begins like a PNG does not cut the stream.
  std::vector<uint8_t> inner = MakeBz2(80000, rng);
  std::memcpy(&inner[8192], "\x89PNG\r\n\x1a\n", 8);
  files.push_back({"bz2", 0, inner});
  // A stream of no block: the head, the end mark and a CRC of 0.
  files.push_back({"bz2", 0, Bytes(std::string("BZh9\x17\x72\x45\x38\x50\x90\0\0\0\0", 14))});
  files.push_back({"psd", 0, MakePsd(3, 200, 90, false)});
  files.push_back({"psd", 0, MakePsd(4, 300, 700, true)});  // counts run over several units
  if (Shell("command -v bzip2")) {
    testutil::TempDir dir;
    Shell("head -c 70000 /dev/urandom > " + dir.file("r") + " && bzip2 -k " + dir.file("r") + " && head -c 9000 " +
          "/dev/urandom | bzip2 > " + dir.file("s.bz2") + " && cat " + dir.file("s.bz2") + " " + dir.file("r.bz2") +
          " > " + dir.file("cat.bz2") + " && head -c 400000 /dev/urandom | bzip2 -1 > " + dir.file("m.bz2"));
    for (const char* f : {"r.bz2", "cat.bz2", "m.bz2"}) {
      std::vector<uint8_t> b = testutil::ReadFile(dir.file(f));
      if (!b.empty()) files.push_back({"bz2", 0, b});
    }
  }
  std::vector<uint8_t> img = Lay(files, 9);
  for (int cs : {512, 4096}) {
    SCOPED_TRACE("cluster " + std::to_string(cs));
    MemStorage dev(img, cs);
    auto hits = Scan(dev, CLUSTER_SCAN, {"bz2", "psd", "png"});
    for (size_t i = 0; i < files.size(); ++i) {
      auto it = hits.find(files[i].at);
      ASSERT_TRUE(it != hits.end()) << files[i].ext << " #" << i << " not carved";
      EXPECT_TRUE(it->second.second == files[i].bytes) << files[i].ext << " #" << i << " carved "
                                                         << it->second.second.size() << " original "
                                                         << files[i].bytes.size();
    }
  }
  // Streams that break off: one of the smallest block size whose coded data reaches no
  // further mark within what one block can hold is no file, whatever follows it; a complete
  // stream followed at once by such a broken one ends after the complete one.
  {
    std::vector<uint8_t> broken = Bytes("BZh11AY&SY");
    for (int i = 0; i < 400000; ++i) broken.push_back(uint8_t(rng()));
    std::vector<uint8_t> whole = MakeBz2(3000, rng), joined = whole;
    joined.insert(joined.end(), broken.begin(), broken.end());
    std::vector<Placed> cut = {{"bz2", 0, broken}, {"bz2", 0, joined}, {"psd", 0, MakePsd(3, 200, 90, false)}};
    std::vector<uint8_t> img2 = Lay(cut, 4);
    for (int cs : {0, 4096}) {
      SCOPED_TRACE("broken streams, cluster " + std::to_string(cs));
      MemStorage dev(img2, cs);
      auto hits = Scan(dev, cs ? CLUSTER_SCAN : SECTOR_SCAN, {"bz2", "psd"});
      EXPECT_EQ(0u, hits.count(cut[0].at));
      ASSERT_EQ(1u, hits.count(cut[1].at));
      EXPECT_TRUE(hits[cut[1].at].second == whole) << hits[cut[1].at].second.size() << " " << whole.size();
      ASSERT_EQ(1u, hits.count(cut[2].at));
      EXPECT_TRUE(hits[cut[2].at].second == cut[2].bytes);
    }
  }
  // Deflated image data has no length: such a file still ends at its zero tail.
  std::vector<uint8_t> zipped = MakePsd(1, 16, 16, false);
  zipped.resize(26 + 4 + 4 + 300 + 4 + 1000 + 1);
  zipped.push_back(2);
  zipped.insert(zipped.end(), 9000, 0x5c);
  const size_t len = zipped.size();
  zipped.resize(len + 700, 0);
  CPsdAnalyser a;
  ClusterBuf cb(512);
  int r = 0;
  for (size_t at = 0; at < zipped.size() && !Decides(r); at += 512) {
    std::memset(cb.GetData(), 0, 512);
    std::memcpy(cb.GetData(), zipped.data() + at, std::min<size_t>(512, zipped.size() - at));
    cb.lcn = int64_t(at / 512);
    if (at == 0) {
      ASSERT_EQ(AS_HEADER, a.CheckHeader(cb));
    }
    r = a.Continue(cb);
  }
  ASSERT_EQ(AS_ENDED, r);
  int64_t s, e;
  a.GetRange(&s, &e);
  EXPECT_EQ(int64_t(len), e - s);
}

// Text formats end with their last line: the line end after a PDF's, an EPS file's or an
// Illustrator file's end mark is part of the file; a PDF updated incrementally ends at the
// mark of its last update, not of its first.
TEST(RawProven, TextEndsTakeTheirLastLineAndLastUpdate) {
  std::string pdf = std::string(reinterpret_cast<const char*>(MakePdf(900).data()), MakePdf(900).size());
  pdf += "3 0 obj << /Type /Page >> endobj\nxref\n0 1\n0000000000 65535 f \ntrailer << /Prev 9 >>\n%%EOF\r\n";
  std::string eps = "%!PS-Adobe-3.0 EPSF-3.0\n%%BoundingBox: 0 0 10 10\n" + std::string(2000, 'q') + "\n%%EOF\n";
  std::string ai = "%!PS-Adobe-3.0\n%%Creator: Adobe Illustrator\n" + std::string(9000, 'r') + "\n%%EOF\r\n";
  for (auto kv : std::vector<std::pair<std::string, std::string>>{{"pdf", pdf}, {"eps", eps}, {"ai", ai}}) {
    std::vector<Placed> files = {{kv.first, 0, Bytes(kv.second)}, {kv.first, 0, Bytes(kv.second)}};
    // The first copy's slack begins with a byte that is no line end, the second's with one
    // that is not the file's.
    std::vector<uint8_t> img = Lay(files, 21);
    img[files[0].at + files[0].bytes.size()] = 'Z';
    img[files[1].at + files[1].bytes.size()] = '\n';
    for (int cs : {512, 4096}) {
      SCOPED_TRACE(kv.first + " cluster " + std::to_string(cs));
      MemStorage dev(img, cs);
      auto hits = Scan(dev, CLUSTER_SCAN, {kv.first});
      for (const Placed& p : files) {
        ASSERT_EQ(1u, hits.count(p.at));
        EXPECT_TRUE(hits[p.at].second == p.bytes) << "carved " << hits[p.at].second.size() << " original "
                                                  << p.bytes.size();
      }
    }
  }
}
