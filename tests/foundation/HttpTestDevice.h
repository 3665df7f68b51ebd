// The camera record of the HTTP sender tests: a server on loopback.
#pragma once

#include <cstdint>
#include <string>

#include "driver/DeviceInfo.h"

namespace kestrum {
namespace testing {

inline DEVICE_INFO HttpTestDevice(uint16_t port, const std::string& user = "", const std::string& password = "",
                                  uint32_t connectTimeout = 5000) {
  DEVICE_INFO device("127.0.0.1", port, user, password);
  device.ConnectTimeout = connectTimeout;
  return device;
}

}  // namespace testing
}  // namespace kestrum
