// The capability query exports, with their process-wide module.
#include <mutex>
#include <new>

#include "capability/QuellonCapabilityQueryModule.h"
#include "driver/ExportMacro.h"
#include "driver/host_interfaces.h"


using kestrum::ipcapture::ICapabilityQueryClient;
using kestrum::ipcapture::ICapabilityResultSink;
using kestrum::ipcapture::IIPCapabilityQuery;

namespace {

// The module of InitCapabilityQuery ... UninitCapabilityQuery. The exports
// may be called from any thread, so the slot is guarded.
std::mutex g_slotMutex;
IIPCapabilityQuery* g_module = nullptr;

IIPCapabilityQuery* CreateModule(ICapabilityQueryClient* client, uint32_t videoStandard) {
  try {
    return new (std::nothrow) kestrum::CQuellonCapabilityQueryModule(client, videoStandard);
  } catch (...) {
    return nullptr;
  }
}

}  // namespace

KESTRUM_EXPORT IIPCapabilityQuery* CreateCapabilityQueryModule(ICapabilityQueryClient* client,
                                                               uint32_t videoStandard) {
  return CreateModule(client, videoStandard);
}

KESTRUM_EXPORT void DeleteCapabilityQueryModule(IIPCapabilityQuery* module) {
  try {
    kestrum::ipcapture::DestroyThroughInterface(module);
  } catch (...) {
  }
}

KESTRUM_EXPORT int InitCapabilityQuery(ICapabilityQueryClient* client, uint32_t videoStandard) {
  std::lock_guard<std::mutex> lock(g_slotMutex);
  if (g_module != nullptr) return 0;
  g_module = CreateModule(client, videoStandard);
  return 1;
}

KESTRUM_EXPORT int StartCapabilityQuery(const char* address, uint32_t port, const char* userName,
                                        const char* password, ICapabilityResultSink* sink) {
  std::lock_guard<std::mutex> lock(g_slotMutex);
  if (address == nullptr || userName == nullptr || password == nullptr || g_module == nullptr) return 0;
  try {
    return g_module->Start(address, static_cast<uint16_t>(port & 0xFFFF), userName, password, sink) ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

KESTRUM_EXPORT int TerminateCapabilityQuery() {
  std::lock_guard<std::mutex> lock(g_slotMutex);
  if (g_module != nullptr) {
    try {
      g_module->Terminate();
    } catch (...) {
    }
  }
  return 1;
}

KESTRUM_EXPORT int UninitCapabilityQuery() {
  IIPCapabilityQuery* module = nullptr;
  {
    std::lock_guard<std::mutex> lock(g_slotMutex);
    module = g_module;
    g_module = nullptr;
  }
  try {
    // Outside the lock: it may wait for the query thread.
    kestrum::ipcapture::DestroyThroughInterface(module);
  } catch (...) {
  }
  return 1;
}
