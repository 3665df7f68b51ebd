// How deep the channels' threads go into the stack the library reserves for
// them: Motion JPEG and H.264 in each RTP mode, with Digest logins and a few
// camera faults, must leave at least half of every thread's stack unused
// (the margin that the reservation's size relies on). The depth of each
// kind is printed, for the figures the reservation is chosen by.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <string>

#include "channels/H264ChannelRTSP.h"
#include "channels/MJPEGHttpChannel.h"
#include "platform/Thread.h"
#include "platform/UdpSocket.h"
#include "tests/channels/ChannelTestSupport.h"
#include "tests/support/CurlClient.h"
#include "tests/support/FakeDriver.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestUtil.h"
#include "tools/camera-sim/Simulator.h"
#include "tools/hostlib/HostFrames.h"

using namespace kestrum;
using namespace kestrum::testing;

namespace {

class H264Channel : public CH264ChannelRTSP {
 public:
  using CH264ChannelRTSP::CH264ChannelRTSP;
  ~H264Channel() override { StopCaptureThread(); }
  using CBaseRTPChannel::SetFirstRtpPort;
};

TEST(StackDepth, EveryChannelThreadLeavesHalfItsStackUnused) {
  platform::EnableStackMeasurement();
  sim::SimOptions options;
  options.auth.mode = sim::AuthMode::Digest;
  sim::Simulator sim(options);
  std::string error;
  ASSERT_TRUE(sim.Start(error)) << error;
  const std::string control = "http://127.0.0.1:" + std::to_string(sim.HttpPort(0)) + "/sim/fault?name=";
  TempDir dir;
  FakeDriver driver;
  driver.device.Port = sim.HttpPort(0);
  driver.device.UserName = "admin";
  driver.device.Password = "admin";
  driver.rtspPort = sim.RtspPort(0);
  driver.hostDirectory = dir.Path() + "/";

  {
    driver.streamKind = 1;
    host::CollectingFrameSink sink(false);
    CMJPEGHttpChannel channel(0, &driver, &sink);
    ASSERT_TRUE(channel.Start(Params(100, 60, 640, 480)));
    EXPECT_TRUE(WaitUntil([&] { return sink.FrameCount() >= 5; }, 60000));
    CurlGet(control + "garbage&value=1");
    WaitUntil([] { return false; }, 500);
    CurlGet(control + "garbage&value=0");
    channel.Stop();
  }
  driver.streamKind = 3;
  for (const char* mode : {"rtpoverudp", "rtpovertcp", "rtpoverrtsp"}) {
    SCOPED_TRACE(mode);
    std::ofstream(dir.File("QuellonIPCapture.xml"))
        << "<Configuration><Device><RTPMode>" << mode << "</RTPMode></Device></Configuration>";
    host::CollectingFrameSink sink(false);
    H264Channel channel(0, &driver, &sink);
    platform::UdpSocket probe;
    probe.Bind(0, 0);
    channel.SetFirstRtpPort(static_cast<uint16_t>(probe.LocalPort() & ~1u));
    probe.Close();
    ASSERT_TRUE(channel.Start(Params(40, 60, 640, 480)));
    EXPECT_TRUE(WaitUntil([&] { return sink.FrameCount() >= 25; }, 60000)) << sink.FrameCount();
    // Reordered and lost packets go through the reorder window over UDP.
    CurlGet(control + "udp_reorder&value=5");
    CurlGet(control + "udp_loss&value=2");
    WaitUntil([] { return false; }, 1000);
    CurlGet(control + "udp_reorder&value=0");
    CurlGet(control + "udp_loss&value=0");
    channel.Stop();
  }
  sim.Stop();

  const std::vector<platform::StackUse> uses = platform::MeasuredStackUse();
  bool capture = false;
  bool rtsp = false;
  for (const platform::StackUse& use : uses) {
    std::printf("%-22s deepest %6zu of %7zu bytes (%u threads)\n", use.kind.c_str(), use.deepest, use.reserved,
                use.threads);
    EXPECT_LE(use.deepest, use.reserved / 2) << use.kind;
    EXPECT_GT(use.deepest, 1024u) << use.kind << ": nothing was measured";
    // Less the system's guard page and thread-local storage.
    EXPECT_GE(use.reserved, platform::kThreadStackBytes * 3 / 4) << use.kind;
    capture = capture || use.kind == "capture";
    rtsp = rtsp || use.kind == "RTSP Client Thread";
  }
  EXPECT_TRUE(capture && rtsp) << "both thread kinds were measured";
}

}  // namespace
