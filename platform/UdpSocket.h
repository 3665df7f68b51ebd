// A bound IPv4 datagram socket whose waits can be cut short by a stop event.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/Socket.h"

namespace kestrum {
namespace platform {

class NativeEvent;

struct Ipv4Endpoint {
  uint32_t address = 0;  // network byte order
  uint16_t port = 0;     // host byte order
};

enum class WaitResult { Ready, Timeout, Stopped, Fatal, Error };

class UdpSocket {
 public:
  UdpSocket() = default;
  ~UdpSocket();
  UdpSocket(const UdpSocket&) = delete;
  UdpSocket& operator=(const UdpSocket&) = delete;

  bool IsOpen() const { return handle_ >= 0; }

  // Binds to any local address; port 0 lets the system choose. A port that
  // is already bound fails (no address reuse). Zero sizes keep the default.
  bool Bind(uint16_t port, uint32_t receiveBuffer);
  uint16_t LocalPort() const;

  // Waits for a datagram or the stop event. Fatal: the socket can no longer
  // be used (closed under the waiter, or the system refuses it).
  WaitResult WaitReadable(uint32_t timeoutMs, NativeEvent* stop);

  // Takes one queued datagram without waiting. Ok with received set; Timeout
  // when none is queued; Error with truncated set when the datagram was
  // larger than the buffer (it is lost); Closed when the socket is unusable.
  IoStatus ReceiveFrom(void* buffer, size_t length, size_t& received, Ipv4Endpoint& sender, bool& truncated);
  struct Datagram {
    size_t size = 0;
    Ipv4Endpoint sender;
    bool truncated = false;  // larger than its slot: lost
  };
  // Waits up to timeoutMs for a datagram (0: not at all), then takes it and
  // whatever else is queued, up to count, in one system call: datagram i
  // lands in buffer + i * slotSize. Only Shutdown from another thread ends
  // the wait early; then Ok with none received.
  IoStatus ReceiveBatchWithin(uint8_t* buffer, size_t slotSize, size_t count, Datagram* datagrams, size_t& received,
                              uint32_t timeoutMs);
  static constexpr size_t kMaxBatch = 64;

  // Waits up to timeoutMs until one of the sockets has a datagram queued (or
  // can no longer be used) or the stop event is signalled. Ready sets
  // ready[i] for each socket worth a read. At most kMaxWaitSockets.
  static WaitResult WaitAny(UdpSocket* const* sockets, size_t count, uint32_t timeoutMs, NativeEvent* stop,
                            bool* ready);
  static constexpr size_t kMaxWaitSockets = 8;

  // One datagram; false unless every byte went out.
  bool SendTo(const Ipv4Endpoint& destination, const void* data, size_t length);

  // Ends both directions; a waiter on another thread wakes up.
  void Shutdown();
  void Close();

 private:
  IoStatus Receive(void* buffer, size_t length, size_t& received, Ipv4Endpoint& sender, bool& truncated, int flags);

  intptr_t handle_ = -1;
  // Where the system waits on sockets through an event object (Windows): the
  // one tied to this socket; -1 when none.
  [[maybe_unused]] intptr_t waitEvent_ = -1;
  uint32_t receiveTimeoutMs_ = 0;  // as set on the socket; 0: none yet
};

}  // namespace platform
}  // namespace kestrum
