#include "driver/IPVideoCapture.h"

#include <new>

namespace kestrum {

CIPVideoCapture::CIPVideoCapture(IVideoChannelCreator* creator, uint32_t channelCount)
    : creator_(creator), table_(channelCount) {}

CIPVideoCapture::~CIPVideoCapture() {
  const uint32_t count = GetChannelCount();
  for (uint32_t index = 0; index < count; ++index) {
    Entry entry = TakeEntry(index);
    StopAndDestroy(entry);
  }
}

uint32_t CIPVideoCapture::GetChannelCount() {
  CLockGuard guard(lock_);
  return static_cast<uint32_t>(table_.size());
}

CIPVideoCapture::Entry CIPVideoCapture::TakeEntry(uint32_t index) {
  CLockGuard guard(lock_);
  Entry taken;
  if (index < table_.size()) {
    taken = table_[index];
    table_[index] = Entry();
  }
  return taken;
}

ICameraChannel* CIPVideoCapture::FindChannel(uint32_t index) {
  CLockGuard guard(lock_);
  return index < table_.size() ? table_[index].channel : nullptr;
}

void CIPVideoCapture::StopAndDestroy(Entry& entry) {
  if (entry.companion != nullptr) {
    entry.companion->Stop();
    delete entry.companion;
    entry.companion = nullptr;
  }
  if (entry.channel != nullptr) {
    entry.channel->Stop();
    delete entry.channel;
    entry.channel = nullptr;
  }
}

bool CIPVideoCapture::StartChannel(uint32_t index, ipcapture::IHostFrameSink* sink,
                                   ipcapture::IChannelSettings* settings) {
  if (index >= GetChannelCount() || settings == nullptr || creator_ == nullptr) return false;
  StopChannel(index);

  Entry entry;
  bool result = false;
  try {
    StreamParams params;
    params.FrameInterval = settings->GetCaptureSettings()->GetFrameInterval();
    params.Quality = settings->GetCaptureSettings()->GetQuality();
    params.Width = settings->GetFormat()->GetSize()->GetWidth();
    params.Height = settings->GetFormat()->GetSize()->GetHeight();

    entry.channel = creator_->CreateVideoChannel(index, sink);
    if (entry.channel == nullptr) return false;
    entry.channel->Attach(settings->GetAttachment());
    result = entry.channel->Start(params);
    if (result && settings->GetCaptureSettings()->IsCompanionRequested() != 0) {
      entry.companion = creator_->CreateCompanionChannel(index, sink);
      if (entry.companion != nullptr) result = entry.companion->Start();
    }
  } catch (const std::bad_alloc&) {
    // The channel ran out while starting, often while saying why: the host
    // must still hear the reason, or the camera fails without a word.
    result = false;
    creator_->ReportStartFailure(index, "not enough memory");
  } catch (...) {
    result = false;
    creator_->ReportStartFailure(index, "an unexpected error");
  }
  // Stored even when it failed, so the next stop or start cleans it up.
  CLockGuard guard(lock_);
  table_[index] = entry;
  return result;
}

bool CIPVideoCapture::StopChannel(uint32_t index) {
  try {
    Entry entry = TakeEntry(index);
    bool existed = entry.channel != nullptr || entry.companion != nullptr;
    StopAndDestroy(entry);
    return existed;
  } catch (...) {
    return false;
  }
}

bool CIPVideoCapture::RestartChannel(uint32_t index, ipcapture::IFrameSize* size, uint32_t frameInterval) {
  try {
    ICameraChannel* channel = FindChannel(index);
    if (channel == nullptr || size == nullptr) return false;
    StreamParams params;
    params.FrameInterval = frameInterval;
    params.Quality = 0;  // the channel keeps its current quality
    params.Width = size->GetWidth();
    params.Height = size->GetHeight();
    return channel->Restart(params);
  } catch (...) {
    return false;
  }
}

bool CIPVideoCapture::GetChannelStatus(uint32_t index, uint32_t* status, uint32_t* second, char* text,
                                       uint32_t textSize) {
  try {
    if (second != nullptr) *second = 0;
    if (textSize > 0 && text != nullptr) text[0] = '\0';
    ICameraChannel* channel = FindChannel(index);
    if (channel == nullptr) return false;
    ChannelStatus current = channel->GetStatus();
    if (status != nullptr) *status = current == Stopped ? static_cast<uint32_t>(SignalLost) : current;
    return true;
  } catch (...) {
    return false;
  }
}

bool CIPVideoCapture::QueryChannelFlagB(uint32_t index) {
  try {
    ICameraChannel* channel = FindChannel(index);
    return channel != nullptr && channel->QueryFlagB();
  } catch (...) {
    return false;
  }
}

bool CIPVideoCapture::QueryChannelFlagA(uint32_t index) {
  try {
    ICameraChannel* channel = FindChannel(index);
    return channel != nullptr && channel->QueryFlagA();
  } catch (...) {
    return false;
  }
}

}  // namespace kestrum
