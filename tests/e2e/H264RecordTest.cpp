// H.264 over RTSP from camera-sim to files through capture-host and the
// driver library, in each transport mode, checked by an independent decoder.
#include <filesystem>
#include <set>

#include "tests/e2e/E2eSupport.h"

using namespace kestrum;
using namespace kestrum::testing;

namespace {

struct Frame {
  std::string code;
  uint32_t width = 0;
  uint32_t height = 0;
};

std::vector<Frame> ReadIndex(const std::string& path) {
  std::vector<Frame> frames;
  const std::vector<std::string> lines = ReadLines(path);
  for (size_t i = 1; i < lines.size(); ++i) {
    char code[8] = {0};
    Frame frame;
    unsigned long number = 0;
    unsigned long bytes = 0;
    char time[64] = {0};
    if (std::sscanf(lines[i].c_str(), "%lu,%63[^,],%lu,%7[^,],%u,%u", &number, time, &bytes, code, &frame.width,
                    &frame.height) == 6) {
      frame.code = code;
      frames.push_back(frame);
    }
  }
  return frames;
}

class H264Recording : public ::testing::Test {
 protected:
  void StartSim(const std::vector<std::string>& options = {}) {
    ASSERT_TRUE(sim_.Start(options, dir_.File("sim.log"))) << ReadText(dir_.File("sim.log"));
  }
  void TearDown() override { sim_.Stop(); }

  // capture-host copied beside its own configuration file (the driver reads
  // it from the host program's directory), so tests do not share one.
  std::string HostWithMode(const std::string& mode) {
    const std::string program = dir_.File("capture-host");
    std::filesystem::copy_file(CAPTURE_HOST_PATH, program, std::filesystem::copy_options::overwrite_existing);
    std::ofstream(dir_.File("QuellonIPCapture.xml"))
        << "<Configuration><Device><RTPMode>" << mode << "</RTPMode></Device></Configuration>";
    return program;
  }
  std::vector<std::string> Record(const std::vector<std::string>& extra) {
    std::vector<std::string> args = {"record", "--library", QUELLON_LIBRARY_PATH, "--address", "127.0.0.1",
                                     "--port", std::to_string(sim_.httpPort), "--rtsp-port",
                                     std::to_string(sim_.rtspPort), "--kind", "h264", "--out", dir_.File("out"),
                                     "--resolutions", "640x480;1280x720;1920x1080;320x240"};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  }
  // Records; the index of channel 1.
  std::vector<Frame> RecordWith(const std::string& mode, const std::vector<std::string>& extra) {
    std::filesystem::remove_all(dir_.File("out"));
    const int status = RunCaptureHost(Record(extra), dir_.File("host.log"), HostWithMode(mode));
    EXPECT_EQ(0, status) << ReadText(dir_.File("host.log"));
    return ReadIndex(dir_.File("out/channel1.csv"));
  }
  void ExpectDecodable(const std::string& size, size_t pictures) {
    if (!HaveFfmpeg()) return;
    EXPECT_EQ("h264," + size + "," + std::to_string(pictures),
              Probe(dir_.File("out/channel1.h264"), "h264", dir_.File("probe.log")));
    EXPECT_EQ("", DecodeErrors(dir_.File("out/channel1.h264"), "h264", dir_.File("decode.log")));
  }
  nlohmann::json Sessions() { return sim_.State()["rtsp_sessions"]; }

