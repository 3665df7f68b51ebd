// A camera's "/info.cgi" and resolution pages, split at the first NUL byte:
// whatever they hold, the results stay within their bounds.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "capability/QuellonCameraProperties.h"
#include "tools/hostlib/HostCapability.h"

using kestrum::CQuellonCameraProperties;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const size_t split = input.find('\0');
  const std::string info = input.substr(0, split);
  const std::string resolutions = split == std::string::npos ? std::string() : input.substr(split + 1);

  CQuellonCameraProperties properties(kestrum::DEVICE_INFO("192.0.2.1", 80, "u", "p"), 0);
  properties.ReadInformation(info);
  properties.AddStandardFrameRates();
  properties.ReadResolutions(resolutions);

  if (properties.ExternalInputs() > CQuellonCameraProperties::kMaxCount) __builtin_trap();
  if (properties.Relays() > CQuellonCameraProperties::kMaxCount) __builtin_trap();
  if (properties.VideoInputs() > CQuellonCameraProperties::kMaxCount) __builtin_trap();
  if (properties.RtspPort() < 1 || properties.RtspPort() > 65534) __builtin_trap();
  if (properties.Model().size() > 2 * CQuellonCameraProperties::kMaxText + 1) __builtin_trap();
  if (properties.Vendor().size() > CQuellonCameraProperties::kMaxText) __builtin_trap();
  if (properties.Firmware().size() > CQuellonCameraProperties::kMaxText) __builtin_trap();
  if (properties.Notes().size() > 32) __builtin_trap();
  const auto& texts = properties.ResolutionTexts();
  if (texts.size() > CQuellonCameraProperties::kMaxResolutions) __builtin_trap();
  if (properties.Resolutions().size() != texts.size()) __builtin_trap();
  for (size_t i = 0; i < texts.size(); ++i) {
    if (std::count(texts.begin(), texts.end(), texts[i]) != 1) __builtin_trap();
  }
  for (const auto& r : properties.Resolutions()) {
    if (r.Width < CQuellonCameraProperties::kMinSide || r.Height < CQuellonCameraProperties::kMinSide) __builtin_trap();
    if (r.Width > CQuellonCameraProperties::kMaxSide || r.Height > CQuellonCameraProperties::kMaxSide) __builtin_trap();
  }
  kestrum::host::ResultSink sink;
  properties.SaveResults(&sink);
  return 0;
}
