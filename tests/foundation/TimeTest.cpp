#include "foundation/Time.h"

#include <gtest/gtest.h>

#include <thread>

using kestrum::CALENDAR_TIME;
using kestrum::CalendarToTimeValue;
using kestrum::CTime;
using kestrum::GetCurrentTimeValue;
using kestrum::GetElapsedMilliseconds;
using kestrum::TimeValueToCalendar;

namespace {

CALENDAR_TIME Calendar(int y, int mo, int d, int h = 0, int mi = 0, int s = 0, int ms = 0) {
  CALENDAR_TIME c;
  c.Year = static_cast<uint16_t>(y);
  c.Month = static_cast<uint16_t>(mo);
  c.Day = static_cast<uint16_t>(d);
  c.Hour = static_cast<uint16_t>(h);
  c.Minute = static_cast<uint16_t>(mi);
  c.Second = static_cast<uint16_t>(s);
  c.Milliseconds = static_cast<uint16_t>(ms);
  return c;
}

TEST(TimeValues, KnownInstantsOfTheFileTimeScale) {
  EXPECT_EQ(0u, CalendarToTimeValue(Calendar(1601, 1, 1)));
  EXPECT_EQ(116444736000000000ULL, CalendarToTimeValue(Calendar(1970, 1, 1)));
  // 2000-02-29 12:34:56.789 = 951827696.789 s after the Unix epoch.
  EXPECT_EQ(116444736000000000ULL + 9518276967890000ULL, CalendarToTimeValue(Calendar(2000, 2, 29, 12, 34, 56, 789)));
}

TEST(TimeValues, InvalidCalendarTimesGiveZero) {
  EXPECT_EQ(0u, CalendarToTimeValue(Calendar(2001, 2, 29)));
  EXPECT_EQ(0u, CalendarToTimeValue(Calendar(1900, 2, 29)));
  EXPECT_EQ(0u, CalendarToTimeValue(Calendar(2024, 13, 1)));
  EXPECT_EQ(0u, CalendarToTimeValue(Calendar(2024, 4, 31)));
  EXPECT_EQ(0u, CalendarToTimeValue(Calendar(2024, 1, 1, 24)));
  EXPECT_EQ(0u, CalendarToTimeValue(Calendar(2024, 1, 1, 0, 0, 0, 1000)));
  EXPECT_EQ(0u, CalendarToTimeValue(Calendar(1600, 12, 31)));
  EXPECT_NE(0u, CalendarToTimeValue(Calendar(2024, 2, 29)));
}

TEST(TimeValues, RoundTripWithDayOfWeek) {
  for (uint64_t days : {0ull, 1ull, 59ull, 146096ull, 146097ull, 134774ull, 155000ull, 3000000ull}) {
    uint64_t value = days * 864000000000ULL + 12345670000ULL;
    CALENDAR_TIME c;
    ASSERT_TRUE(TimeValueToCalendar(value, c));
    EXPECT_EQ(value, CalendarToTimeValue(c)) << "days " << days;
  }
  CALENDAR_TIME c;
  ASSERT_TRUE(TimeValueToCalendar(CalendarToTimeValue(Calendar(2026, 12, 6, 18, 0, 0)), c));
  EXPECT_EQ(0, c.DayOfWeek);  // a Sunday
  ASSERT_TRUE(TimeValueToCalendar(0, c));
  EXPECT_EQ(1, c.DayOfWeek);  // 1601-01-01 was a Monday
}

TEST(TimeValues, ElapsedMilliseconds) {
  const uint64_t now = GetCurrentTimeValue();
  ASSERT_NE(0u, now);
  EXPECT_LT(GetElapsedMilliseconds(now), 1000u);
  EXPECT_EQ(0u, GetElapsedMilliseconds(now + 36000000000ULL)) << "a stamp in the future (clock set back) gives 0";
  uint32_t fifteen = GetElapsedMilliseconds(now - 150000000ULL);
  EXPECT_GE(fifteen, 15000u);
  EXPECT_LT(fifteen, 16000u);
  // Truncated to 32 bits: 50 days (4 320 000 000 ms) wraps to 25 032 704 ms.
  uint32_t wrapped = GetElapsedMilliseconds(now - 50ULL * 864000000000ULL);
  EXPECT_GE(wrapped, 25032704u);
  EXPECT_LT(wrapped, 25032704u + 1000u);
}

TEST(TimeValues, StampTouchedWhileMeasuredFromAnotherThread) {
  CTime stamp;
  EXPECT_LT(stamp.ElapsedMilliseconds(), 1000u);
  std::atomic<bool> stop{false};
  std::thread toucher([&] {
    while (!stop) stamp.Touch();
  });
  uint64_t previous = stamp.Get();
  for (int i = 0; i < 10000; ++i) {
    uint64_t current = stamp.Get();
    EXPECT_GE(current + 10000000ULL, previous);  // never far back in time
    previous = current;
    EXPECT_LT(stamp.ElapsedMilliseconds(), 1000u);
  }
  stop = true;
  toucher.join();
}

}  // namespace