  TempDir dir_;
  SimProcess sim_;
};

TEST_F(H264Recording, EachTransportModeWithEachAuthentication) {
  const struct {
    const char* mode;
    const char* auth;
    const char* transport;
  } cases[] = {{"rtpoverudp", "none", "udp"},
               {"rtpovertcp", "basic", "interleaved"},
               {"rtpoverrtsp", "digest", "interleaved"},
               {"rtpoverudp", "digest", "udp"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.mode) + " with " + c.auth);
    sim_.Stop();
    StartSim({"--auth", c.auth, "--password", "pw"});
    const std::vector<Frame> frames = RecordWith(
        c.mode, {"--seconds", "6", "--fps", "25", "--quality", "60", "--width", "1280", "--height", "720", "--user",
                 "admin", "--password", "pw"});
    // Over UDP the port check takes 2 s and the camera re-encodes for the new
    // settings (slow under the sanitizers): the count of what was sent below
    // is the real check.
    ASSERT_GE(frames.size(), 25u) << ReadText(dir_.File("host.log"));
    EXPECT_EQ("H264", frames[0].code);
    for (const Frame& frame : frames) {
      EXPECT_EQ(1280u, frame.width);
      EXPECT_EQ(720u, frame.height);
    }
    ExpectDecodable("1280,720", frames.size());
    std::vector<std::string> changes;
    for (const std::string& path : sim_.RequestPaths()) {
      if (path.compare(0, 17, "/admin.cgi?image&") == 0 && path != "/admin.cgi?image&_") changes.push_back(path);
    }
    // 25 pictures/s at 60 % on a fresh camera (25, 25, 0, 22, index 0):
    // the size and the key-frame distance differ. (A 401 before it would be
    // logged too: the change itself is sent once.)
    ASSERT_FALSE(changes.empty());
    EXPECT_EQ("/admin.cgi?image&resolution=1&h264_keyframe=24", changes.back());
    // The camera records the TEARDOWN on a thread of its own.
    WaitUntil([&] { return Sessions().size() == 1 && Sessions()[0]["state"] == "torn down"; }, 5000);
    const nlohmann::json sessions = Sessions();
    ASSERT_EQ(1u, sessions.size()) << sessions.dump();
    EXPECT_EQ(c.transport, sessions[0]["transport"]);
    EXPECT_EQ("torn down", sessions[0]["state"]);
    // Every access unit the session sent was recorded (the session starts
    // with a key picture); one may still have been on its way at the end.
    const size_t sent = sessions[0]["pictures_sent"].get<size_t>();
    EXPECT_LE(frames.size(), sent);
    EXPECT_GE(frames.size() + 1, sent);
  }
}

TEST_F(H264Recording, SurvivesCameraQuirks) {
  StartSim();
  for (const char* fault : {"no_inband_sets", "long_describe", "sei_aud", "stap_a", "malformed"}) {
    ASSERT_TRUE(sim_.Fault(fault, 1));
  }
  const std::vector<Frame> frames =
      RecordWith("rtpoverudp", {"--seconds", "8", "--fps", "25", "--width", "640", "--height", "480"});
  // The malformed packets come before key frames and cost nothing else:
  // the recording runs from its first key frame on (2 to 4 s of 8 go to the
  // port probe and the session set-up, the more under the sanitizers).
  EXPECT_GE(frames.size(), 40u) << ReadText(dir_.File("host.log"));
  ASSERT_FALSE(frames.empty());
  EXPECT_EQ("H264", frames[0].code) << "key frames from the session description's parameter sets";
  ExpectDecodable("640,480", frames.size());
}

TEST_F(H264Recording, PacketLossAndReorderingCostOnlyTheirGroupOfPictures) {
  StartSim();
  // About 250 packets in all: at 3% a loss is as good as certain, and
  // most groups of pictures still come through whole.
  ASSERT_TRUE(sim_.Fault("udp_loss", 3));
  ASSERT_TRUE(sim_.Fault("udp_reorder", 1));
  // 10 pictures/s with a key frame every 9: short groups, as a gap drops the
  // rest of its group.
  const std::vector<Frame> frames =
      RecordWith("rtpoverudp", {"--seconds", "14", "--fps", "10", "--width", "320", "--height", "240"});
  EXPECT_GE(frames.size(), 10u) << ReadText(dir_.File("host.log"));
  size_t keys = 0;
  for (const Frame& frame : frames) keys += frame.code == "H264";
  EXPECT_GE(keys, 3u) << "recording resumes at every key frame";
  ExpectDecodable("320,240", frames.size());
  EXPECT_GT(Sessions()[0]["packets_lost"].get<int>(), 0);
}

