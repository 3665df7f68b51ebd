#include <gtest/gtest.h>

#include <chrono>

#include "channels/MJPEGHttpChannel.h"
#include "driver/QuellonIPCaptureDriver.h"
#include "platform/System.h"
#include "tools/camera-sim/Simulator.h"
#include "tools/hostlib/HostFrames.h"
#include "tools/hostlib/HostLog.h"
#include "tools/hostlib/HostSettings.h"

using namespace kestrum;
using namespace kestrum::host;

namespace {

DeviceValues Device() {
  DeviceValues d;
  d.address = "cam.example";
  d.port = 81;
  d.userName = "admin";
  d.password = "secret";
  d.modelName = "Q-4000";
  d.streamKind = 1;
  d.channelCount = 2;
  d.inputCount = 0;
  d.outputCount = 0;
  d.parameters = {{1, "x"}, {2, "3.1.4"}, {3, "554"}, {4, "640x480;1280x960"}};
  return d;
}

class CaptureDriver : public ::testing::Test {
 protected:
  bool Open(const DeviceValues& values) {
    settings_.reset(new HostDeviceSettings(values));
    return driver_.Open(&log_, &allocator_, settings_.get());
  }

  HostLogReceiver log_;
  HeapFrameAllocator allocator_;
  std::unique_ptr<HostDeviceSettings> settings_;
  CQuellonIPCaptureDriver driver_;
};

TEST_F(CaptureDriver, BeforeOpen) {
  EXPECT_EQ(nullptr, driver_.GetVideoCapture());
  EXPECT_EQ(nullptr, driver_.GetVideoCaptureEx());
  EXPECT_EQ(nullptr, driver_.GetCaptureIO());
  EXPECT_EQ(":80", driver_.GetDeviceAddress());
  EXPECT_EQ(5000u, driver_.GetDeviceInfo()->ConnectTimeout);
  EXPECT_EQ(15000u, driver_.GetDeviceInfo()->StreamTimeout);
  EXPECT_STREQ("QuellonIPCapture", driver_.GetDriverName());
  EXPECT_EQ(nullptr, driver_.GetOptionalComponent1());
  EXPECT_EQ(nullptr, driver_.GetOptionalComponent2());
  EXPECT_EQ(nullptr, driver_.GetOptionalComponent3());
  EXPECT_EQ(nullptr, driver_.GetOptionalComponent4());
  EXPECT_EQ(nullptr, driver_.GetOptionalComponent5());
  EXPECT_EQ(nullptr, driver_.GetOptionalComponent6());
  driver_.Message(1, "%s", "dropped: no receiver yet");
  EXPECT_EQ(0u, log_.Count());
}

TEST_F(CaptureDriver, OpenCopiesTheDeviceAndLogsTheOpening) {
  ASSERT_TRUE(Open(Device()));
  EXPECT_EQ("cam.example:81", driver_.GetDeviceAddress());
  const DEVICE_INFO* device = driver_.GetDeviceInfo();
  EXPECT_EQ("cam.example", device->Address);
  EXPECT_EQ(81, device->Port);
  EXPECT_EQ("admin", device->UserName);
  EXPECT_EQ("secret", device->Password);
  EXPECT_EQ("Q-4000", device->Model);
  EXPECT_EQ(1u, driver_.GetStreamKind());
  EXPECT_EQ(2u, driver_.GetChannelCount());
  EXPECT_EQ(&allocator_, driver_.GetFrameAllocator());
  ASSERT_NE(nullptr, driver_.GetVideoCapture());
  EXPECT_EQ(2u, driver_.GetVideoCapture()->GetChannelCount());
  EXPECT_EQ(driver_.GetVideoCapture(), driver_.GetVideoCaptureEx());

  auto lines = log_.Lines();
  ASSERT_EQ(1u, lines.size());
  EXPECT_EQ("DRIVER IS OPENED (name: QuellonIPCapture, device model: Q-4000, FW: 3.1.4, address: cam.example:81)",
            lines[0].text);
  // Without a host core library the driver behaves as for host 5.12: level 100 arrives as 3.
  EXPECT_EQ(3, lines[0].level);

  // Host texts were copied: changing the host's values afterwards changes nothing.
  settings_->Values().address = "changed";
  EXPECT_EQ("cam.example", driver_.GetDeviceInfo()->Address);
}

TEST_F(CaptureDriver, ParametersStopAtTheFirstGap) {
  DeviceValues d = Device();
  d.parameters = {{1, "a"}, {2, "fw"}, {4, "640x480"}};
  ASSERT_TRUE(Open(d));
  EXPECT_EQ("fw", driver_.GetParameterString(2));
  EXPECT_EQ("", driver_.GetParameterString(4));
  EXPECT_EQ(-1, driver_.FindResolution(640, 480));
}

TEST_F(CaptureDriver, NoneParameterAndEmptyModel) {
  DeviceValues d = Device();
  d.parameters[2] = "(none)";
  ASSERT_TRUE(Open(d));
  EXPECT_EQ("", driver_.GetParameterString(2));
  ASSERT_EQ(1u, log_.Count());
  EXPECT_EQ("DRIVER IS OPENED (name: QuellonIPCapture, device model: Q-4000, address: cam.example:81)",
            log_.Lines()[0].text);

  CQuellonIPCaptureDriver other;
  HostLogReceiver otherLog;
  DeviceValues noModel = Device();
  noModel.modelName = "";
  HostDeviceSettings otherSettings(noModel);
  ASSERT_TRUE(other.Open(&otherLog, &allocator_, &otherSettings));
  EXPECT_EQ(0u, otherLog.Count());
}

TEST_F(CaptureDriver, ParameterNumbers) {
  DeviceValues d = Device();
  d.parameters = {{1, "+554"}, {2, "5 54"}, {3, ""}, {4, "-"}, {5, "-17"}, {6, "12a"}, {7, "2147483647"}};
  ASSERT_TRUE(Open(d));
  EXPECT_EQ(554, driver_.GetParameterNumber(1));
  EXPECT_EQ(IDriver::kNoNumber, driver_.GetParameterNumber(2));
  EXPECT_EQ(IDriver::kNoNumber, driver_.GetParameterNumber(3));
  EXPECT_EQ(IDriver::kNoNumber, driver_.GetParameterNumber(4));
  EXPECT_EQ(-17, driver_.GetParameterNumber(5));
  EXPECT_EQ(IDriver::kNoNumber, driver_.GetParameterNumber(6));
  EXPECT_EQ(2147483647, driver_.GetParameterNumber(7));
  EXPECT_EQ(IDriver::kNoNumber, driver_.GetParameterNumber(8));
}

TEST_F(CaptureDriver, FindResolutionIsExact) {
  ASSERT_TRUE(Open(Device()));
  EXPECT_EQ(0, driver_.FindResolution(640, 480));
  EXPECT_EQ(1, driver_.FindResolution(1280, 960));
  EXPECT_EQ(-1, driver_.FindResolution(1280, 720));

  DeviceValues d = Device();
  d.parameters[4] = "640x480;;320x240;";
  CQuellonIPCaptureDriver other;
  HostDeviceSettings otherSettings(d);
  ASSERT_TRUE(other.Open(&log_, &allocator_, &otherSettings));
  EXPECT_EQ((std::vector<std::string>{"640x480", "", "320x240"}), other.GetResolutions());
  EXPECT_EQ(2, other.FindResolution(320, 240));
}

TEST_F(CaptureDriver, MessagesAndLevels) {
  ASSERT_TRUE(Open(Device()));
  log_.Clear();
  driver_.Message(4, "%s", "debug lines never reach the host");
  driver_.Message(3, "%s", "");
  driver_.Message(1, "%s: %s is offline or failed", "kestrum::CBaseCameraChannel::SetCameraState", "Camera x");
  std::string longLine(5000, 'y');
  driver_.Message(2, "%s", longLine.c_str());
  auto lines = log_.Lines();
  ASSERT_EQ(3u, lines.size());
  EXPECT_FALSE(lines[0].hasText) << "an empty line reaches the host as a null text";
  EXPECT_EQ(3, lines[0].level);
  EXPECT_EQ("kestrum::CBaseCameraChannel::SetCameraState: Camera x is offline or failed", lines[1].text);
  EXPECT_EQ(1, lines[1].level);
  EXPECT_EQ(longLine, lines[2].text);
}

TEST_F(CaptureDriver, ChannelClassFollowsTheStreamKind) {
  ASSERT_TRUE(Open(Device()));  // stream kind 1: Motion JPEG over HTTP
  std::unique_ptr<ICameraChannel> mjpeg(driver_.CreateVideoChannel(0, nullptr));
  EXPECT_NE(nullptr, dynamic_cast<CMJPEGHttpChannel*>(mjpeg.get()));
  EXPECT_EQ(nullptr, driver_.CreateCompanionChannel(0, nullptr));

  CQuellonIPCaptureDriver other;
  DeviceValues kind2 = Device();
  kind2.streamKind = 2;
  HostDeviceSettings otherSettings(kind2);
  ASSERT_TRUE(other.Open(&log_, &allocator_, &otherSettings));
  EXPECT_EQ(nullptr, other.CreateVideoChannel(0, nullptr)) << "no channel class for stream kind 2";
  EXPECT_EQ(nullptr, other.CreateVideoChannel(1, nullptr));
}

TEST_F(CaptureDriver, DigitalIOOnlyWithInputsOrOutputs) {
  ASSERT_TRUE(Open(Device()));  // 0 inputs, 0 outputs
  EXPECT_EQ(nullptr, driver_.GetCaptureIO());
  for (auto counts : {std::make_pair(0u, 2u), std::make_pair(3u, 0u)}) {
    CQuellonIPCaptureDriver other;
    DeviceValues d = Device();
    d.inputCount = counts.first;
    d.outputCount = counts.second;
    HostDeviceSettings otherSettings(d);
    ASSERT_TRUE(other.Open(&log_, &allocator_, &otherSettings));
    ICaptureIOApi* io = other.GetCaptureIO();
    ASSERT_NE(nullptr, io) << counts.first << " inputs, " << counts.second << " outputs";
    EXPECT_EQ(counts.first, io->GetInputCount());
    EXPECT_EQ(counts.second, io->GetOutputCount());
    EXPECT_TRUE(other.AttachDigitalIO());
    EXPECT_EQ(io, other.GetCaptureIO()) << "attached once";
  }
}

TEST_F(CaptureDriver, CountsNoCameraHasLeaveTheDeviceWithoutDigitalIOButRecording) {
  sim::Simulator simulator{sim::SimOptions()};
  std::string error;
  ASSERT_TRUE(simulator.Start(error)) << error;
  DeviceValues d = Device();
  d.address = "127.0.0.1";
  d.port = simulator.HttpPort(0);
  d.userName = d.password = "";
  d.channelCount = 1;
  for (auto counts : {std::make_pair(4294967293u, 4294967293u), std::make_pair(65u, 0u), std::make_pair(0u, 65u)}) {
    HostLogReceiver log;
    CQuellonIPCaptureDriver driver;
    d.inputCount = counts.first;
    d.outputCount = counts.second;
    HostDeviceSettings settings(d);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(driver.Open(&log, &allocator_, &settings));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_EQ(nullptr, driver.GetCaptureIO());
    const auto refusals = log.Matching("Digital I/O of device");
    ASSERT_EQ(1u, refusals.size());
    EXPECT_EQ(1u, refusals[0].level);
    EXPECT_EQ("kestrum::CQuellonIPCaptureDriver::AttachDigitalIO: Digital I/O of device 127.0.0.1:" +
                  std::to_string(d.port) + " is not served: " + std::to_string(counts.first) + " inputs and " +
                  std::to_string(counts.second) + " outputs given, at most 64 of each",
              refusals[0].text);
  }
  // Video records as usual.
  d.inputCount = d.outputCount = 4294967293u;
  HostDeviceSettings settings(d);
  ASSERT_TRUE(driver_.Open(&log_, &allocator_, &settings));
  CollectingFrameSink sink(false);
  ChannelValues values;
  values.frameInterval = 40;
  values.quality = 60;
  values.width = 640;
  values.height = 480;
  HostChannelSettings channel(values);
  ASSERT_TRUE(driver_.GetVideoCapture()->StartChannel(0, &sink, &channel));
  EXPECT_TRUE(sink.WaitForFrames(5, 10000));
  EXPECT_TRUE(driver_.GetVideoCapture()->StopChannel(0));
  driver_.Close();
  simulator.Stop();
}

TEST_F(CaptureDriver, CloseTwiceAndReopen) {
  ASSERT_TRUE(Open(Device()));
  driver_.Close();
  EXPECT_EQ(nullptr, driver_.GetVideoCapture());
  driver_.Close();
  DeviceValues d = Device();
  d.channelCount = 3;
  ASSERT_TRUE(Open(d));
  ASSERT_NE(nullptr, driver_.GetVideoCapture());
  EXPECT_EQ(3u, driver_.GetVideoCapture()->GetChannelCount());
}

TEST_F(CaptureDriver, OpenWithoutSettingsFails) {
  EXPECT_FALSE(driver_.Open(&log_, &allocator_, nullptr));
  EXPECT_EQ(nullptr, driver_.GetVideoCapture());
}

TEST_F(CaptureDriver, HostDirectoryIsTheExecutablesDirectory) {
  std::string dir = driver_.GetHostDirectory();
  ASSERT_FALSE(dir.empty());
  // A backslash on Windows, as hosts there expect.
  EXPECT_EQ(platform::kPathSeparator, dir.back());
  std::string exe = platform::ExecutablePath(4096);
  EXPECT_EQ(0u, exe.rfind(dir, 0));
  EXPECT_EQ(std::string::npos, exe.substr(dir.size()).find(platform::kPathSeparator));
}

}  // namespace
