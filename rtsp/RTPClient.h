// The datagram transport of the RTP stack and the callbacks of its user.
#pragma once

#include <cstdint>

#include "rtsp/RTPReceiverUser.h"

namespace kestrum {

class IRTPClientUser;

class IRTPClient {
 public:
  virtual ~IRTPClient() = default;
  virtual bool Open(IRTPClientUser* user, uint16_t port) = 0;
  virtual bool Close() = 0;
  // Size of the datagram buffer, used from the next start of the thread.
  virtual void SetBufferSize(uint32_t bytes) = 0;
  // How long one wait for data lasts: seconds and microseconds.
  virtual void SetWaitTimeout(uint32_t seconds, uint32_t fraction) = 0;
  // The port given to Open; 0 when closed.
  virtual uint16_t GetPort() = 0;
};

// Called on the transport's thread; OnClosed also on the thread that closes.
class IRTPClientUser {
 public:
  virtual ~IRTPClientUser() = default;
  // The data is valid only during the call.
  virtual void OnData(IRTPClient* client, const SOCKET_ADDRESS_V4& sender, const uint8_t* data,
                      uint32_t length) = 0;
  virtual void OnTimeout(IRTPClient* client) = 0;
  virtual void OnClosed(IRTPClient* client) = 0;
};

}  // namespace kestrum
