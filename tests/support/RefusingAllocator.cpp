#include "tests/support/RefusingAllocator.h"

#include <atomic>
#include <cstdlib>
#include <new>
#include <thread>

namespace {

enum Refusal { kNone, kAll, kOthers, kAfter };
std::atomic<int> g_refusal{kNone};
std::thread::id g_spared;       // written before g_refusal says kOthers
std::atomic<long> g_granted{0};  // written before g_refusal says kAfter

void* Allocate(std::size_t size) noexcept {
  const int refusal = g_refusal.load(std::memory_order_acquire);
  if (refusal == kAll || (refusal == kOthers && std::this_thread::get_id() != g_spared)) return nullptr;
  if (refusal == kAfter && g_granted.fetch_sub(1, std::memory_order_relaxed) <= 0) return nullptr;
  return std::malloc(size != 0 ? size : 1);
}

void* AllocateOrThrow(std::size_t size) {
  if (void* block = Allocate(size)) return block;
  throw std::bad_alloc();
}

}  // namespace

namespace kestrum {
namespace testing {

void RefuseAllocations(bool on) { g_refusal.store(on ? kAll : kNone, std::memory_order_release); }

void RefuseAllocationsOnOtherThreads(bool on) {
  if (on) g_spared = std::this_thread::get_id();
  g_refusal.store(on ? kOthers : kNone, std::memory_order_release);
}

void RefuseAllocationsAfter(long count) {
  g_granted.store(count, std::memory_order_relaxed);
  g_refusal.store(kAfter, std::memory_order_release);
}

}  // namespace testing
}  // namespace kestrum

// Every form, so that what one allocates the other frees (a sanitizer's own
// nothrow form would not pair with this free).
void* operator new(std::size_t size) { return AllocateOrThrow(size); }
void* operator new[](std::size_t size) { return AllocateOrThrow(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
// What a nothrow new expression calls when the constructor throws.
void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { std::free(block); }
