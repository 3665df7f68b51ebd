#include "platform/Clock.h"

#include <windows.h>

namespace kestrum {
namespace platform {

uint64_t CurrentFileTime() {
  FILETIME now{};
  GetSystemTimePreciseAsFileTime(&now);
  return (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

uint64_t MonotonicMilliseconds() { return GetTickCount64(); }

}  // namespace platform
}  // namespace kestrum
