#include "platform/AddressSpace.h"

#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace kestrum {
namespace platform {

void UseOneHeapArena() {
#if defined(__GLIBC__)
  mallopt(M_ARENA_MAX, 1);
#endif
}

bool LimitAddressSpace(uint64_t extraBytes, std::string& reason) {
  unsigned long long pages = 0;
  FILE* statm = std::fopen("/proc/self/statm", "r");
  if (statm == nullptr || std::fscanf(statm, "%llu", &pages) != 1) {
    if (statm != nullptr) std::fclose(statm);
    reason = "cannot read /proc/self/statm";
    return false;
  }
  std::fclose(statm);
  rlimit limit{};
  limit.rlim_cur = pages * static_cast<uint64_t>(sysconf(_SC_PAGESIZE)) + extraBytes;
  limit.rlim_max = RLIM_INFINITY;
  if (setrlimit(RLIMIT_AS, &limit) != 0) {
    reason = std::string("setrlimit(RLIMIT_AS): ") + std::strerror(errno);
    return false;
  }
  return true;
}

}  // namespace platform
}  // namespace kestrum
