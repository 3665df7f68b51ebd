// The Motion JPEG channel against the simulator, with a test driver whose
// time-outs are short (ConnectTimeout and StreamTimeout 2000 ms).
#include "channels/MJPEGHttpChannel.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>

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

TEST(ImageSettingsRequest, ComposesOnlyWhatDiffers) {
  FakeDriver driver;
  const std::string camera = "resolution=0\r\nquality=60\r\nbrightness=50\r\n";
  EXPECT_EQ("", BuildImageSettingsRequest(driver, Params(40, 50, 640, 480), camera)) << "both already right";
  EXPECT_EQ("/admin.cgi?image&quality=100", BuildImageSettingsRequest(driver, Params(40, 100, 640, 480), camera));
  EXPECT_EQ("/admin.cgi?image&quality=20", BuildImageSettingsRequest(driver, Params(40, 0, 640, 480), camera));
  EXPECT_EQ("/admin.cgi?image&resolution=1&quality=84",
            BuildImageSettingsRequest(driver, Params(40, 80, 1280, 720), camera))
      << "resolution first";
  EXPECT_EQ("", BuildImageSettingsRequest(driver, Params(40, 50, 800, 600), camera))
      << "a size the camera does not list sends no resolution item";
  EXPECT_EQ("/admin.cgi?image&resolution=3&quality=60", BuildImageSettingsRequest(driver, Params(40, 50, 320, 240), ""));
}

class MjpegChannel : public ChannelSimTest<CMJPEGHttpChannel> {
 protected:
  void MakeChannel() { channel_ = std::make_unique<CMJPEGHttpChannel>(0, &driver_, &sink_); }
  std::vector<std::string> RequestPaths() {
    std::vector<std::string> paths;
    const nlohmann::json state = SimState();
    for (const auto& r : state["requests"]) paths.push_back(r["path"]);
    return paths;
  }
};

TEST_F(MjpegChannel, AlignsSettingsStreamsAndLogsTheCameraState) {
  MakeChannel();
  ASSERT_TRUE(channel_->Start(Params(100, 80, 1280, 720)));
  ASSERT_TRUE(sink_.WaitForFrames(5, 10000));
  EXPECT_EQ(Streaming, channel_->GetStatus());
  const std::vector<std::string> paths = RequestPaths();
  ASSERT_GE(paths.size(), 3u);
  EXPECT_EQ("/admin.cgi?image&_", paths[0]);
  EXPECT_EQ("/admin.cgi?image&resolution=1&quality=84", paths[1]);
  EXPECT_EQ("/nph-mjpeg.cgi?fps=10", paths[2]);
  for (const auto& frame : sink_.Frames()) {
    EXPECT_EQ(1280u, frame.width);
    EXPECT_EQ(720u, frame.height);
    EXPECT_EQ(host::MakeFourCC("JPEG"), frame.fourCC);
    EXPECT_EQ(4u, frame.sizeClass);
  }
  auto online = driver_.Matching("is online");
  ASSERT_EQ(1u, online.size());
  EXPECT_EQ(3u, online[0].level);
  EXPECT_EQ("kestrum::CBaseCameraChannel::SetCameraState: Camera 127.0.0.1 is online", online[0].text);

  channel_->Stop();
  EXPECT_EQ(Stopped, channel_->GetStatus());
  auto stopped = driver_.Matching("Channel was stopped");
  ASSERT_EQ(1u, stopped.size());
  EXPECT_EQ("kestrum::CBaseCameraChannel::SetCameraState: Camera 127.0.0.1 is offline. Channel was stopped",
            stopped[0].text);
  EXPECT_EQ(3u, stopped[0].level);
  EXPECT_EQ(0, driver_.allocator.Outstanding());
}

