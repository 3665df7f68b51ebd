// An MPEG-4 Part 2 byte stream into the HTTP MPEG-4 parser (with our own
// header reader), in pieces whose sizes the first byte chooses; and the
// input as a configuration header into the header reader alone.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "parsers/MediaParserClient.h"
#include "parsers/Mpeg4Header.h"
#include "parsers/MpegMediaParser.h"
#include "tests/support/MinimalDriver.h"

namespace {

class Client : public kestrum::IMediaParserClient {
 public:
  bool OnFrame(kestrum::ipcapture::IHostFrame* frame) override {
    auto* heap = dynamic_cast<kestrum::host::HeapFrame*>(frame);
    if (heap == nullptr || heap->DataSize() < 4) __builtin_trap();
    return true;
  }
  std::pair<uint32_t, uint32_t> GetFrameSize() override { return {0, 0}; }
  std::string GetSourceName() override { return "QuellonIPCapture"; }
  void GetFrameTime(uint32_t, kestrum::ipcapture::SYSTEM_TIME&) override {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  uint32_t width = 0;
  uint32_t height = 0;
  // A copy of exactly the input, so that any read past it is caught.
  const std::vector<uint8_t> header(data + 1, data + size);
  if (kestrum::ParseMpeg4ConfigHeader(header.data(), static_cast<int32_t>(header.size()), &width, &height) == 1 &&
      (width == 0 || height == 0 || width >= 8192 || height >= 8192)) {
    __builtin_trap();
  }
  static kestrum::testing::MinimalDriver driver;
  Client client;
  kestrum::CMpegMediaParser parser(&driver, &kestrum::ParseMpeg4ConfigHeader);
  parser.SetClient(&client);
  const size_t step = 1 + data[0] % 97;
  for (size_t at = 1; at < size; at += step) {
    const size_t end = at + step < size ? at + step : size;
    parser.ProcessData(std::vector<uint8_t>(data + at, data + end));
  }
  if (driver.allocator.Outstanding() != 0) __builtin_trap();
  return 0;
}
