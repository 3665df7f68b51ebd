#include "platform/System.h"

#include <io.h>
#include <stdio.h>
#include <windows.h>

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

// Windows counts handles without a limit to raise, but the C runtime opens
// at most 512 streams unless asked (2048 is its ceiling).
size_t RaiseOpenFileLimit() {
  const int streams = _setmaxstdio(2048);
  return streams > 0 ? static_cast<size_t>(streams) : 0;
}

}  // namespace platform
}  // namespace kestrum
