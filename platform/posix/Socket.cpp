#include "platform/Socket.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/Clock.h"
#include "platform/Event.h"
#include "platform/Thread.h"

namespace kestrum {
namespace platform {

namespace {

int Fd(intptr_t handle) { return static_cast<int>(handle); }

bool MakeNonBlocking(int fd) {
  int flags = fcntl(fd, F_GETFL, 0);
  return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

int OpenStreamSocket() {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (!MakeNonBlocking(fd)) {
    close(fd);
    return -1;
  }
  return fd;
}

// What a wait that did not find the socket ready means for the caller.
IoStatus NotReady(bool timedOut, bool stopped) {
  return timedOut ? IoStatus::Timeout : stopped ? IoStatus::Stopped : IoStatus::Error;
}

sockaddr_in Ipv4(uint32_t address, uint16_t port) {
  sockaddr_in socketAddress{};
  socketAddress.sin_family = AF_INET;
  socketAddress.sin_addr.s_addr = address;
  socketAddress.sin_port = htons(port);
  return socketAddress;
}

int RemainingMs(uint32_t ms, uint64_t start) {
  if (ms == kInfinite) return -1;
  uint64_t elapsed = MonotonicMilliseconds() - start;
  return elapsed >= ms ? 0 : static_cast<int>(ms - elapsed);
}

}  // namespace

uint32_t LoopbackAddress() { return htonl(INADDR_LOOPBACK); }

TcpSocket::~TcpSocket() { Close(); }

TcpSocket::TcpSocket(TcpSocket&& other) noexcept : handle_(other.handle_) { other.handle_ = -1; }

TcpSocket& TcpSocket::operator=(TcpSocket&& other) noexcept {
  if (this != &other) {
    Close();
    handle_ = other.handle_;
    other.handle_ = -1;
  }
  return *this;
}

TcpSocket::Readiness TcpSocket::WaitFor(bool forWrite, uint32_t timeoutMs, NativeEvent* stop) {
  const uint64_t start = MonotonicMilliseconds();
  for (;;) {
    pollfd fds[2];
    fds[0] = pollfd{Fd(handle_), static_cast<short>(forWrite ? POLLOUT : POLLIN), 0};
    nfds_t count = 1;
    if (stop != nullptr && stop->IsValid()) {
      fds[1] = pollfd{Fd(stop->PollHandle()), POLLIN, 0};
      count = 2;
    }
    int timeout = RemainingMs(timeoutMs, start);
    int ready;
    {
      // A forced thread termination may take effect here, as in event waits.
      int previous = PTHREAD_CANCEL_DISABLE;
      pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, &previous);
      ready = poll(fds, count, timeout);
      pthread_setcancelstate(previous, nullptr);
    }
    if (ready < 0) {
      if (errno == EINTR) continue;
      return Readiness::Error;
    }
    if (count == 2 && (fds[1].revents & POLLIN) != 0) return Readiness::Stopped;
    if (ready == 0) return Readiness::Timeout;
    if (fds[0].revents != 0) return Readiness::Ready;  // errors show up in the following call
  }
}

bool TcpSocket::Listen(uint32_t address, uint16_t port, int backlog) {
  Close();
  int fd = OpenStreamSocket();
  if (fd < 0) return false;
  int yes = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in local = Ipv4(address, port);
  if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 || listen(fd, backlog) != 0) {
    close(fd);
    return false;
  }
  handle_ = fd;
  return true;
}

uint16_t TcpSocket::LocalPort() const {
  if (handle_ < 0) return 0;
  sockaddr_in local{};
  socklen_t length = sizeof local;
  if (getsockname(Fd(handle_), reinterpret_cast<sockaddr*>(&local), &length) != 0) return 0;
  return ntohs(local.sin_port);
}

uint32_t TcpSocket::PeerAddress() const {
  if (handle_ < 0) return 0;
  sockaddr_in peer{};
  socklen_t length = sizeof peer;
  if (getpeername(Fd(handle_), reinterpret_cast<sockaddr*>(&peer), &length) != 0 || peer.sin_family != AF_INET) return 0;
  return peer.sin_addr.s_addr;
}

IoStatus TcpSocket::Accept(TcpSocket& client, uint32_t timeoutMs, NativeEvent* stop) {
  if (handle_ < 0) return IoStatus::Error;
  for (;;) {
    int fd = accept4(Fd(handle_), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd >= 0) {
      int yes = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
      client.Close();
      client.handle_ = fd;
      return IoStatus::Ok;
    }
    if (errno == EINTR || errno == ECONNABORTED) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return IoStatus::Error;
    const Readiness readiness = WaitFor(false, timeoutMs, stop);
    if (readiness != Readiness::Ready) {
      return NotReady(readiness == Readiness::Timeout, readiness == Readiness::Stopped);
    }
  }
}

IoStatus TcpSocket::Connect(uint32_t address, uint16_t port, uint32_t timeoutMs, NativeEvent* stop) {
  Close();
  int fd = OpenStreamSocket();
  if (fd < 0) return IoStatus::Error;
  handle_ = fd;
  int yes = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
  sockaddr_in remote = Ipv4(address, port);
  if (connect(fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote) == 0) return IoStatus::Ok;
  if (errno != EINPROGRESS) {
    Close();
    return IoStatus::Error;
  }
  const Readiness readiness = WaitFor(true, timeoutMs, stop);
  if (readiness != Readiness::Ready) {
    Close();
    return NotReady(readiness == Readiness::Timeout, readiness == Readiness::Stopped);
  }
  int error = 0;
  socklen_t length = sizeof error;
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
    Close();
    return IoStatus::Error;
  }
  return IoStatus::Ok;
}

