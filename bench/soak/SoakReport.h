// What a soak run found: the samples taken, and from them the growth between
// the reference point (after the warm-up) and the end, and the outages that
// no fault explains.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "bench/soak/SoakCamera.h"
#include "platform/ProcessStats.h"

namespace kestrum {
namespace soak {

struct Sample {
  double seconds = 0;
  platform::ProcessStats stats;
  uint64_t pictures = 0;
  uint32_t faults = 0;
};

std::string SampleHeader();  // the CSV header line
std::string SampleLine(const Sample& sample);

struct Growth {
  int64_t bytes = 0;
  double percent = 0;
  // Less than 1 % or less than 256 KiB, as a recorder can live with for months.
  bool Bounded() const { return bytes < 256 * 1024 || percent < 1.0; }
};
Growth GrowthBetween(uint64_t first, uint64_t last);

// An outage is explained by a fault window of its camera when the two
// overlap, the window stretched by grace seconds after it ends (the time a
// reconnect takes), or when it ends before startup seconds (the first
// connection).
struct Unexplained {
  std::string camera;
  Span outage;
};
std::vector<Unexplained> UnexplainedOutages(const std::vector<SoakCamera*>& cameras,
                                            const std::map<uint16_t, std::vector<Span>>& windows, double now,
                                            double grace, double startup);

}  // namespace soak
}  // namespace kestrum
