// An IDebugMessage that keeps every line, for tests of components that log.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "driver/IDriver.h"

namespace kestrum {
namespace testing {

struct RecordedLine {
  uint32_t level;
  std::string text;
};

class RecordingLog : public IDebugMessage {
 public:
  explicit RecordingLog(std::string address = "192.0.2.10:80") : address_(std::move(address)) {}

  std::string GetDeviceAddress() override { return address_; }

  void Message(uint32_t level, const char* format, ...) override {
    va_list args;
    va_start(args, format);
    Add(level, format, args);
    va_end(args);
  }

  // Records one formatted line, whatever its length.
  void Add(uint32_t level, const char* format, va_list args) {
    va_list measure;
    va_copy(measure, args);
    const int length = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
    if (length > 0) std::vsnprintf(&text[0], text.size() + 1, format, args);
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back({level, text});
  }

  std::vector<RecordedLine> Lines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }
  std::vector<RecordedLine> Matching(const std::string& fragment) {
    std::vector<RecordedLine> found;
    for (const RecordedLine& line : Lines()) {
      if (line.text.find(fragment) != std::string::npos) found.push_back(line);
    }
    return found;
  }

 private:
  std::string address_;
  std::mutex mutex_;
  std::vector<RecordedLine> lines_;
};

}  // namespace testing
}  // namespace kestrum
