// Common base of every camera channel: stream parameters, the status the host
// polls, the camera's online state with its log lines, the capture thread and
// its stop event, the time of the last frame, and the per-device settings.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "driver/ICameraChannel.h"
#include "driver/IDriver.h"
#include "foundation/Configuration.h"
#include "foundation/Event.h"
#include "foundation/RecursiveLock.h"
#include "foundation/Time.h"
#include "platform/Thread.h"

namespace kestrum {

class CBaseCameraChannel : private CDriverHold, public ICameraChannel {
 public:
  CBaseCameraChannel(uint32_t index, IDriver* driver, ipcapture::IHostFrameSink* sink);
  ~CBaseCameraChannel() override;
  CBaseCameraChannel(const CBaseCameraChannel&) = delete;
  CBaseCameraChannel& operator=(const CBaseCameraChannel&) = delete;

  void Attach(ipcapture::IChannelAttachment*) override {}
  // Stops a running channel first, then starts the capture thread.
  bool Start(const StreamParams& params) override;
  // Closes the sink (no frame reaches it once Stop has returned) and stops
  // the capture thread within twice the connect time-out. A thread that has
  // not ended by then (most often it is inside a host callback) is left to
  // end at its next wait; Dispose then leaves the channel to it.
  void Stop() override;
  void Dispose() override;
  // New interval and size; the quality given to Start is kept. Refused from
  // the capture thread itself, and while an earlier capture thread has not
  // ended.
  bool Restart(const StreamParams& params) override;
  bool QueryFlagA() override { return false; }
  bool QueryFlagB() override { return false; }
  ChannelStatus GetStatus() override;

 protected:
  // The capture thread's body; returns when the stop event is signalled.
  virtual void Run() = 0;
  // Called by the stopping thread before it waits for the capture thread.
  virtual void OnStopRequested() {}
  // True on a thread of the channel's other than the capture thread (one
  // that delivers pictures too): a stop from there cannot wait for the
  // capture thread, which waits for it.
  virtual bool OnHelperThread() { return false; }

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
  // The body with its retries after failures.
  void RunUntilStopped();
  // The capture thread's last step: destroys a channel disposed of meanwhile.
  void LeaveThread();
  bool ThreadInside();
  bool StartCaptureThread();
  // Tells the host that the system refused the capture thread.
  void ReportThreadRefused();

  ipcapture::IHostFrameSink* sink_;
  // Closed by Stop: the host may free its sink once StopChannel returned.
  std::atomic<bool> sinkOpen_{false};
  bool networkStarted_ = false;
  // Whether a capture thread is inside the channel, and whether the channel
  // was disposed of meanwhile (that thread then destroys it as it leaves).
  // Never held while anything else is done.
  std::mutex lifeMutex_;
  bool threadInside_ = false;
  bool disposed_ = false;
  // Changed by the host's Stop and by the capture thread. Once Stop has begun,
  // a frame still delivered on the way out must not bring the camera back
  // online (which would log "online" and "stopped" twice).
  CRecursiveLock cameraLock_;
  bool cameraOnline_ = false;
  bool onlineAllowed_ = true;
  // Counts the state changes; a line is written outside the lock only while
  // its change is the latest.
  uint32_t stateSerial_ = 0;
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
