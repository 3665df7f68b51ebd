// The H.264 channel against the simulator's RTSP side, with a test driver
// whose time-outs are short (ConnectTimeout and StreamTimeout 2000 ms).
#include "channels/H264ChannelRTSP.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

#include "channels/TimeStampConverter.h"
#include "parsers/HostFrameWriter.h"
#include "platform/Socket.h"
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
using Clock = std::chrono::steady_clock;

namespace {

constexpr uint64_t kMs = 10000;  // one millisecond in 100-ns units

TEST(TimeStampConverter, FollowsTheClockAndNeverGoesBack) {
  CTimeStampConverter converter;
  const uint64_t start = 133000000000000000ull;
  converter.Convert(0, start);
  EXPECT_EQ(0u, converter.FrameTime()) << "timestamp 0 changes nothing";
  converter.Convert(90000, start);
  EXPECT_EQ(start, converter.FrameTime());
  converter.Convert(93600, start + 40 * kMs);
  EXPECT_EQ(start + 40 * kMs, converter.FrameTime()) << "arrival time";
  converter.Convert(93600, start + 80 * kMs);
  EXPECT_EQ(start + 41 * kMs, converter.FrameTime()) << "an equal timestamp: 1 ms after the last";
  EXPECT_EQ(1u, converter.Debt());
  converter.Convert(90000, start + 120 * kMs);
  EXPECT_EQ(start + 42 * kMs, converter.FrameTime()) << "a smaller timestamp too";
  EXPECT_EQ(2u, converter.Debt());
  converter.Convert(97200, start + 160 * kMs);
  EXPECT_EQ(start + 159 * kMs, converter.FrameTime()) << "debt: 1 ms before arrival";
  EXPECT_EQ(1u, converter.Debt());
  converter.Convert(100800, start + 159 * kMs + kMs / 2);
  EXPECT_EQ(start + 160 * kMs, converter.FrameTime()) << "arriving within 1 ms of the last time";
  EXPECT_EQ(2u, converter.Debt());
  converter.Convert(104400, start + 240 * kMs);
  converter.Convert(108000, start + 280 * kMs);
  EXPECT_EQ(start + 279 * kMs, converter.FrameTime()) << "the last millisecond of debt";
  EXPECT_EQ(0u, converter.Debt());
  converter.Convert(111600, start + 320 * kMs);
  EXPECT_EQ(start + 320 * kMs, converter.FrameTime());
}

TEST(EncoderSettingsRequest, ComposesOnlyWhatDiffers) {
  FakeDriver driver;
  const std::string aligned =
      "resolution=1\r\nquality=60\r\nh264_framerate=25\r\nh264_keyframe=24\r\nh264_cbr=0\r\nh264_quality=22\r\n";
  EXPECT_EQ("", BuildEncoderSettingsRequest(driver, Params(40, 60, 1280, 720), aligned));
  EXPECT_EQ("/admin.cgi?image&h264_framerate=1&h264_keyframe=1",
            BuildEncoderSettingsRequest(driver, Params(1000, 60, 1280, 720), aligned));
  EXPECT_EQ("/admin.cgi?image&h264_framerate=1&h264_keyframe=1",
            BuildEncoderSettingsRequest(driver, Params(0, 60, 1280, 720), aligned));
  EXPECT_EQ("/admin.cgi?image&resolution=0&h264_quality=2",
            BuildEncoderSettingsRequest(driver, Params(40, 100, 640, 480), aligned));
  EXPECT_EQ("/admin.cgi?image&resolution=3&h264_framerate=10&h264_keyframe=9&h264_cbr=0&h264_quality=52",
            BuildEncoderSettingsRequest(driver, Params(100, 0, 320, 240), ""));
}

// Exposes the session steps to the tests.
class TestChannel : public CH264ChannelRTSP {
 public:
  using CH264ChannelRTSP::CH264ChannelRTSP;
  // The capture thread calls this class's lookup: it must end first.
  ~TestChannel() override { StopCaptureThread(); }
  using CBaseRTPChannel::SetFirstRtpPort;
  bool OpenTransport() { return CBaseRTPChannel::OpenSession(); }
  void CloseTransport() { CBaseRTPChannel::CloseSession(); }
  uint16_t RtpPort() { return Receiver().GetPort(); }
  uint16_t RtcpPort() { return Rtcp().GetPort(); }
  RTSP_CLIENT_SETTINGS Settings() { return BuildSessionSettings(); }
  void RequestStop() { StopEvent().Set(); }

