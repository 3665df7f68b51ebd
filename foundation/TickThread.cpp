#include "foundation/TickThread.h"

namespace kestrum {

CTickThread::~CTickThread() { Stop(); }

bool CTickThread::Start(const char* name) {
  tickAtStart_ = true;
  return CBaseThread::Start(name);
}

bool CTickThread::Stop() { return StopThread(5000); }

void CTickThread::Run() {
  if (tickAtStart_) OnTick();
  for (;;) {
    if (StopEvent().Wait(period_)) return;
    OnTick();
  }
}

}  // namespace kestrum
