// The host's frame pool over a long recording of mixed pictures (large key
// frames, small predicted ones, Motion JPEG between): small pictures get the
// smallest frame that fits, and the spares do not drift to the largest
// picture ever seen.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "tools/hostlib/HostFrames.h"

using namespace kestrum;
using namespace kestrum::host;

namespace {

uint32_t Capacity(ipcapture::IHostFrame* frame) { return static_cast<HeapFrame*>(frame)->Capacity(); }

TEST(HeapFrameAllocator, ASmallPictureGetsTheSmallestSpareThatFits) {
  HeapFrameAllocator allocator;
  ipcapture::IHostFrame* large = allocator.CreateFrame(0, 100000, "t");
  ipcapture::IHostFrame* small = allocator.CreateFrame(0, 6000, "t");
  allocator.ReleaseFrame(large);
  allocator.ReleaseFrame(small);
  ipcapture::IHostFrame* again = allocator.CreateFrame(0, 5000, "t");
  EXPECT_LT(Capacity(again), 100000u) << "the key-frame-sized spare stays for a key frame";
  ipcapture::IHostFrame* key = allocator.CreateFrame(0, 90000, "t");
  EXPECT_GE(Capacity(key), 100000u);
  allocator.ReleaseFrame(again);
  allocator.ReleaseFrame(key);
  EXPECT_EQ(0, allocator.Outstanding());
}

TEST(HeapFrameAllocator, SparesStayNearWhatIsAskedForOverALongRun) {
  HeapFrameAllocator allocator;
  std::mt19937 random(5);
  // Thirty-two cameras' pictures, a few in flight at once; now and then an
  // unusually large one.
  std::vector<ipcapture::IHostFrame*> inFlight;
  uint64_t newestLarge = 0;
  for (int i = 0; i < 200000; ++i) {
    const uint32_t pick = random() % 1000;
    const uint32_t size = pick == 0 ? 400000 + random() % 100000 : pick < 40 ? 60000 : pick < 300 ? 30000 : 4000;
    if (pick == 0) newestLarge = static_cast<uint64_t>(i);
    inFlight.push_back(allocator.CreateFrame(0, size, "t"));
    ASSERT_GE(Capacity(inFlight.back()), size);
    if (inFlight.size() > 4 || random() % 2 == 0) {
      const size_t at = random() % inFlight.size();
      allocator.ReleaseFrame(inFlight[at]);
      inFlight.erase(inFlight.begin() + static_cast<std::ptrdiff_t>(at));
    }
  }
  for (ipcapture::IHostFrame* frame : inFlight) allocator.ReleaseFrame(frame);
  // What the spares hold, asked for by size: eight 60 KB pictures take what
  // the pool keeps, not the large ones of long ago.
  uint64_t held = 0;
  std::vector<ipcapture::IHostFrame*> taken;
  for (int i = 0; i < 8; ++i) {
    taken.push_back(allocator.CreateFrame(0, 60000, "t"));
    held += Capacity(taken.back());
  }
  for (ipcapture::IHostFrame* frame : taken) allocator.ReleaseFrame(frame);
  EXPECT_LT(held, 8u * 200000u) << "the pool kept large frames (last large picture at step " << newestLarge << ")";
  EXPECT_EQ(0, allocator.Outstanding());
}

// A frame released twice, or one from another pool, is counted and left
// alone (the spares would otherwise hold one frame twice); a frame never
// released (a driver gave it up) is freed with the pool, which LeakSanitizer
// checks in the ASan build.
TEST(HeapFrameAllocator, AStrangeOrRepeatedReleaseIsCountedAndAGivenUpFrameFreedWithThePool) {
  HeapFrameAllocator other;
  ipcapture::IHostFrame* foreign = other.CreateFrame(0, 100, "t");
  {
    HeapFrameAllocator allocator;
    ipcapture::IHostFrame* frame = allocator.CreateFrame(0, 100, "t");
    allocator.ReleaseFrame(frame);
    allocator.ReleaseFrame(frame);
    allocator.ReleaseFrame(foreign);
    EXPECT_EQ(2, allocator.UnknownReleases());
    EXPECT_EQ(0, allocator.Outstanding());
    ipcapture::IHostFrame* a = allocator.CreateFrame(0, 100, "t");
    ipcapture::IHostFrame* b = allocator.CreateFrame(0, 100, "t");
    EXPECT_NE(a, b) << "a frame released twice was handed out twice";
    EXPECT_EQ(2, allocator.Outstanding());  // both given up: freed below
  }
  other.ReleaseFrame(foreign);
  EXPECT_EQ(0, other.UnknownReleases());
  EXPECT_EQ(0, other.Outstanding());
}

}  // namespace
