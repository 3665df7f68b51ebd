// The simulator as a program: its options, its start-up lines, its errors and
// its clean shutdown on SIGTERM.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "platform/Process.h"
#include "platform/Socket.h"
#include "tests/support/CurlClient.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestUtil.h"
#include "tools/camera-sim/SimOptions.h"

using namespace kestrum;
using namespace kestrum::testing;

namespace {

TEST(CameraSimOptions, ParsesAndRejects) {
  sim::SimOptions options;
  std::string error;
  ASSERT_TRUE(sim::ParseSimOptions({"--auth", "digest", "--user", "u", "--password", "p", "--cameras", "4",
                                    "--inputs", "2", "--relays", "1", "--resolutions", "800x600:15,320x240:30"},
                                   options, error))
      << error;
  EXPECT_EQ(sim::AuthMode::Digest, options.auth.mode);
  EXPECT_EQ(4u, options.cameras);
  ASSERT_EQ(2u, options.resolutions.size());
  EXPECT_EQ(800u, options.resolutions[0].width);
  EXPECT_EQ(15u, options.resolutions[0].maxFps);

  const std::vector<std::vector<std::string>> bad = {
      {"--http-port", "http"}, {"--http-port", "70000"}, {"--auth", "ntlm"},         {"--cameras", "0"},
      {"--resolutions", "640x480"}, {"--resolutions", "640*480:30"}, {"--bogus", "1"}, {"--user"}};
  for (const auto& args : bad) {
    sim::SimOptions o;
    EXPECT_FALSE(sim::ParseSimOptions(args, o, error)) << args[0];
    EXPECT_FALSE(error.empty());
  }
}

TEST(CameraSimProgram, ServesUntilSigtermAndExitsCleanly) {
  TempDir dir;
  platform::ChildProcess simulator;
  ASSERT_TRUE(simulator.Start({CAMERA_SIM_PATH, "--cameras", "2", "--auth", "basic"}, dir.File("out.log")));
  std::smatch match;
  std::string output;
  const std::regex line("camera 1: http://127\\.0\\.0\\.1:([0-9]+)/ rtsp://127\\.0\\.0\\.1:([0-9]+)/nph-h264\\.cgi");
  for (int i = 0; i < 200 && !std::regex_search(output, match, line); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
    output = ReadText(dir.File("out.log"));
  }
  ASSERT_TRUE(std::regex_search(output, match, line)) << output;
  EXPECT_NE(std::string::npos, output.find("camera 2: http://127.0.0.1:" + std::to_string(std::stoi(match[1]) + 1)));
  const std::string base = "http://127.0.0.1:" + match[1].str();
  EXPECT_EQ(401, CurlGet(base + "/info.cgi").status);
  EXPECT_EQ(200, CurlGet(base + "/info.cgi", CurlAuth::Basic, "admin", "admin").status);
  EXPECT_EQ(0, simulator.Stop(5000)) << "SIGTERM ends the simulator with status 0";
}

TEST(CameraSimProgram, BadArgumentsAndBusyPortsFailClearly) {
  TempDir dir;
  platform::ChildProcess bad;
  ASSERT_TRUE(bad.Start({CAMERA_SIM_PATH, "--auth", "kerberos"}, dir.File("bad.log")));
  EXPECT_EQ(2, bad.Wait(10000));
  EXPECT_NE(std::string::npos, ReadText(dir.File("bad.log")).find("--auth must be none, basic or digest"));

  platform::TcpSocket holder;
  ASSERT_TRUE(holder.Listen(platform::LoopbackAddress(), 0));
  platform::ChildProcess busy;
  ASSERT_TRUE(busy.Start({CAMERA_SIM_PATH, "--http-port", std::to_string(holder.LocalPort())}, dir.File("busy.log")));
  EXPECT_EQ(1, busy.Wait(10000));
  EXPECT_NE(std::string::npos, ReadText(dir.File("busy.log")).find("is busy"));
}

}  // namespace