  // Lookups fail while failLookups is set, as with a name server that is
  // down for a while.
  std::atomic<bool> failLookups{false};
  std::atomic<int> lookups{0};

 protected:
  uint32_t LookupAddress(const std::string& host) override {
    ++lookups;
    return failLookups ? 0 : CBaseRTPChannel::LookupAddress(host);
  }
};

class H264Channel : public ChannelSimTest<TestChannel> {
 protected:
  void SetUp() override {
    ChannelSimTest::SetUp();
    driver_.streamKind = 3;
  }
  void MakeChannel() {
    channel_ = std::make_unique<TestChannel>(0, &driver_, &sink_);
    // Each test process probes its own range, away from other tests' ports.
    channel_->SetFirstRtpPort(FreePortPairs());
  }
  void UseMode(const char* mode) {
    std::ofstream(dir_.File("QuellonIPCapture.xml"))
        << "<Configuration><Device><RTPMode>" << mode << "</RTPMode></Device></Configuration>";
    driver_.hostDirectory = dir_.Path() + "/";
  }
  static uint16_t FreePortPairs() {
    platform::UdpSocket probe;
    probe.Bind(0, 0);
    return static_cast<uint16_t>(probe.LocalPort() & ~1u);
  }

  TempDir dir_;
};

TEST_F(H264Channel, StreamsInEveryTransportMode) {
  for (const char* mode : {"rtpoverudp", "rtpovertcp", "rtpoverrtsp"}) {
    SCOPED_TRACE(mode);
    UseMode(mode);
    host::CollectingFrameSink sink(false);
    channel_ = std::make_unique<TestChannel>(0, &driver_, &sink);
    channel_->SetFirstRtpPort(FreePortPairs());
    ASSERT_TRUE(channel_->Start(Params(40, 60, 640, 480)));
    ASSERT_TRUE(sink.WaitForFrames(30, 15000));
    EXPECT_EQ(Streaming, channel_->GetStatus());
    const auto frames = sink.Frames();
    EXPECT_EQ(host::MakeFourCC("H264"), frames[0].fourCC) << "the first picture is a key frame";
    size_t keys = 0;
    for (const auto& frame : frames) {
      EXPECT_EQ(640u, frame.width);
      EXPECT_EQ(480u, frame.height);
      keys += frame.fourCC == host::MakeFourCC("H264");
    }
    EXPECT_GE(keys, 1u);
    EXPECT_LT(keys, frames.size());
    const std::string transport = SimState()["rtsp_sessions"].back()["transport"];
    EXPECT_EQ(std::string(mode) == "rtpoverudp" ? "udp" : "interleaved", transport);
    channel_->Stop();
    channel_.reset();
    EXPECT_EQ(0, driver_.allocator.Outstanding());
  }
  EXPECT_EQ(3u, driver_.Matching("is online").size());
}

TEST_F(H264Channel, SessionSettingsComeFromTheDeviceAndTheDriver) {
  MakeChannel();
  driver_.device.UserName = "operator";
  driver_.device.Password = "pw";
  RTSP_CLIENT_SETTINGS settings = channel_->Settings();
  EXPECT_EQ(sim_->RtspPort(0), settings.ServerPort);
  EXPECT_EQ("nph-h264.cgi", settings.Path);
  EXPECT_EQ("127.0.0.1", settings.Host);
  EXPECT_EQ("operator", settings.UserName);
  EXPECT_EQ(driver_.device.ConnectTimeout, settings.ReceiveTimeout);
  EXPECT_EQ(0, settings.ClientRtpPort) << "no transport open";
  driver_.rtspPort = IDriver::kNoNumber;
  EXPECT_EQ(554, channel_->Settings().ServerPort);
}

TEST_F(H264Channel, PortProbingSkipsAPairWhereTheCameraAlreadySends) {
  MakeChannel();
  const uint16_t base = FreePortPairs();
  channel_->SetFirstRtpPort(base);
  std::atomic<bool> sending{true};
  std::thread camera([&] {
    platform::UdpSocket socket;
    socket.Bind(0, 0);
    const uint8_t packet[] = {0x80, 0x60, 0, 1, 0, 0, 0, 1, 1, 2, 3, 4, 0x41, 0x9A};
    while (sending) {
      socket.SendTo({platform::LoopbackAddress(), base}, packet, sizeof packet);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  const bool opened = channel_->OpenTransport();
  sending = false;
  camera.join();
  ASSERT_TRUE(opened);
  EXPECT_EQ(base + 2, channel_->RtpPort());
  EXPECT_EQ(base + 3, channel_->RtcpPort());
  EXPECT_EQ(base + 2, channel_->Settings().ClientRtpPort);
  EXPECT_EQ(base + 3, channel_->Settings().ClientRtcpPort);
  channel_->CloseTransport();

  // A stop request ends the probing at the next pair.
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    channel_->RequestStop();
  });
  const auto start = Clock::now();
  EXPECT_FALSE(channel_->OpenTransport());
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1500));
  stopper.join();
}

