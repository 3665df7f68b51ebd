#include "driver/IPVideoCapture.h"

#include <new>

namespace kestrum {

CIPVideoCapture::CIPVideoCapture(IVideoChannelCreator* creator, uint32_t channelCount, IDebugMessage* log)
    : creator_(creator), log_(log), table_(std::make_shared<Table>(channelCount)) {}

CIPVideoCapture::~CIPVideoCapture() {
  std::vector<Entry> taken;
  {
    CLockGuard guard(table_->lock);
    table_->closed = true;
    for (Entry& entry : table_->entries) {
      // A channel being restarted is disposed of by that restart.
      if (entry.restarting) continue;
      taken.push_back(entry);
      entry = Entry();
    }
  }
  for (Entry& entry : taken) StopAndDestroy(entry);
}

uint32_t CIPVideoCapture::GetChannelCount() {
  CLockGuard guard(table_->lock);
  return static_cast<uint32_t>(table_->entries.size());
}

void CIPVideoCapture::Refused(const char* method, uint32_t index, const char* why) {
  if (log_ == nullptr) return;
  log_->Message(2, "%s: Channel %u: %s", method, index, why);
}

CIPVideoCapture::Entry CIPVideoCapture::TakeEntry(Table& table, uint32_t index, bool* restarting) {
  CLockGuard guard(table.lock);
  Entry taken;
  if (restarting != nullptr) *restarting = false;
  if (index < table.entries.size()) {
    if (table.entries[index].restarting) {
      if (restarting != nullptr) *restarting = true;
      return taken;
    }
    taken = table.entries[index];
    table.entries[index] = Entry();
  }
  return taken;
}

bool CIPVideoCapture::PutEntry(Table& table, uint32_t index, const Entry& entry) {
  CLockGuard guard(table.lock);
  if (table.closed || index >= table.entries.size()) return false;
  Entry& slot = table.entries[index];
  if (slot.channel != nullptr || slot.companion != nullptr || slot.restarting) return false;
  slot = entry;
  slot.restarting = false;
  return true;
}

void CIPVideoCapture::StopAndDestroy(Entry& entry) {
  if (entry.companion != nullptr) {
    entry.companion->Stop();
    delete entry.companion;
    entry.companion = nullptr;
  }
  if (entry.channel != nullptr) {
    // Destroyed at once, or by its own thread if that is still inside it.
    entry.channel->Dispose();
    entry.channel = nullptr;
  }
}

bool CIPVideoCapture::StartChannel(uint32_t index, ipcapture::IHostFrameSink* sink,
                                   ipcapture::IChannelSettings* settings) {
  if (index >= GetChannelCount() || settings == nullptr || creator_ == nullptr) return false;
  // Held by this call: a Close from inside a callback of the start below
  // destroys this object, not the table.
  std::shared_ptr<Table> table = table_;
  bool restarting = false;
  Entry previous = TakeEntry(*table, index, &restarting);
  if (restarting) {
    Refused("kestrum::CIPVideoCapture::StartChannel", index, "not started: it is being restarted");
    return false;
  }
  StopAndDestroy(previous);

  Entry entry;
  bool result = false;
  IVideoChannelCreator* creator = creator_;
  try {
    StreamParams params;
    params.FrameInterval = settings->GetCaptureSettings()->GetFrameInterval();
    params.Quality = settings->GetCaptureSettings()->GetQuality();
    params.Width = settings->GetFormat()->GetSize()->GetWidth();
    params.Height = settings->GetFormat()->GetSize()->GetHeight();
    ipcapture::IChannelAttachment* attachment = settings->GetAttachment();
    const bool companion = settings->GetCaptureSettings()->IsCompanionRequested() != 0;

    entry.channel = creator->CreateVideoChannel(index, sink);
    if (entry.channel == nullptr) return false;
    entry.channel->Attach(attachment);
    result = entry.channel->Start(params);
    // The start may have called the host, and the host may have closed the
    // driver from there: the creator is then not to be used again.
    bool closed;
    {
      CLockGuard guard(table->lock);
      closed = table->closed;
    }
    if (result && companion && !closed) {
      entry.companion = creator->CreateCompanionChannel(index, sink);
      if (entry.companion != nullptr) result = entry.companion->Start();
    }
  } catch (const std::bad_alloc&) {
    // The channel ran out while starting, often while saying why: the host
    // must still hear the reason, or the camera fails without a word.
    result = false;
    creator->ReportStartFailure(index, "not enough memory");
  } catch (...) {
    result = false;
    creator->ReportStartFailure(index, "an unexpected error");
  }
  // Stored even when it failed, so the next stop or start cleans it up.
  // A channel started meanwhile for the same index (from a callback), or a
  // Close, leaves this one without a place: it is stopped.
  if (!PutEntry(*table, index, entry)) {
    StopAndDestroy(entry);
    return false;
  }
  return result;
}

bool CIPVideoCapture::StopChannel(uint32_t index) {
  try {
    bool restarting = false;
    Entry entry = TakeEntry(*table_, index, &restarting);
    if (restarting) {
      Refused("kestrum::CIPVideoCapture::StopChannel", index, "not stopped: it is being restarted");
      return false;
    }
    bool existed = entry.channel != nullptr || entry.companion != nullptr;
    StopAndDestroy(entry);
    return existed;
  } catch (...) {
    return false;
  }
}

bool CIPVideoCapture::RestartChannel(uint32_t index, ipcapture::IFrameSize* size, uint32_t frameInterval) {
  try {
    if (size == nullptr) return false;
    std::shared_ptr<Table> table = table_;
    ICameraChannel* channel = nullptr;
    {
      CLockGuard guard(table->lock);
      if (index >= table->entries.size() || table->entries[index].channel == nullptr ||
          table->entries[index].restarting) {
        return false;
      }
      // Marked rather than taken out: GetChannelStatus still sees it, and a
      // stop or start of the index is refused until it is done.
      table->entries[index].restarting = true;
      channel = table->entries[index].channel;
    }
    StreamParams params;
    params.FrameInterval = frameInterval;
    params.Quality = 0;  // the channel keeps its current quality
    params.Width = size->GetWidth();
    params.Height = size->GetHeight();
    bool result = false;
    try {
      result = channel->Restart(params);
    } catch (...) {
      result = false;
    }
    Entry orphan;
    {
      CLockGuard guard(table->lock);
      if (table->closed) {
        // Closed meanwhile (from a callback): this call disposes of it.
        orphan.channel = channel;
        orphan.companion = table->entries[index].companion;
        table->entries[index] = Entry();
      } else {
        table->entries[index].restarting = false;
      }
    }
    if (orphan.channel != nullptr) {
      StopAndDestroy(orphan);
      return false;
    }
    return result;
  } catch (...) {
    return false;
  }
}

bool CIPVideoCapture::GetChannelStatus(uint32_t index, uint32_t* status, uint32_t* second, char* text,
                                       uint32_t textSize) {
  try {
    if (second != nullptr) *second = 0;
    if (textSize > 0 && text != nullptr) text[0] = '\0';
    // Under the lock: a stop on another thread (or from a callback) cannot
    // destroy the channel while it is asked. Its status calls no one.
    CLockGuard guard(table_->lock);
    if (index >= table_->entries.size() || table_->entries[index].channel == nullptr) return false;
    ChannelStatus current = table_->entries[index].channel->GetStatus();
    if (status != nullptr) *status = current == Stopped ? static_cast<uint32_t>(SignalLost) : current;
    return true;
  } catch (...) {
    return false;
  }
}

bool CIPVideoCapture::QueryChannelFlagB(uint32_t index) {
  try {
    CLockGuard guard(table_->lock);
    return index < table_->entries.size() && table_->entries[index].channel != nullptr &&
           table_->entries[index].channel->QueryFlagB();
  } catch (...) {
    return false;
  }
}

bool CIPVideoCapture::QueryChannelFlagA(uint32_t index) {
  try {
    CLockGuard guard(table_->lock);
    return index < table_->entries.size() && table_->entries[index].channel != nullptr &&
           table_->entries[index].channel->QueryFlagA();
  } catch (...) {
    return false;
  }
}

}  // namespace kestrum
