#include "rtsp/RTPReceiver.h"

#include <new>

namespace kestrum {

namespace {
constexpr uint32_t kModeUdp = 0;
constexpr uint32_t kDatagramBuffer = 1536;
constexpr uint32_t kQuietSeconds = 2;
}  // namespace

CRTPReceiver::CRTPReceiver(IDebugMessage* log) : log_(log) {}

CRTPReceiver::~CRTPReceiver() { StopReceiving(); }

bool CRTPReceiver::StartReceiving(uint32_t mode, uint16_t port) {
  StopReceiving();
  if (mode != kModeUdp) return false;
  transport_.Reset(new (std::nothrow) CUDPClient(log_));
  TSmartPtr<CUDPClient> transport = transport_;
  bool started = false;
  if (!transport.IsEmpty()) {
    transport->SetBufferSize(kDatagramBuffer);
    transport->SetWaitTimeout(kQuietSeconds, 0);
    started = transport->Open(this, port);
  }
  if (!started) StopReceiving();
  return started;
}

void CRTPReceiver::StopReceiving() {
  TSmartPtr<CUDPClient> transport = transport_;
  if (!transport.IsEmpty()) {
    transport->Close();
    transport_.Release();
  }
}

uint16_t CRTPReceiver::GetPort() {
  TSmartPtr<CUDPClient> transport = transport_;
  return transport.IsEmpty() ? 0 : transport->GetPort();
}

CUDPClient* CRTPReceiver::Transport() { return transport_.Get(); }

size_t CRTPReceiver::Receive(uint64_t nowMs, bool readable) {
  TSmartPtr<CUDPClient> transport = transport_;
  return transport.IsEmpty() ? 0 : transport->Receive(nowMs, readable);
}

bool CRTPReceiver::IsOwnTransport(IRTPClient* client) {
  return client != nullptr && client == transport_.Get();
}

void CRTPReceiver::OnData(IRTPClient* client, const SOCKET_ADDRESS_V4& sender, const uint8_t* data,
                          uint32_t length) {
  IRTPReceiverUser* user = user_.load();
  if (!IsOwnTransport(client) || user == nullptr || !packet_.Parse(data, length)) return;
  SOCKET_ADDRESS_V4 from = sender;
  user->OnPacketFrom(&from, &packet_);
}

void CRTPReceiver::OnTimeout(IRTPClient* client) {
  IRTPReceiverUser* user = user_.load();
  if (IsOwnTransport(client) && user != nullptr) user->OnReceiveTimeout();
}

void CRTPReceiver::OnClosed(IRTPClient* client) {
  IRTPReceiverUser* user = user_.load();
  if (IsOwnTransport(client) && user != nullptr) user->OnTransportClosed();
}

}  // namespace kestrum
