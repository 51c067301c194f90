// Date-time values, their formatting, the local time-zone bias and the performance
// counter.
//
// A TDateTime is a number of days since 1899-12-30 00:00: the integral part counts the
// days, the fraction is the time of day (0.5 = noon). Before that date the integral
// part is negative and the fraction still counts forward from midnight (-1.25 is
// 1899-12-29 06:00).
#pragma once
#include <cstdint>
#include <string>

namespace Platform {

using TDateTime = double;

// The day number of 1970-01-01 (the Unix epoch).
constexpr TDateTime UnixDateDelta = 25569.0;

// The local date and time, to the millisecond.
TDateTime Now();

// Raise Platform::Exception on a date or time that does not exist (month 13,
// February 30, hour 24, ...).
TDateTime EncodeDate(int AYear, int AMonth, int ADay);
TDateTime EncodeTime(int AHour, int AMinute, int ASecond, int AMilliSecond);
bool TryEncodeDate(int AYear, int AMonth, int ADay, TDateTime& AResult);
bool TryEncodeTime(int AHour, int AMinute, int ASecond, int AMilliSecond, TDateTime& AResult);
// The parts of a date-time, the time rounded to the nearest millisecond.
void DecodeDate(TDateTime ADateTime, int& AYear, int& AMonth, int& ADay);
void DecodeTime(TDateTime ADateTime, int& AHour, int& AMinute, int& ASecond,
                int& AMilliSecond);

// Formats ADateTime by the tokens of AFormat:
//   yyyy year with four digits, yy its last two;
//   mm / m month with / without a leading zero (minutes right after an hour token);
//   dd / d day;  hh / h hour (00-23);  nn / n minute;  ss / s second;
//   zzz / z millisecond with / without leading zeros;
//   text between single or double quotes is copied without its quotes;
//   any other character is copied as it is.
std::string FormatDateTime(const std::string& AFormat, TDateTime ADateTime);

// The time-zone bias of the local time in minutes: UTC minus local time (-480 for a
// zone eight hours east of UTC). Taken from the C library's local time of now, so the
// TZ environment variable applies.
int GetTimeZoneBias();

// A monotonic counter in nanoseconds; the frequency is therefore 1,000,000,000.
std::int64_t QueryPerformanceCounter();
std::int64_t QueryPerformanceFrequency();

}  // namespace Platform
