#include "foundation/Time.h"

#include "platform/Clock.h"

namespace kestrum {

namespace {

constexpr uint64_t kTicksPerMs = 10000;
constexpr uint64_t kTicksPerDay = 86400ull * 1000ull * kTicksPerMs;
constexpr int64_t kDaysFrom0000To1601 = 584694;  // DaysFromCivil(1601, 1, 1)

// Days since 0000-03-01 in the proleptic Gregorian calendar (H. Hinnant's
// civil-date algorithm).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe);
}

void CivilFromDays(int64_t z, int64_t& y, unsigned& m, unsigned& d) {
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  y = static_cast<int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y += m <= 2;
}

bool IsLeap(unsigned year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

unsigned DaysInMonth(unsigned year, unsigned month) {
  static const unsigned kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeap(year) ? 29 : kDays[month - 1];
}

}  // namespace

uint64_t GetCurrentTimeValue() { return platform::CurrentFileTime(); }

uint32_t GetElapsedMilliseconds(uint64_t value) {
  const uint64_t now = GetCurrentTimeValue();
  if (value >= now) return 0;
  return static_cast<uint32_t>((now - value) / kTicksPerMs);
}

uint64_t CalendarToTimeValue(const CALENDAR_TIME& c) {
  if (c.Year < 1601 || c.Year > 30827 || c.Month < 1 || c.Month > 12 || c.Day < 1 ||
      c.Day > DaysInMonth(c.Year, c.Month) || c.Hour > 23 || c.Minute > 59 || c.Second > 59 ||
      c.Milliseconds > 999) {
    return 0;
  }
  const int64_t days = DaysFromCivil(c.Year, c.Month, c.Day) - kDaysFrom0000To1601;
  const uint64_t ms = ((static_cast<uint64_t>(c.Hour) * 60 + c.Minute) * 60 + c.Second) * 1000 + c.Milliseconds;
  return static_cast<uint64_t>(days) * kTicksPerDay + ms * kTicksPerMs;
}

bool TimeValueToCalendar(uint64_t value, CALENDAR_TIME& c) {
  // The calendar record holds years up to 30827, as the file-time scale allows.
  if (value >= 0x8000000000000000ull) return false;
  const int64_t days = static_cast<int64_t>(value / kTicksPerDay);
  const uint64_t msOfDay = (value % kTicksPerDay) / kTicksPerMs;
  int64_t year = 0;
  unsigned month = 0;
  unsigned day = 0;
  CivilFromDays(days + kDaysFrom0000To1601, year, month, day);
  if (year > 30827) return false;
  c.Year = static_cast<uint16_t>(year);
  c.Month = static_cast<uint16_t>(month);
  c.Day = static_cast<uint16_t>(day);
  c.DayOfWeek = static_cast<uint16_t>((days + 1) % 7);  // 1601-01-01 was a Monday
  c.Hour = static_cast<uint16_t>(msOfDay / 3600000);
  c.Minute = static_cast<uint16_t>(msOfDay / 60000 % 60);
  c.Second = static_cast<uint16_t>(msOfDay / 1000 % 60);
  c.Milliseconds = static_cast<uint16_t>(msOfDay % 1000);
  return true;
}

CTime::CTime() : value_(GetCurrentTimeValue()) {}

void CTime::Touch() {
  const uint64_t now = GetCurrentTimeValue();
  CLockGuard guard(lock_);
  value_ = now;
}

uint64_t CTime::Get() {
  CLockGuard guard(lock_);
  return value_;
}

uint32_t CTime::ElapsedMilliseconds() { return GetElapsedMilliseconds(Get()); }

}  // namespace kestrum
