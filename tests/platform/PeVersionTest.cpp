#include "platform/PeVersion.h"

#include <gtest/gtest.h>

#include "tests/support/PeImageBuilder.h"

using kestrum::platform::ParsePeProductVersion;
using kestrum::testing::BuildPeImage;
using kestrum::testing::PeVersionImage;

namespace {

// Where the builder puts VS_FIXEDFILEINFO: section at 0x400, block at 0x58, value at +40.
constexpr size_t kFixedInfo = 0x400 + 0x58 + 40;

TEST(PeVersion, ReadsProductVersionNotFileVersion) {
  for (bool plus : {false, true}) {
    PeVersionImage layout;
    layout.pe32Plus = plus;
    layout.product[0] = 6;
    layout.product[1] = 3;
    layout.product[2] = 1200;
    layout.product[3] = 7;
    auto image = BuildPeImage(layout);
    uint16_t v[4] = {};
    ASSERT_TRUE(ParsePeProductVersion(image.data(), image.size(), v)) << "PE32+=" << plus;
    EXPECT_EQ(6, v[0]);
    EXPECT_EQ(3, v[1]);
    EXPECT_EQ(1200, v[2]);
    EXPECT_EQ(7, v[3]);
  }
}

TEST(PeVersion, RejectsImagesWithoutUsableVersionResource) {
  uint16_t v[4] = {};
  PeVersionImage noVersion;
  noVersion.includeVersionResource = false;
  auto image = BuildPeImage(noVersion);
  EXPECT_FALSE(ParsePeProductVersion(image.data(), image.size(), v));

  auto good = BuildPeImage(PeVersionImage());
  auto badMz = good;
  badMz[0] = 'X';
  EXPECT_FALSE(ParsePeProductVersion(badMz.data(), badMz.size(), v));

  auto badSignature = good;
  badSignature[kFixedInfo] ^= 0xFF;  // first byte of the 0xFEEF04BD signature
  EXPECT_FALSE(ParsePeProductVersion(badSignature.data(), badSignature.size(), v));

  const uint8_t text[] = "not a portable executable at all";
  EXPECT_FALSE(ParsePeProductVersion(text, sizeof text, v));
  EXPECT_FALSE(ParsePeProductVersion(nullptr, 0, v));
}

TEST(PeVersion, TruncatedImagesNeverReadOutOfBounds) {
  // Every prefix is handed over in its own exact-size heap buffer so that the
  // address sanitizer sees any read past its end.
  auto image = BuildPeImage(PeVersionImage());
  int accepted = 0;
  for (size_t length = 0; length <= image.size(); ++length) {
    std::vector<uint8_t> prefix(image.begin(), image.begin() + static_cast<std::ptrdiff_t>(length));
    uint16_t v[4] = {};
    if (ParsePeProductVersion(prefix.data(), prefix.size(), v)) ++accepted;
  }
  // Only prefixes that still hold the whole version block parse.
  EXPECT_GT(accepted, 0);
  EXPECT_LT(accepted, static_cast<int>(image.size()));
}

TEST(PeVersion, CorruptedBytesFailOrGiveTheStoredVersion) {
  // A damaged header must never yield a made-up version: either the parse
  // fails or it finds the product version that is really stored.
  auto image = BuildPeImage(PeVersionImage());
  const size_t productFirst = kFixedInfo + 16;
  const size_t productLast = kFixedInfo + 23;
  int parsed = 0;
  for (size_t at = 0; at < image.size(); ++at) {
    if (at >= productFirst && at <= productLast) continue;
    for (uint8_t value : {uint8_t{0x00}, uint8_t{0xFF}, uint8_t{0x80}}) {
      auto corrupt = image;
      corrupt[at] = value;
      uint16_t v[4] = {};
      if (ParsePeProductVersion(corrupt.data(), corrupt.size(), v)) {
        ++parsed;
        EXPECT_EQ(6, v[0]) << "offset " << at;
        EXPECT_EQ(3, v[1]) << "offset " << at;
        EXPECT_EQ(0, v[2]) << "offset " << at;
        EXPECT_EQ(0, v[3]) << "offset " << at;
      }
    }
  }
  EXPECT_GT(parsed, 0);  // bytes outside the structures do not matter
}

}  // namespace
