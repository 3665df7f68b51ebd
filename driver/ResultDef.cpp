#include "driver/ResultDef.h"

#include <cstdarg>
#include <cstdio>
#include <new>

namespace kestrum {

namespace {
const char kFormattingFailed[] = "kestrum::CResultDef::SetResultEx: Unexpected exception during string formatting.";
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
