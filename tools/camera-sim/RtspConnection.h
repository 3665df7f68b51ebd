// One client connection of the simulated camera's RTSP side. Responses and
// interleaved media share it, so every write goes through one lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "platform/Event.h"
#include "platform/Socket.h"

namespace kestrum {
namespace sim {

class RtspConnection {
 public:
  explicit RtspConnection(platform::TcpSocket socket) : socket_(std::move(socket)) {}

  // Whole or not at all within the time-out; false once closed.
  bool Send(const void* data, size_t size, uint32_t timeoutMs, platform::NativeEvent* stop) {
    std::lock_guard<std::mutex> lock(writeMutex_);
    if (closed_) return false;
    if (socket_.SendAll(data, size, timeoutMs, stop) != platform::IoStatus::Ok) {
      // A half-written frame would garble the stream; end the connection.
      closed_ = true;
      socket_.Shutdown();
      return false;
    }
    return true;
  }
  bool Send(const std::string& text, uint32_t timeoutMs, platform::NativeEvent* stop) {
    return Send(text.data(), text.size(), timeoutMs, stop);
  }
  // Reads are made by the connection's own thread only.
  platform::IoStatus Receive(void* buffer, size_t size, size_t& received, uint32_t timeoutMs,
                             platform::NativeEvent* stop) {
    return socket_.Receive(buffer, size, received, timeoutMs, stop);
  }
  // Ends the connection as a camera would drop it; the reader wakes up.
  void Close() {
    std::lock_guard<std::mutex> lock(writeMutex_);
    closed_ = true;
    socket_.Shutdown();
  }
  bool IsClosed() const { return closed_.load(); }
  uint32_t PeerAddress() const { return socket_.PeerAddress(); }

 private:
  platform::TcpSocket socket_;
  std::mutex writeMutex_;
  std::atomic<bool> closed_{false};
};

}  // namespace sim
}  // namespace kestrum
