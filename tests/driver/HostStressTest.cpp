// A recorder host's load on the library as it is loaded: several drivers and
// channels driven from several host threads in random order (starts,
// restarts, stops, polls, Close and Open, deletes with and without Close,
// digital I/O, capability queries) while the cameras' faults go on and off.
// Calls on one channel are serialised, as a host must; everything else runs
// at once. Two of the drivers have a simpler host: one lock around every call
// that their sinks and log receiver take too, and sinks that call into the
// driver (status, a stop of their own channel) from inside a picture.
// STRESS_SECONDS sets the length of the random phase (default 40).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <memory>
#include <mutex>
#include <random>
#include <shared_mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/DynamicLibrary.h"
#include "tests/support/TestUtil.h"
#include "tools/camera-sim/Simulator.h"
#include "tools/hostlib/HostCapability.h"
#include "tools/hostlib/HostFrames.h"
#include "tools/hostlib/HostLog.h"
#include "tools/hostlib/HostSettings.h"

using namespace kestrum;
using namespace kestrum::host;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kDrivers = 4;
constexpr int kHostThreads = 4;
// The capture thread's limit is twice the ConnectTimeout (5000 ms) that the
// driver sets at Open; a little is allowed for the rest of the stop.
constexpr int64_t kChannelStopLimitMs = 11000;

int64_t MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

struct DriverSlot;

// One started channel's sink: after its channel was stopped it must never be
// called again; it stays alive to the end so that a late call is counted,
// not a crash. A locking host's sink takes the host's lock and, under it,
// calls into the driver.
class StressSink final : public ipcapture::IHostFrameSink {
 public:
  KESTRUM_DESTRUCTOR_SLOT(StressSink)
  StressSink(DriverSlot* lockingHost, uint32_t index, uint64_t selfStopAt)
      : host_(lockingHost), index_(index), selfStopAt_(selfStopAt) {}
  bool ReceiveFrame(ipcapture::IHostFrame*) override {
    if (stopped_.load()) ++late_;
    const uint64_t n = ++frames_;
    if (host_ != nullptr) CallBack(n);
    return true;
  }
  void NotifySignalLost() override {
    if (stopped_.load()) ++late_;
  }
  void MarkStopped() { stopped_ = true; }
  uint64_t Frames() const { return frames_.load(); }
  uint64_t Late() const { return late_.load(); }
  // Set as the sink begins to stop its own channel.
  bool SelfStopping() const { return selfStopping_.load(); }

 private:
  void CallBack(uint64_t n);

  DriverSlot* host_;
  uint32_t index_;
  uint64_t selfStopAt_;  // 0: never
  std::atomic<bool> selfStopping_{false};
  std::atomic<bool> stopped_{false};
  std::atomic<uint64_t> frames_{0};
  std::atomic<uint64_t> late_{0};
};

class IgnoringIOCallback final : public ICaptureIOCallback {
 public:
  KESTRUM_DESTRUCTOR_SLOT(IgnoringIOCallback)
  void OnInputStateChanged(uint32_t, uint32_t) override { ++events; }
  void OnIOStatesReset() override { ++events; }
  std::atomic<uint64_t> events{0};
};

// A log receiver that takes its host's lock for every line.
class LockingLog final : public HostLogReceiver {
 public:
  explicit LockingLog(std::recursive_mutex* lock) : HostLogReceiver(nullptr, true), lock_(lock) {}
  void AddDebugInfo(CDebugInfoIf* info) override {
    if (lock_ == nullptr) return HostLogReceiver::AddDebugInfo(info);
    std::lock_guard<std::recursive_mutex> held(*lock_);
    HostLogReceiver::AddDebugInfo(info);
  }

 private:
  std::recursive_mutex* lock_;
};

struct ChannelSlot {
  std::mutex mutex;               // the host's per-channel serialisation
  StressSink* sink = nullptr;     // of the running channel, if any
};

