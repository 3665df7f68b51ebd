#include "io/DigitalIO.h"

#include "foundation/HttpUtils.h"
#include "foundation/TextUtils.h"

namespace kestrum {

CDigitalIO::CDigitalIO(IDriver* driver)
    : CIOBase(driver), outputSender_(driver->GetDeviceInfo()), inputSender_(driver->GetDeviceInfo()) {
  // Each worker's requests end as soon as that worker is asked to stop.
  outputSender_.SetStopEvent(&OutputStopSignal());
  inputSender_.SetStopEvent(&InputStopSignal());
}

CDigitalIO::~CDigitalIO() { StopThreads(); }

bool CDigitalIO::WriteOutputState(uint32_t, uint32_t state) {
  return HUtils::RequestGetRD(outputSender_, state == 1 ? "/io.cgi?relay=0" : "/io.cgi?relay=1");
}

bool CDigitalIO::GetInputStates(uint32_t inputCount) {
  std::string reply;
  if (!HUtils::RequestGetRD(inputSender_, "/io.cgi", reply) || reply.empty()) return false;
  for (uint32_t i = 1; i <= inputCount; ++i) {
    const std::string value = GetLineValue(reply, FormatString("trigger%u", i), "=", "\r\n");
    UpdateInputState(i - 1, value.find('0') != std::string::npos ? 2 : 1);
  }
  return true;
}

}  // namespace kestrum
