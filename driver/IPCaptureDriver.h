// The generic capture driver: keeps the host's description of one device and
// serves the device's components through the IDriver view. Each Open makes a
// new session, which the components are given; the driver's own IDriver view
// is that of its current session.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "driver/DeviceInfo.h"
#include "driver/DriverSession.h"
#include "driver/ICameraChannel.h"
#include "driver/IDriver.h"
#include "driver/host_interfaces.h"
#include "foundation/PrintfFormat.h"

namespace kestrum {

class CIOBase;
class CIPVideoCapture;

class CIPCaptureDriver : public ipcapture::IIPCaptureDriverEx4, public IDriver, public IVideoChannelCreator {
 public:
  KESTRUM_DESTRUCTOR_SLOT(CIPCaptureDriver)
  // The name is the derived driver's (GetDriverName), a string that lives
  // as long as the library.
  explicit CIPCaptureDriver(const char* driverName);
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
  std::string GetDeviceAddress() override { return session_->GetDeviceAddress(); }
  KESTRUM_PRINTF_FORMAT(3, 4) void Message(uint32_t level, const char* format, ...) override;

  // IDriver
  std::string GetHostDirectory() override { return session_->GetHostDirectory(); }
  DEVICE_INFO* GetDeviceInfo() override { return session_->GetDeviceInfo(); }
  IOCounts GetIOCounts() override { return session_->GetIOCounts(); }
  ipcapture::IHostFrameAllocator* GetFrameAllocator() override { return allocator_; }
  uint32_t GetStreamKind() override { return session_->GetStreamKind(); }
  uint32_t GetChannelCount() override { return session_->GetChannelCount(); }
  std::string GetParameterString(uint32_t index) override { return session_->GetParameterString(index); }
  int32_t GetParameterNumber(uint32_t index) override { return session_->GetParameterNumber(index); }
  int32_t FindResolution(uint32_t width, uint32_t height) override {
    return session_->FindResolution(width, height);
  }

  // IVideoChannelCreator
  ICameraChannel* CreateVideoChannel(uint32_t index, ipcapture::IHostFrameSink* sink) override;
  ICompanionChannel* CreateCompanionChannel(uint32_t, ipcapture::IHostFrameSink*) override { return nullptr; }
  void ReportStartFailure(uint32_t index, const char* reason) override;

  const HOST_VERSION& GetHostVersion() const { return hostVersion_; }

 protected:
  // The channel class for the device's stream kind; null for kinds without one.
  virtual ICameraChannel* MakeChannel(uint32_t index, ipcapture::IHostFrameSink* sink);
  // The current opening's session: what components are made with.
  CDriverSession& Session() { return *session_; }

  CIOBase* digitalIO_ = nullptr;  // owned; disposed of, not deleted

 private:
  void ReadDeviceSettings(ipcapture::IDeviceSettings* settings);
  // Tells the host why Open failed, if its receiver is attached; false.
  bool OpenFailed(const char* reason);

  // Ends the session's validity and puts an unopened one in its place;
  // false when none could be made (the closed one stays).
  bool RenewSession();

  ipcapture::IHostFrameAllocator* allocator_ = nullptr;
  HOST_VERSION hostVersion_;
  std::string hostDirectory_;
  CDriverSession* session_ = nullptr;        // counted; never null
  CIPVideoCapture* videoCapture_ = nullptr;  // owned
};

}  // namespace kestrum
