// The library's side of sharing a serial port through the connection manager.
//
// A serial exchange requests the port when this program does not hold it and opens the serial
// control once the other holder has let go (the control refuses with "in use" until then).
// The port is kept until the manager signals that another program wants it: then it is closed
// at once when idle, or when the running exchange finishes (release_pending).
#pragma once

#include <functional>

#include "host/serial_port.hpp"
#include "model/link_context.hpp"

namespace parley::detail {

class PortArbiter {
 public:
  static constexpr float kPortWaitSeconds = 15;
  static constexpr float kReopenPauseSeconds = 1;

  explicit PortArbiter(LinkContext& core) : core_(core) {}

  // Unless the port is held: "Requesting port", one request, then WaitForPort.
  void AcquirePort();
  // Opens the control, retrying once a second (with a fresh request) for up to 15 s; fails
  // with "Couldn't get COMM port." or, on a halt, "User canceled operation.".
  void WaitForPort();
  // Asks the manager whether another program has locked the port (no connection: not locked).
  bool PortLocked();

  // Handlers of the connection's events. They never throw (they run inside the loop).
  void pcwConnection_NotifySignal();
  void pcwConnection_NotifyReset();

  // Called when another program takes the port (it may change the unit's settings meanwhile).
  std::function<void()> OnPortLost;

  // The manager handed the port over and the control is open.
  bool port_held() const { return port_held_; }
  // Gives the port up (the control is closed by the caller): the manager hands it on.
  void PortGivenUp();

  bool serial_active = false;    // a serial exchange is running
  bool release_pending = false;  // give the port up when the exchange ends

 private:
  SerialPort& Control();
  void RequestPort();
  void TryOpen();
  void PortTaken();
  // The once-a-second pause between openings, cut short when the manager grants the port.
  void PauseUntilGranted();
  bool Granted();
  // "Couldn't get COMM port.": why, and who has the port, for LastLinkError and the trace.
  void ExplainNoPort();

  bool port_held_ = false;
  std::string busy_reason_;  // the last "in use" refusal of the opening

  LinkContext& core_;
};

}  // namespace parley::detail
