#include "common/timeconv.h"

#include <climits>
#include <cstdio>
#include <ctime>

#include "platform/platform.h"

int MakeLocalTime(int year, int month, int day, int hour, int minute, int second) {
  std::tm t = {};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_sec = second;
  // Let the C library decide whether daylight saving applies, so that a summer date lands on
  // its own local midnight and not an hour after it.
  t.tm_isdst = -1;
  std::time_t v = std::mktime(&t);
  if (v == std::time_t(-1) || v < 0 || v > std::time_t(INT32_MAX)) return -1;
  return int(v);
}

int DosDateToTime(uint16_t dosDate, uint16_t) {
  return MakeLocalTime((dosDate >> 9) + 1980, (dosDate >> 5) & 15, dosDate & 31, 0, 0, 0);
}

static bool IsLeap(int64_t y) { return (y % 400 == 0) || (y % 4 == 0 && y % 100 != 0); }

void FileTimeToDate(uint32_t low, uint32_t high, CalendarDate* out) {
  if (!out) return;
  static const int kDays[13] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334, 365};
  static const int kLeapDays[13] = {0, 31, 60, 91, 121, 152, 182, 213, 244, 274, 305, 335, 366};
  uint64_t value = (uint64_t(high) << 32) | low;
  int64_t days = int64_t(value / 864000000000ull);
  out->weekday = int(days % 7) + 1;
  int64_t year = 1601;
  // 400-year cycles first: a corrupt FILETIME may lie tens of thousands of years out.
  year += (days / 146097) * 400;
  days %= 146097;
  for (;;) {
    int len = IsLeap(year) ? 366 : 365;
    if (days < len) break;
    days -= len;
    ++year;
  }
  const int* table = IsLeap(year) ? kLeapDays : kDays;
  int month = 1;
  while (month < 12 && days >= table[month]) ++month;
  out->year = int(year);
  out->month = month;
  out->day = int(days - table[month - 1]) + 1;
  out->hour = out->minute = out->second = 0;
}

int FileTimeToTime(uint32_t low, uint32_t high) {
  // A FILETIME is an instant in UTC; the file's day is the local calendar day of that
  // instant (as the owner saw it), not the UTC one, which differs for the hours between
  // local and UTC midnight.
  uint64_t value = (uint64_t(high) << 32) | low;
  const int64_t kUnixEpochSeconds = 11644473600;  // 1601-01-01 to 1970-01-01
  std::time_t seconds = std::time_t(int64_t(value / 10000000ull) - kUnixEpochSeconds);
  std::tm local;
  if (localtime_r(&seconds, &local)) {
    // The midnight of that day is the instant less the time since it, unless the clocks
    // changed in between (the day's midnight then has another offset, or does not exist):
    // that is checked by converting it back. mktime would give the same answer, but it
    // reads the zone file again on every call, which a scan of many files cannot afford.
    std::time_t midnight = seconds - (local.tm_hour * 3600 + local.tm_min * 60 + local.tm_sec);
    std::tm back;
    if (localtime_r(&midnight, &back) && back.tm_hour == 0 && back.tm_min == 0 && back.tm_sec == 0 &&
        back.tm_mday == local.tm_mday && back.tm_mon == local.tm_mon && back.tm_year == local.tm_year &&
        back.tm_isdst == local.tm_isdst) {
      if (midnight < 0 || midnight > std::time_t(INT32_MAX)) return -1;
      return int(midnight);
    }
    return MakeLocalTime(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, 0, 0, 0);
  }
  CalendarDate d;
  FileTimeToDate(low, high, &d);
  return MakeLocalTime(d.year, d.month, d.day, 0, 0, 0);
}

char16_t* TimeToDateText(int time, char16_t* buf) {
  if (!buf || time < 0) return nullptr;
  std::time_t v = time;
  std::tm t;
  if (!localtime_r(&v, &t)) return nullptr;
  char text[32];
  int n = std::snprintf(text, sizeof text, "%04d-%02d-%02d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday);
  if (n < 0 || n > 11) return nullptr;
  for (int i = 0; i <= n; ++i) buf[i] = char16_t(text[i]);
  return buf;
}

// _wtol: optional blanks and sign, then decimal digits; saturates instead of overflowing.
static long WideToLong(const char16_t* s) {
  while (*s == ' ' || *s == '\t') ++s;
  bool neg = false;
  if (*s == '-' || *s == '+') neg = (*s++ == '-');
  long v = 0;
  for (; *s >= '0' && *s <= '9'; ++s) {
    if (v > 100000000) break;
    v = v * 10 + (*s - '0');
  }
  return neg ? -v : v;
}

static const char16_t* FindDash(const char16_t* s) {
  for (; *s; ++s)
    if (*s == '-') return s;
  return nullptr;
}

int ParseDateText(const char16_t* text) {
  if (!text) return -1;
  long y = WideToLong(text);
  // The first number may carry no sign, so the separator search starts after its first character.
  const char16_t* p = *text ? FindDash(text + 1) : nullptr;
  if (!p) return -1;
  long m = WideToLong(p + 1);
  const char16_t* q = FindDash(p + 1);
  if (!q) return -1;
  long d = WideToLong(q + 1);
  return MakeLocalTime(int(y), int(m), int(d), 0, 0, 0);
}

int TickDelta() {
  static uint64_t last = 0;
  uint64_t now = plat::MonotonicMs();
  uint64_t delta = now - last;
  last = now;
  return delta > uint64_t(INT32_MAX) ? INT32_MAX : int(delta);
}
