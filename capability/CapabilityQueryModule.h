// Runs one capability query on a thread of its own and reports the outcome
// to the host's client.
#pragma once

#include <cstdint>
#include <memory>

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
  // Terminates the query and waits up to twice ConnectTimeout for its thread.
  // A thread still running then (inside a host callback, or deaf to the stop)
  // is left to end by itself: the client hears OnQueryKilled, and neither
  // the client nor the result sink is called again.
  virtual ~CCapabilityQueryModule();
  CCapabilityQueryModule(const CCapabilityQueryModule&) = delete;
  CCapabilityQueryModule& operator=(const CCapabilityQueryModule&) = delete;

  bool Start(const char* address, uint16_t port, const char* userName, const char* password,
             ipcapture::ICapabilityResultSink* sink) override;
  void Terminate() override;

 protected:
  virtual CBaseCameraProperties* CreateCameraProperties() = 0;

  // The destructors of derived classes call this before their parts go.
  void Shutdown();

  DEVICE_INFO device_;
  uint32_t videoStandard_;

 private:
  struct Job;
  static uint32_t ThreadProc(void* job);
  static void RunQuery(Job& job);
  void StopQuery();

  ipcapture::ICapabilityQueryClient* client_;
  // What the thread works with; the thread holds it too, so a module
  // deleted before its thread has ended leaves it what it uses.
  std::shared_ptr<Job> job_;
  CRecursiveLock lock_;
  platform::NativeThread thread_;
  bool started_ = false;  // one query per module
  bool shutDown_ = false;
};

}  // namespace kestrum