IoStatus TcpSocket::Receive(void* buffer, size_t length, size_t& received, uint32_t timeoutMs, NativeEvent* stop) {
  received = 0;
  if (handle_ < 0) return IoStatus::Error;
  for (;;) {
    ssize_t n = recv(Fd(handle_), buffer, length, 0);
    if (n > 0) {
      received = static_cast<size_t>(n);
      return IoStatus::Ok;
    }
    if (n == 0) return IoStatus::Closed;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return errno == ECONNRESET ? IoStatus::Closed : IoStatus::Error;
    const Readiness readiness = WaitFor(false, timeoutMs, stop);
    if (readiness != Readiness::Ready) {
      return NotReady(readiness == Readiness::Timeout, readiness == Readiness::Stopped);
    }
  }
}

IoStatus TcpSocket::SendAll(const void* data, size_t length, uint32_t timeoutMs, NativeEvent* stop) {
  if (handle_ < 0) return IoStatus::Error;
  const auto* bytes = static_cast<const uint8_t*>(data);
  size_t sent = 0;
  while (sent < length) {
    ssize_t n = send(Fd(handle_), bytes + sent, length - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      const Readiness readiness = WaitFor(true, timeoutMs, stop);
      if (readiness != Readiness::Ready) {
        return NotReady(readiness == Readiness::Timeout, readiness == Readiness::Stopped);
      }
      continue;
    }
    return (errno == EPIPE || errno == ECONNRESET) ? IoStatus::Closed : IoStatus::Error;
  }
  return IoStatus::Ok;
}

bool TcpSocket::SetReceiveBuffer(uint32_t bytes) {
  if (handle_ < 0) return false;
  int size = static_cast<int>(bytes);
  return setsockopt(Fd(handle_), SOL_SOCKET, SO_RCVBUF, &size, sizeof size) == 0;
}

intptr_t TcpSocket::ReleaseHandle() {
  intptr_t handle = handle_;
  handle_ = -1;
  return handle;
}

void TcpSocket::Shutdown() {
  if (handle_ >= 0) shutdown(Fd(handle_), SHUT_RDWR);
}

void TcpSocket::Close() {
  if (handle_ >= 0) {
    close(Fd(handle_));
    handle_ = -1;
  }
}

}  // namespace platform
}  // namespace kestrum
