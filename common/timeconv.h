// Engine time values: C time values (seconds since 1970 UTC) of the local midnight of a
// file's day, and the conversions from the on-disk date formats.
#pragma once
#include <cstdint>

struct CalendarDate {
  int year;
  int month;  // 1-12
  int day;    // 1-31
  int weekday;
  int hour;
  int minute;
  int second;
};

// -1 when the date is not representable as a value in [0, INT32_MAX].
int MakeLocalTime(int year, int month, int day, int hour, int minute, int second);
int DosDateToTime(uint16_t dosDate, uint16_t dosTime);
void FileTimeToDate(uint32_t low, uint32_t high, CalendarDate* out);
int FileTimeToTime(uint32_t low, uint32_t high);
// "YYYY-MM-DD" into a buffer of at least 12 characters; null when the time cannot be converted.
char16_t* TimeToDateText(int time, char16_t* buf);
int ParseDateText(const char16_t* text);
// Milliseconds since the previous call (the first call counts from 0).
int TickDelta();
