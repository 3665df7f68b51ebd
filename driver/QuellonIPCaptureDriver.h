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

  CQuellonIPCaptureDriver() : CIPCaptureDriver(kDriverName) {}
  ~CQuellonIPCaptureDriver() override;

  bool Open(ipcapture::IDebugInfoReceiver* receiver, ipcapture::IHostFrameAllocator* allocator,
            ipcapture::IDeviceSettings* settings) override;
  bool AttachDigitalIO() override;
  bool CompleteOpen() override { return true; }

  const char* GetDriverName() override { return kDriverName; }

  const std::vector<std::string>& GetResolutions() { return Session().Resolutions(); }

 protected:
  ICameraChannel* MakeChannel(uint32_t index, ipcapture::IHostFrameSink* sink) override;
};

}  // namespace kestrum
