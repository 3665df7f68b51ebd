// Frame times for RTP pictures: the wall clock at arrival, made strictly
// increasing from frame to frame whatever the camera's timestamps do.
#pragma once

#include <cstdint>

namespace kestrum {

class CTimeStampConverter {
 public:
  // Takes the picture's RTP timestamp at the current UTC time (100-ns units
  // since 1601); changes nothing when either is 0.
  void Convert(uint32_t timestamp, uint64_t now);

  uint64_t FrameTime() const { return frameTime_; }
  uint32_t PreviousTimestamp() const { return previous_; }
  uint16_t Debt() const { return debt_; }

 private:
  uint64_t frameTime_ = 0;
  uint32_t previous_ = 0;
  uint16_t debt_ = 0;
};

}  // namespace kestrum
