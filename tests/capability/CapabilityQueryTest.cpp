// The capability query module and its exports against the simulator and
// scripted cameras.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <thread>

#include "capability/QuellonCapabilityQueryModule.h"
#include "platform/DynamicLibrary.h"
#include "platform/Thread.h"
#include "tests/support/ScriptedServer.h"
#include "tests/support/TestUtil.h"
#include "tools/camera-sim/Simulator.h"
#include "tools/hostlib/HostCapability.h"

using namespace kestrum;
using namespace kestrum::testing;
using Outcome = host::QueryClient::Outcome;

namespace {

class Exports : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(library_.Open(QUELLON_LIBRARY_PATH));
    init_ = reinterpret_cast<InitCapabilityQueryFn>(library_.Symbol("InitCapabilityQuery"));
    start_ = reinterpret_cast<StartCapabilityQueryFn>(library_.Symbol("StartCapabilityQuery"));
    terminate_ = reinterpret_cast<TerminateCapabilityQueryFn>(library_.Symbol("TerminateCapabilityQuery"));
    uninit_ = reinterpret_cast<UninitCapabilityQueryFn>(library_.Symbol("UninitCapabilityQuery"));
    create_ = reinterpret_cast<CreateCapabilityQueryModuleFn>(library_.Symbol("CreateCapabilityQueryModule"));
    delete_ = reinterpret_cast<DeleteCapabilityQueryModuleFn>(library_.Symbol("DeleteCapabilityQueryModule"));
    ASSERT_TRUE(init_ && start_ && terminate_ && uninit_ && create_ && delete_);
  }
  void TearDown() override { uninit_(); }

  // Runs one query through the process-wide module.
  Outcome Query(sim::Simulator& simulator, const char* user, const char* password, host::QueryClient& client,
                host::ResultSink& sink, const char* address = "127.0.0.1") {
    EXPECT_EQ(1, init_(&client, 0));
    EXPECT_EQ(1, start_(address, simulator.HttpPort(0), user, password, &sink));
    Outcome outcome = client.Wait(20000);
    EXPECT_EQ(1, uninit_());
    return outcome;
  }

  platform::DynamicLibrary library_;
  InitCapabilityQueryFn init_;
  StartCapabilityQueryFn start_;
  TerminateCapabilityQueryFn terminate_;
  UninitCapabilityQueryFn uninit_;
  CreateCapabilityQueryModuleFn create_;
  DeleteCapabilityQueryModuleFn delete_;
};

TEST_F(Exports, SlotRules) {
  host::QueryClient client;
  host::ResultSink sink;
  EXPECT_EQ(0, start_("127.0.0.1", 80, "u", "p", &sink)) << "no module yet";
  EXPECT_EQ(1, terminate_());
  EXPECT_EQ(1, uninit_());
  EXPECT_EQ(1, init_(&client, 0));
  EXPECT_EQ(0, init_(&client, 0)) << "the first module stays";
  EXPECT_EQ(0, start_(nullptr, 80, "u", "p", &sink));
  EXPECT_EQ(0, start_("127.0.0.1", 80, nullptr, "p", &sink));
  EXPECT_EQ(1, uninit_());
  EXPECT_EQ(0, client.Callbacks());
  delete_(nullptr);
}

TEST_F(Exports, QueriesTheSimulatorWithEachKindOfLogin) {
  for (sim::AuthMode mode : {sim::AuthMode::None, sim::AuthMode::Basic, sim::AuthMode::Digest}) {
    sim::SimOptions options;
    options.auth.mode = mode;
    options.auth.user = "viewer";
    options.auth.password = "pa55";
    sim::Simulator simulator(options);
    std::string error;
    ASSERT_TRUE(simulator.Start(error)) << error;
    host::QueryClient client;
    host::ResultSink sink;
    ASSERT_EQ(Outcome::Completed, Query(simulator, "viewer", "pa55", client, sink)) << client.Message();
    EXPECT_EQ("Quellon QN 4000", sink.ModelName());
    EXPECT_EQ(4u, sink.Resolutions().size());
    EXPECT_EQ(1, client.Callbacks());
    simulator.Stop();
  }
}

