// camera-sim: Quellon network cameras on loopback, for the demo and the
// end-to-end tests.
#include <cstdio>
#include <string>
#include <vector>

#include "platform/Process.h"
#include "platform/System.h"
#include "tools/camera-sim/SimOptions.h"
#include "tools/camera-sim/Simulator.h"

using namespace kestrum;

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  sim::SimOptions options;
  std::string error;
  if (!sim::ParseSimOptions(args, options, error)) {
    std::fprintf(stderr, "camera-sim: %s\n%s", error.c_str(), sim::SimUsage());
    return 2;
  }
  if (options.help) {
    std::fputs(sim::SimUsage(), stdout);
    return 0;
  }
  // Each camera holds a few descriptors, and more while it streams.
  platform::RaiseOpenFileLimit();
  // Before any thread exists, so that only the main thread takes the signals.
  platform::BlockTerminationSignals();
  sim::Simulator simulator(options);
  if (!simulator.Start(error)) {
    std::fprintf(stderr, "camera-sim: %s\n", error.c_str());
    return 1;
  }
  const char* auth = options.auth.mode == sim::AuthMode::None    ? "none"
                     : options.auth.mode == sim::AuthMode::Basic ? "basic"
                                                                 : "digest";
  for (size_t i = 0; i < simulator.CameraCount(); ++i) {
    std::printf("camera %zu: http://127.0.0.1:%u/ rtsp://127.0.0.1:%u/nph-h264.cgi auth=%s\n", i + 1,
                simulator.HttpPort(i), simulator.RtspPort(i), auth);
  }
  std::fflush(stdout);
  int signal = platform::WaitForTerminationSignal();
  std::fprintf(stderr, "camera-sim: signal %d, shutting down\n", signal);
  simulator.Stop();
  return 0;
}
