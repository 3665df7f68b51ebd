// capture-host's option parsing: ports, ranges and lists.
#include <gtest/gtest.h>

#include "tools/capture-host/Arguments.h"

using kestrum::host::Arguments;

namespace {

struct PortsResult {
  bool ok;
  std::vector<uint16_t> ports;
  std::string error;
};

PortsResult ParsePorts(const std::vector<std::string>& args, size_t limit = 256) {
  Arguments a;
  PortsResult r{false, {80}, ""};
  if (!a.Parse(args, {"--port"}, {}, r.error)) return r;
  r.ok = a.Ports("--port", limit, r.ports, r.error);
  return r;
}

TEST(ArgumentsPorts, NumbersRangesAndListsInOrder) {
  EXPECT_EQ(std::vector<uint16_t>{80}, ParsePorts({}).ports) << "absent: the default stays";
  EXPECT_EQ(std::vector<uint16_t>{8080}, ParsePorts({"--port", "8080"}).ports);
  EXPECT_EQ((std::vector<uint16_t>{8000, 8001, 8002}), ParsePorts({"--port", "8000-8002"}).ports);
  EXPECT_EQ((std::vector<uint16_t>{9000, 8000, 8001, 1, 65535}),
            ParsePorts({"--port", "9000,8000-8001", "--port", "1,65535"}).ports);
  EXPECT_EQ(std::vector<uint16_t>{7}, ParsePorts({"--port", "7-7"}).ports);
}

TEST(ArgumentsPorts, RefusesWhatIsNotAPortWithTheOptionNamed) {
  for (const char* bad : {"eighty", "", "0", "65536", "123456", "8000-", "-8000", "8002-8000", "8000,,8001", "80,",
                          "1-2-3", "+80", " 80"}) {
    const PortsResult r = ParsePorts({"--port", bad});
    EXPECT_FALSE(r.ok) << '"' << bad << '"';
    EXPECT_EQ(0u, r.error.find("--port needs a number from 1 to 65535")) << r.error;
    EXPECT_NE(std::string::npos, r.error.find(std::string("\"") + bad + "\"")) << r.error;
  }
}

TEST(ArgumentsPorts, RefusesMorePortsThanTheLimitWithoutBuildingThem) {
  const PortsResult r = ParsePorts({"--port", "1-65535"}, 256);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ("--port names more than 256 ports", r.error);
  EXPECT_TRUE(ParsePorts({"--port", "1000-1255"}, 256).ok);
  EXPECT_FALSE(ParsePorts({"--port", "1000-1255", "--port", "2000"}, 256).ok);
}

}  // namespace