TEST_F(Exports, RefusedLoginInvalidAddressAndOneQueryPerModule) {
  // Each scheme refuses in its own way: Digest after its challenge, Basic by
  // a 401 to the credentials sent at once.
  for (sim::AuthMode mode : {sim::AuthMode::Basic, sim::AuthMode::Digest}) {
    sim::SimOptions options;
    options.auth.mode = mode;
    sim::Simulator refusing(options);
    std::string error;
    ASSERT_TRUE(refusing.Start(error)) << error;
    host::QueryClient client;
    host::ResultSink sink;
    ASSERT_EQ(Outcome::Failed, Query(refusing, "admin", "wrong", client, sink));
    EXPECT_EQ(1u, client.Code()) << client.Message();
    EXPECT_EQ("Failed to get camera properties, login failed (invalid credentials)", client.Message());
    refusing.Stop();
  }
  sim::SimOptions options;
  options.auth.mode = sim::AuthMode::Digest;
  sim::Simulator simulator(options);
  std::string error;
  ASSERT_TRUE(simulator.Start(error)) << error;
  for (const char* address : {"127.0.0.1:80", "http://127.0.0.1", "cam@host"}) {
    host::QueryClient client;
    host::ResultSink sink;
    const size_t before = simulator.State(0).Requests().size();
    ASSERT_EQ(Outcome::Failed, Query(simulator, "admin", "admin", client, sink, address));
    EXPECT_EQ(0u, client.Code()) << address;
    EXPECT_EQ("Failed to start capability fetching thread. Device address is invalid!", client.Message());
    EXPECT_EQ(before, simulator.State(0).Requests().size()) << "no traffic for a refused address";
  }
  host::QueryClient client;
  host::ResultSink sink;
  ipcapture::IIPCapabilityQuery* module = create_(&client, 1);
  ASSERT_NE(nullptr, module);
  ASSERT_TRUE(module->Start("127.0.0.1", simulator.HttpPort(0), "admin", "admin", &sink));
  ASSERT_EQ(Outcome::Completed, client.Wait(20000));
  EXPECT_FALSE(module->Start("127.0.0.1", simulator.HttpPort(0), "admin", "admin", &sink));
  delete_(module);
  ASSERT_FALSE(sink.Properties().empty());
  EXPECT_EQ("1", sink.Properties()[0].value) << "video standard 1 for a non-zero argument";
  simulator.Stop();
}

// The process-wide module ended from inside its own outcome, as a host
// closing its query dialog on the answer does.
TEST_F(Exports, UninitFromInsideTheOutcome) {
  static UninitCapabilityQueryFn uninit = nullptr;
  uninit = uninit_;
  struct UninitingClient final : ipcapture::ICapabilityQueryClient {
    KESTRUM_DESTRUCTOR_SLOT(UninitingClient)
    void OnQueryCompleted() override { Finish(1); }
    void OnQueryFailed(uint32_t, const char*) override { Finish(2); }
    void OnQueryKilled() override { ++killed; }
    void Finish(int value) {
      answer = uninit();
      outcome = value;  // last: the test may end once it reads it
    }
    std::atomic<int> outcome{0};
    std::atomic<int> answer{0};
    std::atomic<int> killed{0};
  } client;
  host::ResultSink sink;
  ASSERT_EQ(1, init_(&client, 0));
  ASSERT_EQ(1, start_("cam@host", 80, "u", "p", &sink));
  ASSERT_TRUE(WaitUntil([&] { return client.outcome.load() != 0; }, 20000));
  EXPECT_EQ(2, client.outcome.load());
  EXPECT_EQ(1, client.answer.load());
  EXPECT_EQ(0, client.killed.load());
  EXPECT_EQ(1, init_(&client, 0)) << "the slot is free again";
}

// Scripted cameras for replies the simulator does not give.
ScriptedServer::Script Camera(const std::string& info, const std::string& resolutions) {
  return [info, resolutions](platform::TcpSocket& c, ScriptedServer& s) {
    for (;;) {
      const std::string head = s.ReadRequestHead(c);
      if (head.empty()) return;
      std::string body = head.find("GET /info.cgi?resolutions") == 0 ? resolutions
                         : head.find("GET /info.cgi") == 0          ? info
                                                                    : "ok\r\n";
      c.SendAll("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body, 5000,
                s.Stopping());
    }
  };
}

