// The channel interface through which the video capture object runs one
// video stream.
#pragma once

#include <cstdint>

#include "driver/host_interfaces.h"

namespace kestrum {

struct StreamParams {
  uint32_t FrameInterval = 0;  // ms; 0 = none requested
  uint32_t Quality = 0;        // 0..100
  uint32_t Width = 0;
  uint32_t Height = 0;
};

enum ChannelStatus : uint32_t {
  Streaming = 0,
  SignalLost = 2,
  Stopped = 3,
};

class ICameraChannel {
 public:
  virtual ~ICameraChannel() = default;
  virtual void Attach(ipcapture::IChannelAttachment* attachment) = 0;
  virtual bool Start(const StreamParams& params) = 0;
  virtual void Stop() = 0;
  // Stops the channel and destroys it: at once, or, while a thread of the
  // channel is still inside it (it outlived its stop, or this is called from
  // it), as that thread leaves.
  virtual void Dispose() {
    Stop();
    delete this;
  }
  virtual bool Restart(const StreamParams& params) = 0;
  virtual bool QueryFlagA() = 0;
  virtual bool QueryFlagB() = 0;
  virtual ChannelStatus GetStatus() = 0;
};

// A second stream that a host may ask for beside a channel; this driver
// never makes one, but the video capture object handles it.
class ICompanionChannel {
 public:
  virtual ~ICompanionChannel() = default;
  virtual bool Start() = 0;
  virtual void Stop() = 0;
};

}  // namespace kestrum
