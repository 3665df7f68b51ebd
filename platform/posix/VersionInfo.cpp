#include "platform/VersionInfo.h"

#include "platform/PeVersion.h"
#include "platform/System.h"

namespace kestrum {
namespace platform {

namespace {

// Version resources live in small files; anything larger is not what we want.
constexpr size_t kMaxImageBytes = 256u * 1024u * 1024u;

std::string DirectoryOf(const std::string& path) {
  size_t slash = path.rfind(kPathSeparator);
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

bool ReadFrom(const std::string& path, uint16_t version[4]) {
  std::string image;
  if (!ReadWholeFile(path, image, kMaxImageBytes)) return false;
  return ParsePeProductVersion(reinterpret_cast<const uint8_t*>(image.data()), image.size(), version);
}

}  // namespace

bool ReadLibraryProductVersion(const std::string& fileName, uint16_t version[4]) {
  if (fileName.empty()) return false;
  std::string exeDir = DirectoryOf(ExecutablePath(4096));
  if (!exeDir.empty() && ReadFrom(exeDir + fileName, version)) return true;
  std::string cwd = CurrentDirectory();
  if (!cwd.empty() && ReadFrom(cwd + kPathSeparator + fileName, version)) return true;
  return false;
}

}  // namespace platform
}  // namespace kestrum
