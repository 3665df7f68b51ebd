// The MPEG-4 parser with the outside header library installed (a stand-in
// found through the library path this test runs with).
#include <gtest/gtest.h>

#include "parsers/MpegMediaParser.h"
#include "tests/parsers/ParserClient.h"
#include "tests/support/FakeDriver.h"

using namespace kestrum;
using namespace kestrum::testing;

TEST(MpegOutsideLibrary, IsFoundAtRunTimeAndSizesTheKeyFrames) {
  FakeDriver driver;
  ParserClient client;
  CMpegMediaParser parser(&driver);
  parser.SetClient(&client);
  ASSERT_TRUE(parser.UsesOutsideLibrary());
  // A header without any layer (our own reader would refuse it), an intra
  // plane, a predicted plane, and a start code that ends the second.
  const std::string stream = std::string("\x00\x00\x01\xB0\x01", 5) + std::string("\x00\x00\x01\xB6\x10\x20\x30", 7) +
                             std::string("\x00\x00\x01\xB6\x50\x60\x70", 7) + std::string("\x00\x00\x01\xB6\x50\x00\x00\x00", 8);
  parser.ProcessData(std::vector<uint8_t>(stream.begin(), stream.end()));
  ASSERT_EQ(2u, client.frames.size());
  EXPECT_EQ(123u, client.frames[0].width);
  EXPECT_EQ(45u, client.frames[0].height);
  EXPECT_EQ(std::string("\x00\x00\x01\xB0\x01\x00\x00\x01\xB6\x10\x20\x30", 12), client.frames[0].data);
  EXPECT_EQ(123u, client.frames[1].width);
}
