#include "capability/QuellonCameraProperties.h"

#include <algorithm>

#include "foundation/HttpUtils.h"
#include "foundation/TextUtils.h"

namespace kestrum {

namespace {

std::string Value(const std::string& reply, const char* key) { return GetLineValue(reply, key, "=", "\r\n"); }

// Decimal digits, blanks around them allowed; at most 9 digits, so that no
// value can wrap.
bool ParsePlainNumber(const std::string& text, uint32_t& number) {
  const std::string digits = TrimBlanks(text);
  if (digits.empty() || digits.size() > 9) return false;
  uint32_t value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint32_t>(c - '0');
  }
  number = value;
  return true;
}

// A camera value as it stands in a note: shortened, control bytes escaped.
std::string Quoted(const std::string& value) {
  std::string text = "\"";
  for (size_t i = 0; i < value.size() && i < 40; ++i) {
    const unsigned char c = static_cast<unsigned char>(value[i]);
    text += (c < 0x20 || c >= 0x7F) ? FormatString("\\x%02X", c) : std::string(1, static_cast<char>(c));
  }
  return text + (value.size() > 40 ? "...\"" : "\"");
}

std::string JoinTexts(const std::vector<std::string>& texts, char separator) {
  std::string joined;
  for (size_t i = 0; i < texts.size(); ++i) {
    if (i > 0) joined += separator;
    joined += texts[i];
  }
  return joined;
}

// One line, as hosts show a property's value in one field.
std::string JoinNotes(const std::vector<std::string>& notes) {
  std::string joined;
  for (const std::string& note : notes) joined += (joined.empty() ? "" : "; ") + note;
  return joined;
}

}  // namespace

CQuellonCameraProperties::CQuellonCameraProperties(const DEVICE_INFO& device, uint32_t videoStandard)
    : CBaseCameraProperties(device, videoStandard), sender_(&device) {
  // A stop request ends a camera request at once instead of after its time-out.
  sender_.SetStopEvent(&StopEvent());
}

void CQuellonCameraProperties::Note(const std::string& note) {
  if (notes_.size() < 32) notes_.push_back(note);
}

bool CQuellonCameraProperties::ReadBounded(const std::string& key, const std::string& value, uint32_t minimum,
                                           uint32_t maximum, uint32_t& number) {
  uint32_t parsed = 0;
  if (ParsePlainNumber(value, parsed) && parsed >= minimum && parsed <= maximum) {
    number = parsed;
    return true;
  }
  Note(FormatString("%s=%s ignored: not a number from %u to %u", key.c_str(), Quoted(value).c_str(), minimum,
                    maximum));
  return false;
}

std::string CQuellonCameraProperties::Text(const std::string& reply, const char* key) {
  std::string value = Value(reply, key);
  if (value.size() > kMaxText) {
    Note(FormatString("%s cut to %zu of its %zu characters", key, kMaxText, value.size()));
    value.resize(kMaxText);
  }
  return value;
}

void CQuellonCameraProperties::ReadInformation(const std::string& reply) {
  const std::string vendor = Text(reply, "vendor");
  const std::string type = Text(reply, "type");
  const std::string subtype = Text(reply, "subtype");
  if (vendor.empty() || type.empty() || subtype.empty()) {
    lastError_ = "Failed to get model information!";
    return;
  }
  vendor_ = vendor;
  model_ = type + " " + subtype;

  if (Value(reply, "h264").find('1') != std::string::npos) {
    streamKinds_.insert(1);
    const std::vector<std::string> rtsp = SplitString(Value(reply, "h264_rtsp"), '/');
    uint32_t port = 0;
    if (!rtsp.empty() && ReadBounded("h264_rtsp", rtsp[0], 1, 65534, port)) rtspPort_ = port;
  }
  streamKinds_.insert(3);

  // An empty value leaves the field as it was; so does one out of range.
  const std::string inputs = Value(reply, "external_inputs");
  if (!inputs.empty()) ReadBounded("external_inputs", inputs, 0, kMaxCount, externalInputs_);
  const std::string relays = Value(reply, "relay");
  if (!relays.empty()) ReadBounded("relay", relays, 0, kMaxCount, relays_);
  const std::string videoInputs = Value(reply, "video_inputs");
  if (!videoInputs.empty()) ReadBounded("video_inputs", videoInputs, 0, kMaxCount, videoInputs_);
  firmware_ = Text(reply, "version");
}