TEST_F(H264Channel, SilenceReopensAtHalfTheTimeoutAndReportsLossAtTheFull) {
  MakeChannel();
  ASSERT_TRUE(channel_->Start(Params(40, 60, 640, 480)));
  ASSERT_TRUE(sink_.WaitForFrames(10, 15000));
  // A slow start (the sanitizers) may already have reported a loss before
  // the first picture: count from the stall on.
  const uint32_t lossesBefore = sink_.SignalLossCount();
  const size_t sessionsBefore = SimState()["rtsp_sessions"].size();
  const size_t onlineBefore = driver_.Matching("is online").size();
  Fault("stall", 1);
  const auto stalled = Clock::now();
  ASSERT_TRUE(WaitUntil([&] { return sink_.SignalLossCount() > lossesBefore; }, 10000));
  EXPECT_GE(Clock::now() - stalled, std::chrono::milliseconds(1800)) << "not before StreamTimeout";
  EXPECT_GT(SimState()["rtsp_sessions"].size(), sessionsBefore) << "reopened silently at half the time-out";
  // The host is told before the line is written: wait for the line itself.
  EXPECT_TRUE(WaitUntil([&] { return !driver_.Matching("Signal was lost").empty(); }, 2000));
  EXPECT_EQ(1u, driver_.Matching("Signal was lost").size()) << "told once, while the camera was online";
  Fault("stall", 0);
  const uint64_t before = sink_.FrameCount();
  ASSERT_TRUE(sink_.WaitForFrames(before + 10, 15000));
  EXPECT_EQ(onlineBefore + 1, driver_.Matching("is online").size());
}

// A camera that closes the RTSP connection keeps a UDP session, and its
// time-out: the keep-alive must go over a new connection, or the pictures
// stop when the session ends (a 10-second outage a minute after the close).
TEST_F(H264Channel, ASessionOverUdpOutlivesItsControlConnection) {
  sim_->Stop();
  sim::SimOptions options;
  options.rtspTimeout = 4;
  sim_ = std::make_unique<sim::Simulator>(options);
  std::string error;
  ASSERT_TRUE(sim_->Start(error)) << error;
  driver_.device.Port = sim_->HttpPort(0);
  driver_.rtspPort = sim_->RtspPort(0);
  MakeChannel();
  std::mutex mutex;
  Clock::time_point last = Clock::now();
  Clock::duration longest{};
  std::atomic<bool> watching{false};
  sink_.SetObserver([&](const host::HeapFrame&) {
    std::lock_guard<std::mutex> lock(mutex);
    const Clock::time_point now = Clock::now();
    if (watching) longest = std::max(longest, now - last);
    last = now;
  });
  ASSERT_TRUE(channel_->Start(Params(100, 60, 320, 240)));
  ASSERT_TRUE(sink_.WaitForFrames(10, 15000));
  const size_t sessions = SimState()["rtsp_sessions"].size();
  // The camera drops the connection within a read slice.
  Fault("drop", 1);
  WaitUntil([] { return false; }, 300);
  Fault("drop", 0);
  watching = true;
  // Three of the camera's time-outs.
  WaitUntil([] { return false; }, 12000);
  watching = false;
  std::lock_guard<std::mutex> lock(mutex);
  EXPECT_LT(longest, std::chrono::milliseconds(1500))
      << "longest pause " << std::chrono::duration_cast<std::chrono::milliseconds>(longest).count() << " ms";
  EXPECT_EQ(sessions, SimState()["rtsp_sessions"].size()) << "the same session went on";
}

