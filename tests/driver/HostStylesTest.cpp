// Hosts as they are written: one lock around their calls that their callbacks
// also take, calls into the driver from inside a callback (the frame sink, the
// log receiver), a sink that blocks, an allocator that gives nothing. Each
// style runs against a Motion JPEG camera and an H.264 camera in each RTP
// mode, through the library as a host loads it. Judged by: every call within
// its bound, no sink called after its StopChannel returned, no receiver or
// allocator called after Close or delete returned, and the driver recording
// again afterwards.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/DynamicLibrary.h"
#include "tests/support/TestUtil.h"
#include "tools/camera-sim/Simulator.h"
#include "tools/hostlib/HostFrames.h"
#include "tools/hostlib/HostSettings.h"

using namespace kestrum;
using namespace kestrum::host;
using kestrum::testing::WaitUntil;
using Clock = std::chrono::steady_clock;

namespace {

// Twice the ConnectTimeout (5000 ms) the driver sets at Open, and a little
// for the rest of the stop.
constexpr int64_t kStopBoundMs = 11000;
constexpr const char* kKinds[] = {"mjpeg", "h264-rtpoverudp", "h264-rtpovertcp", "h264-rtpoverrtsp"};

int64_t MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// What a host's callbacks found wrong, and the longest of its calls.
struct Verdict {
  std::mutex mutex;
  std::vector<std::string> faults;
  int64_t longestCallMs = 0;
  void Fault(const std::string& what) {
    std::lock_guard<std::mutex> lock(mutex);
    if (faults.size() < 20) faults.push_back(what);
  }
  void Timed(const char* call, int64_t ms) {
    std::lock_guard<std::mutex> lock(mutex);
    if (ms > longestCallMs) longestCallMs = ms;
    if (ms > kStopBoundMs) faults.push_back(std::string(call) + " took " + std::to_string(ms) + " ms");
  }
};

// The host's own lock: recursive, taken around every call into the driver
// and inside its callbacks when the style says so.
class HostLock {
 public:
  explicit HostLock(bool used) : used_(used) {}
  void Lock() {
    if (used_) mutex_.lock();
  }
  void Unlock() {
    if (used_) mutex_.unlock();
  }

 private:
  bool used_;
  std::recursive_mutex mutex_;
};

class Locked {
 public:
  explicit Locked(HostLock& lock) : lock_(lock) { lock_.Lock(); }
  ~Locked() { lock_.Unlock(); }

 private:
  HostLock& lock_;
};

// What a test does inside a callback: set by the test's thread while the
// library's threads call it, so it is handed over under a lock and called
// outside it.
template <class Signature>
class Hook {
 public:
  Hook& operator=(std::function<Signature> action) {
    std::lock_guard<std::mutex> lock(mutex_);
    action_ = std::move(action);
    return *this;
  }
  std::function<Signature> Get() {
    std::lock_guard<std::mutex> lock(mutex_);
    return action_;
  }

 private:
  std::mutex mutex_;
  std::function<Signature> action_;
};

// Counts the library's threads inside one host object. The object's owner
// waits for none to be left before it goes: a thread the library left to end
// by itself may still be returning from the callback it was in.
class InsideCount {
 public:
  class Scope {
   public:
    explicit Scope(InsideCount& count) : count_(count) { count_.inside_.fetch_add(1); }
    ~Scope() { count_.inside_.fetch_sub(1, std::memory_order_release); }

