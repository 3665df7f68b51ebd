// Host-name resolution.
#pragma once

#include <cstdint>

namespace kestrum {
namespace platform {

// First IPv4 address of the name (dotted addresses pass through the same
// look-up), in network byte order; 0 when there is none. Safe to call from
// many threads at once.
uint32_t LookupIPv4(const char* name);

// The socket library's per-user start-up and clean-up (WSAStartup and
// WSACleanup on Windows; nothing to do on POSIX). Calls pair up.
bool StartNetworking();
void StopNetworking();

}  // namespace platform
}  // namespace kestrum
