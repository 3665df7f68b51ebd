// The JPEG cutter on a 1280x720 Motion JPEG stream in 8192-byte reads, beside
// a plain memchr scan for 0xFF over the same bytes.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "driver/IDriver.h"
#include "parsers/JpegMediaParser.h"
#include "parsers/MediaParserClient.h"
#include "tools/camera-sim/PictureFactory.h"
#include "tools/hostlib/HostFrames.h"

namespace {

// A 720p stream as the camera sends it: 50 pictures with multipart headers.
const std::vector<uint8_t>& Stream() {
  static std::vector<uint8_t> stream = [] {
    kestrum::sim::PictureFactory factory;
    auto pictures = factory.Get(1280, 720, 70);
    std::string text;
    for (const std::string& jpeg : *pictures) {
      text += "--b\r\nContent-Type: image/jpeg\r\nContent-Length: " + std::to_string(jpeg.size()) + "\r\n\r\n" + jpeg +
              "\r\n";
    }
    return std::vector<uint8_t>(text.begin(), text.end());
  }();
  return stream;
}

// Hands out one reused frame, so that only the cutter is measured.
class ReusingAllocator : public kestrum::ipcapture::IHostFrameAllocator {
 public:
  KESTRUM_DESTRUCTOR_SLOT(ReusingAllocator)
  kestrum::ipcapture::IHostFrame* CreateFrame(uint32_t code, uint32_t size, const char* name) override {
    if (!frame_ || frame_->Capacity() < size) frame_.reset(new kestrum::host::HeapFrame(code, size, name));
    return frame_.get();
  }
  void ReleaseFrame(kestrum::ipcapture::IHostFrame*) override {}

 private:
  std::unique_ptr<kestrum::host::HeapFrame> frame_;
};

class NullDriver : public kestrum::IDriver {
 public:
  std::string GetDeviceAddress() override { return "bench:80"; }
  void Message(uint32_t, const char*, ...) override {}
  const char* GetDriverName() override { return "QuellonIPCapture"; }
  std::string GetHostDirectory() override { return ""; }
  kestrum::DEVICE_INFO* GetDeviceInfo() override { return &device_; }
  kestrum::IOCounts GetIOCounts() override { return {}; }
  kestrum::ipcapture::IHostFrameAllocator* GetFrameAllocator() override { return &allocator_; }
  uint32_t GetStreamKind() override { return 1; }
  uint32_t GetChannelCount() override { return 1; }
  std::string GetParameterString(uint32_t) override { return ""; }
  int32_t GetParameterNumber(uint32_t) override { return kNoNumber; }
  int32_t FindResolution(uint32_t, uint32_t) override { return -1; }

 private:
  kestrum::DEVICE_INFO device_;
  ReusingAllocator allocator_;
};

class CountingClient : public kestrum::IMediaParserClient {
 public:
  bool OnFrame(kestrum::ipcapture::IHostFrame*) override {
    ++frames;
    return true;
  }
  std::pair<uint32_t, uint32_t> GetFrameSize() override { return {1280, 720}; }
  std::string GetSourceName() override { return "QuellonIPCapture"; }
  void GetFrameTime(uint32_t, kestrum::ipcapture::SYSTEM_TIME&) override {}
  uint64_t frames = 0;
};

void BM_JpegCutter_8KReads(benchmark::State& state) {
  const std::vector<uint8_t>& stream = Stream();
  NullDriver driver;
  CountingClient client;
  kestrum::CJpegMediaParser parser(&driver);
  parser.SetClient(&client);
  std::vector<uint8_t> chunk;
  for (auto _ : state) {
    for (size_t at = 0; at < stream.size(); at += 8192) {
      chunk.assign(stream.begin() + static_cast<std::ptrdiff_t>(at),
                   stream.begin() + static_cast<std::ptrdiff_t>(std::min(stream.size(), at + 8192)));
      parser.ProcessData(chunk);
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
  state.counters["pictures"] = static_cast<double>(client.frames) / static_cast<double>(state.iterations());
}

void BM_PlainMemchrScan_8KReads(benchmark::State& state) {
  const std::vector<uint8_t>& stream = Stream();
  std::vector<uint8_t> chunk;
  uint64_t markers = 0;
  for (auto _ : state) {
    for (size_t at = 0; at < stream.size(); at += 8192) {
      chunk.assign(stream.begin() + static_cast<std::ptrdiff_t>(at),
                   stream.begin() + static_cast<std::ptrdiff_t>(std::min(stream.size(), at + 8192)));
      const uint8_t* p = chunk.data();
      const uint8_t* end = p + chunk.size();
      while ((p = static_cast<const uint8_t*>(std::memchr(p, 0xFF, static_cast<size_t>(end - p)))) != nullptr) {
        ++markers;
        if (++p >= end) break;
      }
    }
  }
  benchmark::DoNotOptimize(markers);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * stream.size()));
}

}  // namespace

BENCHMARK(BM_JpegCutter_8KReads)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlainMemchrScan_8KReads)->Unit(benchmark::kMillisecond);
