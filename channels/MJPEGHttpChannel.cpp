#include "channels/MJPEGHttpChannel.h"

#include "foundation/HttpUtils.h"
#include "foundation/TextUtils.h"

namespace kestrum {

namespace {
const char kSettingsPage[] = "/admin.cgi?image&_";
const char kSettingsBase[] = "/admin.cgi?image";
}  // namespace

void ComposeSetting(std::string& request, const std::string& settings, const std::string& key,
                    const std::string& value) {
  if (value.empty() || value == GetLineValue(settings, key, "=", "\r\n")) return;
  request += "&" + key + "=" + value;
}

CMJPEGHttpChannel::CMJPEGHttpChannel(uint32_t index, IDriver* driver, ipcapture::IHostFrameSink* sink)
    : CBaseHttpChannel(index, driver, sink) {}

CMJPEGHttpChannel::~CMJPEGHttpChannel() { StopCaptureThread(); }

std::string BuildImageSettingsRequest(IDriver& driver, const StreamParams& params,
                                      const std::string& currentSettings) {
  std::string request = kSettingsBase;
  const int32_t resolution = driver.FindResolution(params.Width, params.Height);
  if (resolution != -1) ComposeSetting(request, currentSettings, "resolution", std::to_string(resolution));
  ComposeSetting(request, currentSettings, "quality", std::to_string(params.Quality * 80 / 100 + 20));
  return request == kSettingsBase ? std::string() : request;
}

bool CMJPEGHttpChannel::ApplyImageSettings() {
  if (!UpdateSettings()) return true;
  std::string settings;
  std::string failure;
  if (!HUtils::RequestGetRD(Sender(), kSettingsPage, &settings, failure)) {
    ReportFailure(failure);
    return false;
  }
  if (settings.empty()) return false;
  const std::string request = BuildImageSettingsRequest(*Driver(), Params(), settings);
  if (request.empty() || HUtils::RequestGetRD(Sender(), request, nullptr, failure)) return true;
  ReportFailure(failure);
  return false;
}

bool CMJPEGHttpChannel::OpenStream() {
  if (!ApplyImageSettings()) return false;
  const uint32_t rate = RateToInterval(Params().FrameInterval);
  const std::string path = FormatString("/nph-mjpeg.cgi?fps=%u", rate);
  const bool sent = HUtils::StartGetRequest(Sender(), path);
  // An error page is no stream: reading it and reopening at once would
  // hammer the camera without ever counting the signal as lost.
  const uint32_t status = Sender().GetStatusCode();
  if (sent && status >= 200 && status <= 299) return true;
  ReportFailure(status == 0 ? FormatString("no answer to \"%s\" (connection refused or timed out)", path.c_str())
                            : FormatString("the camera answered \"%s\" with HTTP status %u", path.c_str(), status));
  return false;
}

}  // namespace kestrum
