// The capture driver of the Quellon camera family.
#pragma once

#include <string>
#include <vector>

#include "driver/IPCaptureDriver.h"

namespace kestrum {

class CQuellonIPCaptureDriver : public CIPCaptureDriver {
 public:
  static const char kDriverName[];  // "QuellonIPCapture"
  // Inputs or outputs beyond this leave the device without digital I/O.
  static constexpr uint32_t kMaxIOCount = 64;

  CQuellonIPCaptureDriver() = default;
  // Closes here, while the whole object exists: the components' threads call
  // back into it (GetDriverName, FindResolution) until they are stopped.
  ~CQuellonIPCaptureDriver() override;

  bool Open(ipcapture::IDebugInfoReceiver* receiver, ipcapture::IHostFrameAllocator* allocator,
            ipcapture::IDeviceSettings* settings) override;
  bool AttachDigitalIO() override;
  bool CompleteOpen() override { return true; }

  const char* GetDriverName() override { return kDriverName; }
  int32_t FindResolution(uint32_t width, uint32_t height) override;

  const std::vector<std::string>& GetResolutions() const { return resolutions_; }

 protected:
  ICameraChannel* MakeChannel(uint32_t index, ipcapture::IHostFrameSink* sink) override;

 private:
  std::vector<std::string> resolutions_;
};

}  // namespace kestrum
