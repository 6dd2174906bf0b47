// Date conversions under pinned time zones, one without and one with daylight saving.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "common/timeconv.h"
#include "filemanager/trashes.h"
#include "testutil.h"

namespace {

using testutil::ZoneGuard;

std::u16string Text(int t) {
  char16_t buf[12];
  const char16_t* s = TimeToDateText(t, buf);
  return s ? std::u16string(s) : u"(null)";
}

// FILETIME of a Unix time.
void ToFileTime(int64_t unix, uint32_t* low, uint32_t* high) {
  uint64_t v = uint64_t(unix + 11644473600ll) * 10000000ull;
  *low = uint32_t(v);
  *high = uint32_t(v >> 32);
}

// The local calendar day of a time value.
std::string LocalDay(int value) {
  std::time_t t = value;
  std::tm tm;
  if (value < 0 || !localtime_r(&t, &tm)) return "invalid";
  char text[48];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
  return text;
}

}  // namespace

TEST(TimeConv, UtcValues) {
  ZoneGuard z("UTC0");
  EXPECT_EQ(1735689600, DosDateToTime(0x5A21, 0xFFFF));  // 2025-01-01
  EXPECT_EQ(MakeLocalTime(1980, 2, 1, 0, 0, 0), MakeLocalTime(1980, 1, 32, 0, 0, 0));
  EXPECT_EQ(-1, MakeLocalTime(1969, 12, 31, 0, 0, 0));
  EXPECT_EQ(-1, MakeLocalTime(2040, 1, 1, 0, 0, 0));  // past the 32-bit range
  EXPECT_EQ(u"2024-02-29", Text(MakeLocalTime(2024, 2, 29, 0, 0, 0)));
  EXPECT_EQ(u"(null)", Text(-1));
  EXPECT_EQ(MakeLocalTime(2023, 7, 4, 0, 0, 0), ParseDateText(u"2023-07-04"));
  EXPECT_EQ(-1, ParseDateText(u"2023"));

  CalendarDate d;
  uint32_t lo, hi;
  ToFileTime(951868800, &lo, &hi);  // 2000-03-01 00:00:00
  FileTimeToDate(lo, hi, &d);
  EXPECT_EQ(2000, d.year);
  EXPECT_EQ(3, d.month);
  EXPECT_EQ(1, d.day);
  ToFileTime(951868800 - 1, &lo, &hi);  // the leap day before it
  FileTimeToDate(lo, hi, &d);
  EXPECT_EQ(2, d.month);
  EXPECT_EQ(29, d.day);
  // A time of day is dropped: the value is the midnight of the day.
  ToFileTime(1700000000, &lo, &hi);
  EXPECT_EQ(MakeLocalTime(2023, 11, 14, 0, 0, 0), FileTimeToTime(lo, hi));
  FileTimeToDate(0xFFFFFFFF, 0xFFFFFFFF, &d);  // corrupt: far future, no hang
  EXPECT_GT(d.year, 50000);
  EXPECT_EQ(-1, FileTimeToTime(0, 0));
}

TEST(TimeConv, DaylightSavingZoneKeepsLocalMidnight) {
  ZoneGuard z("EST5EDT,M3.2.0,M11.1.0");
  int summer = MakeLocalTime(2024, 7, 1, 0, 0, 0);
  std::time_t v = summer;
  std::tm t;
  ASSERT_NE(nullptr, localtime_r(&v, &t));
  EXPECT_EQ(0, t.tm_hour);
  EXPECT_EQ(1, t.tm_mday);
  EXPECT_EQ(1719806400, summer);  // 04:00 UTC
  EXPECT_EQ(u"2024-07-01", Text(summer));
  uint32_t lo, hi;
  ToFileTime(1719806400 + 3600 * 10, &lo, &hi);
  EXPECT_EQ(summer, FileTimeToTime(lo, hi));
  EXPECT_EQ(1735707600, DosDateToTime(0x5A21, 0));  // 2025-01-01 05:00 UTC
}

// An NTFS time is a UTC instant; the file's day is the day its owner saw on the clock.
// Before the fix the UTC day was taken, one day off for the hours between the two midnights.
TEST(TimeConv, FileTimeGivesTheLocalDayInEveryZone) {
  uint32_t lo, hi;
  {
    ZoneGuard z("EST5EDT,M3.2.0,M11.1.0");
    ToFileTime(1719885600, &lo, &hi);  // 2024-07-02 02:00 UTC = 2024-07-01 22:00 EDT
    EXPECT_EQ("2024-07-01", LocalDay(FileTimeToTime(lo, hi)));
    EXPECT_EQ(MakeLocalTime(2024, 7, 1, 0, 0, 0), FileTimeToTime(lo, hi));
    ToFileTime(1704153600, &lo, &hi);  // 2024-01-02 00:00 UTC = 2024-01-01 19:00 EST
    EXPECT_EQ("2024-01-01", LocalDay(FileTimeToTime(lo, hi)));
  }
  {
    ZoneGuard z("JST-9");
    ToFileTime(1719846000, &lo, &hi);  // 2024-07-01 15:00 UTC = 2024-07-02 00:00 JST
    EXPECT_EQ("2024-07-02", LocalDay(FileTimeToTime(lo, hi)));
  }
  {
    ZoneGuard z("UTC0");
    ToFileTime(1719885600, &lo, &hi);
    EXPECT_EQ("2024-07-02", LocalDay(FileTimeToTime(lo, hi)));
    EXPECT_EQ(-1, FileTimeToTime(0, 0));  // 1601: not a time value
    EXPECT_EQ(-1, FileTimeToTime(0xFFFFFFFF, 0xFFFFFFFF));
  }
}

// The day's midnight is worked out without mktime; around every clock change of the year,
// and in a zone whose clocks change at midnight itself, it must be what mktime gives.
TEST(TimeConv, FileTimeMidnightMatchesMktimeAroundClockChanges) {
  for (const char* zone : {"EST5EDT,M3.2.0,M11.1.0", "CET-1CEST,M3.5.0,M10.5.0/3", "<-03>3<-02>,M10.3.0/0,M2.3.0/0",
                           "UTC0", "<+1030>-10:30<+11>-11,M10.1.0,M4.1.0"}) {
    ZoneGuard z(zone);
    for (int64_t t = 1704067200; t < 1704067200 + 366 * 86400; t += 1800 + 7) {  // 2024, every 30 min
      uint32_t lo, hi;
      ToFileTime(t, &lo, &hi);
      std::time_t tt = std::time_t(t);
      std::tm tm;
      ASSERT_NE(nullptr, localtime_r(&tt, &tm));
      int want = MakeLocalTime(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, 0, 0, 0);
      ASSERT_EQ(want, FileTimeToTime(lo, hi)) << zone << " at " << t;
    }
  }
}

TEST(TimeConv, TrashPaths) {
  Trashes t;
  EXPECT_FALSE(t.BuildTrashPath("E:"));
  EXPECT_TRUE(t.BuildTrashPath("/Volumes/USB"));
  EXPECT_STREQ("/Volumes/USB/.Trashes", t.GetPath());
  EXPECT_TRUE(t.BuildTrashPath("/"));
  EXPECT_STREQ("/Users//.Trash", t.GetPath());
  EXPECT_EQ(-1, t.ScanTrash(nullptr, nullptr));
  EXPECT_GE(TickDelta(), 0);
}
