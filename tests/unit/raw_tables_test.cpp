// The file-type table, its XML overrides, the analyser pool's rules and the byte-level
// helpers the analysers stand on.
#include <gtest/gtest.h>

#include <cstring>
#include <set>

#include "common/inc/bytes.h"
#include "rawrecovery/fileanalyser/bz2analyser.h"
#include "rawrecovery/fileanalyser/ogganalyser.h"
#include "rawrecovery/fileanalyser/signatureanalysers.h"
#include "rawrecovery/rawanalyser.h"
#include "testutil.h"

TEST(RawHints, TableHasItsRowsInOrder) {
  FileHintTable t;
  ASSERT_EQ(81u, t.Count());
  std::set<std::string> seen;
  for (size_t i = 0; i < t.Count(); ++i) EXPECT_TRUE(seen.insert(t.Row(i).ext).second) << t.Row(i).ext;
  struct {
    size_t index;
    const char* ext;
    int type;
    int64_t minSize, maxSize;
  } spot[] = {{0, "jpg", 1, 1024, 32 << 20},         {15, "raf", 33, 8192, 128 << 20},
              {28, "dbx", 13, 10964, 64 << 20},      {32, "mov", 16, 32768, 10ll << 30},
              {49, "sit", 24, 128, 1 << 30},         {68, "plist", 17, 0, 128 << 20},
              {69, "msg", 2, 0, 64 << 20},           {80, "tax", 47, 0, 256 << 20}};
  for (auto& s : spot) {
    const FileHint& r = t.Row(s.index);
    EXPECT_STREQ(s.ext, r.ext);
    EXPECT_EQ(s.type, r.TypeId);
    EXPECT_EQ(s.minSize, r.MinSize);
    EXPECT_EQ(s.maxSize, r.MaxSize);
  }
  int pos = 0;
  EXPECT_EQ(nullptr, t.FindNext("*", &pos));
  EXPECT_EQ(nullptr, t.FindNext("dyn", &pos));
  EXPECT_NE(nullptr, t.FindNext("tif", &pos));
  EXPECT_EQ(11, pos);
  EXPECT_EQ(nullptr, t.FindNext("tif", &pos));
  EXPECT_EQ(11, pos);
}

TEST(RawHints, CheckSizeDropsAndCuts) {
  FileHintTable t;
  const FileHint* jpg = t.Find("jpg");
  EXPECT_EQ(0, jpg->CheckSize(1023));
  EXPECT_EQ(1024, jpg->CheckSize(1024));
  EXPECT_EQ(33554432, jpg->CheckSize(33554433));
  FileHint odd("x", "", 100, 50, 1);  // MinSize above MaxSize
  EXPECT_EQ(0, odd.CheckSize(99));
  EXPECT_EQ(50, odd.CheckSize(100));
}

TEST(RawHints, XmlOverrides) {
  testutil::TempDir dir;
  auto load = [&](FileHintTable& t, const std::string& xml) {
    std::string p = dir.file("filehint.xml");
    testutil::WriteFile(p, std::vector<uint8_t>(xml.begin(), xml.end()));
    return t.LoadXml(p.c_str());
  };
  {
    FileHintTable t;
    EXPECT_EQ(0, load(t, "<FileType><File ID=\"1\"><Extension>jpg</Extension><MaxSize>1048576</MaxSize></File>"
                         "<File ID=\"2\"><Extension>doc</Extension><MaxSize>5</MaxSize></File>"
                         "<File ID=\"3\"><Extension>docx</Extension><MinSize>1</MinSize></File>"
                         "<File ID=\"1\"><Extension>jpg</Extension><MaxSize>2097152</MaxSize></File>"
                         "<File ID=\"2\"><Extension>jpg</Extension><MaxSize>7</MaxSize></File></FileType>"));
    EXPECT_EQ(2097152, t.Find("jpg")->MaxSize);  // the later element wins; ID 2 changes nothing
    EXPECT_EQ(5, t.Find("doc")->MaxSize);
    EXPECT_EQ(1, t.Find("docx")->MinSize);
    EXPECT_EQ(8192, t.Find("zip")->MinSize);  // other rows of the same type keep theirs
  }
  {
    FileHintTable t;
    EXPECT_EQ(2, load(t, "<FileType><File ID=\"7\"><Extension>png</Extension><MaxSize>99</MaxSize></File>"
                         "<File ID=\"1\"><Extension>jpg</Extension><MaxSize>12ab</MaxSize></File></FileType>"));
    EXPECT_EQ(99, t.Find("png")->MaxSize);
    EXPECT_EQ(32 << 20, t.Find("jpg")->MaxSize);
  }
  {
    FileHintTable t;
    EXPECT_EQ(-1, load(t, "<Other/>"));
    EXPECT_NE(0, load(t, "<FileType><File"));
    EXPECT_NE(0, t.LoadXml(dir.file("absent.xml").c_str()));
  }
}

