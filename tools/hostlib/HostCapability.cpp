#include "tools/hostlib/HostCapability.h"

#include <chrono>
#include <cstdio>

namespace kestrum {
namespace host {

namespace {
int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}
std::string Text(const char* text) { return text != nullptr ? text : "(null)"; }
}  // namespace

void QueryClient::OnQueryCompleted() {
  std::lock_guard<std::mutex> lock(mutex_);
  outcome_ = Outcome::Completed;
  ++callbacks_;
  changed_.notify_all();
}

void QueryClient::OnQueryFailed(uint32_t code, const char* message) {
  std::lock_guard<std::mutex> lock(mutex_);
  outcome_ = Outcome::Failed;
  code_ = code;
  message_ = Text(message);
  ++callbacks_;
  changed_.notify_all();
}

void QueryClient::OnQueryKilled() {
  std::lock_guard<std::mutex> lock(mutex_);
  outcome_ = Outcome::Killed;
  ++callbacks_;
  changed_.notify_all();
}

QueryClient::Outcome QueryClient::Wait(uint32_t ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return outcome_ != Outcome::Pending; });
  return outcome_;
}

uint32_t QueryClient::Code() {
  std::lock_guard<std::mutex> lock(mutex_);
  return code_;
}

std::string QueryClient::Message() {
  std::lock_guard<std::mutex> lock(mutex_);
  return message_;
}

int QueryClient::Callbacks() {
  std::lock_guard<std::mutex> lock(mutex_);
  return callbacks_;
}

// The entry objects the sink hands out; each records into the sink.
class ResultSink::Entry final : public ipcapture::ICapabilityTextEntry {
 public:
  KESTRUM_DESTRUCTOR_SLOT(Entry)
  Entry(ResultSink& sink, uint32_t index) : sink_(sink), index_(index) {}
  void SetValue(const char* value) override {
    sink_.Record("SetValue(" + std::to_string(index_) + "," + Text(value) + ")");
    std::lock_guard<std::mutex> lock(sink_.mutex_);
    sink_.connection_[index_] = Text(value);
  }

 private:
  ResultSink& sink_;
  uint32_t index_;
};

class ResultSink::Property final : public ipcapture::ICapabilityProperty {
 public:
  KESTRUM_DESTRUCTOR_SLOT(Property)
  Property(ResultSink& sink, size_t position) : sink_(sink), position_(position) {}
  void SetValue(const char* value) override {
    sink_.Record("Property.SetValue(" + Text(value) + ")");
    std::lock_guard<std::mutex> lock(sink_.mutex_);
    sink_.properties_[position_].value = Text(value);
  }
  void SetIsText(bool isText) override {
    sink_.Record(std::string("Property.SetIsText(") + (isText ? "1" : "0") + ")");
    std::lock_guard<std::mutex> lock(sink_.mutex_);
    sink_.properties_[position_].isText = isText;
  }
  void SetName(const char* name) override {
    sink_.Record("Property.SetName(" + Text(name) + ")");
    std::lock_guard<std::mutex> lock(sink_.mutex_);
    sink_.properties_[position_].name = Text(name);
  }
  void SetAttribute(uint32_t value) override {
    sink_.Record("Property.SetAttribute(" + std::to_string(value) + ")");
    std::lock_guard<std::mutex> lock(sink_.mutex_);
    sink_.properties_[position_].attribute = value;
  }

 private:
  ResultSink& sink_;
  size_t position_;
};

class ResultSink::ResolutionList final : public ipcapture::ICapabilityResolutionList {
 public:
  KESTRUM_DESTRUCTOR_SLOT(ResolutionList)
  explicit ResolutionList(ResultSink& sink) : sink_(sink) {}
  void AddResolution(const char* name, uint32_t width, uint32_t height, uint32_t interval) override {
    sink_.Record("AddResolution(" + Text(name) + "," + std::to_string(width) + "," + std::to_string(height) + "," +
                 std::to_string(interval) + ")");
    std::lock_guard<std::mutex> lock(sink_.mutex_);
    sink_.resolutions_.push_back({Text(name), width, height, interval});
  }

 private:
  ResultSink& sink_;
};

