#include "platform/Event.h"

#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <mutex>
#include <vector>

#include "platform/Clock.h"
#include "platform/Thread.h"

namespace kestrum {
namespace platform {

namespace {

// Lets a pending forced termination take effect during the wait it guards.
class TerminationWindow {
 public:
  explicit TerminationWindow(bool open) : open_(open) {
    if (open_) pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, &previous_);
  }
  ~TerminationWindow() {
    if (open_) pthread_setcancelstate(previous_, nullptr);
  }

 private:
  bool open_;
  int previous_ = PTHREAD_CANCEL_DISABLE;
};

// Milliseconds left until deadline for poll(); -1 for no limit.
int RemainingMs(uint32_t ms, uint64_t start) {
  if (ms == kInfinite) return -1;
  uint64_t elapsed = MonotonicMilliseconds() - start;
  if (elapsed >= ms) return 0;
  uint64_t left = ms - elapsed;
  return left > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(left);
}

}  // namespace

NativeEvent::NativeEvent(bool manualReset)
    : handle_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)), manual_(manualReset) {}

NativeEvent::~NativeEvent() {
  if (handle_ >= 0) close(static_cast<int>(handle_));
}

bool NativeEvent::Set() {
  if (handle_ < 0) return false;
  generation_.fetch_add(1, std::memory_order_release);
  std::unique_lock<std::mutex> lock(manualLock_, std::defer_lock);
  if (manual_) {
    // The flag and the descriptor change together, or a Reset racing with
    // a Set could leave the flag set and the descriptor clear. A manual
    // event already set needs no system call (every packet sets one).
    lock.lock();
    if (signalled_.load(std::memory_order_relaxed)) return true;
    signalled_.store(true, std::memory_order_release);
  }
  uint64_t one = 1;
  for (;;) {
    ssize_t n = write(static_cast<int>(handle_), &one, sizeof one);
    if (n == static_cast<ssize_t>(sizeof one)) return true;
    if (n < 0 && errno == EINTR) continue;
    // EAGAIN means the counter is saturated: the event is signalled anyway.
    return n < 0 && errno == EAGAIN;
  }
}

bool NativeEvent::Reset() {
  if (handle_ < 0) return false;
  std::unique_lock<std::mutex> lock(manualLock_, std::defer_lock);
  if (manual_) {
    lock.lock();
    signalled_.store(false, std::memory_order_release);
  }
  uint64_t value;
  for (;;) {
    ssize_t n = read(static_cast<int>(handle_), &value, sizeof value);
    if (n == static_cast<ssize_t>(sizeof value)) return true;
    if (n < 0 && errno == EINTR) continue;
    return n < 0 && errno == EAGAIN;  // already clear
  }
}

bool NativeEvent::TryConsume() {
  if (manual_) return true;
  uint64_t value;
  for (;;) {
    ssize_t n = read(static_cast<int>(handle_), &value, sizeof value);
    if (n == static_cast<ssize_t>(sizeof value)) return true;
    if (n < 0 && errno == EINTR) continue;
    return false;  // another waiter took it
  }
}

bool NativeEvent::Wait(uint32_t ms) { return WaitImpl(ms, true); }
bool NativeEvent::WaitUninterruptible(uint32_t ms) { return WaitImpl(ms, false); }

bool NativeEvent::WaitImpl(uint32_t ms, bool interruptible) {
  if (handle_ < 0) return false;
  if (manual_ && ms == 0) return signalled_.load(std::memory_order_acquire);
  const uint64_t start = MonotonicMilliseconds();
  for (;;) {
    pollfd fd{static_cast<int>(handle_), POLLIN, 0};
    int timeout = RemainingMs(ms, start);
    int ready;
    {
      TerminationWindow window(interruptible && timeout != 0);
      ready = poll(&fd, 1, timeout);
    }
    if (ready < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (ready == 0) return false;
    if (TryConsume()) {
      AcquireSignal();
      return true;
    }
    if (RemainingMs(ms, start) == 0) return false;
  }
}

int NativeEvent::WaitAny(NativeEvent* const* events, size_t count, uint32_t ms) {
  if (events == nullptr || count == 0) return -1;
  std::vector<pollfd> fds(count);
  for (size_t i = 0; i < count; ++i) {
    if (events[i] == nullptr || events[i]->handle_ < 0) return -1;
    fds[i] = pollfd{static_cast<int>(events[i]->handle_), POLLIN, 0};
  }
  const uint64_t start = MonotonicMilliseconds();
  for (;;) {
    int timeout = RemainingMs(ms, start);
    int ready;
    {
      TerminationWindow window(timeout != 0);
      ready = poll(fds.data(), fds.size(), timeout);
    }
    if (ready < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (ready == 0) return -1;
    for (size_t i = 0; i < count; ++i) {
      if ((fds[i].revents & POLLIN) != 0 && events[i]->TryConsume()) {
        events[i]->AcquireSignal();
        return static_cast<int>(i);
      }
    }
    if (RemainingMs(ms, start) == 0) return -1;
  }
}

}  // namespace platform
}  // namespace kestrum
