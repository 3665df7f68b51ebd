#include <filesystem>
#include <map>
#include <set>
#include <thread>

#include "platform/Process.h"
#include "platform/UdpSocket.h"
#include "rtsp/RTPPacket.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestUtil.h"
#include "tests/tools/camera-sim/RtspTestClient.h"
#include "tests/tools/camera-sim/SimFixture.h"

namespace kestrum {
namespace testing {
namespace {

class RtspSim : public SimFixture {
 protected:
  std::string RtspUrl(const std::string& credentials = "") const {
    return "rtsp://" + credentials + "127.0.0.1:" + std::to_string(sim_->RtspPort(0)) + "/nph-h264.cgi";
  }
  // Runs an ffmpeg tool; its output (stdout and stderr) in log.
  int Run(const std::vector<std::string>& args, std::string& log) {
    platform::ChildProcess process;
    const std::string file = dir_.File("tool.log");
    if (!process.Start(args, file)) return -1;
    const int code = process.Wait(60000);
    log = ReadText(file);
    return code;
  }
  static bool HaveFfmpeg() {
    return std::filesystem::exists("/usr/bin/ffmpeg") && std::filesystem::exists("/usr/bin/ffprobe");
  }
  // The session records of the state, by their order of creation.
  nlohmann::json Sessions() { return State()["rtsp_sessions"]; }

