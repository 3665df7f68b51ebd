#include "platform/Thread.h"

#include <cxxabi.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <new>
#include <string>

#include "platform/Event.h"
#include "platform/StackMeasure.h"

namespace kestrum {
namespace platform {

struct ThreadState {
  pthread_t thread{};
  ThreadProc proc = nullptr;
  void* argument = nullptr;
  uint32_t id = 0;
  // Told by the thread itself as it starts.
  std::atomic<uint32_t> systemId{0};
  std::string name;
  NativeEvent done{true};
};

namespace {

std::atomic<uint32_t> g_nextThreadId{1};
// Plain values in the static block that comes with each thread: a loaded
// library's thread_local is otherwise allocated on a thread's first use,
// and glibc aborts the process when that allocation fails.
#define KESTRUM_STATIC_TLS __attribute__((tls_model("initial-exec")))
thread_local uint32_t t_threadId KESTRUM_STATIC_TLS = 0;
// Why this thread's last start failed: a kind and the system's error code.
enum StartFailureKind { kNoFailure, kNoMemory, kNoBody, kNoEvent, kSystem };
thread_local int t_startFailureKind KESTRUM_STATIC_TLS = kNoFailure;
thread_local int t_startError KESTRUM_STATIC_TLS = 0;
void SetStartFailure(StartFailureKind kind, int error = 0) {
  t_startFailureKind = kind;
  t_startError = error;
}

uint32_t AllocateThreadId() {
  uint32_t id = g_nextThreadId.fetch_add(1, std::memory_order_relaxed);
  if (id == 0) id = g_nextThreadId.fetch_add(1, std::memory_order_relaxed);
  return id;
}

// Signals the done event however the body ends, forced unwinding included.
struct DoneSignal {
  ThreadState* state;
  ~DoneSignal() { state->done.Set(); }
};

std::string DescribeStartError(int error) {
  // glibc says EAGAIN both when the stack cannot be mapped and when a limit
  // on threads (RLIMIT_NPROC, threads-max) is reached.
  if (error == EAGAIN) return "not enough memory or threads";
  if (error == ENOMEM) return "not enough memory";
  return std::string("system error ") + std::strerror(error);
}

void* Trampoline(void* raw) {
  auto* holder = static_cast<std::shared_ptr<ThreadState>*>(raw);
  std::shared_ptr<ThreadState> state = std::move(*holder);
  delete holder;

  t_threadId = state->id;
  state->systemId.store(CurrentSystemThreadId(), std::memory_order_release);
  // Termination is honoured only inside the interruptible waits of this layer.
  pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr);
  if (!state->name.empty()) {
    std::string shortName = state->name.substr(0, 15);
    pthread_setname_np(pthread_self(), shortName.c_str());
  }
  uintptr_t low = 0;
  uintptr_t high = 0;
  const bool measured = stack::MeasurementEnabled() && stack::CurrentBounds(low, high);
  if (measured) stack::Paint(low);
  DoneSignal signal{state.get()};
  state->proc(state->argument);
  if (measured) stack::Record(state->name, low, high);
  return nullptr;
}

}  // namespace

namespace stack {
bool CurrentBounds(uintptr_t& low, uintptr_t& high) {
  pthread_attr_t attributes;
  if (pthread_getattr_np(pthread_self(), &attributes) != 0) return false;
  void* address = nullptr;
  size_t size = 0;
  const bool known = pthread_attr_getstack(&attributes, &address, &size) == 0;
  pthread_attr_destroy(&attributes);
  if (!known) return false;
  low = reinterpret_cast<uintptr_t>(address);
  high = low + size;
  return true;
}
}  // namespace stack

std::string ThreadStartFailure() {
  switch (t_startFailureKind) {
    case kNoFailure:
      return std::string();
    case kNoMemory:
      return "not enough memory";
    case kNoBody:
      return "no thread body";
    case kNoEvent:
      return "no event for it (out of descriptors or memory)";
    default:
      return DescribeStartError(t_startError);
  }
}

uint32_t CurrentThreadId() {
  if (t_threadId == 0) t_threadId = AllocateThreadId();
  return t_threadId;
}

uint32_t CurrentSystemThreadId() { return static_cast<uint32_t>(gettid()); }

bool IsThreadTermination() {
  // glibc unwinds a cancelled thread with a foreign exception, which has no
  // C++ type.
  return abi::__cxa_current_exception_type() == nullptr;
}

uint32_t ProcessorCount() {
  long count = sysconf(_SC_NPROCESSORS_ONLN);
  return count > 0 ? static_cast<uint32_t>(count) : 1u;
}

NativeThread::NativeThread() = default;
NativeThread::~NativeThread() { Release(); }
NativeThread::NativeThread(NativeThread&& other) noexcept : state_(std::move(other.state_)) {}
NativeThread& NativeThread::operator=(NativeThread&& other) noexcept {
  if (this != &other) {
    Release();
    state_ = std::move(other.state_);
  }
  return *this;
}

bool NativeThread::Start(ThreadProc proc, void* argument, const char* name, size_t stackBytes) {
  Release();
  SetStartFailure(kNoFailure);
  std::shared_ptr<ThreadState> state;
  std::shared_ptr<ThreadState>* holder = nullptr;
  try {
    state = std::make_shared<ThreadState>();
    if (name != nullptr) state->name = name;
    holder = new std::shared_ptr<ThreadState>(state);
  } catch (const std::bad_alloc&) {
    SetStartFailure(kNoMemory);
    return false;
  }
  if (!state->done.IsValid() || proc == nullptr) {
    delete holder;
    SetStartFailure(proc == nullptr ? kNoBody : kNoEvent);
    return false;
  }
  state->proc = proc;
  state->argument = argument;
  state->id = AllocateThreadId();

  // Published before the thread exists: its body may ask about its own
  // handle (stopping itself) at once.
  state_ = state;
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  // The library decides its threads' stacks, not the program's defaults.
  if (stackBytes != 0) pthread_attr_setstacksize(&attributes, std::max<size_t>(stackBytes, PTHREAD_STACK_MIN));
  const int error = pthread_create(&state->thread, &attributes, &Trampoline, holder);
  pthread_attr_destroy(&attributes);
  if (error != 0) {
    delete holder;
    state_.reset();
    SetStartFailure(kSystem, error);
    return false;
  }
  return true;
}

uint32_t NativeThread::Id() const { return state_ ? state_->id : 0; }

uint32_t NativeThread::SystemId() const {
  if (!state_) return 0;
  // A thread just created may not have run yet; it tells its id first thing.
  for (int i = 0; i < 1100; ++i) {
    const uint32_t id = state_->systemId.load(std::memory_order_acquire);
    if (id != 0 || state_->done.WaitUninterruptible(0)) return id;
    if (i < 100) {
      sched_yield();
    } else {
      usleep(1000);
    }
  }
  return 0;
}

bool NativeThread::IsCurrent() const {
  return state_ != nullptr && state_->id == CurrentThreadId();
}

bool NativeThread::IsRunning() const {
  return state_ != nullptr && !state_->done.WaitUninterruptible(0);
}

NativeThread::JoinResult NativeThread::Join(uint32_t ms) {
  if (!state_) return JoinResult::Ended;
  if (!state_->done.WaitUninterruptible(ms)) return JoinResult::TimedOut;
  // The body has returned; only the thread's epilogue is left.
  pthread_join(state_->thread, nullptr);
  state_.reset();
  return JoinResult::Ended;
}

bool NativeThread::Terminate(uint32_t graceMs) {
  if (!state_) return true;
  pthread_cancel(state_->thread);
  if (!state_->done.WaitUninterruptible(graceMs)) return false;
  pthread_join(state_->thread, nullptr);
  state_.reset();
  return true;
}

void NativeThread::Release() {
  if (!state_) return;
  pthread_detach(state_->thread);
  state_.reset();
}

}  // namespace platform
}  // namespace kestrum
