// Native threads: start, join with a time limit, forced termination.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kestrum {
namespace platform {

constexpr uint32_t kInfinite = 0xFFFFFFFFu;

using ThreadProc = uint32_t (*)(void* argument);

// The stack every thread of this layer reserves, whatever the host program's
// executable header says (a MinGW-linked host asks 2 MB, a Microsoft-linked
// one 1 MB): in a 32-bit recorder process, hundreds of cameras' threads share
// 2 GB. It is address space, not memory: pages are taken as they are touched.
// The sanitizers' frames are several times larger; their builds reserve more
// (ThreadSanitizer's runtime was measured at 800 KB deep in our threads).
#if defined(__SANITIZE_THREAD__)
#define KESTRUM_SANITIZED_STACK 2
#elif defined(__SANITIZE_ADDRESS__)
#define KESTRUM_SANITIZED_STACK 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KESTRUM_SANITIZED_STACK 2
#elif __has_feature(address_sanitizer)
#define KESTRUM_SANITIZED_STACK 1
#endif
#endif
#if defined(KESTRUM_SANITIZED_STACK)
constexpr size_t kThreadStackBytes = KESTRUM_SANITIZED_STACK * 1024 * 1024;
#else
constexpr size_t kThreadStackBytes = 256 * 1024;
#endif

struct ThreadState;

// Identifies the calling thread; never 0, never reused within the process.
uint32_t CurrentThreadId();
// The system's own id of the calling thread, as debuggers and process
// viewers show it (the kernel's task id on Linux, the thread id on Windows).
// The system may reuse it once the thread has ended.
uint32_t CurrentSystemThreadId();

uint32_t ProcessorCount();

// For use inside catch (...): true when the exception in flight is the
// unwinding of a forced thread termination. A handler must rethrow it, or the
// runtime aborts the process.
bool IsThreadTermination();

// Owner's handle on one native thread. Move-only; the destructor forgets the
// thread without waiting (it keeps running detached).
class NativeThread {
 public:
  enum class JoinResult { Ended, TimedOut };

  NativeThread();
  ~NativeThread();
  NativeThread(NativeThread&& other) noexcept;
  NativeThread& operator=(NativeThread&& other) noexcept;
  NativeThread(const NativeThread&) = delete;
  NativeThread& operator=(const NativeThread&) = delete;

  // Starts proc(argument) on a new thread that reserves stackBytes of stack.
  // The name is shown by debuggers (truncated as the system requires). On
  // failure, ThreadStartFailure says why.
  bool Start(ThreadProc proc, void* argument, const char* name, size_t stackBytes = kThreadStackBytes);

  bool IsValid() const { return state_ != nullptr; }
  uint32_t Id() const;
  // The thread's system id (see CurrentSystemThreadId); 0 when none. Where
  // only the thread itself can tell it (Linux), a thread that has not run
  // yet is given a moment to.
  uint32_t SystemId() const;
  bool IsCurrent() const;
  // True while the thread body has not returned.
  bool IsRunning() const;

  // Waits up to ms for the thread to end; Ended also releases the handle.
  JoinResult Join(uint32_t ms);

  // Last resort: asks the thread to end at its next interruptible wait (event
  // waits and socket waits of this layer; never lock waits) and unwinds it
  // there, so locks held through guards are released. Waits up to graceMs for
  // that. True (and the handle released) when it ended; false when it did
  // not, the handle kept: the request stays, and the owner must Join before
  // freeing anything the thread uses.
  bool Terminate(uint32_t graceMs);

  // Forgets the thread without waiting.
  void Release();

 private:
  std::shared_ptr<ThreadState> state_;
};

// Why the calling thread's last failed NativeThread::Start failed, in words
// that name what ran out ("not enough memory"); empty before any failure.
std::string ThreadStartFailure();

// Stack depth, for tests and benchmarks: once enabled, every thread this
// layer starts paints its stack at its start and, when its body returns,
// records the deepest point it reached. Kinds are thread names up to their
// first digit or parenthesis ("UDP client thread, port ", "capture").
void EnableStackMeasurement();
struct StackUse {
  std::string kind;
  size_t deepest = 0;   // bytes below the stack's top that were written
  size_t reserved = 0;  // bytes the thread had
  uint32_t threads = 0;
};
std::vector<StackUse> MeasuredStackUse();

}  // namespace platform
}  // namespace kestrum