  TempDir dir_;
};

TEST_F(RtspSim, AnIndependentClientDecodesUdpAndInterleavedAtTwoResolutions) {
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed (Debian package ffmpeg)";
  StartSim(sim::SimOptions());
  const std::pair<int, std::string> sizes[] = {{0, "h264,640,480"}, {1, "h264,1280,720"}};
  for (const auto& [resolution, expected] : sizes) {
    ASSERT_EQ(200, Get("/admin.cgi?image&resolution=" + std::to_string(resolution)).status);
    for (const char* transport : {"udp", "tcp"}) {
      std::string log;
      EXPECT_EQ(0, Run({"/usr/bin/ffprobe", "-v", "error", "-rtsp_transport", transport, "-select_streams", "v:0",
                        "-show_entries", "stream=codec_name,width,height", "-of", "csv=p=0", RtspUrl()},
                       log));
      EXPECT_EQ(expected + "\n", log) << transport;
      EXPECT_EQ(0, Run({"/usr/bin/ffmpeg", "-nostdin", "-v", "error", "-rtsp_transport", transport, "-i", RtspUrl(),
                        "-frames:v", "60", "-f", "null", "-"},
                       log));
      EXPECT_EQ("", log) << "no decoding error over " << transport;
    }
  }
  std::set<std::string> transports;
  for (const auto& session : Sessions()) {
    transports.insert(session["transport"].get<std::string>());
    EXPECT_EQ("torn down", session["state"]) << session.dump();
    EXPECT_GT(session["packets_sent"].get<int>(), 0);
  }
  EXPECT_EQ((std::set<std::string>{"udp", "interleaved"}), transports);
}

TEST_F(RtspSim, CredentialsAreRequiredAsOnTheHttpSide) {
  if (!HaveFfmpeg()) GTEST_SKIP() << "ffmpeg is not installed (Debian package ffmpeg)";
  for (sim::AuthMode mode : {sim::AuthMode::Basic, sim::AuthMode::Digest}) {
    sim::SimOptions options;
    options.auth.mode = mode;
    options.auth.password = "s3cret";
    StartSim(options);
    std::string log;
    EXPECT_EQ(0, Run({"/usr/bin/ffmpeg", "-nostdin", "-v", "error", "-rtsp_transport", "tcp", "-i",
                      RtspUrl("admin:s3cret@"), "-frames:v", "10", "-f", "null", "-"},
                     log));
    EXPECT_EQ("", log);
    EXPECT_NE(0, Run({"/usr/bin/ffmpeg", "-nostdin", "-v", "error", "-rtsp_transport", "tcp", "-i",
                      RtspUrl("admin:wrong@"), "-frames:v", "10", "-f", "null", "-"},
                     log));
    EXPECT_NE(std::string::npos, log.find("401")) << log;
    std::set<std::string> schemes;
    const nlohmann::json state = State();
    for (const auto& request : state["requests"]) {
      if (request["protocol"] == "rtsp" && request["authorized"].get<bool>()) schemes.insert(request["auth"]);
    }
    EXPECT_EQ((std::set<std::string>{mode == sim::AuthMode::Basic ? "basic" : "digest"}), schemes);
    sim_->Stop();
  }
}

TEST_F(RtspSim, ASessionThatIsNotKeptAliveIsTornDown) {
  sim::SimOptions options;
  options.rtspTimeout = 2;
  StartSim(options);
  platform::UdpSocket media;
  ASSERT_TRUE(media.Bind(0, 0));
  const std::string ports = std::to_string(media.LocalPort()) + "-" + std::to_string(media.LocalPort() + 1);

  RtspTestClient kept;
  RtspTestClient forgotten;
  std::string keptId;
  for (RtspTestClient* client : {&kept, &forgotten}) {
    ASSERT_TRUE(client->Connect(sim_->RtspPort(0)));
    const bool udp = client == &forgotten;
    const std::string setup = client->Request(
        "SETUP", RtspUrl() + "/trackID=1",
        udp ? "Transport: RTP/AVP;unicast;client_port=" + ports + "\r\n" : "Transport: RTP/AVP/TCP;unicast\r\n");
    ASSERT_EQ(0u, setup.find("RTSP/1.0 200 OK\r\n")) << setup;
    const std::string session = RtspTestClient::Value(setup, "Session");
    EXPECT_NE(std::string::npos, session.find(";timeout=2")) << session;
    const std::string id = session.substr(0, session.find(';'));
    if (!udp) keptId = id;
    ASSERT_EQ(0u, client->Request("PLAY", RtspUrl(), "Session: " + id + "\r\n").find("RTSP/1.0 200 OK"));
  }
  // One client asks every second, the other never again.
  for (int i = 0; i < 5; ++i) {
    kept.Send("OPTIONS " + RtspUrl() + " RTSP/1.0\r\nCSeq: " + std::to_string(10 + i) + "\r\nSession: " + keptId +
              "\r\n\r\n");
    ASSERT_TRUE(kept.Collect(1000));
  }
  const auto sessions = Sessions();
  ASSERT_EQ(2u, sessions.size());
  EXPECT_EQ("playing", sessions[0]["state"]) << sessions[0].dump();
  EXPECT_GE(sessions[0]["keep_alives"].get<int>(), 4);
  EXPECT_EQ("timed out", sessions[1]["state"]) << sessions[1].dump();
  EXPECT_EQ("udp", sessions[1]["transport"]);
  // After the time-out nothing more arrives on the client's port.
  uint8_t buffer[2048];
  size_t received = 0;
  platform::Ipv4Endpoint from;
  bool truncated = false;
  size_t early = 0;
  while (media.ReceiveFrom(buffer, sizeof buffer, received, from, truncated) == platform::IoStatus::Ok) ++early;
  EXPECT_GT(early, 10u) << "media flowed while the session lived";
  EXPECT_EQ(platform::WaitResult::Timeout, media.WaitReadable(500, nullptr));
}

TEST_F(RtspSim, ResponsesEchoCSeqAndFaultsChangeThem) {
  StartSim(sim::SimOptions());
  RtspTestClient client;
  ASSERT_TRUE(client.Connect(sim_->RtspPort(0)));
  std::string reply = client.Request("OPTIONS", RtspUrl());
  EXPECT_EQ("1", RtspTestClient::Value(reply, "CSeq"));
  EXPECT_NE(std::string::npos, reply.find("DESCRIBE")) << reply;

  reply = client.Request("DESCRIBE", RtspUrl(), "Accept: application/sdp\r\n");
  EXPECT_EQ("application/sdp", RtspTestClient::Value(reply, "Content-Type"));
  EXPECT_EQ("", RtspTestClient::Value(reply, "Content-Base")) << "absent by default";
  for (const char* line : {"m=video 0 RTP/AVP 96\r\n", "a=rtpmap:96 H264/90000\r\n", "packetization-mode=1",
                           "profile-level-id=", "sprop-parameter-sets=", "a=control:trackID=1\r\n"}) {
    EXPECT_NE(std::string::npos, reply.find(line)) << line;
  }
  EXPECT_LT(reply.find("\r\n\r\n"), 1024u);

  Fault("cseq_offset", 5);
  Fault("content_base", 1);
  Fault("long_describe", 1);
  reply = client.Request("DESCRIBE", RtspUrl());
  EXPECT_EQ("8", RtspTestClient::Value(reply, "CSeq"));
  EXPECT_EQ(RtspUrl() + "/", RtspTestClient::Value(reply, "Content-Base"));
  EXPECT_GT(reply.find("\r\n\r\n"), 1024u);

  Fault("rtsp_401", 1);
  EXPECT_EQ(0u, client.Request("OPTIONS", RtspUrl()).find("RTSP/1.0 401 Unauthorized\r\n"));
  Fault("rtsp_401", 0);
  EXPECT_EQ(0u, client.Request("DESCRIBE", "rtsp://127.0.0.1/elsewhere.sdp").find("RTSP/1.0 404"));
  EXPECT_EQ(0u, client.Request("PLAY", RtspUrl(), "Session: 1234\r\n").find("RTSP/1.0 454"));
  EXPECT_EQ(0u, client.Request("RECORD", RtspUrl()).find("RTSP/1.0 501"));

  Fault("drop", 1);
  EXPECT_EQ("", client.Request("OPTIONS", RtspUrl(), "", 3000)) << "the connection is dropped";
}

// The H.264 NAL unit types in one RTP payload (RFC 6184): the unit itself,
// the fragmented unit's type (as "FU-A n" on its first fragment), or each
// aggregated unit.
std::vector<int> NalTypes(const std::vector<uint8_t>& payload) {
  if (payload.empty()) return {};
  const int type = payload[0] & 0x1F;
  if (type == 28) return {payload.size() > 1 && (payload[1] & 0x80) ? 100 + (payload[1] & 0x1F) : 28};
  if (type != 24) return {type};
  std::vector<int> types = {24};
  for (size_t at = 1; at + 2 < payload.size();) {
    const size_t size = static_cast<size_t>(payload[at] << 8 | payload[at + 1]);
    types.push_back(payload[at + 2] & 0x1F);
    at += 2 + size;
  }
  return types;
}

struct Capture {
  std::vector<CRTPPacket> packets;
  std::multiset<int> types;  // NAL unit types; 100 + n: first fragment of a type-n unit
  size_t rtcp = 0;
};

Capture CaptureInterleaved(uint16_t port, const std::string& url, uint32_t ms) {
  Capture capture;
  RtspTestClient client;
  if (!client.Connect(port)) return capture;
  // The first SETUP of a picture size encodes its loop before it answers:
  // tens of seconds in a sanitizer build beside other work, more than a
  // request's usual wait.
  const std::string setup =
      client.Request("SETUP", url + "/trackID=1", "Transport: RTP/AVP/TCP;unicast\r\n", 120000);
  const std::string session = RtspTestClient::Value(setup, "Session");
  client.Request("PLAY", url, "Session: " + session.substr(0, session.find(';')) + "\r\n");
  client.Collect(ms);
  for (const InterleavedFrame& frame : client.Frames()) {
    if (frame.channel == 1) {
      ++capture.rtcp;
      continue;
    }
    CRTPPacket packet;
    if (!packet.Parse(frame.data.data(), frame.data.size())) continue;
    for (int type : NalTypes(packet.Payload)) capture.types.insert(type);
    capture.packets.push_back(packet);
  }
  return capture;
}

TEST_F(RtspSim, PacketsFollowTheH264PayloadFormat) {
  StartSim(sim::SimOptions());
  ASSERT_EQ(200, Get("/admin.cgi?image&resolution=1&h264_framerate=25&h264_keyframe=25").status);
  const Capture capture = CaptureInterleaved(sim_->RtspPort(0), RtspUrl(), 2500);
  ASSERT_GT(capture.packets.size(), 50u);
  EXPECT_GE(capture.types.count(7), 1u) << "SPS in band";
  EXPECT_GE(capture.types.count(8), 1u) << "PPS in band";
  EXPECT_GE(capture.types.count(105), 1u) << "IDR pictures as FU-A fragments";
  EXPECT_EQ(0u, capture.types.count(24)) << "no STAP-A unless asked";
  EXPECT_GE(capture.rtcp, 1u) << "a sender report within the first seconds";
  // Per access unit one timestamp, 3600 ticks apart at 25 pictures/s, the
  // marker on its last packet; sequence numbers without gaps.
  std::map<uint32_t, int> markers;
  for (size_t i = 0; i < capture.packets.size(); ++i) {
    const CRTPPacket& p = capture.packets[i];
    EXPECT_EQ(96, p.PayloadType);
    EXPECT_LE(p.Payload.size(), 1400u);
    markers[p.Timestamp] += p.Marker;
    if (i == 0) continue;
    const CRTPPacket& previous = capture.packets[i - 1];
    EXPECT_EQ(static_cast<uint16_t>(previous.SequenceNumber + 1), p.SequenceNumber);
    if (p.Timestamp != previous.Timestamp) {
      EXPECT_EQ(1, previous.Marker) << "a new picture begins after a marked packet";
      EXPECT_EQ(3600u, p.Timestamp - previous.Timestamp);
    }
  }
  for (const auto& entry : markers) EXPECT_LE(entry.second, 1);
}

TEST_F(RtspSim, PayloadVariantsAndMalformedPackets) {
  StartSim(sim::SimOptions());
  Fault("no_inband_sets", 1);
  Capture capture = CaptureInterleaved(sim_->RtspPort(0), RtspUrl(), 1200);
  EXPECT_EQ(0u, capture.types.count(7) + capture.types.count(8));
  EXPECT_GE(capture.types.count(105), 1u);

  Fault("no_inband_sets", 0);
  Fault("stap_a", 1);
  Fault("sei_aud", 1);
  Fault("malformed", 1);
  capture = CaptureInterleaved(sim_->RtspPort(0), RtspUrl(), 1500);
  EXPECT_GE(capture.types.count(24), 1u) << "SPS and PPS aggregated";
  EXPECT_GE(capture.types.count(9), 20u) << "a delimiter per picture";
  EXPECT_GE(capture.types.count(6), 20u) << "an SEI per picture";
  size_t emptyFragments = 0;
  for (const CRTPPacket& p : capture.packets) emptyFragments += p.Payload.size() == 2 && (p.Payload[0] & 0x1F) == 28;
  EXPECT_GE(emptyFragments, 1u);
}

TEST_F(RtspSim, UdpLossAndTheClientsReportsAreCounted) {
  StartSim(sim::SimOptions());
  Fault("udp_loss", 30);
  platform::UdpSocket rtp;
  platform::UdpSocket rtcp;
  ASSERT_TRUE(rtp.Bind(0, 0));
  ASSERT_TRUE(rtcp.Bind(0, 0));
  RtspTestClient client;
  ASSERT_TRUE(client.Connect(sim_->RtspPort(0)));
  const std::string setup =
      client.Request("SETUP", RtspUrl() + "/trackID=1",
                     "Transport: RTP/AVP;unicast;client_port=" + std::to_string(rtp.LocalPort()) + "-" +
                         std::to_string(rtcp.LocalPort()) + "\r\n");
  const std::string transport = RtspTestClient::Value(setup, "Transport");
  const size_t serverPorts = transport.find("server_port=");
  ASSERT_NE(std::string::npos, serverPorts) << transport;
  const uint16_t serverRtcp =
      static_cast<uint16_t>(ReadNumber(transport.substr(transport.find('-', serverPorts) + 1)));
  const std::string id = RtspTestClient::Value(setup, "Session").substr(0, 8);
  client.Request("PLAY", RtspUrl(), "Session: " + id + "\r\n");
  ASSERT_EQ(platform::WaitResult::Ready, rtcp.WaitReadable(3000, nullptr)) << "a sender report";
  // A receiver report, then RR and BYE in one compound packet.
  const std::vector<uint8_t> rr = {0x80, 201, 0, 1, 1, 2, 3, 4};
  std::vector<uint8_t> compound = rr;
  compound.insert(compound.end(), {0x81, 203, 0, 1, 1, 2, 3, 4});
  ASSERT_TRUE(rtcp.SendTo({platform::LoopbackAddress(), serverRtcp}, rr.data(), rr.size()));
  ASSERT_TRUE(rtcp.SendTo({platform::LoopbackAddress(), serverRtcp}, compound.data(), compound.size()));
  ASSERT_TRUE(WaitUntil([&] { return Sessions()[0]["byes"].get<int>() == 1; }));
  const auto session = Sessions()[0];
  EXPECT_EQ(2, session["receiver_reports"].get<int>());
  EXPECT_GT(session["packets_lost"].get<int>(), 0);
  EXPECT_EQ(std::vector<int>({rtp.LocalPort(), rtcp.LocalPort()}), session["client_ports"].get<std::vector<int>>());
  std::vector<std::string> methods;
  for (const auto& request : session["requests"]) methods.push_back(request["method"]);
  EXPECT_EQ((std::vector<std::string>{"SETUP", "PLAY"}), methods);
}

}  // namespace
}  // namespace testing
}  // namespace kestrum
