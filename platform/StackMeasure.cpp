#include "platform/StackMeasure.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>

#include "platform/Thread.h"

namespace kestrum {
namespace platform {

namespace {

constexpr uint8_t kPaint = 0xA7;
// Left unpainted at the bottom: the system's guard pages live there.
constexpr uintptr_t kBottomReserve = 16 * 1024;
// Left unpainted below the painter's own frame (its callees' frames).
constexpr uintptr_t kFrameReserve = 1024;

std::atomic<bool> g_enabled{false};

struct Table {
  std::mutex lock;
  std::map<std::string, StackUse> kinds;
};
Table& Uses() {
  static Table* table = new Table();  // threads may end while the process exits
  return *table;
}

std::string KindOf(const std::string& name) {
  const size_t end = name.find_first_of("0123456789(");
  std::string kind = name.substr(0, end);
  while (!kind.empty() && kind.back() == ' ') kind.pop_back();
  return kind.empty() ? std::string("(unnamed)") : kind;
}

}  // namespace

void EnableStackMeasurement() { g_enabled = true; }

std::vector<StackUse> MeasuredStackUse() {
  Table& table = Uses();
  std::lock_guard<std::mutex> guard(table.lock);
  std::vector<StackUse> result;
  for (const auto& entry : table.kinds) result.push_back(entry.second);
  return result;
}

namespace stack {

bool MeasurementEnabled() { return g_enabled.load(); }

// Writes below its own frame: no sanitizer may check these stores, and the
// compiler must not turn the loop into a call whose frame would be painted.
#if defined(__clang__) || defined(__GNUC__)
__attribute__((noinline, no_sanitize_address, no_sanitize("thread")))
#endif
void Paint(uintptr_t low) {
  volatile uint8_t marker = 0;
  const uintptr_t top = reinterpret_cast<uintptr_t>(&marker) - kFrameReserve;
  const uintptr_t bottom = low + kBottomReserve;
  for (uintptr_t at = top; at > bottom; --at) *reinterpret_cast<volatile uint8_t*>(at) = kPaint;
}

#if defined(__clang__) || defined(__GNUC__)
__attribute__((noinline, no_sanitize_address, no_sanitize("thread")))
#endif
void Record(const std::string& name, uintptr_t low, uintptr_t high) {
  uintptr_t at = low + kBottomReserve + 1;
  while (at < high && *reinterpret_cast<volatile uint8_t*>(at) == kPaint) ++at;
  const size_t deepest = static_cast<size_t>(high - at);
  Table& table = Uses();
  std::lock_guard<std::mutex> guard(table.lock);
  StackUse& use = table.kinds[KindOf(name)];
  use.kind = KindOf(name);
  use.deepest = std::max(use.deepest, deepest);
  use.reserved = use.reserved == 0 ? static_cast<size_t>(high - low) : std::min(use.reserved, static_cast<size_t>(high - low));
  ++use.threads;
}

}  // namespace stack
}  // namespace platform
}  // namespace kestrum
