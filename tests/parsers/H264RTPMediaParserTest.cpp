#include "parsers/H264RTPMediaParser.h"

#include <gtest/gtest.h>

extern "C" {
#include <x264.h>
}

#include "parsers/H264Sps.h"
#include "parsers/HostFrameWriter.h"
#include "rtsp/RTPPacket.h"
#include "tests/parsers/ParserClient.h"
#include "tests/parsers/RecordingFrames.h"
#include "tests/support/FakeDriver.h"
#include "tools/camera-sim/H264Encoder.h"

using namespace kestrum;
using namespace kestrum::testing;

namespace {

using Bytes = std::vector<uint8_t>;
const uint32_t kH264 = FourCC('H', '2', '6', '4');
const uint32_t kI264 = FourCC('I', '2', '6', '4');
const std::string kEndMark("\x00\x00\x00\x01\x09", 5);

CRTPPacket Packet(uint16_t sequence, const Bytes& payload, bool marker, uint32_t timestamp = 1000) {
  CRTPPacket packet;
  packet.SequenceNumber = sequence;
  packet.Marker = marker ? 1 : 0;
  packet.Timestamp = timestamp;
  packet.PayloadType = 96;
  packet.Payload = payload;
  return packet;
}

std::string AnnexB(const std::vector<Bytes>& nals) {
  std::string text;
  for (const Bytes& nal : nals) text += std::string("\x00\x00\x01", 3) + std::string(nal.begin(), nal.end());
  return text + kEndMark;
}

// What the parser makes of an encoded unit sent as single NAL units and
// FU-A: the SEI that came alone is dropped.
std::string Expected(const std::vector<Bytes>& unit, bool withoutSets = false) {
  std::vector<Bytes> kept;
  for (const Bytes& nal : unit) {
    const int type = nal[0] & 0x1F;
    if (type == 6 && nal.size() <= sim::kMaxSinglePacket) continue;
    if (withoutSets && (type == 7 || type == 8)) continue;
    kept.push_back(nal);
  }
  return AnnexB(kept);
}

// The first parameter sets of a real encoder (libx264) for these settings.
struct Sets {
  Bytes sps;
  Bytes pps;
};
Sets X264Sets(int width, int height, const char* profile, bool interlaced = false) {
  x264_param_t param;
  x264_param_default_preset(&param, "medium", nullptr);
  param.i_width = width;
  param.i_height = height;
  param.i_csp = X264_CSP_I420;
  param.b_interlaced = interlaced ? 1 : 0;
  param.i_log_level = X264_LOG_NONE;
  param.i_threads = 1;
  x264_param_apply_profile(&param, profile);
  Sets sets;
  x264_t* encoder = x264_encoder_open(&param);
  if (encoder == nullptr) return sets;
  x264_nal_t* nals = nullptr;
  int count = 0;
  x264_encoder_headers(encoder, &nals, &count);
  for (int i = 0; i < count; ++i) {
    const uint8_t* p = nals[i].p_payload;
    const int skip = p[2] == 1 ? 3 : 4;
    Bytes nal(p + skip, p + nals[i].i_payload);
    if ((nal[0] & 0x1F) == 7) sets.sps = nal;
    if ((nal[0] & 0x1F) == 8) sets.pps = nal;
  }
  x264_encoder_close(encoder);
  return sets;
}

// Byte strings compared without printing them whole on a mismatch.
::testing::AssertionResult SameBytes(const std::string& expected, const std::string& actual) {
  if (expected == actual) return ::testing::AssertionSuccess();
  size_t at = 0;
  while (at < expected.size() && at < actual.size() && expected[at] == actual[at]) ++at;
  return ::testing::AssertionFailure() << "expected " << expected.size() << " bytes, got " << actual.size()
                                       << ", first difference at offset " << at;
}

std::pair<uint32_t, uint32_t> SizeOf(const Bytes& sps) {
  Bytes buffer = {0, 0, 1};
  buffer.insert(buffer.end(), sps.begin(), sps.end());
  uint32_t width = 0;
  uint32_t height = 0;
  if (!ParseSpsPictureSize(buffer.data(), buffer.size(), width, height)) return {0, 0};
  return {width, height};
}

TEST(H264Sps, PictureSizesFromRealEncodersAcrossProfiles) {
  EXPECT_EQ(std::make_pair(640u, 480u), SizeOf(X264Sets(640, 480, "baseline").sps));
  EXPECT_EQ(std::make_pair(1280u, 720u), SizeOf(X264Sets(1280, 720, "main").sps));
  EXPECT_EQ(std::make_pair(1920u, 1080u), SizeOf(X264Sets(1920, 1080, "high").sps)) << "1088 coded, cropped by 8";
  EXPECT_EQ(std::make_pair(720u, 576u), SizeOf(X264Sets(720, 576, "high", true).sps)) << "field coding";
  EXPECT_EQ(std::make_pair(352u, 288u), SizeOf(X264Sets(352, 288, "high").sps));
}

TEST(H264Sps, HandMadeCasesAndBrokenInput) {
  // Baseline, 1920 x 1088 coded with a bottom crop of 4 (times 2), written
  // bit by bit: sps_id 0, log2_max_frame_num-4 0, poc type 2, 1 reference,
  // no gaps, 120 x 68 macroblocks, frames only, direct 8x8, crop 0 0 0 4.
  const Bytes cropped = {0x67, 0x42, 0x00, 0x28, 0xDA, 0x01, 0xE0, 0x08, 0x9F, 0x95};
  EXPECT_EQ(std::make_pair(1920u, 1080u), SizeOf(cropped));
  // 1280 x 720 whose huge picture-order field puts two zero bytes before a
  // small one: the encoder inserted an emulation prevention byte (03).
  // High profile with scaling lists in the SPS (libx264 puts its lists in the
  // PPS): list 0 with 16 entries, list 1 falling back to the default after
  // one entry, list 6 with 64 entries; then 1280 x 720.
  const Bytes scaled = {0x67, 0x64, 0x00, 0x1F, 0xAD, 0xFF, 0xFF, 0xC2, 0x21, 0x31, 0x8C, 0x63, 0x18, 0xC6,
                        0x31, 0x8C, 0x63, 0x18, 0xC6, 0x31, 0x8C, 0x63, 0x18, 0xC6, 0x31, 0x8C, 0x63, 0x18,
                        0xC6, 0x31, 0x8C, 0x63, 0x18, 0xC6, 0x31, 0x8C, 0x63, 0x18, 0xC6, 0x31, 0x8C, 0x63,
                        0x18, 0xC6, 0x31, 0x8C, 0x63, 0x18, 0xC6, 0x74, 0x02, 0x80, 0x2D, 0xC8};
  EXPECT_EQ(std::make_pair(1280u, 720u), SizeOf(scaled));
  const Bytes escaped = {0x67, 0x42, 0x00, 0x1E, 0xE0, 0x00, 0x00, 0x08, 0x00, 0x00, 0x03, 0x01, 0x00, 0xA0, 0x0B, 0x72};
  EXPECT_EQ(std::make_pair(1280u, 720u), SizeOf(escaped));
  // A scaling list whose delta_scale is far out of range (found by fuzzing:
  // the sum overflowed) reads as a broken set, under the sanitizers too.
  const Bytes hugeDelta = {0x67, 0x64, 0x00, 0x1F, 0xAD, 0x80, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(std::make_pair(0u, 0u), SizeOf(hugeDelta));
  Bytes truncated(cropped.begin(), cropped.begin() + 6);
  EXPECT_EQ(std::make_pair(0u, 0u), SizeOf(truncated)) << "a cut set does not read";
  uint32_t w = 0;
  uint32_t h = 0;
  Bytes late(70, 0xAA);
  for (uint8_t byte : {0, 0, 1}) late.push_back(byte);
  for (uint8_t byte : cropped) late.push_back(byte);
  EXPECT_FALSE(ParseSpsPictureSize(late.data(), late.size(), w, h)) << "only the first 64 bytes are searched";
  EXPECT_FALSE(ParseSpsPictureSize(nullptr, 0, w, h));
}

class H264Parser : public ::testing::Test {
 protected:
  H264Parser() : parser_(&driver_) { parser_.SetClient(&client_); }
  void Feed(const Bytes& payload, bool marker, uint32_t timestamp = 1000) {
    parser_.ProcessPacket(Packet(sequence_++, payload, marker, timestamp));
  }
  // Units first .. first + count - 1 of the loop (repeating), in order.
  void FeedLoop(const sim::PacketizedLoop& loop, size_t count, size_t first = 0) {
    for (size_t i = first; i < first + count; ++i) {
      for (const sim::RtpPayload& payload : loop.accessUnits[i % loop.accessUnits.size()]) {
        Feed(payload.bytes, payload.marker, static_cast<uint32_t>(i * 3600));
      }
    }
  }
  static const sim::EncodedLoop& Encoded() {
    static std::shared_ptr<const sim::EncodedLoop> loop = [] {
      sim::EncoderSettings settings;
      settings.width = 320;
      settings.height = 240;
      settings.keyframe = 10;
      return sim::EncodeLoop(settings);
    }();
    return *loop;
  }

  FakeDriver driver_;
  ParserClient client_;
  CH264RTPMediaParser parser_;
  uint16_t sequence_ = 65500;  // wraps around within the tests
};

TEST_F(H264Parser, RealStreamRoundTripsAccessUnitForAccessUnit) {
  const auto packets = sim::Packetize(Encoded(), sim::PacketOptions());
  FeedLoop(*packets, Encoded().accessUnits.size());
  ASSERT_EQ(Encoded().accessUnits.size(), client_.frames.size());
  for (size_t i = 0; i < client_.frames.size(); ++i) {
    const ParsedFrame& frame = client_.frames[i];
    EXPECT_TRUE(SameBytes(Expected(Encoded().accessUnits[i]), frame.data)) << "unit " << i;
    EXPECT_EQ(i % 10 == 0 ? kH264 : kI264, frame.fourCC) << "unit " << i;
    EXPECT_EQ(320u, frame.width);
    EXPECT_EQ(240u, frame.height);
    EXPECT_EQ(2u, frame.sizeClass);
  }
}

TEST_F(H264Parser, AggregatesDelimitersAndSeiAsCamerasSendThem) {
  sim::PacketOptions options;
  options.stapA = true;
  options.seiAndDelimiters = true;
  FeedLoop(*sim::Packetize(Encoded(), options), 12);
  ASSERT_EQ(12u, client_.frames.size());
  // The delimiter stays, the SEI sent alone is dropped, and the key frame
  // is found after the delimiter.
  const std::string& first = client_.frames[0].data;
  EXPECT_EQ(0u, first.find(std::string("\x00\x00\x01\x09\xF0\x00\x00\x01\x67", 9)));
  EXPECT_EQ(std::string::npos, first.find(std::string("\x00\x00\x01\x06", 4)));
  EXPECT_EQ(kH264, client_.frames[0].fourCC);
  EXPECT_EQ(kI264, client_.frames[1].fourCC);
}

TEST_F(H264Parser, WithoutInBandSetsOnlyTheSessionDescriptionMakesKeyFrames) {
  sim::PacketOptions options;
  options.inbandParameterSets = false;
  const auto packets = sim::Packetize(Encoded(), options);
  FeedLoop(*packets, 20);
  EXPECT_TRUE(client_.frames.empty()) << "no key frame without an SPS";
  EXPECT_TRUE(parser_.IsWaitingForKeyFrame());

  const Bytes sets[3] = {Encoded().sps, Encoded().pps, {}};
  parser_.SetParameterSets(sets);
  EXPECT_EQ(320u, parser_.GetWidth());
  FeedLoop(*packets, 20);
  ASSERT_EQ(20u, client_.frames.size());
  const std::string setsText = AnnexB({Encoded().sps, Encoded().pps});
  EXPECT_TRUE(SameBytes(setsText.substr(0, setsText.size() - kEndMark.size()) + Expected(Encoded().accessUnits[0], true),
                        client_.frames[0].data));
  EXPECT_EQ(kH264, client_.frames[0].fourCC);
  EXPECT_EQ(kH264, client_.frames[10].fourCC);
  EXPECT_EQ(kI264, client_.frames[5].fourCC);

  // In-band sets are not doubled.
  client_.frames.clear();
  FeedLoop(*sim::Packetize(Encoded(), sim::PacketOptions()), 1);
  ASSERT_EQ(1u, client_.frames.size());
  EXPECT_TRUE(SameBytes(Expected(Encoded().accessUnits[0]), client_.frames[0].data));

  // The in-band SPS lost (a gap) but its PPS arrived: the stored sets go
  // first, so that no PPS comes before the SPS it refers to; a delimiter
  // stays in front.
  client_.frames.clear();
  const Bytes idr = {0x65, 0x88, 0x84, 0x00, 0x33};
  ++sequence_;
  Feed({0x09, 0xF0}, false);
  Feed(Encoded().pps, false);
  Feed(idr, true);
  ASSERT_EQ(1u, client_.frames.size());
  EXPECT_TRUE(SameBytes(AnnexB({{0x09, 0xF0}, Encoded().sps, Encoded().pps, Encoded().pps, idr}),
                        client_.frames[0].data));

  const Bytes broken[3] = {{0x67, 0x42}, Encoded().pps, {}};
  CH264RTPMediaParser other(&driver_);
  other.SetParameterSets(broken);
  EXPECT_EQ(0u, other.GetWidth()) << "sets whose SPS does not read are not kept";
}

TEST_F(H264Parser, PacketRules) {
  const Bytes& sps = Encoded().sps;
  const Bytes& pps = Encoded().pps;
  const Bytes idr = {0x65, 0x88, 0x84, 0x00, 0x33};
  const Bytes slice = {0x41, 0x9A, 0x02, 0x04};
  // A small SPS with the marker set does not end the unit.
  Feed(sps, true);
  Feed(pps, false);
  Feed({0x7C, 0x85, 0x88, 0x84}, false);  // FU-A start of an IDR slice
  Feed({0x7C, 0x05, 0x00}, false);        // middle
  Feed({0x7C, 0x45, 0x33}, true);         // end
  ASSERT_EQ(1u, client_.frames.size());
  EXPECT_TRUE(SameBytes(AnnexB({sps, pps, idr}), client_.frames[0].data));

  // A non-IDR slice's first fragment drops what came before it in the unit.
  Feed({0x06, 0x05, 0x01, 0x02}, false);  // SEI alone: dropped
  Feed({0x09, 0xF0, 0x00}, false);        // delimiter: kept ... until the fragment
  Feed({0x5C, 0x81, 0x9A}, false);
  Feed({0x5C, 0x41, 0x02, 0x04}, true);
  ASSERT_EQ(2u, client_.frames.size());
  EXPECT_TRUE(SameBytes(AnnexB({slice}), client_.frames[1].data));
  EXPECT_EQ(kI264, client_.frames[1].fourCC);
  EXPECT_EQ(320u, client_.frames[1].width) << "the last known size";

  // STAP-A keeps what it aggregates, SEI included.
  Bytes stap = {0x18, 0x00, 0x04, 0x06, 0x05, 0x01, 0x80, static_cast<uint8_t>(slice.size() >> 8),
                static_cast<uint8_t>(slice.size())};
  stap.insert(stap.end(), slice.begin(), slice.end());
  Feed(stap, true);
  ASSERT_EQ(3u, client_.frames.size());
  EXPECT_TRUE(SameBytes(AnnexB({{0x06, 0x05, 0x01, 0x80}, slice}), client_.frames[2].data));
}

TEST_F(H264Parser, GapsUnsupportedTypesAndMalformedPacketsWaitForTheNextKeyFrame) {
  const auto packets = sim::Packetize(Encoded(), sim::PacketOptions());
  FeedLoop(*packets, 3);
  ASSERT_EQ(3u, client_.frames.size());
  ++sequence_;  // one packet lost
  FeedLoop(*packets, 7, 3);
  EXPECT_EQ(3u, client_.frames.size()) << "nothing until the next unit with an SPS";
  FeedLoop(*packets, 1, 10);
  EXPECT_EQ(4u, client_.frames.size());

  for (const Bytes& bad : std::vector<Bytes>{{0x19, 0, 1, 2}, {0x1D, 0x85, 1}, {0x00, 1, 2}, {0x7C, 0x85},
                                             {0x18, 0x00, 0x50, 0x67}, {}}) {
    client_.frames.clear();
    FeedLoop(*packets, 1);
    ASSERT_EQ(1u, client_.frames.size());
    Feed(bad, false);
    EXPECT_TRUE(parser_.IsWaitingForKeyFrame()) << "payload of " << bad.size() << " bytes, type " << (bad.empty() ? -1 : bad[0] & 0x1F);
    Feed({0x41, 0x9A, 0x02, 0x04}, true);
    EXPECT_EQ(1u, client_.frames.size());
  }
}

TEST_F(H264Parser, OversizedUnitsAreLoggedAndDropped) {
  const auto packets = sim::Packetize(Encoded(), sim::PacketOptions());
  FeedLoop(*packets, 1);
  Bytes fragment(60000, 0x11);
  fragment[0] = 0x5C;
  fragment[1] = 0x81;
  Feed(fragment, false);
  fragment[1] = 0x01;
  for (int i = 0; i < 180; ++i) Feed(fragment, false);
  EXPECT_TRUE(parser_.IsWaitingForKeyFrame());
  EXPECT_FALSE(driver_.Matching("Frame buffer overflow detected, device").empty());
  EXPECT_EQ(1u, client_.frames.size());
}

TEST_F(H264Parser, ARefusedFrameMakesTheParserWaitForAKeyFrame) {
  const auto packets = sim::Packetize(Encoded(), sim::PacketOptions());
  client_.accept = false;
  FeedLoop(*packets, 1);
  EXPECT_TRUE(parser_.IsWaitingForKeyFrame());
  client_.accept = true;
  FeedLoop(*packets, 9, 1);  // units 1 to 9: no SPS
  EXPECT_EQ(1u, client_.frames.size());
  FeedLoop(*packets, 1, 10);
  EXPECT_EQ(2u, client_.frames.size());
}

// The bytes go into the frame before anything else is asked of the host, so
// that a frame without room for them is given up at once, and said so.
TEST_F(H264Parser, TheFrameIsFilledBytesFirstAndACopyThatFailsIsTold) {
  RecordingFramesDriver driver;
  RecordingClient client(driver.calls);
  CH264RTPMediaParser parser(&driver);
  parser.SetClient(&client);
  const auto packets = sim::Packetize(Encoded(), sim::PacketOptions());
  uint16_t sequence = 1;
  auto feedUnit = [&](size_t unit) {
    for (const sim::RtpPayload& payload : packets->accessUnits[unit]) {
      parser.ProcessPacket(Packet(sequence++, payload.bytes, payload.marker, static_cast<uint32_t>(unit * 3600)));
    }
  };
  feedUnit(0);
  const CallLog filled = {"CreateFrame", "GetBuffer",   "GetFrameTime", "SetWidth", "SetHeight",   "SetSizeClass",
                          "SetDataSize", "SetFourCC",   "SetTime",      "OnFrame",  "ReleaseFrame"};
  EXPECT_EQ(filled, driver.calls);
  EXPECT_FALSE(parser.IsWaitingForKeyFrame());

  driver.calls.clear();
  driver.frames.withBuffers = false;
  feedUnit(1);
  const CallLog givenUp = {"CreateFrame", "GetBuffer", "ReleaseFrame"};
  EXPECT_EQ(givenUp, driver.calls) << "no time asked, no value set, nothing handed on";
  const auto lines = driver.Matching("Data copying error, device 127.0.0.1:");
  ASSERT_EQ(1u, lines.size());
  EXPECT_EQ(1u, lines[0].level);
  EXPECT_EQ(0u, lines[0].text.find("kestrum::CH264RTPMediaParser::ProcessFrame: Data copying error, device "))
      << lines[0].text;
  EXPECT_TRUE(parser.IsWaitingForKeyFrame()) << "the picture chain is broken";
  EXPECT_EQ(0, driver.frames.outstanding);
}

}  // namespace
