// The EFS backup stream's byte layout for the sizes that sit on block boundaries.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "common/inc/bytes.h"
#include "filemanager/efsexport.h"
#include "filemanager/fileinfo.h"

namespace {

struct VecSource : IEfsByteSource {
  std::vector<uint8_t> bytes;
  bool fail = false;
  int ReadAt(uint64_t off, void* buf, uint32_t len) override {
    if (fail || off > bytes.size() || bytes.size() - off < len) return -1;
    memcpy(buf, bytes.data() + off, len);
    return 0;
  }
};

std::vector<uint8_t> Pattern(size_t n, uint32_t seed) {
  std::mt19937 r(seed);
  std::vector<uint8_t> v(n);
  for (auto& b : v) b = uint8_t(r() | 1);  // never zero, so padding is told apart
  return v;
}

std::vector<uint8_t> PullAll(NtfsEncryptedFile& f, uint32_t piece) {
  std::vector<uint8_t> out;
  std::vector<uint8_t> buf(piece);
  for (int guard = 0; guard < 1000000; ++guard) {
    uint32_t len = piece;
    EXPECT_EQ(f.Pull(buf.data(), &len), 0);
    if (len == 0) break;
    out.insert(out.end(), buf.begin(), buf.begin() + len);
  }
  return out;
}

bool MarkerAt(const std::vector<uint8_t>& s, size_t off, const char* m) {
  for (int i = 0; i < 4; ++i)
    if (off + 2 * i + 1 >= s.size() || s[off + 2 * i] != uint8_t(m[i]) || s[off + 2 * i + 1] != 0) return false;
  return true;
}

// Checks every field of the stream and returns the $DATA bytes it carried.
void CheckStream(const std::vector<uint8_t>& s, const std::vector<uint8_t>& meta,
                 const std::vector<uint8_t>& data) {
  ASSERT_GE(s.size(), 66u + meta.size());
  EXPECT_EQ(kbytes::Le32(&s[0]), 256u);
  EXPECT_TRUE(MarkerAt(s, 4, "ROBS"));
  EXPECT_EQ(kbytes::Le32(&s[20]), 30u);
  EXPECT_TRUE(MarkerAt(s, 24, "NTFS"));
  EXPECT_EQ(kbytes::Le32(&s[44]), 2u);
  EXPECT_EQ(s[48], 16);
  EXPECT_EQ(s[49], 25);
  EXPECT_EQ(kbytes::Le32(&s[50]), meta.size() + 16);
  EXPECT_TRUE(MarkerAt(s, 54, "GURE"));
  if (!meta.empty()) {
    EXPECT_EQ(0, memcmp(&s[66], meta.data(), meta.size()));
  }
  size_t p = 66 + meta.size();
  size_t exported = 0;
  uint16_t n = 0;
  while (exported < data.size()) {
    ASSERT_GE(s.size(), p + 512);
    size_t rest = data.size() - exported;
    uint32_t L = uint32_t(std::min<size_t>(rest, 65536));
    uint32_t D = rest >= 65536 ? 65536 : (L + 511) / 512 * 512;
    size_t desc;
    if (n == 0) {
      EXPECT_EQ(kbytes::Le32(&s[p]), 42u);
      EXPECT_TRUE(MarkerAt(s, p + 4, "NTFS"));
      EXPECT_EQ(kbytes::Le32(&s[p + 24]), 14u);
      EXPECT_EQ(0, memcmp(&s[p + 28], u"::$DATA", 14));
      EXPECT_EQ(kbytes::Le32(&s[p + 42]), D + 470);
      EXPECT_TRUE(MarkerAt(s, p + 46, "GURE"));
      desc = p + 58;
      EXPECT_EQ(kbytes::Le16(&s[desc + 8]), 454);
    } else {
      EXPECT_EQ(kbytes::Le32(&s[p]), D + 512);
      EXPECT_TRUE(MarkerAt(s, p + 4, "GURE"));
      desc = p + 16;
      EXPECT_EQ(kbytes::Le16(&s[desc + 8]), 496);
    }
    EXPECT_EQ(kbytes::Le16(&s[desc + 2]), n);
    EXPECT_EQ(kbytes::Le32(&s[desc + 12]), L);
    EXPECT_EQ(kbytes::Le32(&s[desc + 16]), L);
    EXPECT_EQ(kbytes::Le16(&s[desc + 22]), 0x0D0D);
    EXPECT_EQ(kbytes::Le32(&s[desc + 24]), 0x1010Cu);
    EXPECT_EQ(kbytes::Le32(&s[desc + 28]), D);
    ASSERT_GE(s.size(), p + 512 + D);
    if (L) {
      EXPECT_EQ(0, memcmp(&s[p + 512], data.data() + exported, L));
    }
    for (uint32_t i = L; i < D; ++i) ASSERT_EQ(s[p + 512 + i], 0) << "padding at " << i;
    p += 512 + D;
    exported += L;
    ++n;
  }
  EXPECT_EQ(p, s.size());
}

}  // namespace

TEST(EfsStream, LayoutAtBlockBoundaries) {
  for (size_t metaSize : {size_t(0), size_t(5000)}) {
    for (size_t dataSize : {size_t(0), size_t(1), size_t(512), size_t(65536), size_t(65537), size_t(200000)}) {
      VecSource meta, data;
      meta.bytes = Pattern(metaSize, 1);
      data.bytes = Pattern(dataSize, 2);
      for (uint32_t piece : {1u, 4096u, 67194u}) {
        NtfsEncryptedFile f(metaSize, &meta, dataSize, &data);
        auto s = PullAll(f, piece);
        SCOPED_TRACE(testing::Message() << "meta " << metaSize << " data " << dataSize << " piece " << piece);
        CheckStream(s, meta.bytes, data.bytes);
      }
    }
  }
}

TEST(EfsStream, FailuresAreReported) {
  VecSource meta, data;
  meta.bytes = Pattern(100, 1);
  data.bytes = Pattern(1000, 2);
  data.fail = true;
  NtfsEncryptedFile f(100, &meta, 1000, &data);
  std::vector<uint8_t> buf(4096);
  uint32_t len = 4096;
  EXPECT_EQ(f.Pull(buf.data(), &len), -1);
  // Metadata too large for the header's 32-bit field.
  NtfsEncryptedFile big(0xFFFFFFFFull, &meta, 0, &data);
  len = 16;
  EXPECT_EQ(big.Pull(buf.data(), &len), -1);

  CEncRunList runs;
  EXPECT_EQ(NtfsEncryptedFile::Export(&runs, u"/tmp/x"), -1);
  runs.m_first = new StreamDesc{};
  runs.m_second = new StreamDesc{};
  EXPECT_EQ(NtfsEncryptedFile::Export(&runs, u"/tmp/x"), int(0xEFFFFFFF));
}