   private:
    InsideCount& count_;
  };
  ~InsideCount() {
    const auto start = std::chrono::steady_clock::now();
    while (inside_.load(std::memory_order_acquire) != 0 &&
           std::chrono::steady_clock::now() - start < std::chrono::seconds(15)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }

 private:
  std::atomic<int> inside_{0};
};

// A frame sink that must not be called once its StopChannel has returned;
// it stays alive to the end of the test, so a late call is counted, not a crash.
class StyleSink final : public ipcapture::IHostFrameSink {
 public:
  KESTRUM_DESTRUCTOR_SLOT(StyleSink)
  StyleSink(HostLock& lock, Verdict& verdict) : lock_(lock), verdict_(verdict) {}
  bool ReceiveFrame(ipcapture::IHostFrame*) override {
    InsideCount::Scope inside(inside_);
    if (ended_.load()) verdict_.Fault("a frame reached a sink after its StopChannel returned");
    entering = true;
    Locked held(lock_);
    const uint64_t n = ++frames_;
    if (auto action = onFrame.Get()) action(n);
    return true;
  }
  void NotifySignalLost() override {
    InsideCount::Scope inside(inside_);
    if (ended_.load()) verdict_.Fault("a signal loss reached a sink after its StopChannel returned");
    Locked held(lock_);
    ++losses_;
    if (auto action = onSignalLost.Get()) action();
  }
  void End() { ended_ = true; }
  uint64_t Frames() const { return frames_.load(); }
  uint64_t Losses() const { return losses_.load(); }
  Hook<void(uint64_t)> onFrame;
  Hook<void()> onSignalLost;
  // Set as a call begins, before it waits for the host's lock.
  std::atomic<bool> entering{false};

 private:
  HostLock& lock_;
  Verdict& verdict_;
  std::atomic<bool> ended_{false};
  std::atomic<uint64_t> frames_{0};
  std::atomic<uint64_t> losses_{0};
  InsideCount inside_;  // last: waited for before the rest goes
};

class StyleReceiver final : public ipcapture::IDebugInfoReceiver {
 public:
  KESTRUM_DESTRUCTOR_SLOT(StyleReceiver)
  StyleReceiver(HostLock& lock, Verdict& verdict) : lock_(lock), verdict_(verdict) {}
  void AddDebugInfo(CDebugInfoIf* info) override {
    InsideCount::Scope inside(inside_);
    if (ended_.load()) verdict_.Fault("the log receiver was called after Close or delete returned");
    if (info == nullptr || info->GetText() == nullptr) return;
    const std::string text = info->GetText();
    Locked held(lock_);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      lines_.push_back(text);
    }
    if (auto action = onLine.Get()) action(text);
  }
  bool Saw(const std::string& fragment) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const std::string& line : lines_) {
      if (line.find(fragment) != std::string::npos) return true;
    }
    return false;
  }
  void End() { ended_ = true; }
  void Begin() { ended_ = false; }
  Hook<void(const std::string&)> onLine;

 private:
  HostLock& lock_;
  Verdict& verdict_;
  std::atomic<bool> ended_{false};
  std::mutex mutex_;
  std::vector<std::string> lines_;
  InsideCount inside_;  // last: waited for before the rest goes
};

// The heap allocator, refusing every third frame when told, and watching
// that nothing is asked of it once its driver was closed. A frame the driver
// held when the host closed it from inside a callback is given up, not
// released late; the heap allocator takes such frames back at its end.
class StyleAllocator final : public ipcapture::IHostFrameAllocator {
 public:
  KESTRUM_DESTRUCTOR_SLOT(StyleAllocator)
  explicit StyleAllocator(Verdict& verdict) : verdict_(verdict) {}
  ipcapture::IHostFrame* CreateFrame(uint32_t fourCC, uint32_t size, const char* source) override {
    if (ended_.load()) verdict_.Fault("the allocator was asked for a frame after Close or delete returned");
    if (refuseEveryThird && ++asked_ % 3 == 0) return nullptr;
    return heap_.CreateFrame(fourCC, size, source);
  }
  void ReleaseFrame(ipcapture::IHostFrame* frame) override {
    if (ended_.load()) verdict_.Fault("a frame was released after Close or delete returned");
    heap_.ReleaseFrame(frame);
  }
  void End() { ended_ = true; }
  void Begin() { ended_ = false; }
  std::atomic<bool> refuseEveryThird{false};

 private:
  Verdict& verdict_;
  HeapFrameAllocator heap_;
  std::atomic<bool> ended_{false};
  std::atomic<uint64_t> asked_{0};
};

