// Receives RTP datagrams on one UDP port, parses them on arrival and hands
// them, in arrival order, to its user on a thread of its own.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "foundation/BaseThread.h"
#include "foundation/Event.h"
#include "foundation/RecursiveLock.h"
#include "foundation/SmartPtr.h"
#include "rtsp/RTPClient.h"
#include "rtsp/RTPPacket.h"

namespace kestrum {

class CRTPReceiver : public IRTPClientUser, public CBaseThread {
 public:
  // Payload bytes the queue may hold while its user is slow; beyond this the
  // oldest packets are dropped (and counted).
  static constexpr size_t kQueueLimitBytes = 8u << 20;

  explicit CRTPReceiver(IDebugMessage* log);
  ~CRTPReceiver() override;

  void SetUser(IRTPReceiverUser* user) { user_ = user; }
  // Mode 0 (RTP over UDP) opens a transport on the port; other modes have
  // nothing to receive here and fail.
  bool StartReceiving(uint32_t mode, uint16_t port);
  void StopReceiving();
  uint16_t GetPort();

  uint64_t DroppedPackets() const { return dropped_.load(); }

  void OnData(IRTPClient* client, const SOCKET_ADDRESS_V4& sender, const uint8_t* data, uint32_t length) override;
  void OnTimeout(IRTPClient* client) override;
  void OnClosed(IRTPClient* client) override;

 protected:
  void Run() override;

 private:
  struct Entry {
    SOCKET_ADDRESS_V4 sender;
    CRTPPacket packet;
  };

  bool IsOwnTransport(IRTPClient* client);
  void ClearQueue();
  // Entries are reused, with their buffers, instead of being allocated for
  // every packet.
  std::unique_ptr<Entry> TakeSpare();
  void GiveBack(std::unique_ptr<Entry> entry);

  TSmartPtr<IRTPClient> transport_;
  std::atomic<IRTPReceiverUser*> user_{nullptr};
  CRecursiveLock lock_;
  std::deque<std::unique_ptr<Entry>> queue_;
  std::vector<std::unique_ptr<Entry>> spare_;  // under lock_
  size_t queuedBytes_ = 0;
  CEvent packetEvent_{false};
  std::atomic<uint64_t> dropped_{0};
};

}  // namespace kestrum
