// The serial transport: port setup, the echo-and-terminator engine and GPIB forwarding.
#pragma once

#include "interface/catalogue.hpp"
#include "interface/core.hpp"

namespace parley::detail {

class SerialLink {
 public:
  explicit SerialLink(InterfaceCore& core) : core_(core) {}

  // Wires the controls' events (line events, timer ticks) to this link; openPort calls it.
  void AttachControls();
  // Closes the serial control if it is open (closePort, retries, releases).
  void SerialPortClose();
  // The manager wants the port for another program.
  void OnNotifySignal();

  // Mode branches of Transact, run as steps of Transact's error path.
  void TransactCRLFDirect(KORTransaction& t, const StepRunner& step);
  void TransactCRLFtoGPIB(KORTransaction& t, const StepRunner& step);

  // One command/response exchange over the serial link (every serial message uses it).
  void SerialTransact(KORTransaction& t);

 private:
  InterfaceCore& core_;
};

}  // namespace parley::detail
