// What the simulated camera's RTSP sessions did, for the "/sim/" state: the
// transport, ports, every request with its CSeq and Authorization line, and
// the packets and reports that went each way.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace kestrum {
namespace sim {

struct RtspRequestLine {
  std::string method;
  std::string cseq;
  std::string authorization;
};

struct RtspSessionRecord {
  std::string id;
  std::string transport;  // "udp" or "interleaved"
  uint16_t clientRtpPort = 0;
  uint16_t clientRtcpPort = 0;
  uint16_t serverRtpPort = 0;
  uint16_t serverRtcpPort = 0;
  uint32_t timeoutSeconds = 0;
  // "ready", "playing", "paused", then "torn down", "timed out" or "closed".
  std::string state;
  std::vector<RtspRequestLine> requests;
  uint64_t keepAlives = 0;
  uint64_t picturesSent = 0;
  uint64_t packetsSent = 0;
  uint64_t packetsLost = 0;  // dropped on purpose (UDP loss)
  uint64_t senderReports = 0;
  uint64_t receiverReports = 0;
  uint64_t byes = 0;
};

class RtspSessionLog {
 public:
  // Runs change on the record of id, creating it first when new.
  void Update(const std::string& id, const std::function<void(RtspSessionRecord&)>& change);
  std::vector<RtspSessionRecord> List();
  void Clear();
  std::string ToJson();

 private:
  std::mutex mutex_;
  std::deque<RtspSessionRecord> records_;
};

}  // namespace sim
}  // namespace kestrum
