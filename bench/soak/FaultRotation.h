// The simulator's faults, one camera at a time: every period a camera drawn
// at random gets a fault drawn from those its stream kind feels, for a
// while, then the fault is cleared. Each camera's fault windows are kept.
#pragma once

#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "bench/soak/SoakCamera.h"

namespace kestrum {
namespace soak {

struct Fault {
  std::string name;
  uint32_t value = 1;  // 0 clears it
};

// The faults a camera of this kind ("mjpeg", "udp", "tcp", "interleaved") is put through.
std::vector<Fault> FaultsFor(const std::string& kind);

class FaultRotation {
 public:
  FaultRotation(std::string address, double periodSeconds, double lengthSeconds, uint32_t seed);

  // Called often: starts and ends faults on time. Fills told with a line for
  // each fault switched (on or off) or that the simulator refused.
  void Tick(double now, const std::vector<SoakCamera*>& cameras, std::vector<std::string>& told);
  // Clears a fault still on (at the end of the run).
  void Clear(std::vector<std::string>& told);
  // Room for this many fault windows on each camera, taken now (see
  // SoakCamera::Reserve).
  void Reserve(const std::vector<SoakCamera*>& cameras, size_t faults);

  uint32_t Count() const { return count_; }
  // Each camera's fault windows, by HTTP port.
  const std::map<uint16_t, std::vector<Span>>& Windows() const { return windows_; }

 private:
  bool Send(uint16_t port, const Fault& fault, std::string& error);

  const std::string address_;
  const double period_;
  const double length_;
  std::mt19937 random_;
  double next_ = 0;
  uint32_t count_ = 0;
  // The fault on now, if any.
  bool on_ = false;
  uint16_t port_ = 0;
  Fault fault_;
  std::map<uint16_t, std::vector<Span>> windows_;
};

}  // namespace soak
}  // namespace kestrum