// The I/O callback: not to be called once StopIO, Close or delete returned.
class StyleIOCallback final : public ICaptureIOCallback {
 public:
  KESTRUM_DESTRUCTOR_SLOT(StyleIOCallback)
  StyleIOCallback(HostLock& lock, Verdict& verdict) : lock_(lock), verdict_(verdict) {}
  void OnInputStateChanged(uint32_t, uint32_t) override { Called(); }
  void OnIOStatesReset() override { Called(); }
  void End() { ended_ = true; }
  void Begin() { ended_ = false; }
  uint64_t Calls() const { return calls_.load(); }
  Hook<void()> onCall;
  std::atomic<bool> entering{false};

 private:
  void Called() {
    InsideCount::Scope inside(inside_);
    if (ended_.load()) verdict_.Fault("the I/O callback was called after its StopIO, Close or delete returned");
    entering = true;
    Locked held(lock_);
    ++calls_;
    if (auto action = onCall.Get()) action();
  }
  HostLock& lock_;
  Verdict& verdict_;
  std::atomic<bool> ended_{true};
  std::atomic<uint64_t> calls_{0};
  InsideCount inside_;  // last: waited for before the rest goes
};

class HostStyles : public ::testing::TestWithParam<int> {
 protected:
  static void SetUpTestSuite() {
    sim::SimOptions options;
    options.cameras = 4;
    options.inputs = 2;
    options.relays = 1;
    // Against the driver's 2-second poll: a change seen every few seconds.
    options.toggleInputsSeconds = 3;
    sim_ = new sim::Simulator(options);
    std::string error;
    ASSERT_TRUE(sim_->Start(error)) << error;
    std::ofstream file(std::string(STYLES_HOST_DIRECTORY) + "/QuellonIPCapture.xml");
    file << "<Configuration>\n";
    for (int camera = 1; camera < 4; ++camera) {
      file << "  <Device address=\"127.0.0.1\" port=\"" << sim_->HttpPort(camera) << "\"><RTPMode>"
           << std::string(kKinds[camera]).substr(5) << "</RTPMode></Device>\n";
    }
    file << "</Configuration>\n";
  }
  static void TearDownTestSuite() {
    if (sim_ != nullptr) sim_->Stop();
    delete sim_;
    sim_ = nullptr;
  }

  void SetUp() override {
    ASSERT_NE(nullptr, sim_);
    ASSERT_TRUE(library_.Open(QUELLON_LIBRARY_PATH)) << QUELLON_LIBRARY_PATH;
    create_ = reinterpret_cast<CreateIPCaptureFn>(library_.Symbol("CreateIPCapture"));
    delete_ = reinterpret_cast<DeleteIPCaptureFn>(library_.Symbol("DeleteIPCapture"));
    ASSERT_TRUE(create_ != nullptr && delete_ != nullptr);
  }

  void TearDown() override {
    if (driver_ != nullptr) Delete();
    for (const std::string& fault : verdict_.faults) ADD_FAILURE() << fault;
    std::printf("[ longest host call %lld ms ]\n", static_cast<long long>(verdict_.longestCallMs));
  }

  DeviceValues Values() {
    const int camera = GetParam();
    DeviceValues values;
    values.address = "127.0.0.1";
    values.port = sim_->HttpPort(camera);
    values.userName = "admin";
    values.password = "admin";
    values.streamKind = camera == 0 ? 1 : 3;
    values.modelName = "Q-styles";
    values.channelCount = channelCount_;
    values.inputCount = withIO_ ? 2 : 0;
    values.outputCount = withIO_ ? 1 : 0;
    std::string resolutions;
    for (const auto& r : sim::DefaultResolutions()) {
      resolutions += (resolutions.empty() ? "" : ";") + std::to_string(r.width) + "x" + std::to_string(r.height);
    }
    values.parameters = {{1, "(none)"}, {2, "2.4.1"}, {3, std::to_string(sim_->RtspPort(camera))}, {4, resolutions}};
    return values;
  }

