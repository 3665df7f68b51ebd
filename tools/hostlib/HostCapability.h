// Host objects of a capability query: a client that waits for the outcome,
// and a result sink that keeps everything it is given, calls in order.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "driver/host_interfaces.h"

namespace kestrum {
namespace host {

class QueryClient final : public ipcapture::ICapabilityQueryClient {
 public:
  KESTRUM_DESTRUCTOR_SLOT(QueryClient)
  enum class Outcome { Pending, Completed, Failed, Killed };

  void OnQueryCompleted() override;
  void OnQueryFailed(uint32_t code, const char* message) override;
  void OnQueryKilled() override;

  // Waits up to ms for the outcome; Pending on time-out.
  Outcome Wait(uint32_t ms);
  uint32_t Code();
  std::string Message();
  int Callbacks();

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  Outcome outcome_ = Outcome::Pending;
  uint32_t code_ = 0;
  std::string message_;
  int callbacks_ = 0;
};

struct PropertyValue {
  int index = 0;
  std::string name;
  std::string value;
  bool isText = false;
  uint32_t attribute = 0xFFFFFFFFu;
};

struct ResolutionValue {
  std::string name;
  uint32_t width;
  uint32_t height;
  uint32_t frameInterval;
};

class ResultSink final : public ipcapture::ICapabilityResultSink {
 public:
  KESTRUM_DESTRUCTOR_SLOT(ResultSink)
  ResultSink();
  ~ResultSink();  // where the parts' classes are complete
  void SetCapability(uint32_t id, uint32_t value) override;
  void SetModelName(const char* name) override;
  ipcapture::ICapabilityTextEntry* GetConnectionValue(uint32_t index) override;
  ipcapture::ICapabilityProperty* AddProperty(int index) override;
  ipcapture::ICapabilityResolutionList* GetResolutionList() override;
  ipcapture::ICapabilityFrameRateList* GetFrameRateList(uint32_t kind) override;

  // Every call in order, as text ("SetCapability(7,1)", "AddResolution(...)").
  std::vector<std::string> Calls() const;
  std::string ModelName() const;
  std::map<uint32_t, uint32_t> Capabilities() const;
  std::map<uint32_t, std::string> ConnectionValues() const;
  std::vector<PropertyValue> Properties() const;
  std::vector<ResolutionValue> Resolutions() const;
  std::vector<uint32_t> FrameIntervals() const;
  uint32_t DefaultFrameInterval() const;

 private:
  class Entry;
  class Property;
  class ResolutionList;
  class FrameRateList;
  void Record(const std::string& call);

  mutable std::mutex mutex_;
  std::vector<std::string> calls_;
  std::string modelName_;
  std::map<uint32_t, uint32_t> capabilities_;
  std::map<uint32_t, std::string> connection_;
  std::vector<PropertyValue> properties_;
  std::vector<ResolutionValue> resolutions_;
  std::vector<uint32_t> frameIntervals_;
  uint32_t defaultInterval_ = 0;
  std::vector<std::unique_ptr<Entry>> entries_;
  std::vector<std::unique_ptr<Property>> propertyObjects_;
  std::unique_ptr<ResolutionList> resolutionList_;
  std::unique_ptr<FrameRateList> frameRateList_;
};

// Records the events of a device's digital I/O with their times.
class IOEventLog final : public ICaptureIOCallback {
 public:
  KESTRUM_DESTRUCTOR_SLOT(IOEventLog)
  struct Event {
    bool reset;  // OnIOStatesReset; otherwise an input change
    uint32_t input;
    uint32_t state;
    int64_t timeMs;  // since the log was made
  };
  // Prints each event as it happens when out is given.
  explicit IOEventLog(FILE* out = nullptr);

  void OnInputStateChanged(uint32_t inputIndex, uint32_t state) override;
  void OnIOStatesReset() override;

  std::vector<Event> Events() const;
  bool WaitForEvents(size_t count, uint32_t ms);

 private:
  void Add(const Event& event);

  FILE* out_;
  int64_t startMs_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Event> events_;
};

}  // namespace host
}  // namespace kestrum
