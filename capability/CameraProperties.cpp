#include "capability/CameraProperties.h"

#include "foundation/TextUtils.h"

namespace kestrum {

CBaseCameraProperties::CBaseCameraProperties(const DEVICE_INFO& device, uint32_t videoStandard)
    : device_(device), videoStandard_(videoStandard) {}

void CBaseCameraProperties::AddResolution(uint32_t width, uint32_t height, uint32_t rate) {
  CAMERA_RESOLUTION entry;
  entry.Width = static_cast<uint16_t>(width);
  entry.Height = static_cast<uint16_t>(height);
  entry.FrameInterval = rate == 0 ? 0 : RateToInterval(rate);
  if (entry.Width == 0 || entry.Height == 0) return;
  for (CAMERA_RESOLUTION& existing : resolutions_) {
    if (existing.Width == entry.Width && existing.Height == entry.Height) {
      // The highest rate (shortest interval) wins.
      if (entry.FrameInterval != 0 && (existing.FrameInterval == 0 || entry.FrameInterval < existing.FrameInterval)) {
        existing.FrameInterval = entry.FrameInterval;
      }
      return;
    }
  }
  resolutions_.push_back(entry);
}

void CBaseCameraProperties::AddProperty(ipcapture::ICapabilityResultSink* sink, int index, const std::string& name,
                                        const std::string& value, bool isText) {
  if (index <= 0 || name.empty()) return;
  ipcapture::ICapabilityProperty* property = sink->AddProperty(index);
  if (property == nullptr) return;
  property->SetName(name.c_str());
  property->SetAttribute(0);
  property->SetIsText(isText);
  property->SetValue(value.empty() ? "(none)" : value.c_str());
}

uint32_t CBaseCameraProperties::DefaultRate() const {
  if (!frameRates_.empty()) return *frameRates_.rbegin();
  return videoStandard_ != 0 ? 30 : 25;
}

bool CBaseCameraProperties::FillFrameRates(ipcapture::ICapabilityFrameRateList* list) {
  if (list == nullptr || frameRates_.empty()) return false;
  for (uint32_t rate : frameRates_) {
    if (rate != 0) list->AddFrameRate(RateToInterval(rate));
  }
  const uint32_t wanted = lowestRate_ != 0 ? lowestRate_ : *frameRates_.rbegin() / 2;
  auto chosen = frameRates_.lower_bound(wanted);
  if (chosen != frameRates_.end() && *chosen != 0) list->SetDefaultFrameRate(RateToInterval(*chosen));
  return true;
}

bool CBaseCameraProperties::SaveResults(ipcapture::ICapabilityResultSink* sink) {
  if (sink == nullptr || model_.empty()) return false;
  const std::string name = vendor_.empty() ? model_ : vendor_ + " " + model_;
  sink->SetModelName(name.c_str());

  const std::string connection[4] = {device_.Address, FormatString("%hu", device_.Port), device_.UserName,
                                     device_.Password};
  for (uint32_t index = 1; index <= 4; ++index) {
    if (ipcapture::ICapabilityTextEntry* entry = sink->GetConnectionValue(index)) {
      entry->SetValue(connection[index - 1].c_str());
    }
  }

  for (uint32_t kind : streamKinds_) {
    if (kind == 1) sink->SetCapability(8, 1);
    if (kind == 2) sink->SetCapability(6, 1);
    if (kind == 3) sink->SetCapability(7, 1);
  }
  if (streamKinds_.empty() || videoInputs_ == 0) return false;
  sink->SetCapability(0, videoInputs_);

  if (resolutions_.empty()) return false;
  ipcapture::ICapabilityResolutionList* list = sink->GetResolutionList();
  if (list == nullptr) return false;
  for (const CAMERA_RESOLUTION& r : resolutions_) {
    const uint32_t interval = r.FrameInterval != 0 ? r.FrameInterval : RateToInterval(DefaultRate());
    list->AddResolution(FormatString("%ux%u", r.Width, r.Height).c_str(), r.Width, r.Height, interval);
  }

  if (!FillFrameRates(sink->GetFrameRateList(1))) return false;

  if (featureFlags_[0] != 0) sink->SetCapability(1, 1);
  if (featureFlags_[1] != 0) sink->SetCapability(5, 1);
  sink->SetCapability(11, featureFlags_[2] != 0 ? 1 : 0);
  sink->SetCapability(12, featureFlags_[3] != 0 ? 1 : 0);
  if (externalInputs_ != 0) sink->SetCapability(2, externalInputs_);
  if (relays_ != 0) sink->SetCapability(3, relays_);
  if (extraFeatureCount_ != 0 && extraFeatureKind_ == 1) {
    sink->SetCapability(13, extraFeatureCount_);
    sink->SetCapability(14, 1);
    sink->SetCapability(17, 0);
  }
  if (extraFeatureCount_ != 0 && extraFeatureKind_ == 2) {
    sink->SetCapability(13, extraFeatureCount_);
    sink->SetCapability(15, 1);
    sink->SetCapability(17, 0);
  }
  if (audioInput_.Count != 0) {
    sink->SetCapability(4, audioInput_.Count);
    AddProperty(sink, 101, "Audio Input Parameters", audioInput_.ToString(), true);
  }
  if (audioOutput_.Count != 0) AddProperty(sink, 102, "Audio Output Parameters", audioOutput_.ToString(), true);

  return FillProperties(sink);
}

}  // namespace kestrum
