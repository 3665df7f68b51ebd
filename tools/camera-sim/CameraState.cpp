#include "tools/camera-sim/CameraState.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <sstream>

namespace kestrum {
namespace sim {

namespace {

constexpr size_t kMaxLoggedRequests = 2000;

bool ParseUnsigned(const std::string& text, uint32_t& value) {
  if (text.empty() || text.size() > 9) return false;
  uint32_t v = 0;
  for (char ch : text) {
    if (ch < '0' || ch > '9') return false;
    v = v * 10 + static_cast<uint32_t>(ch - '0');
  }
  value = v;
  return true;
}

const auto kStart = std::chrono::steady_clock::now();

}  // namespace

uint64_t SimMilliseconds() {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - kStart).count());
}

std::vector<Resolution> DefaultResolutions() {
  return {{640, 480, 30}, {1280, 720, 25}, {1920, 1080, 25}, {320, 240, 30}};
}

bool ParseResolutions(const std::string& text, std::vector<Resolution>& out) {
  std::vector<Resolution> parsed;
  std::stringstream items(text);
  std::string item;
  while (std::getline(items, item, ',')) {
    Resolution r;
    char x = 0;
    char colon = 0;
    char extra = 0;
    if (std::sscanf(item.c_str(), "%u%c%u%c%u%c", &r.width, &x, &r.height, &colon, &r.maxFps, &extra) != 5 ||
        x != 'x' || colon != ':' || r.width < 16 || r.height < 16 || r.width > 4096 || r.height > 4096 ||
        r.width % 2 != 0 || r.height % 2 != 0 || r.maxFps < 1 || r.maxFps > 60) {
      return false;
    }
    parsed.push_back(r);
  }
  if (parsed.empty()) return false;
  out = parsed;
  return true;
}

std::string JsonEscape(const std::string& text) {
  std::string escaped;
  for (unsigned char ch : text) {
    switch (ch) {
      case '"':
        escaped += "\\\"";
        break;
      case '\\':
        escaped += "\\\\";
        break;
      case '\n':
        escaped += "\\n";
        break;
      case '\r':
        escaped += "\\r";
        break;
      case '\t':
        escaped += "\\t";
        break;
      default:
        if (ch < 0x20 || ch >= 0x7F) {
          char code[8];
          std::snprintf(code, sizeof code, "\\u%04x", ch);
          escaped += code;
        } else {
          escaped += static_cast<char>(ch);
        }
    }
  }
  return escaped;
}

CameraState::CameraState(uint32_t index, std::vector<Resolution> resolutions, uint32_t inputs, uint32_t relays)
    : index_(index), resolutions_(std::move(resolutions)), inputCount_(inputs), relayCount_(relays),
      inputs_(inputs, 0) {}

ImageSettings CameraState::Settings() {
  std::lock_guard<std::mutex> lock(mutex_);
  return settings_;
}

Resolution CameraState::CurrentResolution() {
  std::lock_guard<std::mutex> lock(mutex_);
  return resolutions_[settings_.resolution];
}

bool CameraState::ApplySettings(const std::vector<std::pair<std::string, std::string>>& items, std::string& error) {
  std::lock_guard<std::mutex> lock(mutex_);
  ImageSettings next = settings_;
  struct Rule {
    const char* key;
    uint32_t ImageSettings::*field;
    uint32_t low;
    uint32_t high;
  };
  const Rule rules[] = {
      {"resolution", &ImageSettings::resolution, 0, static_cast<uint32_t>(resolutions_.size() - 1)},
      {"quality", &ImageSettings::quality, 20, 100},
      {"h264_framerate", &ImageSettings::h264_framerate, 1, 60},
      {"h264_keyframe", &ImageSettings::h264_keyframe, 1, 600},
      {"h264_cbr", &ImageSettings::h264_cbr, 0, 1},
      {"h264_quality", &ImageSettings::h264_quality, 2, 52},
      {"h264_bitrate", &ImageSettings::h264_bitrate, 64, 20000},
      {"brightness", &ImageSettings::brightness, 0, 100},
      {"contrast", &ImageSettings::contrast, 0, 100},
  };
  for (const auto& [key, value] : items) {
    for (const Rule& rule : rules) {
      if (key != rule.key) continue;
      uint32_t number = 0;
      if (!ParseUnsigned(value, number) || number < rule.low || number > rule.high) {
        error = "bad value for " + key + ": \"" + value + "\"";
        return false;
      }
      next.*(rule.field) = number;
    }
  }
  settings_ = next;
  ++counters_.settingsChanges;
  return true;
}

