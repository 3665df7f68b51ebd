// Loads the built library the way a host does and drives it through its exports.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "driver/host_interfaces.h"
#include "platform/DynamicLibrary.h"
#include "tests/support/PeImageBuilder.h"
#include "tests/support/TempDir.h"
#include "tools/hostlib/HostFrames.h"
#include "tools/hostlib/HostLog.h"
#include "tools/hostlib/HostSettings.h"

using namespace kestrum;
using namespace kestrum::host;
using kestrum::testing::BuildPeImage;
using kestrum::testing::PeVersionImage;
using kestrum::testing::TempDir;

namespace {

const char* const kCreate[4] = {"CreateIPCapture", "CreateIPCaptureEx", "CreateIPCaptureEx2", "CreateIPCaptureEx3"};
const char* const kDelete[4] = {"DeleteIPCapture", "DeleteIPCaptureEx", "DeleteIPCaptureEx2", "DeleteIPCaptureEx3"};

class Exports : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(library_.Open(QUELLON_LIBRARY_PATH)) << QUELLON_LIBRARY_PATH; }

  CreateIPCaptureFn Create(int i) { return reinterpret_cast<CreateIPCaptureFn>(library_.Symbol(kCreate[i])); }
  DeleteIPCaptureFn Delete(int i) { return reinterpret_cast<DeleteIPCaptureFn>(library_.Symbol(kDelete[i])); }

  // Opens a driver made by create export c in a directory holding a host core
  // library of the given version (none when major is 0) and returns the level
  // of its "DRIVER IS OPENED" line; deletes it through export d.
  int OpenedLevel(int c, int d, uint16_t major, uint16_t minor) {
    TempDir dir(true);
    if (major != 0) {
      PeVersionImage layout;
      layout.product[0] = major;
      layout.product[1] = minor;
      layout.product[2] = 4;
      layout.product[3] = 2;
      kestrum::testing::WriteFile(dir.File("vostrel.dll"), BuildPeImage(layout));
    }
    HostLogReceiver log;
    HeapFrameAllocator allocator;
    DeviceValues values;
    values.address = "192.0.2.7";
    values.port = 8080;
    values.modelName = "Q-1";
    values.parameters = {{1, ""}, {2, "7.7"}};
    HostDeviceSettings settings(values);
    ipcapture::IIPCaptureDriverEx4* driver = Create(c)();
    if (driver == nullptr) return -1;
    bool opened = driver->Open(&log, &allocator, &settings);
    driver->Close();
    Delete(d)(driver);
    if (!opened) return -2;
    auto lines = log.Matching("DRIVER IS OPENED");
    if (lines.size() != 1) return -3;
    EXPECT_EQ("DRIVER IS OPENED (name: QuellonIPCapture, device model: Q-1, FW: 7.7, address: 192.0.2.7:8080)",
              lines[0].text);
    return lines[0].level;
  }

  platform::DynamicLibrary library_;
};

TEST_F(Exports, EveryCreateExportGivesADistinctWorkingDriver) {
  ipcapture::IIPCaptureDriverEx4* drivers[4];
  for (int i = 0; i < 4; ++i) {
    ASSERT_NE(nullptr, Create(i)) << kCreate[i];
    ASSERT_NE(nullptr, Delete(i)) << kDelete[i];
    drivers[i] = Create(i)();
    ASSERT_NE(nullptr, drivers[i]);
    EXPECT_EQ(nullptr, drivers[i]->GetVideoCapture());
  }
  for (int i = 0; i < 4; ++i) {
    for (int j = i + 1; j < 4; ++j) EXPECT_NE(drivers[i], drivers[j]);
  }
  for (int i = 0; i < 4; ++i) Delete((i + 3) % 4)(drivers[i]);
  Delete(0)(nullptr);  // ignored
}

TEST_F(Exports, LevelOfTheOpeningLineFollowsTheHostVersion) {
  EXPECT_EQ(2, OpenedLevel(0, 1, 5, 11));
  EXPECT_EQ(3, OpenedLevel(1, 2, 5, 12));
  EXPECT_EQ(3, OpenedLevel(2, 3, 6, 2));
  EXPECT_EQ(100, OpenedLevel(3, 0, 6, 3));
  EXPECT_EQ(100, OpenedLevel(0, 3, 7, 0));
  EXPECT_EQ(3, OpenedLevel(1, 0, 0, 0)) << "no host core library: behaves as 5.12";
}

TEST_F(Exports, AnUnreadableHostLibraryFallsBackTo512) {
  TempDir dir(true);
  kestrum::testing::WriteFile(dir.File("vostrel.dll"), std::vector<uint8_t>{'M', 'Z', 0, 0});
  HostLogReceiver log;
  HeapFrameAllocator allocator;
  DeviceValues values;
  values.address = "a";
  values.modelName = "m";
  HostDeviceSettings settings(values);
  ipcapture::IIPCaptureDriverEx4* driver = Create(0)();
  ASSERT_NE(nullptr, driver);
  ASSERT_TRUE(driver->Open(&log, &allocator, &settings));
  ASSERT_EQ(1u, log.Count());
  EXPECT_EQ(3, log.Lines()[0].level);
  Delete(0)(driver);
}

TEST_F(Exports, DeviceWithoutChannelsOrIo) {
  HostLogReceiver log;
  HeapFrameAllocator allocator;
  DeviceValues values;
  values.address = "192.0.2.8";
  values.channelCount = 0;
  values.streamKind = 2;
  HostDeviceSettings settings(values);
  ipcapture::IIPCaptureDriverEx4* driver = Create(2)();
  ASSERT_TRUE(driver->Open(&log, &allocator, &settings));
  ipcapture::IIPVideoCapture* capture = driver->GetVideoCapture();
  ASSERT_NE(nullptr, capture);
  EXPECT_EQ(0u, capture->GetChannelCount());
  HostChannelSettings channel(ChannelValues{});
  EXPECT_FALSE(capture->StartChannel(0, nullptr, &channel));
  EXPECT_EQ(nullptr, driver->GetCaptureIO());
  EXPECT_EQ(static_cast<void*>(capture), static_cast<void*>(driver->GetVideoCaptureEx()));
  EXPECT_EQ(0u, log.Count()) << "no model name, no opening line";
  Delete(1)(driver);  // also closes
}

}  // namespace
