// The recording sink of capture-host: what reaches its files, and when.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "tests/support/TempDir.h"
#include "tools/capture-host/RecordingSink.h"
#include "tools/hostlib/HostFrames.h"

using kestrum::host::HeapFrame;
using kestrum::host::MakeFourCC;
using kestrum::host::RecordingSink;
using kestrum::ipcapture::SYSTEM_TIME;

namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

HeapFrame MakeFrame(const char (&code)[5], const std::string& bytes, uint16_t second) {
  HeapFrame frame(MakeFourCC(code), static_cast<uint32_t>(bytes.size()), "test");
  std::memcpy(frame.GetBuffer(), bytes.data(), bytes.size());
  frame.SetDataSize(static_cast<uint32_t>(bytes.size()));
  frame.SetWidth(640);
  frame.SetHeight(480);
  frame.SetTime(SYSTEM_TIME{2026, 12, 0, 6, 23, 5, second, 7});
  return frame;
}

TEST(RecordingSinkIndex, LinesArePaddedAndCarryEveryField) {
  EXPECT_EQ("1,2026-01-02T03:04:05.006Z,123,JPEG,640,480\n",
            RecordingSink::IndexLine(1, SYSTEM_TIME{2026, 1, 5, 2, 3, 4, 5, 6}, 123, "JPEG", 640, 480));
  // The widest values a line can hold.
  EXPECT_EQ("18446744073709551615,65535-65535-65535T65535:65535:65535.65535Z,4294967295,I264,4294967295,0\n",
            RecordingSink::IndexLine(UINT64_MAX, SYSTEM_TIME{65535, 65535, 0, 65535, 65535, 65535, 65535, 65535},
                                     UINT32_MAX, "I264", UINT32_MAX, 0));
  EXPECT_EQ("2026-12-06T23:59:59.999Z", RecordingSink::FormatTime(SYSTEM_TIME{2026, 12, 0, 6, 23, 59, 59, 999}));
}

TEST(RecordingSinkFiles, FlushMakesEveryPictureVisibleAndFinishWritesTheSnapshot) {
  kestrum::testing::TempDir dir;
  RecordingSink sink(dir.File("channel1"), "mjpeg");
  std::string error;
  ASSERT_TRUE(sink.Open(error)) << error;
  std::string expected;
  for (uint16_t i = 0; i < 3; ++i) {
    const std::string picture = "\xFF\xD8picture" + std::to_string(i) + "\xFF\xD9";
    HeapFrame frame = MakeFrame("JPEG", picture, i);
    ASSERT_TRUE(sink.ReceiveFrame(&frame));
    expected += picture;
  }
  // Buffered until flushed: the recorder flushes every second, so a crash
  // loses at most that much.
  sink.Flush();
  EXPECT_EQ(expected, ReadAll(sink.MediaPath()));
  EXPECT_EQ(
      "frame,utc_time,bytes,code,width,height\n"
      "1,2026-12-06T23:05:00.007Z,12,JPEG,640,480\n"
      "2,2026-12-06T23:05:01.007Z,12,JPEG,640,480\n"
      "3,2026-12-06T23:05:02.007Z,12,JPEG,640,480\n",
      ReadAll(sink.IndexPath()));
  EXPECT_EQ(3u, sink.Stats().pictures);
  EXPECT_EQ(expected.size(), sink.Stats().bytes);

  sink.Finish();
  EXPECT_EQ("\xFF\xD8picture2\xFF\xD9", ReadAll(sink.SnapshotPath()));
  HeapFrame late = MakeFrame("JPEG", "late", 9);
  EXPECT_FALSE(sink.ReceiveFrame(&late));
  EXPECT_EQ(expected, ReadAll(sink.MediaPath()));
}

TEST(RecordingSinkFiles, H264UnitsAreStoredWithoutTheTrailingEndMark) {
  kestrum::testing::TempDir dir;
  RecordingSink sink(dir.File("channel1"), "h264");
  std::string error;
  ASSERT_TRUE(sink.Open(error)) << error;
  const std::string unit("\x00\x00\x00\x01\x65\x88\x84", 7);
  const std::string endMark("\x00\x00\x00\x01\x09", 5);
  HeapFrame marked = MakeFrame("I264", unit + endMark, 0);
  HeapFrame plain = MakeFrame("H264", unit, 1);
  HeapFrame other = MakeFrame("JPEG", unit + endMark, 2);  // only H.264 carries the mark
  ASSERT_TRUE(sink.ReceiveFrame(&marked));
  ASSERT_TRUE(sink.ReceiveFrame(&plain));
  ASSERT_TRUE(sink.ReceiveFrame(&other));
  sink.Finish();
  EXPECT_EQ(unit + unit + unit + endMark, ReadAll(sink.MediaPath()));
  EXPECT_EQ(unit + endMark, ReadAll(sink.SnapshotPath()));
}

TEST(RecordingSinkFiles, AFullDiskIsReportedAndLaterPicturesAreRefused) {
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full here";
  kestrum::testing::TempDir dir;
  RecordingSink sink(dir.File("channel1"), "mjpeg");
  std::filesystem::create_symlink("/dev/full", sink.MediaPath());  // every write fails: no space
  std::string error;
  ASSERT_TRUE(sink.Open(error)) << error;
  // Pictures fit the buffer at first; the failure shows at the latest when
  // it is handed to the system.
  const std::string picture(300 << 10, '\x55');
  bool refused = false;
  for (uint16_t i = 0; i < 8 && !refused; ++i) {
    HeapFrame frame = MakeFrame("JPEG", picture, i);
    refused = !sink.ReceiveFrame(&frame);
  }
  EXPECT_TRUE(refused) << "2.4 MB cannot all have gone into a 1 MiB buffer";
  sink.Flush();
  EXPECT_EQ(0u, sink.WriteError().find("cannot write " + sink.MediaPath() + ": ")) << sink.WriteError();
  HeapFrame later = MakeFrame("JPEG", "small", 9);
  EXPECT_FALSE(sink.ReceiveFrame(&later));
  sink.Finish();
  EXPECT_FALSE(sink.WriteError().empty());
}

TEST(RecordingSinkFiles, OpenReportsAnUnwritablePath) {
  kestrum::testing::TempDir dir;
  RecordingSink sink(dir.File("missing/channel1"), "mjpeg");
  std::string error;
  EXPECT_FALSE(sink.Open(error));
  EXPECT_NE(std::string::npos, error.find("cannot write")) << error;
}

}  // namespace
