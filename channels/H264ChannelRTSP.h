// The camera's H.264 stream over RTSP ("nph-h264.cgi"): the encoder
// settings are brought in line with the host's request before each session,
// and every RTP packet goes to the H.264 depacketizer.
#pragma once

#include <string>

#include "channels/BaseRTSPChannel.h"
#include "foundation/HttpSender.h"
#include "parsers/H264RTPMediaParser.h"

namespace kestrum {

class CH264ChannelRTSP : public CBaseRTSPChannel {
 public:
  static constexpr uint16_t kDefaultRtspPort = 554;

  CH264ChannelRTSP(uint32_t index, IDriver* driver, ipcapture::IHostFrameSink* sink);
  ~CH264ChannelRTSP() override;

  // Out-of-band parameter sets reach the depacketizer, so that a camera
  // that sends them only in its session description still records.
  void OnParameterSets(const std::vector<uint8_t>* sets) override;

 protected:
  bool PrepareSession() override;
  void ProcessPacket(const CRTPPacket& packet) override;
  void FillSessionParams(RTSP_CLIENT_SETTINGS& settings) override;
  void OnStopRequested() override;
  // Says so when pictures were dropped for want of memory or of host frames.
  std::string SessionFailure() override;

 private:
  CH264RTPMediaParser parser_;
  Web::CHttpSender sender_;
};

// The encoder settings request ("/admin.cgi?image&resolution=N&h264_...")
// that brings a camera showing currentSettings in line with params; empty
// when nothing differs.
std::string BuildEncoderSettingsRequest(IDriver& driver, const StreamParams& params,
                                        const std::string& currentSettings);

}  // namespace kestrum
