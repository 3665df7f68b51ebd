// A bare RTSP client for the simulator's tests: sends requests as given and
// reads responses and interleaved frames off the connection, so that the
// tests see exactly what the camera sends.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "foundation/TextUtils.h"
#include "platform/Clock.h"
#include "platform/Socket.h"

namespace kestrum {
namespace testing {

struct InterleavedFrame {
  uint8_t channel = 0;
  std::vector<uint8_t> data;
};

class RtspTestClient {
 public:
  bool Connect(uint16_t port) {
    return socket_.Connect(platform::LoopbackAddress(), port, 2000, nullptr) == platform::IoStatus::Ok;
  }

  // Sends the request (CSeq and the empty line added) and returns the next
  // response, or empty after timeoutMs. Interleaved frames met on the way
  // are kept for Frames.
  std::string Request(const std::string& method, const std::string& url, const std::string& headers = "",
                      uint32_t timeoutMs = 10000) {
    Send(method + " " + url + " RTSP/1.0\r\nCSeq: " + std::to_string(++cseq_) + "\r\n" + headers + "\r\n");
    return NextResponse(timeoutMs);
  }
  void Send(const std::string& text) { socket_.SendAll(text, 2000, nullptr); }

  std::string NextResponse(uint32_t timeoutMs) {
    for (;;) {
      TakeFrames();
      if (!buffer_.empty() && buffer_[0] != '$') {
        const size_t end = buffer_.find("\r\n\r\n");
        if (end != std::string::npos) {
          const std::string head = buffer_.substr(0, end + 4);
          const size_t length = static_cast<size_t>(ReadNumber(GetLineValue(head, "Content-Length", ": ", "\r\n")));
          if (buffer_.size() >= end + 4 + length) {
            const std::string response = buffer_.substr(0, end + 4 + length);
            buffer_.erase(0, response.size());
            return response;
          }
        }
      }
      if (!Read(timeoutMs)) return std::string();
    }
  }

  // Reads interleaved frames for ms; false when the connection ended.
  bool Collect(uint32_t ms) {
    const uint64_t end = platform::MonotonicMilliseconds() + ms;
    for (;;) {
      TakeFrames();
      const uint64_t now = platform::MonotonicMilliseconds();
      if (now >= end) return true;
      size_t received = 0;
      char chunk[16384];
      const platform::IoStatus status =
          socket_.Receive(chunk, sizeof chunk, received, static_cast<uint32_t>(end - now), nullptr);
      if (status == platform::IoStatus::Timeout) continue;
      if (status != platform::IoStatus::Ok) return false;
      buffer_.append(chunk, received);
    }
  }

  std::vector<InterleavedFrame>& Frames() { return frames_; }
  static std::string Value(const std::string& response, const std::string& header) {
    return GetLineValue(response, header, ": ", "\r\n");
  }

 private:
  bool Read(uint32_t timeoutMs) {
    char chunk[16384];
    size_t received = 0;
    if (socket_.Receive(chunk, sizeof chunk, received, timeoutMs, nullptr) != platform::IoStatus::Ok) return false;
    buffer_.append(chunk, received);
    return true;
  }
  void TakeFrames() {
    while (buffer_.size() >= 4 && buffer_[0] == '$') {
      const size_t length = static_cast<uint8_t>(buffer_[2]) << 8 | static_cast<uint8_t>(buffer_[3]);
      if (buffer_.size() < 4 + length) return;
      InterleavedFrame frame;
      frame.channel = static_cast<uint8_t>(buffer_[1]);
      frame.data.assign(buffer_.begin() + 4, buffer_.begin() + 4 + static_cast<long>(length));
      frames_.push_back(std::move(frame));
      buffer_.erase(0, 4 + length);
    }
  }

  platform::TcpSocket socket_;
  std::string buffer_;
  uint32_t cseq_ = 0;
  std::vector<InterleavedFrame> frames_;
};

}  // namespace testing
}  // namespace kestrum
