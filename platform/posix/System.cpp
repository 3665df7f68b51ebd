#include "platform/System.h"

#include <limits.h>
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

}  // namespace platform
}  // namespace kestrum
