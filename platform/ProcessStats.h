// What the running process holds, for soak runs and benchmarks: memory in
// the system's view and the allocator's, threads and open descriptors.
#pragma once

#include <cstdint>

namespace kestrum {
namespace platform {

struct ProcessStats {
  uint64_t residentBytes = 0;   // resident set (the working set on Windows)
  uint64_t mappedBytes = 0;     // address space in use (virtual size)
  uint64_t heapInUseBytes = 0;  // blocks the C heap has handed out and not taken back
  uint64_t heapHeldBytes = 0;   // what the C heap holds from the system, free blocks included
  uint32_t threads = 0;
  uint32_t descriptors = 0;  // open file descriptors (handles on Windows)
};

// Zero for a figure the system does not tell.
ProcessStats ReadProcessStats();

}  // namespace platform
}  // namespace kestrum
