#include "capability/QuellonCameraProperties.h"

#include <algorithm>

#include "foundation/HttpUtils.h"
#include "foundation/TextUtils.h"

namespace kestrum {

namespace {

std::string Value(const std::string& reply, const char* key) { return GetLineValue(reply, key, "=", "\r\n"); }

std::string JoinTexts(const std::vector<std::string>& texts, char separator) {
  std::string joined;
  for (size_t i = 0; i < texts.size(); ++i) {
    if (i > 0) joined += separator;
    joined += texts[i];
  }
  return joined;
}

}  // namespace

CQuellonCameraProperties::CQuellonCameraProperties(const DEVICE_INFO& device, uint32_t videoStandard)
    : CBaseCameraProperties(device, videoStandard), sender_(&device) {
  // A stop request ends a camera request at once instead of after its time-out.
  sender_.SetStopEvent(&StopEvent());
}

void CQuellonCameraProperties::ReadInformation(const std::string& reply) {
  const std::string vendor = Value(reply, "vendor");
  const std::string type = Value(reply, "type");
  const std::string subtype = Value(reply, "subtype");
  if (vendor.empty() || type.empty() || subtype.empty()) {
    lastError_ = "Failed to get model information!";
    return;
  }
  vendor_ = vendor;
  model_ = type + " " + subtype;

  if (Value(reply, "h264").find('1') != std::string::npos) {
    streamKinds_.insert(1);
    const std::vector<std::string> rtsp = SplitString(Value(reply, "h264_rtsp"), '/');
    if (!rtsp.empty()) {
      const int32_t port = ReadNumber(rtsp[0]);
      if (port >= 1 && port <= 65534) rtspPort_ = static_cast<uint32_t>(port);
    }
  }
  streamKinds_.insert(3);

  const std::string inputs = Value(reply, "external_inputs");
  if (!inputs.empty()) externalInputs_ = static_cast<uint32_t>(ReadNumber(inputs));
  const std::string relays = Value(reply, "relay");
  if (!relays.empty()) relays_ = static_cast<uint32_t>(ReadNumber(relays));
  const std::string videoInputs = Value(reply, "video_inputs");
  if (!videoInputs.empty()) videoInputs_ = static_cast<uint32_t>(ReadNumber(videoInputs));
  firmware_ = Value(reply, "version");
}

void CQuellonCameraProperties::ParseResolutionLine(const std::string& line) {
  const std::vector<std::string> tokens = SplitString(line, ',');
  if (tokens.size() < 3) return;
  const int32_t rate = ReadNumber(tokens[2]);
  const std::vector<std::string> size = SplitString(tokens[1], 'x');
  if (size.size() != 2 || rate < 1 || rate > 30) return;
  const int32_t width = ReadNumber(size[0]);
  const int32_t height = ReadNumber(size[1]);
  if (width < 1 || height < 1) return;
  AddResolution(static_cast<uint32_t>(width), static_cast<uint32_t>(height), static_cast<uint32_t>(rate));
  resolutionTexts_.push_back(tokens[1]);
  lowestRate_ = lowestRate_ == 0 ? static_cast<uint32_t>(rate) : std::min(lowestRate_, static_cast<uint32_t>(rate));
}

void CQuellonCameraProperties::AddStandardFrameRates() {
  for (uint32_t rate = 1; rate <= 30; ++rate) frameRates_.insert(rate);
}

void CQuellonCameraProperties::ReadResolutions(const std::string& reply) {
  // Lines end with CR LF, CR or LF; the last line needs no line break.
  size_t position = 0;
  while (position < reply.size()) {
    const size_t end = reply.find_first_of("\r\n", position);
    const std::string line = reply.substr(position, end == std::string::npos ? std::string::npos : end - position);
    if (line.empty()) break;
    ParseResolutionLine(line);
    if (end == std::string::npos) break;
    position = end + ((reply[end] == '\r' && end + 1 < reply.size() && reply[end + 1] == '\n') ? 2 : 1);
  }
}

bool CQuellonCameraProperties::QueryProperties(int* code) {
  // 1. Login probe: only a refusal counts here.
  if (!StopRequested()) {
    const bool sent = sender_.SendRequest(Web::HTTP_REQUEST("GET", "/admin.cgi?tablist"));
    const uint32_t status = sender_.GetStatusCode();
    sender_.CloseRequest();
    if (sent && status == 401) {
      if (code != nullptr) *code = 1;
      return false;
    }
  }
  // 2. What the camera is.
  bool informationOk = false;
  if (!StopRequested()) {
    std::string reply;
    if (HUtils::RequestGetRD(sender_, "/info.cgi", reply) && !reply.empty()) {
      ReadInformation(reply);
      informationOk = HasModel();
    }
  }
  // 3. What it streams.
  bool resolutionsOk = false;
  if (!StopRequested()) {
    AddStandardFrameRates();
    std::string reply;
    if (HUtils::RequestGetRD(sender_, "/info.cgi?resolutions&api=2", reply) && !reply.empty()) {
      ReadResolutions(reply);
    }
    resolutionsOk = !resolutions_.empty();
    if (!resolutionsOk) lastError_ = "Failed to get model resolutions!";
  }
  if (StopRequested()) return false;  // cut short: the code stays as it was
  if (!informationOk || !resolutionsOk) {
    if (code != nullptr) *code = 3;
    return false;
  }
  return true;
}

bool CQuellonCameraProperties::FillProperties(ipcapture::ICapabilityResultSink* sink) {
  AddProperty(sink, 1, "Device Video Standard", FormatString("%u", videoStandard_), false);
  AddProperty(sink, 2, "Device Firmware", firmware_, true);
  AddProperty(sink, 3, "RTSP port", FormatString("%u", rtspPort_), false);
  AddProperty(sink, 4, "Resolutions", JoinTexts(resolutionTexts_, ';'), true);
  return true;
}

}  // namespace kestrum
