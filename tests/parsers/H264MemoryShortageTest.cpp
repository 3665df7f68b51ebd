// The H.264 depacketizer when memory or host frames run out: the unit is
// dropped, and the shortage is kept for the channel to name (a session that
// brought no picture says why). Its own program: it replaces operator new.
#include <gtest/gtest.h>

#include "parsers/H264RTPMediaParser.h"
#include "rtsp/RTPPacket.h"
#include "tests/parsers/ParserClient.h"
#include "tests/support/FakeDriver.h"
#include "tests/support/RefusingAllocator.h"
#include "tools/camera-sim/H264Encoder.h"

using namespace kestrum;
using namespace kestrum::testing;

namespace {

// The RTP packets of units first .. first + count - 1 of a real stream
// (4 units per key frame), numbered from sequence on.
std::vector<CRTPPacket> UnitPackets(size_t first, size_t count, uint16_t& sequence) {
  static std::shared_ptr<const sim::PacketizedLoop> loop = [] {
    sim::EncoderSettings settings;
    settings.width = 320;
    settings.height = 240;
    settings.keyframe = 4;
    return sim::Packetize(*sim::EncodeLoop(settings), sim::PacketOptions());
  }();
  std::vector<CRTPPacket> packets;
  for (size_t i = first; i < first + count; ++i) {
    for (const sim::RtpPayload& payload : loop->accessUnits[i % loop->accessUnits.size()]) {
      packets.emplace_back();
      CRTPPacket& packet = packets.back();
      packet.SequenceNumber = sequence++;
      packet.Marker = payload.marker ? 1 : 0;
      packet.Timestamp = static_cast<uint32_t>(i * 3600);
      packet.PayloadType = 96;
      packet.Payload.assign(payload.bytes.begin(), payload.bytes.end());
    }
  }
  return packets;
}

class H264MemoryShortage : public ::testing::Test {
 protected:
  H264MemoryShortage() : parser_(&driver_) { parser_.SetClient(&client_); }

  // Made before any refusal.
  std::vector<CRTPPacket> Packets(size_t first, size_t count) { return UnitPackets(first, count, sequence_); }
  void Feed(const std::vector<CRTPPacket>& packets, bool refuse) {
    for (const CRTPPacket& packet : packets) {
      kestrum::testing::RefuseAllocations(refuse);
      parser_.ProcessPacket(packet);
      kestrum::testing::RefuseAllocations(false);
    }
  }

  FakeDriver driver_;
  ParserClient client_;
  CH264RTPMediaParser parser_;
  uint16_t sequence_ = 100;
};

TEST_F(H264MemoryShortage, ADroppedUnitIsToldOnceAndTheStreamRecoversAtTheNextKeyFrame) {
  const std::vector<CRTPPacket> starved = Packets(0, 4);
  const std::vector<CRTPPacket> fed = Packets(4, 4);
  Feed(starved, true);
  EXPECT_TRUE(client_.frames.empty());
  EXPECT_TRUE(parser_.TakeMemoryShortage()) << "the dropped units are not told";
  EXPECT_FALSE(parser_.TakeMemoryShortage()) << "told once, until it happens again";
  // Memory is back: the next key frame and what follows it record.
  Feed(fed, false);
  EXPECT_EQ(4u, client_.frames.size());
  EXPECT_FALSE(parser_.TakeMemoryShortage()) << "a stream with memory reports no shortage";
}

// A host whose frame allocator has nothing to give.
class NoFrames final : public ipcapture::IHostFrameAllocator {
 public:
  KESTRUM_DESTRUCTOR_SLOT(NoFrames)
  ipcapture::IHostFrame* CreateFrame(uint32_t, uint32_t, const char*) override { return nullptr; }
  void ReleaseFrame(ipcapture::IHostFrame*) override {}
};
class DriverWithoutFrames : public FakeDriver {
 public:
  ipcapture::IHostFrameAllocator* GetFrameAllocator() override { return &none; }
  NoFrames none;
};

TEST(H264HostFrameShortage, UnitsTheHostGaveNoFrameForAreToldApartFromMemory) {
  DriverWithoutFrames driver;
  ParserClient client;
  CH264RTPMediaParser parser(&driver);
  parser.SetClient(&client);
  uint16_t sequence = 7;
  for (const CRTPPacket& packet : UnitPackets(0, 1, sequence)) parser.ProcessPacket(packet);
  EXPECT_TRUE(client.frames.empty());
  EXPECT_TRUE(parser.TakeHostFrameShortage()) << "the unit the host had no frame for is not told";
  EXPECT_FALSE(parser.TakeHostFrameShortage());
  EXPECT_FALSE(parser.TakeMemoryShortage()) << "the host's refusal is no shortage of the driver's memory";
}

}  // namespace