TEST_F(H264Recording, WithoutAnRtspPortTheCameraIsAskedFirst) {
  StartSim({"--auth", "digest", "--password", "pw"});
  ASSERT_NE(554, sim_.rtspPort);
  const std::vector<std::string> args = {"record", "--library", QUELLON_LIBRARY_PATH, "--address", "127.0.0.1",
                                         "--port", std::to_string(sim_.httpPort), "--kind", "h264", "--user", "admin",
                                         "--password", "pw", "--seconds", "5", "--fps", "10", "--width", "320",
                                         "--height", "240", "--out", dir_.File("out")};
  ASSERT_EQ(0, RunCaptureHost(args, dir_.File("host.log"), HostWithMode("rtpoverrtsp")))
      << ReadText(dir_.File("host.log"));
  const std::string log = ReadText(dir_.File("host.log"));
  EXPECT_NE(std::string::npos, log.find("asked 127.0.0.1:" + std::to_string(sim_.httpPort) + ": RTSP port " +
                                        std::to_string(sim_.rtspPort) + ", resolutions "))
      << log;
  EXPECT_GE(ReadIndex(dir_.File("out/channel1.csv")).size(), 10u);

  // A camera that does not answer the query: a warning, and 554.
  sim_.Stop();
  ASSERT_EQ(1, RunCaptureHost({"record", "--library", QUELLON_LIBRARY_PATH, "--address", "127.0.0.1", "--port",
                               std::to_string(sim_.httpPort), "--kind", "h264", "--seconds", "1", "--out",
                               dir_.File("out2")},
                              dir_.File("host2.log")));
  EXPECT_NE(std::string::npos, ReadText(dir_.File("host2.log"))
                                   .find("warning: 127.0.0.1:" + std::to_string(sim_.httpPort) +
                                         " did not answer the capability query"))
      << ReadText(dir_.File("host2.log"));
  EXPECT_NE(std::string::npos, ReadText(dir_.File("host2.log")).find("; RTSP port 554"));
}

TEST_F(H264Recording, InterleavedOnTheChannelsTheCameraNames) {
  // The camera answers interleaved=2-3 and sends RTP on 2, RTCP on 3.
  StartSim();
  ASSERT_TRUE(sim_.Fault("interleaved_base", 2));
  for (const char* mode : {"rtpovertcp", "rtpoverrtsp"}) {
    SCOPED_TRACE(mode);
    const std::vector<Frame> frames =
        RecordWith(mode, {"--seconds", "4", "--fps", "10", "--width", "320", "--height", "240"});
    EXPECT_GE(frames.size(), 20u) << ReadText(dir_.File("host.log"));
    ExpectDecodable("320,240", frames.size());
  }
}

// The camera as a standard server: RTP/AVP alone means UDP, Digest with qop,
// opaque and MD5 or SHA-256, header names in lower case without blanks.
TEST_F(H264Recording, AStrictServerWithEachDigestAlgorithmInEachMode) {
  StartSim({"--auth", "digest", "--password", "pw"});
  ASSERT_TRUE(sim_.Fault("strict", 1));
  ASSERT_TRUE(sim_.Fault("interleaved_base", 2));
  for (int sha256 : {0, 1}) {
    ASSERT_TRUE(sim_.Fault("digest_sha256", sha256));
    for (const char* mode : {"rtpoverudp", "rtpovertcp", "rtpoverrtsp"}) {
      SCOPED_TRACE(std::string(mode) + (sha256 ? " with SHA-256" : " with MD5"));
      const std::vector<Frame> frames = RecordWith(mode, {"--seconds", "4", "--fps", "10", "--width", "320",
                                                          "--height", "240", "--user", "admin", "--password", "pw"});
      EXPECT_GE(frames.size(), 15u) << ReadText(dir_.File("host.log"));
      ExpectDecodable("320,240", frames.size());
      const nlohmann::json session = Sessions().back();
      ASSERT_FALSE(session["requests"].empty());
      const std::string authorization = session["requests"][0]["authorization"];
      EXPECT_NE(std::string::npos, authorization.find("qop=auth, nc=")) << authorization;
      EXPECT_NE(std::string::npos, authorization.find(sha256 ? "algorithm=SHA-256" : "algorithm=MD5")) << authorization;
      EXPECT_NE(std::string::npos, authorization.find("opaque=\"")) << authorization;
    }
  }
}

