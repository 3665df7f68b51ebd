// The host's result sink behind a gate: once the gate is closed (the query
// module was deleted) nothing reaches the host's object, and what the sink
// hands out is null, which every step of the saving takes as the end.
#pragma once

#include <atomic>

#include "driver/host_interfaces.h"
#include "foundation/RecursiveLock.h"

namespace kestrum {

class CGatedResultSink final : public ipcapture::ICapabilityResultSink {
 public:
  KESTRUM_DESTRUCTOR_SLOT(CGatedResultSink)
  CGatedResultSink(ipcapture::ICapabilityResultSink* sink, const std::atomic<bool>& open) : sink_(sink), open_(open) {}

  void SetCapability(uint32_t id, uint32_t value) override {
    if (Open()) sink_->SetCapability(id, value);
  }
  void SetModelName(const char* name) override {
    if (Open()) sink_->SetModelName(name);
  }
  ipcapture::ICapabilityTextEntry* GetConnectionValue(uint32_t index) override {
    return Open() ? sink_->GetConnectionValue(index) : nullptr;
  }
  ipcapture::ICapabilityProperty* AddProperty(int index) override {
    return Open() ? sink_->AddProperty(index) : nullptr;
  }
  ipcapture::ICapabilityResolutionList* GetResolutionList() override {
    return Open() ? sink_->GetResolutionList() : nullptr;
  }
  ipcapture::ICapabilityFrameRateList* GetFrameRateList(uint32_t kind) override {
    return Open() ? sink_->GetFrameRateList(kind) : nullptr;
  }

 private:
  bool Open() const {
    if (!open_.load()) return false;
    CheckHostCall("the capability result sink");
    return true;
  }

  ipcapture::ICapabilityResultSink* sink_;
  const std::atomic<bool>& open_;
};

}  // namespace kestrum