void CQuellonCameraProperties::ParseResolutionLine(const std::string& line) {
  const std::vector<std::string> tokens = SplitString(line, ',');
  if (tokens.size() < 3) return;
  const std::vector<std::string> size = SplitString(tokens[1], 'x');
  uint32_t rate = 0, width = 0, height = 0;
  if (size.size() != 2 || !ReadBounded("frame rate", tokens[2], 1, 30, rate) ||
      !ReadBounded("width", size[0], kMinSide, kMaxSide, width) ||
      !ReadBounded("height", size[1], kMinSide, kMaxSide, height)) {
    return;
  }
  // The list goes to the host and back into the driver's settings: one
  // entry per size, and no more than a camera could really offer.
  const std::string text = FormatString("%ux%u", width, height);
  if (std::find(resolutionTexts_.begin(), resolutionTexts_.end(), text) == resolutionTexts_.end()) {
    if (resolutionTexts_.size() >= kMaxResolutions) {
      ++resolutionLinesCut_;
      return;
    }
    resolutionTexts_.push_back(text);
  }
  AddResolution(width, height, rate);
  lowestRate_ = lowestRate_ == 0 ? rate : std::min(lowestRate_, rate);
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
  if (resolutionLinesCut_ != 0) {
    Note(FormatString("resolutions cut to the first %zu sizes (%zu more lines ignored)", kMaxResolutions,
                      resolutionLinesCut_));
  }
}

bool CQuellonCameraProperties::GetPage(const char* path, std::string& reply, bool& tooLarge) {
  std::vector<uint8_t> body;
  const CResultDef result = HUtils::RequestGetRD(sender_, path, body, true, kMaxPageBytes);
  tooLarge = result.GetCode() == 13;
  if (tooLarge) {
    lastError_ = FormatString("the reply to \"%s\" is larger than %u bytes", path, kMaxPageBytes);
    return false;
  }
  if (result.GetCode() != 0) return false;
  reply.assign(body.begin(), body.end());
  return true;
}

bool CQuellonCameraProperties::QueryProperties(int* code) {
  // 1. Login probe: only a refusal counts here.
  if (!StopRequested()) {
    // The status whatever the send returned: the sender reports a 401 in the
    // scheme it already tried (a Basic camera's refusal) as a failed send.
    sender_.SendRequest(Web::HTTP_REQUEST("GET", "/admin.cgi?tablist"));
    const uint32_t status = sender_.GetStatusCode();
    sender_.CloseRequest();
    if (status == 401) {
      if (code != nullptr) *code = 1;
      return false;
    }
  }
  // 2. What the camera is.
  bool informationOk = false;
  if (!StopRequested()) {
    std::string reply;
    bool tooLarge = false;
    if (GetPage("/info.cgi", reply, tooLarge) && !reply.empty()) {
      ReadInformation(reply);
      informationOk = HasModel();
    } else if (tooLarge) {
      if (code != nullptr) *code = 3;
      return false;  // a page too large says more than any later step
    }
  }
  // 3. What it streams.
  bool resolutionsOk = false;
  if (!StopRequested()) {
    AddStandardFrameRates();
    std::string reply;
    bool tooLarge = false;
    if (GetPage("/info.cgi?resolutions&api=2", reply, tooLarge) && !reply.empty()) {
      ReadResolutions(reply);
    } else if (tooLarge) {
      if (code != nullptr) *code = 3;
      return false;
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
  // Only when the camera's pages needed it, so that an ordinary camera's
  // results stay as they were.
  if (!notes_.empty()) AddProperty(sink, 5, "Ignored camera values", JoinNotes(notes_), true);
  return true;
}

}  // namespace kestrum
