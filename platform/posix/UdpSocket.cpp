#include "platform/UdpSocket.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>

#include "platform/Event.h"
#include "platform/Thread.h"

namespace kestrum {
namespace platform {

namespace {

int Fd(intptr_t handle) { return static_cast<int>(handle); }

}  // namespace

UdpSocket::~UdpSocket() { Close(); }

bool UdpSocket::Bind(uint16_t port, uint32_t receiveBuffer) {
  if (handle_ >= 0) return false;
  // Blocking: single reads say MSG_DONTWAIT, timed reads use SO_RCVTIMEO.
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  if (receiveBuffer != 0) {
    int size = static_cast<int>(receiveBuffer);
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size) != 0) {
      close(fd);
      return false;
    }
  }
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  local.sin_port = htons(port);
  if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    close(fd);
    return false;
  }
  handle_ = fd;
  receiveTimeoutMs_ = 0;
  return true;
}

uint16_t UdpSocket::LocalPort() const {
  if (handle_ < 0) return 0;
  sockaddr_in local{};
  socklen_t length = sizeof local;
  if (getsockname(Fd(handle_), reinterpret_cast<sockaddr*>(&local), &length) != 0) return 0;
  return ntohs(local.sin_port);
}

WaitResult UdpSocket::WaitReadable(uint32_t timeoutMs, NativeEvent* stop) {
  const int fd = Fd(handle_);
  if (fd < 0) return WaitResult::Fatal;
  pollfd fds[2];
  fds[0] = pollfd{fd, POLLIN, 0};
  nfds_t count = 1;
  if (stop != nullptr && stop->IsValid()) {
    fds[1] = pollfd{Fd(stop->PollHandle()), POLLIN, 0};
    count = 2;
  }
  int ready;
  {
    // A forced thread termination may take effect here, as in event waits.
    int previous = PTHREAD_CANCEL_DISABLE;
    pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, &previous);
    ready = poll(fds, count, timeoutMs == kInfinite ? -1 : static_cast<int>(timeoutMs));
    pthread_setcancelstate(previous, nullptr);
  }
  if (ready < 0) return errno == EINTR ? WaitResult::Error : WaitResult::Fatal;
  if (count == 2 && (fds[1].revents & POLLIN) != 0) return WaitResult::Stopped;
  if (ready == 0) return WaitResult::Timeout;
  if ((fds[0].revents & POLLNVAL) != 0) return WaitResult::Fatal;
  return WaitResult::Ready;
}

WaitResult UdpSocket::WaitAny(UdpSocket* const* sockets, size_t count, uint32_t timeoutMs, NativeEvent* stop,
                               bool* ready) {
  if (sockets == nullptr || ready == nullptr || count == 0 || count > kMaxWaitSockets) return WaitResult::Fatal;
  pollfd fds[kMaxWaitSockets + 1];
  for (size_t i = 0; i < count; ++i) {
    ready[i] = false;
    fds[i] = pollfd{sockets[i] != nullptr ? Fd(sockets[i]->handle_) : -1, POLLIN, 0};
  }
  nfds_t total = static_cast<nfds_t>(count);
  const bool withStop = stop != nullptr && stop->IsValid();
  if (withStop) fds[total++] = pollfd{Fd(stop->PollHandle()), POLLIN, 0};
  int result;
  {
    // A forced thread termination may take effect here, as in event waits.
    int previous = PTHREAD_CANCEL_DISABLE;
    pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, &previous);
    result = poll(fds, total, timeoutMs == kInfinite ? -1 : static_cast<int>(timeoutMs));
    pthread_setcancelstate(previous, nullptr);
  }
  if (result < 0) return errno == EINTR ? WaitResult::Error : WaitResult::Fatal;
  if (withStop && (fds[count].revents & POLLIN) != 0) return WaitResult::Stopped;
  if (result == 0) return WaitResult::Timeout;
  bool any = false;
  for (size_t i = 0; i < count; ++i) {
    // Errors and a closed socket are worth a read too: the read tells.
    ready[i] = fds[i].fd >= 0 && fds[i].revents != 0;
    any = any || ready[i];
  }
  return any ? WaitResult::Ready : WaitResult::Timeout;
}

IoStatus UdpSocket::ReceiveFrom(void* buffer, size_t length, size_t& received, Ipv4Endpoint& sender,
                                bool& truncated) {
  return Receive(buffer, length, received, sender, truncated, MSG_DONTWAIT);
}

