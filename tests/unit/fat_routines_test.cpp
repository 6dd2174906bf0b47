// FAT directory-entry routines: 8.3 name text and validity, long names gathered from their
// runs, the checksums an entry carries, the "~1" test, and creation and write times with
// their range checks, under pinned time zones.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "common/inc/bytes.h"
#include "filesystems/fatentry.h"
#include "testutil.h"
#include "fatentries.h"

using namespace fat;

namespace {

using testutil::ZoneGuard;

void ShortEntry(uint8_t* e, const char* name11) {
  std::memset(e, 0, 32);
  std::memcpy(e, name11, 11);
  e[11] = 0x20;
}

std::u16string Text(const uint8_t* e, int* n = nullptr) {
  std::u16string s = u"stale";
  int r = FatShortNameToString(e, &s);
  if (n) *n = r;
  return s;
}

// The checksum as the FAT documentation writes it, for comparison.
uint8_t ReferenceSum(const char* name11) {
  uint8_t sum = 0;
  for (int i = 0; i < 11; ++i) sum = uint8_t(((sum & 1) ? 0x80 : 0) + (sum >> 1) + uint8_t(name11[i]));
  return sum;
}

}  // namespace

TEST(FatRoutines, ShortNameTextAndValidity) {
  uint8_t e[32];
  int n = 0;
  // A deleted entry: the lost first byte shows as "_".
  ShortEntry(e, "\xE5OO     TXT");
  EXPECT_EQ(Text(e, &n), u"_OO.TXT");
  EXPECT_EQ(n, 7);
  ShortEntry(e, "ABC        ");
  EXPECT_EQ(Text(e, &n), u"ABC");  // a blank extension has no dot
  EXPECT_EQ(n, 3);
  // Blanks inside the base stay; only the padding goes.
  ShortEntry(e, "AB CD   TXT");
  EXPECT_EQ(Text(e), u"AB CD.TXT");
  // Lower-case flags of byte 12.
  ShortEntry(e, "README  TXT");
  e[12] = 0x08;
  EXPECT_EQ(Text(e), u"readme.TXT");
  // A leading blank, control bytes and the characters no 8.3 name holds: -1, empty text.
  for (const char* bad : {" ABC    TXT", "AB\x01     TXT", "A+B     TXT", "A[B]    TXT", "AB|     TXT"}) {
    ShortEntry(e, bad);
    EXPECT_EQ(Text(e, &n), u"") << bad;
    EXPECT_EQ(n, -1) << bad;
  }
  EXPECT_EQ(FatShortNameToString(nullptr, nullptr), -1);
  // OEM bytes are characters of code page 437 in a name, though not printable in the C
  // locale: the strict test refuses 0x81, the name text maps it.
  ShortEntry(e, "AB\x81     TXT");
  EXPECT_EQ(FatIsInvalidShortName(e), 1);
  EXPECT_EQ(FatIsInvalidShortName(e, true), 0);
  EXPECT_EQ(Text(e), u"AB\u00FC.TXT");
  ShortEntry(e, "\xE5OO     TXT");
  EXPECT_EQ(FatIsInvalidShortName(e), 0);
  // The directory parse's decoder gives the same text and leaves the entry as it was: a
  // later look at it must still find it deleted.
  EXPECT_EQ(FatNameDecoder::BuildShortName(e), u"_OO.TXT");
  EXPECT_EQ(e[0], 0xE5);
  ShortEntry(e, " ABC    TXT");
  EXPECT_EQ(FatNameDecoder::BuildShortName(e), u"");
  EXPECT_EQ(FatNameDecoder::BuildShortName(nullptr), u"");
}

