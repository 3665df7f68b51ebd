#include "rtsp/UDPClient.h"

#include <algorithm>
#include <new>

#include "platform/Thread.h"

namespace kestrum {

namespace {
// A key picture of a 720p or 1080p camera arrives as one burst of 100 to 300
// datagrams; 64 KiB of socket buffer (half of it on Linux, which counts each
// datagram's overhead) loses most of them before they are read. The socket
// buffer is also the queue while the owner's thread hands a picture on.
constexpr uint32_t kReceiveBuffer = 2u << 20;
constexpr uint32_t kLargestDatagram = 65535;
constexpr uint32_t kBufferGrowth = 1024;
constexpr size_t kBatch = 16;  // datagrams taken per read
// Then the owner's other ports get a turn.
constexpr size_t kBatchesPerCall = CUDPClient::kMostPerReceive / kBatch;
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

CUDPClient::CUDPClient(IDebugMessage*) {}

CUDPClient::~CUDPClient() { Close(); }

bool CUDPClient::Open(IRTPClientUser* user, uint16_t port) {
  bool opened = false;
  {
    CLockGuard guard(lock_);
    user_ = user;
    std::lock_guard<std::mutex> handleGuard(handleLock_);
    opened = !socket_.IsOpen() && socket_.Bind(port, kReceiveBuffer);
    if (opened) {
      port_ = port;
      lastActivityMs_ = 0;
    }
  }
  if (!opened) Close();
  return opened;
}

bool CUDPClient::Close() {
  bool hadSocket;
  {
    CLockGuard guard(lock_);
    hadSocket = socket_.IsOpen();
    port_ = 0;
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
    // Sized for the largest datagram seen: not kept for the next session.
    std::vector<uint8_t>().swap(buffers_);
    slotSize_ = 0;
  }
  IRTPClientUser* user = user_.load();
  if (hadSocket && user != nullptr) {
    try {
      user->OnClosed(this);
    } catch (...) {
      if (platform::IsThreadTermination()) throw;
    }
  }
  return hadSocket;
}

void CUDPClient::SetWaitTimeout(uint32_t seconds, uint32_t fraction) {
  waitSeconds_ = seconds;
  waitMicroseconds_ = fraction % 1000000;
}

uint32_t CUDPClient::WaitTimeoutMs() const {
  // Round a fraction of a millisecond up: a zero wait would report every pass.
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
  std::lock_guard<std::mutex> guard(handleLock_);
  if (!socket_.IsOpen()) return false;
  if (length == 0) return true;
  return socket_.SendTo(ToEndpoint(destination), data, length);
}

bool CUDPClient::Wait(CUDPClient* const* clients, size_t count, uint32_t ms, CEvent& stop, bool* readable) {
  constexpr size_t kMax = platform::UdpSocket::kMaxWaitSockets;
  platform::UdpSocket* sockets[kMax];
  size_t position[kMax];
  bool ready[kMax];
  size_t open = 0;
  for (size_t i = 0; i < count; ++i) {
    if (readable != nullptr) readable[i] = false;
    // Read without the handle lock: only the owner's thread closes it.
    if (open < kMax && clients[i] != nullptr && clients[i]->socket_.IsOpen()) {
      position[open] = i;
      sockets[open++] = &clients[i]->socket_;
    }
  }
  if (open == 0) return stop.Wait(ms);
  const platform::WaitResult result = platform::UdpSocket::WaitAny(sockets, open, ms, stop.Native(), ready);
  if (result == platform::WaitResult::Stopped) return true;
  // A failed wait must not make its caller spin: it waits on the stop alone.
  if (result == platform::WaitResult::Fatal || result == platform::WaitResult::Error) return stop.Wait(ms);
  if (readable != nullptr && result == platform::WaitResult::Ready) {
    for (size_t i = 0; i < open; ++i) readable[position[i]] = ready[i];
  }
  return false;
}

size_t CUDPClient::Receive(uint64_t nowMs, bool readable) {
  // The user is called without the lock: it hands pictures to the host,
  // which may take its own lock or call back in. Open and Close come from
  // this same thread, so the slots stay while the user has them; a Close
  // from inside the user ends the pass.
  if (!socket_.IsOpen()) return 0;
  IRTPClientUser* user = user_.load();
  if (!readable) {
    NoteQuiet(nowMs, user);
    return 0;
  }
  bool sized;
  {
    CLockGuard guard(lock_);
    sized = SizeSlots();
  }
  if (!sized) {
    // Nothing can be read now. Returning would leave the socket readable
    // and its reader spinning on the allocator: the channel's thread is
    // told instead, reports it and opens the stream afresh after a pause.
    throw std::bad_alloc();
  }
  size_t handed = 0;
  platform::UdpSocket::Datagram datagrams[kBatch];
  for (size_t batch = 0; batch < kBatchesPerCall; ++batch) {
    size_t count = 0;
    platform::IoStatus status;
    {
      CLockGuard guard(lock_);
      status = socket_.ReceiveBatchWithin(buffers_.data(), slotSize_, kBatch, datagrams, count, 0);
    }
    if (status == platform::IoStatus::Closed) {
      if (user != nullptr) user->OnClosed(this);
      return handed;
    }
    if (status != platform::IoStatus::Ok || count == 0) break;
    handed += count;
    uint32_t cut = 0;
    for (size_t i = 0; i < count; ++i) {
      if (datagrams[i].truncated) ++cut;
      if (datagrams[i].size == 0 || user == nullptr) continue;
      user->OnData(this, ToSocketAddress(datagrams[i].sender), buffers_.data() + i * slotSize_,
                   static_cast<uint32_t>(datagrams[i].size));
      if (!socket_.IsOpen()) return handed;
    }
    if (cut != 0) {
      // Each datagram larger than its slot is lost; the slots grow for each
      // before the next read, so that the rest of a burst of its size fits.
      const uint64_t grown = static_cast<uint64_t>(slotSize_) + static_cast<uint64_t>(cut) * kBufferGrowth;
      bufferSize_ = static_cast<uint32_t>(std::min<uint64_t>(grown, kLargestDatagram));
      // Without memory for larger slots the pass goes on with these.
      CLockGuard guard(lock_);
      SizeSlots();
    }
    if (count < kBatch) break;
  }
  if (handed != 0) {
    lastActivityMs_ = nowMs;
  } else {
    NoteQuiet(nowMs, user);
  }
  return handed;
}

bool CUDPClient::SizeSlots() {
  const uint32_t wanted = std::min(std::max(bufferSize_.load(), 1u), kLargestDatagram);
  if (slotSize_ >= wanted && !buffers_.empty()) return true;
  const uint32_t size = std::max(slotSize_, wanted);
  try {
    std::vector<uint8_t> slots(static_cast<size_t>(size) * kBatch, 0);
    buffers_.swap(slots);
    slotSize_ = size;
    return true;
  } catch (const std::bad_alloc&) {
    return !buffers_.empty();
  }
}

void CUDPClient::NoteQuiet(uint64_t nowMs, IRTPClientUser* user) {
  if (lastActivityMs_ == 0) {
    lastActivityMs_ = nowMs;
  } else if (nowMs - lastActivityMs_ >= WaitTimeoutMs()) {
    lastActivityMs_ = nowMs;
    if (user != nullptr) user->OnTimeout(this);
  }
}

}  // namespace kestrum
