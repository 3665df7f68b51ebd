// What the protocol stack hands to the RTP channel.
#pragma once

#include <cstdint>
#include <vector>

namespace kestrum {

class CRTPPacket;

// An IPv4 socket address as the socket layer gives it (16 bytes, fields in
// network byte order).
struct SOCKET_ADDRESS_V4 {
  uint16_t Family;
  uint16_t Port;
  uint32_t Address;
  uint8_t Zero[8];
};

class IRTPReceiverUser {
 public:
  virtual ~IRTPReceiverUser() = default;
  // From the interleaved RTSP connection, on the RTSP client's thread.
  virtual void OnPacket(CRTPPacket* packet) = 0;
  // From the UDP port, on the thread that calls the receiver's Receive; the
  // packet is valid only during the call.
  virtual void OnPacketFrom(const SOCKET_ADDRESS_V4* sender, CRTPPacket* packet) = 0;
  virtual void OnReceiveTimeout() = 0;
  virtual void OnTransportClosed() = 0;
  // SPS, PPS and MPEG-4 configuration, after a successful DESCRIBE.
  virtual void OnParameterSets(const std::vector<uint8_t>* sets) = 0;
};

}  // namespace kestrum
