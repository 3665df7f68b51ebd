// The camera's digital I/O against the simulator, with a test driver.
#include "io/DigitalIO.h"

#include <gtest/gtest.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <thread>

#include "tests/support/CurlClient.h"
#include "tests/support/FakeDriver.h"
#include "tests/support/TestUtil.h"
#include "tools/camera-sim/Simulator.h"
#include "tools/hostlib/HostCapability.h"

using namespace kestrum;
using namespace kestrum::testing;

namespace {

class DigitalIO : public ::testing::Test {
 protected:
  void Start(uint32_t inputs, uint32_t outputs) {
    sim::SimOptions options;
    options.inputs = 2;
    options.relays = 1;
    sim_ = std::make_unique<sim::Simulator>(options);
    std::string error;
    ASSERT_TRUE(sim_->Start(error)) << error;
    driver_.device.Port = sim_->HttpPort(0);
    driver_.ioCounts.InputCount = inputs;
    driver_.ioCounts.OutputCount = outputs;
    io_ = std::make_unique<CDigitalIO>(&driver_);
    io_->SetPollPeriod(200);
    ASSERT_TRUE(io_->SetIOCallback(&events_));
  }
  void TearDown() override {
    io_.reset();
    if (sim_) sim_->Stop();
  }
  std::string Url(const std::string& path) { return "http://127.0.0.1:" + std::to_string(sim_->HttpPort(0)) + path; }
  std::vector<int> RelayHistory() { return sim_->State(0).RelayHistory(); }
  size_t Changes() {
    size_t n = 0;
    for (const auto& e : events_.Events()) n += e.reset ? 0 : 1;
    return n;
  }

