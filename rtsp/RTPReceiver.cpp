#include "rtsp/RTPReceiver.h"

#include <algorithm>
#include <cstdio>

#include "rtsp/UDPClient.h"

namespace kestrum {

namespace {
constexpr uint32_t kModeUdp = 0;
constexpr uint32_t kDatagramBuffer = 1536;
constexpr uint32_t kQuietSeconds = 2;
constexpr uint32_t kStopLimitMs = 2000;
constexpr uint32_t kIdleWaitMs = 1000;
constexpr size_t kMaxSpareEntries = 256;
// Spare entries keep only the buffers of ordinary packets, so that a burst
// of large datagrams does not stay behind as memory.
constexpr size_t kMaxSparePayload = 2048;
}  // namespace

CRTPReceiver::CRTPReceiver(IDebugMessage* log) : CBaseThread(log) {}

CRTPReceiver::~CRTPReceiver() { StopReceiving(); }

bool CRTPReceiver::StartReceiving(uint32_t mode, uint16_t port) {
  // A receiver still running uses the transport that is about to be replaced.
  StopReceiving();
  if (mode == kModeUdp) transport_.Reset(new CUDPClient(Log()));
  TSmartPtr<IRTPClient> transport = transport_;
  bool started = false;
  if (!transport.IsEmpty() && transport->Open(this, port)) {
    transport->SetBufferSize(kDatagramBuffer);
    transport->SetWaitTimeout(kQuietSeconds, 0);
    ClearQueue();
    char name[64];
    snprintf(name, sizeof name, "RTP Packet Queue (%hu)", port);
    started = Start(name);
  }
  if (!started) StopReceiving();
  return started;
}

void CRTPReceiver::StopReceiving() {
  StopEvent().Set();
  TSmartPtr<IRTPClient> transport = transport_;
  if (!transport.IsEmpty()) {
    transport->Close();
    transport_.Release();
  }
  ClearQueue();
  StopThread(kStopLimitMs);
}

uint16_t CRTPReceiver::GetPort() {
  TSmartPtr<IRTPClient> transport = transport_;
  return transport.IsEmpty() ? 0 : transport->GetPort();
}

bool CRTPReceiver::IsOwnTransport(IRTPClient* client) {
  return client != nullptr && client == transport_.Get();
}

void CRTPReceiver::OnData(IRTPClient* client, const SOCKET_ADDRESS_V4& sender, const uint8_t* data,
                          uint32_t length) {
  if (!IsOwnTransport(client)) return;
  std::unique_ptr<Entry> entry = TakeSpare();
  entry->sender = sender;
  if (!entry->packet.Parse(data, length) || IsStopRequested()) {
    GiveBack(std::move(entry));
    return;
  }
  bool wasEmpty;
  {
    CLockGuard guard(lock_);
    wasEmpty = queue_.empty();
    queuedBytes_ += entry->packet.Payload.size();
    queue_.push_back(std::move(entry));
    // A slow user must not make the queue grow without bound: the oldest
    // packets go first, as they are the likeliest to be useless by now.
    while (queuedBytes_ > kQueueLimitBytes && queue_.size() > 1) {
      queuedBytes_ -= queue_.front()->packet.Payload.size();
      queue_.pop_front();
      ++dropped_;
    }
  }
  // The delivery thread drains without waiting while the queue is not empty,
  // so only the first packet after it went empty needs to wake it.
  if (wasEmpty) packetEvent_.Set();
}

void CRTPReceiver::OnTimeout(IRTPClient* client) {
  IRTPReceiverUser* user = user_.load();
  if (IsOwnTransport(client) && user != nullptr) user->OnReceiveTimeout();
}

void CRTPReceiver::OnClosed(IRTPClient* client) {
  IRTPReceiverUser* user = user_.load();
  if (IsOwnTransport(client) && user != nullptr) user->OnTransportClosed();
}

std::unique_ptr<CRTPReceiver::Entry> CRTPReceiver::TakeSpare() {
  {
    CLockGuard guard(lock_);
    if (!spare_.empty()) {
      std::unique_ptr<Entry> entry = std::move(spare_.back());
      spare_.pop_back();
      return entry;
    }
  }
  return std::make_unique<Entry>();
}

void CRTPReceiver::GiveBack(std::unique_ptr<Entry> entry) {
  if (entry->packet.Payload.capacity() > kMaxSparePayload) return;
  CLockGuard guard(lock_);
  if (spare_.size() < kMaxSpareEntries) spare_.push_back(std::move(entry));
}

void CRTPReceiver::ClearQueue() {
  CLockGuard guard(lock_);
  queue_.clear();
  queuedBytes_ = 0;
}

void CRTPReceiver::Run() {
  CEvent* events[] = {&StopEvent(), &packetEvent_};
  if (WaitForAny(events, 2, kWaitInfinite) != 1) {
    ClearQueue();
    return;
  }
  for (;;) {
    std::unique_ptr<Entry> entry;
    bool empty;
    {
      CLockGuard guard(lock_);
      if (!queue_.empty()) {
        entry = std::move(queue_.front());
        queue_.pop_front();
        queuedBytes_ -= entry->packet.Payload.size();
      }
      empty = queue_.empty();
    }
    IRTPReceiverUser* user = user_.load();
    if (entry) {
      if (user != nullptr) user->OnPacketFrom(&entry->sender, &entry->packet);
      GiveBack(std::move(entry));
    }
    if (!empty) {
      if (IsStopRequested()) break;
      continue;
    }
    uint32_t waitMs = kIdleWaitMs;
    if (user != nullptr) waitMs = std::min(waitMs, user->OnQueueEmpty());
    if (WaitForAny(events, 2, waitMs) == 0) break;
  }
  ClearQueue();
}

}  // namespace kestrum
