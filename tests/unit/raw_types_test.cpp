// The table of built-in carving types walked whole: every hint-table row has a class, and
// the pool asks that class about a cluster that begins with one of its own headers.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/inc/bytes.h"
#include "rawrecovery/analysertype.h"
#include "rawrecovery/rawanalyser.h"

namespace {

struct Put {
  size_t at;
  std::string bytes;
};

std::string B(const char* s, size_t n) { return std::string(s, n); }

// The smallest header each type accepts, as bytes placed into a cluster of filler: the
// published magic numbers and the few fields the header tests check.
std::map<int, std::vector<Put>> Headers() {
  uint8_t asfSize[8], le32[4], be32[4], zero64[8] = {};
  kbytes::PutLe64(asfSize, 30);
  std::string wmf(40, '\0');
  {
    uint8_t* w = reinterpret_cast<uint8_t*>(&wmf[0]);
    kbytes::PutLe32(w, 0x9AC6CDD7u);
    kbytes::PutLe16(w + 6, 100);
    uint16_t x = 0;
    for (int i = 0; i < 10; ++i) x = uint16_t(x ^ kbytes::Le16(w + 2 * i));
    kbytes::PutLe16(w + 20, x);
    kbytes::PutLe16(w + 22, 1);
    kbytes::PutLe32(w + 28, 5000);
  }
  kbytes::PutLe32(le32, 20000);
  kbytes::PutBe32(be32, 20000);
  const std::string L(reinterpret_cast<char*>(le32), 4), Bg(reinterpret_cast<char*>(be32), 4);
  return {
      {1, {{0, B("\xff\xd8\xff\xe0\x00\x10JFIF\x00", 11)}}},
      {2,
       {{0, B("\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1", 8)},
        {28, B("\xfe\xff\x09\x00", 4)},
        {68, B("\xfe\xff\xff\xff\x00\x00\x00\x00\x00\x00\x00\x00", 12)}}},
      {3, {{0, B("PK\x03\x04", 4)}}},
      {4, {{0, "GIF89a"}, {10, B("\x00", 1)}}},
      {5, {{0, B("II*\0\x08\0\0\0", 8)}}},
      {6, {{0, "BM" + L + B("\0\0\0\0", 4)}}},
      {7, {{0, B("\x89PNG\r\n\x1a\n", 8)}}},
      {8, {{0, "8BPS"}}},
      {9, {{0, "%PDF-1.4\n"}}},
      {10, {{0, B("Rar!\x1a\x07\0", 7)}}},
      {11, {{0, wmf}}},
      {12, {{0, "!BDN"}, {10, B("\x0e\x00", 2)}, {168, L}}},
      {13, {{0, B("\xcf\xad\x12\xfe\xc5\xfd\x74\x6f", 8)}, {124, L}}},
      {14, {{0, "II"}, {6, "HEAPCCDR"}}},
      {15, {{0, B("ID3\x03\x00\x00\x00\x00\x01\x00", 10)}}},
      {16, {{0, B("\x00\x00\x00\x20", 4) + "ftypisom"}}},
      {17, {{0, "<!DOCTYPE html>\n<html>"}}},
      {18, {{0, "RIFF" + L + "AVI "}}},
      {19, {{0, B(".RMF\0\0\0\x12", 8)}}},
      {20,
       {{0, B("\x30\x26\xb2\x75\x8e\x66\xcf\x11\xa6\xd9\x00\xaa\x00\x62\xce\x6c", 16)},
        {16, B(reinterpret_cast<char*>(asfSize), 8)},
        {28, B("\x01\x02", 2)}}},
      {21, {{0, B("FWS\x0a", 4) + L}}},
      {22, {{0, B("FLV\x01\x05\x00\x00\x00\x09", 9)}}},
      {23, {{0, B("\0\0\x01\xba", 4)}, {12, B("\0\0\x01\xbb", 4)}}},
      {24, {{0, "StuffIt "}, {84, Bg}}},
      {25, {{0, B("OggS\0\x02\0\0", 8)}}},
      {26, {{0, B("MThd\0\0\0\x06\0\x01\0\x01", 12)}}},
      {27, {{0, "FORM" + Bg + "AIFF"}}},
      {28, {{0, B("\xff\xf1\x5c\x80", 4)}}},
      {29, {{0, B("\x06\x06\xed\xf5\xd8\x1d\x46\xe5\xbd\x31\xef\xe7\xfe\x74\xb7\x1d", 16) + "DOCUMENT"}}},
      {30, {{4, "BOBO"}}},
      {31, {{0, "%!PS-Adobe-3.0 EPSF-3.0\n"}}},
      {32, {{0, "1234\nFrom: a@b\n"}}},
      {33, {{0, "FUJIFILM"}}},
      {34, {{0, B("\0MRM\0", 5)}}},
      {35, {{0, "gimp xcf v011"}}},
      {36, {{0, "{\\rtf1\\ansi "}}},
      {37, {{0, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">"}}},
      {38,
       {{0, B("7z\xbc\xaf\x27\x1c\x00\x04", 8)},
        {12, B(reinterpret_cast<char*>(zero64), 8)},
        {20, B(reinterpret_cast<char*>(zero64), 8)}}},
      {39, {{0, "Received: from mx by host\r\nSubject: hi\r\n"}}},
      {40, {{0, "BZh91AY&SY"}}},
      {41, {{0, "FOVb"}}},
      {42, {{0, B("\x1a\x45\xdf\xa3", 4)}}},
      {43, {{0, "AC1018"}}},
      {44, {{0, "MATLAB 5.0 MAT-file, Platform: GLNXA64"}}},
      {45, {{0, B("\x06\x0e\x2b\x34\x02\x05\x01\x01\x0d\x01\x02\x01\x01\x02", 14)}}},
      {46, {{0, "StuffIt!"}}},
      {47, {{0, B("TTFN\x01\x01", 6)}}},
      {48, {{0, "%!PS-Adobe-3.0\n"}}},
  };
}

ClusterBuf HeaderCluster(const std::vector<Put>& puts, int lcn) {
  ClusterBuf cb(4096);
  cb.lcn = lcn;
  std::memset(cb.GetData(), 'Z', 4096);
  for (const Put& p : puts) std::memcpy(cb.GetData() + p.at, p.bytes.data(), p.bytes.size());
  return cb;
}

std::string RowsOf(const FileHintTable& t, int typeId) {
  std::string exts;
  for (size_t i = 0; i < t.Count(); ++i)
    if (t.Row(i).TypeId == typeId) exts += (exts.empty() ? "" : "/") + std::string(t.Row(i).ext);
  return exts;
}

}  // namespace

