// Small helpers shared by the tests.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "platform/System.h"

namespace kestrum {
namespace testing {

// Polls condition until it holds or ms pass; true when it held. The default
// bound only costs a test that fails: it is wide enough for an emulated
// processor (the i686 tests' virtual machine runs several times slower).
inline bool WaitUntil(const std::function<bool()>& condition, int ms = 30000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// A whole (small) file as text; empty when it cannot be read.
inline std::string ReadText(const std::string& path) {
  std::string text;
  platform::ReadWholeFile(path, text, 64u << 20);
  return text;
}

}  // namespace testing
}  // namespace kestrum