std::vector<int> CameraState::Inputs() {
  std::lock_guard<std::mutex> lock(mutex_);
  return inputs_;
}

bool CameraState::SetInput(uint32_t oneBasedIndex, int state) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (oneBasedIndex < 1 || oneBasedIndex > inputs_.size()) return false;
  inputs_[oneBasedIndex - 1] = state != 0 ? 1 : 0;
  return true;
}

void CameraState::ToggleInput(uint32_t oneBasedIndex) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (oneBasedIndex >= 1 && oneBasedIndex <= inputs_.size()) inputs_[oneBasedIndex - 1] ^= 1;
}

int CameraState::Relay() {
  std::lock_guard<std::mutex> lock(mutex_);
  return relay_;
}

void CameraState::SetRelay(int state) {
  std::lock_guard<std::mutex> lock(mutex_);
  relay_ = state != 0 ? 1 : 0;
  relayHistory_.push_back(relay_);
  ++counters_.relaySwitches;
}

std::vector<int> CameraState::RelayHistory() {
  std::lock_guard<std::mutex> lock(mutex_);
  return relayHistory_;
}

Faults CameraState::GetFaults() {
  std::lock_guard<std::mutex> lock(mutex_);
  return faults_;
}

bool CameraState::SetFault(const std::string& name, uint32_t value) {
  std::lock_guard<std::mutex> lock(mutex_);
  const bool on = value != 0;
  if (name == "stall") {
    faults_.stall = on;
  } else if (name == "close_after") {
    faults_.closeAfter = value;
  } else if (name == "refuse_settings") {
    faults_.refuseSettings = on;
  } else if (name == "empty_settings") {
    faults_.emptySettings = on;
  } else if (name == "truncate") {
    faults_.truncate = on;
  } else if (name == "garbage") {
    faults_.garbage = on;
  } else if (name == "slow") {
    faults_.slowMs = value;
  } else if (name == "error500") {
    faults_.error500 = on;
  } else if (name == "drop") {
    faults_.drop = on;
  } else if (name == "udp_loss") {
    faults_.udpLoss = std::min(value, 100u);
  } else if (name == "udp_reorder") {
    faults_.udpReorder = std::min(value, 100u);
  } else if (name == "no_inband_sets") {
    faults_.noInbandSets = on;
  } else if (name == "stap_a") {
    faults_.stapA = on;
  } else if (name == "sei_aud") {
    faults_.seiAud = on;
  } else if (name == "malformed") {
    faults_.malformed = on;
  } else if (name == "long_describe") {
    faults_.longDescribe = on;
  } else if (name == "content_base") {
    faults_.contentBase = on;
  } else if (name == "rtsp_401") {
    faults_.rtsp401 = on;
  } else if (name == "cseq_offset") {
    faults_.cseqOffset = value;
  } else if (name == "interleaved_base") {
    if (value > 254) return false;
    faults_.interleavedBase = value;
  } else if (name == "strict") {
    faults_.strict = on;
  } else if (name == "digest_sha256") {
    faults_.digestSha256 = on;
  } else if (name == "expire_nonces") {
    faults_.expireNonces = on;
  } else {
    return false;
  }
  return true;
}

void CameraState::Log(const RequestRecord& record) {
  std::lock_guard<std::mutex> lock(mutex_);
  requests_.push_back(record);
  if (requests_.size() > kMaxLoggedRequests) requests_.pop_front();
  if (record.protocol == "http") ++counters_.httpRequests;
}

void CameraState::Count(uint64_t Counters::*counter, int64_t delta) {
  std::lock_guard<std::mutex> lock(mutex_);
  counters_.*counter += static_cast<uint64_t>(delta);
}

Counters CameraState::GetCounters() {
  std::lock_guard<std::mutex> lock(mutex_);
  return counters_;
}

std::vector<RequestRecord> CameraState::Requests() {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::vector<RequestRecord>(requests_.begin(), requests_.end());
}