TEST(CapabilityQuery, FailureMessagesOfTheCamerasReplies) {
  struct Case {
    std::string info;
    std::string resolutions;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"vendor=V\r\ntype=T\r\n", "0,640x480,30\r\n", "Failed to get camera properties: Failed to get model information!"},
      {"vendor=V\r\ntype=T\r\nsubtype=S\r\nvideo_inputs=1\r\n", "0,640x480,31\r\n",
       "Failed to get camera properties: Failed to get model resolutions!"},
      {"vendor=V\r\ntype=T\r\nsubtype=S\r\n", "0,640x480,30\r\n", "Failed to save capability query results"},
  };
  for (const Case& c : cases) {
    ScriptedServer camera(Camera(c.info, c.resolutions));
    host::QueryClient client;
    host::ResultSink sink;
    CQuellonCapabilityQueryModule module(&client, 0);
    ASSERT_TRUE(module.Start("127.0.0.1", camera.Port(), "u", "p", &sink));
    ASSERT_EQ(Outcome::Failed, client.Wait(20000));
    EXPECT_EQ(3u, client.Code());
    EXPECT_EQ(c.message, client.Message());
  }
}

// Runs one query against the camera on port, which must fail with code 3;
// its message.
std::string FailureOf(uint16_t port) {
  host::QueryClient client;
  host::ResultSink sink;
  CQuellonCapabilityQueryModule module(&client, 0);
  EXPECT_TRUE(module.Start("127.0.0.1", port, "u", "p", &sink));
  EXPECT_EQ(Outcome::Failed, client.Wait(20000));
  EXPECT_EQ(3u, client.Code());
  return client.Message();
}

TEST(CapabilityQuery, AHugePageFailsTheQueryNamingThePageAndIsNotReadWhole) {
  // 50 MB of /info.cgi, with and without a length: the read stops past 1 MiB.
  for (bool withLength : {true, false}) {
    std::atomic<size_t> sent{0};
    ScriptedServer camera([&](platform::TcpSocket& c, ScriptedServer& s) {
      for (;;) {
        const std::string head = s.ReadRequestHead(c);
        if (head.empty()) return;
        if (head.find("GET /info.cgi ") != 0) {
          c.SendAll("HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nok\r\n", 5000, s.Stopping());
          continue;
        }
        const size_t total = 50u << 20;
        c.SendAll(withLength ? "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(total) + "\r\n\r\n"
                             : std::string("HTTP/1.0 200 OK\r\n\r\n"),
                  5000, s.Stopping());
        const std::string chunk(64 << 10, 'a');
        for (size_t n = 0; n < total; n += chunk.size()) {
          if (c.SendAll(chunk, 2000, s.Stopping()) != platform::IoStatus::Ok) return;
          sent += chunk.size();
        }
        return;
      }
    });
    EXPECT_EQ("Failed to get camera properties: the reply to \"/info.cgi\" is larger than 1048576 bytes",
              FailureOf(camera.Port()));
    // What the camera got rid of is what the library read, plus the
    // system's socket buffers: far from the 50 MB.
    EXPECT_LT(sent.load(), static_cast<size_t>(16u << 20)) << "with length: " << withLength;
  }
}

TEST(CapabilityQuery, AHostileCameraGivesSaneResultsWithItsValuesNoted) {
  // 70,000 lines: as many as fit in the page bound.
  std::string resolutions;
  for (int i = 0; i < 70000; ++i) resolutions += "0,640x480,25\r\n";
  ScriptedServer camera(Camera("vendor=V\r\ntype=T\r\nsubtype=S\r\nvideo_inputs=1\r\nexternal_inputs=-3\r\n"
                               "relay=99999999999\r\n",
                               resolutions));
  host::QueryClient client;
  host::ResultSink sink;
  CQuellonCapabilityQueryModule module(&client, 0);
  ASSERT_TRUE(module.Start("127.0.0.1", camera.Port(), "u", "p", &sink));
  ASSERT_EQ(Outcome::Completed, client.Wait(20000)) << client.Message();
  EXPECT_EQ(0u, sink.Capabilities().count(2)) << "no alarm inputs reported";
  EXPECT_EQ(0u, sink.Capabilities().count(3)) << "no relays reported";
  std::map<int, std::string> properties;
  for (const auto& p : sink.Properties()) properties[p.index] = p.value;
  EXPECT_EQ("640x480", properties[4]);
  EXPECT_EQ("external_inputs=\"-3\" ignored: not a number from 0 to 64; "
            "relay=\"99999999999\" ignored: not a number from 0 to 64",
            properties[5]);

  // 100,000 lines (1.4 MB) pass the page bound.
  for (int i = 0; i < 30000; ++i) resolutions += "0,640x480,25\r\n";
  ScriptedServer larger(Camera("vendor=V\r\ntype=T\r\nsubtype=S\r\nvideo_inputs=1\r\n", resolutions));
  EXPECT_EQ("Failed to get camera properties: the reply to \"/info.cgi?resolutions&api=2\" is larger than 1048576 bytes",
            FailureOf(larger.Port()));
}

