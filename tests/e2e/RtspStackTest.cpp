// The RTSP/RTP stack against camera-sim: the client, the RTP receiver and
// the RTCP handler wired as a channel wires them.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#include "platform/Socket.h"
#include "platform/UdpSocket.h"
#include "rtsp/BaseRTSPClient.h"
#include "rtsp/RTCPHandler.h"
#include "rtsp/RTPPacket.h"
#include "rtsp/RTPReceiver.h"
#include "tests/e2e/E2eSupport.h"
#include "tests/rtsp/RtpTestSupport.h"

namespace kestrum {
namespace testing {
namespace {

class Owner : public IRTPReceiverUser {
 public:
  explicit Owner(CRTCPHandler* rtcp = nullptr) : rtcp_(rtcp) {}
  void OnPacket(CRTPPacket* packet) override { Count(*packet); }
  void OnPacketFrom(const SOCKET_ADDRESS_V4*, CRTPPacket* packet) override {
    if (rtcp_ != nullptr) rtcp_->RecordSequence(packet->SequenceNumber);
    Count(*packet);
  }
  void OnReceiveTimeout() override {}
  void OnTransportClosed() override {}
  void OnParameterSets(const std::vector<uint8_t>* sets) override {
    spsSize = sets[0].size();
    ppsSize = sets[1].size();
  }
  std::atomic<uint64_t> packets{0};
  std::atomic<uint64_t> h264{0};
  std::atomic<size_t> spsSize{0};
  std::atomic<size_t> ppsSize{0};

 private:
  void Count(const CRTPPacket& packet) {
    ++packets;
    if (packet.PayloadType == 96 && !packet.Payload.empty()) ++h264;
  }
  CRTCPHandler* rtcp_;
};

// An even UDP port whose next odd port is free too.
uint16_t FreePortPair() {
  for (int attempt = 0; attempt < 50; ++attempt) {
    platform::UdpSocket probe;
    probe.Bind(0, 0);
    const uint16_t port = static_cast<uint16_t>(probe.LocalPort() & ~1u);
    probe.Close();
    platform::UdpSocket rtp;
    platform::UdpSocket rtcp;
    if (rtp.Bind(port, 0) && rtcp.Bind(static_cast<uint16_t>(port + 1), 0)) return port;
  }
  return 0;
}

// One camera stream: client, and in mode 0 the receiver and RTCP handler.
struct Stream {
  explicit Stream(uint32_t streamMode) : mode(streamMode), owner(&rtcp) {}
  bool Start(int rtspPort, const std::string& user, const std::string& password) {
    RTSP_CLIENT_SETTINGS settings;
    settings.Host = "127.0.0.1";
    settings.ServerPort = static_cast<uint16_t>(rtspPort);
    settings.Path = "nph-h264.cgi";
    settings.UserName = user;
    settings.Password = password;
    if (mode == kRtpModeUdp) {
      const uint16_t port = FreePortPair();
      receiver.SetUser(&owner);
      if (port == 0 || !receiver.StartReceiving(0, port)) return false;
      if (!rtcp.StartReporting(platform::LoopbackAddress(), static_cast<uint16_t>(port + 1))) return false;
      settings.ClientRtpPort = port;
      settings.ClientRtcpPort = static_cast<uint16_t>(port + 1);
      // The channel's thread: reads both ports.
      pump = std::make_unique<TransportPump>(std::vector<CUDPClient*>{receiver.Transport(), rtcp.Transport()},
                                             [this](uint64_t now) {
                                               receiver.Receive(now);
                                               rtcp.Receive(now);
                                             });
    }
    return client.StartSession(settings, &owner, mode);
  }
  void Stop() {
    client.StopSession();
    pump.reset();
    rtcp.StopReporting();
    receiver.StopReceiving();
  }

