// The host's handle on the video channels of one device, by index.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "driver/ICameraChannel.h"
#include "driver/IDriver.h"
#include "driver/host_interfaces.h"
#include "foundation/RecursiveLock.h"

namespace kestrum {

// A host may call in from inside its own callbacks, on the library's
// threads: a channel stopped from its own thread is destroyed once that
// thread has left it, and a call that cannot be carried out there is
// refused with false and a warning that says why.
class CIPVideoCapture : public ipcapture::IIPVideoCaptureEx {
 public:
  KESTRUM_DESTRUCTOR_SLOT(CIPVideoCapture)
  // The log (the driver) is told why a call was refused; may be null.
  CIPVideoCapture(IVideoChannelCreator* creator, uint32_t channelCount, IDebugMessage* log = nullptr);
  // Stops and disposes of every channel.
  virtual ~CIPVideoCapture();
  CIPVideoCapture(const CIPVideoCapture&) = delete;
  CIPVideoCapture& operator=(const CIPVideoCapture&) = delete;

  uint32_t GetChannelCount() override;
  bool StartChannel(uint32_t index, ipcapture::IHostFrameSink* sink, ipcapture::IChannelSettings* settings) override;
  bool StopChannel(uint32_t index) override;
  bool RestartChannel(uint32_t index, ipcapture::IFrameSize* size, uint32_t frameInterval) override;
  uint32_t QueryCaptureOption() override { return 0; }
  bool GetChannelStatus(uint32_t index, uint32_t* status, uint32_t* second, char* text, uint32_t textSize) override;
  bool ChannelOptionA(uint32_t, uint32_t, uint32_t) override { return false; }
  bool ChannelOptionB(uint32_t, uint32_t, uint32_t) override { return false; }
  bool QueryChannelFlagB(uint32_t index) override;
  bool QueryChannelFlagA(uint32_t index) override;

 private:
  struct Entry {
    ICameraChannel* channel = nullptr;      // owned
    ICompanionChannel* companion = nullptr;  // owned
    bool restarting = false;  // taken out by RestartChannel, which puts it back
  };
  // Shared with the calls in progress: a Close or delete from inside a
  // callback may destroy this object while a restart on another thread
  // still holds a channel it took out; that restart then finds the table
  // closed and disposes of the channel itself.
  struct Table {
    explicit Table(uint32_t count) : entries(count) {}
    CRecursiveLock lock;
    std::vector<Entry> entries;
    bool closed = false;
  };

  // Takes the entry out under the lock; an index outside the table, or one
  // whose channel is being restarted, gives nulls.
  static Entry TakeEntry(Table& table, uint32_t index, bool* restarting = nullptr);
  // Puts an entry in; false (the entry left to the caller) when the table is
  // closed or the index taken meanwhile.
  static bool PutEntry(Table& table, uint32_t index, const Entry& entry);
  static void StopAndDestroy(Entry& entry);
  void Refused(const char* method, uint32_t index, const char* why);

  IVideoChannelCreator* creator_;
  IDebugMessage* log_;
  std::shared_ptr<Table> table_;
};

}  // namespace kestrum
