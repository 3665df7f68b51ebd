// What the channel tests share: stream parameters as a host gives them, and
// a fixture with the simulator running in the test process, a test driver
// whose time-outs are short, and a collecting frame sink.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "driver/ICameraChannel.h"
#include "tests/support/CurlClient.h"
#include "tests/support/FakeDriver.h"
#include "tools/camera-sim/Simulator.h"
#include "tools/hostlib/HostFrames.h"

namespace kestrum {
namespace testing {

inline StreamParams Params(uint32_t interval, uint32_t quality, uint32_t width, uint32_t height) {
  StreamParams p;
  p.FrameInterval = interval;
  p.Quality = quality;
  p.Width = width;
  p.Height = height;
  return p;
}

template <class Channel>
class ChannelSimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sim_ = std::make_unique<sim::Simulator>(sim::SimOptions());
    std::string error;
    ASSERT_TRUE(sim_->Start(error)) << error;
    driver_.device.Port = sim_->HttpPort(0);
    driver_.rtspPort = sim_->RtspPort(0);
  }
  void TearDown() override {
    channel_.reset();
    sim_->Stop();
  }
  std::string SimUrl(const std::string& path) { return "http://127.0.0.1:" + std::to_string(sim_->HttpPort(0)) + path; }
  nlohmann::json SimState() { return nlohmann::json::parse(CurlGet(SimUrl("/sim/state")).body); }
  void Fault(const std::string& name, uint32_t value) {
    ASSERT_EQ(200, CurlGet(SimUrl("/sim/fault?name=" + name + "&value=" + std::to_string(value))).status);
  }

  FakeDriver driver_;
  host::CollectingFrameSink sink_{false};
  std::unique_ptr<sim::Simulator> sim_;
  std::unique_ptr<Channel> channel_;
};

}  // namespace testing
}  // namespace kestrum
