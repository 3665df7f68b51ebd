// The camera's CGI pages, authentication, control pages and page faults.
#include <chrono>

#include "tests/tools/camera-sim/SimFixture.h"

using namespace kestrum;
using namespace kestrum::testing;
using Clock = std::chrono::steady_clock;

namespace {

class CameraPages : public SimFixture {
 protected:
  void SetUp() override {
    sim::SimOptions options;
    options.inputs = 3;
    options.relays = 1;
    StartSim(options);
  }
};

TEST_F(CameraPages, InformationAndResolutions) {
  CurlReply info = Get("/info.cgi");
  ASSERT_EQ(200, info.status);
  for (const char* line : {"vendor=Quellon\r\n", "type=QN\r\n", "subtype=4000\r\n", "h264=1\r\n",
                           "external_inputs=3\r\n", "relay=1\r\n", "video_inputs=1\r\n", "version=2.4.1\r\n"}) {
    EXPECT_NE(std::string::npos, info.body.find(line)) << line;
  }
  EXPECT_NE(std::string::npos,
            info.body.find("h264_rtsp=" + std::to_string(sim_->RtspPort(0)) + "/nph-h264.cgi\r\n"));
  CurlReply resolutions = Get("/info.cgi?resolutions&api=2");
  EXPECT_EQ("0,640x480,30\r\n1,1280x720,25\r\n2,1920x1080,25\r\n3,320x240,30\r\n", resolutions.body);
}

TEST_F(CameraPages, ImageSettingsShownAppliedAndRefused) {
  CurlReply shown = Get("/admin.cgi?image&_");
  ASSERT_EQ(200, shown.status);
  for (const char* line : {"resolution=0\r\n", "quality=60\r\n", "h264_framerate=25\r\n", "h264_keyframe=25\r\n",
                           "h264_cbr=0\r\n", "h264_quality=22\r\n"}) {
    EXPECT_NE(std::string::npos, shown.body.find(line)) << line;
  }
  EXPECT_EQ(200, Get("/admin.cgi?image&resolution=2&quality=84&whatever=1").status) << "unknown keys are ignored";
  EXPECT_NE(std::string::npos, Get("/admin.cgi?image&_").body.find("resolution=2\r\nquality=84\r\n"));
  EXPECT_EQ(400, Get("/admin.cgi?image&resolution=4").status) << "no fifth resolution";
  EXPECT_EQ(400, Get("/admin.cgi?image&quality=19").status);
  EXPECT_EQ(400, Get("/admin.cgi?image&h264_quality=1&quality=50").status);
  nlohmann::json state = State();
  EXPECT_EQ(2, state["settings"]["resolution"]);
  EXPECT_EQ(84, state["settings"]["quality"]) << "a refused request changes nothing";
}

TEST_F(CameraPages, AlarmInputsAndRelay) {
  EXPECT_EQ("trigger1=0\r\ntrigger2=0\r\ntrigger3=0\r\nrelay=0\r\n", Get("/io.cgi").body);
  EXPECT_EQ(200, Get("/sim/input?n=2&state=1").status);
  EXPECT_EQ(200, Get("/sim/input?n=3&toggle").status);
  EXPECT_EQ(400, Get("/sim/input?n=4&state=1").status);
  EXPECT_EQ("trigger1=0\r\ntrigger2=1\r\ntrigger3=1\r\nrelay=0\r\n", Get("/io.cgi").body);
  EXPECT_EQ(200, Get("/io.cgi?relay=1").status);
  EXPECT_EQ(200, Get("/io.cgi?relay=0").status);
  EXPECT_EQ(200, Get("/io.cgi?relay=1").status);
  EXPECT_EQ(400, Get("/io.cgi?relay=2").status);
  nlohmann::json state = State();
  EXPECT_EQ(1, state["relay"]);
  EXPECT_EQ((std::vector<int>{1, 0, 1}), state["relay_history"].get<std::vector<int>>());
  EXPECT_EQ((std::vector<int>{0, 1, 1}), state["inputs"].get<std::vector<int>>());
  EXPECT_EQ(404, Get("/nothing.cgi").status);
}

TEST_F(CameraPages, RequestLogAndCounters) {
  Get("/info.cgi");
  Get("/admin.cgi?image&quality=70");
  nlohmann::json state = State();
  ASSERT_EQ(2u, state["requests"].size()) << "control pages are not logged";
  EXPECT_EQ("GET", state["requests"][0]["method"]);
  EXPECT_EQ("/info.cgi", state["requests"][0]["path"]);
  EXPECT_EQ("none", state["requests"][0]["auth"]);
  EXPECT_EQ("/admin.cgi?image&quality=70", state["requests"][1]["path"]);
  EXPECT_EQ(2, state["counters"]["http_requests"]);
  EXPECT_EQ(200, Get("/sim/reset").status);
  EXPECT_EQ(0u, State()["requests"].size());
}

TEST_F(CameraPages, PageFaults) {
  Fault("empty_settings", 1);
  CurlReply empty = Get("/admin.cgi?image&_");
  EXPECT_EQ(200, empty.status);
  EXPECT_EQ("", empty.body);
  Fault("refuse_settings", 1);
  EXPECT_EQ(403, Get("/admin.cgi?image&quality=90").status);
  Fault("error500", 1);
  EXPECT_EQ(500, Get("/info.cgi").status);
  Fault("error500", 0);
  Fault("slow", 400);
  auto start = Clock::now();
  EXPECT_EQ(200, Get("/info.cgi").status);
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(380));
  Fault("slow", 0);
  Fault("drop", 1);
  CurlReply dropped = Get("/info.cgi");
  EXPECT_NE(0, dropped.curlError) << "the reply is cut off";
  EXPECT_LT(dropped.body.size(), 100u);
  EXPECT_EQ(400, Get("/sim/fault?name=nonsense&value=1").status);
  nlohmann::json faults = State()["faults"];
  EXPECT_EQ(1, faults["drop"]);
  EXPECT_EQ(1, faults["refuse_settings"]);
}

