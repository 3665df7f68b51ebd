#include "tools/camera-sim/RtspSessionLog.h"

#include <sstream>

#include "tools/camera-sim/CameraState.h"

namespace kestrum {
namespace sim {

namespace {
constexpr size_t kMaxRecords = 256;
constexpr size_t kMaxRequestsPerSession = 512;
}  // namespace

void RtspSessionLog::Update(const std::string& id, const std::function<void(RtspSessionRecord&)>& change) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto it = records_.rbegin(); it != records_.rend(); ++it) {
    if (it->id == id) {
      change(*it);
      if (it->requests.size() > kMaxRequestsPerSession) it->requests.erase(it->requests.begin());
      return;
    }
  }
  records_.emplace_back();
  records_.back().id = id;
  change(records_.back());
  if (records_.size() > kMaxRecords) records_.pop_front();
}

std::vector<RtspSessionRecord> RtspSessionLog::List() {
  std::lock_guard<std::mutex> lock(mutex_);
  return std::vector<RtspSessionRecord>(records_.begin(), records_.end());
}

void RtspSessionLog::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  records_.clear();
}

std::string RtspSessionLog::ToJson() {
  std::lock_guard<std::mutex> lock(mutex_);
  std::ostringstream json;
  json << "[";
  bool first = true;
  for (const RtspSessionRecord& r : records_) {
    json << (first ? "" : ",") << "{\"id\":\"" << JsonEscape(r.id) << "\",\"transport\":\"" << r.transport
         << "\",\"client_ports\":[" << r.clientRtpPort << "," << r.clientRtcpPort << "],\"server_ports\":["
         << r.serverRtpPort << "," << r.serverRtcpPort << "],\"timeout\":" << r.timeoutSeconds << ",\"state\":\""
         << r.state << "\",\"keep_alives\":" << r.keepAlives << ",\"pictures_sent\":" << r.picturesSent
         << ",\"packets_sent\":" << r.packetsSent
         << ",\"packets_lost\":" << r.packetsLost << ",\"sender_reports\":" << r.senderReports
         << ",\"receiver_reports\":" << r.receiverReports << ",\"byes\":" << r.byes << ",\"requests\":[";
    for (size_t i = 0; i < r.requests.size(); ++i) {
      const RtspRequestLine& line = r.requests[i];
      json << (i ? "," : "") << "{\"method\":\"" << JsonEscape(line.method) << "\",\"cseq\":\""
           << JsonEscape(line.cseq) << "\",\"authorization\":\"" << JsonEscape(line.authorization) << "\"}";
    }
    json << "]}";
    first = false;
  }
  json << "]";
  return json.str();
}

}  // namespace sim
}  // namespace kestrum
