#include "platform/Clock.h"

#include <time.h>

namespace kestrum {
namespace platform {

namespace {
// 100-ns intervals between 1601-01-01 and 1970-01-01.
constexpr uint64_t kUnixEpochInFileTime = 116444736000000000ULL;
}

uint64_t CurrentFileTime() {
  timespec now{};
  if (clock_gettime(CLOCK_REALTIME, &now) != 0 || now.tv_sec < 0) return 0;
  return kUnixEpochInFileTime + static_cast<uint64_t>(now.tv_sec) * 10000000ULL +
         static_cast<uint64_t>(now.tv_nsec) / 100ULL;
}

uint64_t MonotonicMilliseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000ULL + static_cast<uint64_t>(now.tv_nsec) / 1000000ULL;
}

}  // namespace platform
}  // namespace kestrum
