#include "platform/System.h"

#include <limits.h>
#include <sys/resource.h>
#include <unistd.h>

#include <vector>

namespace kestrum {
namespace platform {

const char kPathSeparator = '/';

std::string ExecutablePath(size_t maxLength) {
  std::vector<char> buffer(maxLength + 2);
  ssize_t n = readlink("/proc/self/exe", buffer.data(), buffer.size());
  if (n <= 0 || static_cast<size_t>(n) > maxLength) return std::string();
  return std::string(buffer.data(), static_cast<size_t>(n));
}

std::string CurrentDirectory() {
  std::vector<char> buffer(PATH_MAX + 1);
  if (getcwd(buffer.data(), buffer.size()) == nullptr) return std::string();
  return std::string(buffer.data());
}

bool IsTerminal(int standardStream) { return isatty(standardStream) == 1; }

size_t RaiseOpenFileLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
  if (limit.rlim_cur < limit.rlim_max) {
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  return limit.rlim_cur == RLIM_INFINITY ? static_cast<size_t>(-1) : static_cast<size_t>(limit.rlim_cur);
}

}  // namespace platform
}  // namespace kestrum
