// The host's handle on the video channels of one device, by index.
#pragma once

#include <cstdint>
#include <vector>

#include "driver/ICameraChannel.h"
#include "driver/IDriver.h"
#include "driver/host_interfaces.h"
#include "foundation/RecursiveLock.h"

namespace kestrum {

class CIPVideoCapture : public ipcapture::IIPVideoCaptureEx {
 public:
  KESTRUM_DESTRUCTOR_SLOT(CIPVideoCapture)
  CIPVideoCapture(IVideoChannelCreator* creator, uint32_t channelCount);
  // Stops and destroys every channel.
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
  };

  // Takes the entry out under the lock; an index outside the table gives nulls.
  Entry TakeEntry(uint32_t index);
  // The channel of an index, or null. The host serialises calls per index, so
  // the channel stays alive while that host call uses it.
  ICameraChannel* FindChannel(uint32_t index);
  static void StopAndDestroy(Entry& entry);

  IVideoChannelCreator* creator_;
  CRecursiveLock lock_;
  std::vector<Entry> table_;
};

}  // namespace kestrum