IoStatus UdpSocket::ReceiveBatchWithin(uint8_t* buffer, size_t slotSize, size_t count, Datagram* datagrams,
                                       size_t& received, uint32_t timeoutMs) {
  received = 0;
  if (handle_ < 0 || buffer == nullptr || datagrams == nullptr || count == 0) return IoStatus::Error;
  count = std::min(count, kMaxBatch);
  const uint32_t wanted = timeoutMs;
  if (wanted != 0 && wanted != receiveTimeoutMs_) {
    timeval timeout{};
    timeout.tv_sec = wanted / 1000;
    timeout.tv_usec = static_cast<suseconds_t>(wanted % 1000) * 1000;
    if (setsockopt(Fd(handle_), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0) return IoStatus::Error;
    receiveTimeoutMs_ = wanted;
  }
  mmsghdr messages[kMaxBatch];
  iovec vectors[kMaxBatch];
  sockaddr_in senders[kMaxBatch];
  for (size_t i = 0; i < count; ++i) {
    vectors[i].iov_base = buffer + i * slotSize;
    vectors[i].iov_len = slotSize;
    messages[i] = mmsghdr{};
    messages[i].msg_hdr.msg_name = &senders[i];
    messages[i].msg_hdr.msg_namelen = sizeof senders[i];
    messages[i].msg_hdr.msg_iov = &vectors[i];
    messages[i].msg_hdr.msg_iovlen = 1;
  }
  int n;
  {
    // A forced thread termination may take effect here, as in event waits.
    int previous = PTHREAD_CANCEL_DISABLE;
    pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, &previous);
    do {
      n = recvmmsg(Fd(handle_), messages, static_cast<unsigned>(count), wanted == 0 ? MSG_DONTWAIT : MSG_WAITFORONE,
                   nullptr);
    } while (n < 0 && errno == EINTR);
    pthread_setcancelstate(previous, nullptr);
  }
  if (n < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK) return IoStatus::Timeout;
    if (errno == EBADF || errno == ENOTSOCK || errno == EFAULT || errno == ENETDOWN) return IoStatus::Closed;
    return IoStatus::Error;
  }
  for (int i = 0; i < n; ++i) {
    Datagram& datagram = datagrams[i];
    datagram.truncated = (messages[i].msg_hdr.msg_flags & MSG_TRUNC) != 0;
    datagram.size = datagram.truncated ? 0 : messages[i].msg_len;
    datagram.sender.address = senders[i].sin_addr.s_addr;
    datagram.sender.port = ntohs(senders[i].sin_port);
  }
  received = static_cast<size_t>(n);
  return IoStatus::Ok;
}

IoStatus UdpSocket::Receive(void* buffer, size_t length, size_t& received, Ipv4Endpoint& sender, bool& truncated,
                            int flags) {
  received = 0;
  truncated = false;
  if (handle_ < 0) return IoStatus::Error;
  sockaddr_in from{};
  socklen_t fromLength = sizeof from;
  // MSG_TRUNC makes the result the datagram's real size, so a datagram that
  // did not fit is told apart from one that did.
  ssize_t n;
  do {
    n = recvfrom(Fd(handle_), buffer, length, MSG_TRUNC | flags, reinterpret_cast<sockaddr*>(&from), &fromLength);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK) return IoStatus::Timeout;
    // The socket itself is gone or unusable: no later read will do better.
    if (errno == EBADF || errno == ENOTSOCK || errno == EFAULT || errno == ENETDOWN) return IoStatus::Closed;
    return IoStatus::Error;
  }
  sender.address = from.sin_addr.s_addr;
  sender.port = ntohs(from.sin_port);
  if (static_cast<size_t>(n) > length) {
    truncated = true;
    return IoStatus::Error;
  }
  received = static_cast<size_t>(n);
  return IoStatus::Ok;
}

bool UdpSocket::SendTo(const Ipv4Endpoint& destination, const void* data, size_t length) {
  if (handle_ < 0) return false;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = destination.address;
  to.sin_port = htons(destination.port);
  ssize_t n;
  do {
    n = sendto(Fd(handle_), data, length, MSG_NOSIGNAL | MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&to), sizeof to);
  } while (n < 0 && errno == EINTR);
  return n >= 0 && static_cast<size_t>(n) == length;
}

void UdpSocket::Shutdown() {
  if (handle_ >= 0) shutdown(Fd(handle_), SHUT_RDWR);
}

void UdpSocket::Close() {
  if (handle_ >= 0) {
    close(Fd(handle_));
    handle_ = -1;
  }
}

}  // namespace platform
}  // namespace kestrum
