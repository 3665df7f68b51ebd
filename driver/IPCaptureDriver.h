// The generic capture driver: keeps the host's description of one device and
// serves the device's components through the IDriver view.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "driver/DeviceInfo.h"
#include "driver/ICameraChannel.h"
#include "driver/IDriver.h"
#include "driver/host_interfaces.h"
#include "foundation/PrintfFormat.h"

namespace kestrum {

class CIPVideoCapture;

class CIPCaptureDriver : public ipcapture::IIPCaptureDriverEx4, public IDriver, public IVideoChannelCreator {
 public:
  KESTRUM_DESTRUCTOR_SLOT(CIPCaptureDriver)
  CIPCaptureDriver();
  // Closes too, but by then a derived part is gone while the components'
  // threads may still call it: a derived class closes in its own destructor.
  ~CIPCaptureDriver() override;

  // IIPCaptureDriver chain
  bool Open(ipcapture::IDebugInfoReceiver* receiver, ipcapture::IHostFrameAllocator* allocator,
            ipcapture::IDeviceSettings* settings) override;
  void Close() override;
  ipcapture::IIPVideoCapture* GetVideoCapture() override;
  ICaptureIOApi* GetCaptureIO() override;
  void* GetOptionalComponent1() override { return nullptr; }
  void* GetOptionalComponent2() override { return nullptr; }
  void* GetOptionalComponent3() override { return nullptr; }
  ipcapture::IIPVideoCaptureEx* GetVideoCaptureEx() override;
  void* GetOptionalComponent4() override { return nullptr; }
  void* GetOptionalComponent5() override { return nullptr; }
  void* GetOptionalComponent6() override { return nullptr; }

  virtual bool AttachDigitalIO() = 0;
  virtual bool CompleteOpen() = 0;
  virtual void LogDriverOpened(const std::string& firmware);

  // IDebugMessage
  std::string GetDeviceAddress() override;
  KESTRUM_PRINTF_FORMAT(3, 4) void Message(uint32_t level, const char* format, ...) override;

  // IDriver
  std::string GetHostDirectory() override { return hostDirectory_; }
  DEVICE_INFO* GetDeviceInfo() override { return &device_; }
  IOCounts GetIOCounts() override { return ioCounts_; }
  ipcapture::IHostFrameAllocator* GetFrameAllocator() override { return allocator_; }
  uint32_t GetStreamKind() override { return streamKind_; }
  uint32_t GetChannelCount() override { return channelCount_; }
  std::string GetParameterString(uint32_t index) override;
  int32_t GetParameterNumber(uint32_t index) override;

  // IVideoChannelCreator
  ICameraChannel* CreateVideoChannel(uint32_t index, ipcapture::IHostFrameSink* sink) override;
  ICompanionChannel* CreateCompanionChannel(uint32_t, ipcapture::IHostFrameSink*) override { return nullptr; }
  void ReportStartFailure(uint32_t index, const char* reason) override;

  const HOST_VERSION& GetHostVersion() const { return hostVersion_; }

 protected:
  // The channel class for the device's stream kind; null for kinds without one.
  virtual ICameraChannel* MakeChannel(uint32_t index, ipcapture::IHostFrameSink* sink);

  ICaptureIOApi* digitalIO_ = nullptr;  // owned

 private:
  void ReadDeviceSettings(ipcapture::IDeviceSettings* settings);

  ipcapture::IDebugInfoReceiver* receiver_ = nullptr;
  ipcapture::IHostFrameAllocator* allocator_ = nullptr;
  std::map<uint32_t, std::string> parameters_;
  HOST_VERSION hostVersion_;
  std::string hostDirectory_;
  DEVICE_INFO device_;
  IOCounts ioCounts_;
  uint32_t channelCount_ = 0;
  uint32_t streamKind_ = 0;
  CIPVideoCapture* videoCapture_ = nullptr;  // owned
};

}  // namespace kestrum
