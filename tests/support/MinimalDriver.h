// The least an IDriver can be for a parser outside a channel (fuzz targets,
// benchmarks): a device record and a heap frame allocator.
#pragma once

#include <string>

#include "driver/IDriver.h"
#include "tools/hostlib/HostFrames.h"

namespace kestrum {
namespace testing {

class MinimalDriver : public IDriver {
 public:
  std::string GetDeviceAddress() override { return "127.0.0.1:80"; }
  void Message(uint32_t, const char*, ...) override {}
  const char* GetDriverName() override { return "QuellonIPCapture"; }
  std::string GetHostDirectory() override { return std::string(); }
  DEVICE_INFO* GetDeviceInfo() override { return &device; }
  IOCounts GetIOCounts() override { return IOCounts(); }
  ipcapture::IHostFrameAllocator* GetFrameAllocator() override { return &allocator; }
  uint32_t GetStreamKind() override { return 3; }
  uint32_t GetChannelCount() override { return 1; }
  std::string GetParameterString(uint32_t) override { return std::string(); }
  int32_t GetParameterNumber(uint32_t) override { return kNoNumber; }
  int32_t FindResolution(uint32_t, uint32_t) override { return -1; }

  DEVICE_INFO device{"127.0.0.1", 80, "", ""};
  host::HeapFrameAllocator allocator;
};

}  // namespace testing
}  // namespace kestrum
