// Product version of a library file, as the system's version service gives it.
#pragma once

#include <cstdint>
#include <string>

namespace kestrum {
namespace platform {

// Reads the product version (major, minor, build, revision) from the version
// resource of the library named fileName. On Windows this is the system's
// version service; elsewhere the file is looked for in the executable's
// directory, then the current directory, and its PE resource is parsed.
bool ReadLibraryProductVersion(const std::string& fileName, uint16_t version[4]);

}  // namespace platform
}  // namespace kestrum
