// The product version of the host's core library.
#pragma once

#include "driver/DeviceInfo.h"

namespace kestrum {

extern const char kHostCoreLibrary[];  // "vostrel.dll"

// Read from the library's version resource; 5.12.0.0 when it cannot be read.
HOST_VERSION ReadHostVersion();

}  // namespace kestrum