void CameraState::Reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  faults_ = Faults();
  const uint64_t open = counters_.streamsOpen;
  counters_ = Counters();
  counters_.streamsOpen = open;
  requests_.clear();
  relayHistory_.clear();
  rtspSessions_.Clear();
}

std::string CameraState::ToJson(uint16_t httpPort, uint16_t rtspPort) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::ostringstream json;
  json << "{\"camera\":" << index_ << ",\"http_port\":" << httpPort << ",\"rtsp_port\":" << rtspPort;
  json << ",\"settings\":{\"resolution\":" << settings_.resolution << ",\"quality\":" << settings_.quality
       << ",\"h264_framerate\":" << settings_.h264_framerate << ",\"h264_keyframe\":" << settings_.h264_keyframe
       << ",\"h264_cbr\":" << settings_.h264_cbr << ",\"h264_quality\":" << settings_.h264_quality
       << ",\"h264_bitrate\":" << settings_.h264_bitrate
       << ",\"brightness\":" << settings_.brightness << ",\"contrast\":" << settings_.contrast << "}";
  json << ",\"resolutions\":[";
  for (size_t i = 0; i < resolutions_.size(); ++i) {
    json << (i ? "," : "") << "{\"width\":" << resolutions_[i].width << ",\"height\":" << resolutions_[i].height
         << ",\"max_fps\":" << resolutions_[i].maxFps << "}";
  }
  json << "],\"inputs\":[";
  for (size_t i = 0; i < inputs_.size(); ++i) json << (i ? "," : "") << inputs_[i];
  json << "],\"relay\":" << relay_ << ",\"relay_history\":[";
  for (size_t i = 0; i < relayHistory_.size(); ++i) json << (i ? "," : "") << relayHistory_[i];
  json << "],\"faults\":{\"stall\":" << faults_.stall << ",\"close_after\":" << faults_.closeAfter
       << ",\"refuse_settings\":" << faults_.refuseSettings << ",\"empty_settings\":" << faults_.emptySettings
       << ",\"truncate\":" << faults_.truncate << ",\"garbage\":" << faults_.garbage << ",\"slow\":" << faults_.slowMs
       << ",\"error500\":" << faults_.error500 << ",\"drop\":" << faults_.drop << ",\"udp_loss\":" << faults_.udpLoss
       << ",\"udp_reorder\":" << faults_.udpReorder << ",\"no_inband_sets\":" << faults_.noInbandSets
       << ",\"stap_a\":" << faults_.stapA << ",\"sei_aud\":" << faults_.seiAud << ",\"malformed\":" << faults_.malformed
       << ",\"long_describe\":" << faults_.longDescribe << ",\"content_base\":" << faults_.contentBase
       << ",\"rtsp_401\":" << faults_.rtsp401 << ",\"cseq_offset\":" << faults_.cseqOffset
       << ",\"interleaved_base\":" << faults_.interleavedBase << ",\"strict\":" << faults_.strict
       << ",\"digest_sha256\":" << faults_.digestSha256 << ",\"expire_nonces\":" << faults_.expireNonces << "}";
  json << ",\"counters\":{\"http_requests\":" << counters_.httpRequests
       << ",\"streams_opened\":" << counters_.streamsOpened << ",\"streams_open\":" << counters_.streamsOpen
       << ",\"pictures_sent\":" << counters_.picturesSent << ",\"settings_changes\":" << counters_.settingsChanges
       << ",\"relay_switches\":" << counters_.relaySwitches << "}";
  json << ",\"requests\":[";
  bool first = true;
  for (const RequestRecord& r : requests_) {
    json << (first ? "" : ",") << "{\"protocol\":\"" << r.protocol << "\",\"method\":\"" << JsonEscape(r.method)
         << "\",\"path\":\"" << JsonEscape(r.path) << "\",\"auth\":\"" << r.auth << "\",\"user\":\""
         << JsonEscape(r.user) << "\",\"authorized\":" << (r.authorized ? "true" : "false")
         << ",\"time_ms\":" << r.timeMs << "}";
    first = false;
  }
  json << "],\"rtsp_sessions\":" << rtspSessions_.ToJson() << "}";
  return json.str();
}

}  // namespace sim
}  // namespace kestrum
