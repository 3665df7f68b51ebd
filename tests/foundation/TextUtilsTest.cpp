#include "foundation/TextUtils.h"

#include <gtest/gtest.h>

using namespace kestrum;

namespace {

const std::string kCrLf = "\r\n";

TEST(GetLineValue, FindsTheLineWhoseNameIsExactlyTheKey) {
  EXPECT_EQ("2", GetLineValue("a=1\r\nb=2\r\n", "b", "=", kCrLf));
  EXPECT_EQ("", GetLineValue("a=1\r\nb=2\r\n", "B", "=", kCrLf));
  EXPECT_EQ("2", GetLineValue("xtype=1\r\ntype=2\r\n", "type", "=", kCrLf));
  EXPECT_EQ("", GetLineValue("subtype=x\r\n", "type", "=", kCrLf));
  EXPECT_EQ("1", GetLineValue("h264_rtsp=554/x\r\nh264=1\r\n", "h264", "=", kCrLf));
  EXPECT_EQ("S", GetLineValue("subtype=S\r\ntype=T\r\n", "subtype", "=", kCrLf));
  EXPECT_EQ("T", GetLineValue("subtype=S\r\ntype=T\r\n", "type", "=", kCrLf));
}

TEST(GetLineValue, ValuesAreUntrimmedAndEmptyValuesAreAbsent) {
  EXPECT_EQ(" 1.0", GetLineValue("version = 1.0\r\n", "version", "=", kCrLf));
  EXPECT_EQ("", GetLineValue("version=\r\nother=1\r\n", "version", "=", kCrLf));
  EXPECT_EQ("", GetLineValue("version=", "version", "=", kCrLf));
  EXPECT_EQ("last", GetLineValue("a=1\r\nz=last", "z", "=", kCrLf)) << "a value may run to the end";
  EXPECT_EQ("2", GetLineValue("k=\r\nk=2\r\n", "k", "=", kCrLf)) << "an empty value continues the search";
}

TEST(GetLineValue, RtspHeaderWithBlankSeparator) {
  std::string header = "RTSP/1.0 200 OK\r\nSession: 4a3f;timeout=60\r\n";
  EXPECT_EQ("4a3f", GetLineValue(header, "Session:", " ", ";\r\n"));
}

TEST(GetLineValue, SeparatorOnALaterLineSkipsKeysInBetween) {
  // "key" on line 1 has no "=" on its line; the search goes on from the "="
  // of line 3, skipping the occurrence on line 2.
  std::string text = "key\r\nkey\r\nfoo=1\r\nkey=3\r\n";
  EXPECT_EQ("3", GetLineValue(text, "key", "=", kCrLf));
  EXPECT_EQ("", GetLineValue("key only", "key", "=", kCrLf));
}

TEST(GetLineValue, EmptyArgumentsGiveEmpty) {
  EXPECT_EQ("", GetLineValue("a=1", "", "=", kCrLf));
  EXPECT_EQ("", GetLineValue("a=1", "a", "", kCrLf));
  EXPECT_EQ("", GetLineValue("a=1", "a", "=", ""));
}

TEST(TextRoutines, ReadNumber) {
  EXPECT_EQ(12, ReadNumber(" 12ab"));
  EXPECT_EQ(0, ReadNumber("abc"));
  EXPECT_EQ(-7, ReadNumber("-7"));
  EXPECT_EQ(5, ReadNumber("+5"));
  EXPECT_EQ(0, ReadNumber(""));
  EXPECT_EQ(0, ReadNumber("- 5"));
  EXPECT_EQ(554, ReadNumber("\t554/nph-h264.cgi"));
}

TEST(TextRoutines, SplitString) {
  EXPECT_EQ((std::vector<std::string>{"640x480", "", "320x240"}), SplitString("640x480;;320x240;", ';'));
  EXPECT_EQ((std::vector<std::string>{"", "a"}), SplitString(";a", ';'));
  EXPECT_TRUE(SplitString("", ';').empty());
  EXPECT_EQ((std::vector<std::string>{""}), SplitString(";", ';'));
  EXPECT_EQ((std::vector<std::string>{"554", "nph-h264.cgi"}), SplitString("554/nph-h264.cgi", '/'));
}

TEST(TextRoutines, TrimAndLower) {
  EXPECT_EQ("a b", TrimBlanks(" \t a b\t "));
  EXPECT_EQ("", TrimBlanks(" \t\t "));
  EXPECT_EQ("\r\nx\r\n", TrimBlanks("\r\nx\r\n")) << "only blanks and tabs are trimmed";
  EXPECT_EQ("digest realm=\"ab\xC4\"", ToLowerCopy("Digest REALM=\"aB\xC4\""));
}

TEST(TextRoutines, FormatStringOfAnyLength) {
  EXPECT_EQ("Count=2; IsStereo=1", FormatString("Count=%u; IsStereo=%u", 2u, 1u));
  std::string longText(10000, 'x');
  EXPECT_EQ(longText + "!", FormatString("%s!", longText.c_str()));
  EXPECT_EQ("", FormatString("%s", ""));
}

TEST(TextRoutines, RateToInterval) {
  const std::pair<uint32_t, uint32_t> cases[] = {{0, 1},   {30, 33},  {25, 40}, {15, 67},
                                                 {7, 143}, {1, 1000}, {40, 25}, {1000, 1}};
  for (auto [in, out] : cases) EXPECT_EQ(out, RateToInterval(in)) << in;
}

TEST(TextRoutines, ResolveIPv4) {
  EXPECT_EQ(0u, ResolveIPv4(""));
  EXPECT_NE(0u, ResolveIPv4("127.0.0.1"));
}

TEST(TextRoutines, IsAddressLiteral) {
  for (const char* literal : {"127.0.0.1", "0.0.0.0", "255.255.255.255", "::1", "fe80::1", "::ffff:10.0.0.1"}) {
    EXPECT_TRUE(IsAddressLiteral(literal)) << literal;
  }
  for (const char* name : {"", "cam.example", "10.0.0", "10.0.0.1.", "10.0.0.1.5", "256.0.0.1", "1..2.3", "0001.0.0.1",
                           "10.0.0.x", ".1.2.3", "fe80::1%eth0", "abc"}) {
    EXPECT_FALSE(IsAddressLiteral(name)) << name;
  }
}

}  // namespace
