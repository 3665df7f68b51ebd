#include "platform/ProcessStats.h"

#include <windows.h>
// After windows.h, which they need.
#include <psapi.h>
#include <tlhelp32.h>

namespace kestrum {
namespace platform {

namespace {

// Busy and all blocks of one heap; walking it locks it only briefly per block.
void AddHeap(HANDLE heap, ProcessStats& stats) {
  if (!HeapLock(heap)) return;
  PROCESS_HEAP_ENTRY entry{};
  while (HeapWalk(heap, &entry)) {
    if ((entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) != 0) {
      stats.heapInUseBytes += entry.cbData;
      stats.heapHeldBytes += entry.cbData + entry.cbOverhead;
    } else if ((entry.wFlags & (PROCESS_HEAP_REGION | PROCESS_HEAP_UNCOMMITTED_RANGE)) == 0) {
      stats.heapHeldBytes += entry.cbData + entry.cbOverhead;
    }
  }
  HeapUnlock(heap);
}

}  // namespace

ProcessStats ReadProcessStats() {
  ProcessStats stats;
  PROCESS_MEMORY_COUNTERS_EX memory{};
  memory.cb = sizeof memory;
  if (GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory), sizeof memory)) {
    stats.residentBytes = memory.WorkingSetSize;
    stats.mappedBytes = memory.PrivateUsage;
  }
  // The C runtime allocates from the process heap; other heaps count too.
  HANDLE heaps[64];
  const DWORD count = GetProcessHeaps(64, heaps);
  for (DWORD i = 0; i < count && i < 64; ++i) AddHeap(heaps[i], stats);

  const DWORD self = GetCurrentProcessId();
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot != INVALID_HANDLE_VALUE) {
    THREADENTRY32 thread{};
    thread.dwSize = sizeof thread;
    for (BOOL more = Thread32First(snapshot, &thread); more; more = Thread32Next(snapshot, &thread)) {
      if (thread.th32OwnerProcessID == self) ++stats.threads;
    }
    CloseHandle(snapshot);
  }
  DWORD handles = 0;
  if (GetProcessHandleCount(GetCurrentProcess(), &handles)) stats.descriptors = handles;
  return stats;
}

}  // namespace platform
}  // namespace kestrum
