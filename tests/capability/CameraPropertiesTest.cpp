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
  EXPECT_EQ((std::vector<std::string>{"640x480", "320x240"}), p->ResolutionTexts()) << "each size once";
  EXPECT_TRUE(p->Notes().empty());
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

// Numbers from a hostile camera: never wrapped, never taken out of range.
TEST(HostileCamera, NumbersOutsideTheirRangeAreIgnoredWithANote) {
  const char* const keys[] = {"external_inputs", "relay", "video_inputs"};
  const struct {
    const char* value;
    bool taken;
  } values[] = {{"-3", false},  {"99999999999", false}, {"4294967293", false}, {"abc", false}, {"2x", false},
                {"0x10", false}, {"65", false},         {"+5", false},         {" 7 ", true},   {"64", true},
                {"0", true}};
  for (const char* key : keys) {
    for (const auto& v : values) {
      auto q = Properties();
      q->ReadInformation(std::string("vendor=V\r\ntype=T\r\nsubtype=S\r\n") + key + "=" + v.value + "\r\n");
      const uint32_t got = std::string(key) == "relay"            ? q->Relays()
                           : std::string(key) == "video_inputs" ? q->VideoInputs()
                                                                : q->ExternalInputs();
      if (v.taken) {
        EXPECT_EQ(std::stoul(v.value), got) << key << "=" << v.value;
        EXPECT_TRUE(q->Notes().empty());
      } else {
        EXPECT_EQ(0u, got) << key << "=" << v.value << " must leave the field as it was";
        ASSERT_EQ(1u, q->Notes().size()) << key << "=" << v.value;
        EXPECT_EQ(std::string(key) + "=\"" + v.value + "\" ignored: not a number from 0 to 64", q->Notes()[0]);
      }
    }
    auto empty = Properties();
    empty->ReadInformation(std::string("vendor=V\r\ntype=T\r\nsubtype=S\r\n") + key + "=\r\n");
    EXPECT_TRUE(empty->Notes().empty()) << "an empty value is absent, as before";
  }
  auto port = Properties();
  port->ReadInformation("vendor=V\r\ntype=T\r\nsubtype=S\r\nh264=1\r\nh264_rtsp=99999999999/x\r\n");
  EXPECT_EQ(554u, port->RtspPort());
  ASSERT_EQ(1u, port->Notes().size());
  EXPECT_EQ("h264_rtsp=\"99999999999\" ignored: not a number from 1 to 65534", port->Notes()[0]);
}

TEST(HostileCamera, TextsAreCutAndNotesAreFewAndPrintable) {
  auto p = Properties();
  p->ReadInformation("vendor=V\r\ntype=" + std::string(5000, 'M') + "\r\nsubtype=S\r\nversion=" +
                     std::string(300, '9') + "\r\n");
  EXPECT_EQ(std::string(256, 'M') + " S", p->Model());
  EXPECT_EQ(256u, p->Firmware().size());
  EXPECT_EQ((std::vector<std::string>{"type cut to 256 of its 5000 characters",
                                      "version cut to 256 of its 300 characters"}),
            p->Notes());

  auto q = Properties();
  std::string lines;
  for (int i = 0; i < 1000; ++i) lines += "0,640x480,9" + std::to_string(i) + "\r\n";
  lines += "1,640x480\x01\x7F,25\r\n";
  q->ReadResolutions(lines);
  EXPECT_EQ(32u, q->Notes().size()) << "a thousand bad lines give a bounded number of notes";
  for (const std::string& note : q->Notes()) {
    for (char c : note) EXPECT_TRUE(c >= 0x20 && c < 0x7F) << note;
  }
  auto r = Properties();
  r->ReadResolutions("1,640x480\x01,25\r\n");
  ASSERT_EQ(1u, r->Notes().size());
  EXPECT_EQ("height=\"480\\x01\" ignored: not a number from 16 to 16384", r->Notes()[0]);
}

TEST(HostileCamera, ResolutionListsAreBoundedAndSizesSane) {
  auto same = Properties();
  std::string lines;
  for (int i = 0; i < 100000; ++i) lines += "0,640x480,25\r\n";
  same->ReadResolutions(lines);
  EXPECT_EQ((std::vector<std::string>{"640x480"}), same->ResolutionTexts());
  EXPECT_EQ(1u, same->Resolutions().size());
  EXPECT_TRUE(same->Notes().empty());

  auto many = Properties();
  lines.clear();
  for (int i = 0; i < 100000; ++i) lines += "0," + std::to_string(16 + i % 16000) + "x480,25\r\n";
  many->ReadResolutions(lines);
  EXPECT_EQ(64u, many->ResolutionTexts().size());
  EXPECT_EQ(64u, many->Resolutions().size());
  EXPECT_EQ("16x480", many->ResolutionTexts().front());
  EXPECT_EQ("79x480", many->ResolutionTexts().back());
  ASSERT_EQ(1u, many->Notes().size());
  // Lines repeating a kept size are not cut: 16 to 79 come 7 times each.
  EXPECT_EQ("resolutions cut to the first 64 sizes (99552 more lines ignored)", many->Notes()[0]);

  auto sizes = Properties();
  sizes->ReadResolutions("0,8x8,25\r\n1,16384x16384,25\r\n2,16385x480,25\r\n3,-640x480,25\r\n"
                         "4,65536x480,25\r\n5,640x480,25fps\r\n");
  EXPECT_EQ((std::vector<std::string>{"16384x16384"}), sizes->ResolutionTexts());
  EXPECT_EQ(5u, sizes->Notes().size());
  EXPECT_EQ("width=\"65536\" ignored: not a number from 16 to 16384", sizes->Notes()[3]);
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
  EXPECT_EQ("640x480;320x240", properties[3].value);
  EXPECT_TRUE(properties[3].isText);
  // Each property is written name first, then slot 6, then is-text, then value.
  auto at = std::find(calls.begin(), calls.end(), "AddProperty(4)");
  ASSERT_NE(calls.end(), at);
  EXPECT_EQ((std::vector<std::string>{"AddProperty(4)", "Property.SetName(Resolutions)", "Property.SetAttribute(0)",
                                      "Property.SetIsText(1)", "Property.SetValue(640x480;320x240)"}),
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
