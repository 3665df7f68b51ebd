// One bound UDP socket with a receive thread that hands every datagram and
// every quiet period to its user.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "foundation/BaseThread.h"
#include "foundation/RecursiveLock.h"
#include "platform/UdpSocket.h"
#include "rtsp/RTPClient.h"

namespace kestrum {

class CUDPClient : public CBaseThread, public IRTPClient {
 public:
  explicit CUDPClient(IDebugMessage* log);
  ~CUDPClient() override;

  // Binds the port (0: the system chooses) and starts the receive thread.
  // On a transport that is already open: stores the user, closes, fails.
  bool Open(IRTPClientUser* user, uint16_t port) override;
  // Stops the thread, discards what is queued, closes the socket, then
  // tells the user. The result is the thread join's.
  bool Close() override;
  void SetBufferSize(uint32_t bytes) override { bufferSize_ = bytes; }
  void SetWaitTimeout(uint32_t seconds, uint32_t fraction) override;
  uint16_t GetPort() override { return port_; }

  // One datagram to the destination; true at once for length 0.
  bool Send(const SOCKET_ADDRESS_V4& destination, const uint8_t* data, uint32_t length);
  bool IsOpen();
  // The port the socket is bound to (the system's choice when Open got 0).
  uint16_t BoundPort();

 protected:
  void Run() override;

 private:
  uint32_t WaitTimeoutMs() const;

  CRecursiveLock lock_;  // serialises Open and Close
  // Guards the socket handle against Send from other threads; the receive
  // thread needs none (the handle is set before it starts and closed after
  // it ended).
  std::mutex handleLock_;
  // Open may replace the user while the thread runs.
  std::atomic<IRTPClientUser*> user_{nullptr};
  platform::UdpSocket socket_;
  uint16_t port_ = 0;
  std::atomic<uint32_t> bufferSize_{8192};
  std::atomic<uint32_t> waitSeconds_{2};
  std::atomic<uint32_t> waitMicroseconds_{0};
  uint32_t stopWaitMs_ = 0;
};

// Conversions between the socket layer's address and the 16-byte record.
SOCKET_ADDRESS_V4 ToSocketAddress(const platform::Ipv4Endpoint& endpoint);
platform::Ipv4Endpoint ToEndpoint(const SOCKET_ADDRESS_V4& address);

}  // namespace kestrum