  // Creates and opens a driver whose host objects are this test's.
  void CreateAndOpen() {
    settings_ = std::make_unique<HostDeviceSettings>(Values());
    driver_ = create_();
    ASSERT_NE(nullptr, driver_) << "CreateIPCapture gave no driver";
    receiver_.Begin();
    allocator_.Begin();
    ASSERT_TRUE(Open());
  }
  bool Open() {
    receiver_.Begin();
    allocator_.Begin();
    return driver_->Open(&receiver_, &allocator_, settings_.get());
  }

  ipcapture::IIPVideoCapture* Capture() { return driver_ != nullptr ? driver_->GetVideoCapture() : nullptr; }

  StyleSink* NewSink() {
    sinks_.push_back(std::make_unique<StyleSink>(lock_, verdict_));
    return sinks_.back().get();
  }

  // Starts index 0 with a new sink; the previous one's validity ends here.
  StyleSink* Start(ipcapture::IIPVideoCapture* capture) {
    HostChannelSettings settings(ChannelValues{40, 60, 320, 240, false});
    StyleSink* previous = sink_.exchange(nullptr);
    StyleSink* sink = NewSink();
    const auto start = Clock::now();
    capture->StartChannel(0, sink, &settings);
    verdict_.Timed("StartChannel", MsSince(start));
    if (previous != nullptr) previous->End();
    sink_ = sink;
    return sink;
  }

  bool Stop(ipcapture::IIPVideoCapture* capture) {
    const auto start = Clock::now();
    const bool stopped = capture->StopChannel(0);
    verdict_.Timed("StopChannel", MsSince(start));
    if (StyleSink* sink = sink_.exchange(nullptr)) sink->End();
    return stopped;
  }

  void Close() {
    const auto start = Clock::now();
    driver_->Close();
    verdict_.Timed("Close", MsSince(start));
    EndHostObjects();
  }

  void Delete() {
    const auto start = Clock::now();
    delete_(driver_);
    verdict_.Timed("DeleteIPCapture", MsSince(start));
    driver_ = nullptr;
    EndHostObjects();
  }

  void EndHostObjects() {
    if (StyleSink* sink = sink_.exchange(nullptr)) sink->End();
    receiver_.End();
    allocator_.End();
  }

  // The driver records again with well-behaved host objects, in a new one
  // when the style deleted its own.
  void ExpectRecordingAgain() {
    receiver_.onLine = nullptr;
    if (driver_ == nullptr) CreateAndOpen();
    ipcapture::IIPVideoCapture* capture = Capture();
    ASSERT_NE(nullptr, capture);
    StyleSink* sink = Start(capture);
    EXPECT_TRUE(WaitUntil([&] { return sink->Frames() >= 5; }, 30000)) << "no recording afterwards";
    Stop(capture);
  }

  static sim::Simulator* sim_;
  platform::DynamicLibrary library_;
  CreateIPCaptureFn create_ = nullptr;
  DeleteIPCaptureFn delete_ = nullptr;
  Verdict verdict_;
  HostLock lock_{false};
  StyleReceiver receiver_{lock_, verdict_};
  StyleAllocator allocator_{verdict_};
  std::unique_ptr<HostDeviceSettings> settings_;
  ipcapture::IIPCaptureDriverEx4* driver_ = nullptr;
  std::vector<std::unique_ptr<StyleSink>> sinks_;
  std::atomic<StyleSink*> sink_{nullptr};
  bool withIO_ = false;
  uint32_t channelCount_ = 1;
};

sim::Simulator* HostStyles::sim_ = nullptr;

