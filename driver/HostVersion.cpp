#include "driver/HostVersion.h"

#include "platform/VersionInfo.h"

namespace kestrum {

const char kHostCoreLibrary[] = "vostrel.dll";

HOST_VERSION ReadHostVersion() {
  HOST_VERSION version;
  uint16_t parts[4] = {0, 0, 0, 0};
  if (platform::ReadLibraryProductVersion(kHostCoreLibrary, parts)) {
    version.Major = parts[0];
    version.Minor = parts[1];
    version.Build = parts[2];
    version.Revision = parts[3];
  } else {
    version.Major = 5;
    version.Minor = 12;
  }
  return version;
}

}  // namespace kestrum
