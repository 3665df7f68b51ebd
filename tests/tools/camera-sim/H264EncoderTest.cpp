#include <gtest/gtest.h>

#include "tools/camera-sim/H264Encoder.h"

namespace kestrum {
namespace sim {
namespace {

uint8_t Type(const Bytes& nal) { return nal[0] & 0x1F; }

TEST(H264Encoder, TheLoopStartsWithAnIdrPictureAndRepeatsItsParameterSets) {
  EncoderSettings settings;
  settings.width = 320;
  settings.height = 240;
  settings.framerate = 10;
  settings.keyframe = 20;
  const auto loop = EncodeLoop(settings);
  ASSERT_TRUE(loop);
  EXPECT_EQ(60u, loop->accessUnits.size()) << "at least 50 pictures, whole key-frame periods";
  EXPECT_EQ(7, Type(loop->sps));
  EXPECT_EQ(8, Type(loop->pps));
  for (size_t i = 0; i < loop->accessUnits.size(); ++i) {
    const auto& unit = loop->accessUnits[i];
    bool idr = false;
    bool sps = false;
    for (const Bytes& nal : unit) {
      idr = idr || Type(nal) == 5;
      sps = sps || Type(nal) == 7;
    }
    EXPECT_EQ(i % 20 == 0, idr) << "picture " << i;
    EXPECT_EQ(idr, sps) << "parameter sets before every IDR picture, picture " << i;
  }
  settings.width = 321;
  EXPECT_FALSE(EncodeLoop(settings)) << "4:2:0 needs even sizes";
}

TEST(H264Encoder, AConstantBitRateLoopHoldsItsRate) {
  EncoderSettings settings;
  settings.width = 640;
  settings.height = 480;
  settings.bitrate = 800;
  const auto loop = EncodeLoop(settings);
  ASSERT_TRUE(loop);
  uint64_t bytes = 0;
  for (const auto& unit : loop->accessUnits) {
    for (const Bytes& nal : unit) bytes += nal.size();
  }
  const double kbps = bytes * 8.0 / (static_cast<double>(loop->accessUnits.size()) / loop->framerate) / 1000.0;
  EXPECT_GT(kbps, 800 * 0.8);
  EXPECT_LT(kbps, 800 * 1.2);
}

// Reassembles the NAL units of one access unit from its RTP payloads.
std::vector<Bytes> Depacketize(const std::vector<RtpPayload>& packets) {
  std::vector<Bytes> nals;
  for (const RtpPayload& packet : packets) {
    const Bytes& p = packet.bytes;
    const uint8_t type = p[0] & 0x1F;
    if (type == 28) {
      if (p[1] & 0x80) nals.push_back({static_cast<uint8_t>((p[0] & 0xE0) | (p[1] & 0x1F))});
      nals.back().insert(nals.back().end(), p.begin() + 2, p.end());
    } else if (type == 24) {
      for (size_t at = 1; at + 2 <= p.size();) {
        const size_t size = static_cast<size_t>(p[at] << 8 | p[at + 1]);
        nals.emplace_back(p.begin() + static_cast<long>(at + 2), p.begin() + static_cast<long>(at + 2 + size));
        at += 2 + size;
      }
    } else {
      nals.push_back(p);
    }
  }
  return nals;
}

TEST(H264Packetizer, FragmentsAndAggregatesRestoreTheNalUnits) {
  EncodedLoop loop;
  loop.sps = {0x67, 0x42, 0x00, 0x1F};
  loop.pps = {0x68, 0xCE};
  Bytes large(5000);
  for (size_t i = 0; i < large.size(); ++i) large[i] = static_cast<uint8_t>(i * 7);
  large[0] = 0x65;
  const Bytes exact(kMaxSinglePacket, 0x41);
  loop.accessUnits = {{loop.sps, loop.pps, large}, {exact}};

  PacketOptions options;
  auto packets = Packetize(loop, options);
  ASSERT_EQ(2u, packets->accessUnits.size());
  const auto& first = packets->accessUnits[0];
  EXPECT_EQ(2u + 4u, first.size()) << "SPS, PPS, then 5000 bytes in four fragments";
  for (size_t i = 0; i < first.size(); ++i) {
    EXPECT_LE(first[i].bytes.size(), kMaxSinglePacket);
    EXPECT_EQ(i + 1 == first.size(), first[i].marker);
  }
  EXPECT_EQ(loop.accessUnits[0], Depacketize(first));
  ASSERT_EQ(1u, packets->accessUnits[1].size()) << "a unit of exactly the limit goes whole";
  EXPECT_TRUE(packets->accessUnits[1][0].marker);

  options.stapA = true;
  options.seiAndDelimiters = true;
  packets = Packetize(loop, options);
  const std::vector<Bytes> nals = Depacketize(packets->accessUnits[0]);
  ASSERT_GE(nals.size(), 5u);
  EXPECT_EQ(9, Type(nals[0]));
  EXPECT_EQ(6, Type(nals[1]));
  EXPECT_EQ(24, packets->accessUnits[0][2].bytes[0] & 0x1F);
  EXPECT_EQ(loop.sps, nals[2]);
  EXPECT_EQ(loop.pps, nals[3]);
  EXPECT_EQ(large, nals[4]);

  options = PacketOptions();
  options.inbandParameterSets = false;
  packets = Packetize(loop, options);
  EXPECT_EQ((std::vector<Bytes>{large}), Depacketize(packets->accessUnits[0]));
}

}  // namespace
}  // namespace sim
}  // namespace kestrum