// The host's lock, taken around every call and inside every callback, held a
// moment for the host's own bookkeeping before each call: a stop that waited
// for a capture thread blocked on that lock would never return.
TEST_P(HostStyles, OneLockAroundEveryCallAndInsideEveryCallback) {
  HostLock lock(true);
  StyleReceiver receiver(lock, verdict_);
  settings_ = std::make_unique<HostDeviceSettings>(Values());
  driver_ = create_();
  ASSERT_NE(nullptr, driver_);
  {
    Locked held(lock);
    ASSERT_TRUE(driver_->Open(&receiver, &allocator_, settings_.get()));
  }
  ipcapture::IIPVideoCapture* capture = driver_->GetVideoCapture();
  {
    sinks_.push_back(std::make_unique<StyleSink>(lock, verdict_));
    StyleSink* sink = sinks_.back().get();
    HostChannelSettings settings(ChannelValues{40, 60, 320, 240, false});
    {
      Locked held(lock);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      ASSERT_TRUE(capture->StartChannel(0, sink, &settings));
    }
    ASSERT_TRUE(WaitUntil([&] { return sink->Frames() >= 3; }, 30000));
    {
      // Taken first, and held until the next picture's sink call waits for
      // it: the capture thread is then stuck in the host when the stop comes.
      Locked held(lock);
      sink->entering = false;
      EXPECT_TRUE(WaitUntil([&] { return sink->entering.load(); }, 10000));
      const auto start = Clock::now();
      capture->StopChannel(0);
      verdict_.Timed("StopChannel under the host's lock", MsSince(start));
      sink->End();
    }
  }
  {
    Locked held(lock);
    const auto start = Clock::now();
    delete_(driver_);
    verdict_.Timed("DeleteIPCapture under the host's lock", MsSince(start));
    driver_ = nullptr;
    receiver.End();
    allocator_.End();
  }
  ExpectRecordingAgain();
}

TEST_P(HostStyles, StopChannelFromInsideTheFrameSink) {
  CreateAndOpen();
  ipcapture::IIPVideoCapture* capture = Capture();
  for (int round = 0; round < 3; ++round) {
    StyleSink* sink = Start(capture);
    std::atomic<bool> stopped{false};
    sink->onFrame = [&, sink](uint64_t n) {
      if (n != 3) return;
      const auto start = Clock::now();
      EXPECT_TRUE(capture->StopChannel(0));
      verdict_.Timed("StopChannel from the sink", MsSince(start));
      StyleSink* expected = sink;
      sink_.compare_exchange_strong(expected, nullptr);
      sink->End();
      stopped = true;
    };
    ASSERT_TRUE(WaitUntil([&] { return stopped.load(); }, 30000)) << "round " << round;
  }
  ExpectRecordingAgain();
}

TEST_P(HostStyles, StartChannelAgainFromInsideTheFrameSink) {
  CreateAndOpen();
  ipcapture::IIPVideoCapture* capture = Capture();
  StyleSink* first = Start(capture);
  std::atomic<StyleSink*> second{nullptr};
  first->onFrame = [&](uint64_t n) {
    if (n != 3) return;
    second = Start(capture);  // stops the channel it is called from
  };
  ASSERT_TRUE(WaitUntil([&] { return second.load() != nullptr && second.load()->Frames() >= 3; }, 30000));
  uint32_t status = 99;
  EXPECT_TRUE(capture->GetChannelStatus(0, &status, nullptr, nullptr, 0));
  Stop(capture);
  ExpectRecordingAgain();
}

TEST_P(HostStyles, RestartFromInsideTheFrameSinkIsRefusedAndSaidWhy) {
  CreateAndOpen();
  ipcapture::IIPVideoCapture* capture = Capture();
  StyleSink* sink = Start(capture);
  std::atomic<int> answer{-1};
  sink->onFrame = [&](uint64_t n) {
    if (n != 3) return;
    HostFrameSize size(640, 480);
    const auto start = Clock::now();
    answer = capture->RestartChannel(0, &size, 80) ? 1 : 0;
    verdict_.Timed("RestartChannel from the sink", MsSince(start));
  };
  ASSERT_TRUE(WaitUntil([&] { return answer.load() != -1; }, 30000));
  EXPECT_EQ(0, answer.load());
  EXPECT_TRUE(receiver_.Saw("cannot be restarted from inside its own capture thread"));
  // The channel goes on recording.
  const uint64_t before = sink->Frames();
  EXPECT_TRUE(WaitUntil([&] { return sink->Frames() >= before + 5; }, 30000));
  Stop(capture);
}

