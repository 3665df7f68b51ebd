// A host process that runs out of address space while adding cameras (the
// recorder's 32-bit process with too many): the cameras already recording go
// on, those that cannot start say what ran out, and the process survives.
// The host runs as a program of its own (tests/channels/ExhaustionHost.cpp),
// limited there; the simulator serves it from this process.
#include <gtest/gtest.h>

#include <string>

#include "platform/Process.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestUtil.h"
#include "tools/camera-sim/Simulator.h"

using namespace kestrum;
using namespace kestrum::testing;

namespace {

TEST(AddressSpaceExhaustion, FirstCamerasRecordAndTheOthersSayWhatRanOut) {
  constexpr int kAdded = 96;
  sim::SimOptions options;
  options.cameras = 4 + kAdded;
  sim::Simulator sim(options);
  std::string error;
  ASSERT_TRUE(sim.Start(error)) << error;
  TempDir dir;
  const std::string output = dir.File("host.log");
  platform::ChildProcess host;
  // 24 MiB beyond what the host holds with its first cameras: a few dozen
  // more fit, not ninety-six.
  ASSERT_TRUE(host.Start({EXHAUSTION_HOST_PATH, "127.0.0.1", std::to_string(sim.HttpPort(0)),
                          std::to_string(sim.RtspPort(0)), std::to_string(kAdded), "24"},
                         output));
  const int status = host.Wait(180000);
  sim.Stop();
  const std::string report = ReadText(output);
  if (status == 77) GTEST_SKIP() << report;
  EXPECT_EQ(0, status) << report;
  EXPECT_NE(std::string::npos, report.find("\nheld")) << report;
  std::printf("%s", report.c_str());
}

}  // namespace
