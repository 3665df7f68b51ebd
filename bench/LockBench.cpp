// CRecursiveLock against std::recursive_mutex, uncontended and with two
// threads hammering the same lock, in one run.
#include <benchmark/benchmark.h>

#include <mutex>

#include "foundation/RecursiveLock.h"

namespace {

kestrum::CRecursiveLock g_lock;
std::recursive_mutex g_mutex;
long g_lockCounter = 0;
long g_mutexCounter = 0;

void BM_RecursiveLock_EnterLeave(benchmark::State& state) {
  for (auto _ : state) {
    g_lock.Enter();
    ++g_lockCounter;
    g_lock.Leave();
  }
  benchmark::DoNotOptimize(g_lockCounter);
}

void BM_StdRecursiveMutex_LockUnlock(benchmark::State& state) {
  for (auto _ : state) {
    g_mutex.lock();
    ++g_mutexCounter;
    g_mutex.unlock();
  }
  benchmark::DoNotOptimize(g_mutexCounter);
}

void BM_RecursiveLock_Guard(benchmark::State& state) {
  for (auto _ : state) {
    kestrum::CLockGuard guard(g_lock);
    ++g_lockCounter;
  }
  benchmark::DoNotOptimize(g_lockCounter);
}

void BM_StdRecursiveMutex_Guard(benchmark::State& state) {
  for (auto _ : state) {
    std::lock_guard<std::recursive_mutex> guard(g_mutex);
    ++g_mutexCounter;
  }
  benchmark::DoNotOptimize(g_mutexCounter);
}

}  // namespace

BENCHMARK(BM_RecursiveLock_EnterLeave)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(BM_StdRecursiveMutex_LockUnlock)->Threads(1)->Threads(2)->UseRealTime();
BENCHMARK(BM_RecursiveLock_Guard)->Threads(1)->UseRealTime();
BENCHMARK(BM_StdRecursiveMutex_Guard)->Threads(1)->UseRealTime();
