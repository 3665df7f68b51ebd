#include "platform/Clock.h"

#include <windows.h>

namespace kestrum {
namespace platform {

namespace {

using ReadFileTime = VOID(WINAPI*)(LPFILETIME);

// The precise clock exists from Windows 8 on: looked up, not linked, so that
// the library loads on Windows 7, whose clock then ticks in its own steps
// (about 15.6 ms).
ReadFileTime SystemClock() {
  HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  FARPROC precise = kernel != nullptr ? GetProcAddress(kernel, "GetSystemTimePreciseAsFileTime") : nullptr;
  return precise != nullptr ? reinterpret_cast<ReadFileTime>(reinterpret_cast<void*>(precise))
                            : &GetSystemTimeAsFileTime;
}

}  // namespace

uint64_t CurrentFileTime() {
  static const ReadFileTime read = SystemClock();
  FILETIME now{};
  read(&now);
  return (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

uint64_t MonotonicMilliseconds() { return GetTickCount64(); }

}  // namespace platform
}  // namespace kestrum
