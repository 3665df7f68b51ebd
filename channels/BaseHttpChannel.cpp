#include "channels/BaseHttpChannel.h"

#include <algorithm>

#include "parsers/JpegMediaParser.h"

namespace kestrum {

CBaseHttpChannel::CBaseHttpChannel(uint32_t index, IDriver* driver, ipcapture::IHostFrameSink* sink)
    : CBaseCameraChannel(index, driver, sink),
      sender_(driver->GetDeviceInfo()),
      parser_(new CJpegMediaParser(driver)) {
  parser_->SetClient(this);
  // A picture stream: fewer, larger reads.
  sender_.SetBufferSize(Web::CHttpSender::kStreamBuffer);
  // Every wait of the sender also ends on the channel's stop request.
  sender_.SetStopEvent(&StopEvent());
}

CBaseHttpChannel::~CBaseHttpChannel() {
  // The capture thread uses the sender and the parser: stop it before they go.
  SetStatus(Stopped);
  SetCameraState(false);
  StopCaptureThread();
}

bool CBaseHttpChannel::SignalLostNow(bool sinceOpening) {
  uint32_t silence = LastFrameTime().ElapsedMilliseconds();
  if (sinceOpening) silence = std::min(silence, streamOpened_.ElapsedMilliseconds());
  return silence > Driver()->GetDeviceInfo()->StreamTimeout;
}

void CBaseHttpChannel::Run() {
  bool lost = false;
  bool failed = false;
  LastFrameTime().Touch();  // every start gives the camera a full StreamTimeout
  for (;;) {
    // A stream that ended is reopened at once; a failed opening is retried
    // after a second (every 5 s once the signal is lost), not in a tight loop.
    const uint32_t pause = lost ? kLostRetryMs : failed ? kFailedOpenRetryMs : 0;
    if (StopEvent().Wait(pause)) {
      SetStatus(Stopped);
      SetCameraState(false);
      return;
    }
    // Read before every opening, the first included, so that the file's
    // update-settings flag always governs the settings exchange.
    LoadDeviceSettings();
    failed = !OpenStream();
    if (!failed) {
      streamOpened_.Touch();
      SetStatus(Streaming);
      ReadLoop();
    }
    sender_.CloseRequest();
    lost = SignalLostNow(false);
    if (lost) {
      SetStatus(SignalLost);
      NotifySignalLost();
      SetCameraState(false);
    }
  }
}

void CBaseHttpChannel::ReadLoop() {
  std::vector<uint8_t> buffer;
  buffer.reserve(kReadSize);
  for (;;) {
    if (StopEvent().Wait(0)) return;
    if (sender_.ReadSome(buffer, kReadSize, true) == 0) return;
    parser_->ProcessData(buffer);
    if (SignalLostNow(true)) return;  // bytes without whole pictures do not count
  }
}

void CBaseHttpChannel::OnStopRequested() { sender_.CloseRequest(); }

bool CBaseHttpChannel::OnFrame(ipcapture::IHostFrame* frame) {
  const bool accepted = DeliverFrame(frame);
  if (accepted) {
    LastFrameTime().Touch();
    SetCameraState(true);
  }
  return accepted;
}

std::pair<uint32_t, uint32_t> CBaseHttpChannel::GetFrameSize() { return {Params().Width, Params().Height}; }

std::string CBaseHttpChannel::GetSourceName() { return Driver()->GetDriverName(); }

void CBaseHttpChannel::GetFrameTime(uint32_t, ipcapture::SYSTEM_TIME& time) {
  // HTTP pictures are stamped with the moment they are cut from the stream.
  ToSystemTime(0, time);
}

}  // namespace kestrum
