// Native threads: start, join with a time limit, forced termination.
#pragma once

#include <cstdint>
#include <memory>

namespace kestrum {
namespace platform {

constexpr uint32_t kInfinite = 0xFFFFFFFFu;

using ThreadProc = uint32_t (*)(void* argument);

struct ThreadState;

// Identifies the calling thread; never 0, never reused within the process.
uint32_t CurrentThreadId();

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

  // Starts proc(argument) on a new thread with the default stack. The name is
  // shown by debuggers (truncated as the system requires).
  bool Start(ThreadProc proc, void* argument, const char* name);

  bool IsValid() const { return state_ != nullptr; }
  uint32_t Id() const;
  bool IsCurrent() const;
  // True while the thread body has not returned.
  bool IsRunning() const;

  // Waits up to ms for the thread to end; Ended also releases the handle.
  JoinResult Join(uint32_t ms);

  // Last resort: asks the thread to end at its next interruptible wait (event
  // waits and socket waits of this layer; never lock waits) and unwinds it
  // there, so locks held through guards are released. Waits up to graceMs for
  // that; returns false if the thread did not end, in which case it is left
  // running detached. The handle is released either way.
  bool Terminate(uint32_t graceMs);

  // Forgets the thread without waiting.
  void Release();

 private:
  std::shared_ptr<ThreadState> state_;
};

}  // namespace platform
}  // namespace kestrum
