// Wall-clock and monotonic time.
#pragma once

#include <cstdint>

namespace kestrum {
namespace platform {

// 100-ns intervals since 1601-01-01 00:00 UTC; 0 when the clock cannot be read.
uint64_t CurrentFileTime();

// Milliseconds from an arbitrary fixed point; never goes backwards.
uint64_t MonotonicMilliseconds();

}  // namespace platform
}  // namespace kestrum
