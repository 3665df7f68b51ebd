#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <thread>

#include "foundation/TextUtils.h"
#include "rtsp/Base64.h"
#include "rtsp/BaseRTSPClient.h"
#include "rtsp/MD5.h"
#include "rtsp/SHA256.h"
#include "tests/rtsp/RtpTestSupport.h"
#include "tests/support/ScriptedServer.h"
#include "tests/support/TestUtil.h"

using namespace kestrum;
using kestrum::testing::PacketCollector;
using kestrum::testing::Rtp;
using kestrum::testing::ScriptedServer;
using kestrum::testing::WaitUntil;

namespace {

const char kHang[] = "<hang>";
const char kVideoSdp[] =
    "v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=Quellon\r\nt=0 0\r\nm=video 0 RTP/AVP 96\r\n"
    "a=rtpmap:96 H264/90000\r\na=fmtp:96 packetization-mode=1;profile-level-id=42001f;"
    "sprop-parameter-sets=Z0IAH5WoFAFuQA==,aM48gA==\r\na=control:trackID=1\r\n";

std::string Method(const std::string& request) { return request.substr(0, request.find(' ')); }

uint32_t CSeqOf(const std::string& request) {
  return static_cast<uint32_t>(ReadNumber(GetLineValue(request, "CSeq", ": ", "\r\n")));
}

// A response echoing the request's CSeq (or the given one).
std::string Reply(const std::string& request, const std::string& headers = "", const std::string& body = "",
                  const std::string& status = "200 OK", uint32_t cseq = 0) {
  std::string text = "RTSP/1.0 " + status + "\r\nCSeq: " + std::to_string(cseq != 0 ? cseq : CSeqOf(request)) +
                     "\r\n" + headers;
  if (!body.empty()) text += "Content-Type: application/sdp\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
  return text + "\r\n" + body;
}

// The usual camera: the description, a session, 200 to everything else.
std::string Camera(const std::string& request, const std::string& session = "Session: S;timeout=60\r\n",
                   const std::string& sdp = kVideoSdp) {
  const std::string method = Method(request);
  if (method == "DESCRIBE") return Reply(request, "", sdp);
  if (method == "SETUP") return Reply(request, session + "Transport: RTP/AVP;unicast;client_port=3556-3557\r\n");
  return Reply(request, session);
}

using Responder = std::function<std::string(const std::string& request, size_t index)>;

// Answers each request head with what the responder returns (nothing for an
// empty text; kHang: read no more and keep the connection open).
ScriptedServer::Script Serve(Responder responder) {
  return [responder](platform::TcpSocket& connection, ScriptedServer& server) {
    for (size_t index = 0;; ++index) {
      const std::string request = server.ReadRequestHead(connection, 60000);
      if (request.empty()) return;
      const std::string response = responder(request, index);
      if (response == kHang) {
        server.Stopping()->Wait(platform::kInfinite);
        return;
      }
      if (!response.empty() && connection.SendAll(response, 2000, server.Stopping()) != platform::IoStatus::Ok) return;
    }
  };
}

RTSP_CLIENT_SETTINGS Settings(uint16_t port, const std::string& path = "nph-h264.cgi") {
  RTSP_CLIENT_SETTINGS settings;
  settings.Host = "127.0.0.1";
  settings.ServerPort = port;
  settings.Path = path;
  settings.ClientRtpPort = 3556;
  settings.ClientRtcpPort = 3557;
  return settings;
}

RTSP_CLIENT_SETTINGS WithLogin(RTSP_CLIENT_SETTINGS settings, const std::string& password = "p") {
  settings.UserName = "u";
  settings.Password = password;
  return settings;
}

std::vector<std::string> Methods(const ScriptedServer& server) {
  std::vector<std::string> methods;
  for (const auto& request : server.Requests()) methods.push_back(Method(request));
  return methods;
}

template <class F>
std::chrono::milliseconds Timed(F&& action) {
  const auto start = std::chrono::steady_clock::now();
  action();
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
}

TEST(RTSPClient, CompleteUdpExchangeByteForByte) {
  ScriptedServer server(Serve([](const std::string& request, size_t) { return Camera(request); }));
  PacketCollector owner;
  CBaseRTSPClient client(nullptr);
  ASSERT_TRUE(client.StartSession(Settings(server.Port()), &owner, kRtpModeUdp));
  EXPECT_EQ("RTSP Client Thread", client.GetName());
  ASSERT_TRUE(WaitUntil([&] { return server.Requests().size() == 4; }, 6000)) << "a keep-alive about 2 s after PLAY";
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  EXPECT_EQ(4u, server.Requests().size()) << "the next keep-alive is half a minute away";
  client.StopSession();
  ASSERT_TRUE(WaitUntil([&] { return server.Requests().size() >= 5; }, 5000)) << "the TEARDOWN, recorded by the server";
  const std::string url = "rtsp://127.0.0.1:" + std::to_string(server.Port()) + "/nph-h264.cgi";
  const std::vector<std::string> expected = {
      "DESCRIBE " + url + " RTSP/1.0\r\nCSeq: 1\r\nUser-Agent: Kestrum\r\nAccept: application/sdp\r\n\r\n",
      "SETUP " + url + "/trackID=1 RTSP/1.0\r\nCSeq: 2\r\nUser-Agent: Kestrum\r\n"
                       "Transport: RTP/AVP;unicast;client_port=3556-3557\r\n\r\n",
      "PLAY " + url + " RTSP/1.0\r\nCSeq: 3\r\nUser-Agent: Kestrum\r\nSession: S\r\nRange: npt=0.000-\r\n\r\n",
      "OPTIONS " + url + " RTSP/1.0\r\nCSeq: 4\r\nUser-Agent: Kestrum\r\nSession: S\r\n\r\n",
      "TEARDOWN " + url + " RTSP/1.0\r\nCSeq: 5\r\nUser-Agent: Kestrum\r\nSession: S\r\n\r\n",
  };
  EXPECT_EQ(expected, server.Requests());
  ASSERT_EQ(3u, owner.parameterSets.size());
  std::vector<uint8_t> sps;
  Base64Decode("Z0IAH5WoFAFuQA==", sps);
  EXPECT_EQ(sps, owner.parameterSets[0]);
  EXPECT_EQ(4u, owner.parameterSets[1].size());
}

TEST(RTSPClient, BaseUrlAndPathForms) {
  CBaseRTSPClient client(nullptr);
  ScriptedServer server(Serve([](const std::string&, size_t) { return std::string(kHang); }));
  for (const auto& [path, url] : std::vector<std::pair<std::string, std::string>>{
           {"/live.sdp", "/live.sdp"}, {"live.sdp", "/live.sdp"}, {"", "/"}, {"///", "/"}}) {
    ASSERT_TRUE(client.StartSession(Settings(server.Port(), path), nullptr, kRtpModeUdp));
    EXPECT_EQ("rtsp://127.0.0.1:" + std::to_string(server.Port()) + url, client.BaseUrl()) << path;
    client.StopSession();
  }
}

TEST(RTSPClient, ContentBaseAndAbsoluteControlUrls) {
  const std::string relative = std::string(kVideoSdp);
  std::string absolute = relative;
  absolute.replace(absolute.find("a=control:trackID=1"), 19, "a=control:rtsp://cam/stream/track1");
  for (const auto& [sdp, setupUrl] : std::vector<std::pair<std::string, std::string>>{
           {relative, "rtsp://cam/stream/trackID=1"}, {absolute, "rtsp://cam/stream/track1"}}) {
    const std::string description = sdp;
    ScriptedServer server(Serve([description](const std::string& request, size_t) {
      if (Method(request) == "DESCRIBE") return Reply(request, "Content-Base: rtsp://cam/stream/\r\n", description);
      return Camera(request);
    }));
    CBaseRTSPClient client(nullptr);
    ASSERT_TRUE(client.StartSession(Settings(server.Port()), nullptr, kRtpModeUdp));
    ASSERT_TRUE(WaitUntil([&] { return server.Requests().size() >= 3; }));
    client.StopSession();
    // The server records the TEARDOWN on its own thread; the client may have
    // given up waiting for the reply before that.
    ASSERT_TRUE(WaitUntil([&] { return server.Requests().size() >= 4; }, 5000));
    const auto requests = server.Requests();
    EXPECT_EQ(0u, requests[1].find("SETUP " + setupUrl + " RTSP/1.0\r\n")) << requests[1];
    EXPECT_EQ(0u, requests[2].find("PLAY rtsp://cam/stream/ RTSP/1.0\r\n")) << requests[2];
    EXPECT_EQ(0u, requests.back().find("TEARDOWN rtsp://cam/stream/ RTSP/1.0\r\n")) << requests.back();
  }
}

TEST(RTSPClient, TheResponseCSeqReplacesTheCounter) {
  ScriptedServer server(Serve([](const std::string& request, size_t index) {
    if (index == 0) return Reply(request, "", kVideoSdp, "200 OK", 7);
    return Camera(request);
  }));
  CBaseRTSPClient client(nullptr);
  ASSERT_TRUE(client.StartSession(Settings(server.Port()), nullptr, kRtpModeUdp));
  ASSERT_TRUE(WaitUntil([&] { return server.Requests().size() >= 2; }));
  client.StopSession();
  EXPECT_EQ(8u, CSeqOf(server.Requests()[1]));
}

TEST(RTSPClient, DigestAfterAChallengeAndASecondRefusalEndsTheSession) {
  ScriptedServer server(Serve([](const std::string& request, size_t) {
    return Reply(request, "WWW-Authenticate: Digest realm=\"Quellon\", nonce=\"0a4f113b\"\r\n", "",
                 "401 Unauthorized");
  }));
  RTSP_CLIENT_SETTINGS settings = Settings(server.Port());
  settings.UserName = "admin";
  settings.Password = "secret";
  CBaseRTSPClient client(nullptr);
  ASSERT_TRUE(client.StartSession(settings, nullptr, kRtpModeUdp));
  ASSERT_TRUE(WaitUntil([&] { return server.Requests().size() == 2; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  client.StopSession();
  const auto requests = server.Requests();
  ASSERT_EQ(2u, requests.size()) << "no third DESCRIBE and no TEARDOWN";
  EXPECT_EQ(std::string::npos, requests[0].find("Authorization"));
  const std::string url = "rtsp://127.0.0.1:" + std::to_string(server.Port()) + "/nph-h264.cgi";
  const std::string ha1 = CMD5::Hex("admin:Quellon:secret");
  const std::string ha2 = CMD5::Hex("DESCRIBE:" + url);
  const std::string line = "Authorization: Digest username=\"admin\", realm=\"Quellon\", nonce=\"0a4f113b\", uri=\"" +
                           url + "\", response=\"" + CMD5::Hex(ha1 + ":0a4f113b:" + ha2) + "\"\r\n";
  EXPECT_NE(std::string::npos, requests[1].find(line)) << requests[1];
}

TEST(RTSPClient, DigestCarriesOnThroughTheSessionWithEachRequestsUri) {
  ScriptedServer server(Serve([](const std::string& request, size_t index) {
    if (index == 0) {
      return Reply(request, "WWW-Authenticate: Digest realm=\"R\", nonce=\"N\"\r\n", "", "401 Unauthorized");
    }
    return Camera(request);
  }));
  RTSP_CLIENT_SETTINGS settings = WithLogin(Settings(server.Port()));
  CBaseRTSPClient client(nullptr);
  ASSERT_TRUE(client.StartSession(settings, nullptr, kRtpModeUdp));
  ASSERT_TRUE(WaitUntil([&] { return server.Requests().size() >= 4; }));
  client.StopSession();
  const auto requests = server.Requests();
  const std::string url = "rtsp://127.0.0.1:" + std::to_string(server.Port()) + "/nph-h264.cgi";
  const std::string setupUrl = url + "/trackID=1";
  const std::string expectedSetup =
      CMD5::Hex(CMD5::Hex("u:R:p") + ":N:" + CMD5::Hex("SETUP:" + setupUrl));
  EXPECT_NE(std::string::npos, requests[2].find("uri=\"" + setupUrl + "\", response=\"" + expectedSetup + "\""))
      << requests[2];
  EXPECT_NE(std::string::npos, requests[3].find("Authorization: Digest username=\"u\"")) << requests[3];
}

TEST(RTSPClient, BasicFromTheStartLongCredentialsIncludedAndARepeatedBasicChallengeEnds) {
  ScriptedServer server(Serve([](const std::string& request, size_t) {
    return Reply(request, "WWW-Authenticate: Basic realm=\"cam\"\r\n", "", "401 Unauthorized");
  }));
  RTSP_CLIENT_SETTINGS settings = Settings(server.Port());
  settings.AuthScheme = 1;
  settings.UserName = std::string(40, 'u');
  settings.Password = std::string(60, 'p');
  CBaseRTSPClient client(nullptr);
  ASSERT_TRUE(client.StartSession(settings, nullptr, kRtpModeUdp));
  ASSERT_TRUE(WaitUntil([&] { return server.Requests().size() == 1; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  client.StopSession();
  const auto requests = server.Requests();
  ASSERT_EQ(1u, requests.size());
  EXPECT_NE(std::string::npos,
            requests[0].find("Authorization: Basic " + Base64Encode(settings.UserName + ":" + settings.Password) +
                             "\r\n"));
}

TEST(RTSPClient, ShortSessionTimeoutIsKeptAliveInTime) {
  ScriptedServer server(Serve([](const std::string& request, size_t) {
    return Camera(request, "Session: 12345678;timeout=4\r\n");
  }));
  CBaseRTSPClient client(nullptr);
  ASSERT_TRUE(client.StartSession(Settings(server.Port()), nullptr, kRtpModeUdp));
  std::this_thread::sleep_for(std::chrono::milliseconds(8000));
  client.StopSession();
  const auto methods = Methods(server);
  const size_t keepAlives = std::count(methods.begin(), methods.end(), "OPTIONS");
  EXPECT_GE(keepAlives, 3u) << "every two seconds, half the time-out";
  EXPECT_LE(keepAlives, 5u);
  for (const auto& request : server.Requests()) {
    if (Method(request) != "DESCRIBE" && Method(request) != "SETUP") {
      EXPECT_NE(std::string::npos, request.find("Session: 12345678\r\n")) << request;
    }
  }
}

// A camera that says no to OPTIONS still holds the connection and the
// session: the keep-alive is neither sent over a new connection nor retried
// every second.
TEST(RTSPClient, ARefusedKeepAliveKeepsItsConnectionAndItsPeriod) {
  for (const std::string refusal : {"454 Session Not Found", "405 Method Not Allowed", "501 Not Implemented",
                                    "unreadable"}) {
    ScriptedServer server(Serve([refusal](const std::string& request, size_t) {
      if (Method(request) != "OPTIONS") return Camera(request);
      if (refusal == "unreadable") return std::string("NOT RTSP AT ALL\r\n\r\n");
      return Reply(request, "", "", refusal);
    }));
    CBaseRTSPClient client(nullptr);
    ASSERT_TRUE(client.StartSession(Settings(server.Port()), nullptr, kRtpModeUdp));
    // The first keep-alive goes out about 2 s after PLAY, the next half a
    // minute later.
    ASSERT_TRUE(WaitUntil(
        [&] {
          const auto methods = Methods(server);
          return std::count(methods.begin(), methods.end(), "OPTIONS") >= 1;
        },
        6000))
        << refusal;
    std::this_thread::sleep_for(std::chrono::milliseconds(3000));
    const auto methods = Methods(server);
    EXPECT_EQ(1, std::count(methods.begin(), methods.end(), "OPTIONS")) << refusal;
    EXPECT_EQ(1, server.Connections()) << refusal << ": no new connection for a refusal";
    client.StopSession();
  }
}

TEST(RTSPClient, TransportLinesPerMode) {
  std::string twoWords = kVideoSdp;
  twoWords.replace(twoWords.find("m=video 0 RTP/AVP 96"), 20, "m=video 0");
  const struct {
    uint32_t mode;
    std::string sdp;
    std::string transport;
  } cases[] = {
      {kRtpModeUdp, kVideoSdp, "Transport: RTP/AVP;unicast;client_port=3556-3557\r\n"},
      {kRtpModeTcp, kVideoSdp, "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n"},
      {kRtpModeRtsp, twoWords, "Transport: RTP/AVP/TCP;unicast;interleaved=0-1\r\n"},
  };
  for (const auto& c : cases) {
    const std::string sdp = c.sdp;
    ScriptedServer server(Serve([sdp](const std::string& request, size_t) { return Camera(request, "Session: S\r\n", sdp); }));
    CBaseRTSPClient client(nullptr);
    ASSERT_TRUE(client.StartSession(Settings(server.Port()), nullptr, c.mode));
    ASSERT_TRUE(WaitUntil([&] { return server.Requests().size() >= 2; }));
    client.StopSession();
    EXPECT_NE(std::string::npos, server.Requests()[1].find(c.transport)) << c.mode << ": " << server.Requests()[1];
  }
  // A camera that refuses the standard interleaved form (461 or 400) is asked
  // once more in the bare form: the profile of its media line, with client
  // ports in mode 1 and without them in mode 2.
  const struct {
    uint32_t mode;
    std::string sdp;
    const char* status;
    std::string transport;
  } refusals[] = {
      {kRtpModeTcp, kVideoSdp, "461 Unsupported Transport", "Transport: RTP/AVP;unicast;client_port=3556-3557\r\n"},
      {kRtpModeTcp, twoWords, "400 Bad Request", "Transport: RTP/AVP/TCP;unicast;client_port=3556-3557\r\n"},
      {kRtpModeRtsp, kVideoSdp, "461 Unsupported Transport", "Transport: RTP/AVP;unicast\r\n"},
      {kRtpModeRtsp, twoWords, "400 Bad Request", "Transport: RTP/AVP/TCP;unicast\r\n"},
  };
  for (const auto& c : refusals) {
    const std::string sdp = c.sdp;
    const std::string status = c.status;
    ScriptedServer server(Serve([sdp, status](const std::string& request, size_t) {
      if (request.find("interleaved=") != std::string::npos) return Reply(request, "", "", status);
      return Camera(request, "Session: S\r\n", sdp);
    }));
    CBaseRTSPClient client(nullptr);
    ASSERT_TRUE(client.StartSession(Settings(server.Port()), nullptr, c.mode));
    ASSERT_TRUE(WaitUntil([&] { return server.Requests().size() >= 4; })) << "DESCRIBE, two SETUPs, PLAY";
    client.StopSession();
    const auto requests = server.Requests();
    EXPECT_NE(std::string::npos, requests[1].find("interleaved=0-1")) << requests[1];
    EXPECT_NE(std::string::npos, requests[2].find(c.transport)) << c.mode << " after " << status << ": " << requests[2];
    EXPECT_EQ("PLAY", Method(requests[3]));
  }
  // Any other refusal ends the session without a second SETUP.
  ScriptedServer refusing(Serve([](const std::string& request, size_t) {
    if (Method(request) == "SETUP") return Reply(request, "", "", "454 Session Not Found");
    return Camera(request);
  }));
  CBaseRTSPClient client(nullptr);
  ASSERT_TRUE(client.StartSession(Settings(refusing.Port()), nullptr, kRtpModeRtsp));
  ASSERT_TRUE(WaitUntil([&] { return refusing.Requests().size() >= 3; }));
  client.StopSession();
  EXPECT_EQ("TEARDOWN", Method(refusing.Requests()[2]));
}

std::string Interleaved(uint8_t channel, const std::vector<uint8_t>& data) {
  std::string frame = {'$', static_cast<char>(channel), static_cast<char>(data.size() >> 8),
                       static_cast<char>(data.size() & 0xFF)};
  return frame + std::string(data.begin(), data.end());
}

TEST(RTSPClient, InterleavedPacketsFollowingThePlayResponseReachTheOwner) {
  for (uint32_t mode : {kRtpModeRtsp, kRtpModeTcp}) {
    ScriptedServer server(Serve([](const std::string& request, size_t) {
      if (Method(request) != "PLAY") return Camera(request, "Session: S;timeout=4\r\n");
      // The PLAY answer, RTCP on channel 1 and RTP on channel 0, in one write.
      return Reply(request, "Session: S\r\n") + Interleaved(1, {0x80, 0xC8, 0x00, 0x01, 0x24, 0x00, 0x00, 0x40}) +
             Interleaved(0, Rtp(100, {1, 2, 3})) + Interleaved(0, Rtp(101, std::vector<uint8_t>(1500, 4)));
    }));
    PacketCollector owner;
    CBaseRTSPClient client(nullptr);
    ASSERT_TRUE(client.StartSession(Settings(server.Port()), &owner, mode));
    ASSERT_TRUE(WaitUntil([&] { return owner.Count() == 2; }));
    EXPECT_EQ((std::vector<uint16_t>{100, 101}), owner.Sequences());
    // While reading the stream the session is kept alive all the same.
    ASSERT_TRUE(WaitUntil([&] { return server.Requests().size() >= 4; }, 4000)) << "mode " << mode;
    EXPECT_EQ("OPTIONS", Method(server.Requests()[3]));
    client.StopSession();
  }
}

TEST(RTSPClient, TheChannelsTheServerNamesCarryTheRtp) {
  // The server answers interleaved=2-3: RTP on 2, RTCP on 3; channel 0 is
  // some other stream of its own and must not reach the owner.
  ScriptedServer server(Serve([](const std::string& request, size_t) {
    if (Method(request) == "SETUP") {
      return Reply(request, "Session: S;timeout=60\r\nTransport: RTP/AVP/TCP;unicast;interleaved=2-3\r\n");
    }
    if (Method(request) != "PLAY") return Camera(request);
    return Reply(request, "Session: S\r\n") + Interleaved(0, Rtp(7, {9})) + Interleaved(2, Rtp(200, {1})) +
           Interleaved(3, {0x80, 0xC8, 0x00, 0x01, 0x24, 0x02, 0x00, 0x40}) + Interleaved(2, Rtp(201, {2}));
  }));
  PacketCollector owner;
  CBaseRTSPClient client(nullptr);
  ASSERT_TRUE(client.StartSession(Settings(server.Port()), &owner, kRtpModeRtsp));
  ASSERT_TRUE(WaitUntil([&] { return owner.Count() == 2; }));
  client.StopSession();
  EXPECT_EQ((std::vector<uint16_t>{200, 201}), owner.Sequences());
}

TEST(RTSPClient, HeadersInLowerCaseWithoutBlanksStillCarryTheSession) {
  // Legal RFC 2326 syntax that once lost the body (read as the next answer)
  // and the session.
  auto reply = [](const std::string& request, const std::string& headers, const std::string& body) {
    std::string text = "RTSP/1.0 200 OK\r\ncseq:" + std::to_string(CSeqOf(request)) + "\r\n" + headers;
    if (!body.empty()) text += "content-type:application/sdp\r\ncontent-length:" + std::to_string(body.size()) + "\r\n";
    return text + "\r\n" + body;
  };
  ScriptedServer server(Serve([reply](const std::string& request, size_t) {
    if (Method(request) == "DESCRIBE") return reply(request, "", kVideoSdp);
    if (Method(request) == "SETUP") return reply(request, "session:ABC;timeout=30\r\n", "");
    return reply(request, "", "");
  }));
  PacketCollector owner;
  CBaseRTSPClient client(nullptr);
  ASSERT_TRUE(client.StartSession(Settings(server.Port()), &owner, kRtpModeUdp));
  ASSERT_TRUE(WaitUntil([&] { return server.Requests().size() >= 3; }));
  client.StopSession();
  const auto requests = server.Requests();
  EXPECT_EQ("SETUP", Method(requests[1])) << "the description was read as a body";
  EXPECT_EQ(3u, owner.parameterSets.size());
  EXPECT_EQ("PLAY", Method(requests[2]));
  EXPECT_NE(std::string::npos, requests[2].find("Session: ABC\r\n")) << requests[2];
}

TEST(RTSPClient, OfferedBothTheClientAnswersWithDigest) {
  ScriptedServer server(Serve([](const std::string& request, size_t index) {
    if (index == 0) {
      return Reply(request, "WWW-Authenticate: Digest realm=\"R\", nonce=\"N\"\r\nWWW-Authenticate: Basic realm=\"R\"\r\n",
                   "", "401 Unauthorized");
    }
    return Camera(request);
  }));
  RTSP_CLIENT_SETTINGS settings = WithLogin(Settings(server.Port()));
  CBaseRTSPClient client(nullptr);
  ASSERT_TRUE(client.StartSession(settings, nullptr, kRtpModeUdp));
  ASSERT_TRUE(WaitUntil([&] { return server.Requests().size() >= 3; }));
  client.StopSession();
  for (const std::string& request : server.Requests()) {
    EXPECT_EQ(std::string::npos, request.find("Basic ")) << "no password in clear text: " << request;
  }
  EXPECT_NE(std::string::npos, server.Requests()[1].find("Authorization: Digest username=\"u\", realm=\"R\""));
}

// The value of a parameter of a Digest Authorization line.
std::string DigestValue(const std::string& request, const std::string& name) {
  const size_t at = request.find(" " + name + "=");
  if (at == std::string::npos) return "";
  size_t start = at + name.size() + 2;
  const bool quoted = request[start] == '"';
  if (quoted) ++start;
  const size_t end = request.find_first_of(quoted ? "\"" : ",\r", start);
  return request.substr(start, end - start);
}

// RFC 7616: qop with nc and cnonce, opaque echoed, MD5 and SHA-256.
TEST(RTSPClient, DigestWithQopOpaqueAndEachAlgorithm) {
  for (const std::string algorithm : {"MD5", "SHA-256", "SHA-256-sess"}) {
    ScriptedServer server(Serve([algorithm](const std::string& request, size_t index) {
      if (index == 0) {
        return Reply(request,
                     "WWW-Authenticate: Digest realm=\"cam, 1\", qop=\"auth-int,auth\", nonce=\"N1\", "
                     "opaque=\"o/p\", algorithm=" + algorithm + "\r\n",
                     "", "401 Unauthorized");
      }
      return Camera(request);
    }));
    const RTSP_CLIENT_SETTINGS settings = WithLogin(Settings(server.Port()), "p w");
    CBaseRTSPClient client(nullptr);
    ASSERT_TRUE(client.StartSession(settings, nullptr, kRtpModeUdp));
    ASSERT_TRUE(WaitUntil([&] { return server.Requests().size() >= 4; })) << algorithm << ": the session went on";
    client.StopSession();
    const auto requests = server.Requests();
    const bool sha = algorithm != "MD5";
    auto hash = [sha](const std::string& text) { return sha ? CSHA256::Hex(text) : CMD5::Hex(text); };
    const std::string url = "rtsp://127.0.0.1:" + std::to_string(server.Port()) + "/nph-h264.cgi";
    for (size_t i = 1; i <= 2; ++i) {
      const std::string& request = requests[i];
      SCOPED_TRACE(algorithm + ": " + request);
      const std::string uri = i == 1 ? url : url + "/trackID=1";
      EXPECT_EQ("auth", DigestValue(request, "qop")) << "auth where offered";
      EXPECT_EQ(i == 1 ? "00000001" : "00000002", DigestValue(request, "nc"));
      EXPECT_EQ("o/p", DigestValue(request, "opaque"));
      EXPECT_EQ(algorithm, DigestValue(request, "algorithm"));
      const std::string cnonce = DigestValue(request, "cnonce");
      ASSERT_EQ(16u, cnonce.size());
      std::string ha1 = hash("u:cam, 1:p w");
      if (algorithm == "SHA-256-sess") ha1 = hash(ha1 + ":N1:" + cnonce);
      const std::string ha2 = hash(std::string(i == 1 ? "DESCRIBE" : "SETUP") + ":" + uri);
      EXPECT_EQ(hash(ha1 + ":N1:" + DigestValue(request, "nc") + ":" + cnonce + ":auth:" + ha2),
                DigestValue(request, "response"));
    }
  }
}

TEST(RTSPClient, AStaleNonceIsReplacedWithoutEndingTheSession) {
  ScriptedServer server(Serve([](const std::string& request, size_t index) {
    const std::string challenge = "WWW-Authenticate: Digest realm=\"R\", nonce=\"";
    if (index == 0) return Reply(request, challenge + "old\"\r\n", "", "401 Unauthorized");
    // The nonce expired between the challenge and the answer.
    if (index == 1) return Reply(request, challenge + "new\", stale=TRUE\r\n", "", "401 Unauthorized");
    return Camera(request);
  }));
  RTSP_CLIENT_SETTINGS settings = WithLogin(Settings(server.Port()));
  CBaseRTSPClient client(nullptr);
  ASSERT_TRUE(client.StartSession(settings, nullptr, kRtpModeUdp));
  ASSERT_TRUE(WaitUntil([&] { return server.Requests().size() >= 5; }));
  client.StopSession();
  const auto requests = server.Requests();
  EXPECT_EQ("old", DigestValue(requests[1], "nonce"));
  EXPECT_EQ("DESCRIBE", Method(requests[2]));
  EXPECT_EQ("new", DigestValue(requests[2], "nonce"));
  EXPECT_EQ("SETUP", Method(requests[3]));
  EXPECT_EQ("PLAY", Method(requests[4]));

  // A camera that calls every nonce stale is refusing: the session ends.
  ScriptedServer refusing(Serve([](const std::string& request, size_t) {
    return Reply(request, "WWW-Authenticate: Digest realm=\"R\", nonce=\"n\", stale=true\r\n", "",
                 "401 Unauthorized");
  }));
  CBaseRTSPClient second(nullptr);
  settings.ServerPort = refusing.Port();
  ASSERT_TRUE(second.StartSession(settings, nullptr, kRtpModeUdp));
  ASSERT_TRUE(WaitUntil([&] { return refusing.Requests().size() >= 4; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  second.StopSession();
  EXPECT_EQ(4u, refusing.Requests().size()) << "the first try, the scheme, two stale nonces, then nothing";
}

TEST(RTSPClient, LongHeaderBlocksAreReadWholeAndOversizedOnesFail) {
  const std::string padding = "X-Padding: " + std::string(1000, 'x') + "\r\n";
  ScriptedServer server(Serve([padding](const std::string& request, size_t) {
    if (Method(request) == "DESCRIBE") return Reply(request, padding + padding, kVideoSdp);
    return Camera(request);
  }));
  PacketCollector owner;
  CBaseRTSPClient client(nullptr);
  ASSERT_TRUE(client.StartSession(Settings(server.Port()), &owner, kRtpModeUdp));
  ASSERT_TRUE(WaitUntil([&] { return server.Requests().size() >= 2; }));
  client.StopSession();
  EXPECT_EQ("SETUP", Method(server.Requests()[1]));
  EXPECT_EQ(3u, owner.parameterSets.size()) << "the description after a 2 KiB header block was read";

  const std::string huge = "X-Padding: " + std::string(CBaseRTSPClient::kMaxHeaderBytes, 'x') + "\r\n";
  ScriptedServer flooding(Serve([huge](const std::string& request, size_t) {
    if (Method(request) == "DESCRIBE") return Reply(request, huge, kVideoSdp);
    return Camera(request);
  }));
  ASSERT_TRUE(client.StartSession(Settings(flooding.Port()), nullptr, kRtpModeUdp));
  ASSERT_TRUE(WaitUntil([&] { return !flooding.Requests().empty(); }));
  // A SETUP, were the block taken, would follow its answer at once.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  client.StopSession();
  EXPECT_EQ(1u, flooding.Requests().size()) << "a header block beyond the bound fails DESCRIBE";
}

TEST(RTSPClient, ResponsesArrivingTogetherAreEachRead) {
  // The camera answers DESCRIBE with two copies of its response in one
  // write; the second must not be lost but taken as SETUP's answer.
  ScriptedServer server(Serve([](const std::string& request, size_t) -> std::string {
    const std::string method = Method(request);
    if (method == "DESCRIBE") {
      return Reply(request, "", kVideoSdp) + Reply(request, "Session: early\r\n", "", "200 OK", 2);
    }
    if (method == "SETUP") return "";
    return Camera(request, "Session: early\r\n");
  }));
  CBaseRTSPClient client(nullptr);
  ASSERT_TRUE(client.StartSession(Settings(server.Port()), nullptr, kRtpModeUdp));
  ASSERT_TRUE(WaitUntil([&] { return server.Requests().size() >= 3; }));
  client.StopSession();
  EXPECT_NE(std::string::npos, server.Requests()[2].find("Session: early\r\n")) << server.Requests()[2];
}

TEST(RTSPClient, StopEndsEveryPhaseWellWithinItsLimit) {
  // The camera goes silent at each request in turn.
  for (size_t silentAt = 0; silentAt < 5; ++silentAt) {
    ScriptedServer server(Serve([silentAt](const std::string& request, size_t index) {
      if (index == silentAt) return std::string(kHang);
      if (Method(request) == "PLAY") return Reply(request, "Session: S\r\n");  // then nothing more
      return Camera(request);
    }));
    for (uint32_t mode : {kRtpModeUdp, kRtpModeRtsp}) {
      CBaseRTSPClient client(nullptr);
      ASSERT_TRUE(client.StartSession(Settings(server.Port()), nullptr, mode));
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      const auto took = Timed([&] { client.StopSession(); });
      EXPECT_LT(took.count(), 2500) << "silent at request " << silentAt << ", mode " << mode;
      EXPECT_LT(took.count(), client.StopLimitMs());
    }
  }
}

TEST(RTSPClient, UnreachableCamerasFailToStart) {
  CBaseRTSPClient client(nullptr);
  RTSP_CLIENT_SETTINGS settings = Settings(1);
  settings.Host = "";
  EXPECT_FALSE(client.StartSession(settings, nullptr, kRtpModeUdp));
  uint16_t closedPort;
  {
    ScriptedServer gone(Serve([](const std::string&, size_t) { return std::string(); }));
    closedPort = gone.Port();
  }
  EXPECT_FALSE(client.StartSession(Settings(closedPort), nullptr, kRtpModeUdp));
  settings = Settings(554);
  settings.Host = "no-such-host.invalid";
  EXPECT_FALSE(client.StartSession(settings, nullptr, kRtpModeUdp));
  EXPECT_TRUE(RTSPMethodName(0)[0] == '\0');
  EXPECT_TRUE(client.BuildRequest(9).empty());
}

}  // namespace