class ResultSink::FrameRateList final : public ipcapture::ICapabilityFrameRateList {
 public:
  KESTRUM_DESTRUCTOR_SLOT(FrameRateList)
  explicit FrameRateList(ResultSink& sink) : sink_(sink) {}
  void SetDefaultFrameRate(uint32_t interval) override {
    sink_.Record("SetDefaultFrameRate(" + std::to_string(interval) + ")");
    std::lock_guard<std::mutex> lock(sink_.mutex_);
    sink_.defaultInterval_ = interval;
  }
  void AddFrameRate(uint32_t interval) override {
    sink_.Record("AddFrameRate(" + std::to_string(interval) + ")");
    std::lock_guard<std::mutex> lock(sink_.mutex_);
    sink_.frameIntervals_.push_back(interval);
  }

 private:
  ResultSink& sink_;
};

ResultSink::ResultSink() = default;
ResultSink::~ResultSink() = default;

void ResultSink::Record(const std::string& call) {
  std::lock_guard<std::mutex> lock(mutex_);
  calls_.push_back(call);
}

void ResultSink::SetCapability(uint32_t id, uint32_t value) {
  Record("SetCapability(" + std::to_string(id) + "," + std::to_string(value) + ")");
  std::lock_guard<std::mutex> lock(mutex_);
  capabilities_[id] = value;
}

void ResultSink::SetModelName(const char* name) {
  Record("SetModelName(" + Text(name) + ")");
  std::lock_guard<std::mutex> lock(mutex_);
  modelName_ = Text(name);
}

ipcapture::ICapabilityTextEntry* ResultSink::GetConnectionValue(uint32_t index) {
  Record("GetConnectionValue(" + std::to_string(index) + ")");
  std::lock_guard<std::mutex> lock(mutex_);
  entries_.push_back(std::make_unique<Entry>(*this, index));
  return entries_.back().get();
}

ipcapture::ICapabilityProperty* ResultSink::AddProperty(int index) {
  Record("AddProperty(" + std::to_string(index) + ")");
  std::lock_guard<std::mutex> lock(mutex_);
  PropertyValue value;
  value.index = index;
  properties_.push_back(value);
  propertyObjects_.push_back(std::make_unique<Property>(*this, properties_.size() - 1));
  return propertyObjects_.back().get();
}

ipcapture::ICapabilityResolutionList* ResultSink::GetResolutionList() {
  Record("GetResolutionList()");
  std::lock_guard<std::mutex> lock(mutex_);
  if (!resolutionList_) resolutionList_ = std::make_unique<ResolutionList>(*this);
  return resolutionList_.get();
}

ipcapture::ICapabilityFrameRateList* ResultSink::GetFrameRateList(uint32_t kind) {
  Record("GetFrameRateList(" + std::to_string(kind) + ")");
  std::lock_guard<std::mutex> lock(mutex_);
  if (!frameRateList_) frameRateList_ = std::make_unique<FrameRateList>(*this);
  return frameRateList_.get();
}

std::vector<std::string> ResultSink::Calls() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return calls_;
}
std::string ResultSink::ModelName() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return modelName_;
}
std::map<uint32_t, uint32_t> ResultSink::Capabilities() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return capabilities_;
}
std::map<uint32_t, std::string> ResultSink::ConnectionValues() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return connection_;
}
std::vector<PropertyValue> ResultSink::Properties() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return properties_;
}
std::vector<ResolutionValue> ResultSink::Resolutions() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return resolutions_;
}
std::vector<uint32_t> ResultSink::FrameIntervals() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return frameIntervals_;
}
uint32_t ResultSink::DefaultFrameInterval() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return defaultInterval_;
}

IOEventLog::IOEventLog(FILE* out) : out_(out), startMs_(NowMs()) {}

void IOEventLog::Add(const Event& event) {
  std::lock_guard<std::mutex> lock(mutex_);
  events_.push_back(event);
  if (out_ != nullptr) {
    if (event.reset) {
      std::fprintf(out_, "%8.3f s  I/O states reset\n", event.timeMs / 1000.0);
    } else {
      std::fprintf(out_, "%8.3f s  input %u -> state %u\n", event.timeMs / 1000.0, event.input, event.state);
    }
    std::fflush(out_);
  }
  changed_.notify_all();
}

void IOEventLog::OnInputStateChanged(uint32_t inputIndex, uint32_t state) {
  Add({false, inputIndex, state, NowMs() - startMs_});
}

void IOEventLog::OnIOStatesReset() { Add({true, 0, 0, NowMs() - startMs_}); }

std::vector<IOEventLog::Event> IOEventLog::Events() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return events_;
}

bool IOEventLog::WaitForEvents(size_t count, uint32_t ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return events_.size() >= count; });
}

}  // namespace host
}  // namespace kestrum
