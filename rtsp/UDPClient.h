// One bound UDP socket that hands every datagram and every quiet period to
// its user. It has no thread of its own: its owner waits on it (with Wait,
// beside the owner's other transports and its stop event) and calls Receive
// on one thread, so a camera's RTP, RTCP and supervision share one thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "foundation/Event.h"
#include "foundation/RecursiveLock.h"
#include "platform/UdpSocket.h"
#include "rtsp/RTPClient.h"

class IDebugMessage;

namespace kestrum {

class CUDPClient : public IRTPClient {
 public:
  explicit CUDPClient(IDebugMessage* log);
  ~CUDPClient() override;
  CUDPClient(const CUDPClient&) = delete;
  CUDPClient& operator=(const CUDPClient&) = delete;

  // Binds the port (0: the system chooses). On a transport that is already
  // open: stores the user, closes, fails.
  bool Open(IRTPClientUser* user, uint16_t port) override;
  // Discards what is queued, closes the socket, then tells the user. False
  // when it was not open.
  bool Close() override;
  void SetBufferSize(uint32_t bytes) override { bufferSize_ = bytes; }
  void SetWaitTimeout(uint32_t seconds, uint32_t fraction) override;
  uint16_t GetPort() override { return port_; }

  // The most datagrams one Receive hands on.
  static constexpr size_t kMostPerReceive = 64;

  // Hands what is queued now to the user (a bounded number of datagrams, so
  // that one busy port does not starve its neighbours), or, after a whole
  // wait time-out without any, one quiet period. readable: Wait said so;
  // otherwise only the quiet period is looked at, without a system call.
  // The owner's thread only. Returns the datagrams handed on.
  size_t Receive(uint64_t nowMs, bool readable = true);
  // Waits up to ms until one of the open clients has something to receive or
  // stop is signalled (true); readable, when given, says which have. At most
  // platform::UdpSocket::kMaxWaitSockets.
  static bool Wait(CUDPClient* const* clients, size_t count, uint32_t ms, CEvent& stop, bool* readable = nullptr);

  // One datagram to the destination; true at once for length 0.
  bool Send(const SOCKET_ADDRESS_V4& destination, const uint8_t* data, uint32_t length);
  bool IsOpen();
  // The port the socket is bound to (the system's choice when Open got 0).
  uint16_t BoundPort();

 private:
  uint32_t WaitTimeoutMs() const;
  // Sizes the datagram slots for the buffer size; false when there are none
  // (no memory for the first ones). Slots too small are kept when larger
  // ones cannot be had.
  bool SizeSlots();
  // One quiet period per wait time-out without a datagram.
  void NoteQuiet(uint64_t nowMs, IRTPClientUser* user);

  // Serialises Open, Close and Receive's use of the socket and the slots;
  // the user is never called under it.
  CRecursiveLock lock_;
  // Guards the handle against Send from other threads, which must not wait
  // for a Receive in progress.
  std::mutex handleLock_;
  std::atomic<IRTPClientUser*> user_{nullptr};
  platform::UdpSocket socket_;
  uint16_t port_ = 0;
  std::atomic<uint32_t> bufferSize_{8192};
  std::atomic<uint32_t> waitSeconds_{2};
  std::atomic<uint32_t> waitMicroseconds_{0};
  // Datagram slots of the current size; allocated at the first Receive and
  // kept while open.
  std::vector<uint8_t> buffers_;
  uint32_t slotSize_ = 0;
  uint64_t lastActivityMs_ = 0;
};

// Conversions between the socket layer's address and the 16-byte record.
SOCKET_ADDRESS_V4 ToSocketAddress(const platform::Ipv4Endpoint& endpoint);
platform::Ipv4Endpoint ToEndpoint(const SOCKET_ADDRESS_V4& address);

}  // namespace kestrum
