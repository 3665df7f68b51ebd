// Small helpers shared by the tests.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "platform/System.h"

namespace kestrum {
namespace testing {

// Polls condition until it holds or ms pass; true when it held.
inline bool WaitUntil(const std::function<bool()>& condition, int ms = 5000) {
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
