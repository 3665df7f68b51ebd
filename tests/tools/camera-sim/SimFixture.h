// Runs the simulator in the test process and reaches it over loopback HTTP.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "tests/support/CurlClient.h"
#include "tools/camera-sim/Simulator.h"

namespace kestrum {
namespace testing {

class SimFixture : public ::testing::Test {
 protected:
  void StartSim(const sim::SimOptions& options) {
    sim_ = std::make_unique<sim::Simulator>(options);
    std::string error;
    ASSERT_TRUE(sim_->Start(error)) << error;
  }
  void TearDown() override {
    if (sim_) sim_->Stop();
  }
  std::string Url(const std::string& path, size_t camera = 0) const {
    return "http://127.0.0.1:" + std::to_string(sim_->HttpPort(camera)) + path;
  }
  CurlReply Get(const std::string& path, CurlAuth auth = CurlAuth::None, const std::string& user = "admin",
                const std::string& password = "admin", size_t camera = 0) {
    return CurlGet(Url(path, camera), auth, user, password);
  }
  nlohmann::json State(size_t camera = 0) {
    return nlohmann::json::parse(CurlGet(Url("/sim/state", camera)).body);
  }
  void Fault(const std::string& name, uint32_t value, size_t camera = 0) {
    ASSERT_EQ(200, CurlGet(Url("/sim/fault?name=" + name + "&value=" + std::to_string(value), camera)).status);
  }

  std::unique_ptr<sim::Simulator> sim_;
};

}  // namespace testing
}  // namespace kestrum
