// Reading a Quellon camera's replies and writing the results for the host.
#include "capability/QuellonCameraProperties.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "tools/hostlib/HostCapability.h"

using namespace kestrum;

namespace {

const char kInfo[] =
    "vendor=V\r\ntype=T\r\nsubtype=S\r\nh264=1\r\nh264_rtsp=8554/nph-h264.cgi\r\nexternal_inputs=2\r\n"
    "relay=1\r\nvideo_inputs=1\r\nversion=2.4.1\r\n";

std::unique_ptr<CQuellonCameraProperties> Properties(uint32_t videoStandard = 0) {
  DEVICE_INFO device("10.0.0.9", 8080, "user", "pw");
  return std::make_unique<CQuellonCameraProperties>(device, videoStandard);
}

TEST(CameraInformation, ModelStreamKindsAndCounts) {
  auto p = Properties();
  p->ReadInformation(kInfo);
  EXPECT_EQ("V", p->Vendor());
  EXPECT_EQ("T S", p->Model());
  EXPECT_EQ((std::set<uint32_t>{1, 3}), p->StreamKinds());
  EXPECT_EQ(8554u, p->RtspPort());
  EXPECT_EQ(2u, p->ExternalInputs());
  EXPECT_EQ(1u, p->Relays());
  EXPECT_EQ(1u, p->VideoInputs());
  EXPECT_EQ("2.4.1", p->Firmware());
}

TEST(CameraInformation, KeysAreWholeNamesWhateverTheirOrder) {
  auto p = Properties();
  p->ReadInformation("subtype=S\r\nh264_rtsp=7000/x\r\nvendor=V\r\ntype=T\r\nh264=1\r\nversion=\r\n");
  EXPECT_EQ("T S", p->Model());
  EXPECT_EQ(7000u, p->RtspPort());
  EXPECT_EQ("", p->Firmware()) << "an empty value reads as absent";
}

TEST(CameraInformation, RtspPortBoundsAndMissingModel) {
  for (const char* rtsp : {"65535/x", "0/x", "abc/x", ""}) {
    auto p = Properties();
    p->ReadInformation(std::string("vendor=V\r\ntype=T\r\nsubtype=S\r\nh264=1\r\nh264_rtsp=") + rtsp + "\r\n");
    EXPECT_EQ(554u, p->RtspPort()) << rtsp;
  }
  auto only3 = Properties();
  only3->ReadInformation("vendor=V\r\ntype=T\r\nsubtype=S\r\nh264=0\r\nh264_rtsp=7000/x\r\n");
  EXPECT_EQ((std::set<uint32_t>{3}), only3->StreamKinds());
  EXPECT_EQ(554u, only3->RtspPort());

  auto noModel = Properties();
  noModel->ReadInformation("vendor=V\r\ntype=T\r\n");
  EXPECT_FALSE(noModel->HasModel());
  EXPECT_EQ("Failed to get model information!", noModel->GetLastErrorText());
}

TEST(CameraResolutions, DuplicatesHighestRateAndLowestRate) {
  auto p = Properties();
  p->ReadResolutions("0,640x480,30\r\n1,640x480,15\r\n2,320x240,7\r\n");
  ASSERT_EQ(2u, p->Resolutions().size());
  EXPECT_EQ(640, p->Resolutions()[0].Width);
  EXPECT_EQ(33u, p->Resolutions()[0].FrameInterval);
  EXPECT_EQ(143u, p->Resolutions()[1].FrameInterval);
  EXPECT_EQ(7u, p->LowestRate());
  EXPECT_EQ((std::vector<std::string>{"640x480", "640x480", "320x240"}), p->ResolutionTexts());
}

TEST(CameraResolutions, BadLinesAreIgnoredAndLineEndsAreLenient) {
  auto p = Properties();
  p->ReadResolutions("0,640x480,0\r\n1,640x480,31\r\n2,640*480,25\r\n3,640x480\r\n4,0x480,25\r\n");
  EXPECT_TRUE(p->Resolutions().empty());

  auto lf = Properties();
  lf->ReadResolutions("0,640x480,30\n1,1280x720,25\n2,320x240,15");  // LF only, no final line break
  ASSERT_EQ(3u, lf->Resolutions().size());
  EXPECT_EQ(320, lf->Resolutions()[2].Width);

  auto stops = Properties();
  stops->ReadResolutions("0,640x480,30\r\n\r\n1,1280x720,25\r\n");
  EXPECT_EQ(1u, stops->Resolutions().size()) << "an empty line ends the reply";
}

class SaveResults : public ::testing::Test {
 protected:
  void SetUp() override {
    properties_ = Properties();
    properties_->ReadInformation(kInfo);
  }
  std::unique_ptr<CQuellonCameraProperties> properties_;
  host::ResultSink sink_;
};

TEST_F(SaveResults, WithoutFrameRatesTheSaveFails) {
  properties_->ReadResolutions("0,640x480,30\r\n");
  EXPECT_FALSE(properties_->SaveResults(&sink_));
}

TEST_F(SaveResults, ModelConnectionKindsResolutionsRatesCapabilitiesProperties) {
  // As the query leaves it: rates 1..30, then the resolution lines.
  auto p = Properties();
  p->ReadInformation(kInfo);
  p->AddStandardFrameRates();
  p->ReadResolutions("0,640x480,30\r\n1,640x480,15\r\n2,320x240,7\r\n");
  ASSERT_TRUE(p->SaveResults(&sink_));

  EXPECT_EQ("V T S", sink_.ModelName());
  EXPECT_EQ((std::map<uint32_t, std::string>{{1, "10.0.0.9"}, {2, "8080"}, {3, "user"}, {4, "pw"}}),
            sink_.ConnectionValues());
  const std::vector<std::string> calls = sink_.Calls();
  std::vector<std::string> expectedStart = {
      "SetModelName(V T S)",   "GetConnectionValue(1)", "SetValue(1,10.0.0.9)", "GetConnectionValue(2)",
      "SetValue(2,8080)",      "GetConnectionValue(3)", "SetValue(3,user)",     "GetConnectionValue(4)",
      "SetValue(4,pw)",        "SetCapability(8,1)",    "SetCapability(7,1)",   "SetCapability(0,1)",
      "GetResolutionList()",   "AddResolution(640x480,640,480,33)", "AddResolution(320x240,320,240,143)",
      "GetFrameRateList(1)"};
  ASSERT_GE(calls.size(), expectedStart.size());
  EXPECT_EQ(expectedStart, std::vector<std::string>(calls.begin(), calls.begin() + expectedStart.size()));
  EXPECT_EQ(30u, sink_.FrameIntervals().size());
  EXPECT_EQ(1000u, sink_.FrameIntervals().front());
  EXPECT_EQ(33u, sink_.FrameIntervals().back());
  EXPECT_EQ(143u, sink_.DefaultFrameInterval()) << "the lowest rate, 7 per second";
  const auto caps = sink_.Capabilities();
  EXPECT_EQ(0u, caps.at(11));
  EXPECT_EQ(0u, caps.at(12));
  EXPECT_EQ(2u, caps.at(2));
  EXPECT_EQ(1u, caps.at(3));
  const std::vector<host::PropertyValue> properties = sink_.Properties();
  ASSERT_EQ(4u, properties.size());
  EXPECT_EQ("Device Video Standard", properties[0].name);
  EXPECT_EQ("0", properties[0].value);
  EXPECT_FALSE(properties[0].isText);
  EXPECT_EQ(0u, properties[0].attribute);
  EXPECT_EQ("2.4.1", properties[1].value);
  EXPECT_EQ("8554", properties[2].value);
  EXPECT_EQ("640x480;640x480;320x240", properties[3].value);
  EXPECT_TRUE(properties[3].isText);
  // Each property is written name first, then slot 6, then is-text, then value.
  auto at = std::find(calls.begin(), calls.end(), "AddProperty(4)");
  ASSERT_NE(calls.end(), at);
  EXPECT_EQ((std::vector<std::string>{"AddProperty(4)", "Property.SetName(Resolutions)", "Property.SetAttribute(0)",
                                      "Property.SetIsText(1)", "Property.SetValue(640x480;640x480;320x240)"}),
            std::vector<std::string>(at, at + 5));
}

TEST_F(SaveResults, FailsWithoutModelVideoInputsOrResolutions) {
  auto noInputs = Properties();
  noInputs->ReadInformation("vendor=V\r\ntype=T\r\nsubtype=S\r\n");
  noInputs->ReadResolutions("0,640x480,30\r\n");
  EXPECT_FALSE(noInputs->SaveResults(&sink_)) << "no video inputs";
  auto empty = Properties();
  EXPECT_FALSE(empty->SaveResults(&sink_)) << "no model";
  EXPECT_FALSE(properties_->SaveResults(nullptr));
}

}  // namespace
