#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <thread>
#include <vector>

#include "platform/Clock.h"
#include "platform/DynamicLibrary.h"
#include "platform/Network.h"
#include "platform/System.h"
#include "platform/Thread.h"

namespace platform = kestrum::platform;

namespace {

TEST(PlatformSystem, ExecutablePathNamesThisProgram) {
  std::string path = platform::ExecutablePath(4096);
  ASSERT_FALSE(path.empty());
#if defined(_WIN32)
  ASSERT_GT(path.size(), 3u);
  EXPECT_EQ(":\\", path.substr(1, 2)) << "a full path with its drive: " << path;
#else
  EXPECT_EQ('/', path[0]);
#endif
  EXPECT_NE(std::string::npos, path.find("platform_tests"));
  EXPECT_TRUE(platform::ExecutablePath(3).empty()) << "a path longer than the limit is refused";
}

TEST(PlatformSystem, ProcessorCountIsPositive) { EXPECT_GE(platform::ProcessorCount(), 1u); }

TEST(PlatformClock, FileTimeMatchesTheCalendarClock) {
  const uint64_t unixEpoch = 116444736000000000ULL;
  uint64_t before = static_cast<uint64_t>(std::time(nullptr));
  uint64_t now = platform::CurrentFileTime();
  uint64_t after = static_cast<uint64_t>(std::time(nullptr));
  ASSERT_GT(now, unixEpoch);
  uint64_t seconds = (now - unixEpoch) / 10000000ULL;
  EXPECT_GE(seconds, before);
  // time() reads the coarse clock, which may lag the precise one by a tick:
  // near a second's end the precise reading can already be in the next one.
  EXPECT_LE(seconds, after + 1);
}

TEST(PlatformNetwork, LooksUpDottedAndNamedAddresses) {
  uint32_t loopback = platform::LookupIPv4("127.0.0.1");
  uint8_t bytes[4];
  std::memcpy(bytes, &loopback, 4);
  EXPECT_EQ(127, bytes[0]);  // network order: most significant byte first
  EXPECT_EQ(0, bytes[1]);
  EXPECT_EQ(0, bytes[2]);
  EXPECT_EQ(1, bytes[3]);
  EXPECT_NE(0u, platform::LookupIPv4("localhost"));
  EXPECT_EQ(0u, platform::LookupIPv4(""));
  EXPECT_EQ(0u, platform::LookupIPv4(nullptr));
}

TEST(PlatformNetwork, LookupIsSafeFromManyThreadsAtOnce) {
  std::vector<std::thread> threads;
  std::vector<int> wrong(8, 0);
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([t, &wrong] {
      for (int i = 0; i < 50; ++i) {
        uint32_t a = platform::LookupIPv4(t % 2 == 0 ? "127.0.0.1" : "127.0.0.2");
        uint8_t bytes[4];
        std::memcpy(bytes, &a, 4);
        if (bytes[0] != 127 || bytes[3] != (t % 2 == 0 ? 1 : 2)) ++wrong[static_cast<size_t>(t)];
      }
    });
  }
  for (auto& t : threads) t.join();
  for (int count : wrong) EXPECT_EQ(0, count);
}

TEST(PlatformDynamicLibrary, MissingLibraryAndSymbol) {
  platform::DynamicLibrary library;
  EXPECT_FALSE(library.Open("/nonexistent/libnothing.so"));
  EXPECT_EQ(nullptr, library.Symbol("anything"));
#if defined(_WIN32)
  EXPECT_EQ("Tarnvale.dll", platform::LibraryFileName("Tarnvale"));
#else
  EXPECT_EQ("libTarnvale.so", platform::LibraryFileName("Tarnvale"));
#endif
}

}  // namespace
