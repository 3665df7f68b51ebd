// Replays the inputs of fuzz corpora through a fuzz target's entry point,
// where libFuzzer does not run (the Windows build, and the Linux builds
// without it): every file of every folder named on the command line, in
// name order. A broken invariant traps and ends the program with a failure.
//
// The inputs run on a thread of the driver's own kind, with the stack the
// driver's threads reserve, as the parsers do in a recorder: an input that
// would overflow it crashes here. The deepest use is printed and must leave
// half the reservation free.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/Thread.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

struct Replay {
  std::vector<std::string> folders;
  size_t inputs = 0;
};

uint32_t ReplayAll(void* argument) {
  auto* replay = static_cast<Replay*>(argument);
  for (const std::string& folder : replay->folders) {
    std::error_code error;
    if (!std::filesystem::is_directory(folder, error)) {
      std::printf("no corpus at %s (skipped)\n", folder.c_str());
      continue;
    }
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
      if (entry.is_regular_file()) files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    for (const auto& file : files) {
      std::ifstream in(file, std::ios::binary);
      std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      // libFuzzer never passes a null pointer, even for an empty input.
      static const uint8_t kEmpty = 0;
      LLVMFuzzerTestOneInput(bytes.empty() ? &kEmpty : bytes.data(), bytes.size());
      ++replay->inputs;
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Replay replay;
  replay.folders.assign(argv + 1, argv + argc);
  kestrum::platform::EnableStackMeasurement();
  kestrum::platform::NativeThread thread;
  if (!thread.Start(&ReplayAll, &replay, "replay")) {
    std::printf("cannot start the replay thread: %s\n", kestrum::platform::ThreadStartFailure().c_str());
    return 1;
  }
  thread.Join(kestrum::platform::kInfinite);
  std::printf("%zu inputs replayed\n", replay.inputs);
  bool roomy = true;
  for (const kestrum::platform::StackUse& use : kestrum::platform::MeasuredStackUse()) {
    std::printf("deepest stack: %zu of %zu bytes\n", use.deepest, use.reserved);
    roomy = roomy && use.deepest <= use.reserved / 2;
  }
  if (!roomy) std::printf("the parsers took more than half of a driver thread's stack\n");
  return replay.inputs > 0 && roomy ? 0 : 1;
}
