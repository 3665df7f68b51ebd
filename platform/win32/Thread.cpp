#include "platform/Thread.h"

#include <process.h>
#include <pthread.h>
#include <windows.h>

#include <atomic>
#include <exception>
#include <new>
#include <string>

#include "platform/Event.h"
#include "platform/StackMeasure.h"
#include "platform/win32/Termination.h"

namespace kestrum {
namespace platform {

struct ThreadState {
  HANDLE thread = nullptr;
  ThreadProc proc = nullptr;
  void* argument = nullptr;
  uint32_t id = 0;
  uint32_t systemId = 0;
  std::string name;
  NativeEvent done{true};
  // Set by the thread once it knows whether it can run (see Trampoline).
  NativeEvent ready{true};
  std::atomic<bool> runtimeMissing{false};
  HANDLE terminate = CreateEventW(nullptr, TRUE, FALSE, nullptr);

  ~ThreadState() {
    if (thread != nullptr) CloseHandle(thread);
    if (terminate != nullptr) CloseHandle(terminate);
  }
};

namespace {

std::atomic<uint32_t> g_nextThreadId{1};

// Per-thread values in the system's own slots: the compiler's thread_local
// is emulated here (allocated on a thread's first use, and the process
// aborted when that allocation fails), and a thread of ours must start even
// when the heap is exhausted.
class ThreadSlot {
 public:
  ThreadSlot() : index_(TlsAlloc()) {}
  uintptr_t Get() const { return index_ != TLS_OUT_OF_INDEXES ? reinterpret_cast<uintptr_t>(TlsGetValue(index_)) : 0; }
  void Set(uintptr_t value) const {
    if (index_ != TLS_OUT_OF_INDEXES) TlsSetValue(index_, reinterpret_cast<void*>(value));
  }