TEST_F(MjpegChannel, ClosedStreamIsReopenedAtOnceWithoutALogLine) {
  MakeChannel();
  ASSERT_TRUE(channel_->Start(Params(40, 60, 640, 480)));
  // The first pictures first: under a sanitizer the simulator may take
  // longer than the 2 s StreamTimeout to make its picture set, which is a
  // (correct) loss before any picture, not what this test is about.
  ASSERT_TRUE(sink_.WaitForFrames(2, 15000));
  const uint32_t lossesBefore = sink_.SignalLossCount();
  const int streamsBefore = SimState()["counters"]["streams_opened"].get<int>();
  Fault("close_after", 4);
  ASSERT_TRUE(sink_.WaitForFrames(2 + 16, 20000));
  EXPECT_GE(SimState()["counters"]["streams_opened"].get<int>() - streamsBefore, 3);
  EXPECT_EQ(lossesBefore, sink_.SignalLossCount());
  EXPECT_TRUE(driver_.Matching("offline").empty());
  EXPECT_TRUE(driver_.Matching("lost").empty());
}

TEST_F(MjpegChannel, SignalLossThenRetryEveryFiveSecondsThenRecovery) {
  MakeChannel();
  ASSERT_TRUE(channel_->Start(Params(100, 60, 640, 480)));
  ASSERT_TRUE(sink_.WaitForFrames(3, 10000));
  Fault("stall", 1);
  const auto stalled = Clock::now();
  // The host is told before the line is written: wait for the line itself.
  ASSERT_TRUE(WaitUntil([&] { return !driver_.Matching("Signal was lost").empty(); }, 8000));
  const auto lostAfter = Clock::now() - stalled;
  EXPECT_GE(lostAfter, std::chrono::milliseconds(1800)) << "not before StreamTimeout";
  EXPECT_GE(sink_.SignalLossCount(), 1u);
  EXPECT_EQ(SignalLost, channel_->GetStatus());
  auto lost = driver_.Matching("Signal was lost");
  ASSERT_EQ(1u, lost.size());
  EXPECT_EQ(1u, lost[0].level);
  EXPECT_EQ("kestrum::CBaseCameraChannel::SetCameraState: Signal was lost for camera 127.0.0.1", lost[0].text);

  // Lost: each further attempt waits 5 s, and each failure repeats the notice
  // to the host but not the log line.
  const int opened = SimState()["counters"]["streams_opened"].get<int>();
  std::this_thread::sleep_for(std::chrono::milliseconds(8000));
  const int reopened = SimState()["counters"]["streams_opened"].get<int>() - opened;
  EXPECT_GE(reopened, 1);
  EXPECT_LE(reopened, 2) << "one attempt per 5 s wait plus its 2 s time-out";
  EXPECT_GE(sink_.SignalLossCount(), 2u);
  EXPECT_EQ(1u, driver_.Matching("Signal was lost").size());

  Fault("stall", 0);
  const uint64_t before = sink_.FrameCount();
  ASSERT_TRUE(sink_.WaitForFrames(before + 3, 12000));
  EXPECT_EQ(Streaming, channel_->GetStatus());
  EXPECT_TRUE(WaitUntil([&] { return driver_.Matching("is online").size() >= 2; }, 2000));
  EXPECT_EQ(2u, driver_.Matching("is online").size());
}

TEST_F(MjpegChannel, ACameraThatAcceptsStreamsButStallsIsReportedLost) {
  // As in production, a stalled read gives up (ConnectTimeout) well before
  // the stream counts as silent (StreamTimeout); reopening must not hide that.
  driver_.device.ConnectTimeout = 700;
  driver_.device.StreamTimeout = 2500;
  MakeChannel();
  ASSERT_TRUE(channel_->Start(Params(100, 60, 640, 480)));
  ASSERT_TRUE(sink_.WaitForFrames(2, 10000));
  Fault("stall", 1);
  ASSERT_TRUE(WaitUntil([&] { return !driver_.Matching("Signal was lost").empty(); }, 8000));
  EXPECT_GE(sink_.SignalLossCount(), 1u);
  EXPECT_EQ(1u, driver_.Matching("Signal was lost").size());
  EXPECT_GE(SimState()["counters"]["streams_opened"].get<int>(), 2) << "it was reopened meanwhile";
}

