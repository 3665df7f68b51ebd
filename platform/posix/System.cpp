#include "platform/System.h"

#include <limits.h>
#include <unistd.h>

#include <fstream>
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

bool ReadWholeFile(const std::string& path, std::string& contents, size_t maxBytes) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return false;
  file.seekg(0, std::ios::end);
  std::streamoff size = file.tellg();
  if (size < 0 || static_cast<uint64_t>(size) > maxBytes) return false;
  file.seekg(0, std::ios::beg);
  contents.resize(static_cast<size_t>(size));
  if (size > 0 && !file.read(&contents[0], size)) return false;
  return true;
}

}  // namespace platform
}  // namespace kestrum
