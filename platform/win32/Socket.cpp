#include "platform/Socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include "platform/Clock.h"
#include "platform/Event.h"
#include "platform/Thread.h"
#include "platform/win32/SocketWait.h"
#include "platform/win32/Termination.h"

namespace kestrum {
namespace platform {

namespace {

SOCKET Sock(intptr_t handle) { return static_cast<SOCKET>(handle); }

constexpr long kStreamEvents = FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE | FD_ACCEPT;

IoStatus NotReady(win32::SocketWake wake) {
  switch (wake) {
    case win32::SocketWake::Timeout:
      return IoStatus::Timeout;
    case win32::SocketWake::Stopped:
      return IoStatus::Stopped;
    default:
      return IoStatus::Error;
  }
}

sockaddr_in Ipv4(uint32_t address, uint16_t port) {
  sockaddr_in socketAddress{};
  socketAddress.sin_family = AF_INET;
  socketAddress.sin_addr.s_addr = address;
  socketAddress.sin_port = htons(port);
  return socketAddress;
}

uint32_t RemainingMs(uint32_t ms, uint64_t start) {
  if (ms == kInfinite) return kInfinite;
  uint64_t elapsed = MonotonicMilliseconds() - start;
  return elapsed >= ms ? 0 : static_cast<uint32_t>(ms - elapsed);
}

bool IsClosedError(int error) {
  return error == WSAECONNRESET || error == WSAECONNABORTED || error == WSAENETRESET || error == WSAESHUTDOWN;
}

}  // namespace

uint32_t LoopbackAddress() { return htonl(INADDR_LOOPBACK); }

TcpSocket::~TcpSocket() { Close(); }

TcpSocket::TcpSocket(TcpSocket&& other) noexcept : handle_(other.handle_), waitEvent_(other.waitEvent_) {
  other.handle_ = -1;
  other.waitEvent_ = -1;
}

TcpSocket& TcpSocket::operator=(TcpSocket&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = other.handle_;
    waitEvent_ = other.waitEvent_;
    other.handle_ = -1;
    other.waitEvent_ = -1;
  }
  return *this;
}

TcpSocket::Readiness TcpSocket::WaitFor(bool /*forWrite*/, uint32_t timeoutMs, NativeEvent* stop) {
  switch (win32::WaitSocket(Sock(handle_), waitEvent_, timeoutMs, stop)) {
    case win32::SocketWake::Ready:
      return Readiness::Ready;
    case win32::SocketWake::Timeout:
      return Readiness::Timeout;
    case win32::SocketWake::Stopped:
      return Readiness::Stopped;
    default:
      return Readiness::Error;
  }
}

bool TcpSocket::Listen(uint32_t address, uint16_t port, int backlog) {
  Close();
  if (!win32::EnsureWinsock()) return false;
  SOCKET s = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) return false;
  // Windows' SO_REUSEADDR would let another socket take the same port; the
  // exclusive flag is what POSIX's plain bind means.
  BOOL yes = TRUE;
  setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&yes), sizeof yes);
  sockaddr_in local = Ipv4(address, port);
  if (bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 || listen(s, backlog) != 0) {
    closesocket(s);
    return false;
  }
  handle_ = static_cast<intptr_t>(s);
  if (!win32::AttachSocketEvent(s, waitEvent_, FD_ACCEPT | FD_CLOSE)) {
    Close();
    return false;
  }
  return true;
}

uint16_t TcpSocket::LocalPort() const { return win32::SocketLocalPort(handle_); }

uint32_t TcpSocket::PeerAddress() const {
  if (handle_ < 0) return 0;
  sockaddr_in peer{};
  int length = sizeof peer;
  if (getpeername(Sock(handle_), reinterpret_cast<sockaddr*>(&peer), &length) != 0 || peer.sin_family != AF_INET) {
    return 0;
  }
  return peer.sin_addr.s_addr;
}

IoStatus TcpSocket::Accept(TcpSocket& client, uint32_t timeoutMs, NativeEvent* stop) {
  if (handle_ < 0) return IoStatus::Error;
  const uint64_t start = MonotonicMilliseconds();
  for (;;) {
    SOCKET s = accept(Sock(handle_), nullptr, nullptr);
    if (s != INVALID_SOCKET) {
      // An accepted socket inherits the listener's event selection; it gets
      // one of its own.
      client.Close();
      client.handle_ = static_cast<intptr_t>(s);
      if (!win32::AttachSocketEvent(s, client.waitEvent_, kStreamEvents)) {
        client.Close();
        return IoStatus::Error;
      }
      BOOL yes = TRUE;
      setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&yes), sizeof yes);
      return IoStatus::Ok;
    }
    const int error = WSAGetLastError();
    if (error == WSAECONNRESET || error == WSAEINTR) continue;
    if (error != WSAEWOULDBLOCK) return IoStatus::Error;
    const auto wake = win32::WaitSocket(Sock(handle_), waitEvent_, RemainingMs(timeoutMs, start), stop);
    if (wake != win32::SocketWake::Ready) return NotReady(wake);
  }
}