TEST_F(MjpegChannel, StopDuringABlockedReadReturnsPromptly) {
  MakeChannel();
  driver_.device.ConnectTimeout = 20000;  // only the stop can end the read early
  driver_.device.StreamTimeout = 60000;
  ASSERT_TRUE(channel_->Start(Params(100, 60, 640, 480)));
  ASSERT_TRUE(sink_.WaitForFrames(2, 10000));
  Fault("stall", 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // now blocked in a read
  const auto start = Clock::now();
  channel_->Stop();
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  EXPECT_LT(took, 1000) << "the read must end on the stop, not on its 20 s time-out";
  RecordProperty("stop_ms", static_cast<int>(took));
  EXPECT_TRUE(driver_.Matching("cannot be stopped").empty());
}

TEST_F(MjpegChannel, RestartKeepsTheQualityOfStart) {
  MakeChannel();
  ASSERT_TRUE(channel_->Start(Params(100, 100, 640, 480)));
  ASSERT_TRUE(sink_.WaitForFrames(2, 10000));
  ASSERT_EQ(200, CurlGet(SimUrl("/sim/settings?quality=20")).status);
  ASSERT_EQ(200, CurlGet(SimUrl("/sim/reset")).status);
  StreamParams restart = Params(200, 0, 320, 240);
  ASSERT_TRUE(channel_->Restart(restart));
  ASSERT_TRUE(WaitUntil([&] { return RequestPaths().size() >= 3; }, 10000));
  const std::vector<std::string> paths = RequestPaths();
  EXPECT_EQ("/admin.cgi?image&resolution=3&quality=100", paths[1]);
  EXPECT_EQ("/nph-mjpeg.cgi?fps=5", paths[2]);
}

TEST_F(MjpegChannel, RefusedSettingsBlockTheStreamUnlessTheFileTurnsUpdatesOff) {
  Fault("refuse_settings", 1);
  MakeChannel();
  ASSERT_TRUE(channel_->Start(Params(100, 90, 640, 480)));
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_EQ(0u, sink_.FrameCount());
  channel_->Stop();
  for (const std::string& path : RequestPaths()) EXPECT_NE(0u, path.find("/nph-mjpeg.cgi")) << "never opened";

  TempDir dir;
  std::ofstream(dir.File("QuellonIPCapture.xml"))
      << "<Configuration><Device><UpdateSettings>false</UpdateSettings></Device></Configuration>";
  driver_.hostDirectory = dir.Path() + "/";
  ASSERT_EQ(200, CurlGet(SimUrl("/sim/reset")).status);
  Fault("refuse_settings", 1);
  ASSERT_TRUE(channel_->Start(Params(100, 90, 640, 480)));
  ASSERT_TRUE(sink_.WaitForFrames(3, 10000)) << "the file is read before the first opening";
  EXPECT_EQ("/nph-mjpeg.cgi?fps=10", RequestPaths().front()) << "no settings request at all";
}

TEST_F(MjpegChannel, AConfigurationFileTooLargeToReadIsToldOnceAndTheDefaultsApply) {
  TempDir dir;
  std::ofstream(dir.File("QuellonIPCapture.xml"))
      << "<Configuration><Device><UpdateSettings>false</UpdateSettings></Device></Configuration><!--"
      << std::string(1u << 20, ' ') << "-->";
  driver_.hostDirectory = dir.Path() + "/";
  Fault("close_after", 3);  // several openings, each reading the file again
  MakeChannel();
  ASSERT_TRUE(channel_->Start(Params(40, 60, 640, 480)));
  ASSERT_TRUE(sink_.WaitForFrames(10, 15000));
  EXPECT_GE(SimState()["counters"]["streams_opened"].get<int>(), 3);
  EXPECT_EQ("/admin.cgi?image&_", RequestPaths().front()) << "the defaults: settings are aligned";
  const auto lines = driver_.Matching("was not read");
  ASSERT_EQ(1u, lines.size());
  EXPECT_EQ(2u, lines[0].level);
  EXPECT_EQ("kestrum::CBaseCameraChannel::LoadDeviceSettings: " + dir.Path() +
                "/QuellonIPCapture.xml is larger than 1048576 bytes and was not read; the defaults apply",
            lines[0].text);
}

TEST_F(MjpegChannel, ErrorAnswersAreRetriedCalmlyAndEndInSignalLoss) {
  // Every page answers 500: the settings exchange fails. Then, with updates
  // off, the stream request itself gets the error page. Neither may turn
  // into a tight loop of requests, and both end in signal loss.
  for (bool updatesOff : {false, true}) {
    TempDir dir;
    if (updatesOff) {
      std::ofstream(dir.File("QuellonIPCapture.xml"))
          << "<Configuration><Device><UpdateSettings>false</UpdateSettings></Device></Configuration>";
      driver_.hostDirectory = dir.Path() + "/";
    }
    ASSERT_EQ(200, CurlGet(SimUrl("/sim/reset")).status);
    Fault("error500", 1);
    host::CollectingFrameSink sink(false);
    CMJPEGHttpChannel channel(0, &driver_, &sink);
    ASSERT_TRUE(channel.Start(Params(100, 60, 640, 480)));
    std::this_thread::sleep_for(std::chrono::milliseconds(3500));
    const int requests = SimState()["counters"]["http_requests"].get<int>();
    EXPECT_GE(requests, 2) << "updates off: " << updatesOff;
    EXPECT_LE(requests, 8) << "about one attempt per second, then one per 5 s; updates off: " << updatesOff;
    EXPECT_EQ(0u, sink.FrameCount());
    EXPECT_GE(sink.SignalLossCount(), 1u) << "lost after StreamTimeout; updates off: " << updatesOff;
    EXPECT_NE(Streaming, channel.GetStatus());
    channel.Stop();
    // Why, once for all the attempts: the page and its status.
    const std::string page = updatesOff ? "the camera answered \"/nph-mjpeg.cgi?fps=10\" with HTTP status 500"
                                        : "device 127.0.0.1:" + std::to_string(sim_->HttpPort(0)) +
                                              " is unable to process \"/admin.cgi?image&_\" request. HTTP status "
                                              "code is 500";
    const auto reasons = driver_.Matching("ReportFailure");
    ASSERT_EQ(1u + (updatesOff ? 1u : 0u), reasons.size()) << "updates off: " << updatesOff;
    EXPECT_EQ("kestrum::CBaseCameraChannel::ReportFailure: Camera 127.0.0.1: " + page, reasons.back().text);
    EXPECT_EQ(2u, reasons.back().level);
  }
}

TEST_F(MjpegChannel, AHostThatRefusesEveryFrameSeesSignalLoss) {
  sink_.SetAccept(false);
  MakeChannel();
  ASSERT_TRUE(channel_->Start(Params(100, 60, 640, 480)));
  ASSERT_TRUE(WaitUntil([&] { return sink_.SignalLossCount() >= 1; }, 8000));
  EXPECT_TRUE(driver_.Matching("is online").empty());
}

TEST_F(MjpegChannel, VideoServerNamesTheChannel) {
  driver_.channelCount = 2;
  MakeChannel();
  ASSERT_TRUE(channel_->Start(Params(100, 60, 640, 480)));
  ASSERT_TRUE(sink_.WaitForFrames(1, 10000));
  ASSERT_TRUE(WaitUntil([&] { return !driver_.Matching("is online").empty(); }, 2000));
  EXPECT_EQ("kestrum::CBaseCameraChannel::SetCameraState: Video-server 127.0.0.1 (channel 0) is online",
            driver_.Matching("is online")[0].text);
}

TEST(MjpegChannelOffline, StopOnANeverStartedChannelLogsNothing) {
  FakeDriver driver;
  host::CollectingFrameSink sink;
  CMJPEGHttpChannel channel(0, &driver, &sink);
  channel.Stop();
  EXPECT_TRUE(driver.Lines().empty());
  EXPECT_EQ(Stopped, channel.GetStatus());
}

}  // namespace