TEST_P(HostStyles, StopChannelFromTheLogReceiverWhenOnline) {
  CreateAndOpen();
  ipcapture::IIPVideoCapture* capture = Capture();
  for (int round = 0; round < 2; ++round) {
    std::atomic<bool> stopped{false};
    receiver_.onLine = [&](const std::string& line) {
      if (line.find("is online") == std::string::npos || stopped.load()) return;
      uint32_t status = 99;
      capture->GetChannelStatus(0, &status, nullptr, nullptr, 0);
      Stop(capture);
      stopped = true;
    };
    Start(capture);
    ASSERT_TRUE(WaitUntil([&] { return stopped.load(); }, 30000)) << "round " << round;
    receiver_.onLine = nullptr;
  }
  ExpectRecordingAgain();
}

TEST_P(HostStyles, CloseAndOpenFromTheLogReceiverWhenOnline) {
  CreateAndOpen();
  for (int round = 0; round < 2; ++round) {
    // Set once the reset has begun, and done as its last step: the test
    // goes on only once the receiver's thread has left the driver alone.
    std::atomic<bool> begun{false};
    std::atomic<bool> done{false};
    receiver_.onLine = [&](const std::string& line) {
      if (line.find("is online") == std::string::npos || begun.exchange(true)) return;
      Close();
      EXPECT_TRUE(Open());
      done = true;
    };
    Start(Capture());
    ASSERT_TRUE(WaitUntil([&] { return done.load(); }, 30000)) << "round " << round;
    receiver_.onLine = nullptr;
  }
  ExpectRecordingAgain();
}

TEST_P(HostStyles, DeleteFromTheLogReceiverWhenOnline) {
  CreateAndOpen();
  std::atomic<bool> begun{false};
  std::atomic<bool> deleted{false};
  receiver_.onLine = [&](const std::string& line) {
    if (line.find("is online") == std::string::npos || begun.exchange(true)) return;
    Delete();
    deleted = true;
  };
  Start(Capture());
  ASSERT_TRUE(WaitUntil([&] { return deleted.load(); }, 30000));
  receiver_.onLine = nullptr;
  ExpectRecordingAgain();
}

TEST_P(HostStyles, ASinkThatBlocksForSecondsAndAnAllocatorThatGivesNothingEveryThirdFrame) {
  CreateAndOpen();
  allocator_.refuseEveryThird = true;
  ipcapture::IIPVideoCapture* capture = Capture();
  StyleSink* sink = Start(capture);
  sink->onFrame = [](uint64_t n) {
    if (n % 20 == 0) std::this_thread::sleep_for(std::chrono::seconds(3));
  };
  ASSERT_TRUE(WaitUntil([&] { return sink->Frames() >= 21; }, 40000));
  Stop(capture);
  allocator_.refuseEveryThird = false;
  ExpectRecordingAgain();
}

// A second Open on a driver whose channel streams: its channels stop first
// (their sink and the old resolution list are theirs until then), and the
// new opening records.
TEST_P(HostStyles, SecondOpenWhileTheChannelStreams) {
  CreateAndOpen();
  StyleSink* sink = Start(Capture());
  ASSERT_TRUE(WaitUntil([&] { return sink->Frames() >= 3; }, 30000));
  const auto start = Clock::now();
  EXPECT_TRUE(Open());
  verdict_.Timed("a second Open", MsSince(start));
  // Open stopped the channel: its sink is done with.
  if (StyleSink* previous = sink_.exchange(nullptr)) previous->End();
  uint32_t status = 99;
  EXPECT_FALSE(Capture()->GetChannelStatus(0, &status, nullptr, nullptr, 0)) << "no channel survives the new opening";
  ExpectRecordingAgain();
}

