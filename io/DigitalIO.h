// The Quellon camera's alarm inputs and relay over "/io.cgi".
#pragma once

#include "foundation/HttpSender.h"
#include "io/IOBase.h"

namespace kestrum {

class CDigitalIO : public CIOBase {
 public:
  explicit CDigitalIO(IDriver* driver);
  ~CDigitalIO() override;

 protected:
  // "/io.cgi?relay=0" for state 1, "/io.cgi?relay=1" for any other; every
  // index switches the camera's one relay.
  bool WriteOutputState(uint32_t index, uint32_t state) override;
  // triggerN containing "0" is state 2, anything else (missing too) state 1.
  // A failed request is a failure, so the tables are reset and it is reported.
  bool GetInputStates(uint32_t inputCount) override;

 private:
  Web::CHttpSender outputSender_;
  Web::CHttpSender inputSender_;
};

}  // namespace kestrum
