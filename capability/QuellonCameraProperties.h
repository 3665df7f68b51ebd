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

  // What a camera's pages may hold; beyond this a value is ignored, a list
  // cut, a text shortened, a page refused.
  static constexpr uint32_t kMaxCount = 64;  // inputs, relays, video inputs
  static constexpr uint32_t kMinSide = 16;
  static constexpr uint32_t kMaxSide = 16384;
  static constexpr size_t kMaxResolutions = 64;
  static constexpr size_t kMaxText = 256;
  static constexpr uint32_t kMaxPageBytes = 1u << 20;

  uint32_t RtspPort() const { return rtspPort_; }
  const std::vector<std::string>& ResolutionTexts() const { return resolutionTexts_; }
  // One line per camera value that was ignored, cut or shortened.
  const std::vector<std::string>& Notes() const { return notes_; }

  // The parsing steps, exposed for tests.
  void ReadInformation(const std::string& reply);
  void AddStandardFrameRates();  // 1 to 30 pictures per second
  void ReadResolutions(const std::string& reply);
  bool HasModel() const { return !model_.empty(); }

 private:
  void ParseResolutionLine(const std::string& line);
  // A plain decimal number for key within [minimum, maximum]; anything else
  // gives false and a note naming the key and the value.
  bool ReadBounded(const std::string& key, const std::string& value, uint32_t minimum, uint32_t maximum,
                   uint32_t& number);
  std::string Text(const std::string& reply, const char* key);
  // Asks for one page; a page over kMaxPageBytes sets tooLarge and lastError_.
  bool GetPage(const char* path, std::string& reply, bool& tooLarge);
  void Note(const std::string& note);

  Web::CHttpSender sender_;
  std::string lastError_;
  uint32_t rtspPort_ = 554;
  std::vector<std::string> resolutionTexts_;
  std::vector<std::string> notes_;
  size_t resolutionLinesCut_ = 0;
};

}  // namespace kestrum
