// User signatures from "filedata.xml": the hex frames, the loader's rules, the shared analyser's
// open file, and raw scans that carve with them.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "common/inc/bytes.h"
#include "rawrecovery/fileanalyser/dynanalyser.h"
#include "rawrecovery/rawrecover.h"
#include "rawtestdev.h"
#include "testutil.h"

using rawtest::Carved;
using rawtest::MemStorage;
using rawtest::RecordingManager;

namespace {

// Loads one filedata.xml text into a fresh analyser.
struct Loaded {
  CDynAnalyser dyn;
  int rc = 0;
};

void Load(Loaded& l, const std::string& xml) {
  testutil::TempDir dir;
  std::string path = dir.file("filedata.xml");
  testutil::WriteFile(path, std::vector<uint8_t>(xml.begin(), xml.end()));
  CRawAnalyserPool pool;
  l.rc = pool.LoadFileData(path.c_str(), &l.dyn);
}

std::string FileData(const std::string& files) { return "<FileData>" + files + "</FileData>"; }

ClusterBuf Cluster(int64_t lcn, const std::vector<uint8_t>& head, int size = 512, uint8_t fill = 0x55) {
  ClusterBuf cb(size);
  cb.lcn = lcn;
  std::memset(cb.GetData(), fill, size_t(size));
  std::memcpy(cb.GetData(), head.data(), head.size());
  return cb;
}

// The raw scanner reads "filedata.xml" from the current folder when it is made.
class InFolder {
 public:
  explicit InFolder(const std::string& dir) : m_old(std::filesystem::current_path()) {
    std::filesystem::current_path(dir);
  }
  ~InFolder() { std::filesystem::current_path(m_old); }

 private:
  std::filesystem::path m_old;
};

int ScanWith(const std::string& xml, MemStorage& dev, RecordingManager& fm, const std::vector<std::string>& exts) {
  testutil::TempDir dir;
  testutil::WriteFile(dir.file("filedata.xml"), std::vector<uint8_t>(xml.begin(), xml.end()));
  CRawRecover* r = nullptr;
  {
    InFolder in(dir.path());
    r = new CRawRecover();
  }
  r->SetDevice(&dev);
  r->SetFileManager(&fm);
  for (const std::string& e : exts) r->AddFileType(e.c_str());
  r->SetScanMode(CLUSTER_SCAN);
  int rc = r->Scan(nullptr);
  r->Release();
  return rc;
}

}  // namespace

TEST(DynSig, HexToBytes) {
  auto b = HexToBytes("FFD8ff");
  ASSERT_TRUE(b.has_value());
  EXPECT_EQ((std::vector<uint8_t>{0xFF, 0xD8, 0xFF}), *b);
  EXPECT_EQ((std::vector<uint8_t>{0x0A}), *HexToBytes("0A1"));  // odd last character ignored
  // A pair is read like %x: leading blanks skipped, reading stops at a non-digit.
  EXPECT_EQ((std::vector<uint8_t>{0x0A, 0x00, 0x04}), *HexToBytes(" AG14Z"));
  EXPECT_FALSE(HexToBytes(nullptr).has_value());
  std::string h1024(1024, 'a');
  ASSERT_TRUE(HexToBytes(h1024.c_str()).has_value());
  EXPECT_EQ(512u, HexToBytes(h1024.c_str())->size());
  EXPECT_EQ(512u, HexToBytes((h1024 + "b").c_str())->size());
  EXPECT_FALSE(HexToBytes((h1024 + "bb").c_str()).has_value());
  // Each call owns its bytes: a second call does not change the first result.
  auto x = HexToBytes("1122");
  auto y = HexToBytes("3344");
  EXPECT_EQ(0x11, (*x)[0]);
  EXPECT_EQ(0x33, (*y)[0]);
}

