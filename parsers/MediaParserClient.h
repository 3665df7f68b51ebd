// The callback interface of every media parser; the channels implement it.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "driver/host_interfaces.h"

namespace kestrum {

class IMediaParserClient {
 public:
  virtual ~IMediaParserClient() = default;
  // A finished frame; passes it to the host and returns whether it was accepted.
  virtual bool OnFrame(ipcapture::IHostFrame* frame) = 0;
  // The picture size the channel asked the camera for (width, height).
  virtual std::pair<uint32_t, uint32_t> GetFrameSize() = 0;
  // The name under which frames are allocated in the host.
  virtual std::string GetSourceName() = 0;
  // The time to stamp on a frame; HTTP parsers pass 0 as the RTP timestamp.
  virtual void GetFrameTime(uint32_t rtpTimestamp, ipcapture::SYSTEM_TIME& time) = 0;
};

}  // namespace kestrum