TEST_F(H264Recording, AStaleNonceIsRenewedWithoutLosingTheSession) {
  StartSim({"--auth", "digest", "--password", "pw", "--rtsp-timeout", "4"});
  ASSERT_TRUE(sim_.Fault("strict", 1));
  std::thread expire([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(4000));
    sim_.Fault("expire_nonces", 1);
  });
  // Keep-alives every 2 s: the first after the expiry meets stale=TRUE. (Over
  // UDP, where the client reads the keep-alive's answer; interleaved, the
  // answer passes among the frames unread.)
  const std::vector<Frame> frames = RecordWith("rtpoverudp", {"--seconds", "10", "--fps", "10", "--width", "320",
                                                              "--height", "240", "--user", "admin", "--password", "pw"});
  expire.join();
  EXPECT_GE(frames.size(), 50u) << ReadText(dir_.File("host.log"));
  const nlohmann::json sessions = Sessions();
  ASSERT_EQ(1u, sessions.size()) << "the same session throughout: " << sessions.dump();
  std::set<std::string> nonces;
  for (const auto& request : sessions[0]["requests"]) {
    const std::string authorization = request["authorization"];
    const size_t at = authorization.find("nonce=\"");
    if (at != std::string::npos) nonces.insert(authorization.substr(at + 7, authorization.find('"', at + 7) - at - 7));
  }
  EXPECT_GE(nonces.size(), 2u) << "a new nonce after the stale one: " << sessions[0].dump();
  // Each refusal (the first DESCRIBE's challenge, then the stale nonce) is
  // answered at once by the same request, accepted, not by the next one.
  std::vector<nlohmann::json> rtsp;
  const nlohmann::json state = sim_.State();  // kept: the loop must not range over a temporary's member
  for (const auto& request : state["requests"]) {
    if (request["protocol"] == "rtsp") rtsp.push_back(request);
  }
  size_t refusals = 0;
  for (size_t i = 0; i + 1 < rtsp.size(); ++i) {
    if (rtsp[i]["authorized"].get<bool>()) continue;
    ++refusals;
    EXPECT_EQ(rtsp[i]["method"], rtsp[i + 1]["method"]);
    EXPECT_TRUE(rtsp[i + 1]["authorized"].get<bool>());
    EXPECT_LT(rtsp[i + 1]["time_ms"].get<int64_t>() - rtsp[i]["time_ms"].get<int64_t>(), 1000);
  }
  EXPECT_EQ(2u, refusals) << state["requests"].dump();
  EXPECT_EQ(std::string::npos, ReadText(dir_.File("host.log")).find("Signal was lost"));
}

TEST_F(H264Recording, ReorderedPacketsCostNoPicture) {
  // Packets swapped with their neighbour, none lost: the driver puts them
  // back in order, so nearly every picture the camera sent is recorded.
  for (const auto& c : {std::make_pair(1, 0.99), std::make_pair(5, 0.97)}) {
    SCOPED_TRACE("udp_reorder " + std::to_string(c.first));
    sim_.Stop();
    StartSim();
    ASSERT_TRUE(sim_.Fault("udp_reorder", c.first));
    const std::vector<Frame> frames =
        RecordWith("rtpoverudp", {"--seconds", "10", "--fps", "25", "--width", "1280", "--height", "720"});
    const nlohmann::json sessions = Sessions();
    ASSERT_EQ(1u, sessions.size()) << "no signal loss, no new session: " << sessions.dump();
    const size_t sent = sessions[0]["pictures_sent"].get<size_t>();
    ASSERT_GE(sent, 100u);
    RecordProperty("recorded_of_sent_at_" + std::to_string(c.first), std::to_string(frames.size()) + "/" +
                                                                           std::to_string(sent));
    EXPECT_LE(frames.size(), sent);
    EXPECT_GE(static_cast<double>(frames.size()), c.second * static_cast<double>(sent))
        << frames.size() << " of " << sent << " pictures recorded";
    ExpectDecodable("1280,720", frames.size());
  }
}

