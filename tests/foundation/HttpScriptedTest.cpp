// The HTTP sender against scripted servers, for what a real server will not
// do on demand: stalls, odd framing, challenges, redirects and stops. These
// run on every platform the sender is built for.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "foundation/Event.h"
#include "foundation/HttpSender.h"
#include "foundation/HttpUtils.h"
#include "platform/Thread.h"
#include "tests/foundation/HttpTestDevice.h"
#include "tests/support/ScriptedServer.h"

using namespace kestrum;
using kestrum::testing::HttpTestDevice;
using kestrum::testing::ScriptedServer;
using Clock = std::chrono::steady_clock;

namespace {

long Ms(Clock::duration d) { return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(d).count()); }

void Respond(platform::TcpSocket& c, ScriptedServer& s, const std::string& text) {
  c.SendAll(text, 5000, s.Stopping());
}

TEST(ScriptedHttp, RequestHeadAndNoCredentialsWithoutUser) {
  ScriptedServer server([](platform::TcpSocket& c, ScriptedServer& s) {
    if (s.ReadRequestHead(c).empty()) return;
    Respond(c, s, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
  });
  DEVICE_INFO device = HttpTestDevice(server.Port());
  Web::CHttpSender sender(&device);
  std::string text;
  ASSERT_TRUE(HUtils::RequestGetRD(sender, "/info.cgi?x=1", text));
  EXPECT_EQ("ok", text);
  ASSERT_EQ(1u, server.Requests().size());
  const std::string head = server.Requests()[0];
  EXPECT_EQ(0u, head.find("GET /info.cgi?x=1 HTTP/1.1\r\n"));
  EXPECT_NE(std::string::npos, head.find("User-Agent: Kestrum::HttpSender\r\n"));
  EXPECT_EQ(std::string::npos, head.find("Authorization")) << head;
}

TEST(ScriptedHttp, ChallengeForAnotherSchemeIsAnsweredOnce) {
  ScriptedServer server([](platform::TcpSocket& c, ScriptedServer& s) {
    for (;;) {
      std::string head = s.ReadRequestHead(c);
      if (head.empty()) return;
      if (head.find("Authorization: Digest ") != std::string::npos) {
        Respond(c, s, "HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\nsecret");
      } else {
        Respond(c, s,
                "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Digest realm=\"cam\", nonce=\"abc\", qop=\"auth\"\r\n"
                "WWW-Authenticate: Basic realm=\"cam\"\r\nContent-Length: 0\r\n\r\n");
      }
    }
  });
  DEVICE_INFO device = HttpTestDevice(server.Port(), "user", "pw");
  Web::CHttpSender sender(&device);
  std::string text;
  const bool answered = HUtils::RequestGetRD(sender, "/admin.cgi?image&_", text);
  auto requests = server.Requests();
  std::string heads;
  for (const std::string& head : requests) heads += head + "----\n";
  ASSERT_TRUE(answered) << heads;
  EXPECT_EQ("secret", text);
  ASSERT_GE(requests.size(), 2u);
  EXPECT_NE(std::string::npos, requests[0].find("Authorization: Basic dXNlcjpwdw==")) << "Basic goes first";
  EXPECT_NE(std::string::npos, requests.back().find("Authorization: Digest username=\"user\""));
  EXPECT_EQ(static_cast<uint32_t>(Web::kSchemeDigest), sender.GetRememberedScheme());
}

TEST(ScriptedHttp, ChallengeForTheSchemeJustUsedFails) {
  ScriptedServer server([](platform::TcpSocket& c, ScriptedServer& s) {
    while (!s.ReadRequestHead(c).empty()) {
      Respond(c, s, "HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Basic realm=\"cam\"\r\nContent-Length: 0\r\n\r\n");
    }
  });
  DEVICE_INFO device = HttpTestDevice(server.Port(), "user", "pw");
  Web::CHttpSender sender(&device);
  std::vector<uint8_t> body;
  CResultDef result = HUtils::RequestGetRD(sender, "/io.cgi", body, false);
  EXPECT_EQ(11u, result.GetCode());
  EXPECT_EQ(4u, result.GetLevel());
  EXPECT_EQ("kestrum::HUtils::RequestGetRD: Cannot send request \"/io.cgi\" to device 127.0.0.1:" +
                std::to_string(server.Port()),
            result.GetMessage());
  EXPECT_EQ(1u, server.Requests().size()) << "no retry with the same scheme";
}

TEST(ScriptedHttp, ChunkedBodyAndBodyEndedByClose) {
  ScriptedServer server([](platform::TcpSocket& c, ScriptedServer& s) {
    std::string head = s.ReadRequestHead(c);
    if (head.find("/chunked") != std::string::npos) {
      Respond(c, s, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n6\r\n world\r\n0\r\n\r\n");
    } else {
      Respond(c, s, "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\nuntil the end");
      c.Shutdown();
    }
  });
  DEVICE_INFO device = HttpTestDevice(server.Port(), "", "", 10000);
  Web::CHttpSender sender(&device);
  std::string text;
  ASSERT_TRUE(HUtils::RequestGetRD(sender, "/chunked", text));
  EXPECT_EQ("hello world", text);
  auto start = Clock::now();
  ASSERT_TRUE(HUtils::RequestGetRD(sender, "/close", text));
  EXPECT_EQ("until the end", text);
  EXPECT_LT(Ms(Clock::now() - start), 5000) << "a closed connection ends the body at once, not after the time-out";
}

TEST(ScriptedHttp, StalledBodyWithoutLengthKeepsWhatArrived) {
  ScriptedServer server([](platform::TcpSocket& c, ScriptedServer& s) {
    s.ReadRequestHead(c);
    Respond(c, s, "HTTP/1.1 200 OK\r\n\r\n" + std::string(1000, 'a'));
    s.Stopping()->Wait(platform::kInfinite);  // stall with the connection open
  });
  // The time-out bounds the head's wait too: wide enough for a slow
  // (emulated) machine to answer, as the stall it measures is endless.
  DEVICE_INFO device = HttpTestDevice(server.Port(), "", "", 2000);
  Web::CHttpSender sender(&device);
  ASSERT_TRUE(HUtils::StartGetRequest(sender, "/stall"));
  std::vector<uint8_t> body;
  EXPECT_EQ(1000u, sender.ReadAll(body));
  EXPECT_EQ(std::vector<uint8_t>(1000, 'a'), body);
  EXPECT_TRUE(sender.LastReadTimedOut());
}

TEST(ScriptedHttp, AResponseThatNeverComesIsBoundedByTheTimeOut) {
  ScriptedServer server([](platform::TcpSocket& c, ScriptedServer& s) {
    s.ReadRequestHead(c);
    s.Stopping()->Wait(platform::kInfinite);
  });
  DEVICE_INFO device = HttpTestDevice(server.Port(), "", "", 400);
  Web::CHttpSender sender(&device);
  std::vector<uint8_t> body;
  auto start = Clock::now();
  CResultDef result = HUtils::RequestGetRD(sender, "/info.cgi", body, true);
  long elapsed = Ms(Clock::now() - start);
  EXPECT_EQ(11u, result.GetCode());
  EXPECT_GE(elapsed, 350);
  EXPECT_LT(elapsed, 3000);
}

TEST(ScriptedHttp, CloseRequestFromAnotherThreadEndsABlockedRead) {
  ScriptedServer server([](platform::TcpSocket& c, ScriptedServer& s) {
    s.ReadRequestHead(c);
    Respond(c, s, "HTTP/1.1 200 OK\r\nContent-Type: multipart/x-mixed-replace\r\n\r\nfirst");
    s.Stopping()->Wait(platform::kInfinite);
  });
  DEVICE_INFO device = HttpTestDevice(server.Port(), "", "", 20000);
  Web::CHttpSender sender(&device);
  ASSERT_TRUE(HUtils::StartGetRequest(sender, "/nph-mjpeg.cgi?fps=5"));
  std::vector<uint8_t> data;
  EXPECT_EQ(5u, sender.ReadSome(data, 8192, true));
  Clock::time_point closedAt;
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    closedAt = Clock::now();
    sender.CloseRequest();
  });
  EXPECT_EQ(0u, sender.ReadSome(data, 8192, true));
  long latency = Ms(Clock::now() - closedAt);
  stopper.join();
  EXPECT_FALSE(sender.LastReadTimedOut());
  EXPECT_LT(latency, 1000) << "the read must end on the close, long before the 20 s time-out";
  EXPECT_EQ(0u, sender.ReadSome(data, 8192, true)) << "the request is closed";
  RecordProperty("close_latency_ms", static_cast<int>(latency));
}

