#include "channels/TimeStampConverter.h"

namespace kestrum {

namespace {
constexpr int64_t kOneMs = 10000;  // in 100-ns units
constexpr int64_t kTickUnits = 100;  // one RTP tick counted as 10 us
}  // namespace

void CTimeStampConverter::Convert(uint32_t timestamp, uint64_t now) {
  if (now == 0 || timestamp == 0) return;
  if (frameTime_ != 0 && previous_ != 0) {
    const int64_t delta = (static_cast<int64_t>(timestamp) - static_cast<int64_t>(previous_)) * kTickUnits;
    const int64_t ahead = static_cast<int64_t>(now) - static_cast<int64_t>(frameTime_);
    if (delta <= kOneMs || ahead <= kOneMs) {
      // Barely moved, went back, or came too soon: 1 ms after the last.
      frameTime_ += kOneMs;
      ++debt_;
    } else if (debt_ != 0) {
      // Give back what was borrowed, a millisecond at a time.
      frameTime_ = now - kOneMs;
      --debt_;
    } else {
      frameTime_ = now;
    }
  } else {
    frameTime_ = now;
  }
  previous_ = timestamp;
}

}  // namespace kestrum
