// Builds one host frame from a finished picture, as every parser does.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestrum {

class IDriver;
class IMediaParserClient;

// "JPEG", "H264", ... as the 32-bit value whose bytes in memory spell the code.
constexpr uint32_t FourCC(char a, char b, char c, char d) {
  return static_cast<uint32_t>(static_cast<uint8_t>(a)) | (static_cast<uint32_t>(static_cast<uint8_t>(b)) << 8) |
         (static_cast<uint32_t>(static_cast<uint8_t>(c)) << 16) | (static_cast<uint32_t>(static_cast<uint8_t>(d)) << 24);
}

// The host's size class of a picture width and height.
uint32_t SizeClass(uint32_t width, uint32_t height);

// Creates a host frame through the driver's allocator, fills it (width,
// height, size class, data size, code, time, bytes), hands it to the client
// and releases it whatever the outcome. Returns whether the host accepted it;
// false also when there is no client, no allocator, no size, or no frame
// (then noFrame, when given, is set).
bool WriteHostFrame(IDriver& driver, IMediaParserClient* client, uint32_t fourCC, const uint8_t* data, size_t size,
                    uint32_t width, uint32_t height, uint32_t rtpTimestamp, bool* noFrame = nullptr);

}  // namespace kestrum