  uint32_t mode;
  CRTCPHandler rtcp{nullptr};
  Owner owner;
  CRTPReceiver receiver{nullptr};
  CBaseRTSPClient client{nullptr};
  std::unique_ptr<TransportPump> pump;
};

TEST(RtspStack, UdpAndInterleavedWithEachAuthentication) {
  for (const char* auth : {"none", "basic", "digest"}) {
    TempDir dir;
    SimProcess sim;
    ASSERT_TRUE(sim.Start({"--auth", auth, "--password", "pw"}, dir.File("sim.log"))) << ReadText(dir.File("sim.log"));
    for (uint32_t mode : {kRtpModeUdp, kRtpModeRtsp}) {
      SCOPED_TRACE(std::string(auth) + ", mode " + std::to_string(mode));
      Stream stream(mode);
      ASSERT_TRUE(stream.Start(sim.rtspPort, "admin", "pw"));
      EXPECT_TRUE(WaitUntil([&] { return stream.owner.h264.load() > 100; }, 10000))
          << "packets: " << stream.owner.h264.load();
      EXPECT_GT(stream.owner.spsSize.load(), 3u);
      EXPECT_GT(stream.owner.ppsSize.load(), 1u);
      // The first sender report comes after a second; the answer follows,
      // on the RTCP port or on the RTCP channel of the connection.
      EXPECT_TRUE(WaitUntil([&] { return sim.State()["rtsp_sessions"].back()["receiver_reports"] >= 1; }, 4000));
      stream.Stop();
      // The camera takes the TEARDOWN and the BYE datagram on threads of its
      // own: wait for them to be recorded before checking them.
      WaitUntil(
          [&] {
            const nlohmann::json last = sim.State()["rtsp_sessions"].back();
            return last["state"] == "torn down" && last["byes"] >= 1;
          },
          5000);
      const nlohmann::json session = sim.State()["rtsp_sessions"].back();
      EXPECT_EQ(mode == kRtpModeUdp ? "udp" : "interleaved", session["transport"]);
      EXPECT_EQ("torn down", session["state"]) << session.dump();
      EXPECT_EQ(1, session["byes"]) << "BYE after the sender report";
      std::vector<std::string> methods;
      for (const auto& request : session["requests"]) {
        methods.push_back(request["method"]);
        const std::string authorization = request["authorization"];
        const std::string expected = std::string(auth) == "basic"    ? "Basic "
                                     : std::string(auth) == "digest" ? "Digest "
                                                                     : "";
        EXPECT_EQ(expected, authorization.substr(0, expected.empty() ? std::string::npos : expected.size()))
            << authorization;
      }
      ASSERT_GE(methods.size(), 3u);
      EXPECT_EQ("SETUP", methods.front());
      EXPECT_EQ("PLAY", methods[1]);
      EXPECT_EQ("TEARDOWN", methods.back());
    }
    EXPECT_EQ(0, sim.Stop());
  }
}

TEST(RtspStack, AShortSessionTimeoutIsKeptAliveInBothTransports) {
  TempDir dir;
  SimProcess sim;
  ASSERT_TRUE(sim.Start({"--rtsp-timeout", "4"}, dir.File("sim.log")));
  Stream udp(kRtpModeUdp);
  Stream interleaved(kRtpModeRtsp);
  ASSERT_TRUE(udp.Start(sim.rtspPort, "", ""));
  ASSERT_TRUE(interleaved.Start(sim.rtspPort, "", ""));
  std::this_thread::sleep_for(std::chrono::seconds(19));
  const uint64_t udpBefore = udp.owner.h264.load();
  const uint64_t interleavedBefore = interleaved.owner.h264.load();
  std::this_thread::sleep_for(std::chrono::seconds(1));
  EXPECT_GT(udp.owner.h264.load(), udpBefore) << "still streaming after 20 s";
  EXPECT_GT(interleaved.owner.h264.load(), interleavedBefore) << "still streaming after 20 s";
  const nlohmann::json sessions = sim.State()["rtsp_sessions"];
  ASSERT_EQ(2u, sessions.size());
  for (const auto& session : sessions) {
    EXPECT_EQ("playing", session["state"]) << session.dump();
    EXPECT_GE(session["keep_alives"].get<int>(), 7) << session.dump();
  }
  udp.Stop();
  interleaved.Stop();
  EXPECT_EQ(0, sim.Stop());
}

}  // namespace
}  // namespace testing
}  // namespace kestrum
