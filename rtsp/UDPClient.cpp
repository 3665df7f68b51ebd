#include "rtsp/UDPClient.h"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace kestrum {

namespace {
// A key picture of a 720p or 1080p camera arrives as one burst of 100 to 300
// datagrams; 64 KiB of socket buffer (half of it on Linux, which counts each
// datagram's overhead) loses most of them before the thread can read.
constexpr uint32_t kReceiveBuffer = 2u << 20;
constexpr uint32_t kReceiveTimeoutMs = 5000;
constexpr uint32_t kSendTimeoutMs = 1000;
constexpr uint32_t kLargestDatagram = 65535;
constexpr uint32_t kBufferGrowth = 1024;
constexpr size_t kBatch = 32;  // datagrams taken per read
constexpr int kMaxDiscarded = 100;
constexpr uint16_t kFamilyIPv4 = 2;

uint16_t SwapBytes(uint16_t value) { return static_cast<uint16_t>((value >> 8) | (value << 8)); }
bool IsLittleEndian() {
  const uint16_t probe = 1;
  return *reinterpret_cast<const uint8_t*>(&probe) == 1;
}
uint16_t ToNetwork16(uint16_t value) { return IsLittleEndian() ? SwapBytes(value) : value; }
}  // namespace

SOCKET_ADDRESS_V4 ToSocketAddress(const platform::Ipv4Endpoint& endpoint) {
  SOCKET_ADDRESS_V4 address{};
  address.Family = kFamilyIPv4;
  address.Port = ToNetwork16(endpoint.port);
  address.Address = endpoint.address;
  return address;
}

platform::Ipv4Endpoint ToEndpoint(const SOCKET_ADDRESS_V4& address) {
  platform::Ipv4Endpoint endpoint;
  endpoint.address = address.Address;
  endpoint.port = ToNetwork16(address.Port);
  return endpoint;
}

CUDPClient::CUDPClient(IDebugMessage* log) : CBaseThread(log) {}

CUDPClient::~CUDPClient() { Close(); }

bool CUDPClient::Open(IRTPClientUser* user, uint16_t port) {
  bool opened = false;
  {
    CLockGuard guard(lock_);
    user_ = user;
    bool bound;
    {
      std::lock_guard<std::mutex> handleGuard(handleLock_);
      bound = socket_.Bind(port, kReceiveBuffer);
    }
    if (bound) {
      port_ = port;
      // The socket's own time-outs play no part here (every wait is a poll
      // with the stop event), but they bound how long a stop may take.
      stopWaitMs_ = std::max(kReceiveTimeoutMs, kSendTimeoutMs);
      char name[64];
      snprintf(name, sizeof name, "UDP client thread, port %u", static_cast<unsigned>(port));
      opened = Start(name);
    }
  }
  if (!opened) Close();
  return opened;
}

bool CUDPClient::Close() {
  StopEvent().Set();
  bool joined;
  bool hadSocket;
  {
    CLockGuard guard(lock_);
    hadSocket = socket_.IsOpen();
    socket_.Shutdown();
    port_ = 0;
    const uint32_t waitMs = std::max(waitSeconds_.load() * 1000, stopWaitMs_) + 1000;
    joined = JoinThread(std::max(waitMs, 5000u));
    if (hadSocket) {
      // What the system still holds for this port must not reach a later
      // user of it.
      uint8_t scrap[1500];
      for (int i = 0; i < kMaxDiscarded; ++i) {
        size_t received = 0;
        platform::Ipv4Endpoint sender;
        bool truncated = false;
        if (socket_.ReceiveFrom(scrap, sizeof scrap, received, sender, truncated) != platform::IoStatus::Ok ||
            received == 0) {
          break;
        }
      }
      std::lock_guard<std::mutex> handleGuard(handleLock_);
      socket_.Close();
    }
  }
  IRTPClientUser* user = user_.load();
  if (hadSocket && user != nullptr) {
    try {
      user->OnClosed(this);
    } catch (...) {
      if (platform::IsThreadTermination()) throw;
    }
  }
  return joined;
}

void CUDPClient::SetWaitTimeout(uint32_t seconds, uint32_t fraction) {
  waitSeconds_ = seconds;
  waitMicroseconds_ = fraction % 1000;
}

uint32_t CUDPClient::WaitTimeoutMs() const {
  // Round a fraction of a millisecond up: a zero wait would spin.
  const uint32_t ms = waitSeconds_.load() * 1000 + (waitMicroseconds_.load() + 999) / 1000;
  return ms == 0 ? 1 : ms;
}

bool CUDPClient::IsOpen() {
  std::lock_guard<std::mutex> guard(handleLock_);
  return socket_.IsOpen();
}

uint16_t CUDPClient::BoundPort() {
  std::lock_guard<std::mutex> guard(handleLock_);
  return socket_.LocalPort();
}

bool CUDPClient::Send(const SOCKET_ADDRESS_V4& destination, const uint8_t* data, uint32_t length) {
  // Close cannot close the socket under a send from another thread (the
  // RTCP handler's). Not the Open/Close lock: Close holds that while it
  // joins a thread whose user may be sending.
  std::lock_guard<std::mutex> guard(handleLock_);
  if (!socket_.IsOpen()) return false;
  if (length == 0) return true;
  return socket_.SendTo(ToEndpoint(destination), data, length);
}


void CUDPClient::Run() {
  uint32_t size = std::min(std::max(bufferSize_.load(), 1u), kLargestDatagram);
  std::vector<uint8_t> buffers;
  platform::UdpSocket::Datagram datagrams[kBatch];
  // The read itself waits (for the wait time-out) and then takes the whole
  // burst that is queued: a key picture arrives as one. Close signals the
  // stop event and shuts the socket down, which ends a read in progress.
  for (;;) {
    if (IsStopRequested()) break;
    buffers.resize(static_cast<size_t>(size) * kBatch);
    size_t count = 0;
    const platform::IoStatus status =
        socket_.ReceiveBatchWithin(buffers.data(), size, kBatch, datagrams, count, WaitTimeoutMs());
    if (IsStopRequested()) break;
    IRTPClientUser* user = user_.load();
    if (status == platform::IoStatus::Timeout) {
      if (user != nullptr) user->OnTimeout(this);
      continue;
    }
    if (status == platform::IoStatus::Closed) {
      if (user != nullptr) user->OnClosed(this);
      break;
    }
    bool grow = false;
    for (size_t i = 0; i < count; ++i) {
      // A datagram larger than the buffer is lost; the next one of its size fits.
      if (datagrams[i].truncated) grow = true;
      if (datagrams[i].size == 0 || user == nullptr) continue;
      user->OnData(this, ToSocketAddress(datagrams[i].sender), buffers.data() + i * size,
                   static_cast<uint32_t>(datagrams[i].size));
    }
    if (grow) size = std::min(size + kBufferGrowth, kLargestDatagram);
  }
}

}  // namespace kestrum
