#include "parsers/MpegMediaParser.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "parsers/HostFrameWriter.h"
#include "parsers/Mpeg4Header.h"
#include "platform/Process.h"
#include "tests/parsers/ParserClient.h"
#include "tests/support/FakeDriver.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestUtil.h"

using namespace kestrum;
using namespace kestrum::testing;

namespace {

const uint32_t kDivx = FourCC('D', 'I', 'V', 'X');
const uint32_t kDivi = FourCC('D', 'I', 'V', 'I');

struct Stream {
  std::string bytes;
  uint32_t width = 0;
  uint32_t height = 0;
  bool bFrames = false;
};

// Real MPEG-4 Part 2 streams from an independent encoder (ffmpeg's mpeg4),
// made by the build (one key frame every 12 pictures, with and without
// B-pictures).
const std::vector<Stream>& Streams() {
  static const std::vector<Stream> streams = [] {
    std::vector<Stream> made;
    const struct {
      const char* name;
      uint32_t width;
      uint32_t height;
      bool bFrames;
    } kinds[] = {{"352x288", 352, 288, false}, {"640x480b", 640, 480, true}, {"176x144b", 176, 144, true}};
    for (const auto& kind : kinds) {
      std::string bytes = ReadText(std::string(MPEG4_STREAMS_DIR) + "/" + kind.name + ".m4v");
      if (!bytes.empty()) made.push_back({std::move(bytes), kind.width, kind.height, kind.bFrames});
    }
    return made;
  }();
  return streams;
}

size_t CountPlanes(const std::string& bytes) {
  size_t count = 0;
  for (size_t at = bytes.find(std::string("\x00\x00\x01\xB6", 4)); at != std::string::npos;
       at = bytes.find(std::string("\x00\x00\x01\xB6", 4), at + 4)) {
    ++count;
  }
  return count;
}

std::string HeaderOf(const std::string& bytes) { return bytes.substr(0, bytes.find(std::string("\x00\x00\x01\xB6", 4))); }

#define REQUIRE_STREAMS() \
  if (Streams().empty()) GTEST_SKIP() << "no test streams: the build found no ffmpeg (Debian package ffmpeg)"

TEST(Mpeg4Header, ReadsTheSizeOfRealStreams) {
  REQUIRE_STREAMS();
  for (const Stream& stream : Streams()) {
    const std::string header = HeaderOf(stream.bytes) + std::string("\x00\x00\x01\xB6\x10", 5);
    uint32_t width = 0;
    uint32_t height = 0;
    EXPECT_EQ(1, ParseMpeg4ConfigHeader(reinterpret_cast<const uint8_t*>(header.data()),
                                        static_cast<int32_t>(header.size()), &width, &height));
    EXPECT_EQ(stream.width, width);
    EXPECT_EQ(stream.height, height);
  }
}

TEST(Mpeg4Header, TruncatedOrCorruptHeadersAnswerZero) {
  REQUIRE_STREAMS();
  const std::string header = HeaderOf(Streams()[0].bytes);
  // Every cut: either no answer, or (once the size fields are in) the right one.
  // Each cut is a fresh copy so that reading past it would be caught.
  for (size_t cut = 0; cut <= header.size(); ++cut) {
    std::vector<uint8_t> copy(header.begin(), header.begin() + static_cast<std::ptrdiff_t>(cut));
    uint32_t width = 0;
    uint32_t height = 0;
    const int32_t answer = ParseMpeg4ConfigHeader(copy.data(), static_cast<int32_t>(copy.size()), &width, &height);
    if (answer != 0) {
      EXPECT_EQ(352u, width) << "cut at " << cut;
      EXPECT_EQ(288u, height) << "cut at " << cut;
    }
  }
  uint32_t width = 0;
  uint32_t height = 0;
  std::string noSequence = header.substr(4);
  EXPECT_EQ(0, ParseMpeg4ConfigHeader(reinterpret_cast<const uint8_t*>(noSequence.data()),
                                      static_cast<int32_t>(noSequence.size()), &width, &height));
  // The layer's first marker bit cleared: corrupt.
  std::string corrupt = header;
  const size_t layer = corrupt.find(std::string("\x00\x00\x01\x20", 4));
  ASSERT_NE(std::string::npos, layer);
  for (size_t i = layer + 4; i < corrupt.size() && i < layer + 12; ++i) corrupt[i] = 0;
  EXPECT_EQ(0, ParseMpeg4ConfigHeader(reinterpret_cast<const uint8_t*>(corrupt.data()),
                                      static_cast<int32_t>(corrupt.size()), &width, &height));
  EXPECT_EQ(0, ParseMpeg4ConfigHeader(nullptr, 10, &width, &height));
}

class MpegParser : public ::testing::Test {
 protected:
  void Feed(CMpegMediaParser& parser, const std::string& bytes, size_t chunk) {
    for (size_t at = 0; at < bytes.size(); at += chunk) {
      const std::string piece = bytes.substr(at, chunk);
      parser.ProcessData(std::vector<uint8_t>(piece.begin(), piece.end()));
    }
  }
  FakeDriver driver_;
  ParserClient client_;
};

TEST_F(MpegParser, CutsRealStreamsIntoPlanesAtAnyChunkSize) {
  REQUIRE_STREAMS();
  for (const Stream& stream : Streams()) {
    for (size_t chunk : {size_t{1}, size_t{7}, size_t{8192}}) {
      SCOPED_TRACE(std::to_string(stream.width) + (stream.bFrames ? " with B-frames" : "") + ", chunks of " +
                   std::to_string(chunk));
      ParserClient client;
      CMpegMediaParser parser(&driver_);
      parser.SetClient(&client);
      EXPECT_FALSE(parser.UsesOutsideLibrary()) << "no outside library here: our reader stands in";
      Feed(parser, stream.bytes, chunk);
      // The last plane waits for a start code after it.
      ASSERT_EQ(CountPlanes(stream.bytes) - 1, client.frames.size());
      EXPECT_EQ(kDivx, client.frames[0].fourCC);
      EXPECT_EQ(0u, client.frames[0].data.find(HeaderOf(stream.bytes))) << "the header in front of a key frame";
      size_t keys = 0;
      for (const ParsedFrame& frame : client.frames) {
        EXPECT_EQ(stream.width, frame.width);
        EXPECT_EQ(stream.height, frame.height);
        keys += frame.fourCC == kDivx;
        if (frame.fourCC == kDivi) {
          EXPECT_EQ(0u, frame.data.find(std::string("\x00\x00\x01\xB6", 4)));
        }
      }
      EXPECT_GE(keys, 4u) << "a key frame every 12 planes";
    }
  }
}

TEST_F(MpegParser, TheFramesBackToBackDecodeCleanly) {
  REQUIRE_STREAMS();
#if defined(_WIN32)
  GTEST_SKIP() << "decoded by ffmpeg on Linux only: a program under wine cannot wait for a Linux one";
#endif
  TempDir dir;
  for (const Stream& stream : Streams()) {
    ParserClient client;
    CMpegMediaParser parser(&driver_);
    parser.SetClient(&client);
    // A final sequence start code (and a little after it) ends the last plane.
    Feed(parser, stream.bytes + std::string("\x00\x00\x01\xB0\x01\x00\x00\x00", 8), 4096);
    std::string joined;
    for (const ParsedFrame& frame : client.frames) joined += frame.data;
    std::ofstream(dir.File("out.m4v"), std::ios::binary) << joined;
    platform::ChildProcess ffmpeg;
    ASSERT_TRUE(ffmpeg.Start({"/usr/bin/ffmpeg", "-nostdin", "-v", "error", "-f", "m4v", "-i", dir.File("out.m4v"),
                              "-f", "null", "-"},
                             dir.File("decode.log")));
    EXPECT_EQ(0, ffmpeg.Wait(60000));
    EXPECT_EQ("", ReadText(dir.File("decode.log")));
    EXPECT_EQ(CountPlanes(stream.bytes), client.frames.size());
  }
}

TEST_F(MpegParser, PlanesBeforeAnyHeaderWaitForAnAcceptedKeyFrame) {
  REQUIRE_STREAMS();
  const std::string& bytes = Streams()[0].bytes;
  // The encoder repeats its header before every group: the first group's
  // planes alone have none.
  const size_t firstPlane = HeaderOf(bytes).size();
  const size_t secondHeader = bytes.find(std::string("\x00\x00\x01\xB0", 4), firstPlane);
  ASSERT_NE(std::string::npos, secondHeader);
  const std::string planesOnly = bytes.substr(firstPlane, secondHeader - firstPlane);
  CMpegMediaParser parser(&driver_);
  parser.SetClient(&client_);
  Feed(parser, planesOnly, 4096);
  EXPECT_TRUE(client_.frames.empty()) << "key frames without a header are refused";
  EXPECT_TRUE(parser.IsWaitingForKeyFrame());
  Feed(parser, bytes, 4096);
  ASSERT_FALSE(client_.frames.empty());
  EXPECT_EQ(kDivx, client_.frames[0].fourCC);
  const std::string header(parser.Header().begin(), parser.Header().end());
  EXPECT_EQ(0u, header.find(std::string("\x00\x00\x01\xB0", 4)));
  EXPECT_NE(std::string::npos, header.find(std::string("\x00\x00\x01\x20", 4))) << "with the layer header";
}

int32_t KESTRUM_STDCALL ThrowingParser(const uint8_t*, int32_t, uint32_t*, uint32_t*) {
  throw std::runtime_error("header library failed");
}
int32_t KESTRUM_STDCALL RefusingParser(const uint8_t*, int32_t, uint32_t*, uint32_t*) { return 0; }

TEST_F(MpegParser, AFailingHeaderParserResetsAndARefusingOneDropsEverything) {
  REQUIRE_STREAMS();
  const std::string& bytes = Streams()[0].bytes;
  {
    CMpegMediaParser parser(&driver_, &ThrowingParser);
    parser.SetClient(&client_);
    Feed(parser, bytes, 4096);
    EXPECT_TRUE(client_.frames.empty());
    EXPECT_TRUE(parser.IsWaitingForKeyFrame());
  }
  for (ParseMpegHeaderFunction refusing : {&RefusingParser, static_cast<ParseMpegHeaderFunction>(nullptr)}) {
    CMpegMediaParser parser(&driver_, refusing);
    parser.SetClient(&client_);
    Feed(parser, bytes, 4096);
    EXPECT_TRUE(client_.frames.empty());
  }
}

TEST_F(MpegParser, OversizedFramesAreLoggedAndDropped) {
  CMpegMediaParser parser(&driver_);
  parser.SetClient(&client_);
  std::vector<uint8_t> junk(1 << 20, 0x55);
  for (int i = 0; i < 11; ++i) parser.ProcessData(junk);
  EXPECT_FALSE(driver_.Matching("Frame buffer overflow detected, device").empty());
  EXPECT_TRUE(parser.IsWaitingForKeyFrame());
}

}  // namespace
