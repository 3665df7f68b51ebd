// Common base of every camera channel: stream parameters, the status the host
// polls, the camera's online state with its log lines, the capture thread and
// its stop event, the time of the last frame, and the per-device settings.
#pragma once

#include <cstdint>
#include <string>

#include "driver/ICameraChannel.h"
#include "driver/IDriver.h"
#include "foundation/Configuration.h"
#include "foundation/Event.h"
#include "foundation/RecursiveLock.h"
#include "foundation/Time.h"
#include "platform/Thread.h"

namespace kestrum {

class CBaseCameraChannel : public ICameraChannel {
 public:
  CBaseCameraChannel(uint32_t index, IDriver* driver, ipcapture::IHostFrameSink* sink);
  ~CBaseCameraChannel() override;
  CBaseCameraChannel(const CBaseCameraChannel&) = delete;
  CBaseCameraChannel& operator=(const CBaseCameraChannel&) = delete;

  void Attach(ipcapture::IChannelAttachment*) override {}
  // Stops a running channel first, then starts the capture thread.
  bool Start(const StreamParams& params) override;
  void Stop() override;
  // New interval and size; the quality given to Start is kept.
  bool Restart(const StreamParams& params) override;
  bool QueryFlagA() override { return false; }
  bool QueryFlagB() override { return false; }
  ChannelStatus GetStatus() override;

 protected:
  // The capture thread's body; returns when the stop event is signalled.
  virtual void Run() = 0;
  // Called by the stopping thread before it waits for the capture thread.
  virtual void OnStopRequested() {}

  void SetStatus(ChannelStatus status);
  // Logs the change of the camera's state ("is online", "Signal was lost",
  // "is offline. Channel was stopped", "is offline or failed").
  void SetCameraState(bool online);
  bool DeliverFrame(ipcapture::IHostFrame* frame);
  void NotifySignalLost();
  // Says at level 2 why no stream can be had, once per distinct reason
  // rather than at every retry; pictures arriving again clear it.
  void ReportFailure(const std::string& reason);
  // The same in two parts, joined as told: out of memory, the line still goes out.
  void ReportFailure(const char* reason, const char* detail);
  // Reads the RTP mode and the update-settings flag from the configuration file.
  void LoadDeviceSettings();

  // A frame time (UTC, 100-ns units since 1601) in the host's form; false
  // when it does not convert. Now when value is 0.
  static bool ToSystemTime(uint64_t value, ipcapture::SYSTEM_TIME& time);

  // "Camera A", or "Video-server A (channel N)" on a multi-channel device.
  std::string DisplayName(bool lowerCase) const;

  IDriver* Driver() const { return driver_; }
  const StreamParams& Params() const { return params_; }
  uint32_t Index() const { return index_; }
  CManualEvent& StopEvent() { return stopEvent_; }
  CTime& LastFrameTime() { return lastFrame_; }
  uint32_t RtpMode() const { return rtpMode_; }
  bool UpdateSettings() const { return updateSettings_; }

  // Stops the capture thread; derived destructors call it before their
  // members go away, since the thread uses them.
  void StopCaptureThread();

 private:
  static uint32_t ThreadProc(void* self);
  bool StartCaptureThread();
  // Tells the host that the system refused the capture thread.
  void ReportThreadRefused();

  ipcapture::IHostFrameSink* sink_;
  bool networkStarted_ = false;
  // Changed by the host's Stop and by the capture thread. Once Stop has begun,
  // a frame still delivered on the way out must not bring the camera back
  // online (which would log "online" and "stopped" twice).
  CRecursiveLock cameraLock_;
  bool cameraOnline_ = false;
  bool onlineAllowed_ = true;
  std::string lastFailure_;
  CRecursiveLock statusLock_;
  ChannelStatus status_ = Stopped;
  CRecursiveLock threadLock_;
  platform::NativeThread thread_;
  const uint32_t index_;
  IDriver* driver_;
  StreamParams params_;
  CManualEvent stopEvent_;
  CTime lastFrame_;
  uint32_t rtpMode_ = kRtpOverUdp;
  bool updateSettings_ = true;
  bool configurationReported_ = false;  // a file that cannot be used, told once
};

}  // namespace kestrum
