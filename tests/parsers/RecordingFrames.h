// Host frames that write down every call made on them, in order, with the
// parser client's own calls between them; a frame may have no buffer, as a
// host whose memory has run out hands one.
#pragma once

#include <string>
#include <vector>

#include "driver/IDriver.h"
#include "tests/parsers/ParserClient.h"
#include "tests/support/FakeDriver.h"

namespace kestrum {
namespace testing {

using CallLog = std::vector<std::string>;

class RecordingFrame final : public ipcapture::IHostFrame {
 public:
  KESTRUM_DESTRUCTOR_SLOT(RecordingFrame)
  RecordingFrame(CallLog& calls, uint32_t size, bool withBuffer) : calls_(calls), bytes_(withBuffer ? size : 0) {}
  virtual ~RecordingFrame() = default;

  uint8_t* GetBuffer() override {
    calls_.push_back("GetBuffer");
    return bytes_.empty() ? nullptr : bytes_.data();
  }
  void SetDataSize(uint32_t) override { calls_.push_back("SetDataSize"); }
  void SetTime(const ipcapture::SYSTEM_TIME&) override { calls_.push_back("SetTime"); }
  void SetFourCC(uint32_t) override { calls_.push_back("SetFourCC"); }
  void SetHeight(uint32_t) override { calls_.push_back("SetHeight"); }
  void SetWidth(uint32_t) override { calls_.push_back("SetWidth"); }
  void SetSizeClass(uint32_t) override { calls_.push_back("SetSizeClass"); }

 private:
  CallLog& calls_;
  std::vector<uint8_t> bytes_;
};

class RecordingFrameAllocator final : public ipcapture::IHostFrameAllocator {
 public:
  KESTRUM_DESTRUCTOR_SLOT(RecordingFrameAllocator)
  explicit RecordingFrameAllocator(CallLog& calls) : calls_(calls) {}
  virtual ~RecordingFrameAllocator() = default;

  ipcapture::IHostFrame* CreateFrame(uint32_t, uint32_t dataSize, const char*) override {
    calls_.push_back("CreateFrame");
    ++outstanding;
    return new RecordingFrame(calls_, dataSize, withBuffers);
  }
  void ReleaseFrame(ipcapture::IHostFrame* frame) override {
    calls_.push_back("ReleaseFrame");
    --outstanding;
    delete static_cast<RecordingFrame*>(frame);
  }

  bool withBuffers = true;
  int outstanding = 0;

 private:
  CallLog& calls_;
};

// The client's calls in the same log.
class RecordingClient : public IMediaParserClient {
 public:
  explicit RecordingClient(CallLog& calls) : calls_(calls) {}
  bool OnFrame(ipcapture::IHostFrame*) override {
    calls_.push_back("OnFrame");
    return true;
  }
  std::pair<uint32_t, uint32_t> GetFrameSize() override { return {0, 0}; }
  std::string GetSourceName() override { return "QuellonIPCapture"; }
  void GetFrameTime(uint32_t, ipcapture::SYSTEM_TIME&) override { calls_.push_back("GetFrameTime"); }

 private:
  CallLog& calls_;
};

class RecordingFramesDriver : public FakeDriver {
 public:
  ipcapture::IHostFrameAllocator* GetFrameAllocator() override { return &frames; }

  CallLog calls;
  RecordingFrameAllocator frames{calls};
};

}  // namespace testing
}  // namespace kestrum
