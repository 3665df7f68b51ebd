// Stream parameters as a host gives them to a channel, for the channel tests.
#pragma once

#include <cstdint>

#include "driver/ICameraChannel.h"

namespace kestrum {
namespace testing {

inline StreamParams Params(uint32_t interval, uint32_t quality, uint32_t width, uint32_t height) {
  StreamParams p;
  p.FrameInterval = interval;
  p.Quality = quality;
  p.Width = width;
  p.Height = height;
  return p;
}

}  // namespace testing
}  // namespace kestrum