namespace {
// A stand-in user-signature analyser that takes every cluster.
class AnyDyn : public CRawAnalyser {
 public:
  AnyDyn() { m_hint = DynHint(); }
  int CheckHeader(const ClusterBuf& cb) override { return m_state = AS_HEADER; }
  int Continue(const ClusterBuf&) override { return 0; }
  const char* GetExtension() override { return "png"; }
  int64_t GetSizeForExtension(const char*) override { return 0; }
  int OnNewHeader(const FileHint&, const ClusterBuf&) override { return AS_ENDED; }
};
}  // namespace

TEST(RawPool, PrototypeRules) {
  CRawAnalyserPool pool;
  FileHintTable& t = *FileHintTable::Instance();
  EXPECT_TRUE(pool.AddAnalyser(*t.Find("avi")));
  EXPECT_FALSE(pool.AddAnalyser(*t.Find("wav")));  // same type: one prototype
  EXPECT_TRUE(pool.AddAnalyser(*t.Find("png")));
  EXPECT_TRUE(pool.AddAnalyser(*t.Find("bmp")));
  EXPECT_EQ(3, pool.GetCount());
  auto* dyn = new AnyDyn();
  pool.SetDynAnalyser(dyn);

  ClusterBuf cb(512);
  const uint8_t png[] = {0x89, 'P', 'N', 'G', 0x0d, 0x0a, 0x1a, 0x0a};
  std::memcpy(cb.GetData(), png, 8);
  CRawAnalyser* before = pool.Prototype(1);
  CRawAnalyser* a = pool.DetectAnalyser(cb);
  EXPECT_EQ(before, a);  // the built-in type beats the user signature
  EXPECT_NE(before, pool.Prototype(1));  // replaced in the same place
  EXPECT_EQ(7, pool.Prototype(1)->Hint().TypeId);
  EXPECT_EQ(3, pool.GetCount());
  pool.ReleaseAnalyser(a);
  EXPECT_EQ(nullptr, a);

  std::memset(cb.GetData(), 0, 8);
  std::memcpy(cb.GetData() + 4, png, 8);  // four zero bytes first: never a header
  EXPECT_EQ(nullptr, pool.DetectAnalyser(cb));
  cb.GetData()[0] = 'z';
  CRawAnalyser* d = pool.DetectAnalyser(cb);
  EXPECT_EQ(dyn, d);
  pool.ReleaseAnalyser(d);
  EXPECT_EQ(dyn, d);  // the shared analyser stays alive
}

TEST(RawFrames, MatchEdges) {
  const uint8_t buf[] = {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 'j'};
  EXPECT_NE(nullptr, MatchFrame("abcd", 0).Match(buf, 4));
  EXPECT_EQ(nullptr, MatchFrame("ghijklmn", 6).Match(buf, 10));
  EXPECT_EQ(nullptr, MatchFrame("ijk", -1).Match(buf, 10));
  EXPECT_EQ(buf + 8, MatchFrame("ij", -1).Match(buf, 10));
  EXPECT_EQ(nullptr, MatchFrame("a", 0x7fffffff).Match(buf, 10));
  EXPECT_EQ(nullptr, MatchFrame("", 0, 0).Match(buf, 10));
}

