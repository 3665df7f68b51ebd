// The driver against a standard RTSP server that none of us wrote:
// GStreamer's gst-rtsp-server with live H.264, in every transport mode and
// with every login, recorded by capture-host and checked by ffmpeg.
#include <filesystem>
#include <regex>

#include "tests/e2e/E2eSupport.h"

using namespace kestrum;
using namespace kestrum::testing;

namespace {

#ifdef GST_RTSP_SERVER_PATH

class StandardServer : public ::testing::Test {
 protected:
  void StartServer(const std::string& auth) {
    server_.Stop(2000);
    const std::string log = dir_.File("server-" + auth + ".log");
    ASSERT_TRUE(server_.Start({GST_RTSP_SERVER_PATH, "--auth", auth, "--user", "admin", "--password", "pw"}, log));
    const std::regex line("rtsp port ([0-9]+)");
    ASSERT_TRUE(WaitUntil(
        [&] {
          std::smatch match;
          const std::string text = ReadText(log);
          if (!std::regex_search(text, match, line)) return false;
          port_ = std::stoi(match[1]);
          return true;
        },
        10000))
        << ReadText(log);
  }
  void TearDown() override { server_.Stop(2000); }

  // capture-host beside its configuration file: the mode, and no settings
  // exchange, which a standard server has no pages for.
  std::string HostWithMode(const std::string& mode) {
    const std::string program = dir_.File("capture-host");
    std::filesystem::copy_file(CAPTURE_HOST_PATH, program, std::filesystem::copy_options::overwrite_existing);
    std::ofstream(dir_.File("QuellonIPCapture.xml"), std::ios::trunc)
        << "<Configuration><Device><RTPMode>" << mode
        << "</RTPMode><UpdateSettings>false</UpdateSettings></Device></Configuration>";
    return program;
  }

  TempDir dir_;
  platform::ChildProcess server_;
  int port_ = 0;
};

TEST_F(StandardServer, EveryModeWithEveryLoginRecordsDecodableVideo) {
  for (const char* auth : {"none", "basic", "digest"}) {
    StartServer(auth);
    for (const char* mode : {"rtpoverudp", "rtpovertcp", "rtpoverrtsp"}) {
      SCOPED_TRACE(std::string(mode) + " with " + auth);
      const std::string out = dir_.File(std::string("out-") + auth + "-" + mode);
      const std::string log = out + ".log";
      // The HTTP port is never asked: the settings exchange is off.
      const int status = RunCaptureHost(
          {"record", "--library", QUELLON_LIBRARY_PATH, "--address", "127.0.0.1", "--port", "9", "--rtsp-port",
           std::to_string(port_), "--resolutions", "320x240", "--kind", "h264", "--user", "admin", "--password", "pw",
           "--seconds", "5", "--width", "320", "--height", "240", "--fps", "15", "--out", out},
          log, HostWithMode(mode));
      ASSERT_EQ(0, status) << ReadText(log);
      const std::vector<std::string> index = ReadLines(out + "/channel1.csv");
      // 15 pictures/s for 5 s, less the session's start (2 s of it over UDP).
      EXPECT_GE(index.size(), 1u + 25u) << ReadText(log);
      if (HaveFfmpeg()) {
        EXPECT_EQ("", DecodeErrors(out + "/channel1.h264", "h264", out + ".decode.log"));
        EXPECT_EQ("h264,320,240," + std::to_string(index.size() - 1),
                  Probe(out + "/channel1.h264", "h264", out + ".probe.log"));
      }
    }
  }
}

#else

TEST(StandardServer, EveryModeWithEveryLoginRecordsDecodableVideo) {
  GTEST_SKIP() << "GStreamer's gst-rtsp-server development files were not found at configure time "
                  "(Debian: libgstrtspserver-1.0-dev, gstreamer1.0-plugins-ugly, gstreamer1.0-plugins-good)";
}

#endif

}  // namespace