TEST(CapabilityQuery, TerminateCutsAHangingRequestShort) {
  ScriptedServer camera([](platform::TcpSocket& c, ScriptedServer& s) {
    s.ReadRequestHead(c);
    s.Stopping()->Wait(platform::kInfinite);
  });
  host::QueryClient client;
  host::ResultSink sink;
  CQuellonCapabilityQueryModule module(&client, 0);
  ASSERT_TRUE(module.Start("127.0.0.1", camera.Port(), "u", "p", &sink));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const auto start = std::chrono::steady_clock::now();
  module.Terminate();
  ASSERT_EQ(Outcome::Failed, client.Wait(20000));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2)) << "not the 5 s request time-out";
  EXPECT_EQ(3u, client.Code());
  EXPECT_EQ("Failed to get camera properties", client.Message());
}

// Properties deaf to the stop request: they answer (a failure) only when the
// test lets them, and say when the thread let go of them.
std::atomic<bool> g_stuckDestroyed{false};
CManualEvent g_stuckRelease;

class StuckProperties : public CBaseCameraProperties {
 public:
  StuckProperties() : CBaseCameraProperties(DEVICE_INFO(), 0) {}
  ~StuckProperties() override { g_stuckDestroyed = true; }
  bool FillProperties(ipcapture::ICapabilityResultSink*) override { return true; }
  bool QueryProperties(int*) override {
    g_stuckRelease.Wait(kWaitInfinite);
    return false;
  }
};

class StuckModule : public CCapabilityQueryModule {
 public:
  explicit StuckModule(ipcapture::ICapabilityQueryClient* client) : CCapabilityQueryModule(client, 0) {
    device_.ConnectTimeout = 150;  // the delete's limit is twice this
  }
  ~StuckModule() override { Shutdown(); }

 protected:
  CBaseCameraProperties* CreateCameraProperties() override { return new StuckProperties(); }
};

// The Quellon module with a short limit, for deletes that must give up.
class ShortLimitModule : public CQuellonCapabilityQueryModule {
 public:
  explicit ShortLimitModule(ipcapture::ICapabilityQueryClient* client) : CQuellonCapabilityQueryModule(client, 0) {
    device_.ConnectTimeout = 150;
  }
};

long long MillisecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}

TEST(CapabilityQuery, AQueryDeafToTheStopIsLeftToEndAndCallsTheClientNoMore) {
  g_stuckDestroyed = false;
  g_stuckRelease.Reset();
  host::QueryClient client;
  host::ResultSink sink;
  auto* module = new StuckModule(&client);
  ASSERT_TRUE(module->Start("127.0.0.1", 80, "u", "p", &sink));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const auto start = std::chrono::steady_clock::now();
  delete module;
  EXPECT_LT(MillisecondsSince(start), 5000) << "the delete waits about 300 ms, not for the thread's end";
  EXPECT_EQ(Outcome::Killed, client.Wait(0));
  EXPECT_FALSE(g_stuckDestroyed.load()) << "what the thread still uses stays alive";
  // Now it fails, as a query does: the client is not told any more.
  g_stuckRelease.Set();
  ASSERT_TRUE(WaitUntil([] { return g_stuckDestroyed.load(); }, 5000)) << "the thread let its job go as it ended";
  EXPECT_EQ(1, client.Callbacks()) << "OnQueryKilled is the last word";
}

// A client that deletes its module from inside its outcome, as a host
// closing a dialog on the answer does.
class DeletingClient final : public ipcapture::ICapabilityQueryClient {
 public:
  KESTRUM_DESTRUCTOR_SLOT(DeletingClient)
  void OnQueryCompleted() override { Finish(1); }
  void OnQueryFailed(uint32_t, const char*) override { Finish(2); }
  void OnQueryKilled() override { ++killed; }
  ipcapture::IIPCapabilityQuery* module = nullptr;
  std::atomic<int> outcome{0};
  std::atomic<int> killed{0};

 private:
  void Finish(int value) {
    ipcapture::DestroyThroughInterface(module);
    outcome = value;
  }
};

