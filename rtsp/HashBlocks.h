// What the message digests share (MD5, RFC 1321; SHA-256, FIPS 180-4): the
// 64-byte block buffer that hands whole blocks to the compression step, and
// the lower-case hexadecimal form Digest authentication uses.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace kestrum {
namespace hashing {

// Appends bytes to the block buffer; transform(block) for each block filled.
template <class Transform>
void FeedBlocks(uint8_t (&buffer)[64], size_t& buffered, const uint8_t* bytes, size_t size, Transform&& transform) {
  while (size > 0) {
    const size_t take = std::min(size, sizeof buffer - buffered);
    std::memcpy(buffer + buffered, bytes, take);
    buffered += take;
    bytes += take;
    size -= take;
    if (buffered == sizeof buffer) {
      transform(buffer);
      buffered = 0;
    }
  }
}

// The padding both use: one 1 bit, zeros to 56 mod 64 bytes, then the
// message length in bits, as 8 bytes in the digest's byte order.
template <class Update>
void Pad(uint64_t bits, size_t& buffered, bool bigEndianLength, Update&& update) {
  const uint8_t one = 0x80;
  update(&one, 1);
  const uint8_t zero = 0;
  while (buffered != 56) update(&zero, 1);
  uint8_t length[8];
  for (int i = 0; i < 8; ++i) length[i] = static_cast<uint8_t>(bits >> (bigEndianLength ? 56 - 8 * i : 8 * i));
  update(length, 8);
}

inline std::string Hex(const uint8_t* digest, size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(size * 2);
  for (size_t i = 0; i < size; ++i) {
    hex += kDigits[digest[i] >> 4];
    hex += kDigits[digest[i] & 0x0F];
  }
  return hex;
}

}  // namespace hashing
}  // namespace kestrum
