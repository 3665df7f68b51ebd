#include "capability/QuellonCapabilityQueryModule.h"

#include <new>

#include "capability/QuellonCameraProperties.h"

namespace kestrum {

CBaseCameraProperties* CQuellonCapabilityQueryModule::CreateCameraProperties() {
  return new (std::nothrow) CQuellonCameraProperties(device_, videoStandard_);
}

}  // namespace kestrum