TEST(CapabilityQuery, DeletedFromInsideItsOwnOutcome) {
  sim::Simulator simulator{sim::SimOptions()};
  std::string error;
  ASSERT_TRUE(simulator.Start(error)) << error;
  host::ResultSink sink;
  // Completed against the simulator; failed at once for an invalid address.
  for (const char* address : {"127.0.0.1", "cam@host"}) {
    DeletingClient client;
    client.module = new CQuellonCapabilityQueryModule(&client, 0);
    ASSERT_TRUE(client.module->Start(address, simulator.HttpPort(0), "admin", "admin", &sink));
    ASSERT_TRUE(WaitUntil([&] { return client.outcome.load() != 0; }, 20000)) << address;
    EXPECT_EQ(std::string(address) == "cam@host" ? 2 : 1, client.outcome.load()) << address;
    EXPECT_EQ(0, client.killed.load()) << "deleted from inside, the query was not killed: it had ended";
  }
  simulator.Stop();
}

TEST(CapabilityQuery, DeletedUnderAHostLockItsOutcomeWaitsFor) {
  // One lock around the host's calls that its callbacks take too.
  struct LockingClient final : ipcapture::ICapabilityQueryClient {
    KESTRUM_DESTRUCTOR_SLOT(LockingClient)
    void OnQueryCompleted() override { Note(); }
    void OnQueryFailed(uint32_t, const char*) override { Note(); }
    void OnQueryKilled() override {
      std::lock_guard<std::recursive_mutex> guard(hostLock);
      ++killed;
    }
    void Note() {
      entering = true;
      { std::lock_guard<std::recursive_mutex> guard(hostLock); }
      ++outcomes;  // last: the test may end once it reads it
    }
    std::recursive_mutex hostLock;
    std::atomic<bool> entering{false};
    std::atomic<int> outcomes{0};
    std::atomic<int> killed{0};
  } client;
  host::ResultSink sink;
  {
    std::lock_guard<std::recursive_mutex> guard(client.hostLock);
    auto* module = new ShortLimitModule(&client);
    ASSERT_TRUE(module->Start("cam@host", 80, "u", "p", &sink));
    ASSERT_TRUE(WaitUntil([&] { return client.entering.load(); }, 5000));
    const auto start = std::chrono::steady_clock::now();
    ipcapture::DestroyThroughInterface(module);
    EXPECT_LT(MillisecondsSince(start), 5000) << "the delete gives up after about 300 ms";
    EXPECT_EQ(1, client.killed.load()) << "the host hears the query did not end in time";
  }
  // Let go, the outcome the thread was already giving arrives; nothing after.
  ASSERT_TRUE(WaitUntil([&] { return client.outcomes.load() == 1; }, 5000));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(1, client.outcomes.load());
}

// A sink that blocks in its first call until told, and counts the calls
// that come after the module was deleted.
class BlockingSink final : public ipcapture::ICapabilityResultSink {
 public:
  KESTRUM_DESTRUCTOR_SLOT(BlockingSink)
  void SetCapability(uint32_t, uint32_t) override { Note(); }
  void SetModelName(const char*) override {
    Note();
    entered = true;
    release.Wait(kWaitInfinite);
  }
  ipcapture::ICapabilityTextEntry* GetConnectionValue(uint32_t) override { return Note(); }
  ipcapture::ICapabilityProperty* AddProperty(int) override { return Note(); }
  ipcapture::ICapabilityResolutionList* GetResolutionList() override { return Note(); }
  ipcapture::ICapabilityFrameRateList* GetFrameRateList(uint32_t) override { return Note(); }

  std::atomic<bool> entered{false};
  std::atomic<bool> deleted{false};
  std::atomic<int> afterDelete{0};
  CManualEvent release;

 private:
  std::nullptr_t Note() {
    if (deleted.load()) ++afterDelete;
    return nullptr;
  }
};

TEST(CapabilityQuery, ASinkThatBlocksPastTheDeleteIsNotCalledAfterIt) {
  sim::Simulator simulator{sim::SimOptions()};
  std::string error;
  ASSERT_TRUE(simulator.Start(error)) << error;
  host::QueryClient client;
  // Outlives the test: the thread leaves its call after the test's end.
  static BlockingSink& sink = *new BlockingSink;
  auto* module = new ShortLimitModule(&client);
  ASSERT_TRUE(module->Start("127.0.0.1", simulator.HttpPort(0), "admin", "admin", &sink));
  ASSERT_TRUE(WaitUntil([&] { return sink.entered.load(); }, 20000));
  delete module;
  sink.deleted = true;
  EXPECT_EQ(Outcome::Killed, client.Wait(0));
  sink.release.Set();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(0, sink.afterDelete.load()) << "the sink was called after the delete returned";
  EXPECT_EQ(1, client.Callbacks());
  simulator.Stop();
}

}  // namespace
