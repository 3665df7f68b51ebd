// Runs one capability query on a thread of its own and reports the outcome
// to the host's client.
#pragma once

#include <cstdint>

#include "capability/CameraProperties.h"
#include "driver/DeviceInfo.h"
#include "driver/host_interfaces.h"
#include "foundation/RecursiveLock.h"
#include "foundation/SmartPtr.h"
#include "platform/Thread.h"

namespace kestrum {

class CCapabilityQueryModule : public ipcapture::IIPCapabilityQuery {
 public:
  KESTRUM_DESTRUCTOR_SLOT(CCapabilityQueryModule)
  // Result codes given to OnQueryFailed.
  enum : uint32_t { kInvalidAddress = 0, kLoginRefused = 1, kOffline = 2, kOtherFailure = 3 };

  CCapabilityQueryModule(ipcapture::ICapabilityQueryClient* client, uint32_t videoStandard);
  // Terminates the query and waits up to twice ConnectTimeout for its thread;
  // a thread still running then is killed and the client told so.
  virtual ~CCapabilityQueryModule();
  CCapabilityQueryModule(const CCapabilityQueryModule&) = delete;
  CCapabilityQueryModule& operator=(const CCapabilityQueryModule&) = delete;

  bool Start(const char* address, uint16_t port, const char* userName, const char* password,
             ipcapture::ICapabilityResultSink* sink) override;
  void Terminate() override;

 protected:
  virtual CBaseCameraProperties* CreateCameraProperties() = 0;
  virtual void RunQuery();

  // The destructors of derived classes call this before their parts go.
  void Shutdown();

  DEVICE_INFO device_;
  uint32_t videoStandard_;

 private:
  static uint32_t ThreadProc(void* self);

  ipcapture::ICapabilityQueryClient* client_;
  ipcapture::ICapabilityResultSink* sink_ = nullptr;
  TSmartPtr<CBaseCameraProperties> properties_;
  CRecursiveLock lock_;
  platform::NativeThread thread_;
  bool started_ = false;  // one query per module
};

}  // namespace kestrum
