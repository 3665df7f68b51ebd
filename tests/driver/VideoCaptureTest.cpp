#include <gtest/gtest.h>

#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "driver/IPVideoCapture.h"
#include "tools/hostlib/HostSettings.h"

using namespace kestrum;
using namespace kestrum::host;

namespace {

// Records what happens to channels, in order, across all fakes.
struct Journal {
  std::vector<std::string> events;
  void Add(const std::string& e) { events.push_back(e); }
};

class FakeChannel : public ICameraChannel {
 public:
  enum Throw { kNothing, kNoMemory, kOther };
  FakeChannel(Journal& journal, uint32_t index, bool startResult, Throw startThrows)
      : journal_(journal), name_("channel" + std::to_string(index)), startResult_(startResult), startThrows_(startThrows) {}
  ~FakeChannel() override { journal_.Add(name_ + " destroyed"); }

  void Attach(ipcapture::IChannelAttachment*) override { journal_.Add(name_ + " attached"); }
  bool Start(const StreamParams& p) override {
    params = p;
    journal_.Add(name_ + " started");
    if (startThrows_ == kNoMemory) throw std::bad_alloc();
    if (startThrows_ == kOther) throw std::runtime_error("surprise");
    status = startResult_ ? Streaming : Stopped;
    return startResult_;
  }
  void Stop() override {
    journal_.Add(name_ + " stopped");
    status = Stopped;
  }
  bool Restart(const StreamParams& p) override {
    restartParams = p;
    journal_.Add(name_ + " restarted");
    return true;
  }
  bool QueryFlagA() override { return true; }
  bool QueryFlagB() override { return false; }
  ChannelStatus GetStatus() override { return status; }

  StreamParams params;
  StreamParams restartParams;
  ChannelStatus status = Stopped;

 private:
  Journal& journal_;
  std::string name_;
  bool startResult_;
  Throw startThrows_;
};

class FakeCompanion : public ICompanionChannel {
 public:
  explicit FakeCompanion(Journal& journal) : journal_(journal) {}
  ~FakeCompanion() override { journal_.Add("companion destroyed"); }
  bool Start() override {
    journal_.Add("companion started");
    return false;
  }
  void Stop() override { journal_.Add("companion stopped"); }

 private:
  Journal& journal_;
};

class FakeCreator : public IVideoChannelCreator {
 public:
  explicit FakeCreator(Journal& journal) : journal_(journal) {}
  ICameraChannel* CreateVideoChannel(uint32_t index, ipcapture::IHostFrameSink* sink) override {
    journal_.Add("create " + std::to_string(index));
    lastSink = sink;
    if (!makeChannels) return nullptr;
    last = new FakeChannel(journal_, index, startResult, startThrows);
    return last;
  }
  ICompanionChannel* CreateCompanionChannel(uint32_t, ipcapture::IHostFrameSink*) override {
    journal_.Add("create companion");
    return makeCompanion ? new FakeCompanion(journal_) : nullptr;
  }
  void ReportStartFailure(uint32_t index, const char* reason) override {
    journal_.Add("report " + std::to_string(index) + ": " + reason);
  }

  bool makeChannels = true;
  bool startResult = true;
  bool makeCompanion = false;
  FakeChannel::Throw startThrows = FakeChannel::kNothing;
  FakeChannel* last = nullptr;
  ipcapture::IHostFrameSink* lastSink = nullptr;

