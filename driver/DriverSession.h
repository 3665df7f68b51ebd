// What one Open of a driver gives its components: the device's description,
// its parameters and resolution list, and the way to the host's receiver and
// allocator. Shared by count: a component whose thread outlived its stop
// keeps the session it was made with (and so what it reads) until that
// thread has left, whatever the host closed, opened again or deleted since.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "driver/DeviceInfo.h"
#include "driver/IDriver.h"
#include "driver/host_interfaces.h"
#include "foundation/PrintfFormat.h"

namespace kestrum {

class CDriverSession final : public IDriver {
 public:
  // Counted once for its maker.
  CDriverSession(const char* driverName, const std::string& hostDirectory, const HOST_VERSION& hostVersion);
  CDriverSession(const CDriverSession&) = delete;
  CDriverSession& operator=(const CDriverSession&) = delete;

  void AddReference() override;
  // The last one deletes the session.
  void ReleaseReference() override;

  // Filled during Open, before any component's thread runs; read-only after.
  void AttachHost(ipcapture::IDebugInfoReceiver* receiver, ipcapture::IHostFrameAllocator* allocator);
  DEVICE_INFO& Device() { return device_; }
  void SetIOCounts(const IOCounts& counts) { ioCounts_ = counts; }
  void SetStreamKind(uint32_t kind) { streamKind_ = kind; }
  void SetChannelCount(uint32_t count) { channelCount_ = count; }
  void SetParameter(uint32_t index, const std::string& value) { parameters_[index] = value; }
  void SetResolutions(std::vector<std::string> resolutions) { resolutions_ = std::move(resolutions); }
  const std::vector<std::string>& Resolutions() const { return resolutions_; }

  // Ends the validity of the host's receiver and allocator: once it has
  // returned no new call reaches them; lines are dropped, no frame is asked
  // for, and a frame still held is given up rather than released late.
  void CloseHost();
  bool IsHostOpen() const { return hostOpen_.load(std::memory_order_acquire); }

  // IDebugMessage
  std::string GetDeviceAddress() override;
  KESTRUM_PRINTF_FORMAT(3, 4) void Message(uint32_t level, const char* format, ...) override;
  void MessageV(uint32_t level, const char* format, va_list args);

  // IDriver
  const char* GetDriverName() override { return driverName_; }
  std::string GetHostDirectory() override { return hostDirectory_; }
  DEVICE_INFO* GetDeviceInfo() override { return &device_; }
  IOCounts GetIOCounts() override { return ioCounts_; }
  // The host's allocator behind the session's gate; null when the host gave none.
  ipcapture::IHostFrameAllocator* GetFrameAllocator() override;
  uint32_t GetStreamKind() override { return streamKind_; }
  uint32_t GetChannelCount() override { return channelCount_; }
  std::string GetParameterString(uint32_t index) override;
  int32_t GetParameterNumber(uint32_t index) override;
  int32_t FindResolution(uint32_t width, uint32_t height) override;

 private:
  // Forwards to the host's allocator while the session is open.
  class CGatedAllocator final : public ipcapture::IHostFrameAllocator {
   public:
    KESTRUM_DESTRUCTOR_SLOT(CGatedAllocator)
    explicit CGatedAllocator(CDriverSession& session) : session_(session) {}
    ipcapture::IHostFrame* CreateFrame(uint32_t fourCC, uint32_t dataSize, const char* sourceName) override;
    void ReleaseFrame(ipcapture::IHostFrame* frame) override;

   private:
    CDriverSession& session_;
  };

  ~CDriverSession() override = default;

  std::atomic<int32_t> references_{1};
  std::atomic<bool> hostOpen_{true};
  const char* driverName_;
  std::string hostDirectory_;
  HOST_VERSION hostVersion_;
  ipcapture::IDebugInfoReceiver* receiver_ = nullptr;
  ipcapture::IHostFrameAllocator* allocator_ = nullptr;
  CGatedAllocator gatedAllocator_{*this};
  DEVICE_INFO device_;
  IOCounts ioCounts_;
  uint32_t streamKind_ = 0;
  uint32_t channelCount_ = 0;
  std::map<uint32_t, std::string> parameters_;
  std::vector<std::string> resolutions_;
};

}  // namespace kestrum