TEST_F(H264Recording, RecoversFromAStallAndADroppedConnection) {
  StartSim();
  std::thread faults([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(4000));
    sim_.Fault("stall", 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(2000));
    sim_.Fault("stall", 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(2000));
    sim_.Fault("drop", 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    sim_.Fault("drop", 0);
  });
  const std::vector<Frame> frames =
      RecordWith("rtpoverrtsp", {"--seconds", "20", "--fps", "25", "--width", "640", "--height", "480"});
  faults.join();
  const nlohmann::json sessions = Sessions();
  EXPECT_GE(sessions.size(), 2u) << "a new session after the connection was dropped";
  // Streaming before the stall, after it, and again after the drop
  // (reopened at half the 15 s stream time-out).
  EXPECT_GE(sessions.back()["packets_sent"].get<int>(), 50) << sessions.dump();
  // 20 s less the start, the stall, the wait for a key frame after it, and
  // the silence before reopening.
  EXPECT_GE(frames.size(), 150u);
  ExpectDecodable("640,480", frames.size());
}

TEST_F(H264Recording, AShortSessionTimeoutIsKeptAliveWithoutReconnecting) {
  StartSim({"--rtsp-timeout", "6"});
  const std::vector<Frame> frames =
      RecordWith("rtpoverudp", {"--seconds", "30", "--fps", "10", "--width", "320", "--height", "240"});
  EXPECT_GE(frames.size(), 250u);
  WaitUntil([&] { return !Sessions().empty() && Sessions().back()["state"] == "torn down"; }, 5000);
  const nlohmann::json sessions = Sessions();
  ASSERT_EQ(1u, sessions.size()) << "no reconnect: " << sessions.dump();
  // Every 3 s (half the time-out) for about 28 s.
  EXPECT_GE(sessions[0]["keep_alives"].get<int>(), 8);
  EXPECT_LE(sessions[0]["keep_alives"].get<int>(), 12);
  EXPECT_EQ("torn down", sessions[0]["state"]);
  const std::string host = ReadText(dir_.File("host.log"));
  EXPECT_EQ(std::string::npos, host.find("Signal was lost"));
}

}  // namespace

TEST_F(H264Recording, SeveralCamerasInOneRunPairTheirRtspPorts) {
  StartSim({"--cameras", "2"});
  const std::string ports = std::to_string(sim_.httpPort) + "-" + std::to_string(sim_.httpPort + 1);
  const std::string rtspPorts = std::to_string(sim_.rtspPort) + "," + std::to_string(sim_.rtspPort + 1);
  std::vector<std::string> args = {"record", "--library", QUELLON_LIBRARY_PATH, "--address", "127.0.0.1", "--port",
                                   ports, "--rtsp-port", rtspPorts, "--kind", "h264", "--out", dir_.File("out"),
                                   "--seconds", "6", "--fps", "25", "--width", "640", "--height", "480",
                                   "--resolutions", "640x480;1280x720"};
  // Of the 6 s, the UDP port probe takes 2 and the first key frame up to 1
  // more: in 4 s, a sanitizer build on a busy machine recorded 19 to 28.
  ASSERT_EQ(0, RunCaptureHost(args, dir_.File("host.log"), HostWithMode("rtpoverudp")))
      << ReadText(dir_.File("host.log"));
  for (int camera = 0; camera < 2; ++camera) {
    const std::string dir = dir_.File("out/port" + std::to_string(sim_.httpPort + camera));
    SCOPED_TRACE(dir);
    const std::vector<Frame> frames = ReadIndex(dir + "/channel1.csv");
    ASSERT_GE(frames.size(), 30u) << ReadText(dir_.File("host.log"));
    EXPECT_EQ(640u, frames.back().width);
    if (HaveFfmpeg()) {
      EXPECT_EQ("h264,640,480," + std::to_string(frames.size()),
                Probe(dir + "/channel1.h264", "h264", dir_.File("probe.log")));
    }
  }
  // Each camera's session came from its own RTSP port: camera 1 saw exactly one.
  EXPECT_EQ(1u, Sessions().size()) << Sessions().dump();

  // A count of RTSP ports that matches neither one nor the cameras is refused.
  args[8] = std::to_string(sim_.rtspPort) + "," + std::to_string(sim_.rtspPort + 1) + ",9";
  EXPECT_EQ(2, RunCaptureHost(args, dir_.File("bad.log"), HostWithMode("rtpoverudp")));
  EXPECT_NE(std::string::npos, ReadText(dir_.File("bad.log")).find("--rtsp-port names 3 ports for 2 cameras"));
}
