#include "rtsp/RTPPacket.h"

#include <cstring>

namespace kestrum {

namespace {
constexpr size_t kFixedHeader = 12;
uint16_t Read16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
uint32_t Read32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 | p[3];
}
}  // namespace

bool CRTPPacket::Fail() {
  Clear();
  return false;
}

void CRTPPacket::Clear() {
  CsrcCount = 0;
  Csrcs.clear();
  Ssrc = 0;
  Marker = Padding = PayloadType = 0;
  SequenceNumber = 0;
  Timestamp = 0;
  ExtensionProfile = ExtensionLength = 0;
  Extension.clear();
  Payload.clear();
}

bool CRTPPacket::Parse(const uint8_t* data, size_t size) {
  Clear();
  if (data == nullptr || size <= kFixedHeader) return false;  // a bare header is no packet
  if ((data[0] & 0xC0) != 0x80) return false;                   // version 2 only
  size_t at = kFixedHeader;

  const uint8_t count = data[0] & 0x0F;
  if (count != 0) {
    if (size - at <= static_cast<size_t>(count) * 4) return false;
    for (uint8_t i = 0; i < count; ++i) {
      uint32_t csrc;
      std::memcpy(&csrc, data + at + 4u * i, 4);
      Csrcs.push_back(csrc);
    }
    at += static_cast<size_t>(count) * 4;
  }
  if ((data[0] & 0x10) != 0) {
    if (size - at < 4) return Fail();
    ExtensionProfile = Read16(data + at);
    ExtensionLength = Read16(data + at + 2);
    at += 4;
    const size_t bytes = static_cast<size_t>(ExtensionLength) * 4;
    if (size - at < bytes) return Fail();
    Extension.assign(data + at, data + at + bytes);
    at += bytes;
  }
  CsrcCount = count;
  Marker = data[1] >> 7;
  PayloadType = data[1] & 0x7F;
  Padding = (data[0] & 0x20) != 0 ? 1 : 0;
  SequenceNumber = Read16(data + 2);
  Timestamp = Read32(data + 4);
  std::memcpy(&Ssrc, data + 8, 4);

  const size_t padding = Padding != 0 ? data[size - 1] : 0;
  if (at + padding > size) return Fail();
  Payload.assign(data + at, data + size - padding);
  return true;
}

}  // namespace kestrum
