#include "platform/Network.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include "platform/win32/Termination.h"

namespace kestrum {
namespace platform {

namespace win32 {

bool EnsureWinsock() {
  static const bool started = [] {
    WSADATA data{};
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}

}  // namespace win32

uint32_t LookupIPv4(const char* name) {
  if (name == nullptr || *name == '\0' || !win32::EnsureWinsock()) return 0;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  addrinfo* result = nullptr;
  if (getaddrinfo(name, nullptr, &hints, &result) != 0 || result == nullptr) return 0;
  uint32_t address = 0;
  for (addrinfo* entry = result; entry != nullptr; entry = entry->ai_next) {
    if (entry->ai_family == AF_INET && entry->ai_addr != nullptr) {
      address = reinterpret_cast<const sockaddr_in*>(entry->ai_addr)->sin_addr.s_addr;
      break;
    }
  }
  freeaddrinfo(result);
  return address;
}

bool StartNetworking() {
  WSADATA data{};
  return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

void StopNetworking() { WSACleanup(); }

}  // namespace platform
}  // namespace kestrum
