#include "platform/ProcessStats.h"

#include <dirent.h>
#include <malloc.h>
#include <unistd.h>

#include <cstdio>

namespace kestrum {
namespace platform {

namespace {

uint32_t CountEntries(const char* path) {
  DIR* dir = opendir(path);
  if (dir == nullptr) return 0;
  uint32_t count = 0;
  while (const dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(dir);
  return count;
}

}  // namespace

ProcessStats ReadProcessStats() {
  ProcessStats stats;
  const uint64_t page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
  if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
    unsigned long long size = 0;
    unsigned long long resident = 0;
    if (std::fscanf(statm, "%llu %llu", &size, &resident) == 2) {
      stats.mappedBytes = size * page;
      stats.residentBytes = resident * page;
    }
    std::fclose(statm);
  }
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 33))
  // Over every arena: the main one (brk) and those of other threads.
  const struct mallinfo2 info = mallinfo2();
  stats.heapInUseBytes = info.uordblks + info.hblkhd;
  stats.heapHeldBytes = info.arena + info.hblkhd;
#endif
  stats.threads = CountEntries("/proc/self/task");
  // Less the descriptor of the listing itself.
  const uint32_t descriptors = CountEntries("/proc/self/fd");
  stats.descriptors = descriptors > 0 ? descriptors - 1 : 0;
  return stats;
}

}  // namespace platform
}  // namespace kestrum
