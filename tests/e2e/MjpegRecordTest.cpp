// Motion JPEG from camera-sim to files through capture-host and the driver
// library, checked by an independent decoder.
#include <filesystem>

#include "tests/e2e/E2eSupport.h"

using namespace kestrum;
using namespace kestrum::testing;

namespace {

struct IndexLine {
  uint64_t frame;
  std::string time;
  uint64_t bytes;
  std::string code;
  uint32_t width;
  uint32_t height;
};

std::vector<IndexLine> ReadIndex(const std::string& path) {
  std::vector<IndexLine> index;
  std::vector<std::string> lines = ReadLines(path);
  for (size_t i = 1; i < lines.size(); ++i) {
    IndexLine line{};
    char time[64] = {0};
    char code[8] = {0};
    if (std::sscanf(lines[i].c_str(), "%lu,%63[^,],%lu,%7[^,],%u,%u", &line.frame, time, &line.bytes, code,
                    &line.width, &line.height) == 6) {
      line.time = time;
      line.code = code;
      index.push_back(line);
    }
  }
  return index;
}

class MjpegRecording : public ::testing::Test {
 protected:
  void StartSim(const std::vector<std::string>& options = {}) {
    ASSERT_TRUE(sim_.Start(options, dir_.File("sim.log"))) << ReadText(dir_.File("sim.log"));
  }
  void TearDown() override { sim_.Stop(); }
  std::vector<std::string> Record(const std::vector<std::string>& extra) {
    std::vector<std::string> args = {"record", "--address", "127.0.0.1", "--port", std::to_string(sim_.httpPort),
                                     "--kind", "mjpeg", "--out", dir_.File("out"),
                                     "--resolutions", "640x480;1280x720;1920x1080;320x240"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  }

  TempDir dir_;
  SimProcess sim_;
};

TEST_F(MjpegRecording, RecordsDecodablePicturesOfTheRequestedSize) {
  StartSim();
  ASSERT_EQ(0, RunCaptureHost(Record({"--seconds", "4", "--fps", "10", "--width", "1280", "--height", "720",
                                      "--quality", "50"}),
                              dir_.File("host.log")))
      << ReadText(dir_.File("host.log"));
  const std::string host = ReadText(dir_.File("host.log"));
  EXPECT_NE(std::string::npos, host.find("[info] kestrum::CBaseCameraChannel::SetCameraState: Camera 127.0.0.1 is online"));
  EXPECT_NE(std::string::npos, host.find("recordings, indexes and snapshots are in"));

  // The camera was asked for the size (index 1) but not the quality, which
  // it already had (50 % maps to the camera's 60).
  const std::vector<std::string> paths = sim_.RequestPaths();
  ASSERT_GE(paths.size(), 3u);
  EXPECT_EQ("/admin.cgi?image&_", paths[0]);
  EXPECT_EQ("/admin.cgi?image&resolution=1", paths[1]);
  EXPECT_EQ("/nph-mjpeg.cgi?fps=10", paths[2]);

  const std::vector<IndexLine> index = ReadIndex(dir_.File("out/channel1.csv"));
  ASSERT_GE(index.size(), 25u);
  EXPECT_LE(index.size(), 50u);
  uint64_t bytes = 0;
  for (size_t i = 0; i < index.size(); ++i) {
    EXPECT_EQ(i + 1, index[i].frame);
    EXPECT_EQ("JPEG", index[i].code);
    EXPECT_EQ(1280u, index[i].width);
    EXPECT_EQ(720u, index[i].height);
    if (i > 0) {
      EXPECT_LT(index[i - 1].time, index[i].time) << "every picture later than the one before";
    }
    bytes += index[i].bytes;
  }
  EXPECT_EQ(bytes, std::filesystem::file_size(dir_.File("out/channel1.mjpeg")));

  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed (Debian package ffmpeg)";
  EXPECT_EQ("mjpeg,1280,720," + std::to_string(index.size()),
            Probe(dir_.File("out/channel1.mjpeg"), "mjpeg", dir_.File("probe.log")));
  EXPECT_EQ("", DecodeErrors(dir_.File("out/channel1.mjpeg"), "mjpeg", dir_.File("decode.log")));
  EXPECT_EQ("mjpeg,1280,720,1", Probe(dir_.File("out/channel1.jpg"), "mjpeg", dir_.File("snapshot.log")));
}

TEST_F(MjpegRecording, SeveralCamerasInOneRunEachToItsOwnDirectory) {
  StartSim({"--cameras", "3"});
  // A list and a range together name the three cameras.
  const std::string ports = std::to_string(sim_.httpPort) + "," + std::to_string(sim_.httpPort + 1) + "-" +
                            std::to_string(sim_.httpPort + 2);
  std::vector<std::string> args = Record({"--seconds", "3", "--fps", "5", "--width", "320", "--height", "240"});
  args[4] = ports;
  ASSERT_EQ(0, RunCaptureHost(args, dir_.File("host.log"))) << ReadText(dir_.File("host.log"));
  const std::string log = ReadText(dir_.File("host.log"));
  for (int camera = 0; camera < 3; ++camera) {
    const std::string port = std::to_string(sim_.httpPort + camera);
    EXPECT_GE(ReadIndex(dir_.File("out/port" + port + "/channel1.csv")).size(), 5u) << port;
    EXPECT_TRUE(std::filesystem::exists(dir_.File("out/port" + port + "/channel1.jpg"))) << port;
    EXPECT_NE(std::string::npos, log.find("port " + port + " channel 1")) << "live line of " << port;
    EXPECT_NE(std::string::npos, log.find(port + "/1 ")) << "summary line of " << port;
  }
  EXPECT_FALSE(std::filesystem::exists(dir_.File("out/channel1.mjpeg")));
}

TEST_F(MjpegRecording, EachCamerasLinesNameItAndASilentCameraIsToldApart) {
  StartSim({"--cameras", "2"});
  // The third port has no camera behind it.
  const std::string ports = std::to_string(sim_.httpPort) + "-" + std::to_string(sim_.httpPort + 2);
  std::vector<std::string> args = Record({"--seconds", "3", "--fps", "5", "--width", "320", "--height", "240"});
  args[4] = ports;
  ASSERT_EQ(0, RunCaptureHost(args, dir_.File("host.log"))) << "two of three cameras recorded";
  const std::string log = ReadText(dir_.File("host.log"));
  for (int camera = 0; camera < 2; ++camera) {
    const std::string port = std::to_string(sim_.httpPort + camera);
    EXPECT_NE(std::string::npos,
              log.find("[info] 127.0.0.1:" + port +
                       ": kestrum::CBaseCameraChannel::SetCameraState: Camera 127.0.0.1 is online"))
        << log;
    EXPECT_EQ(std::string::npos, log.find("nothing was recorded from 127.0.0.1:" + port));
  }
  // The closing message repeats what the driver said of that camera, once.
  const std::string silent = "127.0.0.1:" + std::to_string(sim_.httpPort + 2);
  const std::string reason = "kestrum::CBaseCameraChannel::ReportFailure: Camera 127.0.0.1: Cannot send request "
                             "\"/admin.cgi?image&_\" to device " + silent;
  EXPECT_NE(std::string::npos, log.find("[warning] " + silent + ": " + reason)) << log;
  const std::string line = "[warning] " + silent + ": " + reason;
  EXPECT_EQ(log.find(line), log.rfind(line)) << "one line, not one per retry";
  EXPECT_NE(std::string::npos, log.find("nothing was recorded from " + silent + "; the driver's last word: " + reason))
      << log;
}

TEST_F(MjpegRecording, AFullDiskEndsInAClearErrorAndAFailingStatus) {
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full here";
  StartSim();
  std::filesystem::create_directories(dir_.File("out"));
  std::filesystem::create_symlink("/dev/full", dir_.File("out/channel1.mjpeg"));
  EXPECT_EQ(1, RunCaptureHost(Record({"--seconds", "2", "--fps", "10"}), dir_.File("host.log")));
  const std::string log = ReadText(dir_.File("host.log"));
  EXPECT_NE(std::string::npos, log.find("cannot write " + dir_.File("out/channel1.mjpeg") + ": No space left"))
      << log;
  EXPECT_NE(std::string::npos, log.find("are incomplete")) << log;
}

TEST_F(MjpegRecording, DigestCameraAndSeveralChannels) {
  StartSim({"--auth", "digest", "--user", "viewer", "--password", "pa55"});
  ASSERT_EQ(0, RunCaptureHost(Record({"--seconds", "3", "--fps", "5", "--channels", "2", "--user", "viewer",
                                      "--password", "pa55", "--width", "320", "--height", "240"}),
                              dir_.File("host.log")))
      << ReadText(dir_.File("host.log"));
  EXPECT_GE(ReadIndex(dir_.File("out/channel1.csv")).size(), 5u);
  EXPECT_GE(ReadIndex(dir_.File("out/channel2.csv")).size(), 5u);
  EXPECT_NE(std::string::npos, ReadText(dir_.File("host.log")).find("Video-server 127.0.0.1 (channel 1) is online"));
  const nlohmann::json state = sim_.State();
  bool digest = false;
  for (const auto& request : state["requests"]) digest |= request["auth"] == "digest" && request["authorized"];
  EXPECT_TRUE(digest);
}

TEST_F(MjpegRecording, RecoversFromStreamFaults) {
  StartSim();
  // Faults switched on and off while recording: the stream ends after a few
  // pictures, pictures lose their end marker, garbage comes between parts.
  std::thread faults([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    sim_.Fault("close_after", 5);
    std::this_thread::sleep_for(std::chrono::milliseconds(2000));
    sim_.Fault("close_after", 0);
    sim_.Fault("truncate", 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    sim_.Fault("truncate", 0);
    sim_.Fault("garbage", 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    sim_.Fault("garbage", 0);
  });
  const int status = RunCaptureHost(Record({"--seconds", "9", "--fps", "20", "--width", "640", "--height", "480"}),
                                    dir_.File("host.log"));
  faults.join();
  ASSERT_EQ(0, status) << ReadText(dir_.File("host.log"));
  const std::vector<IndexLine> index = ReadIndex(dir_.File("out/channel1.csv"));
  const nlohmann::json state = sim_.State();
  EXPECT_GE(state["counters"]["streams_opened"].get<int>(), 3) << "closed streams were reopened";
  // About 9 s at 20/s, less the truncated second and a half.
  EXPECT_GE(index.size(), 100u);
  const std::string host = ReadText(dir_.File("host.log"));
  EXPECT_EQ(std::string::npos, host.find("Signal was lost"));
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed";
  EXPECT_EQ("", DecodeErrors(dir_.File("out/channel1.mjpeg"), "mjpeg", dir_.File("decode.log")))
      << "no truncated picture and no garbage reached the recording";
}

TEST_F(MjpegRecording, RefusedSettingsFollowTheConfigurationFile) {
  StartSim();
  ASSERT_TRUE(sim_.Fault("refuse_settings", 1));
  EXPECT_EQ(1, RunCaptureHost(Record({"--seconds", "2", "--width", "1280", "--height", "720"}), dir_.File("host.log")));
  EXPECT_NE(std::string::npos, ReadText(dir_.File("host.log")).find("nothing was recorded"));

  // A host whose configuration file turns settings updates off records from
  // the first opening on.
  std::filesystem::create_directories(dir_.File("host"));
  std::filesystem::copy_file(CAPTURE_HOST_PATH, dir_.File("host/capture-host"));
  std::ofstream(dir_.File("host/QuellonIPCapture.xml"))
      << "<Configuration><Device address=\"127.0.0.1\" port=\"" << sim_.httpPort
      << "\"><UpdateSettings>false</UpdateSettings></Device></Configuration>";
  std::vector<std::string> args = Record({"--seconds", "3", "--width", "1280", "--height", "720"});
  args.insert(args.begin() + 1, {"--library", QUELLON_LIBRARY_PATH});
  ASSERT_EQ(0, RunCaptureHost(args, dir_.File("host2.log"), dir_.File("host/capture-host")))
      << ReadText(dir_.File("host2.log"));
  EXPECT_GE(ReadIndex(dir_.File("out/channel1.csv")).size(), 10u);
}

TEST(CaptureHostArguments, WrongArgumentsExitWithAClearMessage) {
  TempDir dir;
  EXPECT_EQ(2, RunCaptureHost({"record", "--kind", "mjpeg"}, dir.File("a.log")));
  EXPECT_NE(std::string::npos, ReadText(dir.File("a.log")).find("--address is required"));
  EXPECT_EQ(2, RunCaptureHost({"record", "--address", "x", "--port", "eighty"}, dir.File("b.log")));
  EXPECT_NE(std::string::npos, ReadText(dir.File("b.log")).find("--port needs a number from 1 to 65535"));
  EXPECT_EQ(2, RunCaptureHost({"record", "--address", "x", "--colour", "red"}, dir.File("c.log")));
  EXPECT_NE(std::string::npos, ReadText(dir.File("c.log")).find("unknown option --colour"));
  EXPECT_EQ(2, RunCaptureHost({"film"}, dir.File("d.log")));
  EXPECT_NE(std::string::npos, ReadText(dir.File("d.log")).find("unknown command film"));
}

TEST(CaptureHostArguments, AnUnreachableCameraRecordsNothing) {
  TempDir dir;
  EXPECT_EQ(1, RunCaptureHost({"record", "--address", "127.0.0.1", "--port", "1", "--seconds", "2", "--out",
                               dir.File("out")},
                              dir.File("host.log")));
  EXPECT_NE(std::string::npos, ReadText(dir.File("host.log")).find("nothing was recorded from 127.0.0.1:1"));
}

}  // namespace
