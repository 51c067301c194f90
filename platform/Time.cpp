#include "platform/Time.h"

#include <time.h>

#include <cmath>
#include <cstdio>

#include "platform/Exception.h"

namespace Platform {

namespace {

constexpr std::int64_t MSecsPerDay = 86400000;

constexpr bool IsLeapYear(int AYear) {
  return AYear % 4 == 0 && (AYear % 100 != 0 || AYear % 400 == 0);
}

constexpr int MonthDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};

constexpr int DaysInMonth(int AYear, int AMonth) {
  return AMonth == 2 && IsLeapYear(AYear) ? 29 : MonthDays[AMonth - 1];
}

// Days from 0001-01-01 (day 0) to the given date of the proleptic Gregorian calendar.
constexpr std::int64_t DayNumber(int AYear, int AMonth, int ADay) {
  const std::int64_t y = AYear - 1;
  std::int64_t n = y * 365 + y / 4 - y / 100 + y / 400;
  for (int m = 1; m < AMonth; ++m) n += DaysInMonth(AYear, m);
  return n + ADay - 1;
}

// Day number of day 0 of TDateTime, 1899-12-30.
constexpr std::int64_t DateDelta = DayNumber(1899, 12, 30);

// Splits ADateTime into its calendar day (relative to 1899-12-30) and the
// milliseconds of that day.
void Split(TDateTime ADateTime, std::int64_t& ADay, std::int64_t& AMSec) {
  double whole;
  const double frac = std::modf(ADateTime, &whole);
  ADay = static_cast<std::int64_t>(whole);
  AMSec = std::llround(std::fabs(frac) * MSecsPerDay);
  if (AMSec >= MSecsPerDay) {  // rounded up to midnight of the next day
    AMSec -= MSecsPerDay;
    ++ADay;
  }
}

void AppendNumber(std::string& AOut, long long AValue, int ADigits) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%0*lld", ADigits, AValue);
  AOut += buf;
}

char Lower(char C) { return C >= 'A' && C <= 'Z' ? static_cast<char>(C - 'A' + 'a') : C; }

}  // namespace

bool TryEncodeDate(int AYear, int AMonth, int ADay, TDateTime& AResult) {
  if (AYear < 1 || AYear > 9999 || AMonth < 1 || AMonth > 12 || ADay < 1 ||
      ADay > DaysInMonth(AYear, AMonth))
    return false;
  AResult = static_cast<TDateTime>(DayNumber(AYear, AMonth, ADay) - DateDelta);
  return true;
}

bool TryEncodeTime(int AHour, int AMinute, int ASecond, int AMilliSecond, TDateTime& AResult) {
  if (AHour < 0 || AHour > 23 || AMinute < 0 || AMinute > 59 || ASecond < 0 || ASecond > 59 ||
      AMilliSecond < 0 || AMilliSecond > 999)
    return false;
  const std::int64_t ms = ((AHour * 60LL + AMinute) * 60 + ASecond) * 1000 + AMilliSecond;
  AResult = static_cast<TDateTime>(ms) / MSecsPerDay;
  return true;
}

TDateTime EncodeDate(int AYear, int AMonth, int ADay) {
  TDateTime result;
  if (!TryEncodeDate(AYear, AMonth, ADay, result))
    throw Exception("Invalid argument to date encode");
  return result;
}

TDateTime EncodeTime(int AHour, int AMinute, int ASecond, int AMilliSecond) {
  TDateTime result;
  if (!TryEncodeTime(AHour, AMinute, ASecond, AMilliSecond, result))
    throw Exception("Invalid argument to time encode");
  return result;
}

void DecodeDate(TDateTime ADateTime, int& AYear, int& AMonth, int& ADay) {
  std::int64_t day, ms;
  Split(ADateTime, day, ms);
  std::int64_t n = day + DateDelta;
  if (n < 0) n = 0;  // nothing before 0001-01-01
  int year = static_cast<int>(n / 366) + 1;  // never above the true year
  while (DayNumber(year + 1, 1, 1) <= n) ++year;
  n -= DayNumber(year, 1, 1);
  int month = 1;
  while (n >= DaysInMonth(year, month)) n -= DaysInMonth(year, month++);
  AYear = year;
  AMonth = month;
  ADay = static_cast<int>(n) + 1;
}

void DecodeTime(TDateTime ADateTime, int& AHour, int& AMinute, int& ASecond,
                int& AMilliSecond) {
  std::int64_t day, ms;
  Split(ADateTime, day, ms);
  AMilliSecond = static_cast<int>(ms % 1000);
  ms /= 1000;
  ASecond = static_cast<int>(ms % 60);
  ms /= 60;
  AMinute = static_cast<int>(ms % 60);
  AHour = static_cast<int>(ms / 60);
}

TDateTime Now() {
  timespec ts;
  ::clock_gettime(CLOCK_REALTIME, &ts);
  tm local;
  // localtime_r reads the zone once; a tzset here would stat the zone file on every
  // call, and log lines call this for each line
  ::localtime_r(&ts.tv_sec, &local);
  return EncodeDate(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday) +
         EncodeTime(local.tm_hour, local.tm_min, local.tm_sec > 59 ? 59 : local.tm_sec,
                    static_cast<int>(ts.tv_nsec / 1000000));
}

std::string FormatDateTime(const std::string& AFormat, TDateTime ADateTime) {
  int year, month, day, hour, minute, second, msec;
  DecodeDate(ADateTime, year, month, day);
  DecodeTime(ADateTime, hour, minute, second, msec);

  std::string out;
  bool afterHour = false;  // "m" right after an hour token means minutes
  size_t i = 0;
  while (i < AFormat.size()) {
    const char c = AFormat[i];
    if (c == '\'' || c == '"') {
      const size_t close = AFormat.find(c, i + 1);
      const size_t end = close == std::string::npos ? AFormat.size() : close;
      out.append(AFormat, i + 1, end - i - 1);
      i = close == std::string::npos ? end : end + 1;
      continue;
    }
    const char token = Lower(c);
    size_t run = 1;
    while (i + run < AFormat.size() && Lower(AFormat[i + run]) == token) ++run;
    switch (token) {
      case 'y':
        if (run <= 2)
          AppendNumber(out, year % 100, 2);
        else
          AppendNumber(out, year, 4);
        break;
      case 'm':
        AppendNumber(out, afterHour ? minute : month, run >= 2 ? 2 : 1);
        break;
      case 'd':
        AppendNumber(out, day, run >= 2 ? 2 : 1);
        break;
      case 'h':
        AppendNumber(out, hour, run >= 2 ? 2 : 1);
        break;
      case 'n':
        AppendNumber(out, minute, run >= 2 ? 2 : 1);
        break;
      case 's':
        AppendNumber(out, second, run >= 2 ? 2 : 1);
        break;
      case 'z':
        AppendNumber(out, msec, run >= 2 ? 3 : 1);
        break;
      default:
        out += c;
        ++i;
        continue;
    }
    afterHour = token == 'h';
    i += run;
  }
  return out;
}

int GetTimeZoneBias() {
  const time_t now = ::time(nullptr);
  tm local;
  ::tzset();  // take up a changed TZ
  ::localtime_r(&now, &local);
  return static_cast<int>(-local.tm_gmtoff / 60);
}

std::int64_t QueryPerformanceCounter() {
  timespec ts;
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

std::int64_t QueryPerformanceFrequency() { return 1000000000; }

}  // namespace Platform
