// Base64 (RFC 4648, section 4), for Basic credentials and SDP parameter sets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kestrum {

std::string Base64Encode(const uint8_t* data, size_t size);
inline std::string Base64Encode(const std::string& text) {
  return Base64Encode(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

// Decodes, skipping characters outside the alphabet ("=" padding included).
// False, with out empty, when the result would exceed maxBytes.
bool Base64Decode(const std::string& text, std::vector<uint8_t>& out, size_t maxBytes = 65536);

}  // namespace kestrum
