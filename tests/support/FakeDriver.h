// An IDriver for tests of channels and parsers: a device record with short
// time-outs, a heap frame allocator, a resolution list and a log of messages.
#pragma once

#include <cstdarg>
#include <mutex>
#include <string>
#include <vector>

#include "driver/IDriver.h"
#include "tests/support/RecordingLog.h"
#include "tools/hostlib/HostFrames.h"

namespace kestrum {
namespace testing {

class FakeDriver : public IDriver {
 public:
  FakeDriver() {
    device.Address = "127.0.0.1";
    device.ConnectTimeout = 2000;
    device.StreamTimeout = 2000;
  }

  std::string GetDeviceAddress() override { return device.Address + ":" + std::to_string(device.Port); }
  void Message(uint32_t level, const char* format, ...) override {
    if (level == 4) return;  // debug lines never reach a host
    va_list args;
    va_start(args, format);
    log_.Add(level, format, args);
    va_end(args);
  }
  const char* GetDriverName() override { return "QuellonIPCapture"; }
  std::string GetHostDirectory() override { return hostDirectory; }
  DEVICE_INFO* GetDeviceInfo() override { return &device; }
  IOCounts GetIOCounts() override { return ioCounts; }
  ipcapture::IHostFrameAllocator* GetFrameAllocator() override { return withAllocator ? &allocator : nullptr; }
  uint32_t GetStreamKind() override { return streamKind; }
  uint32_t GetChannelCount() override { return channelCount; }
  std::string GetParameterString(uint32_t) override { return std::string(); }
  int32_t GetParameterNumber(uint32_t index) override { return index == 3 ? rtspPort : kNoNumber; }
  int32_t FindResolution(uint32_t width, uint32_t height) override {
    const std::string wanted = std::to_string(width) + "x" + std::to_string(height);
    for (size_t i = 0; i < resolutions.size(); ++i) {
      if (resolutions[i] == wanted) return static_cast<int32_t>(i);
    }
    return -1;
  }

  std::vector<RecordedLine> Lines() { return log_.Lines(); }
  std::vector<RecordedLine> Matching(const std::string& fragment) { return log_.Matching(fragment); }

  DEVICE_INFO device;
  IOCounts ioCounts;
  host::HeapFrameAllocator allocator;
  bool withAllocator = true;
  uint32_t streamKind = 1;
  uint32_t channelCount = 1;
  int32_t rtspPort = kNoNumber;
  std::string hostDirectory;
  std::vector<std::string> resolutions = {"640x480", "1280x720", "1920x1080", "320x240"};

 private:
  RecordingLog log_;
};

}  // namespace testing
}  // namespace kestrum