  FakeDriver driver_;
  host::IOEventLog events_;
  std::unique_ptr<sim::Simulator> sim_;
  std::unique_ptr<CDigitalIO> io_;
};

TEST_F(DigitalIO, InputChangesAreReportedOncePerChange) {
  Start(2, 0);
  ASSERT_TRUE(io_->StartIO());
  // First poll at once: both inputs read 0 on the camera, which is state 2.
  ASSERT_TRUE(WaitUntil([&] { return Changes() >= 2; }, 2000));
  std::this_thread::sleep_for(std::chrono::milliseconds(600));  // several more polls
  EXPECT_EQ(2u, Changes()) << "unchanged inputs are not reported again";
  ASSERT_EQ(200, CurlGet(Url("/sim/input?n=2&state=1")).status);
  ASSERT_TRUE(WaitUntil([&] { return Changes() >= 3; }, 2000));
  const auto last = events_.Events().back();
  EXPECT_EQ(1u, last.input) << "camera input 2 is host input 1";
  EXPECT_EQ(1u, last.state);
  EXPECT_TRUE(io_->StopIO());
  EXPECT_TRUE(driver_.Lines().empty());
}

TEST_F(DigitalIO, WorkersAreNamedAfterTheDriver) {
  Start(1, 1);
  ASSERT_TRUE(io_->StartIO());
  EXPECT_EQ("Digital Input thread (QuellonIPCapture)", io_->InputThreadName());
  EXPECT_EQ("Digital Output thread (QuellonIPCapture)", io_->OutputThreadName());
  EXPECT_TRUE(io_->StopIO());
}

TEST_F(DigitalIO, OnlyTheWorkersTheDeviceNeeds) {
  Start(0, 1);
  ASSERT_TRUE(io_->StartIO());
  EXPECT_EQ("", io_->InputThreadName()) << "no inputs, no input thread";
  EXPECT_TRUE(io_->StopIO());
}

TEST_F(DigitalIO, RelayRequestsInOrderWithoutRepeats) {
  Start(0, 1);
  ASSERT_TRUE(io_->StartIO());
  ASSERT_TRUE(WaitUntil([&] { return RelayHistory().size() >= 1; }));
  EXPECT_EQ((std::vector<int>{0}), RelayHistory()) << "driven to state 1 (relay=0) at start";
  EXPECT_TRUE(io_->SetOutputState(0, 2));
  EXPECT_TRUE(io_->SetOutputState(0, 2));  // the camera has it: not written again
  EXPECT_TRUE(io_->SetOutputState(0, 1));
  EXPECT_TRUE(io_->SetOutputState(5, 2)) << "an index beyond the outputs is queued but does nothing";
  ASSERT_TRUE(WaitUntil([&] { return RelayHistory().size() >= 3; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ((std::vector<int>{0, 1, 0}), RelayHistory());
  EXPECT_TRUE(io_->StopIO());
  EXPECT_FALSE(io_->SetOutputState(0, 2)) << "refused after StopIO";
}

TEST_F(DigitalIO, AFailedWriteIsReportedOnceAndRetriedNextTime) {
  Start(0, 1);
  ASSERT_TRUE(io_->StartIO());
  ASSERT_TRUE(WaitUntil([&] { return RelayHistory().size() >= 1; }));
  ASSERT_EQ(200, CurlGet(Url("/sim/fault?name=error500&value=1")).status);
  io_->SetOutputState(0, 2);
  io_->SetOutputState(0, 1);
  ASSERT_TRUE(WaitUntil([&] { return events_.Events().size() >= 2; }));
  const std::string line = "kestrum::CIOBase::SetOutputStateWrapper: Unable to change output state for device "
                           "127.0.0.1:" + std::to_string(sim_->HttpPort(0)) + " (output index 0)";
  auto lines = driver_.Matching("Unable to change output state");
  ASSERT_EQ(1u, lines.size()) << "one line per failure streak";
  EXPECT_EQ(line, lines[0].text);
  EXPECT_EQ(1u, lines[0].level);
  ASSERT_EQ(200, CurlGet(Url("/sim/fault?name=error500&value=0")).status);
  io_->SetOutputState(0, 1);  // the tables were reset, so this is sent again
  ASSERT_TRUE(WaitUntil([&] { return RelayHistory().size() >= 2; }));
  EXPECT_EQ(0, RelayHistory().back());
  EXPECT_TRUE(io_->StopIO());
}

TEST_F(DigitalIO, APollCutShortByStopIsNoFailure) {
  Start(2, 0);
  ASSERT_TRUE(io_->StartIO());
  ASSERT_TRUE(WaitUntil([&] { return Changes() >= 2; }, 2000));
  // Replies now take 3 s: the next poll is still waiting when StopIO comes.
  ASSERT_EQ(200, CurlGet(Url("/sim/fault?name=slow&value=3000")).status);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const size_t events = events_.Events().size();
  EXPECT_TRUE(io_->StopIO());
  EXPECT_TRUE(driver_.Matching("GetInputStates() method failed!").empty());
  EXPECT_EQ(events, events_.Events().size()) << "no reset reported for the camera";
}

TEST_F(DigitalIO, AFailingCameraResetsOnEveryPollAndLogsOncePerStreak) {
  Start(2, 0);
  ASSERT_TRUE(io_->StartIO());
  ASSERT_TRUE(WaitUntil([&] { return Changes() >= 2; }, 2000));
  ASSERT_EQ(200, CurlGet(Url("/sim/fault?name=error500&value=1")).status);
  auto resets = [&] {
    size_t n = 0;
    for (const auto& e : events_.Events()) n += e.reset ? 1 : 0;
    return n;
  };
  EXPECT_TRUE(WaitUntil([&] { return resets() >= 2; }, 5000)) << "one reset per failing poll";
  // The line of the first failing poll is written right after its reset.
  EXPECT_EQ(1u, driver_.Matching("GetInputStates() method failed!").size());
  ASSERT_EQ(200, CurlGet(Url("/sim/fault?name=error500&value=0")).status);
  ASSERT_TRUE(WaitUntil([&] { return Changes() >= 4; }, 2000)) << "after a reset every input is reported again";
  ASSERT_EQ(200, CurlGet(Url("/sim/fault?name=error500&value=1")).status);
  ASSERT_TRUE(WaitUntil([&] { return driver_.Matching("GetInputStates() method failed!").size() == 2; }, 2000))
      << "a new streak is logged again";
  EXPECT_EQ("kestrum::CIOBase::GetInputStatesWrapper: GetInputStates() method failed! Device 127.0.0.1:" +
                std::to_string(sim_->HttpPort(0)),
            driver_.Matching("GetInputStates")[0].text);
  EXPECT_TRUE(io_->StopIO());
}

}  // namespace