TEST(FatRoutines, LongNamesChecksumsAndTildeTest) {
  const char* shortName = "LONGFI~1TXT";
  uint8_t sum = 0;
  ASSERT_TRUE(FatShortNameChecksum(reinterpret_cast<const uint8_t*>(shortName), &sum));
  EXPECT_EQ(sum, ReferenceSum(shortName));
  // The checksum runs on from the byte it is given.
  uint8_t twice = sum;
  FatShortNameChecksum(reinterpret_cast<const uint8_t*>(shortName), &twice);
  EXPECT_NE(twice, sum);
  EXPECT_FALSE(FatShortNameChecksum(nullptr, &sum));

  uint8_t run[3 * 32];
  std::u16string name = u"long file name.txt";  // 18 characters: two pieces, last stored first
  testutil::PutLfnEntry(run, 0x42, name.substr(13), sum);
  testutil::PutLfnEntry(run + 32, 0x01, name.substr(0, 13), sum);
  ShortEntry(run + 64, shortName);

  std::u16string out = u"old text";
  EXPECT_EQ(FatLongNameFromEntries(run + 64, run, &out), 18);
  EXPECT_EQ(out, name);
  EXPECT_EQ(FatNameDecoder::BuildLongName(run, run + 64), name);
  EXPECT_EQ(FatNameDecoder::BuildLongName(run, run + 40), u"");
  // Only the entry next to the short entry: its 13 characters, the output emptied first.
  EXPECT_EQ(FatLongNameFromEntries(run + 64, run + 32, &out), 13);
  EXPECT_EQ(out, name.substr(0, 13));
  // A first character 0 gives no name; a distance that is no whole entry gives nothing.
  uint8_t empty[32];
  testutil::PutLfnEntry(empty, 0x41, u"", sum);
  EXPECT_EQ(FatLongNameFromEntries(empty + 32, empty, &out), 0);
  EXPECT_EQ(FatLongNameFromEntries(run + 40, run, &out), 0);
  EXPECT_EQ(FatLongNameFromEntries(run, run, &out), 0);
  EXPECT_TRUE(out.empty());
  // A run whose terminator was lost ends at the 0xFFFF filler.
  uint8_t noNul[32];
  testutil::PutLfnEntry(noNul, 0x41, u"ab", sum);
  kbytes::PutLe16(noNul + 5, 0xFFFF);
  EXPECT_EQ(FatLongNameFromEntries(noNul + 32, noNul, &out), 2);

  // The checksum an entry carries: its own byte 13, or that of its short name.
  uint8_t got = 0;
  ASSERT_TRUE(FatEntryChecksum(run, &got));
  EXPECT_EQ(got, sum);
  run[13] = 0x5A;
  ASSERT_TRUE(FatEntryChecksum(run, &got));
  EXPECT_EQ(got, 0x5A);
  got = 0x77;  // a short entry's checksum starts from zero whatever the byte held
  ASSERT_TRUE(FatEntryChecksum(run + 64, &got));
  EXPECT_EQ(got, sum);
  EXPECT_FALSE(FatEntryChecksum(nullptr, &got));

  EXPECT_EQ(FatCompareTildeOne(run + 64), 0);
  ShortEntry(run + 64, "LONGFI~2TXT");
  EXPECT_EQ(FatCompareTildeOne(run + 64), 1);
  EXPECT_EQ(FatCompareTildeOne(run), -1);  // a long-name entry
  EXPECT_EQ(FatCompareTildeOne(nullptr), -1);
}

TEST(FatRoutines, TimesDecodeWithTheirRangeChecks) {
  uint8_t e[32];
  ShortEntry(e, "A       TXT");
  auto put = [&](int off, uint16_t time, uint16_t date) {
    kbytes::PutLe16(e + off, time);
    kbytes::PutLe16(e + off + 2, date);
  };
  {
    ZoneGuard utc("UTC");
    put(22, 0xBF7D, 0x5A21);  // 23:59:58 on 2025-01-01
    put(14, 0x0000, 0x5A21);  // 00:00:00 the same day
    EXPECT_EQ(FatDecodeWriteTime(e), 1735775998);
    EXPECT_EQ(FatDecodeCreateTime(e), 1735689600);
    // Seconds field 30 (60 seconds), minute 60, hour 24, month 13: no time.
    put(22, 0xBF7E, 0x5A21);
    EXPECT_EQ(FatDecodeWriteTime(e), 0);
    put(22, uint16_t(60 << 5), 0x5A21);
    EXPECT_EQ(FatDecodeWriteTime(e), 0);
    put(22, uint16_t(24 << 11), 0x5A21);
    EXPECT_EQ(FatDecodeWriteTime(e), 0);
    put(14, 0, uint16_t((45 << 9) | (13 << 5) | 1));
    EXPECT_EQ(FatDecodeCreateTime(e), 0);
    // A day 0 rolls back to the month before, as the C library does.
    EXPECT_EQ(FatMakeTime(0, 0, 0, 0, 1, 125), 1735603200);  // 2024-12-31
    EXPECT_EQ(FatDecodeWriteTime(nullptr), 0);
  }
  {
    // In a zone with daylight saving the result is the local clock time that the entry
    // names, in winter and in summer.
    ZoneGuard berlin("Europe/Berlin");
    put(22, 0xBF7D, 0x5A21);
    std::time_t t = std::time_t(FatDecodeWriteTime(e));
    std::tm lt = {};
    localtime_r(&t, &lt);
    EXPECT_EQ(lt.tm_year * 10000 + (lt.tm_mon + 1) * 100 + lt.tm_mday, 1250101);
    EXPECT_EQ(lt.tm_hour * 10000 + lt.tm_min * 100 + lt.tm_sec, 235958);
    put(22, uint16_t((12 << 11) | (30 << 5) | 5), uint16_t((45 << 9) | (7 << 5) | 1));  // 12:30:10 2025-07-01
    t = std::time_t(FatDecodeWriteTime(e));
    localtime_r(&t, &lt);
    EXPECT_EQ(lt.tm_hour * 10000 + lt.tm_min * 100 + lt.tm_sec, 123010);
    EXPECT_EQ(lt.tm_mon + 1, 7);
  }
}