// A host that resets another channel of the device from a picture of this
// one: each call waits only for the other channel's thread.
TEST_P(HostStyles, StopStartAndRestartTheOtherChannelFromInsideTheFrameSink) {
  channelCount_ = 2;
  CreateAndOpen();
  ipcapture::IIPVideoCapture* capture = Capture();
  HostChannelSettings settings(ChannelValues{40, 60, 320, 240, false});
  StyleSink* other = NewSink();
  ASSERT_TRUE(capture->StartChannel(1, other, &settings));
  ASSERT_TRUE(WaitUntil([&] { return other->Frames() >= 3; }, 30000));
  StyleSink* first = Start(capture);
  StyleSink* again = NewSink();
  std::atomic<int> step{0};
  bool answers[3] = {false, false, false};
  first->onFrame = [&](uint64_t) {
    if (step.load() != 0) return;
    step = 1;
    auto start = Clock::now();
    answers[0] = capture->StopChannel(1);
    verdict_.Timed("StopChannel of the other channel from the sink", MsSince(start));
    other->End();
    start = Clock::now();
    answers[1] = capture->StartChannel(1, again, &settings);
    verdict_.Timed("StartChannel of the other channel from the sink", MsSince(start));
    HostFrameSize size(640, 480);
    start = Clock::now();
    answers[2] = capture->RestartChannel(1, &size, 80);
    verdict_.Timed("RestartChannel of the other channel from the sink", MsSince(start));
    step = 2;
  };
  ASSERT_TRUE(WaitUntil([&] { return step.load() == 2; }, 30000));
  EXPECT_TRUE(answers[0]) << "StopChannel(1)";
  EXPECT_TRUE(answers[1]) << "StartChannel(1)";
  EXPECT_TRUE(answers[2]) << "RestartChannel(1)";
  EXPECT_TRUE(WaitUntil([&] { return again->Frames() >= 3; }, 30000)) << "the other channel records again";
  const auto start = Clock::now();
  EXPECT_TRUE(capture->StopChannel(1));
  verdict_.Timed("StopChannel", MsSince(start));
  again->End();
  Stop(capture);
  ExpectRecordingAgain();
}

// A host that resets its channel when the signal is lost: stop, then start,
// from inside the loss's notice, on the channel's own thread.
TEST_P(HostStyles, StopAndStartFromInsideTheSignalLoss) {
  CreateAndOpen();
  ipcapture::IIPVideoCapture* capture = Capture();
  StyleSink* sink = Start(capture);
  ASSERT_TRUE(WaitUntil([&] { return sink->Frames() >= 3; }, 30000));
  sim::CameraState& camera = sim_->State(static_cast<size_t>(GetParam()));
  std::atomic<int> answers{-1};
  std::atomic<StyleSink*> next{nullptr};
  sink->onSignalLost = [&] {
    if (answers.load() != -1) return;
    camera.SetFault("stall", 0);
    bool stopped = Stop(capture);
    StyleSink* started = Start(capture);
    next = started;
    answers = stopped ? 1 : 0;
  };
  camera.SetFault("stall", 1);
  // The loss is told after the stream's time-out (15 s) without a picture.
  const bool told = WaitUntil([&] { return answers.load() != -1; }, 40000);
  camera.SetFault("stall", 0);
  ASSERT_TRUE(told) << "no signal loss told";
  EXPECT_EQ(1, answers.load()) << "StopChannel from inside the loss";
  StyleSink* started = next.load();
  ASSERT_NE(nullptr, started);
  EXPECT_TRUE(WaitUntil([&] { return started->Frames() >= 3; }, 30000)) << "the channel started from the loss records";
  Stop(capture);
  ExpectRecordingAgain();
}

// The digital I/O's workers call the host too; the stream kind does not
// matter to them, so one camera serves.
class HostStylesIO : public HostStyles {
 protected:
  HostStylesIO() { withIO_ = true; }

  ICaptureIOApi* OpenIO(StyleIOCallback& callback) {
    ICaptureIOApi* io = driver_->GetCaptureIO();
    if (io == nullptr) return nullptr;
    EXPECT_TRUE(io->SetIOCallback(&callback));
    callback.Begin();
    EXPECT_TRUE(io->StartIO());
    return io;
  }

  bool StopIO(ICaptureIOApi* io, StyleIOCallback& callback) {
    const auto start = Clock::now();
    const bool stopped = io->StopIO();
    verdict_.Timed("StopIO", MsSince(start));
    callback.End();
    return stopped;
  }

