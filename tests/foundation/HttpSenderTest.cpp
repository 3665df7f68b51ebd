// The HTTP sender and RequestGetRD against a real server (lighttpd), and its
// TLS options; the scripted servers are in HttpScriptedTest.cpp.
#include <gtest/gtest.h>

#include <random>

#include "foundation/Event.h"
#include "foundation/HttpSender.h"
#include "foundation/HttpUtils.h"
#include "tests/foundation/HttpTestDevice.h"
#include "tests/support/LighttpdServer.h"

using namespace kestrum;
using kestrum::testing::HttpTestDevice;
using kestrum::testing::LighttpdServer;

namespace {

class RealServer : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!server_.Start()) GTEST_SKIP() << server_.Error();
    server_.PutFile("basic/secret.txt", "basic secret\n");
    server_.PutFile("digest/secret.txt", "digest secret\n");
    server_.PutFile("empty.txt", "");
  }
  LighttpdServer server_;
};

TEST_F(RealServer, WithoutCredentials) {
  DEVICE_INFO device = HttpTestDevice(server_.Port());
  Web::CHttpSender sender(&device);
  std::string text;
  EXPECT_TRUE(HUtils::RequestGetRD(sender, "/index.txt", text));
  EXPECT_EQ("hello from lighttpd\n", text);
  EXPECT_EQ(200u, sender.GetStatusCode());
  EXPECT_EQ(20u, sender.GetContentLength());
}

TEST_F(RealServer, BasicAndDigest) {
  DEVICE_INFO device = HttpTestDevice(server_.Port(), LighttpdServer::kUser, LighttpdServer::kPassword);
  Web::CHttpSender basic(&device);
  std::string text;
  EXPECT_TRUE(HUtils::RequestGetRD(basic, "/basic/secret.txt", text));
  EXPECT_EQ("basic secret\n", text);
  EXPECT_EQ(0u, basic.GetRememberedScheme()) << "Basic went with the first request, no 401";

  Web::CHttpSender digest(&device);
  EXPECT_TRUE(HUtils::RequestGetRD(digest, "/digest/secret.txt", text));
  EXPECT_EQ("digest secret\n", text);
  EXPECT_EQ(static_cast<uint32_t>(Web::kSchemeDigest), digest.GetRememberedScheme());
  EXPECT_TRUE(HUtils::RequestGetRD(digest, "/digest/secret.txt", text)) << "Digest is used for later requests";
  EXPECT_EQ("digest secret\n", text);
}

TEST_F(RealServer, WrongPassword) {
  DEVICE_INFO device = HttpTestDevice(server_.Port(), LighttpdServer::kUser, "wrong");
  std::vector<uint8_t> body;
  // Digest realm: the Basic attempt draws a Digest challenge, the Digest retry
  // is refused: credentials invalid.
  Web::CHttpSender digest(&device);
  CResultDef result = HUtils::RequestGetRD(digest, "/digest/secret.txt", body, true);
  EXPECT_EQ(10u, result.GetCode());
  EXPECT_EQ(1u, result.GetLevel());
  EXPECT_EQ("kestrum::HUtils::RequestGetRD: device 127.0.0.1:" + std::to_string(server_.Port()) +
                " is unable to process \"/digest/secret.txt\" request: credentials are invalid",
            result.GetMessage());
  // Basic realm: the 401 offers the scheme just used, so the request is not
  // retried and counts as not sent; the next request of the same sender is
  // refused as invalid credentials.
  Web::CHttpSender basic(&device);
  EXPECT_EQ(11u, HUtils::RequestGetRD(basic, "/basic/secret.txt", body, true).GetCode());
  EXPECT_EQ(10u, HUtils::RequestGetRD(basic, "/basic/secret.txt", body, true).GetCode());
}

TEST_F(RealServer, NotFoundAndEmptyBody) {
  DEVICE_INFO device = HttpTestDevice(server_.Port());
  Web::CHttpSender sender(&device);
  std::vector<uint8_t> body;
  CResultDef missing = HUtils::RequestGetRD(sender, "/missing.cgi", body, true);
  EXPECT_EQ(9u, missing.GetCode());
  EXPECT_EQ(1u, missing.GetLevel());
  EXPECT_EQ("kestrum::HUtils::RequestGetRD: The \"/missing.cgi\" URL was not found on device 127.0.0.1:" +
                std::to_string(server_.Port()),
            missing.GetMessage());

  CResultDef empty = HUtils::RequestGetRD(sender, "/empty.txt", body, true);
  EXPECT_EQ(12u, empty.GetCode());
  EXPECT_EQ(2u, empty.GetLevel());
  EXPECT_EQ("kestrum::HUtils::RequestGetRD: Incorrect response for request \"/empty.txt\" from device "
            "127.0.0.1:" + std::to_string(server_.Port()),
            empty.GetMessage());
  EXPECT_TRUE(HUtils::RequestGetRD(sender, "/empty.txt")) << "no body wanted: success";
}

TEST_F(RealServer, LargeBodyReadWholeOverOneKeptConnection) {
  std::string big(6 * 1024 * 1024 + 123, '\0');
  std::mt19937 random(42);
  for (char& ch : big) ch = static_cast<char>(random());
  server_.PutFile("big.bin", big);
  DEVICE_INFO device = HttpTestDevice(server_.Port());
  Web::CHttpSender sender(&device);
  std::vector<uint8_t> body;
  for (int i = 0; i < 3; ++i) {
    CResultDef result = HUtils::RequestGetRD(sender, "/big.bin", body, true);
    ASSERT_EQ(0u, result.GetCode()) << result.GetMessage();
    ASSERT_EQ(big.size(), body.size());
    EXPECT_TRUE(std::string(body.begin(), body.end()) == big) << "the body differs from the file";
  }
  std::string text;
  EXPECT_TRUE(HUtils::RequestGetRD(sender, "/index.txt", text));
  EXPECT_EQ(1u, sender.GetConnectionsOpened()) << "the sender keeps and reuses its connection";
}

}  // namespace

namespace {

TEST(TlsHttp, SecureRequestsVerifyUnlessToldNotTo) {
  LighttpdServer server;
  if (!server.Start(true)) GTEST_SKIP() << server.Error();
  DEVICE_INFO device = HttpTestDevice(server.Port());
  Web::CHttpSender sender(&device);

  Web::HTTP_REQUEST verified("GET", "/index.txt");
  verified.Secure = 1;
  EXPECT_FALSE(sender.SendRequest(verified)) << "a self-signed certificate is refused by default";

  Web::HTTP_REQUEST trusting("GET", "/index.txt");
  trusting.Secure = 1;
  trusting.Flags |= 2;  // ignore certificate errors
  ASSERT_TRUE(sender.SendRequest(trusting));
  EXPECT_EQ(200u, sender.GetStatusCode());
  std::vector<uint8_t> body;
  sender.ReadAll(body);
  EXPECT_EQ("hello from lighttpd\n", std::string(body.begin(), body.end()));

  Web::HTTP_REQUEST plain("GET", "/index.txt");
  EXPECT_TRUE(!sender.SendRequest(plain) || sender.GetStatusCode() != 200) << "plain HTTP to a TLS port fails";
}

}  // namespace
