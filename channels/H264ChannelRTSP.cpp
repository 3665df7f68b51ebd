#include "channels/H264ChannelRTSP.h"

#include "channels/MJPEGHttpChannel.h"
#include "foundation/HttpUtils.h"
#include "foundation/TextUtils.h"

namespace kestrum {

namespace {
const char kSettingsPage[] = "/admin.cgi?image&_";
const char kSettingsBase[] = "/admin.cgi?image";
const char kStreamPath[] = "nph-h264.cgi";
constexpr uint32_t kRtspPortParameter = 3;
constexpr int32_t kAbsentParameter = static_cast<int32_t>(0x80000000u);
}  // namespace

std::string BuildEncoderSettingsRequest(IDriver& driver, const StreamParams& params,
                                        const std::string& currentSettings) {
  std::string request = kSettingsBase;
  const uint32_t rate = params.FrameInterval == 0 ? 1 : RateToInterval(params.FrameInterval);
  const int32_t resolution = driver.FindResolution(params.Width, params.Height);
  if (resolution != -1) ComposeSetting(request, currentSettings, "resolution", std::to_string(resolution));
  ComposeSetting(request, currentSettings, "h264_framerate", std::to_string(rate));
  ComposeSetting(request, currentSettings, "h264_keyframe", std::to_string(rate > 1 ? rate - 1 : 1));
  ComposeSetting(request, currentSettings, "h264_cbr", "0");
  ComposeSetting(request, currentSettings, "h264_quality", std::to_string((100u - params.Quality) / 2 + 2));
  return request == kSettingsBase ? std::string() : request;
}

CH264ChannelRTSP::CH264ChannelRTSP(uint32_t index, IDriver* driver, ipcapture::IHostFrameSink* sink)
    : CBaseRTSPChannel(index, driver, sink), parser_(driver), sender_(driver->GetDeviceInfo()) {
  parser_.SetClient(this);
  // The settings exchange ends with the channel's stop request too.
  sender_.SetStopEvent(&StopEvent());
}

CH264ChannelRTSP::~CH264ChannelRTSP() {
  // The capture thread and the packet threads use the parser and the sender.
  SetStatus(Stopped);
  SetCameraState(false);
  StopCaptureThread();
  CloseSession();
}

void CH264ChannelRTSP::OnStopRequested() { sender_.CloseRequest(); }

bool CH264ChannelRTSP::PrepareSession() {
  // A shortage of an earlier session is not this one's.
  parser_.TakeMemoryShortage();
  parser_.TakeHostFrameShortage();
  if (!UpdateSettings()) return true;
  std::string settings;
  std::string failure;
  if (!HUtils::RequestGetRD(sender_, kSettingsPage, &settings, failure)) {
    ReportFailure(failure);
    return false;
  }
  if (settings.empty()) return false;
  const std::string request = BuildEncoderSettingsRequest(*Driver(), Params(), settings);
  if (request.empty() || HUtils::RequestGetRD(sender_, request, nullptr, failure)) return true;
  ReportFailure(failure);
  return false;
}

std::string CH264ChannelRTSP::SessionFailure() {
  std::string failure = CBaseRTSPChannel::SessionFailure();
  if (parser_.TakeMemoryShortage()) failure += ": not enough memory for its pictures";
  if (parser_.TakeHostFrameShortage()) failure += ": the host gave no frame for its pictures";
  return failure;
}

void CH264ChannelRTSP::ProcessPacket(const CRTPPacket& packet) { parser_.ProcessPacket(packet); }

void CH264ChannelRTSP::OnParameterSets(const std::vector<uint8_t>* sets) { parser_.SetParameterSets(sets); }

void CH264ChannelRTSP::FillSessionParams(RTSP_CLIENT_SETTINGS& settings) {
  const int32_t port = Driver()->GetParameterNumber(kRtspPortParameter);
  settings.ServerPort = port == kAbsentParameter ? kDefaultRtspPort : static_cast<uint16_t>(port & 0xFFFF);
  settings.Path = kStreamPath;
}

}  // namespace kestrum