TEST(RawFrames, ClusterFileAndJointSearch) {
  ClusterFile f(512);
  ClusterBuf a(512), b(512);
  a.lcn = 10;
  b.lcn = 12;
  std::memset(a.GetData(), 1, 512);
  std::memset(b.GetData(), 2, 512);
  EXPECT_TRUE(f.Append(a));
  EXPECT_TRUE(f.Append(b));
  EXPECT_FALSE(f.Append(a));  // not rising
  EXPECT_EQ(1, f.Seek(11 * 512));
  uint8_t out[1024];
  EXPECT_EQ(1024, f.Read(out, 1024));
  EXPECT_EQ(0, out[0]);
  EXPECT_EQ(2, out[512]);
  EXPECT_EQ(-1, f.Seek(9 * 512));
  EXPECT_EQ(-1, f.Seek(13 * 512));
  EXPECT_EQ(0, f.Seek(10 * 512 + 500));
  EXPECT_EQ(20, f.Read(out, 20));
  EXPECT_EQ(1, out[11]);
  EXPECT_EQ(0, out[12]);

  JointSearch js(512);
  std::vector<uint8_t> x(512, 'x');
  x[510] = 'A';
  x[511] = 'B';
  js.Feed(x.data(), 512);
  std::vector<uint8_t> y(512, 'y');
  y[0] = 'C';
  y[1] = 'D';
  js.Feed(y.data(), 512);
  uint8_t* p = js.Search("ABCD", 4);
  ASSERT_NE(nullptr, p);
  EXPECT_EQ(-2, js.OffsetOf(p));
  js.Feed(y.data(), 512);
  EXPECT_EQ(1024, js.Size());
}

TEST(RawFrames, ZeroTailStaysInsideItsBuffer) {
  ClusterBuf cb(1024);
  std::memset(cb.GetData(), 0, 1024);
  unsigned pos = 99;
  EXPECT_TRUE(FindZeroTail(cb, &pos, 64));
  EXPECT_EQ(0u, pos);  // walks back only to the sector start
  EXPECT_TRUE(FindZeroTail(cb, &pos, 4000));
  EXPECT_FALSE(FindZeroTail(cb, &pos, 0));
  std::memset(cb.GetData(), 7, 1000);
  EXPECT_TRUE(FindZeroTail(cb, &pos, 16));
  EXPECT_EQ(1000u, pos);
  EXPECT_TRUE(IsSectorTailZero(cb.GetData(), 1024, 512));
  EXPECT_FALSE(IsSectorTailZero(cb.GetData() + 500, 524, 500));
}

