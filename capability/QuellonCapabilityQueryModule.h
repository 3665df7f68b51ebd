// The capability query module of the Quellon camera family.
#pragma once

#include "capability/CapabilityQueryModule.h"

namespace kestrum {

class CQuellonCapabilityQueryModule : public CCapabilityQueryModule {
 public:
  CQuellonCapabilityQueryModule(ipcapture::ICapabilityQueryClient* client, uint32_t videoStandard)
      : CCapabilityQueryModule(client, videoStandard) {}
  ~CQuellonCapabilityQueryModule() override { Shutdown(); }

 protected:
  CBaseCameraProperties* CreateCameraProperties() override;
};

}  // namespace kestrum
