#include <gtest/gtest.h>

#include "driver/DebugInfo.h"
#include "driver/ResultDef.h"

using namespace kestrum;

namespace {

HOST_VERSION Version(uint16_t major, uint16_t minor, uint16_t build = 0, uint16_t revision = 0) {
  HOST_VERSION v;
  v.Major = major;
  v.Minor = minor;
  v.Build = build;
  v.Revision = revision;
  return v;
}

TEST(LevelTranslation, FollowsTheHostVersion) {
  // Build and revision do not matter.
  EXPECT_EQ(2, TranslateLevel(3, Version(5, 11, 9, 9)));
  EXPECT_EQ(2, TranslateLevel(100, Version(5, 11, 9, 9)));
  EXPECT_EQ(2, TranslateLevel(100, Version(4, 99)));
  EXPECT_EQ(3, TranslateLevel(3, Version(5, 12)));
  EXPECT_EQ(3, TranslateLevel(100, Version(5, 12)));
  EXPECT_EQ(3, TranslateLevel(100, Version(6, 2, 65535, 65535)));
  EXPECT_EQ(100, TranslateLevel(100, Version(6, 3)));
  EXPECT_EQ(100, TranslateLevel(100, Version(7, 0)));
  EXPECT_EQ(3, TranslateLevel(3, Version(7, 0)));
  for (uint32_t level : {1u, 2u}) {
    EXPECT_EQ(level, TranslateLevel(level, Version(5, 0)));
    EXPECT_EQ(level, TranslateLevel(level, Version(7, 0)));
  }
}

TEST(DebugInfo, EmptyTextIsGivenAsNull) {
  CDebugInfo empty(3, "");
  EXPECT_EQ(nullptr, empty.GetText());
  CDebugInfo line(1, "camera lost");
  EXPECT_STREQ("camera lost", line.GetText());
  EXPECT_EQ(1, line.GetLevel());
}

TEST(ResultDef, StartsAsSuccessAndFormatsItsMessage) {
  CResultDef result;
  EXPECT_EQ(3u, result.GetLevel());
  EXPECT_EQ(0u, result.GetCode());
  EXPECT_TRUE(result.GetMessage().empty());
  result.SetResultEx(1, 9, "%s: HTTP status %u for %s", "kestrum::HUtils::RequestGetRD", 404u, "/info.cgi");
  EXPECT_EQ(1u, result.GetLevel());
  EXPECT_EQ(9u, result.GetCode());
  EXPECT_EQ("kestrum::HUtils::RequestGetRD: HTTP status 404 for /info.cgi", result.GetMessage());
  EXPECT_FALSE(result.Succeeded());
}

TEST(ResultDef, NullFormatKeepsLevelAndCodeAndClearsTheMessage) {
  CResultDef result;
  result.SetResultEx(2, 5, "earlier %d", 1);
  result.SetResultEx(1, 7, nullptr);
  EXPECT_EQ(1u, result.GetLevel());
  EXPECT_EQ(7u, result.GetCode());
  EXPECT_TRUE(result.GetMessage().empty());
}

}  // namespace
