// TCP sockets whose every wait can be cut short by a stop event.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kestrum {
namespace platform {

class NativeEvent;

enum class IoStatus { Ok, Timeout, Stopped, Closed, Error };

class TcpSocket {
 public:
  TcpSocket() = default;
  ~TcpSocket();
  TcpSocket(TcpSocket&& other) noexcept;
  TcpSocket& operator=(TcpSocket&& other) noexcept;
  TcpSocket(const TcpSocket&) = delete;
  TcpSocket& operator=(const TcpSocket&) = delete;

  bool IsOpen() const { return handle_ >= 0; }

  // address in network byte order (0 = any); port 0 picks a free port.
  bool Listen(uint32_t address, uint16_t port, int backlog = 64);
  uint16_t LocalPort() const;
  // The connected peer's IPv4 address in network byte order; 0 if unknown.
  uint32_t PeerAddress() const;
  IoStatus Accept(TcpSocket& client, uint32_t timeoutMs, NativeEvent* stop);

  IoStatus Connect(uint32_t address, uint16_t port, uint32_t timeoutMs, NativeEvent* stop);

  // Waits up to timeoutMs for data (or the stop event), then reads what is
  // there, at most length bytes. Closed: the peer ended the stream.
  IoStatus Receive(void* buffer, size_t length, size_t& received, uint32_t timeoutMs, NativeEvent* stop);
  // Sends everything unless the time-out, the stop event or an error comes first.
  IoStatus SendAll(const void* data, size_t length, uint32_t timeoutMs, NativeEvent* stop);
  IoStatus SendAll(const std::string& text, uint32_t timeoutMs, NativeEvent* stop) {
    return SendAll(text.data(), text.size(), timeoutMs, stop);
  }

  // SO_RCVBUF; false when the system refuses it.
  bool SetReceiveBuffer(uint32_t bytes);

  // Ends both directions; a receive blocked on another thread returns Closed.
  void Shutdown();
  // Hands the native handle to another owner (a server library); the socket
  // is then closed here no more.
  intptr_t ReleaseHandle();
  void Close();

 private:
  enum class Readiness { Ready, Timeout, Stopped, Error };
  Readiness WaitFor(bool forWrite, uint32_t timeoutMs, NativeEvent* stop);

  intptr_t handle_ = -1;
  // Where the system waits on sockets through an event object (Windows): the
  // one tied to this socket; -1 when none.
  [[maybe_unused]] intptr_t waitEvent_ = -1;
};

// Loopback address (127.0.0.1) in network byte order.
uint32_t LoopbackAddress();

}  // namespace platform
}  // namespace kestrum
