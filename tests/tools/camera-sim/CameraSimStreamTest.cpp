// The Motion JPEG stream: its framing, its pictures, its faults, and an
// independent decoder (ffmpeg) reading it.
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "platform/Process.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestUtil.h"
#include "tests/tools/camera-sim/SimFixture.h"

using namespace kestrum;
using namespace kestrum::testing;

namespace {

struct Part {
  std::string headers;
  std::string jpeg;
};

// Splits a multipart body by its Content-Length headers; stops at anything
// that does not parse. between collects what lies outside the parts.
std::vector<Part> SplitParts(const std::string& body, std::string* between = nullptr) {
  std::vector<Part> parts;
  size_t at = 0;
  for (;;) {
    size_t boundary = body.find("--quellonboundary\r\n", at);
    if (boundary == std::string::npos) break;
    if (between != nullptr) *between += body.substr(at, boundary - at);
    size_t headEnd = body.find("\r\n\r\n", boundary);
    if (headEnd == std::string::npos) break;
    Part part;
    part.headers = body.substr(boundary, headEnd - boundary);
    size_t lengthAt = part.headers.find("Content-Length: ");
    if (lengthAt == std::string::npos) break;
    size_t length = std::stoul(part.headers.substr(lengthAt + 16));
    if (headEnd + 4 + length > body.size()) break;
    part.jpeg = body.substr(headEnd + 4, length);
    parts.push_back(part);
    at = headEnd + 4 + length;
  }
  return parts;
}

// Width and height from the baseline start-of-frame segment.
std::pair<int, int> JpegSize(const std::string& jpeg) {
  size_t sof = jpeg.find("\xFF\xC0");
  if (sof == std::string::npos || sof + 9 > jpeg.size()) return {0, 0};
  auto byte = [&](size_t i) { return static_cast<uint8_t>(jpeg[i]); };
  return {byte(sof + 7) << 8 | byte(sof + 8), byte(sof + 5) << 8 | byte(sof + 6)};
}

bool WholeJpeg(const std::string& jpeg) {
  return jpeg.size() > 4 && jpeg.compare(0, 2, "\xFF\xD8") == 0 && jpeg.compare(jpeg.size() - 2, 2, "\xFF\xD9") == 0;
}

class MjpegStream : public SimFixture {
 protected:
  void SetUp() override {
    StartSim(sim::SimOptions());
    EncodeLoopFirst();
  }
  // The first stream of a picture size encodes its picture loop (slow in
  // sanitizer builds, slower on a busy machine): done before anything is timed.
  void EncodeLoopFirst() { CurlGetFor(Url("/nph-mjpeg.cgi?fps=1"), 60000, 1024); }
  std::string Read(long ms, const std::string& query = "?fps=10") {
    return CurlGetFor(Url("/nph-mjpeg.cgi" + query), ms, 0).body;
  }
};

TEST_F(MjpegStream, PartsAreWholeDistinctPicturesOfTheCurrentSize) {
  CurlReply reply = CurlGetFor(Url("/nph-mjpeg.cgi?fps=10"), 1500, 0);
  EXPECT_NE(std::string::npos, reply.headers.find("Content-Type: multipart/x-mixed-replace; boundary=quellonboundary"));
  std::vector<Part> parts = SplitParts(reply.body);
  ASSERT_GE(parts.size(), 8u);
  EXPECT_LE(parts.size(), 20u) << "about 10 pictures per second";
  std::set<std::string> distinct;
  for (const Part& part : parts) {
    EXPECT_NE(std::string::npos, part.headers.find("Content-Type: image/jpeg"));
    EXPECT_TRUE(WholeJpeg(part.jpeg));
    EXPECT_EQ(std::make_pair(640, 480), JpegSize(part.jpeg));
    distinct.insert(part.jpeg);
  }
  EXPECT_EQ(parts.size(), distinct.size()) << "every picture differs from the others";
  EXPECT_GE(State()["counters"]["pictures_sent"].get<int>(), static_cast<int>(parts.size()));

  ASSERT_EQ(200, Get("/admin.cgi?image&resolution=3&quality=30").status);
  EncodeLoopFirst();
  std::vector<Part> small = SplitParts(Read(600));
  ASSERT_FALSE(small.empty());
  EXPECT_EQ(std::make_pair(320, 240), JpegSize(small[0].jpeg));
}

TEST_F(MjpegStream, StallKeepsTheConnectionSilent) {
  Fault("stall", 1);
  CurlReply reply = CurlGetFor(Url("/nph-mjpeg.cgi?fps=10"), 800, 0);
  EXPECT_EQ(28, reply.curlError) << "the transfer times out";
  EXPECT_TRUE(SplitParts(reply.body).empty());
}

TEST_F(MjpegStream, CloseAfterEndsTheStreamCleanly) {
  Fault("close_after", 3);
  CurlReply reply = CurlGetFor(Url("/nph-mjpeg.cgi?fps=25"), 5000, 0);
  EXPECT_EQ(0, reply.curlError) << "the camera ends the stream by itself";
  EXPECT_EQ(3u, SplitParts(reply.body).size());
}

TEST_F(MjpegStream, TruncatedPicturesAndGarbage) {
  Fault("truncate", 1);
  Fault("garbage", 1);
  std::string between;
  std::vector<Part> parts = SplitParts(Read(800), &between);
  ASSERT_GE(parts.size(), 3u);
  for (const Part& part : parts) {
    EXPECT_EQ(0, part.jpeg.compare(0, 2, "\xFF\xD8"));
    EXPECT_NE(0, part.jpeg.compare(part.jpeg.size() - 2, 2, "\xFF\xD9")) << "no end-of-image marker";
  }
  EXPECT_NE(std::string::npos, between.find("garbage "));
  EXPECT_EQ(std::string::npos, between.find('\xFF')) << "garbage must not look like a marker";
}

TEST_F(MjpegStream, DropCutsThePictureAndTheConnection) {
  Fault("drop", 1);
  CurlReply reply = CurlGetFor(Url("/nph-mjpeg.cgi?fps=10"), 3000, 0);
  // The stream has no length, so a dropped connection reads as its end.
  EXPECT_NE(28, reply.curlError) << "cut off, not timed out";
  EXPECT_TRUE(SplitParts(reply.body).empty());
  EXPECT_NE(std::string::npos, reply.body.find("--quellonboundary")) << "half a part arrived";
}

TEST_F(MjpegStream, AnIndependentDecoderReadsTheStream) {
  if (!std::filesystem::exists("/usr/bin/ffmpeg") || !std::filesystem::exists("/usr/bin/ffprobe")) {
    GTEST_SKIP() << "ffmpeg is not installed (Debian package ffmpeg)";
  }
  ASSERT_EQ(200, Get("/admin.cgi?image&resolution=1&quality=80").status);
  TempDir dir;
  platform::ChildProcess ffmpeg;
  ASSERT_TRUE(ffmpeg.Start({"/usr/bin/ffmpeg", "-nostdin", "-v", "error", "-f", "mpjpeg", "-i",
                            Url("/nph-mjpeg.cgi?fps=25"), "-frames:v", "30", "-f", "null", "-"},
                           dir.File("ffmpeg.log")));
  EXPECT_EQ(0, ffmpeg.Wait(60000));
  EXPECT_EQ("", ReadText(dir.File("ffmpeg.log"))) << "no decoding error";

  platform::ChildProcess ffprobe;
  ASSERT_TRUE(ffprobe.Start({"/usr/bin/ffprobe", "-v", "error", "-f", "mpjpeg", "-select_streams", "v:0",
                             "-show_entries", "stream=codec_name,width,height", "-of", "csv=p=0",
                             Url("/nph-mjpeg.cgi?fps=25")},
                            dir.File("ffprobe.log")));
  EXPECT_EQ(0, ffprobe.Wait(60000));
  EXPECT_EQ("mjpeg,1280,720\n", ReadText(dir.File("ffprobe.log")));
}

}  // namespace
