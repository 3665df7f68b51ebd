#include "platform/UdpSocket.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <mswsock.h>

#include <algorithm>

#include "platform/Clock.h"
#include "platform/Event.h"
#include "platform/Thread.h"
#include "platform/win32/SocketWait.h"
#include "platform/win32/Termination.h"

#ifndef SIO_UDP_CONNRESET
#define SIO_UDP_CONNRESET _WSAIOW(IOC_VENDOR, 12)
#endif

namespace kestrum {
namespace platform {

namespace {

SOCKET Sock(intptr_t handle) { return static_cast<SOCKET>(handle); }

// The socket itself is gone or unusable: no later read will do better.
bool IsFatal(int error) {
  return error == WSAENOTSOCK || error == WSAESHUTDOWN || error == WSAEINVAL || error == WSAENETDOWN ||
         error == WSAEFAULT || error == WSANOTINITIALISED;
}

bool StopSignalled(NativeEvent* stop) {
  return stop != nullptr && stop->IsValid() &&
         WaitForSingleObject(reinterpret_cast<HANDLE>(stop->PollHandle()), 0) == WAIT_OBJECT_0;
}

}  // namespace

UdpSocket::~UdpSocket() { Close(); }

bool UdpSocket::Bind(uint16_t port, uint32_t receiveBuffer) {
  if (handle_ >= 0 || !win32::EnsureWinsock()) return false;
  SOCKET s = WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) return false;
  // A port already bound must fail, as without address reuse on POSIX.
  BOOL yes = TRUE;
  setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&yes), sizeof yes);
  // Otherwise an ICMP port-unreachable for a datagram we sent (a receiver
  // report to a camera port that is closed) fails the next receive with
  // WSAECONNRESET and would end the transport.
  BOOL reportReset = FALSE;
  DWORD returned = 0;
  WSAIoctl(s, SIO_UDP_CONNRESET, &reportReset, sizeof reportReset, nullptr, 0, &returned, nullptr, nullptr);
  if (receiveBuffer != 0) {
    int size = static_cast<int>(receiveBuffer);
    if (setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&size), sizeof size) != 0) {
      closesocket(s);
      return false;
    }
  }
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  local.sin_port = htons(port);
  if (bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    closesocket(s);
    return false;
  }
  handle_ = static_cast<intptr_t>(s);
  if (!win32::AttachSocketEvent(s, waitEvent_, FD_READ)) {
    Close();
    return false;
  }
  receiveTimeoutMs_ = 0;
  return true;
}

uint16_t UdpSocket::LocalPort() const { return win32::SocketLocalPort(handle_); }

WaitResult UdpSocket::WaitReadable(uint32_t timeoutMs, NativeEvent* stop) {
  if (handle_ < 0) return WaitResult::Fatal;
  const uint64_t start = MonotonicMilliseconds();
  for (;;) {
    if (StopSignalled(stop)) return WaitResult::Stopped;
    // A peek re-arms FD_READ when nothing is queued.
    char probe;
    int n = recvfrom(Sock(handle_), &probe, 1, MSG_PEEK, nullptr, nullptr);
    if (n >= 0) return WaitResult::Ready;
    const int error = WSAGetLastError();
    if (error == WSAEMSGSIZE) return WaitResult::Ready;
    if (IsFatal(error)) return WaitResult::Fatal;
    if (error != WSAEWOULDBLOCK && error != WSAECONNRESET) return WaitResult::Error;
    uint32_t left = timeoutMs;
    if (timeoutMs != kInfinite) {
      uint64_t elapsed = MonotonicMilliseconds() - start;
      if (elapsed >= timeoutMs) return WaitResult::Timeout;
      left = static_cast<uint32_t>(timeoutMs - elapsed);
    }
    switch (win32::WaitSocket(Sock(handle_), waitEvent_, left, stop)) {
      case win32::SocketWake::Ready:
        break;
      case win32::SocketWake::Timeout:
        return WaitResult::Timeout;
      case win32::SocketWake::Stopped:
        return WaitResult::Stopped;
      default:
        return handle_ < 0 ? WaitResult::Fatal : WaitResult::Error;
    }
  }
}

WaitResult UdpSocket::WaitAny(UdpSocket* const* sockets, size_t count, uint32_t timeoutMs, NativeEvent* stop,
                               bool* ready) {
  if (sockets == nullptr || ready == nullptr || count == 0 || count > kMaxWaitSockets) return WaitResult::Fatal;
  // Each socket's event stays signalled until a read of it (which resets it
  // first, see ReceiveBatchWithin) so nothing queued is missed; no peeks
  // here, as every socket call costs a round trip to wine's server.
  HANDLE handles[kMaxWaitSockets + 1];
  size_t owner[kMaxWaitSockets + 1];
  DWORD waited = 0;
  const bool withStop = stop != nullptr && stop->IsValid();
  if (withStop) handles[waited++] = reinterpret_cast<HANDLE>(stop->PollHandle());
  for (size_t i = 0; i < count; ++i) {
    ready[i] = false;
    const UdpSocket* socket = sockets[i];
    if (socket == nullptr || socket->handle_ < 0 || socket->waitEvent_ == -1) continue;
    owner[waited] = i;
    handles[waited++] = reinterpret_cast<HANDLE>(socket->waitEvent_);
  }
  if (waited == (withStop ? 1u : 0u)) return WaitResult::Fatal;
  const DWORD result =
      win32::WaitInterruptible(handles, waited, timeoutMs == kInfinite ? INFINITE : timeoutMs, true);
  if (result == WAIT_TIMEOUT) return WaitResult::Timeout;
  if (result == WAIT_FAILED || result >= waited) return WaitResult::Error;
  if (withStop && result == 0) return WaitResult::Stopped;
  // The wait names only the first signalled handle; a socket that is never
  // quiet would hide the others behind it (RTP before RTCP). Each later one
  // is looked at without waiting (the events are manual-reset: looking does
  // not clear them).
  ready[owner[result]] = true;
  for (DWORD i = result + 1; i < waited; ++i) {
    if (WaitForSingleObject(handles[i], 0) == WAIT_OBJECT_0) ready[owner[i]] = true;
  }
  return WaitResult::Ready;
}

