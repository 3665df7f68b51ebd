#include "tools/hostlib/HostSettings.h"

namespace kestrum {
namespace host {

const char* HostDeviceSettings::GetParameter(uint32_t index) {
  auto entry = values_.parameters.find(index);
  return entry == values_.parameters.end() ? nullptr : entry->second.c_str();
}

}  // namespace host
}  // namespace kestrum
