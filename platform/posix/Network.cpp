#include "platform/Network.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace kestrum {
namespace platform {

uint32_t LookupIPv4(const char* name) {
  if (name == nullptr || *name == '\0') return 0;
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

bool StartNetworking() { return true; }
void StopNetworking() {}

}  // namespace platform
}  // namespace kestrum
