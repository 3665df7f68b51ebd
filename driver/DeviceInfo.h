// Records that describe one device and the host.
#pragma once

#include <cstdint>
#include <string>

namespace kestrum {

// The device record; every component that talks to the camera copies it.
struct DEVICE_INFO {
  DEVICE_INFO() = default;
  DEVICE_INFO(const std::string& address, uint16_t port, const std::string& userName,
              const std::string& password)
      : Address(address), Port(port), UserName(userName), Password(password) {}
  virtual ~DEVICE_INFO() = default;
  DEVICE_INFO(const DEVICE_INFO&) = default;
  DEVICE_INFO& operator=(const DEVICE_INFO&) = default;

  uint32_t ConnectTimeout = 5000;  // ms, every HTTP operation
  uint32_t StreamTimeout = 15000;  // ms, longest silence of a running stream
  std::string Address;
  uint16_t Port = 80;
  std::string UserName;
  std::string Password;
  std::string Model;
};

struct IOCounts {
  uint32_t InputCount = 0;
  uint32_t OutputCount = 0;
};

// Product version of the host's core library; decides level translation.
struct HOST_VERSION {
  uint16_t Major = 0;
  uint16_t Minor = 0;
  uint16_t Build = 0;
  uint16_t Revision = 0;
};

class CAudioCapabilities {
 public:
  virtual ~CAudioCapabilities() = default;
  // "Count=%u; IsStereo=%u"
  std::string ToString() const;

  uint32_t Count = 0;
  bool IsStereo = false;
};

}  // namespace kestrum
