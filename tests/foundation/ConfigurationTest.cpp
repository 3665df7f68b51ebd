#include "foundation/Configuration.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "foundation/XMLParser.h"
#include "platform/System.h"
#include "tests/support/TempDir.h"

using namespace kestrum;
using kestrum::testing::TempDir;

namespace {

DEVICE_INFO Camera(const std::string& address = "10.0.0.5", uint16_t port = 80) {
  return DEVICE_INFO(address, port, "", "");
}

CONFIGURATION_VALUES Read(const TempDir& dir, const std::string& xml, const DEVICE_INFO& device = Camera()) {
  std::ofstream(dir.File("QuellonIPCapture.xml"), std::ios::trunc) << xml;
  return CConfiguration("QuellonIPCapture", dir.Path() + "/", device).ReadSettings();
}

TEST(Configuration, FilePath) {
  EXPECT_EQ("/opt/host/QuellonIPCapture.xml", CConfiguration("QuellonIPCapture", "/opt/host/", Camera()).GetPath());
  EXPECT_EQ(std::string("/opt/host") + platform::kPathSeparator + "QuellonIPCapture.xml",
            CConfiguration("QuellonIPCapture", "/opt/host", Camera()).GetPath());
  EXPECT_EQ("QuellonIPCapture.xml", CConfiguration("QuellonIPCapture", "", Camera()).GetPath());
  EXPECT_EQ("", CConfiguration("", "/opt/host/", Camera()).GetPath());
  CONFIGURATION_VALUES defaults = CConfiguration("", "/opt/host/", Camera()).ReadSettings();
  EXPECT_EQ(kRtpOverUdp, defaults.RtpMode);
  EXPECT_TRUE(defaults.UpdateSettings);
}

TEST(Configuration, MissingOrBrokenFileGivesDefaults) {
  TempDir dir;
  CONFIGURATION_VALUES none = CConfiguration("QuellonIPCapture", dir.Path(), Camera()).ReadSettings();
  EXPECT_EQ(kRtpOverUdp, none.RtpMode);
  EXPECT_TRUE(none.UpdateSettings);
  CONFIGURATION_VALUES broken = Read(dir, "<Configuration><Device><RTPMode>rtpoverrtsp</RTPMode>");
  EXPECT_EQ(kRtpOverUdp, broken.RtpMode);
  EXPECT_TRUE(broken.UpdateSettings);
}

TEST(Configuration, ModeTextsInAnyCase) {
  TempDir dir;
  const char* wrap = "<Configuration><Device><RTPMode>%s</RTPMode></Device></Configuration>";
  auto mode = [&](const char* text) {
    char xml[256];
    std::snprintf(xml, sizeof xml, wrap, text);
    return Read(dir, xml).RtpMode;
  };
  EXPECT_EQ(kRtpOverRtsp, mode("RTPoverRTSP"));
  EXPECT_EQ(kRtpOverTcp, mode("rtpovertcp"));
  EXPECT_EQ(kRtpOverUdp, mode("RtpOverUdp"));
  EXPECT_EQ(kRtpOverUdp, mode(" rtpovertcp")) << "white space is kept, so this is not recognised";
  EXPECT_EQ(kRtpOverUdp, mode("tcp"));
  EXPECT_EQ(kRtpOverTcp, mode("rtp<!-- split -->overtcp")) << "the text of the node is all its text";
}

TEST(Configuration, UpdateSettingsOnlyOffOnFalse) {
  TempDir dir;
  auto update = [&](const char* text) {
    std::string xml = std::string("<Configuration><Device><UpdateSettings>") + text +
                      "</UpdateSettings></Device></Configuration>";
    return Read(dir, xml).UpdateSettings;
  };
  EXPECT_FALSE(update("False"));
  EXPECT_FALSE(update("false "));
  EXPECT_TRUE(update("no"));
  EXPECT_TRUE(update("0"));
  EXPECT_TRUE(update(""));
}

TEST(Configuration, MatchingDeviceOrTheFirst) {
  TempDir dir;
  const std::string xml =
      "<Configuration>"
      "<Device><RTPMode>rtpovertcp</RTPMode></Device>"
      "<Device address=\"10.0.0.5\" port=\"8080\"><RTPMode>rtpoverrtsp</RTPMode>"
      "<UpdateSettings>false</UpdateSettings></Device>"
      "</Configuration>";
  CONFIGURATION_VALUES matched = Read(dir, xml, Camera("10.0.0.5", 8080));
  EXPECT_EQ(kRtpOverRtsp, matched.RtpMode);
  EXPECT_FALSE(matched.UpdateSettings);
  CONFIGURATION_VALUES otherPort = Read(dir, xml, Camera("10.0.0.5", 80));
  EXPECT_EQ(kRtpOverTcp, otherPort.RtpMode);
  EXPECT_TRUE(otherPort.UpdateSettings);
}

TEST(Configuration, AddressesWithQuotesAreComparedNotParsed) {
  TempDir dir;
  const std::string xml =
      "<Configuration>"
      "<Device><RTPMode>rtpovertcp</RTPMode></Device>"
      "<Device address='cam\"]|//Device[@port=\"1' port=\"80\"><RTPMode>rtpoverrtsp</RTPMode></Device>"
      "<Device address=\"x\" port=\"80\"><RTPMode>rtpoverudp</RTPMode></Device>"
      "</Configuration>";
  EXPECT_EQ(kRtpOverRtsp, Read(dir, xml, Camera("cam\"]|//Device[@port=\"1", 80)).RtpMode);
  EXPECT_EQ(kRtpOverTcp, Read(dir, xml, Camera("cam\"", 80)).RtpMode);
  EXPECT_EQ(kRtpOverUdp, Read(dir, xml, Camera("x", 80)).RtpMode);
}

// Files a host directory may hold by accident or by malice: they leave the
// defaults (or the right device) in force, are told once, and cost neither
// the stack nor memory in proportion to their size.
TEST(Configuration, HugeAndDeeplyNestedFilesAreHandledSafely) {
  TempDir dir;
  const std::string valid = "<Configuration><Device><RTPMode>rtpovertcp</RTPMode></Device></Configuration>";
  // One byte over 1 MiB, valid XML all the same: refused unread.
  std::string big = valid + "<!--" + std::string(CXMLParser::kMaxFileBytes - valid.size() - 7 + 1, 'x') + "-->";
  ASSERT_EQ(CXMLParser::kMaxFileBytes + 1, big.size());
  std::ofstream(dir.File("QuellonIPCapture.xml"), std::ios::trunc) << big;
  std::string problem;
  CONFIGURATION_VALUES values = CConfiguration("QuellonIPCapture", dir.Path() + "/", Camera()).ReadSettings(&problem);
  EXPECT_EQ(kRtpOverUdp, values.RtpMode);
  EXPECT_EQ(dir.Path() + "/QuellonIPCapture.xml is larger than 1048576 bytes and was not read; the defaults apply",
            problem);
  big.erase(big.size() - 4, 1);  // exactly 1 MiB: read
  ASSERT_EQ(CXMLParser::kMaxFileBytes, big.size());
  std::ofstream(dir.File("QuellonIPCapture.xml"), std::ios::trunc) << big;
  problem.clear();
  EXPECT_EQ(kRtpOverTcp, CConfiguration("QuellonIPCapture", dir.Path() + "/", Camera()).ReadSettings(&problem).RtpMode);
  EXPECT_EQ("", problem);

  // 100,000 levels inside the element whose text is read.
  std::string deep = "<Configuration><Device><RTPMode>";
  for (int i = 0; i < 100000; ++i) deep += "<a>";
  deep += "rtpoverrtsp";
  for (int i = 0; i < 100000; ++i) deep += "</a>";
  deep += "</RTPMode></Device></Configuration>";
  EXPECT_EQ(kRtpOverRtsp, Read(dir, deep).RtpMode) << "the text is gathered from any depth";

  std::ofstream(dir.File("QuellonIPCapture.xml"), std::ios::trunc) << "<Configuration><Device>";
  problem.clear();
  EXPECT_EQ(kRtpOverUdp, CConfiguration("QuellonIPCapture", dir.Path() + "/", Camera()).ReadSettings(&problem).RtpMode);
  EXPECT_EQ(dir.Path() + "/QuellonIPCapture.xml is not well-formed XML; the defaults apply", problem);
}

TEST(XMLParser, TextInDocumentOrderFromAnyDepth) {
  TempDir dir;
  std::ofstream(dir.File("t.xml")) << "<r><n>a<b>b<c>c</c>d</b><!--x-->e<![CDATA[f]]></n><m>g</m></r>";
  CXMLParser parser;
  ASSERT_TRUE(parser.Load(dir.File("t.xml")));
  EXPECT_EQ("abcdef", parser.GetText("r/n")) << "no text of the node's following siblings";
  EXPECT_EQ("c", parser.GetText("r/n/b/c"));
  CXMLParser::LoadResult result = CXMLParser::LoadResult::Loaded;
  CXMLParser small;
  EXPECT_FALSE(small.Load(dir.File("t.xml"), 10, &result));
  EXPECT_EQ(CXMLParser::LoadResult::TooLarge, result);
}

TEST(XMLParser, AHugeFileIsRefusedWithoutBeingRead) {
  // 64 GiB of holes: reading it, or holding it, would not end in a test's time.
  // A 32-bit C runtime cannot size a file past 2 GiB; 1 GiB still is far too much to read.
  TempDir dir;
  std::ofstream(dir.File("huge.xml")) << "<Configuration>";
  std::error_code error;
  std::filesystem::resize_file(dir.File("huge.xml"), 64ull << 30, error);
  if (error) std::filesystem::resize_file(dir.File("huge.xml"), 1ull << 30, error);
  if (error) GTEST_SKIP() << "this file system cannot hold a sparse file: " << error.message();
  CXMLParser parser;
  CXMLParser::LoadResult result = CXMLParser::LoadResult::Loaded;
  EXPECT_FALSE(parser.Load(dir.File("huge.xml"), CXMLParser::kMaxFileBytes, &result));
  EXPECT_EQ(CXMLParser::LoadResult::TooLarge, result);
}

TEST(XMLParser, LoadSelectAndUnload) {
  TempDir dir;
  std::ofstream(dir.File("a.xml")) << "<Configuration><Device a=\"1\"><RTPMode> x </RTPMode></Device></Configuration>";
  CXMLParser parser;
  EXPECT_FALSE(parser.Load(""));
  EXPECT_FALSE(parser.Load(dir.File("missing.xml")));
  EXPECT_EQ("", parser.GetText("Configuration"));
  ASSERT_TRUE(parser.Load(dir.File("a.xml")));
  EXPECT_FALSE(parser.Load(dir.File("a.xml"))) << "one document at a time";
  EXPECT_TRUE(parser.NodeExists("Configuration/Device[@a=\"1\"]"));
  EXPECT_FALSE(parser.NodeExists("Configuration/Device[@a=\"2\"]"));
  EXPECT_FALSE(parser.NodeExists("Configuration/Device[@a=\""));  // malformed: selects nothing
  EXPECT_EQ(" x ", parser.GetText("Configuration/Device/RTPMode"));
  parser.Unload();
  EXPECT_FALSE(parser.NodeExists("Configuration"));
  EXPECT_TRUE(parser.Load(dir.File("a.xml")));
}

}  // namespace
