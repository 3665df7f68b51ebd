// Base of the parsers that cut an HTTP byte stream into frames.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kestrum {

class IDriver;
class IMediaParserClient;

class CHttpMediaParser {
 public:
  static constexpr size_t kMaxFrameBytes = 10485760;  // 10 MiB

  explicit CHttpMediaParser(IDriver* driver) : driver_(driver) {}
  virtual ~CHttpMediaParser() = default;
  CHttpMediaParser(const CHttpMediaParser&) = delete;
  CHttpMediaParser& operator=(const CHttpMediaParser&) = delete;

  void SetClient(IMediaParserClient* client) { client_ = client; }
  // One chunk as read from the stream; frames finished in it reach the client
  // before this returns.
  virtual void ProcessData(const std::vector<uint8_t>& chunk) = 0;

  uint32_t GetWidth() const { return width_; }
  uint32_t GetHeight() const { return height_; }

 protected:
  // False, after logging, when the frame buffer holds more than 10 MiB.
  bool CheckBufferSize();
  // Hands the frame buffer to the host as one frame of the given code.
  void EmitFrame(uint32_t fourCC);

  IDriver* driver_;
  IMediaParserClient* client_ = nullptr;
  uint32_t width_ = 0;
  uint32_t height_ = 0;
  std::vector<uint8_t> frame_;  // reused: emptied, never freed, between pictures
};

}  // namespace kestrum