TEST(ScriptedHttp, StopEventEndsAWaitForTheHead) {
  ScriptedServer server([](platform::TcpSocket& c, ScriptedServer& s) {
    s.ReadRequestHead(c);
    s.Stopping()->Wait(platform::kInfinite);
  });
  DEVICE_INFO device = HttpTestDevice(server.Port(), "", "", 20000);
  Web::CHttpSender sender(&device);
  CManualEvent stop;
  sender.SetStopEvent(&stop);
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    stop.Set();
  });
  auto start = Clock::now();
  EXPECT_FALSE(HUtils::StartGetRequest(sender, "/nph-mjpeg.cgi?fps=5"));
  EXPECT_LT(Ms(Clock::now() - start), 2000);
  stopper.join();
}

// The channel's stop while a camera stalls in the middle of a picture.
TEST(ScriptedHttp, StopEventEndsAStalledBodyRead) {
  ScriptedServer server([](platform::TcpSocket& c, ScriptedServer& s) {
    s.ReadRequestHead(c);
    Respond(c, s, "HTTP/1.1 200 OK\r\nContent-Type: multipart/x-mixed-replace\r\n\r\n--frame\r\n");
    s.Stopping()->Wait(platform::kInfinite);
  });
  DEVICE_INFO device = HttpTestDevice(server.Port(), "", "", 20000);
  Web::CHttpSender sender(&device);
  CManualEvent stop;
  sender.SetStopEvent(&stop);
  ASSERT_TRUE(HUtils::StartGetRequest(sender, "/nph-mjpeg.cgi?fps=5"));
  std::vector<uint8_t> data;
  EXPECT_GT(sender.ReadSome(data, 8192, true), 0u);
  Clock::time_point stoppedAt;
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    stoppedAt = Clock::now();
    stop.Set();
  });
  EXPECT_EQ(0u, sender.ReadSome(data, 8192, true));
  long latency = Ms(Clock::now() - stoppedAt);
  stopper.join();
  EXPECT_FALSE(sender.LastReadTimedOut());
  EXPECT_LT(latency, 1000) << "the read must end on the stop, long before the 20 s time-out";
  RecordProperty("stop_latency_ms", static_cast<int>(latency));
}

