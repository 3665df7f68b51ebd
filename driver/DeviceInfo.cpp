#include "driver/DeviceInfo.h"

#include "foundation/TextUtils.h"

namespace kestrum {

std::string CAudioCapabilities::ToString() const {
  return FormatString("Count=%u; IsStereo=%u", Count, IsStereo ? 1u : 0u);
}

}  // namespace kestrum
