// Host frames in heap memory, their allocator, and a frame sink that counts
// and keeps what it receives.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "driver/host_interfaces.h"

namespace kestrum {
namespace host {

// Builds a four-character code, first character in the lowest byte.
constexpr uint32_t MakeFourCC(const char (&code)[5]) {
  return static_cast<uint32_t>(static_cast<uint8_t>(code[0])) |
         (static_cast<uint32_t>(static_cast<uint8_t>(code[1])) << 8) |
         (static_cast<uint32_t>(static_cast<uint8_t>(code[2])) << 16) |
         (static_cast<uint32_t>(static_cast<uint8_t>(code[3])) << 24);
}
std::string FourCCText(uint32_t code);

class HeapFrame final : public ipcapture::IHostFrame {
 public:
  KESTRUM_DESTRUCTOR_SLOT(HeapFrame)
  HeapFrame(uint32_t fourCC, uint32_t capacity, const char* sourceName);
  // Makes a released frame ready for another picture.
  void Reuse(uint32_t fourCC, const char* sourceName);

  uint8_t* GetBuffer() override { return buffer_.get(); }
  void SetDataSize(uint32_t size) override { dataSize_ = size; }
  void SetTime(const ipcapture::SYSTEM_TIME& time) override { time_ = time; }
  void SetFourCC(uint32_t code) override { fourCC_ = code; }
  void SetHeight(uint32_t height) override { height_ = height; }
  void SetWidth(uint32_t width) override { width_ = width; }
  void SetSizeClass(uint32_t sizeClass) override { sizeClass_ = sizeClass; }

  uint32_t Capacity() const { return capacity_; }
  uint32_t DataSize() const { return dataSize_; }
  const uint8_t* Data() const { return buffer_.get(); }
  uint32_t FourCC() const { return fourCC_; }
  uint32_t Width() const { return width_; }
  uint32_t Height() const { return height_; }
  uint32_t SizeClass() const { return sizeClass_; }
  const ipcapture::SYSTEM_TIME& Time() const { return time_; }
  const std::string& SourceName() const { return sourceName_; }

 private:
  // Not zero-filled: the driver writes every byte it declares.
  std::unique_ptr<uint8_t[]> buffer_;
  uint32_t capacity_;
  uint32_t dataSize_ = 0;
  uint32_t fourCC_;
  uint32_t width_ = 0;
  uint32_t height_ = 0;
  uint32_t sizeClass_ = 0;
  ipcapture::SYSTEM_TIME time_{};
  std::string sourceName_;
};

// Frames on the heap; released frames are kept (a few) and reused, so that a
// steady stream of pictures costs no allocation.
class HeapFrameAllocator : public ipcapture::IHostFrameAllocator {
 public:
  KESTRUM_DESTRUCTOR_SLOT(HeapFrameAllocator)
  virtual ~HeapFrameAllocator();
  ipcapture::IHostFrame* CreateFrame(uint32_t fourCC, uint32_t dataSize, const char* sourceName) override;
  void ReleaseFrame(ipcapture::IHostFrame* frame) override;

  // Frames created and not yet released; 0 after every delivery when the
  // driver releases each frame exactly once.
  int64_t Outstanding() const { return outstanding_.load(); }
  // Releases of frames this allocator had not handed out (or had taken back).
  int64_t UnknownReleases() const { return unknownReleases_.load(); }

 private:
  std::atomic<int64_t> outstanding_{0};
  std::atomic<int64_t> unknownReleases_{0};
  std::mutex mutex_;
  std::vector<HeapFrame*> spare_;
  std::set<HeapFrame*> live_;  // handed out, not released yet
};

// What a sink keeps of one frame.
struct ReceivedFrame {
  uint32_t fourCC = 0;
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t sizeClass = 0;
  ipcapture::SYSTEM_TIME time{};
  std::vector<uint8_t> data;
};

class CollectingFrameSink final : public ipcapture::IHostFrameSink {
 public:
  KESTRUM_DESTRUCTOR_SLOT(CollectingFrameSink)
  // keepData: copy the bytes of each frame (otherwise only the metadata).
  // keepLimit: frames beyond this many are counted but not kept.
  explicit CollectingFrameSink(bool keepData = true, size_t keepLimit = 100000)
      : keepData_(keepData), keepLimit_(keepLimit) {}

  bool ReceiveFrame(ipcapture::IHostFrame* frame) override;
  void NotifySignalLost() override;

  // Called for every frame on the driver's thread before it is kept.
  void SetObserver(std::function<void(const HeapFrame&)> observer);
  void SetAccept(bool accept) { accept_ = accept; }

  uint64_t FrameCount() const;
  uint64_t ByteCount() const;
  uint32_t SignalLossCount() const;
  std::vector<ReceivedFrame> Frames() const;
  bool WaitForFrames(uint64_t count, uint32_t ms);

 private:
  bool keepData_;
  size_t keepLimit_;
  std::atomic<bool> accept_{true};
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::function<void(const HeapFrame&)> observer_;
  std::vector<ReceivedFrame> frames_;
  uint64_t frameCount_ = 0;
  uint64_t byteCount_ = 0;
  uint32_t signalLosses_ = 0;
};

}  // namespace host
}  // namespace kestrum