TEST(ScriptedHttp, ReadSomePullsTheBodyAsItArrives) {
  ScriptedServer server([](platform::TcpSocket& c, ScriptedServer& s) {
    s.ReadRequestHead(c);
    Respond(c, s, "HTTP/1.1 200 OK\r\nContent-Length: 12\r\n\r\nabcd");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    Respond(c, s, "efgh");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    Respond(c, s, "ijkl");
  });
  DEVICE_INFO device = HttpTestDevice(server.Port());
  Web::CHttpSender sender(&device);
  ASSERT_TRUE(HUtils::StartGetRequest(sender, "/stream"));
  EXPECT_EQ(12u, sender.GetContentLength());
  std::vector<uint8_t> all;
  uint32_t reads = 0;
  while (sender.ReadSome(all, 3, false) > 0) ++reads;
  EXPECT_EQ("abcdefghijkl", std::string(all.begin(), all.end()));
  EXPECT_GE(reads, 4u) << "at most 3 bytes per read";
  EXPECT_EQ(0u, sender.QueryDataAvailable());
}

// A body that arrives faster than it is read grows the sender's buffer; a
// camera that records for months must not keep that room once its request is
// closed.
TEST(ScriptedHttp, ABurstsBufferIsGivenBackWhenTheRequestCloses) {
  const std::string body(600 * 1024, 'x');
  ScriptedServer server([&body](platform::TcpSocket& c, ScriptedServer& s) {
    while (s.ReadRequestHead(c).size() > 0) {
      Respond(c, s, "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
    }
  });
  DEVICE_INFO device = HttpTestDevice(server.Port());
  Web::CHttpSender sender(&device);
  sender.SetBufferSize(Web::CHttpSender::kStreamBuffer);
  constexpr size_t kKept = 64 * 1024;
  size_t largest = 0;
  // The burst is the socket's backlog read at once: give it time to build,
  // and try again if the system handed it over in small pieces.
  for (int attempt = 0; attempt < 5 && largest <= kKept; ++attempt) {
    ASSERT_TRUE(HUtils::StartGetRequest(sender, "/stream"));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    std::vector<uint8_t> some;
    for (int read = 0; read < 20 && sender.ReadSome(some, 1, true) > 0; ++read) {
      largest = std::max(largest, sender.BodyBufferCapacity());
    }
    sender.CloseRequest();
    EXPECT_LE(sender.BodyBufferCapacity(), kKept) << "attempt " << attempt << ": kept after the close";
  }
  ASSERT_GT(largest, kKept) << "no burst was buffered: nothing was tested";

  // With its room given back, the sender still reads a whole body.
  ASSERT_TRUE(HUtils::StartGetRequest(sender, "/stream"));
  std::vector<uint8_t> all;
  while (sender.ReadSome(all, 1000, false) > 0) {
  }
  EXPECT_EQ(body.size(), all.size()) << "the whole body still arrives";
}

TEST(ScriptedHttp, RefusedConnectionAndBadAddress) {
  uint16_t closedPort;
  {
    platform::TcpSocket probe;
    ASSERT_TRUE(probe.Listen(platform::LoopbackAddress(), 0));
    closedPort = probe.LocalPort();
  }
  DEVICE_INFO device = HttpTestDevice(closedPort);
  Web::CHttpSender sender(&device);
  std::vector<uint8_t> body;
  EXPECT_EQ(11u, HUtils::RequestGetRD(sender, "/info.cgi", body, true).GetCode());

  DEVICE_INFO odd("cam\"/evil?", 80, "", "");
  Web::CHttpSender refused(&odd);
  EXPECT_FALSE(refused.SendRequest(Web::HTTP_REQUEST("GET", "/info.cgi")));
  EXPECT_FALSE(sender.SendRequest(Web::HTTP_REQUEST("", "/info.cgi")));
  EXPECT_FALSE(sender.SendRequest(Web::HTTP_REQUEST("GET", "")));
}


TEST(ScriptedHttp, RedirectsFollowedOnlyWhenAllowed) {
  ScriptedServer server([](platform::TcpSocket& c, ScriptedServer& s) {
    for (;;) {
      std::string head = s.ReadRequestHead(c);
      if (head.empty()) return;
      if (head.find("GET /old ") == 0) {
        Respond(c, s, "HTTP/1.1 302 Found\r\nLocation: /new\r\nContent-Length: 0\r\n\r\n");
      } else {
        Respond(c, s, "HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\nnew");
      }
    }
  });
  DEVICE_INFO device = HttpTestDevice(server.Port());
  Web::CHttpSender sender(&device);
  Web::HTTP_REQUEST request("GET", "/old");  // default flags: bit 2 set, no redirects
  ASSERT_TRUE(sender.SendRequest(request));
  EXPECT_EQ(302u, sender.GetStatusCode());
  request.Flags &= ~4u;
  ASSERT_TRUE(sender.SendRequest(request));
  EXPECT_EQ(200u, sender.GetStatusCode());
  std::vector<uint8_t> body;
  sender.ReadAll(body);
  EXPECT_EQ("new", std::string(body.begin(), body.end()));
}


}  // namespace
