#include "channels/BaseCameraChannel.h"

#include <cstring>
#include <new>

#include "foundation/TextUtils.h"
#include "platform/DynamicLibrary.h"
#include "platform/Network.h"

namespace kestrum {

namespace {
constexpr uint32_t kNoObjectExitCode = 0x123456;
// After the capture ran out of memory (or failed otherwise) in its body.
constexpr uint32_t kRetryAfterErrorMs = 1000;
}  // namespace

CBaseCameraChannel::CBaseCameraChannel(uint32_t index, IDriver* driver, ipcapture::IHostFrameSink* sink)
    : CDriverHold(driver), sink_(sink), index_(index), driver_(driver) {}

CBaseCameraChannel::~CBaseCameraChannel() { CBaseCameraChannel::Stop(); }

std::string CBaseCameraChannel::DisplayName(bool lowerCase) const {
  const std::string& address = driver_->GetDeviceInfo()->Address;
  if (driver_->GetChannelCount() > 1) {
    return FormatString(lowerCase ? "video-server %s (channel %u)" : "Video-server %s (channel %u)", address.c_str(),
                        index_);
  }
  return FormatString(lowerCase ? "camera %s" : "Camera %s", address.c_str());
}

bool CBaseCameraChannel::Start(const StreamParams& params) {
  Stop();  // through the table: a derived Stop runs too
  params_ = params;
  configurationReported_ = false;
  {
    CLockGuard guard(cameraLock_);
    lastFailure_.clear();
  }
  {
    CLockGuard guard(cameraLock_);
    onlineAllowed_ = true;
  }
  sinkOpen_ = true;
  if (!networkStarted_) networkStarted_ = platform::StartNetworking();
  const bool started = StartCaptureThread();
  if (!started && networkStarted_) {
    platform::StopNetworking();
    networkStarted_ = false;
  }
  return started;
}

void CBaseCameraChannel::Stop() {
  {
    CLockGuard guard(cameraLock_);
    onlineAllowed_ = false;
  }
  sinkOpen_ = false;
  SetStatus(Stopped);
  SetCameraState(false);
  StopCaptureThread();
  // A thread still inside may use the network until it leaves; the
  // destructor, which it then runs, stops networking.
  if (networkStarted_ && !ThreadInside()) {
    platform::StopNetworking();
    networkStarted_ = false;
  }
}

void CBaseCameraChannel::Dispose() {
  Stop();
  // Pinned first: once disposed_ is set the thread may destroy the channel
  // at any moment, and it must find the library's code still mapped however
  // soon the host unloads it.
  if (ThreadInside()) platform::PinThisLibrary();
  bool leftToThread;
  {
    std::lock_guard<std::mutex> life(lifeMutex_);
    leftToThread = threadInside_;
    disposed_ = leftToThread;
  }
  if (!leftToThread) delete this;
}

bool CBaseCameraChannel::ThreadInside() {
  std::lock_guard<std::mutex> life(lifeMutex_);
  return threadInside_;
}

void CBaseCameraChannel::LeaveThread() {
  bool orphaned;
  {
    std::lock_guard<std::mutex> life(lifeMutex_);
    threadInside_ = false;
    orphaned = disposed_;
  }
  // Nothing else refers to a disposed channel: its stop is over.
  if (orphaned) delete this;
}

bool CBaseCameraChannel::Restart(const StreamParams& params) {
  bool fromInside;
  {
    CLockGuard guard(threadLock_);
    fromInside = (thread_.IsValid() && thread_.IsCurrent()) || OnHelperThread();
  }
  if (fromInside) {
    driver_->Message(2, "%s: %s cannot be restarted from inside its own capture thread; it goes on as it is",
                     "kestrum::CBaseCameraChannel::Restart", DisplayName(false).c_str());
    return false;
  }
  SetStatus(Stopped);
  // The capture thread reads the parameters: change them only once it is gone.
  StopCaptureThread();
  bool busy;
  {
    CLockGuard guard(threadLock_);
    busy = thread_.IsValid() && thread_.Join(0) == platform::NativeThread::JoinResult::TimedOut;
  }
  if (busy) {
    driver_->Message(2, "%s: %s cannot be restarted: its capture thread has not ended yet",
                     "kestrum::CBaseCameraChannel::Restart", DisplayName(false).c_str());
    return false;
  }
  params_.FrameInterval = params.FrameInterval;
  params_.Width = params.Width;
  params_.Height = params.Height;
  return StartCaptureThread();
}

ChannelStatus CBaseCameraChannel::GetStatus() {
  CLockGuard guard(statusLock_);
  return status_;
}

void CBaseCameraChannel::SetStatus(ChannelStatus status) {
  CLockGuard guard(statusLock_);
  status_ = status;
}

void CBaseCameraChannel::SetCameraState(bool online) {
  uint32_t serial;
  {
    CLockGuard guard(cameraLock_);
    if (cameraOnline_ == online || (online && !onlineAllowed_)) return;
    cameraOnline_ = online;
    if (online) lastFailure_.clear();
    serial = ++stateSerial_;
  }
  // Written outside the lock: the host's receiver may block or call back
  // into the driver (a stop takes this lock). A change overtaken by a newer
  // one before its line went out is not told: the newer line says how the
  // camera is.
  const ChannelStatus status = GetStatus();
  {
    CLockGuard guard(cameraLock_);
    if (serial != stateSerial_) return;
  }
  const char* prefix = "kestrum::CBaseCameraChannel::SetCameraState";
  if (online) {
    driver_->Message(3, "%s: %s is online", prefix, DisplayName(false).c_str());
    return;
  }
  switch (status) {
    case SignalLost:
      driver_->Message(1, "%s: Signal was lost for %s", prefix, DisplayName(true).c_str());
      break;
    case Stopped:
      driver_->Message(3, "%s: %s is offline. Channel was stopped", prefix, DisplayName(false).c_str());
      break;
    default:
      driver_->Message(1, "%s: %s is offline or failed", prefix, DisplayName(false).c_str());
  }
}

void CBaseCameraChannel::ReportFailure(const std::string& reason) { ReportFailure(reason.c_str(), ""); }

void CBaseCameraChannel::ReportFailure(const char* reason, const char* detail) {
  {
    CLockGuard guard(cameraLock_);
    // A request cut short by Stop is no failure of the camera's.
    if (reason[0] == '\0' || stopEvent_.Wait(0)) return;
    if (lastFailure_.size() == std::strlen(reason) + std::strlen(detail) &&
        lastFailure_.compare(0, std::strlen(reason), reason) == 0 &&
        lastFailure_.compare(std::strlen(reason), std::string::npos, detail) == 0) {
      return;
    }
    try {
      lastFailure_.assign(reason).append(detail);
    } catch (const std::bad_alloc&) {
      lastFailure_.clear();  // told again next time rather than never
    }
  }
  // Named in place: when memory has run out, this line is the one that must
  // still reach the host (its reason most often says so).
  const std::string& address = driver_->GetDeviceInfo()->Address;
  if (driver_->GetChannelCount() > 1) {
    driver_->Message(2, "%s: Video-server %s (channel %u): %s%s", "kestrum::CBaseCameraChannel::ReportFailure",
                     address.c_str(), index_, reason, detail);
  } else {
    driver_->Message(2, "%s: Camera %s: %s%s", "kestrum::CBaseCameraChannel::ReportFailure", address.c_str(), reason,
                     detail);
  }
}

bool CBaseCameraChannel::DeliverFrame(ipcapture::IHostFrame* frame) {
  if (sink_ == nullptr || !sinkOpen_.load()) return false;
  CheckHostCall("the host's frame sink");
  try {
    return sink_->ReceiveFrame(frame);
  } catch (...) {
    return false;
  }
}

void CBaseCameraChannel::NotifySignalLost() {
  if (sink_ == nullptr || !sinkOpen_.load()) return;
  CheckHostCall("the host's frame sink");
  try {
    sink_->NotifySignalLost();
  } catch (...) {
  }
}

void CBaseCameraChannel::LoadDeviceSettings() {
  CConfiguration configuration(driver_->GetDriverName(), driver_->GetHostDirectory(), *driver_->GetDeviceInfo());
  std::string problem;
  const CONFIGURATION_VALUES values = configuration.ReadSettings(&problem);
  // Read before every opening, told once per start.
  if (!problem.empty() && !configurationReported_) {
    configurationReported_ = true;
    driver_->Message(2, "%s: %s", "kestrum::CBaseCameraChannel::LoadDeviceSettings", problem.c_str());
  }
  rtpMode_ = values.RtpMode;
  updateSettings_ = values.UpdateSettings;
}

uint32_t CBaseCameraChannel::ThreadProc(void* self) {
  if (self == nullptr) return kNoObjectExitCode;
  auto* channel = static_cast<CBaseCameraChannel*>(self);
  channel->RunUntilStopped();
  channel->LeaveThread();
  return 0;
}

void CBaseCameraChannel::RunUntilStopped() {
  CBaseCameraChannel* channel = this;
  for (;;) {
    const char* reason = nullptr;
    try {
      channel->Run();
      return;
    } catch (const std::bad_alloc&) {
      reason = "not enough memory";
    } catch (...) {
      if (platform::IsThreadTermination()) throw;
      reason = "an unexpected error";
    }
    // The camera is not given up: the failure is told and the stream is
    // opened afresh after a pause, as after any other failed opening.
    try {
      channel->SetStatus(Stopped);
      channel->ReportFailure("the capture stopped: ", reason);
    } catch (...) {
      if (platform::IsThreadTermination()) throw;
    }
    if (channel->stopEvent_.Wait(kRetryAfterErrorMs)) return;
  }
}

bool CBaseCameraChannel::StartCaptureThread() {
  // Never waits: while another thread is stopping the channel, starting fails.
  if (!threadLock_.TryEnter()) return false;
  bool started = false;
  bool refused = false;  // by the system, not by a stop in progress
  // A thread that outlived its stop may have ended since: its handle goes.
  if (thread_.IsValid()) thread_.Join(0);
  if (!thread_.IsValid()) {
    stopEvent_.Reset();
    {
      std::lock_guard<std::mutex> life(lifeMutex_);
      threadInside_ = true;
    }
    started = thread_.Start(&CBaseCameraChannel::ThreadProc, this, "capture");
    refused = !started;
    if (!started) {
      std::lock_guard<std::mutex> life(lifeMutex_);
      threadInside_ = false;
    }
  }
  threadLock_.Leave();
  if (refused) ReportThreadRefused();
  return started;
}

void CBaseCameraChannel::ReportThreadRefused() {
  try {
    driver_->Message(1, "%s: %s cannot be started: cannot start a thread: %s", "kestrum::CBaseCameraChannel::Start",
                     DisplayName(false).c_str(), platform::ThreadStartFailure().c_str());
  } catch (const std::bad_alloc&) {
    // The name and the reason are strings of their own; with the memory gone
    // (most often why the thread was refused) a line without them still goes.
    driver_->Message(1, "%s: Camera %s cannot be started: cannot start a thread; no memory left to tell why",
                     "kestrum::CBaseCameraChannel::Start", driver_->GetDeviceInfo()->Address.c_str());
  }
}

void CBaseCameraChannel::StopCaptureThread() {
  stopEvent_.Set();  // before the lock, so that a body blocked on the event wakes
  uint32_t limit = 0;
  {
    CLockGuard guard(threadLock_);
    if (!thread_.IsValid()) return;
    OnStopRequested();
    // From inside (a host callback on the capture thread): it ends as it
    // leaves the callback, and the handle stays until then.
    if (thread_.IsCurrent() || OnHelperThread()) return;
    limit = 2 * driver_->GetDeviceInfo()->ConnectTimeout;
    if (thread_.Join(limit) == platform::NativeThread::JoinResult::Ended) return;
  }
  // Neither killed wherever it is nor waited for without end: with its stop
  // event set it ends at its next wait. Told outside the lock.
  driver_->Message(2, "%s: Video capture thread for %s cannot be stopped within %u milliseconds and will end at its "
                   "next wait", "kestrum::CBaseCameraChannel::StopThread", DisplayName(true).c_str(), limit);
}

bool CBaseCameraChannel::ToSystemTime(uint64_t value, ipcapture::SYSTEM_TIME& time) {
  CALENDAR_TIME calendar;
  if (!TimeValueToCalendar(value != 0 ? value : GetCurrentTimeValue(), calendar)) return false;
  time.Year = calendar.Year;
  time.Month = calendar.Month;
  time.DayOfWeek = calendar.DayOfWeek;
  time.Day = calendar.Day;
  time.Hour = calendar.Hour;
  time.Minute = calendar.Minute;
  time.Second = calendar.Second;
  time.Milliseconds = calendar.Milliseconds;
  return true;
}

}  // namespace kestrum