struct DriverSlot {
  // Channel and I/O calls share it; Open, Close and Delete take it alone.
  std::shared_mutex life;
  ipcapture::IIPCaptureDriverEx4* driver = nullptr;
  std::unique_ptr<HostDeviceSettings> settings;
  std::unique_ptr<LockingLog> log;
  ChannelSlot channels[2];
  // The simpler host's one lock: around every call, and inside its sinks and
  // log receiver. Taken after life and a channel's mutex, never before.
  bool lockingHost = false;
  std::recursive_mutex hostLock;
  std::mutex ioMutex;
  bool ioStarted = false;  // StartIO follows a StopIO (or the opening) only
  bool ioStopped = false;  // requests are refused from StopIO to StartIO
  IgnoringIOCallback ioCallback;
};

// Under the host's lock the host's own state tells whether its channel and
// driver are still there: a stop or delete marks them under that lock.
void StressSink::CallBack(uint64_t n) {
  std::lock_guard<std::recursive_mutex> held(host_->hostLock);
  if (stopped_.load() || host_->driver == nullptr) return;
  ipcapture::IIPVideoCapture* capture = host_->driver->GetVideoCapture();
  if (capture == nullptr) return;
  uint32_t status = 99;
  capture->GetChannelStatus(index_, &status, nullptr, nullptr, 0);
  if (n == selfStopAt_) {
    selfStopping_ = true;
    capture->StopChannel(index_);
  }
}

// The host's lock of a locking host, nothing for the others.
std::unique_lock<std::recursive_mutex> HostCall(DriverSlot& slot) {
  return slot.lockingHost ? std::unique_lock<std::recursive_mutex>(slot.hostLock)
                          : std::unique_lock<std::recursive_mutex>();
}

