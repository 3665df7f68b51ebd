// An RTP channel whose session is controlled over RTSP: the client is
// started after the RTP side is ready and stopped before it closes.
#pragma once

#include "channels/BaseRTPChannel.h"
#include "rtsp/BaseRTSPClient.h"

namespace kestrum {

class CBaseRTSPChannel : public CBaseRTPChannel {
 public:
  CBaseRTSPChannel(uint32_t index, IDriver* driver, ipcapture::IHostFrameSink* sink);
  ~CBaseRTSPChannel() override;

 protected:
  bool OpenSession() override;
  void CloseSession() override;
  // The RTSP client's reason when it has one ("SETUP answered 461 ...").
  std::string SessionFailure() override;
  // The camera's RTSP port and the stream's path.
  virtual void FillSessionParams(RTSP_CLIENT_SETTINGS& settings) = 0;
  // Interleaved pictures come on the RTSP client's thread.
  bool OnHelperThread() override { return client_.IsCurrentThread(); }

  // The settings of the next session (exposed for tests).
  RTSP_CLIENT_SETTINGS BuildSessionSettings();

 private:
  CBaseRTSPClient client_;
};

}  // namespace kestrum
