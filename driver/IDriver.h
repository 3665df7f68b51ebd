// The views that the driver's components hold of their driver.
#pragma once

#include <cstdint>
#include <string>

#include "driver/DeviceInfo.h"
#include "driver/host_interfaces.h"
#include "foundation/PrintfFormat.h"

// Diagnostics path to the host. Message may be called from any thread.
class IDebugMessage {
 public:
  virtual ~IDebugMessage() = default;
  // Device address, ":" and port.
  virtual std::string GetDeviceAddress() = 0;
  // printf-style; the first value is by convention the reporting method.
  KESTRUM_PRINTF_FORMAT(3, 4) virtual void Message(uint32_t level, const char* format, ...) = 0;
};

namespace kestrum {

class ICameraChannel;
class ICompanionChannel;

// Read-only after Open, so components on worker threads call it without locks.
class IDriver : public IDebugMessage {
 public:
  static constexpr int32_t kNoNumber = static_cast<int32_t>(0x80000000u);

  // A component keeps its driver view for as long as it exists, its threads'
  // last steps included; views that do not count references ignore these.
  virtual void AddReference() {}
  virtual void ReleaseReference() {}

  virtual const char* GetDriverName() = 0;
  // Directory of the host's executable with its trailing separator, or empty.
  virtual std::string GetHostDirectory() = 0;
  virtual DEVICE_INFO* GetDeviceInfo() = 0;
  virtual IOCounts GetIOCounts() = 0;
  virtual ipcapture::IHostFrameAllocator* GetFrameAllocator() = 0;
  // 1: Motion JPEG over HTTP; 3: H.264 over RTSP.
  virtual uint32_t GetStreamKind() = 0;
  virtual uint32_t GetChannelCount() = 0;
  virtual std::string GetParameterString(uint32_t index) = 0;
  // kNoNumber when absent or not a number.
  virtual int32_t GetParameterNumber(uint32_t index) = 0;
  // Index of "WxH" in the device's resolution list, or -1.
  virtual int32_t FindResolution(uint32_t width, uint32_t height) = 0;
};

// Holds a reference on the driver view for as long as its component exists:
// a base of the component's own so that it goes last, after every member
// that logs.
class CDriverHold {
 protected:
  explicit CDriverHold(IDriver* driver) : held_(driver) {
    if (held_ != nullptr) held_->AddReference();
  }
  ~CDriverHold() {
    if (held_ != nullptr) held_->ReleaseReference();
  }
  CDriverHold(const CDriverHold&) = delete;
  CDriverHold& operator=(const CDriverHold&) = delete;

 private:
  IDriver* held_;
};

// Used by the video capture object to make the channels of the device.
class IVideoChannelCreator {
 public:
  virtual ~IVideoChannelCreator() = default;
  virtual ICameraChannel* CreateVideoChannel(uint32_t index, ipcapture::IHostFrameSink* sink) = 0;
  virtual ICompanionChannel* CreateCompanionChannel(uint32_t index, ipcapture::IHostFrameSink* sink) = 0;
  // Tells the host why a channel that was made could not start, when the
  // channel itself could not (it failed while putting its reason into words).
  // Must not throw.
  virtual void ReportStartFailure(uint32_t index, const char* reason) = 0;
};

}  // namespace kestrum
