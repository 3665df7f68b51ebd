#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "rtsp/Base64.h"
#include "rtsp/RTPPacket.h"
#include "rtsp/RTPReceiverUser.h"
#include "rtsp/RTSPStreamParser.h"
#include "tests/rtsp/RtpTestSupport.h"

using namespace kestrum;
using kestrum::testing::Rtp;
using Collector = kestrum::testing::PacketCollector;

namespace {

TEST(Base64, TestVectorsOfRfc4648) {
  const std::pair<const char*, const char*> vectors[] = {{"", ""},         {"f", "Zg=="},       {"fo", "Zm8="},
                                                         {"foo", "Zm9v"},  {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="},
                                                         {"foobar", "Zm9vYmFy"}};
  for (auto [plain, encoded] : vectors) {
    EXPECT_EQ(encoded, Base64Encode(plain));
    std::vector<uint8_t> decoded;
    EXPECT_TRUE(Base64Decode(encoded, decoded));
    EXPECT_EQ(plain, std::string(decoded.begin(), decoded.end()));
  }
}

TEST(Base64, SkipsForeignCharactersAndBoundsTheResult) {
  std::vector<uint8_t> decoded;
  EXPECT_TRUE(Base64Decode(" Zm9v\r\nYmFy ", decoded));
  EXPECT_EQ("foobar", std::string(decoded.begin(), decoded.end()));
  // Parameter sets larger than 256 bytes decode (the bound is 64 KiB).
  std::string big(600, 'A');
  EXPECT_TRUE(Base64Decode(big, decoded));
  EXPECT_EQ(450u, decoded.size());
  EXPECT_FALSE(Base64Decode(big, decoded, 100));
  EXPECT_TRUE(decoded.empty());
  // Long Basic credentials (over 72 bytes) encode whole.
  const std::string credentials = std::string(40, 'u') + ":" + std::string(60, 'p');
  EXPECT_TRUE(Base64Decode(Base64Encode(credentials), decoded));
  EXPECT_EQ(credentials, std::string(decoded.begin(), decoded.end()));
}

TEST(RTPPacket, FixedHeaderFields) {
  CRTPPacket packet;
  std::vector<uint8_t> bytes = Rtp(0xABCD, {1, 2, 3}, 0x80, 0xE0);
  ASSERT_TRUE(packet.Parse(bytes.data(), bytes.size()));
  EXPECT_EQ(1, packet.Marker);
  EXPECT_EQ(96, packet.PayloadType);
  EXPECT_EQ(0xABCD, packet.SequenceNumber);
  EXPECT_EQ(90000u, packet.Timestamp);
  const uint8_t ssrc[4] = {0xDE, 0xAD, 0xBE, 0xEF};
  uint32_t raw;
  std::memcpy(&raw, ssrc, 4);
  EXPECT_EQ(raw, packet.Ssrc) << "kept as the bytes came";
  EXPECT_EQ((std::vector<uint8_t>{1, 2, 3}), packet.Payload);
}

TEST(RTPPacket, SizesVersionsPaddingCsrcsAndExtensions) {
  CRTPPacket packet;
  std::vector<uint8_t> header = Rtp(1, {});
  EXPECT_FALSE(packet.Parse(header.data(), header.size())) << "a bare 12-byte header";
  std::vector<uint8_t> one = Rtp(1, {7});
  ASSERT_TRUE(packet.Parse(one.data(), one.size()));
  EXPECT_EQ(1u, packet.Payload.size());
  for (uint8_t version : {0x40, 0xC0, 0x00}) {
    std::vector<uint8_t> other = Rtp(1, {7}, version);
    EXPECT_FALSE(packet.Parse(other.data(), other.size())) << "version byte " << int(version);
  }
  std::vector<uint8_t> padded = Rtp(1, {1, 2, 3, 4, 5, 0, 0, 0, 4}, 0xA0);
  ASSERT_TRUE(packet.Parse(padded.data(), padded.size()));
  EXPECT_EQ((std::vector<uint8_t>{1, 2, 3, 4, 5}), packet.Payload);
  std::vector<uint8_t> overPadded = Rtp(1, {1, 2, 9}, 0xA0);
  EXPECT_FALSE(packet.Parse(overPadded.data(), overPadded.size()));
  std::vector<uint8_t> exactPadding = Rtp(1, {0, 2}, 0xA0);
  ASSERT_TRUE(packet.Parse(exactPadding.data(), exactPadding.size()));
  EXPECT_TRUE(packet.Payload.empty());

  std::vector<uint8_t> twoCsrcsNoPayload = Rtp(1, {0, 0, 0, 1, 0, 0, 0, 2}, 0x82);
  EXPECT_FALSE(packet.Parse(twoCsrcsNoPayload.data(), twoCsrcsNoPayload.size())) << "more than 8 bytes needed";
  std::vector<uint8_t> twoCsrcs = Rtp(1, {0, 0, 0, 1, 0, 0, 0, 2, 9}, 0x82);
  ASSERT_TRUE(packet.Parse(twoCsrcs.data(), twoCsrcs.size()));
  EXPECT_EQ(2u, packet.Csrcs.size());
  EXPECT_EQ((std::vector<uint8_t>{9}), packet.Payload);

  std::vector<uint8_t> extension = Rtp(1, {0xBE, 0xDE, 0x00, 0x01, 1, 2, 3, 4, 42}, 0x90);
  ASSERT_TRUE(packet.Parse(extension.data(), extension.size()));
  EXPECT_EQ(0xBEDE, packet.ExtensionProfile);
  EXPECT_EQ(1, packet.ExtensionLength);
  EXPECT_EQ((std::vector<uint8_t>{1, 2, 3, 4}), packet.Extension);
  EXPECT_EQ((std::vector<uint8_t>{42}), packet.Payload);
  std::vector<uint8_t> shortExtension = Rtp(1, {0xBE, 0xDE, 0x00, 0x02, 1, 2, 3, 4}, 0x90);
  EXPECT_FALSE(packet.Parse(shortExtension.data(), shortExtension.size()));
  // A packet refused after its contributing sources were read leaves none.
  std::vector<uint8_t> csrcsThenShortExtension = Rtp(1, {0, 0, 0, 1, 0xBE, 0xDE, 0x00, 0x09, 1}, 0x91);
  EXPECT_FALSE(packet.Parse(csrcsThenShortExtension.data(), csrcsThenShortExtension.size()));
  EXPECT_EQ(0u, packet.Csrcs.size());
  EXPECT_EQ(0u, packet.CsrcCount);
}

// Sized once and filled in place: growing a four-byte vector by a range made
// GCC 12's optimiser see a copy past its old end (-Warray-bounds).
std::vector<uint8_t> Frame(uint8_t channel, const std::vector<uint8_t>& data) {
  std::vector<uint8_t> frame(4 + data.size());
  frame[0] = 0x24;
  frame[1] = channel;
  frame[2] = static_cast<uint8_t>(data.size() >> 8);
  frame[3] = static_cast<uint8_t>(data.size());
  std::copy(data.begin(), data.end(), frame.begin() + 4);
  return frame;
}

void Append(std::vector<uint8_t>& to, const std::vector<uint8_t>& more) { to.insert(to.end(), more.begin(), more.end()); }

TEST(InterleavedStream, PacketsSplitAtEveryPositionArriveOnceAndWhole) {
  std::vector<uint8_t> stream;
  const std::string response = "RTSP/1.0 200 OK\r\nCSeq: 5\r\nSession: 4a3f\r\n\r\n";
  Append(stream, std::vector<uint8_t>(response.begin(), response.end()));
  Append(stream, Frame(0, Rtp(10, {1, 2, 3})));
  Append(stream, Frame(0, Rtp(12, std::vector<uint8_t>(300, 7))));
  Append(stream, Frame(0, Rtp(11, {9})));
  for (size_t split = 0; split <= stream.size(); ++split) {
    Collector owner;
    CRTSPStreamParser parser(&owner);
    parser.Feed(stream.data(), split);
    parser.Feed(stream.data() + split, stream.size() - split);
    EXPECT_EQ((std::vector<uint16_t>{10, 12, 11}), owner.Sequences()) << "split at " << split;
  }
}

TEST(InterleavedStream, AnRtcpFrameIsSkippedByItsLengthNotSearched) {
  // The RTCP frame's data contains "$", 0x00 and a length that would swallow
  // the next real packet if the frame were searched byte by byte.
  std::vector<uint8_t> rtcp = {0x81, 0xC8, 0x00, 0x06, 0x24, 0x00, 0x00, 0x40, 1, 2, 3, 4, 5, 6, 7, 8};
  std::vector<uint8_t> stream = Frame(1, rtcp);
  Append(stream, Frame(0, Rtp(20, {5, 5})));
  Append(stream, Frame(0, Rtp(21, {6})));
  Collector owner;
  CRTSPStreamParser parser(&owner);
  parser.Feed(stream.data(), stream.size());
  EXPECT_EQ((std::vector<uint16_t>{20, 21}), owner.Sequences());
  EXPECT_EQ(1u, parser.FramesSkipped());
}

TEST(InterleavedStream, FramesOnEveryOtherChannelAreSkippedByLengthWhereverTheStreamIsSplit) {
  // Each of the 256 channels carries a frame full of "$" and small channel
  // and length bytes; only the RTP channel's packets come out, in order.
  for (uint8_t rtpChannel : {uint8_t{0}, uint8_t{2}}) {
    std::vector<uint8_t> stream;
    std::vector<uint16_t> expected;
    uint16_t sequence = 100;
    for (int channel = 0; channel < 256; ++channel) {
      if (channel == rtpChannel) continue;
      Append(stream, Frame(static_cast<uint8_t>(channel), {0x24, 0x00, 0x00, 0x04, 0x24, rtpChannel, 0x24, 0x24}));
      if (channel % 16 == 0) {
        Append(stream, Frame(rtpChannel, Rtp(sequence, {0x24, rtpChannel, 0x00, 0x10})));
        expected.push_back(sequence++);
      }
    }
    for (size_t split = 0; split <= stream.size(); ++split) {
      Collector owner;
      CRTSPStreamParser parser(&owner);
      parser.SetRtpChannel(rtpChannel);
      parser.Feed(stream.data(), split);
      parser.Feed(stream.data() + split, stream.size() - split);
      ASSERT_EQ(expected, owner.Sequences()) << "RTP on " << int(rtpChannel) << ", split at " << split;
      EXPECT_EQ(255u, parser.FramesSkipped());
    }
    Collector owner;
    CRTSPStreamParser parser(&owner);
    parser.SetRtpChannel(rtpChannel);
    for (uint8_t byte : stream) parser.Feed(&byte, 1);  // one byte per read
    EXPECT_EQ(expected, owner.Sequences()) << "RTP on " << int(rtpChannel) << ", byte by byte";
  }
}

TEST(InterleavedStream, RtcpFramesReachTheirHandlerWholeAndSequencesAreObserved) {
  const std::vector<uint8_t> report = {0x80, 0xC8, 0x00, 0x06, 0x24, 0x03, 0x00, 0x40, 1, 2, 3, 4, 5, 6, 7, 8};
  std::vector<uint8_t> stream = Frame(3, report);
  Append(stream, Frame(2, Rtp(40, {1})));
  Append(stream, Frame(4, {0x24, 0x24}));  // neither RTP nor RTCP: skipped
  Append(stream, Frame(3, report));
  Append(stream, Frame(2, Rtp(41, {2})));
  for (size_t split = 0; split <= stream.size(); ++split) {
    Collector owner;
    CRTSPStreamParser parser(&owner);
    parser.SetRtpChannel(2);
    std::vector<std::vector<uint8_t>> reports;
    std::vector<uint16_t> sequences;
    parser.SetRtcpHandler([&](const uint8_t* data, size_t size) { reports.emplace_back(data, data + size); });
    parser.SetSequenceObserver([&](uint16_t sequence) { sequences.push_back(sequence); });
    parser.Feed(stream.data(), split);
    parser.Feed(stream.data() + split, stream.size() - split);
    ASSERT_EQ(2u, reports.size()) << "split at " << split;
    EXPECT_EQ(report, reports[1]);
    EXPECT_EQ((std::vector<uint16_t>{40, 41}), sequences);
    EXPECT_EQ((std::vector<uint16_t>{40, 41}), owner.Sequences());
  }
}

TEST(InterleavedStream, EmptyAndMalformedFramesCostOnlyThemselves) {
  std::vector<uint8_t> stream = Frame(0, {});
  Append(stream, Frame(0, Rtp(30, {1}, 0x40)));  // version 1: dropped
  Append(stream, Frame(0, {0x80, 0x60}));         // too short: dropped
  std::string garbage = "garbage\x07 more";
  Append(stream, std::vector<uint8_t>(garbage.begin(), garbage.end()));
  Append(stream, Frame(0, Rtp(31, {2})));
  Collector owner;
  CRTSPStreamParser parser(&owner);
  for (uint8_t byte : stream) parser.Feed(&byte, 1);  // one byte per read
  EXPECT_EQ((std::vector<uint16_t>{31}), owner.Sequences());
}

}  // namespace
