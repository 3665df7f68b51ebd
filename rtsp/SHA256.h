// SHA-256 message digest (FIPS 180-4), for RTSP Digest authentication with
// algorithm=SHA-256 (RFC 7616).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kestrum {

class CSHA256 {
 public:
  CSHA256();
  void Update(const void* data, size_t size);
  void Update(const std::string& text) { Update(text.data(), text.size()); }
  // The 32-byte digest; the object must not be updated afterwards.
  void Final(uint8_t digest[32]);

  // Lower-case hexadecimal digest of a text, as Digest authentication uses it.
  static std::string Hex(const std::string& text);

 private:
  void Transform(const uint8_t block[64]);

  uint32_t state_[8];
  uint64_t bitCount_ = 0;
  uint8_t buffer_[64];
  size_t buffered_ = 0;
};

}  // namespace kestrum
