// MD5 message digest (RFC 1321), for HTTP and RTSP Digest authentication.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kestrum {

class CMD5 {
 public:
  CMD5();
  void Update(const void* data, size_t size);
  void Update(const std::string& text) { Update(text.data(), text.size()); }
  // The 16-byte digest; the object must not be updated afterwards.
  void Final(uint8_t digest[16]);

  // Lower-case hexadecimal digest of a text, as Digest authentication uses it.
  static std::string Hex(const std::string& text);

 private:
  void Transform(const uint8_t block[64]);

  uint32_t state_[4];
  uint64_t bitCount_ = 0;
  uint8_t buffer_[64];
  size_t buffered_ = 0;
};

}  // namespace kestrum