TEST(RawTypes, EveryCodeHasOneClassAndNamesItsRows) {
  size_t n = 0;
  const AnalyserType* types = AnalyserTypes(&n);
  ASSERT_EQ(48u, n);
  FileHintTable t;
  for (size_t i = 0; i < n; ++i) {
    const AnalyserType& type = types[i];
    SCOPED_TRACE(type.typeId);
    EXPECT_EQ(&type, FindAnalyserType(type.typeId));
    // The extensions listed are exactly the rows of the code, in table order.
    EXPECT_EQ(RowsOf(t, type.typeId), type.exts);
    std::unique_ptr<CRawAnalyser> a(type.make());
    ASSERT_TRUE(a != nullptr);
    EXPECT_EQ(type.typeId, a->Hint().TypeId);
    std::unique_ptr<CRawAnalyser> b(CreateTypeAnalyser(type.typeId));
    ASSERT_TRUE(b != nullptr);
    EXPECT_EQ(typeid(*a), typeid(*b));
  }
  for (int id : {-1, 0, 49, 100}) {
    EXPECT_EQ(nullptr, FindAnalyserType(id)) << id;
    EXPECT_EQ(nullptr, CreateTypeAnalyser(id)) << id;
  }
  // Every row of the hint table is served by a class of its code.
  for (size_t i = 0; i < t.Count(); ++i)
    EXPECT_NE(nullptr, FindAnalyserType(t.Row(i).TypeId)) << t.Row(i).ext;
}

TEST(RawTypes, ThePoolAsksEachTypeAboutItsOwnHeaders) {
  const std::map<int, std::vector<Put>> heads = Headers();
  size_t n = 0;
  const AnalyserType* types = AnalyserTypes(&n);
  for (size_t i = 0; i < n; ++i) {
    const AnalyserType& type = types[i];
    SCOPED_TRACE(type.typeId);
    auto h = heads.find(type.typeId);
    ASSERT_TRUE(h != heads.end());
    ClusterBuf cb = HeaderCluster(h->second, 7);
    // The header's first byte is among those the table names for the type.
    EXPECT_TRUE(type.first.Has(cb.GetData()[0]));
    std::unique_ptr<CRawAnalyser> a(type.make());
    EXPECT_TRUE(Decides(a->CheckHeader(cb)));
    int64_t start = -1;
    a->GetRange(&start, nullptr);
    EXPECT_EQ(7 * 4096, start);
    // The same cluster with any first byte outside the set is not this type's: the pool
    // never skips a header the class would take.
    for (int other = 0; other < 256; ++other) {
      if (type.first.Has(other)) continue;
      cb.GetData()[0] = uint8_t(other);
      std::unique_ptr<CRawAnalyser> c(type.make());
      EXPECT_FALSE(Decides(c->CheckHeader(cb))) << other;
    }
  }

  // Through the pool, row by row: the row's own type takes the cluster.
  FileHintTable& t = *FileHintTable::Instance();
  for (size_t i = 0; i < t.Count(); ++i) {
    const FileHint& row = t.Row(i);
    SCOPED_TRACE(row.ext);
    CRawAnalyserPool pool;
    ASSERT_TRUE(pool.AddAnalyser(row));
    ClusterBuf cb = HeaderCluster(heads.at(row.TypeId), 3);
    CRawAnalyser* a = pool.DetectAnalyser(cb);
    ASSERT_TRUE(a != nullptr);
    EXPECT_EQ(row.TypeId, a->Hint().TypeId);
    EXPECT_EQ(1, pool.GetCount());
    EXPECT_NE(a, pool.Prototype(0));
    pool.ReleaseAnalyser(a);
  }
}

TEST(RawTypes, ByteSets) {
  constexpr ByteSet s = Bytes({0x00, 'I', 0xff});
  static_assert(s.Has(0x00) && s.Has('I') && s.Has(0xff) && !s.Has('J'), "members");
  static_assert(!s.Full() && AnyByte().Full(), "full");
  constexpr ByteSet digits = ByteRange('0', '9');
  static_assert(digits.Has('0') && digits.Has('9') && !digits.Has('/') && !digits.Has(':'), "range");
  static_assert(!digits.Inverse().Has('5') && digits.Inverse().Has('a') && digits.Inverse().Has(0xff),
                "inverse");
  int count = 0;
  for (int b = 0; b < 256; ++b) count += digits.Inverse().Has(b);
  EXPECT_EQ(246, count);
}
