#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "scanoperate/hfsp/namecmp.h"
#include "scanoperate/hfsp/trackedalloc.h"

namespace {

std::vector<uint8_t> Name(const std::u16string& s, int claimUnits = -1) {
  std::vector<uint8_t> v(2 + 2 * s.size());
  uint16_t n = uint16_t(claimUnits < 0 ? s.size() : claimUnits);
  v[0] = uint8_t(n >> 8);
  v[1] = uint8_t(n);
  for (size_t i = 0; i < s.size(); ++i) {
    v[2 + 2 * i] = uint8_t(s[i] >> 8);
    v[3 + 2 * i] = uint8_t(s[i]);
  }
  return v;
}
int Fold(const std::u16string& a, const std::u16string& b) {
  auto x = Name(a), y = Name(b);
  return hfsFastUnicodeCompare(x.data(), x.size(), y.data(), y.size());
}
int Bin(const std::u16string& a, const std::u16string& b) {
  auto x = Name(a), y = Name(b);
  return hfsBinaryUnicodeCompare(x.data(), x.size(), y.data(), y.size());
}

}  // namespace

TEST(HfspNameCompare, CaseFoldingAgainstBinaryOrder) {
  EXPECT_EQ(Fold(u"Abc", u"aBC"), 0);
  EXPECT_EQ(Bin(u"Abc", u"aBC"), -1);
  EXPECT_EQ(Bin(u"abc", u"Abc"), 1);
  // Ignorable units vanish; an empty name sorts first; a prefix sorts first.
  EXPECT_EQ(Fold(u"ab\u200Dc", u"abc"), 0);
  EXPECT_EQ(Fold(u"", u""), 0);
  EXPECT_EQ(Fold(u"", u"a"), -1);
  EXPECT_EQ(Fold(u"a", u""), 1);
  EXPECT_EQ(Fold(u"abc", u"abcd"), -1);
  EXPECT_EQ(Bin(u"abcd", u"abc"), 1);
  // Folding beyond ASCII: Greek, Cyrillic, full-width; a precomposed letter does not fold.
  EXPECT_EQ(Fold(u"\u0391\u0392", u"\u03B1\u03B2"), 0);
  EXPECT_EQ(Fold(u"\u0416", u"\u0436"), 0);
  EXPECT_EQ(Fold(u"\uFF21", u"\uFF41"), 0);
  EXPECT_NE(Fold(u"\u00C9", u"\u00E9"), 0);
  EXPECT_EQ(caseFoldLookup(0x0000), 0xFFFF);
  EXPECT_EQ(caseFoldLookup(0x00C6), 0x00E6);
  EXPECT_EQ(caseFoldLookup(0x4E00), 0x4E00);
}

TEST(HfspNameCompare, LengthClampedToBytesPresent) {
  // A length field of 255 over three units: only the three present are compared, and
  // nothing beyond the buffer is read (ASan watches).
  auto longClaim = Name(u"abc", 255);
  auto plain = Name(u"ABC");
  EXPECT_EQ(hfsNameUnitsPresent(longClaim.data(), longClaim.size()), 3);
  EXPECT_EQ(hfsFastUnicodeCompare(longClaim.data(), longClaim.size(), plain.data(), plain.size()), 0);
  EXPECT_EQ(hfsNameUnitsPresent(longClaim.data(), 1), 0);
  std::vector<uint8_t> big(2 + 2 * 300, 0x41);
  big[0] = 0x01;
  big[1] = 0x2C;  // 300 units claimed and present: cut to 255
  EXPECT_EQ(hfsNameUnitsPresent(big.data(), big.size()), 255);
}

TEST(HfspNameCompare, KeyOrdersParentFirst) {
  std::vector<uint8_t> a = {0, 0, 0, 1}, b = {0, 0, 0, 2};
  auto n = Name(u"zzz"), m = Name(u"aaa");
  a.insert(a.end(), n.begin(), n.end());
  b.insert(b.end(), m.begin(), m.end());
  EXPECT_EQ(hfsplus_name_key_cmp(a.data(), a.size(), b.data(), b.size()), -1);
  EXPECT_EQ(hfsplus_name_key_cmp(b.data(), b.size(), a.data(), a.size()), 1);
  EXPECT_EQ(hfsplus_name_key_cmp(a.data(), a.size(), a.data(), a.size()), 0);
}

TEST(HfspTrackedAlloc, AccountsAndIgnoresForeignBlocks) {
  uint64_t before = trackedMemoryUse();
  size_t blocks = trackedBlockCount();
  void* p = trackedMalloc(100, "here.cpp", 1);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(trackedMemoryUse(), before + 100);
  EXPECT_EQ(trackedBlockCount(), blocks + 1);
  trackedFree(p);
  trackedFree(nullptr);
  EXPECT_EQ(trackedMemoryUse(), before);
  EXPECT_EQ(trackedBlockCount(), blocks);
  int local = 0;
  trackedFree(&local);  // not ours: left alone
  EXPECT_EQ(trackedBlockCount(), blocks);
}

TEST(HfspTrackedAlloc, OneNumberedLinePerAllocation) {
  trackedFlushLog();
  testing::internal::CaptureStdout();
  void* a = trackedMalloc(7, "x", 1);
  void* b = trackedMalloc(9, "x", 2);
  trackedFlushLog();
  std::string out = testing::internal::GetCapturedStdout();
  trackedFree(a);
  trackedFree(b);
  long long n1 = -1, n2 = -1;
  int s1 = 0, s2 = 0;
  ASSERT_EQ(sscanf(out.c_str(), "ZQ_MALLOC_EXT count==%lld   size=%d\nZQ_MALLOC_EXT count==%lld   size=%d\n",
                   &n1, &s1, &n2, &s2),
            4)
      << out;
  EXPECT_EQ(n2, n1 + 1);
  EXPECT_EQ(s1, 7);
  EXPECT_EQ(s2, 9);
}