TEST(RawAnalysers, HeaderRules) {
  ClusterBuf cb(512);
  uint8_t* d = cb.GetData();
  cb.lcn = 3;
  std::memcpy(d, "RIFF", 4);
  kbytes::PutLe32(d + 4, 1000);
  std::memcpy(d + 8, "AVI ", 4);
  {
    CAviAnalyser a;
    EXPECT_EQ(AS_COMPLETE, a.CheckHeader(cb));
    EXPECT_EQ(AS_COMPLETE, a.Continue(cb));
    EXPECT_STREQ("avi", a.GetExtension());
    // The RIFF size plus its head, to the byte; a file sized by its own chunk is kept below
    // the row's 8 KiB.
    EXPECT_EQ(1008, a.GetSizeForExtension("avi"));
    kbytes::PutLe32(d + 4, 20000);
    a.CheckHeader(cb);
    EXPECT_EQ(20008, a.GetSizeForExtension("avi"));
    EXPECT_EQ(0, a.GetSizeForExtension("wav"));
  }
  std::memcpy(d + 8, "WAVE", 4);
  {
    CAviAnalyser a;
    a.CheckHeader(cb);
    EXPECT_STREQ("wav", a.GetExtension());
  }
  std::memcpy(d + 8, "XXXX", 4);
  EXPECT_EQ(0, CAviAnalyser().CheckHeader(cb));

  // WMF: a checksum that is not the XOR of the ten words before it is refused.
  std::memset(d, 0, 512);
  kbytes::PutLe32(d, 0x9AC6CDD7u);
  kbytes::PutLe16(d + 6, 100);
  uint16_t x = 0;
  for (int i = 0; i < 10; ++i) x ^= kbytes::Le16(d + 2 * i);
  kbytes::PutLe16(d + 20, uint16_t(x ^ 1));
  kbytes::PutLe16(d + 22, 1);
  kbytes::PutLe32(d + 28, 0xFFFFFFFFu);
  std::vector<uint8_t> before(d, d + 512);
  EXPECT_EQ(0, CWmfAnalyser().CheckHeader(cb));
  kbytes::PutLe16(d + 20, x);
  CWmfAnalyser w;
  EXPECT_EQ(AS_COMPLETE, w.CheckHeader(cb));
  EXPECT_EQ(int64_t(0xFFFFFFFFu) * 2 + 22 > (32 << 20) ? (32 << 20) : 0, w.GetSizeForExtension("wmf"));

  // 7z sizes that overflow 63 bits are not an archive.
  std::memset(d, 0, 512);
  std::memcpy(d, "7z\xbc\xaf\x27\x1c", 6);
  kbytes::PutLe64(d + 12, 0x7FFFFFFFFFFFFFF0ull);
  kbytes::PutLe64(d + 20, 0x100);
  EXPECT_EQ(0, CZ7Analyser().CheckHeader(cb));

  // bzip2: "BZh", a block-size digit and the first block's mark ("1AY&SY"); a stream of no
  // block has the end mark there, and its CRC over no block is 0.
  const struct {
    const char* head;
    size_t len;
    bool taken;
  } bz2[] = {{"BZh91AY&SY", 10, true},
             {"BZh11AY&SY", 10, true},
             {"BZh01AY&SY", 10, false},
             {"BZhV1AY&SY", 10, false},
             {"BZh91AY&SX", 10, false},
             {"BZh9", 4, false},
             {"BZh5\x17\x72\x45\x38\x50\x90\0\0\0\0", 14, true},
             {"BZh5\x17\x72\x45\x38\x50\x90\0\0\0\x01", 14, false}};
  for (const auto& h : bz2) {
    std::memset(d, 0x5a, 512);
    std::memcpy(d, h.head, h.len);
    EXPECT_EQ(h.taken ? AS_HEADER : AS_NONE, CBz2Analyser().CheckHeader(cb)) << std::string(h.head, 4);
  }
}

TEST(RawAnalysers, EndRules) {
  // OGG: a first page whose segment table runs past its cluster is not ended by the zero
  // cluster that follows a page; a first page that is cut off ends the file before it.
  ClusterBuf head(2048), zero(2048);
  std::memcpy(head.GetData(), "OggS\0\x02\0\0", 8);
  head.GetData()[26] = 1;
  head.GetData()[27] = 200;  // one page of 27 + 1 + 200 bytes
  COggAnalyser o;
  head.lcn = 0;
  ASSERT_EQ(AS_HEADER, o.CheckHeader(head));
  EXPECT_EQ(AS_ENDED, o.Continue(head));  // zeros after the page: no page follows it
  int64_t s, e;
  o.GetRange(&s, &e);
  EXPECT_EQ(228, e);

  // InDesign with 4096-byte clusters completes with the third cluster.
  ClusterBuf c(4096);
  std::memcpy(c.GetData(), "\x06\x06\xed\xf5\xd8\x1d\x46\xe5\xbd\x31\xef\xe7\xfe\x74\xb7\x1d" "DOCUMENT", 24);
  kbytes::PutLe32(c.GetData() + 280, 5);
  CInddAnalyser in;
  ASSERT_EQ(AS_COMPLETE, in.CheckHeader(c));
  EXPECT_EQ(0, in.Continue(c));
  c.lcn = 1;
  EXPECT_EQ(0, in.Continue(c));
  c.lcn = 2;
  EXPECT_EQ(AS_COMPLETE, in.Continue(c));
  EXPECT_EQ(5 * 4096, in.GetSizeForExtension("indd"));
}
