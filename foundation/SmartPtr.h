// Shared ownership with a separately allocated one-byte reference counter.
#pragma once

#include <atomic>
#include <cstdint>
#include <new>

namespace kestrum {

// Copying from a holder while another thread releases that same holder is
// safe: each holder guards its own two pointers with a tiny spin flag, and the
// counter changes atomically.
template <class T>
class TSmartPtr {
 public:
  TSmartPtr() = default;
  explicit TSmartPtr(T* object) { Reset(object); }
  TSmartPtr(const TSmartPtr& other) { CopyFrom(other); }
  TSmartPtr& operator=(const TSmartPtr& other) {
    if (this != &other) {
      Release();
      CopyFrom(other);
    }
    return *this;
  }
  ~TSmartPtr() { Release(); }

  // Releases the old object and holds this one with a fresh counter of 1. If
  // the counter cannot be allocated the object is destroyed and the holder
  // stays empty.
  void Reset(T* object) {
    Release();
    if (object == nullptr) return;
    auto* counter = new (std::nothrow) std::atomic<int8_t>(1);
    if (counter == nullptr) {
      delete object;
      return;
    }
    Guard guard(busy_);
    counter_ = counter;
    object_ = object;
  }

  // Drops this holder's share; the last share destroys the object.
  void Release() {
    std::atomic<int8_t>* counter;
    T* object;
    {
      Guard guard(busy_);
      counter = counter_;
      object = object_;
      counter_ = nullptr;
      object_ = nullptr;
    }
    if (counter == nullptr) return;
    int8_t value = counter->load(std::memory_order_relaxed);
    while (value >= 1 && !counter->compare_exchange_weak(value, static_cast<int8_t>(value - 1),
                                                         std::memory_order_acq_rel)) {
    }
    if (value == 1) {
      delete object;
      delete counter;
    }
  }

  T* Get() const {
    Guard guard(busy_);
    return object_;
  }
  T* operator->() const { return Get(); }
  bool IsEmpty() const { return Get() == nullptr; }

 private:
  class Guard {
   public:
    explicit Guard(std::atomic_flag& flag) : flag_(flag) {
      while (flag_.test_and_set(std::memory_order_acquire)) {
      }
    }
    ~Guard() { flag_.clear(std::memory_order_release); }

   private:
    std::atomic_flag& flag_;
  };

  // Shares other's object when its counter is above 0 and can grow; else
  // stays empty.
  void CopyFrom(const TSmartPtr& other) {
    std::atomic<int8_t>* counter = nullptr;
    T* object = nullptr;
    {
      // Never hold two guards at once, so crossed copies cannot deadlock.
      Guard guard(other.busy_);
      if (other.counter_ == nullptr) return;
      int8_t value = other.counter_->load(std::memory_order_relaxed);
      while (value > 0 && value < INT8_MAX &&
             !other.counter_->compare_exchange_weak(value, static_cast<int8_t>(value + 1),
                                                    std::memory_order_acq_rel)) {
      }
      if (value <= 0 || value >= INT8_MAX) return;
      counter = other.counter_;
      object = other.object_;
    }
    Guard own(busy_);
    counter_ = counter;
    object_ = object;
  }

  mutable std::atomic_flag busy_ = ATOMIC_FLAG_INIT;
  std::atomic<int8_t>* counter_ = nullptr;
  T* object_ = nullptr;
};

}  // namespace kestrum
