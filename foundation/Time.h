// UTC time stamps in the file-time scale: 100-ns intervals since 1601-01-01.
#pragma once

#include <cstdint>

#include "foundation/RecursiveLock.h"

namespace kestrum {

struct CALENDAR_TIME {
  uint16_t Year = 0;
  uint16_t Month = 0;      // 1..12
  uint16_t DayOfWeek = 0;  // 0 = Sunday; ignored on input
  uint16_t Day = 0;        // 1..31
  uint16_t Hour = 0;
  uint16_t Minute = 0;
  uint16_t Second = 0;
  uint16_t Milliseconds = 0;
};

// Current UTC time; 0 when it cannot be read.
uint64_t GetCurrentTimeValue();
// Milliseconds from value to now, truncated to 32 bits; 0 when value is not
// earlier than now (the clock moved back, or no time passed).
uint32_t GetElapsedMilliseconds(uint64_t value);
// 0 when the calendar time is not valid (1601..30827, real dates only).
uint64_t CalendarToTimeValue(const CALENDAR_TIME& calendar);
bool TimeValueToCalendar(uint64_t value, CALENDAR_TIME& calendar);

// A time stamp that one thread touches while another measures it.
class CTime {
 public:
  CTime();
  virtual ~CTime() = default;

  void Touch();
  uint64_t Get();
  uint32_t ElapsedMilliseconds();

 private:
  CRecursiveLock lock_;
  uint64_t value_;
};

}  // namespace kestrum