TEST(DynSig, LoadJpgSignatureAndSizes) {
  Loaded l;
  Load(l, FileData("<File ext=\"jpg\"><Sign POS=\"0\">FFD8FF</Sign></File>"
                   "<File ext=\"png\"><Size>4096</Size><Sign>4B455354</Sign></File>"));
  ASSERT_EQ(0, l.rc);
  ASSERT_EQ(2u, l.dyn.SignCount());
  FileHint row = l.dyn.Sign(0).GetFileHint();
  EXPECT_STREQ("jpg", row.ext);
  EXPECT_EQ(1, row.TypeId);
  EXPECT_EQ(1024, row.MinSize);
  EXPECT_EQ(32 * 1024 * 1024, row.MaxSize);
  EXPECT_EQ(0, l.dyn.Sign(0).GetSize());
  EXPECT_EQ(4096, l.dyn.Sign(1).GetSize());
  EXPECT_EQ(0, l.dyn.Sign(0).Match(Cluster(0, {0xFF, 0xD8, 0xFF, 0x01})));
  EXPECT_EQ(-1, l.dyn.Sign(0).Match(Cluster(0, {0x00, 0xFF, 0xD8, 0xFF})));
}

TEST(DynSig, LoadStopsAndRejects) {
  const std::string jpg = "<File ext=\"jpg\"><Sign>FFD8FF</Sign></File>";
  struct Case {
    const char* what;
    std::string xml;
    int rc;
    size_t signs;
  } cases[] = {
      {"unknown extension first loads nothing", FileData("<File ext=\"xyz\"><Sign>00</Sign></File>" + jpg), 0, 0},
      {"unknown extension ends the list", FileData(jpg + "<File ext=\"xyz\"/>" + jpg), 0, 1},
      {"upper-case extension is not in the table", FileData("<File ext=\"JPG\"><Sign>FF</Sign></File>"), 0, 0},
      {"Size not a number", FileData(jpg + "<File ext=\"png\"><Size>4k</Size><Sign>89</Sign></File>" + jpg), 2, 1},
      {"Size without text", FileData("<File ext=\"png\"><Size/><Sign>89</Sign></File>"), 2, 0},
      {"Size beyond 32 bits", FileData("<File ext=\"png\"><Size>4294967296</Size><Sign>89</Sign></File>"), 2, 0},
      {"negative Size", FileData("<File ext=\"png\"><Size>-1</Size><Sign>89</Sign></File>"), 2, 0},
      {"POS -5 rejects its File only", FileData("<File ext=\"png\"><Sign POS=\"-5\">89</Sign></File>" + jpg), 0, 1},
      {"POS not a number", FileData("<File ext=\"png\"><Sign POS=\"x\">89</Sign></File>"), 0, 0},
      {"POS beyond int", FileData("<File ext=\"png\"><Sign POS=\"2147483648\">89</Sign></File>"), 0, 0},
      {"no Sign: no signature", FileData("<File ext=\"png\"><Size>10</Size></File>" + jpg), 0, 1},
      {"only a one-character frame", FileData("<File ext=\"png\"><Sign>8</Sign></File>"), 0, 0},
      {"frame of 1026 characters", FileData("<File ext=\"png\"><Sign>89</Sign><Sign>" + std::string(1026, 'a') +
                                            "</Sign></File>"), 0, 0},
      {"frame of 1024 characters", FileData("<File ext=\"png\"><Sign>" + std::string(1024, 'a') + "</Sign></File>"),
       0, 1},
      {"no File element", "<FileData/>", -1, 0},
      {"other root", "<Other><File ext=\"jpg\"/></Other>", -1, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Loaded l;
    Load(l, c.xml);
    EXPECT_EQ(c.rc, l.rc);
    EXPECT_EQ(c.signs, l.dyn.SignCount());
  }
  Loaded broken;
  Load(broken, "<FileData><File ext=\"jpg\">");
  EXPECT_GT(broken.rc, 0);
  CDynAnalyser dyn;
  CRawAnalyserPool pool;
  EXPECT_GT(pool.LoadFileData("/nonexistent/filedata.xml", &dyn), 0);
  EXPECT_EQ(-1, pool.LoadFileData("x", nullptr));
}

TEST(DynSig, FramePositions) {
  Loaded l;
  Load(l, FileData("<File ext=\"jpg\"><Sign/><Sign POS=\"-1\">4B455354</Sign><Sign POS=\"2\">AB</Sign></File>"
                   "<File ext=\"png\"><Sign POS=\"2147483647\">4B</Sign></File>"
                   "<File ext=\"bmp\"><Sign POS=\"510\">CCDD</Sign></File>"));
  ASSERT_EQ(0, l.rc);
  ASSERT_EQ(3u, l.dyn.SignCount());
  const CDynSign& any = l.dyn.Sign(0);
  ClusterBuf cb = Cluster(0, {1, 2, 0xAB});
  std::memcpy(cb.GetData() + 300, "KEST", 4);
  EXPECT_EQ(0, any.Match(cb));
  std::memcpy(cb.GetData() + 508, "KEST", 4);  // still found at the very end
  std::memcpy(cb.GetData() + 300, "xxxx", 4);
  EXPECT_EQ(0, any.Match(cb));
  cb.GetData()[511] = 0;  // a partial match at the end does not count
  EXPECT_EQ(-1, any.Match(cb));
  // A position near INT_MAX never fits a cluster, whatever the sum would wrap to.
  EXPECT_EQ(-1, l.dyn.Sign(1).Match(Cluster(0, std::vector<uint8_t>(512, 0x4B))));
  ClusterBuf tail = Cluster(0, {1});
  tail.GetData()[510] = 0xCC;
  tail.GetData()[511] = 0xDD;
  EXPECT_EQ(0, l.dyn.Sign(2).Match(tail));
}

TEST(DynSig, OpenFileKeepsItsStartAcrossLaterHeaderTests) {
  Loaded l;
  Load(l, FileData("<File ext=\"jpg\"><Sign>4B455354</Sign></File>"
                   "<File ext=\"png\"><Size>4096</Size><Sign>89504E</Sign></File>"));
  ASSERT_EQ(2u, l.dyn.SignCount());
  CDynAnalyser& d = l.dyn;
  const std::vector<uint8_t> kest = {'K', 'E', 'S', 'T'};
  EXPECT_EQ(AS_NONE, d.CheckHeader(Cluster(2, kest)));  // nothing selected yet
  d.SelectExtension("jpg");
  EXPECT_EQ(AS_HEADER, d.CheckHeader(Cluster(2, kest)));
  EXPECT_EQ(AS_NONE, d.Continue(Cluster(2, kest)));
  // The pool tests every later cluster too; neither a miss nor another match moves the file.
  EXPECT_EQ(AS_NONE, d.CheckHeader(Cluster(3, {1})));
  EXPECT_EQ(AS_NONE, d.Continue(Cluster(3, {1})));
  EXPECT_EQ(AS_HEADER, d.CheckHeader(Cluster(4, kest)));
  EXPECT_EQ(AS_NONE, d.Continue(Cluster(4, kest)));
  EXPECT_EQ(AS_ENDED, d.OnNewHeader(DeviceEndHint(), Cluster(6, {1})));
  int64_t s = 0, e = 0;
  d.GetRange(&s, &e);
  EXPECT_EQ(2 * 512, s);
  EXPECT_EQ(6 * 512, e);
  EXPECT_EQ(AS_ENDED, d.GetState());
  EXPECT_STREQ("jpg", d.GetExtension());
  EXPECT_EQ(4 * 512, d.GetSizeForExtension("jpg"));
  EXPECT_EQ(0, d.GetSizeForExtension("png"));
  // A fixed size completes the file on its header cluster; the jpg row's limits apply.
  d.SelectExtension("png");
  EXPECT_EQ(AS_COMPLETE, d.CheckHeader(Cluster(9, {0x89, 'P', 'N'})));
  EXPECT_EQ(AS_COMPLETE, d.Continue(Cluster(9, {0x89, 'P', 'N'})));
  EXPECT_EQ(4096, d.GetSizeForExtension("png"));
  d.GetRange(&s, &e);
  EXPECT_EQ(9 * 512, s);
}

TEST(DynSig, RawScanUsesSignaturesOfSelectedTypesOnly) {
  // Cluster 1: a real BMP head (the built-in analyser wins over the user "BM" signature);
  // cluster 4: "BM" with a non-zero reserved field, which the built-in analyser refuses, so
  // the user signature takes it; cluster 8: a PNG head ends that file.
  std::vector<uint8_t> img(512 * 12, 0);
  img[512] = 'B';
  img[513] = 'M';
  kbytes::PutLe32(&img[514], 1500);
  std::fill(img.begin() + 512 + 14, img.begin() + 512 + 1500, 0x11);
  std::fill(img.begin() + 2048, img.begin() + 4096, 0x22);
  img[2048] = 'B';
  img[2049] = 'M';
  const uint8_t png[] = {0x89, 'P', 'N', 'G', 0x0d, 0x0a, 0x1a, 0x0a};
  std::memcpy(&img[4096], png, 8);
  std::fill(img.begin() + 4096 + 8, img.end(), 0x33);
  const std::string xml = FileData("<File ext=\"bmp\"><Sign POS=\"0\">424D</Sign></File>");
  {
    MemStorage dev(img, 512);
    RecordingManager fm;
    ASSERT_EQ(0, ScanWith(xml, dev, fm, {"bmp", "png"}));
    std::vector<std::pair<std::string, uint64_t>> got;
    for (auto& f : fm.files) got.emplace_back(f.folder + "/" + f.name, f.info->GetSize());
    ASSERT_EQ(3u, got.size());
    EXPECT_EQ("/bmp/00000001.bmp", got[0].first);
    EXPECT_EQ(1500u, got[0].second);
    EXPECT_EQ("/bmp/00000002.bmp", got[1].first);
    EXPECT_EQ(2048u, got[1].second);
    EXPECT_EQ(std::vector<uint8_t>(img.begin() + 2048, img.begin() + 4096), Carved(dev, fm.files[1].info));
    EXPECT_EQ("/png/00000003.png", got[2].first);
  }
  {
    // bmp not selected: its user signature is not even tested; only the PNG comes back.
    MemStorage dev(img, 512);
    RecordingManager fm;
    ASSERT_EQ(0, ScanWith(xml, dev, fm, {"png"}));
    ASSERT_EQ(1u, fm.files.size());
    EXPECT_EQ("00000001.png", fm.files[0].name);
  }
}

TEST(DynSig, RawScanFixedSizeAndUnselectedSignatures) {
  std::vector<uint8_t> img(512 * 16, 0x44);
  std::memset(img.data(), 0, 512);
  std::memcpy(&img[512], "KEST", 4);
  std::memcpy(&img[512 * 3], "ZZZZ", 4);
  const std::string others = "<File ext=\"gif\"><Sign>5A5A5A5A</Sign></File><File ext=\"png\"><Sign/></File>";
  {
    // The unselected gif signature at cluster 3 does not cut the open jpg, and the frameless
    // png File turns no cluster into a file: one jpg to the end of the device.
    MemStorage dev(img, 512);
    RecordingManager fm;
    ASSERT_EQ(0, ScanWith(FileData("<File ext=\"jpg\"><Sign>4B455354</Sign></File>" + others), dev, fm,
                          {"jpg", "png"}));
    ASSERT_EQ(1u, fm.files.size());
    EXPECT_EQ("00000001.jpg", fm.files[0].name);
    EXPECT_EQ(15u * 512, fm.files[0].info->GetSize());
  }
  {
    MemStorage dev(img, 512);
    RecordingManager fm;
    ASSERT_EQ(0, ScanWith(FileData("<File ext=\"jpg\"><Size>4096</Size><Sign>4B455354</Sign></File>" + others), dev,
                          fm, {"jpg", "gif"}));
    // The fixed size completes the jpg on its header cluster; the gif signature then finds
    // its own file at cluster 3, inside the jpg's bytes.
    ASSERT_EQ(2u, fm.files.size());
    EXPECT_EQ("/jpg", fm.files[0].folder);
    EXPECT_EQ(4096u, fm.files[0].info->GetSize());
    EXPECT_EQ(std::vector<uint8_t>(img.begin() + 512, img.begin() + 512 + 4096), Carved(dev, fm.files[0].info));
    EXPECT_EQ("00000002.gif", fm.files[1].name);
    EXPECT_EQ(13u * 512, fm.files[1].info->GetSize());
  }
}

TEST(DynSig, RawScanHonoursRowLimits) {
  // A user jpg file shorter than the jpg row's 1 KiB minimum is dropped.
  std::vector<uint8_t> img(512 * 8, 0x44);
  std::memcpy(&img[512], "KEST", 4);
  std::memcpy(&img[1024], "KEST", 4);
  const std::string xml = FileData("<File ext=\"jpg\"><Sign>4B455354</Sign></File>");
  MemStorage dev(img, 512);
  RecordingManager fm;
  ASSERT_EQ(0, ScanWith(xml, dev, fm, {"jpg"}));
  // 512..1024 is too small; 1024 runs to the end of the device (3 KiB).
  ASSERT_EQ(1u, fm.files.size());
  EXPECT_EQ(3072u, fm.files[0].info->GetSize());
  EXPECT_EQ("00000001.jpg", fm.files[0].name);
}
