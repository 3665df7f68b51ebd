#include "parsers/JpegMediaParser.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "parsers/HostFrameWriter.h"
#include "tests/parsers/ParserClient.h"
#include "tests/parsers/RecordingFrames.h"
#include "tests/support/FakeDriver.h"
#include "tools/camera-sim/PictureFactory.h"

using namespace kestrum;
using namespace kestrum::testing;

namespace {

// Real pictures from an independent encoder (libjpeg-turbo).
const sim::PictureSet& Pictures() {
  static sim::PictureFactory factory;
  static std::shared_ptr<const sim::PictureSet> set = factory.Get(352, 288, 60);
  return *set;
}

std::string MultipartStream(size_t count, const std::string& between = "") {
  std::string stream;
  for (size_t i = 0; i < count; ++i) {
    const std::string& jpeg = Pictures()[i % Pictures().size()];
    stream += "--boundary\r\nContent-Type: image/jpeg\r\nContent-Length: " + std::to_string(jpeg.size()) +
              "\r\n\r\n" + jpeg + "\r\n" + between;
  }
  return stream;
}

class JpegParser : public ::testing::Test {
 protected:
  JpegParser() : parser_(&driver_) { parser_.SetClient(&client_); }

  void Feed(const std::string& bytes, size_t chunkSize) {
    for (size_t at = 0; at < bytes.size(); at += chunkSize) {
      std::string piece = bytes.substr(at, chunkSize);
      parser_.ProcessData(std::vector<uint8_t>(piece.begin(), piece.end()));
    }
  }
  void FeedSplitAt(const std::string& bytes, size_t split) {
    parser_.ProcessData(std::vector<uint8_t>(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(split)));
    parser_.ProcessData(std::vector<uint8_t>(bytes.begin() + static_cast<std::ptrdiff_t>(split), bytes.end()));
  }

