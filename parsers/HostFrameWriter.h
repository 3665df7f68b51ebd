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

// In which order a frame is filled: the Motion JPEG and MPEG-4 parsers set
// the frame's values before the bytes go in; the H.264 parser copies the
// bytes first, so that a frame whose buffer cannot take them is given up
// before the client is asked for its time.
enum class FrameFill { ValuesFirst, BytesFirst };

enum class FrameWrite {
  Accepted,   // the client took the frame
  Refused,    // the client refused it (or a call on the frame threw)
  NoFrame,    // the host's allocator gave none
  NoBuffer,   // the frame had no buffer for the bytes: nothing was copied
  NotWritten  // no client, allocator, size or picture size: nothing asked of the host
};

// Creates a host frame through the driver's allocator, fills it (width,
// height, size class, data size, code, time, bytes) in the given order,
// hands it to the client and releases it whatever the outcome.
FrameWrite WriteHostFrame(IDriver& driver, IMediaParserClient* client, uint32_t fourCC, const uint8_t* data,
                          size_t size, uint32_t width, uint32_t height, uint32_t rtpTimestamp,
                          FrameFill order = FrameFill::ValuesFirst);

}  // namespace kestrum
