// The simulator's command line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/camera-sim/CameraState.h"
#include "tools/camera-sim/HttpFrontEnd.h"

namespace kestrum {
namespace sim {

struct SimOptions {
  uint16_t httpPort = 0;  // 0: free ports, consecutive for several cameras
  uint16_t rtspPort = 0;
  AuthConfig auth;
  uint32_t cameras = 1;
  uint32_t inputs = 2;
  uint32_t relays = 1;
  std::vector<Resolution> resolutions = DefaultResolutions();
  uint32_t toggleInputsSeconds = 0;
  uint32_t rtspTimeout = 60;  // seconds without a request before a session ends  // 0: inputs change only through "/sim/"
  bool help = false;
};

// False with a message for a bad or unknown argument.
bool ParseSimOptions(const std::vector<std::string>& args, SimOptions& options, std::string& error);
const char* SimUsage();

}  // namespace sim
}  // namespace kestrum
