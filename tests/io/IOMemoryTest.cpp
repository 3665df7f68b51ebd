// The host's I/O calls when memory runs out at any allocation inside them:
// each returns (false where it could not do its work), nothing escapes to
// the host, and the object works again once memory is back. Its own
// program: it replaces operator new.
#include <gtest/gtest.h>

#include <atomic>

#include "io/IOBase.h"
#include "tests/support/FakeDriver.h"
#include "tests/support/RefusingAllocator.h"

using namespace kestrum;
using namespace kestrum::testing;

namespace {

// A camera that answers at once, so only memory can make a call fail.
class InstantIO : public CIOBase {
 public:
  explicit InstantIO(IDriver* driver) : CIOBase(driver) { SetPollPeriod(10); }
  ~InstantIO() override { StopThreads(); }
  std::atomic<int> writes{0};

 protected:
  bool WriteOutputState(uint32_t, uint32_t) override {
    ++writes;
    return true;
  }
  bool GetInputStates(uint32_t) override { return true; }
};

class NullCallback final : public ICaptureIOCallback {
 public:
  KESTRUM_DESTRUCTOR_SLOT(NullCallback)
  void OnInputStateChanged(uint32_t, uint32_t) override {}
  void OnIOStatesReset() override {}
};

TEST(IOMemory, EveryHostCallReturnsWhicheverAllocationFails) {
  FakeDriver driver;
  driver.ioCounts.InputCount = 2;
  driver.ioCounts.OutputCount = 1;
  NullCallback callback;
  // Enough steps to reach past the last allocation of the sequence.
  for (long allowed = 0; allowed < 120; ++allowed) {
    InstantIO io(&driver);
    bool threw = false;
    RefuseAllocationsAfter(allowed);
    try {
      io.SetIOCallback(&callback);
      io.StartIO();
      io.SetOutputState(0, 2);
      io.StopIO();
    } catch (...) {
      threw = true;
    }
    RefuseAllocations(false);
    ASSERT_FALSE(threw) << "an exception left a host call with " << allowed << " allocations allowed";
    // Whatever failed before, the object is whole.
    ASSERT_TRUE(io.SetIOCallback(&callback));
    ASSERT_TRUE(io.StartIO()) << "after " << allowed << " allocations allowed; last line: "
                              << (driver.Lines().empty() ? std::string() : driver.Lines().back().text);
    EXPECT_TRUE(io.SetOutputState(0, 2));
    EXPECT_TRUE(io.StopIO());
  }
}

TEST(IOMemory, ARelayRequestWithoutMemoryIsRefusedAndSaid) {
  FakeDriver driver;
  driver.ioCounts.OutputCount = 1;
  InstantIO io(&driver);
  ASSERT_TRUE(io.StartIO());
  RefuseAllocations(true);
  const bool accepted = io.SetOutputState(0, 2);
  RefuseAllocations(false);
  EXPECT_FALSE(accepted);
  EXPECT_TRUE(io.StopIO());
}

}  // namespace
