// Reader of the fixed file information in a PE image's version resource.
// Pure byte parsing, so it serves every platform and is testable in memory.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestrum {
namespace platform {

// Product version (major, minor, build, revision) of a PE image (PE32 or
// PE32+) held in memory; false when the image or its resource is malformed or
// has no version resource. Never reads outside [data, data + size).
bool ParsePeProductVersion(const uint8_t* data, size_t size, uint16_t version[4]);

}  // namespace platform
}  // namespace kestrum
