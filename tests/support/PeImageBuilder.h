// Builds small PE images with a version resource, to test the host-version
// reader without any file from the host.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kestrum {
namespace testing {

struct PeVersionImage {
  bool pe32Plus = false;
  // Product version; the file version is set to something else on purpose.
  uint16_t product[4] = {6, 3, 0, 0};
  uint16_t file[4] = {1, 2, 3, 4};
  bool includeVersionResource = true;
  uint32_t resourceTypeId = 16;  // RT_VERSION
};

std::vector<uint8_t> BuildPeImage(const PeVersionImage& layout);

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes);

}  // namespace testing
}  // namespace kestrum
