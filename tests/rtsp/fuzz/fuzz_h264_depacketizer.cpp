// Sequences of RTP packets into the H.264 depacketizer. Each packet in the
// input: a length byte pair, a flags byte (bit 0 marker, bit 1 skip one
// sequence number, bit 2 hand over parameter sets first), then the payload.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "parsers/H264RTPMediaParser.h"
#include "parsers/MediaParserClient.h"
#include "rtsp/RTPPacket.h"
#include "tests/support/MinimalDriver.h"
#include "tools/hostlib/HostFrames.h"

namespace {

class Client : public kestrum::IMediaParserClient {
 public:
  bool OnFrame(kestrum::ipcapture::IHostFrame* frame) override {
    auto* heap = dynamic_cast<kestrum::host::HeapFrame*>(frame);
    // Every frame is a whole Annex B unit with the end mark.
    static const uint8_t kEnd[] = {0, 0, 0, 1, 9};
    if (heap == nullptr || heap->DataSize() < 5 ||
        std::memcmp(heap->Data() + heap->DataSize() - 5, kEnd, 5) != 0 || heap->Width() == 0) {
      __builtin_trap();
    }
    return (heap->DataSize() & 1) == 0;  // the host refuses now and then
  }
  std::pair<uint32_t, uint32_t> GetFrameSize() override { return {0, 0}; }
  std::string GetSourceName() override { return "QuellonIPCapture"; }
  void GetFrameTime(uint32_t, kestrum::ipcapture::SYSTEM_TIME&) override {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static kestrum::testing::MinimalDriver driver;
  Client client;
  kestrum::CH264RTPMediaParser parser(&driver);
  parser.SetClient(&client);
  uint16_t sequence = 0;
  size_t at = 0;
  while (at + 3 <= size) {
    const size_t length = static_cast<size_t>(data[at] << 8 | data[at + 1]) % 2048;
    const uint8_t flags = data[at + 2];
    at += 3;
    const size_t take = length < size - at ? length : size - at;
    if ((flags & 4) != 0) {
      // The payload doubles as SPS and PPS from a session description.
      const std::vector<uint8_t> sets[3] = {std::vector<uint8_t>(data + at, data + at + take / 2),
                                            std::vector<uint8_t>(data + at + take / 2, data + at + take), {}};
      parser.SetParameterSets(sets);
    }
    kestrum::CRTPPacket packet;
    packet.SequenceNumber = sequence;
    sequence = static_cast<uint16_t>(sequence + ((flags & 2) != 0 ? 2 : 1));
    packet.Marker = flags & 1;
    packet.Timestamp = sequence * 3000u;
    packet.Payload.assign(data + at, data + at + take);
    parser.ProcessPacket(packet);
    at += take;
  }
  if (driver.allocator.Outstanding() != 0) __builtin_trap();
  return 0;
}
