#include "tools/hostlib/HostFrames.h"

#include <algorithm>
#include <chrono>
#include <new>

namespace kestrum {
namespace host {

std::string FourCCText(uint32_t code) {
  std::string text(4, ' ');
  for (int i = 0; i < 4; ++i) text[static_cast<size_t>(i)] = static_cast<char>((code >> (8 * i)) & 0xFF);
  return text;
}

HeapFrame::HeapFrame(uint32_t fourCC, uint32_t capacity, const char* sourceName)
    : buffer_(new uint8_t[capacity > 0 ? capacity : 1]),
      capacity_(capacity),
      fourCC_(fourCC),
      sourceName_(sourceName != nullptr ? sourceName : "") {}

void HeapFrame::Reuse(uint32_t fourCC, const char* sourceName) {
  fourCC_ = fourCC;
  sourceName_ = sourceName != nullptr ? sourceName : "";
  dataSize_ = 0;
  width_ = height_ = sizeClass_ = 0;
  time_ = ipcapture::SYSTEM_TIME{};
}

namespace {
constexpr size_t kSpareFrames = 8;
}

HeapFrameAllocator::~HeapFrameAllocator() {
  for (HeapFrame* frame : spare_) delete frame;
  // Frames a driver gave up (it held them when the host closed it from
  // inside a callback) are taken back here, as a host's pool does.
  for (HeapFrame* frame : live_) delete frame;
}

ipcapture::IHostFrame* HeapFrameAllocator::CreateFrame(uint32_t fourCC, uint32_t dataSize, const char* sourceName) {
  HeapFrame* frame = nullptr;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    // The smallest that fits: the first that fits would hand key-frame-sized
    // frames to small pictures, and the spares would drift to the largest
    // picture ever seen, one after the other.
    size_t best = spare_.size();
    for (size_t i = 0; i < spare_.size(); ++i) {
      const uint32_t capacity = spare_[i]->Capacity();
      if (capacity >= dataSize && (best == spare_.size() || capacity < spare_[best]->Capacity())) best = i;
    }
    if (best != spare_.size()) {
      frame = spare_[best];
      spare_.erase(spare_.begin() + static_cast<std::ptrdiff_t>(best));
    }
  }
  try {
    if (frame != nullptr) {
      frame->Reuse(fourCC, sourceName);
    } else {
      // Some headroom, so that a slightly larger next picture still fits.
      frame = new HeapFrame(fourCC, dataSize + dataSize / 4, sourceName);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    live_.insert(frame);
  } catch (const std::bad_alloc&) {
    delete frame;  // a spare whose reuse failed is nobody's any more (null when new failed)
    return nullptr;
  }
  outstanding_.fetch_add(1);
  return frame;
}

void HeapFrameAllocator::ReleaseFrame(ipcapture::IHostFrame* frame) {
  auto* heap = dynamic_cast<HeapFrame*>(frame);
  if (heap == nullptr) return;
  std::lock_guard<std::mutex> lock(mutex_);
  if (live_.erase(heap) == 0) {
    unknownReleases_.fetch_add(1);  // not one of ours, or released already
    return;
  }
  outstanding_.fetch_sub(1);
  if (spare_.size() < kSpareFrames) {
    spare_.push_back(heap);
    return;
  }
  // Full: the largest of the spares and this one goes.
  auto largest = std::max_element(spare_.begin(), spare_.end(), [](const HeapFrame* a, const HeapFrame* b) {
    return a->Capacity() < b->Capacity();
  });
  if (largest != spare_.end() && (*largest)->Capacity() > heap->Capacity()) std::swap(*largest, heap);
  delete heap;
}

void CollectingFrameSink::SetObserver(std::function<void(const HeapFrame&)> observer) {
  std::lock_guard<std::mutex> lock(mutex_);
  observer_ = std::move(observer);
}

bool CollectingFrameSink::ReceiveFrame(ipcapture::IHostFrame* frame) {
  auto* heap = dynamic_cast<HeapFrame*>(frame);
  if (heap == nullptr) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  if (observer_) observer_(*heap);
  ++frameCount_;
  byteCount_ += heap->DataSize();
  if (frames_.size() < keepLimit_) {
    ReceivedFrame kept;
    kept.fourCC = heap->FourCC();
    kept.width = heap->Width();
    kept.height = heap->Height();
    kept.sizeClass = heap->SizeClass();
    kept.time = heap->Time();
    if (keepData_) {
      uint32_t size = heap->DataSize() <= heap->Capacity() ? heap->DataSize() : heap->Capacity();
      kept.data.assign(heap->Data(), heap->Data() + size);
    }
    frames_.push_back(std::move(kept));
  }
  changed_.notify_all();
  return accept_.load();
}

void CollectingFrameSink::NotifySignalLost() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++signalLosses_;
  changed_.notify_all();
}

uint64_t CollectingFrameSink::FrameCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return frameCount_;
}

uint64_t CollectingFrameSink::ByteCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return byteCount_;
}

uint32_t CollectingFrameSink::SignalLossCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return signalLosses_;
}

std::vector<ReceivedFrame> CollectingFrameSink::Frames() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return frames_;
}

bool CollectingFrameSink::WaitForFrames(uint64_t count, uint32_t ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return frameCount_ >= count; });
}

}  // namespace host
}  // namespace kestrum