TEST_F(H264Channel, TheAddressIsLookedUpAtEveryOpening) {
  MakeChannel();
  channel_->failLookups = true;
  ASSERT_TRUE(channel_->Start(Params(40, 60, 640, 480)));
  ASSERT_TRUE(WaitUntil([&] { return channel_->lookups.load() >= 2; }, 5000)) << "one lookup per opening";
  EXPECT_EQ(0u, sink_.FrameCount()) << "over UDP nothing is accepted without the address";
  channel_->failLookups = false;
  EXPECT_TRUE(sink_.WaitForFrames(10, 15000)) << "the channel hears the camera once the name resolves";
}

TEST_F(H264Channel, ParameterSetsOnlyInTheSessionDescriptionStillRecord) {
  Fault("no_inband_sets", 1);
  MakeChannel();
  ASSERT_TRUE(channel_->Start(Params(40, 60, 640, 480)));
  ASSERT_TRUE(sink_.WaitForFrames(30, 15000));
  EXPECT_EQ(host::MakeFourCC("H264"), sink_.Frames()[0].fourCC);
}

TEST_F(H264Channel, WhyASessionFailsIsToldOncePerReason) {
  // A login the camera refuses: DESCRIBE answered 401, for every retry.
  UseMode("rtpoverrtsp");
  Fault("rtsp_401", 1);
  MakeChannel();
  ASSERT_TRUE(channel_->Start(Params(40, 60, 320, 240)));
  ASSERT_TRUE(WaitUntil([&] { return sink_.SignalLossCount() >= 1; }, 15000)) << "several attempts by then";
  ASSERT_TRUE(WaitUntil([&] { return !driver_.Matching("ReportFailure").empty(); }, 5000));
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // more retries, no more lines
  channel_->Stop();
  auto reasons = driver_.Matching("ReportFailure");
  ASSERT_EQ(1u, reasons.size());
  EXPECT_EQ("kestrum::CBaseCameraChannel::ReportFailure: Camera 127.0.0.1: DESCRIBE answered 401 (login refused)",
            reasons[0].text);

  // A camera that takes the session but sends nothing: the transport named.
  Fault("rtsp_401", 0);
  Fault("stall", 1);
  UseMode("rtpoverudp");
  ASSERT_TRUE(channel_->Start(Params(40, 60, 320, 240)));
  ASSERT_TRUE(WaitUntil([&] { return driver_.Matching("ReportFailure").size() >= 2; }, 15000));
  channel_->Stop();
  reasons = driver_.Matching("ReportFailure");
  EXPECT_NE(std::string::npos,
            reasons.back().text.find("the session brought no picture within 2000 ms over RTP/UDP to port "))
      << reasons.back().text;
}

TEST_F(H264Channel, StopDuringTheSessionReturnsPromptly) {
  UseMode("rtpoverrtsp");
  MakeChannel();
  ASSERT_TRUE(channel_->Start(Params(40, 60, 640, 480)));
  ASSERT_TRUE(sink_.WaitForFrames(5, 15000));
  const auto start = Clock::now();
  channel_->Stop();
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(2500));
  // The camera records the TEARDOWN on a thread of its own.
  WaitUntil([&] { return SimState()["rtsp_sessions"].back()["state"] == "torn down"; }, 5000);
  const nlohmann::json session = SimState()["rtsp_sessions"].back();
  EXPECT_EQ("torn down", session["state"]) << session.dump();
}

}  // namespace
