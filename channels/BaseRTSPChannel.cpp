#include "channels/BaseRTSPChannel.h"

namespace kestrum {

CBaseRTSPChannel::CBaseRTSPChannel(uint32_t index, IDriver* driver, ipcapture::IHostFrameSink* sink)
    : CBaseRTPChannel(index, driver, sink), client_(driver) {}

CBaseRTSPChannel::~CBaseRTSPChannel() {
  StopCaptureThread();
  client_.StopSession();
}

RTSP_CLIENT_SETTINGS CBaseRTSPChannel::BuildSessionSettings() {
  const DEVICE_INFO* device = Driver()->GetDeviceInfo();
  RTSP_CLIENT_SETTINGS settings;
  settings.Host = device->Address;
  settings.UserName = device->UserName;
  settings.Password = device->Password;
  settings.ConnectTimeout = device->ConnectTimeout;
  settings.ReceiveTimeout = device->ConnectTimeout;
  settings.ClientRtpPort = Receiver().GetPort();
  settings.ClientRtcpPort = Rtcp().GetPort();
  FillSessionParams(settings);
  return settings;
}

bool CBaseRTSPChannel::OpenSession() {
  if (!CBaseRTPChannel::OpenSession()) return false;
  const RTSP_CLIENT_SETTINGS settings = BuildSessionSettings();
  if (StopEvent().Wait(0)) return false;
  if (client_.StartSession(settings, this, RtpMode())) return true;
  ReportFailure(client_.LastFailure());
  return false;
}

std::string CBaseRTSPChannel::SessionFailure() {
  const std::string failure = client_.LastFailure();
  return failure.empty() ? CBaseRTPChannel::SessionFailure() : failure;
}

void CBaseRTSPChannel::CloseSession() {
  // The client first, so that no interleaved packet is being handed in
  // meanwhile. Its thread sends the TEARDOWN; what the camera sends over UDP
  // until it hears it is still read, as the host asked for it.
  client_.RequestStop();
  ReceiveWhile([this] { return client_.IsRunning(); }, client_.StopLimitMs());
  client_.StopSession();
  CBaseRTPChannel::CloseSession();
}

}  // namespace kestrum