 private:
  DWORD index_;
};
const ThreadSlot t_threadId;
const ThreadSlot t_terminate;
// Why this thread's last start failed: a kind and the system's error code.
const ThreadSlot t_startFailure;
enum StartFailureKind : uintptr_t { kNoFailure, kNoMemory, kNoBody, kNoEvent, kSystem };
void SetStartFailure(StartFailureKind kind, DWORD error = 0) {
  t_startFailure.Set(static_cast<uintptr_t>(kind) | static_cast<uintptr_t>(error) << 4);
}

uint32_t AllocateThreadId() {
  uint32_t id = g_nextThreadId.fetch_add(1, std::memory_order_relaxed);
  if (id == 0) id = g_nextThreadId.fetch_add(1, std::memory_order_relaxed);
  return id;
}

// Debuggers show the name; the call exists from Windows 10 on, so it is
// looked up rather than linked.
// Without allocating: it runs before the body's own handlers, where an
// exhausted heap must not end the process.
void NameThread(const std::string& name) {
  using SetDescription = HRESULT(WINAPI*)(HANDLE, PCWSTR);
  HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  if (kernel == nullptr || name.empty()) return;
  auto set = reinterpret_cast<SetDescription>(reinterpret_cast<void*>(GetProcAddress(kernel, "SetThreadDescription")));
  if (set == nullptr) return;
  wchar_t wide[64];
  size_t length = 0;
  for (; length + 1 < sizeof wide / sizeof wide[0] && length < name.size(); ++length) {
    wide[length] = static_cast<unsigned char>(name[length]);
  }
  wide[length] = L'\0';
  set(GetCurrentThread(), wide);
}

std::string DescribeStartError(DWORD error) {
  switch (error) {
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
    case ERROR_COMMITMENT_LIMIT:
      return "not enough memory";
    case ERROR_MAX_THRDS_REACHED:
      return "too many threads";
    case ERROR_NO_SYSTEM_RESOURCES:
      return "not enough system resources";
    default:
      return "system error " + std::to_string(error);
  }
}

// Signals the done event however the body ends, termination included.
struct DoneSignal {
  ThreadState* state;
  ~DoneSignal() { state->done.Set(); }
};

unsigned __stdcall Trampoline(void* raw) {
  auto* holder = static_cast<std::shared_ptr<ThreadState>*>(raw);
  std::shared_ptr<ThreadState> state = std::move(*holder);
  delete holder;

  t_threadId.Set(state->id);
  t_terminate.Set(reinterpret_cast<uintptr_t>(state->terminate));
  // The C++ runtime keeps per-thread data in the POSIX-threads layer, made
  // on a thread's first use; when memory has run out it is missing, and the
  // first exception or lock that needs it crashes the process. Made here
  // first: without it the thread does not run, and its start fails.
  if (pthread_self() == 0) {
    state->runtimeMissing = true;
    state->ready.Set();
    state->done.Set();
    return 0;
  }
  state->ready.Set();
  NameThread(state->name);
  uintptr_t low = 0;
  uintptr_t high = 0;
  const bool measured = stack::MeasurementEnabled() && stack::CurrentBounds(low, high);
  if (measured) stack::Paint(low);
  DoneSignal signal{state.get()};
  try {
    state->proc(state->argument);
    if (measured) stack::Record(state->name, low, high);
  } catch (const win32::ThreadTerminationUnwind&) {
    // The owner ended the thread; its guards have run.
  }
  return 0;
}

}  // namespace

namespace win32 {

HANDLE CurrentTerminationEvent() { return reinterpret_cast<HANDLE>(t_terminate.Get()); }

void ThrowTermination() { throw ThreadTerminationUnwind(); }

DWORD WaitInterruptible(const HANDLE* handles, DWORD count, DWORD ms, bool interruptible) {
  HANDLE all[MAXIMUM_WAIT_OBJECTS];
  if (count == 0 || count >= MAXIMUM_WAIT_OBJECTS) return WAIT_FAILED;
  HANDLE terminate = interruptible && ms != 0 ? CurrentTerminationEvent() : nullptr;
  // The termination request comes first, as a pending cancellation does on
  // POSIX: a handle that stays signalled must not hide it.
  DWORD offset = 0;
  if (terminate != nullptr) all[offset++] = terminate;
  for (DWORD i = 0; i < count; ++i) all[offset + i] = handles[i];
  DWORD result = WaitForMultipleObjects(count + offset, all, FALSE, ms);
  if (result >= WAIT_OBJECT_0 && result < WAIT_OBJECT_0 + count + offset) {
    DWORD index = result - WAIT_OBJECT_0;
    if (offset == 1 && index == 0) ThrowTermination();
    return index - offset;
  }
  // Abandoned waits (mutexes, which this layer never waits on) fail too.
  return result == WAIT_TIMEOUT ? WAIT_TIMEOUT : WAIT_FAILED;
}

}  // namespace win32

namespace stack {
bool CurrentBounds(uintptr_t& low, uintptr_t& high) {
  // What GetCurrentThreadStackLimits (Windows 8 and later) tells, from what
  // every Windows has: the stack is the reservation this frame lies in,
  // from its base to the end of its last region.
  MEMORY_BASIC_INFORMATION region{};
  if (VirtualQuery(&region, &region, sizeof region) != sizeof region) return false;
  void* const base = region.AllocationBase;
  uintptr_t at = reinterpret_cast<uintptr_t>(base);
  for (;;) {
    MEMORY_BASIC_INFORMATION next{};
    if (VirtualQuery(reinterpret_cast<void*>(at), &next, sizeof next) != sizeof next ||
        next.AllocationBase != base || next.RegionSize == 0) {
      break;
    }
    at = reinterpret_cast<uintptr_t>(next.BaseAddress) + next.RegionSize;
  }
  low = reinterpret_cast<uintptr_t>(base);
  high = at;
  return high > low;
}
}  // namespace stack

std::string ThreadStartFailure() {
  const uintptr_t failure = t_startFailure.Get();
  const DWORD error = static_cast<DWORD>(failure >> 4);
  switch (static_cast<StartFailureKind>(failure & 0xF)) {
    case kNoFailure:
      return std::string();
    case kNoMemory:
      return "not enough memory";
    case kNoBody:
      return "no thread body";
    case kNoEvent:
      return "no event for it (" + DescribeStartError(error) + ")";
    default:
      return DescribeStartError(error);
  }
}

uint32_t CurrentSystemThreadId() { return static_cast<uint32_t>(GetCurrentThreadId()); }

uint32_t CurrentThreadId() {
  uint32_t id = static_cast<uint32_t>(t_threadId.Get());
  if (id == 0) {
    id = AllocateThreadId();
    t_threadId.Set(id);
  }
  return id;
}

bool IsThreadTermination() {
  if (!std::current_exception()) return false;
  try {
    throw;
  } catch (const win32::ThreadTerminationUnwind&) {
    return true;
  } catch (...) {
    return false;
  }
}

uint32_t ProcessorCount() {
  SYSTEM_INFO info{};
  GetSystemInfo(&info);
  return info.dwNumberOfProcessors > 0 ? info.dwNumberOfProcessors : 1u;
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
  if (!state->done.IsValid() || !state->ready.IsValid() || state->terminate == nullptr || proc == nullptr) {
    delete holder;
    if (proc == nullptr) {
      SetStartFailure(kNoBody);
    } else {
      SetStartFailure(kNoEvent, GetLastError());
    }
    return false;
  }
  state->proc = proc;
  state->argument = argument;
  state->id = AllocateThreadId();

  // Published before the thread exists: its body may ask about its own
  // handle (stopping itself) at once.
  state_ = state;
  // A reservation, not a commit: without the flag the size would be
  // committed at once, and the reservation would come from the program's
  // executable header.
  const unsigned size = static_cast<unsigned>(stackBytes);
  unsigned systemId = 0;
  uintptr_t handle = _beginthreadex(nullptr, size, &Trampoline, holder, size != 0 ? STACK_SIZE_PARAM_IS_A_RESERVATION : 0,
                                    &systemId);
  if (handle == 0) {
    const DWORD error = GetLastError();
    delete holder;
    state_.reset();
    SetStartFailure(kSystem, error);
    return false;
  }
  state->thread = reinterpret_cast<HANDLE>(handle);
  state->systemId = systemId;
  // A moment: the thread says at once whether it can run. (Not forever: a
  // start under the loader lock runs the thread only after it is released.)
  state->ready.WaitUninterruptible(10000);
  if (state->runtimeMissing) {
    WaitForSingleObject(state->thread, INFINITE);
    state_.reset();
    SetStartFailure(kNoMemory);
    return false;
  }
  return true;
}

uint32_t NativeThread::Id() const { return state_ ? state_->id : 0; }

uint32_t NativeThread::SystemId() const { return state_ ? state_->systemId : 0; }

bool NativeThread::IsCurrent() const { return state_ != nullptr && state_->id == CurrentThreadId(); }

bool NativeThread::IsRunning() const { return state_ != nullptr && !state_->done.WaitUninterruptible(0); }

NativeThread::JoinResult NativeThread::Join(uint32_t ms) {
  if (!state_) return JoinResult::Ended;
  if (!state_->done.WaitUninterruptible(ms)) return JoinResult::TimedOut;
  // The body has returned; only the thread's epilogue is left.
  if (state_->thread != nullptr && !IsCurrent()) WaitForSingleObject(state_->thread, INFINITE);
  state_.reset();
  return JoinResult::Ended;
}

bool NativeThread::Terminate(uint32_t graceMs) {
  if (!state_) return true;
  SetEvent(state_->terminate);
  if (!state_->done.WaitUninterruptible(graceMs)) return false;
  if (state_->thread != nullptr && !IsCurrent()) WaitForSingleObject(state_->thread, INFINITE);
  state_.reset();
  return true;
}

void NativeThread::Release() { state_.reset(); }

}  // namespace platform
}  // namespace kestrum
