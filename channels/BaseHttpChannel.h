// A camera channel that pulls one continuous HTTP response and feeds it to a
// media parser; reopens the stream on its own timing and reports signal loss.
#pragma once

#include <memory>

#include "channels/BaseCameraChannel.h"
#include "foundation/HttpSender.h"
#include "parsers/HttpMediaParser.h"
#include "parsers/MediaParserClient.h"

namespace kestrum {

class CBaseHttpChannel : public CBaseCameraChannel, private IMediaParserClient {
 public:
  static constexpr uint32_t kReadSize = 8192;
  static constexpr uint32_t kLostRetryMs = 5000;
  static constexpr uint32_t kFailedOpenRetryMs = 1000;

  CBaseHttpChannel(uint32_t index, IDriver* driver, ipcapture::IHostFrameSink* sink);
  ~CBaseHttpChannel() override;

 protected:
  void Run() override;
  // Ends a read blocked on the capture thread.
  void OnStopRequested() override;
  // Prepares the camera and opens the stream; true when it can be read.
  virtual bool OpenStream() = 0;

  Web::CHttpSender& Sender() { return sender_; }

 private:
  void ReadLoop();
  // No picture (and, within a stream, no opening) for longer than StreamTimeout.
  bool SignalLostNow(bool sinceOpening);

  // IMediaParserClient
  bool OnFrame(ipcapture::IHostFrame* frame) override;
  std::pair<uint32_t, uint32_t> GetFrameSize() override;
  std::string GetSourceName() override;
  void GetFrameTime(uint32_t rtpTimestamp, ipcapture::SYSTEM_TIME& time) override;

  Web::CHttpSender sender_;
  std::unique_ptr<CHttpMediaParser> parser_;
  // When the current stream opened: a new stream gets StreamTimeout for its
  // first picture, but an opening is no picture, so it never postpones the
  // loss of a camera that accepts streams and then sends nothing.
  CTime streamOpened_;
};

}  // namespace kestrum
