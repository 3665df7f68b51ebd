// Everything one simulated camera knows: its settings, alarm inputs and
// relay, the faults switched on for tests, counters and the request log.
// Shared by the HTTP and RTSP front ends; every member is guarded.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "tools/camera-sim/RtspSessionLog.h"

namespace kestrum {
namespace sim {

struct Resolution {
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t maxFps = 0;
};

// The image and encoder settings the camera reports on "/admin.cgi?image&_".
struct ImageSettings {
  uint32_t resolution = 0;  // index into the resolution list
  uint32_t quality = 60;    // 20..100
  uint32_t h264_framerate = 25;
  uint32_t h264_keyframe = 25;
  uint32_t h264_cbr = 0;
  uint32_t h264_quality = 22;  // 2..52, lower is better
  uint32_t h264_bitrate = 2000;  // kbit/s while h264_cbr is 1 (not on the camera's page)
  uint32_t brightness = 50;
  uint32_t contrast = 50;
};

struct Faults {
  bool stall = false;           // streams: connection open, no more bytes
  uint32_t closeAfter = 0;      // streams: end after this many pictures (0: never)
  bool refuseSettings = false;  // settings change answered 403
  bool emptySettings = false;   // settings page answered with an empty body
  bool truncate = false;        // pictures without their end-of-image marker
  bool garbage = false;         // garbage bytes between parts
  uint32_t slowMs = 0;          // delay before every camera reply
  bool error500 = false;        // every camera page answers 500
  bool drop = false;            // replies cut off mid-way, connection dropped
  // RTSP side (stall and drop apply there too: no packets; connection closed)
  uint32_t udpLoss = 0;       // percent of RTP packets over UDP not sent
  uint32_t udpReorder = 0;    // percent of RTP packets over UDP swapped with the next
  bool noInbandSets = false;  // SPS and PPS only in the session description
  bool stapA = false;         // SPS and PPS as one STAP-A packet
  bool seiAud = false;        // access-unit delimiter and SEI in every picture
  bool malformed = false;     // now and then an empty FU-A and a cut STAP-A
  bool longDescribe = false;  // a DESCRIBE reply header block over 1 KiB
  bool contentBase = false;   // DESCRIBE names an absolute Content-Base
  bool rtsp401 = false;       // every RTSP request answered 401
  uint32_t cseqOffset = 0;    // added to the CSeq of every RTSP response
  uint32_t interleavedBase = 0;  // interleaved channels answered and used: this one (RTP) and the next
  // RTSP as a standard server: RTP/AVP without interleaved= is UDP, Digest
  // challenges carry qop, opaque and the algorithm, header names come in
  // lower case without a blank after the colon.
  bool strict = false;
  bool digestSha256 = false;  // strict Digest with algorithm=SHA-256
  bool expireNonces = false;  // once: every nonce given out so far turns stale
};

struct RequestRecord {
  std::string protocol;  // "http" or "rtsp"
  std::string method;
  std::string path;   // as the client sent it, query included
  std::string auth;   // "none", "basic", "digest"
  std::string user;
  bool authorized = false;
  uint64_t timeMs = 0;  // since the simulator started
};

struct Counters {
  uint64_t httpRequests = 0;
  uint64_t streamsOpened = 0;
  uint64_t streamsOpen = 0;
  uint64_t picturesSent = 0;
  uint64_t settingsChanges = 0;
  uint64_t relaySwitches = 0;
};

class CameraState {
 public:
  CameraState(uint32_t index, std::vector<Resolution> resolutions, uint32_t inputs, uint32_t relays);

  uint32_t Index() const { return index_; }
  const std::vector<Resolution>& Resolutions() const { return resolutions_; }
  uint32_t InputCount() const { return static_cast<uint32_t>(inputCount_); }
  uint32_t RelayCount() const { return relayCount_; }

  ImageSettings Settings();
  // Applies key=value pairs; unknown keys are ignored. False (and nothing
  // changed) when a known key has a bad value; error names it.
  bool ApplySettings(const std::vector<std::pair<std::string, std::string>>& items, std::string& error);
  Resolution CurrentResolution();

  std::vector<int> Inputs();
  bool SetInput(uint32_t oneBasedIndex, int state);
  void ToggleInput(uint32_t oneBasedIndex);
  int Relay();
  void SetRelay(int state);
  std::vector<int> RelayHistory();

  Faults GetFaults();
  // name: stall, close_after, refuse_settings, empty_settings, truncate,
  // garbage, slow, error500, drop, udp_loss, udp_reorder, no_inband_sets,
  // stap_a, sei_aud, malformed, long_describe, content_base, rtsp_401,
  // cseq_offset, interleaved_base (0 to 254), strict, digest_sha256,
  // expire_nonces. False for an unknown name or a value out of range.
  bool SetFault(const std::string& name, uint32_t value);

  void Log(const RequestRecord& record);
  void Count(uint64_t Counters::*counter, int64_t delta = 1);
  Counters GetCounters();
  std::vector<RequestRecord> Requests();
  // Clears faults, counters, the log and the relay history; settings stay.
  void Reset();

  RtspSessionLog& RtspSessions() { return rtspSessions_; }

  // The whole state as a JSON object.
  std::string ToJson(uint16_t httpPort, uint16_t rtspPort);

 private:
  const uint32_t index_;
  const std::vector<Resolution> resolutions_;
  const size_t inputCount_;
  const uint32_t relayCount_;

  std::mutex mutex_;
  ImageSettings settings_;
  std::vector<int> inputs_;
  int relay_ = 0;
  std::vector<int> relayHistory_;
  Faults faults_;
  Counters counters_;
  std::deque<RequestRecord> requests_;
  RtspSessionLog rtspSessions_;
};

// "640x480:30,1280x720:25" → list; false on a malformed item.
bool ParseResolutions(const std::string& text, std::vector<Resolution>& out);
std::vector<Resolution> DefaultResolutions();
std::string JsonEscape(const std::string& text);
uint64_t SimMilliseconds();

}  // namespace sim
}  // namespace kestrum
