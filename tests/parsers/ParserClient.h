// An IMediaParserClient that keeps every frame it is given.
#pragma once

#include <string>
#include <vector>

#include "parsers/MediaParserClient.h"
#include "tools/hostlib/HostFrames.h"

namespace kestrum {
namespace testing {

struct ParsedFrame {
  std::string data;
  uint32_t fourCC = 0;
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t sizeClass = 0;
  std::string source;
};

class ParserClient : public IMediaParserClient {
 public:
  bool OnFrame(ipcapture::IHostFrame* frame) override {
    auto* heap = dynamic_cast<host::HeapFrame*>(frame);
    if (heap == nullptr) return false;
    ParsedFrame f;
    f.data.assign(reinterpret_cast<const char*>(heap->Data()), heap->DataSize());
    f.fourCC = heap->FourCC();
    f.width = heap->Width();
    f.height = heap->Height();
    f.sizeClass = heap->SizeClass();
    f.source = heap->SourceName();
    frames.push_back(f);
    return accept;
  }
  std::pair<uint32_t, uint32_t> GetFrameSize() override { return {0, 0}; }
  std::string GetSourceName() override { return "QuellonIPCapture"; }
  void GetFrameTime(uint32_t, ipcapture::SYSTEM_TIME& time) override { time.Year = 2026; }

  std::vector<ParsedFrame> frames;
  bool accept = true;
};

}  // namespace testing
}  // namespace kestrum