IoStatus UdpSocket::ReceiveFrom(void* buffer, size_t length, size_t& received, Ipv4Endpoint& sender,
                                bool& truncated) {
  return Receive(buffer, length, received, sender, truncated, 0);
}

IoStatus UdpSocket::ReceiveBatchWithin(uint8_t* buffer, size_t slotSize, size_t count, Datagram* datagrams,
                                       size_t& received, uint32_t timeoutMs) {
  received = 0;
  if (handle_ < 0 || buffer == nullptr || datagrams == nullptr || count == 0) return IoStatus::Error;
  count = std::min(count, kMaxBatch);
  const uint64_t start = MonotonicMilliseconds();
  if (timeoutMs == 0) {
    // Read at once, after a wait elsewhere (WaitAny): its event is cleared
    // before the reads, which re-arm it, so what arrives meanwhile signals
    // it again. Once one datagram was read (which re-armed it), a queue found
    // empty ends the reads without a failed one.
    // A reset of the event alone: the reads re-enable FD_READ themselves,
    // and asking for the recorded events would cost two more calls (under
    // wine each is a round trip to its server).
    WSAResetEvent(reinterpret_cast<WSAEVENT>(waitEvent_));
  }
  while (received < count) {
    if (timeoutMs == 0 && received > 0) {
      u_long queued = 0;
      if (ioctlsocket(Sock(handle_), FIONREAD, &queued) == 0 && queued == 0) {
        return received > 0 ? IoStatus::Ok : IoStatus::Timeout;
      }
    }
    Datagram& datagram = datagrams[received];
    size_t size = 0;
    bool truncated = false;
    IoStatus status = Receive(buffer + received * slotSize, slotSize, size, datagram.sender, truncated, 0);
    if (status == IoStatus::Ok || (status == IoStatus::Error && truncated)) {
      datagram.size = truncated ? 0 : size;
      datagram.truncated = truncated;
      ++received;
      continue;
    }
    if (received > 0) return IoStatus::Ok;  // what was queued; the rest waits for the next call
    if (status == IoStatus::Closed) {
      // Shutdown from another thread ends the wait: none received.
      return WSAGetLastError() == WSAESHUTDOWN ? IoStatus::Ok : IoStatus::Closed;
    }
    if (status != IoStatus::Timeout) return status;
    uint64_t elapsed = MonotonicMilliseconds() - start;
    if (elapsed >= timeoutMs) return IoStatus::Timeout;
    switch (win32::WaitSocket(Sock(handle_), waitEvent_, static_cast<uint32_t>(timeoutMs - elapsed), nullptr)) {
      case win32::SocketWake::Ready:
        break;
      case win32::SocketWake::Timeout:
        return IoStatus::Timeout;
      default:
        return IoStatus::Error;
    }
  }
  return IoStatus::Ok;
}

IoStatus UdpSocket::Receive(void* buffer, size_t length, size_t& received, Ipv4Endpoint& sender, bool& truncated,
                            int flags) {
  received = 0;
  truncated = false;
  if (handle_ < 0) return IoStatus::Error;
  sockaddr_in from{};
  int fromLength = sizeof from;
  const int room = length > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(length);
  for (;;) {
    int n = recvfrom(Sock(handle_), static_cast<char*>(buffer), room, flags, reinterpret_cast<sockaddr*>(&from),
                     &fromLength);
    if (n >= 0) {
      sender.address = from.sin_addr.s_addr;
      sender.port = ntohs(from.sin_port);
      received = static_cast<size_t>(n);
      return IoStatus::Ok;
    }
    const int error = WSAGetLastError();
    if (error == WSAEINTR || error == WSAECONNRESET) continue;  // a stale ICMP report, not a datagram
    if (error == WSAEWOULDBLOCK) return IoStatus::Timeout;
    if (error == WSAEMSGSIZE) {
      // Winsock fills the buffer and drops the rest: the datagram is lost.
      sender.address = from.sin_addr.s_addr;
      sender.port = ntohs(from.sin_port);
      truncated = true;
      return IoStatus::Error;
    }
    if (IsFatal(error)) {
      WSASetLastError(error);
      return IoStatus::Closed;
    }
    return IoStatus::Error;
  }
}

bool UdpSocket::SendTo(const Ipv4Endpoint& destination, const void* data, size_t length) {
  if (handle_ < 0 || length > 0x7FFFFFFF) return false;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = destination.address;
  to.sin_port = htons(destination.port);
  int n = sendto(Sock(handle_), static_cast<const char*>(data), static_cast<int>(length), 0,
                 reinterpret_cast<sockaddr*>(&to), sizeof to);
  return n >= 0 && static_cast<size_t>(n) == length;
}

void UdpSocket::Shutdown() { win32::ShutdownSocket(handle_, waitEvent_); }

void UdpSocket::Close() { win32::CloseSocket(handle_, waitEvent_); }

}  // namespace platform
}  // namespace kestrum