class HostStress : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(library_.Open(QUELLON_LIBRARY_PATH)) << QUELLON_LIBRARY_PATH;
    create_ = reinterpret_cast<CreateIPCaptureFn>(library_.Symbol("CreateIPCapture"));
    delete_ = reinterpret_cast<DeleteIPCaptureFn>(library_.Symbol("DeleteIPCaptureEx2"));
    createQuery_ = reinterpret_cast<CreateCapabilityQueryModuleFn>(library_.Symbol("CreateCapabilityQueryModule"));
    deleteQuery_ = reinterpret_cast<DeleteCapabilityQueryModuleFn>(library_.Symbol("DeleteCapabilityQueryModule"));
    ASSERT_TRUE(create_ && delete_ && createQuery_ && deleteQuery_);

    sim::SimOptions options;
    options.cameras = kDrivers;
    options.inputs = 2;
    options.relays = 1;
    sim_ = std::make_unique<sim::Simulator>(options);
    std::string error;
    ASSERT_TRUE(sim_->Start(error)) << error;
    WriteConfiguration();
    const char* seconds = std::getenv("STRESS_SECONDS");
    seconds_ = seconds != nullptr ? std::atoi(seconds) : 40;
  }

  void TearDown() override {
    for (DriverSlot& slot : slots_) {
      std::unique_lock<std::recursive_mutex> held = HostCall(slot);
      if (slot.driver != nullptr) delete_(slot.driver);
      slot.driver = nullptr;
      MarkAllStopped(slot);
    }
    if (sim_) sim_->Stop();
  }

  // The driver reads its file beside the host's executable: one camera
  // interleaved in the RTSP connection, the others over UDP.
  void WriteConfiguration() {
    std::ofstream file(std::string(STRESS_HOST_DIRECTORY) + "/QuellonIPCapture.xml");
    file << "<Configuration>\n";
    for (int d = 0; d < kDrivers; ++d) {
      file << "  <Device address=\"127.0.0.1\" port=\"" << sim_->HttpPort(d) << "\"><RTPMode>"
           << (d == 3 ? "rtpoverrtsp" : "rtpoverudp") << "</RTPMode></Device>\n";
    }
    file << "</Configuration>\n";
  }

  // Drivers 0 and 1 pull Motion JPEG, 2 and 3 H.264; 0 and 2 have two
  // channels (the simulator serves the same camera to both).
  DeviceValues Values(int d) {
    DeviceValues values;
    values.address = "127.0.0.1";
    values.port = sim_->HttpPort(d);
    values.userName = "admin";
    values.password = "admin";
    values.streamKind = d < 2 ? 1 : 3;
    values.modelName = "Q-stress";
    values.channelCount = (d % 2 == 0) ? 2 : 1;
    values.inputCount = d == 1 ? 2 : 0;
    values.outputCount = d == 1 ? 1 : 0;
    std::string resolutions;
    for (const auto& r : sim::DefaultResolutions()) {
      resolutions += (resolutions.empty() ? "" : ";") + std::to_string(r.width) + "x" + std::to_string(r.height);
    }
    values.parameters = {{1, "(none)"}, {2, "2.4.1"}, {3, std::to_string(sim_->RtspPort(d))}, {4, resolutions}};
    return values;
  }

  // Needs the slot's life lock alone. False, with the failure recorded, when
  // the driver could not be made or opened: the slot is then left empty and
  // the operations pass it by.
  bool CreateAndOpen(int d) {
    DriverSlot& slot = slots_[d];
    slot.lockingHost = d % 2 == 1;
    std::unique_lock<std::recursive_mutex> held = HostCall(slot);
    slot.settings = std::make_unique<HostDeviceSettings>(Values(d));
    if (!slot.log) slot.log = std::make_unique<LockingLog>(slot.lockingHost ? &slot.hostLock : nullptr);
    slot.driver = create_();
    if (slot.driver == nullptr) {
      ADD_FAILURE() << "CreateIPCapture gave no driver " << d;
      return false;
    }
    ipcapture::IIPVideoCapture* capture = nullptr;
    if (slot.driver->Open(slot.log.get(), &allocator_, slot.settings.get())) capture = slot.driver->GetVideoCapture();
    if (capture == nullptr) {
      ADD_FAILURE() << "driver " << d << " did not open; its last lines:\n" << LastLinesOf(*slot.log, 8);
      delete_(slot.driver);
      slot.driver = nullptr;
      return false;
    }
    EXPECT_EQ(slot.settings->Values().channelCount, capture->GetChannelCount());
    if (ICaptureIOApi* io = slot.driver->GetCaptureIO()) {
      EXPECT_TRUE(io->SetIOCallback(&slot.ioCallback));
    }
    return true;
  }

  static std::string LastLinesOf(const HostLogReceiver& log, size_t count) {
    const std::vector<LogLine> lines = log.Lines();
    std::string text;
    for (size_t i = lines.size() > count ? lines.size() - count : 0; i < lines.size(); ++i) {
      text += "  " + std::to_string(lines[i].level) + " " + lines[i].text + "\n";
    }
    return text;
  }

  // Every channel sink of the driver is done with once this returns.
  void MarkAllStopped(DriverSlot& slot) {
    for (ChannelSlot& channel : slot.channels) {
      if (channel.sink != nullptr) channel.sink->MarkStopped();
      channel.sink = nullptr;
    }
  }

  // A locking host's sink stops its own channel from inside, at a random
  // picture, one time in three (never for the final starts).
  StressSink* NewSink(DriverSlot& slot, uint32_t index, std::mt19937* random) {
    uint64_t selfStopAt = 0;
    if (slot.lockingHost && random != nullptr && (*random)() % 3 == 0) selfStopAt = 3 + (*random)() % 30;
    std::lock_guard<std::mutex> lock(sinksMutex_);
    sinks_.push_back(std::make_unique<StressSink>(slot.lockingHost ? &slot : nullptr, index, selfStopAt));
    return sinks_.back().get();
  }

  void RecordStop(const char* what, int64_t ms, int64_t limit) {
    std::lock_guard<std::mutex> lock(statsMutex_);
    if (ms > maxStopMs_) maxStopMs_ = ms;
    if (ms > limit) slowStops_.push_back(std::string(what) + " took " + std::to_string(ms) + " ms");
  }

  // A few settings only: the simulator makes (and, for H.264, encodes) a
  // picture set per setting, which a sanitizer build does slowly. The final
  // start gives every channel the first one, so that the two channels of a
  // device do not keep changing their camera's settings.
  static ChannelValues PickSettings(std::mt19937* random) {
    static const uint16_t kSizes[2][2] = {{320, 240}, {640, 480}};
    const unsigned size = random != nullptr ? (*random)() % 2 : 0;
    ChannelValues values;
    values.frameInterval = static_cast<uint16_t>(random != nullptr ? 40 + (*random)() % 2 * 40 : 40);
    values.quality = static_cast<uint16_t>(random != nullptr ? 60 + (*random)() % 2 * 20 : 60);
    values.width = kSizes[size][0];
    values.height = kSizes[size][1];
    return values;
  }

  bool StartChannel(DriverSlot& slot, uint32_t index, std::mt19937* random) {
    ChannelSlot& channel = slot.channels[index];
    HostChannelSettings settings(PickSettings(random));
    StressSink* sink = NewSink(slot, index, random);
    StressSink* previous = channel.sink;
    std::unique_lock<std::recursive_mutex> held = HostCall(slot);
    const auto start = Clock::now();
    const bool started = slot.driver->GetVideoCapture()->StartChannel(index, sink, &settings);
    // Starting stops whatever ran on the index first.
    RecordStop("StartChannel", MsSince(start), kChannelStopLimitMs + 1000);
    if (previous != nullptr) previous->MarkStopped();
    channel.sink = sink;
    return started;
  }

  void StopChannel(DriverSlot& slot, uint32_t index) {
    ChannelSlot& channel = slot.channels[index];
    std::unique_lock<std::recursive_mutex> held = HostCall(slot);
    const auto start = Clock::now();
    slot.driver->GetVideoCapture()->StopChannel(index);
    RecordStop("StopChannel", MsSince(start), kChannelStopLimitMs);
    if (channel.sink != nullptr) channel.sink->MarkStopped();
    channel.sink = nullptr;
  }

  void ChannelOperation(DriverSlot& slot, std::mt19937& random) {
    std::shared_lock<std::shared_mutex> life(slot.life);
    if (slot.driver == nullptr) return;  // its failure is recorded
    const uint32_t count = slot.settings->Values().channelCount;
    const uint32_t index = random() % count;
    std::lock_guard<std::mutex> serial(slot.channels[index].mutex);
    ipcapture::IIPVideoCapture* capture = slot.driver->GetVideoCapture();
    if (capture == nullptr) {
      ADD_FAILURE() << "an open driver without its video capture";
      return;
    }
    switch (random() % 6) {
      case 0:
      case 1:
        StartChannel(slot, index, &random);
        break;
      case 2: {
        const ChannelValues values = PickSettings(&random);
        HostFrameSize frameSize(values.width, values.height);
        std::unique_lock<std::recursive_mutex> held = HostCall(slot);
        const auto start = Clock::now();
        capture->RestartChannel(index, &frameSize, values.frameInterval);
        RecordStop("RestartChannel", MsSince(start), kChannelStopLimitMs);
        break;
      }
      case 3:
        StopChannel(slot, index);
        break;
      default: {
        uint32_t status = 99, second = 99;
        char text[32] = "x";
        std::unique_lock<std::recursive_mutex> held = HostCall(slot);
        const bool known = capture->GetChannelStatus(index, &status, &second, text, sizeof text);
        if (known) {
          EXPECT_TRUE(status == 0 || status == 2) << status;
        }
        EXPECT_EQ(0u, second);
        EXPECT_EQ('\0', text[0]);
        StressSink* sink = slot.channels[index].sink;
        // A channel whose sink stopped it has no status any more, or not yet.
        if (sink == nullptr || !sink->SelfStopping()) {
          EXPECT_EQ(known, sink != nullptr) << "a status exactly for the channels that were started";
        }
      }
    }
  }

  void IoOperation(DriverSlot& slot, std::mt19937& random) {
    std::shared_lock<std::shared_mutex> life(slot.life);
    if (slot.driver == nullptr) return;  // its failure is recorded
    ICaptureIOApi* io = slot.driver->GetCaptureIO();
    if (io == nullptr) return;
    std::lock_guard<std::mutex> serial(slot.ioMutex);
    std::unique_lock<std::recursive_mutex> held = HostCall(slot);
    switch (random() % 3) {
      case 0:
        if (!slot.ioStarted) {
          EXPECT_TRUE(io->StartIO());
        }
        slot.ioStarted = true;
        slot.ioStopped = false;
        break;
      case 1:
        EXPECT_EQ(!slot.ioStopped, io->SetOutputState(0, 1 + random() % 2)) << "refused exactly while stopped";
        break;
      default: {
        const auto start = Clock::now();
        EXPECT_TRUE(io->StopIO());
        RecordStop("StopIO", MsSince(start), 5000 + 2 * 5000 + 500);
        slot.ioStarted = false;
        slot.ioStopped = true;
      }
    }
  }

  // Close then Open, delete after Close, or delete without Close (the
  // destructor must stop everything while the driver still exists).
  void DriverOperation(int d, std::mt19937& random) {
    DriverSlot& slot = slots_[d];
    std::unique_lock<std::shared_mutex> life(slot.life);
    if (slot.driver == nullptr) {
      CreateAndOpen(d);  // tried again; its failures are recorded
      return;
    }
    const uint32_t channels = slot.settings->Values().channelCount;
    const int64_t limit = channels * kChannelStopLimitMs + 15500;
    std::unique_lock<std::recursive_mutex> held = HostCall(slot);
    const auto start = Clock::now();
    switch (random() % 4) {
      case 0:
        slot.driver->Close();
        RecordStop("Close", MsSince(start), limit);
        MarkAllStopped(slot);
        delete_(slot.driver);
        break;
      case 1:
      case 2:
        delete_(slot.driver);
        RecordStop("Delete without Close", MsSince(start), limit);
        MarkAllStopped(slot);
        break;
      default:
        slot.driver->Close();
        RecordStop("Close", MsSince(start), limit);
        MarkAllStopped(slot);
        slot.driver->Close();  // twice is harmless
        delete_(slot.driver);
    }
    NoteGivenUpFrames(slot, MsSince(start));
    slot.driver = nullptr;
    slot.ioStarted = false;
    slot.ioStopped = false;
    if (held.owns_lock()) held.unlock();
    CreateAndOpen(d);
  }

  // A capture thread that waited for a locking host's lock while the host
  // closed its driver is given up on, and the frame it holds is given up
  // (not released into an allocator the host may have freed): at most one
  // per channel of such a Close or delete.
  void NoteGivenUpFrames(DriverSlot& slot, int64_t ms) {
    if (!slot.lockingHost || ms < 2 * 5000) return;
    givenUpFrames_ += slot.settings->Values().channelCount;
  }

  void QueryOperation(std::mt19937& random) {
    QueryClient client;
    ResultSink results;
    ipcapture::IIPCapabilityQuery* module = createQuery_(&client, 0);
    ASSERT_NE(nullptr, module);
    const int camera = random() % kDrivers;
    if (module->Start("127.0.0.1", sim_->HttpPort(camera), "admin", "admin", &results)) {
      if (random() % 2 == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(random() % 50));
        module->Terminate();
      }
    }
    const auto start = Clock::now();
    deleteQuery_(module);  // the results and the client must not be called after this
    RecordStop("DeleteCapabilityQueryModule", MsSince(start), 2 * 5000 + 1500);
  }

  std::string CameraSummary(int d) {
    sim::CameraState& state = sim_->State(d);
    const sim::Counters counters = state.GetCounters();
    const std::vector<sim::RequestRecord> requests = state.Requests();
    std::string text = "camera: " + std::to_string(counters.streamsOpened) + " streams opened, " +
                       std::to_string(counters.streamsOpen) + " open, " + std::to_string(counters.picturesSent) +
                       " pictures sent; last requests:";
    for (size_t i = requests.size() > 6 ? requests.size() - 6 : 0; i < requests.size(); ++i) {
      text += " " + requests[i].method + " " + requests[i].path + " at " + std::to_string(requests[i].timeMs) + ";";
    }
    return text + " now " + std::to_string(sim::SimMilliseconds());
  }

  void HostThread(unsigned seed, Clock::time_point end) {
    std::mt19937 random(seed);
    while (Clock::now() < end) {
      const int d = random() % kDrivers;
      const unsigned pick = random() % 100;
      if (pick < 62) {
        ChannelOperation(slots_[d], random);
      } else if (pick < 74) {
        IoOperation(slots_[d], random);
      } else if (pick < 94) {
        DriverOperation(d, random);
      } else {
        QueryOperation(random);
      }
      ++operations_;
      std::this_thread::sleep_for(std::chrono::milliseconds(random() % 400));
    }
  }

  // Faults on and off on random cameras: stalls, drops, error pages, cut
  // streams, lost UDP packets.
  void FaultThread(unsigned seed, Clock::time_point end) {
    static const char* const kFaults[] = {"stall", "drop", "error500", "close_after", "truncate", "garbage", "udp_loss"};
    std::mt19937 random(seed);
    while (Clock::now() < end) {
      sim::CameraState& state = sim_->State(random() % kDrivers);
      const std::string name = kFaults[random() % (sizeof kFaults / sizeof kFaults[0])];
      const uint32_t value = random() % 2 == 0 ? 0 : (name == "close_after" ? 5 : name == "udp_loss" ? 3 : 1);
      state.SetFault(name, value);
      std::this_thread::sleep_for(std::chrono::milliseconds(500 + random() % 1500));
    }
    for (int c = 0; c < kDrivers; ++c) {
      for (const char* name : kFaults) sim_->State(c).SetFault(name, 0);
    }
  }

  platform::DynamicLibrary library_;
  CreateIPCaptureFn create_ = nullptr;
  DeleteIPCaptureFn delete_ = nullptr;
  CreateCapabilityQueryModuleFn createQuery_ = nullptr;
  DeleteCapabilityQueryModuleFn deleteQuery_ = nullptr;
  std::unique_ptr<sim::Simulator> sim_;
  HeapFrameAllocator allocator_;
  DriverSlot slots_[kDrivers];
  std::mutex sinksMutex_;
  std::deque<std::unique_ptr<StressSink>> sinks_;
  std::mutex statsMutex_;
  int64_t maxStopMs_ = 0;
  std::vector<std::string> slowStops_;
  std::atomic<uint64_t> operations_{0};
  std::atomic<int64_t> givenUpFrames_{0};
  int seconds_ = 40;
};