  FakeDriver driver_;
  ParserClient client_;
  CJpegMediaParser parser_;
};

TEST_F(JpegParser, CutsWholePicturesFromAMultipartStream) {
  Feed(MultipartStream(5), 8192);
  ASSERT_EQ(5u, client_.frames.size());
  for (size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(Pictures()[i], client_.frames[i].data) << "picture " << i << " byte for byte";
    EXPECT_EQ(FourCC('J', 'P', 'E', 'G'), client_.frames[i].fourCC);
    EXPECT_EQ(352u, client_.frames[i].width);
    EXPECT_EQ(288u, client_.frames[i].height);
    EXPECT_EQ(2u, client_.frames[i].sizeClass);
    EXPECT_EQ("QuellonIPCapture", client_.frames[i].source);
  }
  EXPECT_EQ(0, driver_.allocator.Outstanding()) << "every frame is released";
}

TEST_F(JpegParser, MarkersSplitAtEveryPositionOfARead) {
  // Two pictures; the stream is cut into two reads at every byte position, so
  // every marker (and the start-of-frame segment) is split once.
  const std::string stream = MultipartStream(2);
  for (size_t split = 1; split < stream.size(); ++split) {
    FakeDriver driver;
    ParserClient client;
    CJpegMediaParser parser(&driver);
    parser.SetClient(&client);
    parser.ProcessData(std::vector<uint8_t>(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(split)));
    parser.ProcessData(std::vector<uint8_t>(stream.begin() + static_cast<std::ptrdiff_t>(split), stream.end()));
    ASSERT_EQ(2u, client.frames.size()) << "split at " << split;
    EXPECT_EQ(Pictures()[0], client.frames[0].data) << "split at " << split;
    EXPECT_EQ(Pictures()[1], client.frames[1].data) << "split at " << split;
    EXPECT_EQ(352u, client.frames[1].width) << "split at " << split;
  }
}

TEST_F(JpegParser, PicturesSpanningManyReads) {
  Feed(MultipartStream(3), 1);  // one byte per read
  ASSERT_EQ(3u, client_.frames.size());
  EXPECT_EQ(Pictures()[2], client_.frames[2].data);
  Feed(MultipartStream(3), 7);
  EXPECT_EQ(6u, client_.frames.size());
}

TEST_F(JpegParser, GarbageBetweenPicturesIsDropped) {
  Feed(MultipartStream(4, std::string("noise \xFF\x00 more \xFF\xFF noise\r\n", 22)), 4096);
  ASSERT_EQ(4u, client_.frames.size());
  EXPECT_EQ(Pictures()[3], client_.frames[3].data);
}

TEST_F(JpegParser, NoStartOfFrameNoPicture) {
  // A picture whose start-of-frame marker is disguised has no size: dropped
  // silently until a picture with a size arrives.
  std::string jpeg = Pictures()[0];
  size_t sof = jpeg.find("\xFF\xC0");
  ASSERT_NE(std::string::npos, sof);
  jpeg[sof + 1] = static_cast<char>(0xC2);  // progressive: not read for the size
  Feed(jpeg, 8192);
  EXPECT_TRUE(client_.frames.empty());
  EXPECT_TRUE(driver_.Lines().empty());
  Feed(Pictures()[1], 8192);
  EXPECT_EQ(1u, client_.frames.size());
}

TEST_F(JpegParser, EndMarkerWithoutStartEmitsNothing) {
  Feed(std::string("abc\xFF\xD9 def", 9), 100);
  EXPECT_TRUE(client_.frames.empty());
  EXPECT_FALSE(parser_.InFrame());
}

TEST_F(JpegParser, OverflowBeyondTenMebibytesIsLoggedAndDropped) {
  driver_.device.Port = 8080;
  std::string start = Pictures()[0].substr(0, Pictures()[0].size() - 2);  // no end-of-image
  Feed(start, 8192);
  std::string filler(8192, '\x11');
  for (int i = 0; i < 1281; ++i) Feed(filler, 8192);  // passes 10 MiB
  auto lines = driver_.Matching("Frame buffer overflow");
  ASSERT_EQ(1u, lines.size());
  EXPECT_EQ(1u, lines[0].level);
  EXPECT_EQ("kestrum::CHttpMediaParser::CheckBufferSize: Frame buffer overflow detected, device 127.0.0.1:8080",
            lines[0].text);
  EXPECT_FALSE(parser_.InFrame());
  Feed(MultipartStream(1), 8192);  // cutting resumes at the next picture
  EXPECT_EQ(1u, client_.frames.size());
}

TEST_F(JpegParser, RefusedFramesAndMissingAllocatorStillRelease) {
  client_.accept = false;
  Feed(MultipartStream(2), 8192);
  EXPECT_EQ(2u, client_.frames.size());
  EXPECT_EQ(0, driver_.allocator.Outstanding());
  driver_.withAllocator = false;
  Feed(MultipartStream(2), 8192);
  EXPECT_EQ(2u, client_.frames.size()) << "no allocator: pictures are dropped";
}

TEST(JpegFrameFill, ValuesFirstThenTheBytesAndAFrameWithoutABufferIsNotHandedOn) {
  RecordingFramesDriver driver;
  RecordingClient client(driver.calls);
  CJpegMediaParser parser(&driver);
  parser.SetClient(&client);
  const std::string stream = MultipartStream(1);
  parser.ProcessData(std::vector<uint8_t>(stream.begin(), stream.end()));
  const CallLog filled = {"CreateFrame", "GetFrameTime", "SetWidth",  "SetHeight", "SetSizeClass", "SetDataSize",
                          "SetFourCC",   "SetTime",      "GetBuffer", "OnFrame",   "ReleaseFrame"};
  EXPECT_EQ(filled, driver.calls);
  driver.calls.clear();
  driver.frames.withBuffers = false;
  parser.ProcessData(std::vector<uint8_t>(stream.begin(), stream.end()));
  ASSERT_FALSE(driver.calls.empty());
  EXPECT_EQ("ReleaseFrame", driver.calls.back());
  EXPECT_EQ(driver.calls.end(), std::find(driver.calls.begin(), driver.calls.end(), "OnFrame"));
  EXPECT_EQ(0, driver.frames.outstanding);
}

TEST(SizeClass, Table) {
  EXPECT_EQ(4u, SizeClass(1280, 720));
  EXPECT_EQ(3u, SizeClass(704, 240));
  EXPECT_EQ(4u, SizeClass(704, 480));
  EXPECT_EQ(2u, SizeClass(352, 288));
  EXPECT_EQ(1u, SizeClass(176, 144));
  EXPECT_EQ(1u, SizeClass(199, 1));
  EXPECT_EQ(2u, SizeClass(200, 1));
  EXPECT_EQ(3u, SizeClass(1023, 511));
  EXPECT_EQ(4u, SizeClass(1023, 512));
  EXPECT_EQ(4u, SizeClass(1024, 10));
}

}  // namespace
