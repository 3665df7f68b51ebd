// One RTP packet (RFC 3550, 5.1): fixed header, contributing sources,
// header extension, and the payload without padding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kestrum {

class CRTPPacket {
 public:
  CRTPPacket() = default;
  virtual ~CRTPPacket() = default;

  // False for anything but a complete version-2 packet with at least one
  // byte after its fixed header; the fields are then left empty.
  bool Parse(const uint8_t* data, size_t size);

  uint8_t CsrcCount = 0;
  std::vector<uint32_t> Csrcs;  // network byte order, as received
  uint32_t Ssrc = 0;            // the four header bytes unchanged
  uint8_t Marker = 0;
  uint8_t Padding = 0;
  uint8_t PayloadType = 0;
  uint16_t SequenceNumber = 0;  // host order
  uint32_t Timestamp = 0;       // host order
  uint16_t ExtensionProfile = 0;
  uint16_t ExtensionLength = 0;  // in 32-bit words
  std::vector<uint8_t> Extension;
  std::vector<uint8_t> Payload;

 private:
  void Clear();
  bool Fail();
};

}  // namespace kestrum
