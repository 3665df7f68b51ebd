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
    char buffer[2048];
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back({level, buffer});
  }

  std::vector<RecordedLine> Lines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }

 private:
  std::string address_;
  std::mutex mutex_;
  std::vector<RecordedLine> lines_;
};

}  // namespace testing
}  // namespace kestrum
