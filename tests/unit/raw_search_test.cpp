// The byte searches, the cluster store and the read window that the raw scan's speed rests
// on: each must give what a plain byte-by-byte walk gives, at every alignment and length,
// and a window handed out in place must hold the device's bytes.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "rawrecovery/clusterfile.h"
#include "rawrecovery/frame.h"
#include "rawrecovery/rawrecover.h"
#include "rawrecovery/scancontroller.h"
#include "rawtestdev.h"

namespace {

const uint8_t* Naive(const uint8_t* hay, size_t n, const uint8_t* needle, size_t len) {
  if (len == 0 || n < len) return nullptr;
  for (size_t i = 0; i + len <= n; ++i)
    if (std::memcmp(hay + i, needle, len) == 0) return hay + i;
  return nullptr;
}

const uint8_t* NaiveAfter(const uint8_t* hay, size_t n, uint8_t byte, const char* before) {
  for (size_t i = 1; i < n; ++i)
    if (hay[i] == byte && std::strchr(before, hay[i - 1]) && hay[i - 1]) return hay + i;
  return nullptr;
}

}  // namespace

TEST(RawSearch, FindBytesAgreesWithAPlainWalk) {
  // A small alphabet makes first-and-last-byte candidates that are not matches common, and
  // puts matches at every offset of the 32-byte blocks and in the tail behind them.
  std::mt19937 rng(7);
  for (int round = 0; round < 3000; ++round) {
    size_t n = rng() % 300;
    std::vector<uint8_t> hay(n);
    for (auto& b : hay) b = uint8_t('a' + rng() % 3);
    size_t len = 1 + rng() % 9;
    std::vector<uint8_t> needle(len);
    for (auto& b : needle) b = uint8_t('a' + rng() % 3);
    if (n >= len && rng() % 2) std::memcpy(&hay[rng() % (n - len + 1)], needle.data(), len);
    EXPECT_EQ(Naive(hay.data(), n, needle.data(), len), FindBytes(hay.data(), n, needle.data(), len))
        << "round " << round;
  }
  const uint8_t text[] = "xxIENDxx";
  EXPECT_EQ(nullptr, FindBytes(text, 5, "IEND", 4));  // would reach past the end
  EXPECT_EQ(text + 2, FindBytes(text, 6, "IEND", 4));
  EXPECT_EQ(nullptr, FindBytes(text, 8, "", 0));
  EXPECT_EQ(nullptr, FindBytes(nullptr, 8, "x", 1));
}

TEST(RawSearch, FindByteAfterAgreesWithAPlainWalk) {
  std::mt19937 rng(11);
  for (int round = 0; round < 3000; ++round) {
    size_t n = rng() % 200;
    std::vector<uint8_t> hay(n);
    for (auto& b : hay) b = "dmt:x"[rng() % 5];
    EXPECT_EQ(NaiveAfter(hay.data(), n, ':', "dmt"), FindByteAfter(hay.data(), n, ':', "dmt")) << round;
  }
  const uint8_t mail[] = ":Subject:";
  EXPECT_EQ(mail + 8, FindByteAfter(mail, 9, ':', "dmt"));  // the first colon has nothing before it
  EXPECT_EQ(nullptr, FindByteAfter(mail, 8, ':', "dmt"));
  EXPECT_EQ(nullptr, FindByteAfter(mail, 9, ':', ""));
  EXPECT_EQ(nullptr, FindByteAfter(mail, 9, ':', "abcde"));  // more kinds than it takes
}

