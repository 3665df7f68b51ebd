#include "bench/soak/SoakReport.h"

#include <cstdio>

namespace kestrum {
namespace soak {

std::string SampleHeader() {
  return "seconds,resident_kib,mapped_kib,heap_in_use_kib,heap_held_kib,threads,descriptors,pictures,faults";
}

std::string SampleLine(const Sample& s) {
  char line[256];
  std::snprintf(line, sizeof line, "%.1f,%llu,%llu,%llu,%llu,%u,%u,%llu,%u", s.seconds,
                static_cast<unsigned long long>(s.stats.residentBytes / 1024),
                static_cast<unsigned long long>(s.stats.mappedBytes / 1024),
                static_cast<unsigned long long>(s.stats.heapInUseBytes / 1024),
                static_cast<unsigned long long>(s.stats.heapHeldBytes / 1024), s.stats.threads, s.stats.descriptors,
                static_cast<unsigned long long>(s.pictures), s.faults);
  return line;
}

Growth GrowthBetween(uint64_t first, uint64_t last) {
  Growth growth;
  growth.bytes = static_cast<int64_t>(last) - static_cast<int64_t>(first);
  growth.percent = first > 0 ? 100.0 * static_cast<double>(growth.bytes) / static_cast<double>(first) : 0;
  return growth;
}

std::vector<Unexplained> UnexplainedOutages(const std::vector<SoakCamera*>& cameras,
                                            const std::map<uint16_t, std::vector<Span>>& windows, double now,
                                            double grace, double startup) {
  std::vector<Unexplained> found;
  static const std::vector<Span> kNone;
  for (const SoakCamera* camera : cameras) {
    const auto it = windows.find(camera->HttpPort());
    const std::vector<Span>& faults = it != windows.end() ? it->second : kNone;
    for (const Span& outage : camera->Outages(now)) {
      if (outage.to <= startup) continue;
      bool explained = false;
      for (const Span& fault : faults) {
        explained = explained || (outage.from <= fault.to + grace && outage.to >= fault.from);
      }
      if (!explained) found.push_back({camera->Name(), outage});
    }
  }
  return found;
}

}  // namespace soak
}  // namespace kestrum
