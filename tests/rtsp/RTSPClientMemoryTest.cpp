// The RTSP session thread when memory runs out: the thread ends, and the
// client says why, where before the channel could only report that the
// session brought no picture. Its own program: it replaces operator new.
#include <gtest/gtest.h>

#include "platform/Network.h"
#include "platform/Socket.h"
#include "rtsp/BaseRTSPClient.h"
#include "tests/support/RefusingAllocator.h"
#include "tests/support/TestUtil.h"

using namespace kestrum;

namespace {

std::string ReadHead(platform::TcpSocket& connection) {
  std::string head;
  char ch;
  while (head.size() < 65536) {
    size_t got = 0;
    if (connection.Receive(&ch, 1, got, 5000, nullptr) != platform::IoStatus::Ok) return std::string();
    head += ch;
    if (head.size() >= 4 && head.compare(head.size() - 4, 4, "\r\n\r\n") == 0) return head;
  }
  return std::string();
}

TEST(RTSPClientMemoryShortage, TheSessionThreadEndsAndTheClientSaysWhy) {
  platform::TcpSocket listener;
  ASSERT_TRUE(listener.Listen(platform::LoopbackAddress(), 0));
  RTSP_CLIENT_SETTINGS settings;
  settings.Host = "127.0.0.1";
  settings.ServerPort = listener.LocalPort();
  settings.Path = "nph-h264.cgi";
  settings.ClientRtpPort = 3556;
  settings.ClientRtcpPort = 3557;
  CBaseRTSPClient client(nullptr);
  ASSERT_TRUE(client.StartSession(settings, nullptr, kRtpModeUdp));
  platform::TcpSocket camera;
  ASSERT_EQ(platform::IoStatus::Ok, listener.Accept(camera, 5000, nullptr));
  const std::string describe = ReadHead(camera);
  ASSERT_EQ(0u, describe.rfind("DESCRIBE ", 0)) << describe;
  EXPECT_EQ("", client.LastFailure());

  // The answer comes, and nothing can be allocated to read it.
  kestrum::testing::RefuseAllocationsOnOtherThreads(true);
  const std::string sdp = "v=0\r\nm=video 0 RTP/AVP 96\r\na=rtpmap:96 H264/90000\r\na=control:trackID=1\r\n";
  ASSERT_EQ(platform::IoStatus::Ok,
            camera.SendAll("RTSP/1.0 200 OK\r\nCSeq: 1\r\nContent-Type: application/sdp\r\nContent-Length: " +
                               std::to_string(sdp.size()) + "\r\n\r\n" + sdp,
                           2000, nullptr));
  const bool ended = kestrum::testing::WaitUntil([&] { return !client.IsRunning(); }, 5000);
  kestrum::testing::RefuseAllocationsOnOtherThreads(false);
  ASSERT_TRUE(ended) << "the session thread went on without memory";
  EXPECT_EQ("the RTSP exchange stopped: not enough memory", client.LastFailure());
  client.StopSession();

  // The next session starts clean.
  ASSERT_TRUE(client.StartSession(settings, nullptr, kRtpModeUdp));
  platform::TcpSocket again;
  ASSERT_EQ(platform::IoStatus::Ok, listener.Accept(again, 5000, nullptr));
  EXPECT_EQ("", client.LastFailure());
  client.StopSession();
}

}  // namespace
