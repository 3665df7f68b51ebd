#include "driver/ResultDef.h"

#include <cstdarg>
#include <cstdio>
#include <new>

namespace kestrum {

namespace {
const char kFormattingFailed[] = "kestrum::CResultDef::SetResultEx: Unexpected exception during string formatting.";
// The one exception formatting can raise: said as what it is, so that a
// failure for want of memory names it.
const char kNoMemory[] = "kestrum::CResultDef::SetResultEx: not enough memory for the message.";
}

void CResultDef::SetResultEx(uint32_t level, uint32_t code, const char* format, ...) {
  level_ = level;
  code_ = code;
  message_.clear();
  if (format == nullptr) return;
  va_list args;
  va_start(args, format);
  char* buffer = nullptr;
  try {
    va_list measure;
    va_copy(measure, args);
    int length = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (length < 0) {
      message_ = kFormattingFailed;
    } else {
      // Exhausted memory leaves the message empty.
      buffer = new (std::nothrow) char[static_cast<size_t>(length) + 1];
      if (buffer != nullptr) {
        std::vsnprintf(buffer, static_cast<size_t>(length) + 1, format, args);
        message_ = buffer;
      }
    }
  } catch (const std::bad_alloc&) {
    try {
      message_ = kNoMemory;
    } catch (...) {
    }
  } catch (...) {
    try {
      message_ = kFormattingFailed;
    } catch (...) {
    }
  }
  delete[] buffer;
  va_end(args);
}

}  // namespace kestrum