  // A well-behaved callback hears the inputs again.
  void ExpectIOAgain() {
    if (driver_ == nullptr) CreateAndOpen();
    StyleIOCallback callback(lock_, verdict_);
    ICaptureIOApi* io = OpenIO(callback);
    ASSERT_NE(nullptr, io);
    EXPECT_TRUE(WaitUntil([&] { return callback.Calls() >= 2; }, 20000)) << "no input changes afterwards";
    StopIO(io, callback);
  }
};

TEST_P(HostStylesIO, StopIOAndDeleteUnderTheLockTheCallbackWaitsFor) {
  HostLock lock(true);
  StyleIOCallback callback(lock, verdict_);
  CreateAndOpen();
  ICaptureIOApi* io = OpenIO(callback);
  ASSERT_NE(nullptr, io);
  ASSERT_TRUE(WaitUntil([&] { return callback.Calls() >= 1; }, 20000));
  {
    // Held until the next input change's callback waits for it.
    Locked held(lock);
    callback.entering = false;
    EXPECT_TRUE(WaitUntil([&] { return callback.entering.load(); }, 15000));
    StopIO(io, callback);
    EXPECT_FALSE(io->StartIO()) << "started again while its worker is still inside the callback";
    callback.End();
    Delete();
  }
  ExpectIOAgain();
}

TEST_P(HostStylesIO, StopIOFromInsideTheCallback) {
  CreateAndOpen();
  StyleIOCallback callback(lock_, verdict_);
  ICaptureIOApi* io = OpenIO(callback);
  ASSERT_NE(nullptr, io);
  std::atomic<int> answer{-1};
  callback.onCall = [&] {
    if (answer.load() != -1) return;
    answer = StopIO(io, callback) ? 1 : 0;
  };
  ASSERT_TRUE(WaitUntil([&] { return answer.load() != -1; }, 20000));
  EXPECT_EQ(1, answer.load());
  callback.onCall = nullptr;
  // Started again, with a new callback, once the worker has left the old one.
  StyleIOCallback again(lock_, verdict_);
  ASSERT_TRUE(io->SetIOCallback(&again));
  again.Begin();
  ASSERT_TRUE(WaitUntil([&] { return io->StartIO(); }, 5000));
  EXPECT_TRUE(WaitUntil([&] { return again.Calls() >= 2; }, 20000));
  StopIO(io, again);
}

TEST_P(HostStylesIO, CloseAndOpenFromInsideTheCallback) {
  CreateAndOpen();
  StyleIOCallback callback(lock_, verdict_);
  ASSERT_NE(nullptr, OpenIO(callback));
  std::atomic<bool> begun{false};
  std::atomic<bool> done{false};
  callback.onCall = [&] {
    if (begun.exchange(true)) return;
    Close();
    callback.End();
    EXPECT_TRUE(Open());
    done = true;
  };
  ASSERT_TRUE(WaitUntil([&] { return done.load(); }, 20000));
  ExpectIOAgain();
}

TEST_P(HostStylesIO, DeleteFromInsideTheCallback) {
  CreateAndOpen();
  StyleIOCallback callback(lock_, verdict_);
  ASSERT_NE(nullptr, OpenIO(callback));
  std::atomic<bool> deleted{false};
  callback.onCall = [&] {
    if (deleted.load()) return;
    Delete();
    callback.End();
    deleted = true;
  };
  ASSERT_TRUE(WaitUntil([&] { return deleted.load(); }, 20000));
  ExpectIOAgain();
}

INSTANTIATE_TEST_SUITE_P(OneCamera, HostStylesIO, ::testing::Values(0));

INSTANTIATE_TEST_SUITE_P(EachCamera, HostStyles, ::testing::Values(0, 1, 2, 3),
                         [](const ::testing::TestParamInfo<int>& param) {
                           std::string name = kKinds[param.param];
                           for (char& c : name) {
                             if (c == '-') c = '_';
                           }
                           return name;
                         });

}  // namespace
