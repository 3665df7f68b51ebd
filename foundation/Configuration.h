// Per-device settings from the optional XML file beside the host executable.
#pragma once

#include <cstdint>
#include <string>

#include "driver/DeviceInfo.h"

namespace kestrum {

// RTP transport modes, as the configuration file names them.
enum : uint32_t {
  kRtpOverUdp = 0,   // "rtpoverudp"
  kRtpOverTcp = 1,   // "rtpovertcp"
  kRtpOverRtsp = 2,  // "rtpoverrtsp"
};

struct CONFIGURATION_VALUES {
  uint32_t RtpMode = kRtpOverUdp;
  bool UpdateSettings = true;
};

class CConfiguration {
 public:
  // The file is <directory><driverName>.xml.
  CConfiguration(const std::string& driverName, const std::string& directory, const DEVICE_INFO& device);
  virtual ~CConfiguration() = default;

  // Every failure (no file, bad XML, missing elements, unknown values) gives
  // the defaults: RTP over UDP, settings updates allowed. A file that is
  // there but cannot be used (over 1 MiB, not well-formed) is described in
  // problem, for one diagnostic line.
  CONFIGURATION_VALUES ReadSettings(std::string* problem = nullptr);

  const std::string& GetPath() const { return path_; }

 private:
  DEVICE_INFO device_;
  std::string path_;
};

}  // namespace kestrum