 private:
  Journal& journal_;
};

ChannelValues Values() {
  ChannelValues v;
  v.frameInterval = 40;
  v.quality = 75;
  v.width = 1280;
  v.height = 720;
  return v;
}

TEST(VideoCapture, StartBuildsParamsFromTheHostSettings) {
  Journal journal;
  FakeCreator creator(journal);
  CIPVideoCapture capture(&creator, 2);
  HostChannelSettings settings(Values());
  auto* sink = reinterpret_cast<ipcapture::IHostFrameSink*>(0x1234);
  ASSERT_TRUE(capture.StartChannel(1, sink, &settings));
  EXPECT_EQ(sink, creator.lastSink) << "the sink is passed through unchanged";
  EXPECT_EQ(40u, creator.last->params.FrameInterval);
  EXPECT_EQ(75u, creator.last->params.Quality);
  EXPECT_EQ(1280u, creator.last->params.Width);
  EXPECT_EQ(720u, creator.last->params.Height);
  EXPECT_EQ((std::vector<std::string>{"create 1", "channel1 attached", "channel1 started"}), journal.events);
}

TEST(VideoCapture, IndexesOutsideTheTable) {
  Journal journal;
  FakeCreator creator(journal);
  CIPVideoCapture empty(&creator, 0);
  HostChannelSettings settings(Values());
  EXPECT_EQ(0u, empty.GetChannelCount());
  EXPECT_FALSE(empty.StartChannel(0, nullptr, &settings));
  EXPECT_FALSE(empty.StopChannel(0));
  HostFrameSize size(640, 480);
  EXPECT_FALSE(empty.RestartChannel(0, &size, 40));
  uint32_t status = 77;
  EXPECT_FALSE(empty.GetChannelStatus(0, &status, nullptr, nullptr, 0));
  EXPECT_EQ(77u, status);
  EXPECT_FALSE(empty.QueryChannelFlagA(0));
  EXPECT_TRUE(journal.events.empty());
}

TEST(VideoCapture, SecondStartStopsAndDestroysTheFirstChannelFirst) {
  Journal journal;
  FakeCreator creator(journal);
  CIPVideoCapture capture(&creator, 1);
  HostChannelSettings settings(Values());
  ASSERT_TRUE(capture.StartChannel(0, nullptr, &settings));
  journal.events.clear();
  ASSERT_TRUE(capture.StartChannel(0, nullptr, &settings));
  EXPECT_EQ((std::vector<std::string>{"channel0 stopped", "channel0 destroyed", "create 0", "channel0 attached",
                                      "channel0 started"}),
            journal.events);
}

TEST(VideoCapture, FailedStartsAndStops) {
  Journal journal;
  FakeCreator creator(journal);
  CIPVideoCapture capture(&creator, 2);
  HostChannelSettings settings(Values());

  creator.makeChannels = false;
  EXPECT_FALSE(capture.StartChannel(0, nullptr, &settings));
  EXPECT_FALSE(capture.StopChannel(0)) << "nothing was stored";

  creator.makeChannels = true;
  creator.startResult = false;
  EXPECT_FALSE(capture.StartChannel(1, nullptr, &settings));
  uint32_t status = 99;
  uint32_t second = 99;
  char text[8] = "garbage";
  EXPECT_TRUE(capture.GetChannelStatus(1, &status, &second, text, sizeof text)) << "a failed channel stays stored";
  EXPECT_EQ(2u, status) << "Stopped is shown to the host as 2";
  EXPECT_EQ(0u, second);
  EXPECT_STREQ("", text);
  journal.events.clear();
  EXPECT_TRUE(capture.StopChannel(1));
  EXPECT_EQ((std::vector<std::string>{"channel1 stopped", "channel1 destroyed"}), journal.events);
  EXPECT_FALSE(capture.GetChannelStatus(1, &status, nullptr, nullptr, 0));
}

// A start that throws (out of memory while the channel puts its own reason
// into words) is told to the host through the creator, and the channel is
// kept so that the next stop cleans it up.
TEST(VideoCapture, AStartThatThrowsIsToldWithWhatRanOut) {
  Journal journal;
  FakeCreator creator(journal);
  CIPVideoCapture capture(&creator, 2);
  HostChannelSettings settings(Values());

  creator.startThrows = FakeChannel::kNoMemory;
  EXPECT_FALSE(capture.StartChannel(0, nullptr, &settings));
  creator.startThrows = FakeChannel::kOther;
  EXPECT_FALSE(capture.StartChannel(1, nullptr, &settings));
  EXPECT_EQ((std::vector<std::string>{"create 0", "channel0 attached", "channel0 started", "report 0: not enough memory",
                                      "create 1", "channel1 attached", "channel1 started",
                                      "report 1: an unexpected error"}),
            journal.events);
  journal.events.clear();
  EXPECT_TRUE(capture.StopChannel(0));
  EXPECT_EQ((std::vector<std::string>{"channel0 stopped", "channel0 destroyed"}), journal.events);

  // A start that fails without throwing has told its own reason.
  journal.events.clear();
  creator.startThrows = FakeChannel::kNothing;
  creator.startResult = false;
  EXPECT_FALSE(capture.StartChannel(0, nullptr, &settings));
  EXPECT_EQ((std::vector<std::string>{"create 0", "channel0 attached", "channel0 started"}), journal.events);
}

TEST(VideoCapture, StatusRestartAndFlags) {
  Journal journal;
  FakeCreator creator(journal);
  CIPVideoCapture capture(&creator, 1);
  HostChannelSettings settings(Values());
  ASSERT_TRUE(capture.StartChannel(0, nullptr, &settings));
  uint32_t status = 99;
  EXPECT_TRUE(capture.GetChannelStatus(0, &status, nullptr, nullptr, 0));
  EXPECT_EQ(0u, status);
  creator.last->status = SignalLost;
  EXPECT_TRUE(capture.GetChannelStatus(0, &status, nullptr, nullptr, 0));
  EXPECT_EQ(2u, status);

  HostFrameSize size(640, 480);
  EXPECT_TRUE(capture.RestartChannel(0, &size, 100));
  EXPECT_EQ(0u, creator.last->restartParams.Quality) << "restart asks the channel to keep its quality";
  EXPECT_EQ(100u, creator.last->restartParams.FrameInterval);
  EXPECT_EQ(640u, creator.last->restartParams.Width);
  EXPECT_EQ(480u, creator.last->restartParams.Height);

  EXPECT_TRUE(capture.QueryChannelFlagA(0));
  EXPECT_FALSE(capture.QueryChannelFlagB(0));
  EXPECT_EQ(0u, capture.QueryCaptureOption());
  EXPECT_FALSE(capture.ChannelOptionA(0, 0, 0));
  EXPECT_FALSE(capture.ChannelOptionB(0, 0, 0));
}

TEST(VideoCapture, CompanionIsAskedForAndStoppedFirst) {
  Journal journal;
  FakeCreator creator(journal);
  creator.makeCompanion = true;
  ChannelValues values = Values();
  values.companion = true;
  HostChannelSettings settings(values);
  {
    CIPVideoCapture capture(&creator, 1);
    EXPECT_FALSE(capture.StartChannel(0, nullptr, &settings)) << "the companion's start decides the result";
    journal.events.clear();
  }
  EXPECT_EQ((std::vector<std::string>{"companion stopped", "companion destroyed", "channel0 stopped",
                                      "channel0 destroyed"}),
            journal.events)
      << "destruction stops every entry, companion before channel";
}

}  // namespace