TEST(RawSearch, ClusterFileAcrossManyBlocks) {
  // 1000 clusters of 512 bytes span several storage blocks; every byte must read back from
  // its own cluster, gaps as zeros, and a second file (reusing the first one's blocks) must
  // not see the first one's bytes.
  for (int pass = 0; pass < 2; ++pass) {
    ClusterFile f(512);
    ClusterBuf cb(512);
    for (int64_t i = 0; i < 1000; ++i) {
      if (i % 97 == 5) continue;  // a gap
      cb.lcn = 100 + i;
      for (int k = 0; k < 512; ++k) cb.GetData()[k] = uint8_t(i * 7 + k + pass);
      ASSERT_TRUE(f.Append(cb));
    }
    EXPECT_EQ(989u, f.Count());  // 11 gaps
    std::vector<uint8_t> out(700);
    for (int64_t i : {0, 5, 63, 64, 127, 128, 500, 998}) {
      ASSERT_GE(f.Seek((100 + i) * 512 + 300), 0) << i;
      ASSERT_EQ(700, f.Read(out.data(), 700));
      for (int k = 0; k < 700; ++k) {
        int64_t c = i + (300 + k) / 512;
        int at = (300 + k) % 512;
        uint8_t want = (c % 97 == 5) ? 0 : uint8_t(c * 7 + at + pass);
        ASSERT_EQ(want, out[size_t(k)]) << "cluster " << c << " byte " << at;
      }
    }
  }
  ClusterFile other(1024);
  ClusterBuf small(512);
  EXPECT_FALSE(other.Append(small));  // another unit size
}

TEST(RawSearch, WindowUnitsHoldTheDeviceBytes) {
  // Units handed out from the window in place: every unit of a device larger than two
  // windows reads back as the device holds it, also the last ones of a short final window.
  const int cs = 4096;
  const size_t units = size_t(ScanController::kWindowBytes) / cs * 2 + 37;
  std::vector<uint8_t> img(units * cs);
  for (size_t i = 0; i < img.size(); ++i) img[i] = uint8_t(i / cs * 13 + i % 251);
  rawtest::MemStorage dev(img, cs);
  dev.type = DT_LETTER_VOLUME;
  ScanController sc;
  ASSERT_EQ(0, sc.Init(&dev, CLUSTER_SCAN));
  ASSERT_EQ(int64_t(units), sc.GetClusterCount());
  ClusterBuf cb(cs);
  for (int64_t l = 0; l < int64_t(units); ++l) {
    cb.lcn = l;
    ASSERT_EQ(0, sc.ReadCluster(cb)) << l;
    ASSERT_EQ(l, cb.lcn);
    ASSERT_EQ(0, std::memcmp(cb.GetData(), &img[size_t(l) * cs], cs)) << l;
  }
  cb.lcn = int64_t(units);
  EXPECT_NE(0, sc.ReadCluster(cb));
  // Each window is one device read of the whole window (the last one shorter).
  EXPECT_EQ(3u, dev.reads.size());
  // A clone keeps its bytes when the window moves on.
  cb.lcn = 0;
  ASSERT_EQ(0, sc.ReadCluster(cb));
  ClusterBuf kept = cb.Clone();
  cb.lcn = int64_t(units) - 1;
  ASSERT_EQ(0, sc.ReadCluster(cb));
  EXPECT_EQ(0, std::memcmp(kept.GetData(), &img[0], cs));
  // Made ready for another device, the controller reads that device's bytes rather than
  // serve the window it still holds of the first.
  std::vector<uint8_t> other(img.size(), 0x5A);
  rawtest::MemStorage dev2(other, cs);
  dev2.type = DT_LETTER_VOLUME;
  ASSERT_EQ(0, sc.Init(&dev2, CLUSTER_SCAN));
  cb.lcn = int64_t(units) - 1;
  ASSERT_EQ(0, sc.ReadCluster(cb));
  EXPECT_EQ(0, std::memcmp(cb.GetData(), &other[0], cs));
  EXPECT_EQ(1u, dev2.reads.size());
  // A bitmap whose data area would begin past the device's end: the units are counted from
  // the device's start instead of from a count that wrapped.
  ScanController far;
  far.PresetBitmap(new rawtest::SetBitmap(uint32_t(units)), int64_t(img.size()) + cs);
  ASSERT_EQ(0, far.Init(&dev, CLUSTER_BITMAP_SCAN));
  EXPECT_EQ(0, far.GetDataStart());
  EXPECT_EQ(int64_t(units), far.GetClusterCount());
}
