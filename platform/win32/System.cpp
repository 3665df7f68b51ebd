#include "platform/System.h"

#include <io.h>
#include <windows.h>

#include <fstream>
#include <vector>

namespace kestrum {
namespace platform {

const char kPathSeparator = '\\';

std::string ExecutablePath(size_t maxLength) {
  std::vector<char> buffer(maxLength + 2);
  DWORD n = GetModuleFileNameA(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
  // A full buffer means the path was cut short.
  if (n == 0 || n >= buffer.size() || static_cast<size_t>(n) > maxLength) return std::string();
  return std::string(buffer.data(), n);
}

std::string CurrentDirectory() {
  std::vector<char> buffer(MAX_PATH + 1);
  DWORD n = GetCurrentDirectoryA(static_cast<DWORD>(buffer.size()), buffer.data());
  if (n == 0 || n >= buffer.size()) return std::string();
  return std::string(buffer.data(), n);
}

bool IsTerminal(int standardStream) { return _isatty(standardStream) != 0; }

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
