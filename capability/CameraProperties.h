// What one camera can do, and how it is handed to the host's result object.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "driver/DeviceInfo.h"
#include "driver/host_interfaces.h"
#include "foundation/Event.h"

namespace kestrum {

struct CAMERA_RESOLUTION {
  uint16_t Width = 0;
  uint16_t Height = 0;
  uint32_t FrameInterval = 0;  // ms; 0 = no rate known
};

class CBaseCameraProperties {
 public:
  // Slot order: Interrupt, FillFrameRates, FillProperties, destructor,
  // QueryProperties, GetLastErrorText.
  virtual void Interrupt() {}
  virtual bool FillFrameRates(ipcapture::ICapabilityFrameRateList* list);
  virtual bool FillProperties(ipcapture::ICapabilityResultSink* sink) = 0;
  virtual ~CBaseCameraProperties() = default;
  // Asks the camera; on failure code says why (1 login refused, 3 other).
  virtual bool QueryProperties(int* code) = 0;
  virtual std::string GetLastErrorText() { return std::string(); }

  CBaseCameraProperties(const DEVICE_INFO& device, uint32_t videoStandard);
  CBaseCameraProperties(const CBaseCameraProperties&) = delete;
  CBaseCameraProperties& operator=(const CBaseCameraProperties&) = delete;

  // Writes everything into the host's result object; false at the first
  // step that fails.
  bool SaveResults(ipcapture::ICapabilityResultSink* sink);

  CManualEvent& StopEvent() { return stopEvent_; }

  // Read access for tests and tools.
  const std::string& Vendor() const { return vendor_; }
  const std::string& Model() const { return model_; }
  const std::string& Firmware() const { return firmware_; }
  const std::set<uint32_t>& StreamKinds() const { return streamKinds_; }
  const std::vector<CAMERA_RESOLUTION>& Resolutions() const { return resolutions_; }
  const std::set<uint32_t>& FrameRates() const { return frameRates_; }
  uint32_t LowestRate() const { return lowestRate_; }
  uint32_t ExternalInputs() const { return externalInputs_; }
  uint32_t Relays() const { return relays_; }
  uint32_t VideoInputs() const { return videoInputs_; }

 protected:
  bool StopRequested() { return stopEvent_.Wait(0); }
  // Adds (or improves) the entry for width x height at rate (frames per second).
  void AddResolution(uint32_t width, uint32_t height, uint32_t rate);
  // Adds a property when index > 0 and the name is not empty.
  static void AddProperty(ipcapture::ICapabilityResultSink* sink, int index, const std::string& name,
                          const std::string& value, bool isText);
  uint32_t DefaultRate() const;

  std::string vendor_;
  std::string model_;
  CAudioCapabilities audioInput_;
  CAudioCapabilities audioOutput_;
  uint32_t extraFeatureKind_ = 0;
  uint32_t extraFeatureCount_ = 0;
  uint8_t featureFlags_[4] = {0, 0, 0, 0};
  DEVICE_INFO device_;
  CManualEvent stopEvent_;
  std::string firmware_;
  uint32_t videoStandard_;
  uint32_t externalInputs_ = 0;
  uint32_t relays_ = 0;
  uint32_t videoInputs_ = 0;
  std::set<uint32_t> streamKinds_;
  std::vector<CAMERA_RESOLUTION> resolutions_;
  std::set<uint32_t> frameRates_;
  uint32_t lowestRate_ = 0;
};

}  // namespace kestrum