IoStatus TcpSocket::Connect(uint32_t address, uint16_t port, uint32_t timeoutMs, NativeEvent* stop) {
  Close();
  if (!win32::EnsureWinsock()) return IoStatus::Error;
  SOCKET s = WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) return IoStatus::Error;
  handle_ = static_cast<intptr_t>(s);
  if (!win32::AttachSocketEvent(s, waitEvent_, kStreamEvents)) {
    Close();
    return IoStatus::Error;
  }
  BOOL yes = TRUE;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&yes), sizeof yes);
  sockaddr_in remote = Ipv4(address, port);
  if (connect(s, reinterpret_cast<sockaddr*>(&remote), sizeof remote) == 0) return IoStatus::Ok;
  if (WSAGetLastError() != WSAEWOULDBLOCK) {
    Close();
    return IoStatus::Error;
  }
  const uint64_t start = MonotonicMilliseconds();
  for (;;) {
    WSANETWORKEVENTS happened{};
    const auto wake = win32::WaitSocket(s, waitEvent_, RemainingMs(timeoutMs, start), stop, &happened);
    if (wake != win32::SocketWake::Ready) {
      Close();
      return NotReady(wake);
    }
    if ((happened.lNetworkEvents & FD_CONNECT) != 0) {
      if (happened.iErrorCode[FD_CONNECT_BIT] != 0) {
        Close();
        return IoStatus::Error;
      }
      return IoStatus::Ok;
    }
  }
}

IoStatus TcpSocket::Receive(void* buffer, size_t length, size_t& received, uint32_t timeoutMs, NativeEvent* stop) {
  received = 0;
  if (handle_ < 0) return IoStatus::Error;
  const int chunk = length > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(length);
  const uint64_t start = MonotonicMilliseconds();
  for (;;) {
    int n = recv(Sock(handle_), static_cast<char*>(buffer), chunk, 0);
    if (n > 0) {
      received = static_cast<size_t>(n);
      return IoStatus::Ok;
    }
    if (n == 0) return IoStatus::Closed;
    const int error = WSAGetLastError();
    if (error == WSAEINTR) continue;
    if (error != WSAEWOULDBLOCK) return IsClosedError(error) ? IoStatus::Closed : IoStatus::Error;
    const auto wake = win32::WaitSocket(Sock(handle_), waitEvent_, RemainingMs(timeoutMs, start), stop);
    if (wake != win32::SocketWake::Ready) return NotReady(wake);
  }
}

IoStatus TcpSocket::SendAll(const void* data, size_t length, uint32_t timeoutMs, NativeEvent* stop) {
  if (handle_ < 0) return IoStatus::Error;
  const auto* bytes = static_cast<const char*>(data);
  size_t sent = 0;
  const uint64_t start = MonotonicMilliseconds();
  while (sent < length) {
    const size_t left = length - sent;
    int n = send(Sock(handle_), bytes + sent, left > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(left), 0);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    const int error = WSAGetLastError();
    if (error == WSAEINTR) continue;
    if (error == WSAEWOULDBLOCK) {
      const auto wake = win32::WaitSocket(Sock(handle_), waitEvent_, RemainingMs(timeoutMs, start), stop);
      if (wake != win32::SocketWake::Ready) return NotReady(wake);
      continue;
    }
    return IsClosedError(error) ? IoStatus::Closed : IoStatus::Error;
  }
  return IoStatus::Ok;
}

bool TcpSocket::SetReceiveBuffer(uint32_t bytes) {
  if (handle_ < 0) return false;
  int size = static_cast<int>(bytes);
  return setsockopt(Sock(handle_), SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&size), sizeof size) == 0;
}

intptr_t TcpSocket::ReleaseHandle() {
  intptr_t handle = handle_;
  // The new owner waits its own way: the socket leaves with no event object
  // tied to it (it stays non-blocking).
  if (handle_ >= 0) WSAEventSelect(Sock(handle_), nullptr, 0);
  win32::CloseSocketEvent(waitEvent_);
  handle_ = -1;
  return handle;
}

void TcpSocket::Shutdown() { win32::ShutdownSocket(handle_, waitEvent_); }

void TcpSocket::Close() { win32::CloseSocket(handle_, waitEvent_); }

}  // namespace platform
}  // namespace kestrum
