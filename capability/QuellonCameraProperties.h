// The Quellon camera's properties, read from its HTTP CGI pages.
#pragma once

#include <string>
#include <vector>

#include "capability/CameraProperties.h"
#include "foundation/HttpSender.h"

namespace kestrum {

class CQuellonCameraProperties : public CBaseCameraProperties {
 public:
  CQuellonCameraProperties(const DEVICE_INFO& device, uint32_t videoStandard);

  bool FillProperties(ipcapture::ICapabilityResultSink* sink) override;
  bool QueryProperties(int* code) override;
  std::string GetLastErrorText() override { return lastError_; }

  uint32_t RtspPort() const { return rtspPort_; }
  const std::vector<std::string>& ResolutionTexts() const { return resolutionTexts_; }

  // The parsing steps, exposed for tests.
  void ReadInformation(const std::string& reply);
  void AddStandardFrameRates();  // 1 to 30 pictures per second
  void ReadResolutions(const std::string& reply);
  bool HasModel() const { return !model_.empty(); }

 private:
  void ParseResolutionLine(const std::string& line);

  Web::CHttpSender sender_;
  std::string lastError_;
  uint32_t rtspPort_ = 554;
  std::vector<std::string> resolutionTexts_;
};

}  // namespace kestrum
