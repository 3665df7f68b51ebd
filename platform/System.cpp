// The parts of System.h that the standard library serves on every platform.
#include "platform/System.h"

#include <cstdint>
#include <fstream>

namespace kestrum {
namespace platform {

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
