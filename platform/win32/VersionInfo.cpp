#include "platform/VersionInfo.h"

#include <windows.h>

#include <vector>

namespace kestrum {
namespace platform {

bool ReadLibraryProductVersion(const std::string& fileName, uint16_t version[4]) {
  if (fileName.empty()) return false;
  DWORD ignored = 0;
  DWORD size = GetFileVersionInfoSizeA(fileName.c_str(), &ignored);
  if (size == 0) return false;
  std::vector<unsigned char> data(size);
  if (!GetFileVersionInfoA(fileName.c_str(), 0, size, data.data())) return false;
  VS_FIXEDFILEINFO* info = nullptr;
  UINT length = 0;
  if (!VerQueryValueA(data.data(), "\\", reinterpret_cast<void**>(&info), &length) || info == nullptr ||
      length < sizeof(VS_FIXEDFILEINFO)) {
    return false;
  }
  version[0] = HIWORD(info->dwProductVersionMS);
  version[1] = LOWORD(info->dwProductVersionMS);
  version[2] = HIWORD(info->dwProductVersionLS);
  version[3] = LOWORD(info->dwProductVersionLS);
  return true;
}

}  // namespace platform
}  // namespace kestrum
