// capture-host query and io against camera-sim, as separate programs.
#include "tests/e2e/E2eSupport.h"

using namespace kestrum;
using namespace kestrum::testing;

namespace {

class QueryAndIo : public ::testing::Test {
 protected:
  void TearDown() override { sim_.Stop(); }
  TempDir dir_;
  SimProcess sim_;
};

TEST_F(QueryAndIo, QueryWithEachLoginAndAWrongPassword) {
  for (const std::string auth : {"none", "basic", "digest"}) {
    SimProcess sim;
    ASSERT_TRUE(sim.Start({"--auth", auth, "--user", "op", "--password", "pw", "--inputs", "3"}, dir_.File("sim.log")));
    const std::string log = dir_.File("query-" + auth + ".log");
    ASSERT_EQ(0, RunCaptureHost({"query", "--address", "127.0.0.1", "--port", std::to_string(sim.httpPort), "--user",
                                 "op", "--password", "pw", "--json"},
                                log))
        << ReadText(log);
    const nlohmann::json result = nlohmann::json::parse(ReadText(log));
    EXPECT_EQ("Quellon QN 4000", result["model"]);
    EXPECT_EQ("2.4.1", result["firmware"]);
    EXPECT_EQ(sim.rtspPort, result["rtsp_port"].get<int>());
    EXPECT_EQ(3, result["capabilities"]["2"].get<int>()) << "alarm inputs";
    EXPECT_EQ(4u, result["resolutions"].size());
    EXPECT_EQ("640x480;1280x720;1920x1080;320x240", result["record_options"][1]);
    sim.Stop();
  }
  for (const std::string auth : {"basic", "digest"}) {
    SimProcess refusing;
    ASSERT_TRUE(refusing.Start({"--auth", auth}, dir_.File("sim-" + auth + ".log")));
    const std::string log = dir_.File("wrong-" + auth + ".log");
    EXPECT_EQ(1, RunCaptureHost({"query", "--address", "127.0.0.1", "--port", std::to_string(refusing.httpPort),
                                 "--user", "admin", "--password", "nope"},
                                log))
        << auth << ": " << ReadText(log);
    EXPECT_NE(std::string::npos,
              ReadText(log).find("Failed to get camera properties, login failed (invalid credentials) (code 1)"))
        << auth << ": " << ReadText(log);
    refusing.Stop();
  }
}

TEST_F(QueryAndIo, InputsReachTheHostAndRelaysSwitchInOrder) {
  ASSERT_TRUE(sim_.Start({"--auth", "digest", "--inputs", "2", "--relays", "1"}, dir_.File("sim.log")));
  std::thread toggler([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    CurlGet(sim_.Url("/sim/input?n=1&state=1"));
  });
  const std::string log = dir_.File("io.log");
  const int status = RunCaptureHost({"io", "--address", "127.0.0.1", "--port", std::to_string(sim_.httpPort),
                                     "--user", "admin", "--password", "admin", "--inputs", "2", "--outputs", "1",
                                     "--set", "0=2", "--set", "0=1", "--set", "0=2", "--seconds", "5"},
                                    log);
  toggler.join();
  ASSERT_EQ(0, status) << ReadText(log);
  const std::string output = ReadText(log);
  EXPECT_NE(std::string::npos, output.find("input 0 -> state 2"));
  EXPECT_NE(std::string::npos, output.find("input 1 -> state 2"));
  EXPECT_NE(std::string::npos, output.find("input 0 -> state 1")) << "the toggled input";
  EXPECT_EQ(std::string::npos, output.find("failed")) << output;
  const nlohmann::json state = sim_.State();
  EXPECT_EQ((std::vector<int>{0, 1, 0, 1}), state["relay_history"].get<std::vector<int>>());
}

// A recorder whose environment names a proxy for its own internet traffic:
// the cameras on its network are still reached directly.
TEST_F(QueryAndIo, ProxyVariablesOfTheEnvironmentAreNotUsed) {
  ASSERT_TRUE(sim_.Start({"--auth", "digest", "--inputs", "1", "--relays", "1"}, dir_.File("sim.log")));
  // Port 1 of the loopback: nothing listens there, so a request sent to the
  // proxy fails at once.
  const std::string proxy = "http://127.0.0.1:1";
  const std::vector<std::string> environment = {"/usr/bin/env", "http_proxy=" + proxy, "HTTP_PROXY=" + proxy,
                                                "https_proxy=" + proxy, "HTTPS_PROXY=" + proxy,
                                                "ALL_PROXY=" + proxy, "all_proxy=" + proxy, "NO_PROXY=example.com",
                                                "no_proxy=example.com", CAPTURE_HOST_PATH};
  auto run = [&](const std::vector<std::string>& args, const std::string& log) {
    std::vector<std::string> all(environment.begin() + 1, environment.end());
    all.insert(all.end(), args.begin(), args.end());
    return RunCaptureHost(all, log, environment.front());
  };
  const std::string port = std::to_string(sim_.httpPort);
  const std::vector<std::string> login = {"--address", "127.0.0.1", "--port", port, "--user", "admin", "--password",
                                          "admin"};
  auto with = [&](std::vector<std::string> head, const std::vector<std::string>& tail) {
    head.insert(head.end(), login.begin(), login.end());
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
  };

  const std::string queryLog = dir_.File("query.log");
  ASSERT_EQ(0, run(with({"query"}, {"--json"}), queryLog)) << ReadText(queryLog);
  EXPECT_EQ("Quellon QN 4000", nlohmann::json::parse(ReadText(queryLog))["model"]);

  const std::string ioLog = dir_.File("io.log");
  ASSERT_EQ(0, run(with({"io"}, {"--inputs", "1", "--outputs", "1", "--set", "0=2", "--seconds", "3"}), ioLog))
      << ReadText(ioLog);
  EXPECT_NE(std::string::npos, ReadText(ioLog).find("input 0 -> state 2")) << ReadText(ioLog);
  const std::vector<int> relay = sim_.State()["relay_history"].get<std::vector<int>>();
  ASSERT_FALSE(relay.empty()) << "the relay was never switched";
  EXPECT_EQ(1, relay.back()) << "the relay switched on";

  const std::string recordLog = dir_.File("record.log");
  ASSERT_EQ(0, run(with({"record"}, {"--kind", "mjpeg", "--seconds", "3", "--fps", "10", "--width", "640",
                                     "--height", "480", "--resolutions", "640x480;1280x720", "--out",
                                     dir_.File("out")}),
                   recordLog))
      << ReadText(recordLog);
  EXPECT_GE(ReadLines(dir_.File("out/channel1.csv")).size(), 10u) << ReadText(recordLog);
  EXPECT_EQ(std::string::npos, ReadText(recordLog).find("Cannot send request")) << ReadText(recordLog);
}

TEST_F(QueryAndIo, ACameraThatGoesAwayAndComesBack) {
  ASSERT_TRUE(sim_.Start({"--inputs", "1", "--relays", "0"}, dir_.File("sim.log")));
  const int port = sim_.httpPort;
  const std::string log = dir_.File("io.log");
  platform::ChildProcess host;
  ASSERT_TRUE(host.Start({CAPTURE_HOST_PATH, "io", "--address", "127.0.0.1", "--port", std::to_string(port),
                          "--inputs", "1", "--outputs", "0", "--seconds", "12"},
                         log));
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  sim_.Stop();
  std::this_thread::sleep_for(std::chrono::milliseconds(4500));
  SimProcess again;
  ASSERT_TRUE(again.Start({"--http-port", std::to_string(port), "--inputs", "1", "--relays", "0"},
                          dir_.File("sim-again.log")));
  EXPECT_EQ(0, host.Wait(30000));
  again.Stop();
  const std::string output = ReadText(log);
  size_t failures = 0;
  for (size_t at = output.find("GetInputStates() method failed!"); at != std::string::npos;
       at = output.find("GetInputStates() method failed!", at + 1)) {
    ++failures;
  }
  EXPECT_EQ(1u, failures) << output;
  EXPECT_NE(std::string::npos, output.find("I/O states reset"));
  // Recovery: after the resets, the input is reported again.
  EXPECT_NE(output.rfind("input 0 -> state 2"), output.find("input 0 -> state 2")) << output;
}

}  // namespace