// Lines that the faults make expected; any other line of level 1 or 2 is not.
// A locking host also makes its stops give up on capture threads that wait
// for its lock, and a restart then wait for the thread it left.
bool ExpectedTrouble(const std::string& text, bool lockingHost) {
  static const char* const kExpected[] = {"Signal was lost", "is offline or failed", "GetInputStates() method failed!",
                                          "Unable to change output state",
                                          "kestrum::CBaseCameraChannel::ReportFailure: "};
  static const char* const kLockingHost[] = {"cannot be stopped within", "cannot be restarted: its capture thread"};
  for (const char* expected : kExpected) {
    if (text.find(expected) != std::string::npos) return true;
  }
  for (const char* expected : kLockingHost) {
    if (lockingHost && text.find(expected) != std::string::npos) return true;
  }
  return false;
}

TEST_F(HostStress, RandomHostOperationsFromSeveralThreadsWhileFaultsComeAndGo) {
  for (int d = 0; d < kDrivers; ++d) ASSERT_TRUE(CreateAndOpen(d));
  const unsigned seed = static_cast<unsigned>(std::chrono::system_clock::now().time_since_epoch().count());
  RecordProperty("seed", std::to_string(seed));
  std::cout << "seed " << seed << ", " << seconds_ << " s\n";
  const auto end = Clock::now() + std::chrono::seconds(seconds_);
  std::vector<std::thread> threads;
  for (int t = 0; t < kHostThreads; ++t) threads.emplace_back([this, seed, t, end] { HostThread(seed + t, end); });
  threads.emplace_back([this, seed, end] { FaultThread(seed + 100, end); });
  for (std::thread& thread : threads) thread.join();
  std::cout << operations_.load() << " host operations, longest stop " << maxStopMs_ << " ms\n";
  EXPECT_GT(operations_.load(), static_cast<uint64_t>(seconds_ * 2)) << "the host threads made progress";

  // With the faults off, every channel streams again.
  for (DriverSlot& slot : slots_) {
    std::unique_lock<std::shared_mutex> life(slot.life);
    if (slot.driver == nullptr) continue;  // its failure is recorded
    for (uint32_t i = 0; i < slot.settings->Values().channelCount; ++i) {
      std::lock_guard<std::mutex> serial(slot.channels[i].mutex);
      EXPECT_TRUE(StartChannel(slot, i, nullptr));
    }
  }
  for (int d = 0; d < kDrivers; ++d) {
    if (slots_[d].driver == nullptr) continue;
    for (uint32_t i = 0; i < slots_[d].settings->Values().channelCount; ++i) {
      StressSink* sink = slots_[d].channels[i].sink;
      EXPECT_TRUE(kestrum::testing::WaitUntil([&] { return sink->Frames() >= 3; }, 30000))
          << "driver " << d << " channel " << i << " streams again; its driver's last lines:\n"
          << LastLinesOf(*slots_[d].log, 8) << CameraSummary(d);
      // The status turns to streaming once the session has taken its first
      // picture, a moment after the sink had it: waited for, not read once.
      uint32_t status = 99, second = 0;
      bool answered = true;
      kestrum::testing::WaitUntil([&] {
        std::unique_lock<std::recursive_mutex> held = HostCall(slots_[d]);
        answered = slots_[d].driver->GetVideoCapture()->GetChannelStatus(i, &status, &second, nullptr, 0);
        return !answered || status == 0;
      });
      EXPECT_TRUE(answered) << "driver " << d << " channel " << i;
      EXPECT_EQ(0u, status) << "driver " << d << " channel " << i << "; its driver's last lines:\n"
                            << LastLinesOf(*slots_[d].log, 8);
    }
  }

  // Shut down as a host does, half with Close and half without.
  for (int d = 0; d < kDrivers; ++d) {
    DriverSlot& slot = slots_[d];
    if (slot.driver == nullptr) continue;
    std::unique_lock<std::recursive_mutex> held = HostCall(slot);
    const auto start = Clock::now();
    if (d % 2 == 0) slot.driver->Close();
    delete_(slot.driver);
    NoteGivenUpFrames(slot, MsSince(start));
    RecordStop("final delete", MsSince(start), 2 * kChannelStopLimitMs + 15500);
    slot.driver = nullptr;
    MarkAllStopped(slot);
  }

  EXPECT_LE(allocator_.Outstanding(), givenUpFrames_.load())
      << "every frame the driver took was released, but for those of threads a Close or delete gave up on";
  EXPECT_EQ(0, allocator_.UnknownReleases()) << "no frame was released twice";
  uint64_t late = 0;
  for (const auto& sink : sinks_) late += sink->Late();
  EXPECT_EQ(0u, late) << "no frame or notice reached a channel's sink after its channel stopped";
  EXPECT_TRUE(slowStops_.empty()) << slowStops_.front();
  for (DriverSlot& slot : slots_) {
    for (const LogLine& line : slot.log->Lines()) {
      if ((line.level == 1 || line.level == 2) && !ExpectedTrouble(line.text, slot.lockingHost)) ADD_FAILURE() << line.text;
    }
  }
}

}  // namespace