class CameraAuth : public SimFixture {
 protected:
  void Start(sim::AuthMode mode) {
    sim::SimOptions options;
    options.auth.mode = mode;
    options.auth.user = "operator";
    options.auth.password = "s3cret";
    StartSim(options);
  }
};

TEST_F(CameraAuth, Basic) {
  Start(sim::AuthMode::Basic);
  CurlReply anonymous = Get("/info.cgi");
  EXPECT_EQ(401, anonymous.status);
  EXPECT_NE(std::string::npos, anonymous.headers.find("WWW-Authenticate: Basic realm=\"Quellon\""));
  EXPECT_EQ(401, Get("/admin.cgi?tablist", CurlAuth::Basic, "operator", "wrong").status);
  CurlReply ok = Get("/admin.cgi?tablist", CurlAuth::Basic, "operator", "s3cret");
  EXPECT_EQ(200, ok.status);
  EXPECT_EQ(200, Get("/sim/state").status) << "control pages need no credentials";
  nlohmann::json requests = State()["requests"];
  ASSERT_EQ(3u, requests.size());
  EXPECT_EQ("none", requests[0]["auth"]);
  EXPECT_EQ("basic", requests[1]["auth"]);
  EXPECT_FALSE(requests[1]["authorized"].get<bool>());
  EXPECT_TRUE(requests[2]["authorized"].get<bool>());
  EXPECT_EQ("operator", requests[2]["user"]);
}

TEST_F(CameraAuth, Digest) {
  Start(sim::AuthMode::Digest);
  CurlReply basic = Get("/info.cgi", CurlAuth::Basic, "operator", "s3cret");
  EXPECT_EQ(401, basic.status) << "Basic is not accepted by a Digest camera";
  EXPECT_NE(std::string::npos, basic.headers.find("WWW-Authenticate: Digest realm=\"Quellon\""));
  EXPECT_EQ(401, Get("/info.cgi", CurlAuth::Digest, "operator", "wrong").status);
  CurlReply ok = Get("/info.cgi", CurlAuth::Digest, "operator", "s3cret");
  EXPECT_EQ(200, ok.status);
  EXPECT_NE(std::string::npos, ok.body.find("vendor=Quellon"));
  nlohmann::json last = State()["requests"].back();
  EXPECT_EQ("digest", last["auth"]);
  EXPECT_TRUE(last["authorized"].get<bool>());
}

TEST(CameraSimSet, SeveralCamerasOnConsecutivePortsKeepTheirOwnState) {
  sim::SimOptions options;
  options.cameras = 3;
  sim::Simulator simulator(options);
  std::string error;
  ASSERT_TRUE(simulator.Start(error)) << error;
  EXPECT_EQ(simulator.HttpPort(0) + 1, simulator.HttpPort(1));
  EXPECT_EQ(simulator.HttpPort(0) + 2, simulator.HttpPort(2));
  EXPECT_EQ(simulator.RtspPort(0) + 2, simulator.RtspPort(2));
  const std::string second = "http://127.0.0.1:" + std::to_string(simulator.HttpPort(1));
  EXPECT_EQ(200, CurlGet(second + "/admin.cgi?image&quality=99").status);
  for (size_t i = 0; i < 3; ++i) {
    nlohmann::json state =
        nlohmann::json::parse(CurlGet("http://127.0.0.1:" + std::to_string(simulator.HttpPort(i)) + "/sim/state").body);
    EXPECT_EQ(i + 1, state["camera"].get<size_t>());
    EXPECT_EQ(i == 1 ? 99 : 60, state["settings"]["quality"]);
  }
  simulator.Stop();
}

}  // namespace
