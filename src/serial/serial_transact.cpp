// The serial exchange engine: SerialTransact with its wait loop, and the receive pass.
#include <algorithm>
#include <optional>

#include "model/access.hpp"
#include "model/progress_update.hpp"
#include "serial/serial_link.hpp"

namespace parley::detail {
template <class F>
void SerialLink::Step(F&& f) {
  RunStep(core_, [&] {
    try {
      f();
    } catch (...) {
      StopTimer();
      throw;
    }
  });
}

void SerialLink::StopTimer() {
  if (core_.controls) core_.controls->timer.Enabled(false);
}

void SerialLink::SerialTransact(KORTransaction& t) {
  std::optional<AutomationError> failure;
  try {
    RunExchange(t);
  } catch (AutomationError& e) {
    failure = std::move(e);
  }
  Finish();
  if (failure) throw *failure;
}

void SerialLink::RunExchange(KORTransaction& t) {
  Step([&] { core_.UpdateProgress("Starting serial transaction"); });
  Step([&] {
    if (!core_.is_port_open) Raise(err::PortNotOpen);
  });
  Step([&] { SerialPortInit(); });
  retries_ = 0;
  while (!Attempt(t)) Step([&] { PrepareRetry(); });
}

bool SerialLink::Attempt(KORTransaction& t) {
  Step([&] {
    arbiter_.serial_active = true;
    if (arbiter_.PortLocked()) Raise(err::CommPortLocked);
  });
  Step([&] { arbiter_.AcquirePort(); });
  Step([&] {
    core_.UpdateProgress("Clearing receive buffer");
    Control().DiscardInBuffer();
    RaiseRecordedError();
  });
  Step([&] {
    core_.UpdateProgress("Clearing transmit buffer");
    Control().DiscardOutBuffer();
  });
  Step([&] { Transmit(t.cmd()); });
  Step([&] {
    core_.UpdateProgress("Preparing for response");
    sent_cmd_ = t.cmd();
    const Settings& s = core_.settings;
    if (PlainLink(s)) {
      framer_.Start("", s.resp_term, s.remove_extra_char, kMaxResponseBytes);  // no echo comes
    } else if (s.verify_echo) {
      wire_.assign(sent_cmd_).append(s.cmd_term);
      framer_.Start(wire_, s.resp_term, s.remove_extra_char, kMaxResponseBytes);
    } else {
      framer_.StartLengthOnly(sent_cmd_.size() + s.cmd_term.size(), s.resp_term,
                              s.remove_extra_char, kMaxResponseBytes);
    }
    core_.controls->timer.Enabled(true);
  });
  KORTimeout response(core_.host);
  KORTimeout echo(core_.host);
  Step([&] {
    StartResponseTimeout(response, core_.settings, t);
    echo.Start(kEchoSeconds);
  });
  bool answered = false;
  Step([&] { answered = WaitForResponse(t, response, echo); });
  return answered;
}

void SerialLink::Transmit(const std::string& command) {
  core_.UpdateProgress("Transmitting");
  core_.DebugBuffWrite(kTraceWrite, command);
  wire_.assign(command).append(core_.settings.cmd_term);
  Control().Write(wire_);
  if (on_transmit) on_transmit();
  RaiseRecordedError();
}

// Blocks on the loop between checks, so a wait costs no CPU: a receive pass (run as soon as the
// port reports data), a line event or any other handler ends a pass at once. Otherwise a pass
// lasts until the countdown shown next moves or the wait expires; only the first one is held to
// a receive tick, so that the first stage report of a slow exchange comes when it always did.
// False: no echo in time and a retry is left.
bool SerialLink::WaitForResponse(KORTransaction& t, const KORTimeout& response,
                                 const KORTimeout& echo) {
  bool first = true;
  for (;;) {
    WaitOnce(response, echo, first);
    first = false;
    if (comm_error_.set && comm_error_.ends_exchange) RaiseRecordedError();
    if (!framer_.echo_received()) {
      if (core_.UpdateProgress("Waiting for echo", RoundToInt16(echo.Length()),
                               RoundToInt16(echo.TimeRemaining()), true)) {
        Raise(err::UserCanceled);
      }
      if (echo.Expired()) {
        if (retries_ < kMaxRetries) {
          StopTimer();
          return false;
        }
        Raise(err::NoResponseFromRemoteUnit);
      }
    } else if (core_.UpdateProgress("Waiting for response", RoundToInt16(response.Length()),
                                    RoundToInt16(response.TimeRemaining()), true)) {
      Raise(err::UserCanceled);
    }
    if (framer_.complete()) {
      TransactionAccess::SetResp(t, framer_.response());
      return true;
    }
    if (response.Expired()) Raise(err::ResponseTerminatorTimeout);
  }
}

void SerialLink::WaitOnce(const KORTimeout& response, const KORTimeout& echo, bool first) {
  constexpr double kShortestPass = 0.001;
  const KORTimeout& shown = framer_.echo_received() ? response : echo;
  double until = first ? kFirstPassSeconds : UntilCountdownMoves(shown);
  double left = std::min(SecondsLeft(response, echo), until);
  WaitAtMost(core_.host, std::max(left, kShortestPass));
}

// Until the echo is in, its own shorter timeout ends the wait first.
double SerialLink::SecondsLeft(const KORTimeout& response, const KORTimeout& echo) const {
  double left = response.TimeRemaining();
  if (!framer_.echo_received()) left = std::min<double>(left, echo.TimeRemaining());
  return left;
}

void SerialLink::PrepareRetry() {
  core_.UpdateProgress("Retrying transaction");
  ++retries_;
  SerialPortClose();
  arbiter_.PortGivenUp();
  comm_error_.set = false;
}

void SerialLink::Finish() {
  StopTimer();
  core_.UpdateProgress("");
  arbiter_.serial_active = false;
  if (!arbiter_.release_pending) return;
  arbiter_.release_pending = false;
  SerialPortClose();
  arbiter_.PortGivenUp();
  WaitSeconds(core_.host, PortArbiter::kReopenPauseSeconds);
}

void SerialLink::ptwTrans_Timer() {
  int32_t mode = core_.settings.comm_mode;
  if (mode == korCommModeCRLFtoGPIB || mode == korCommModeCRLFDirect ||
      mode == korCommModeGPIBInOut) {
    SerialReceive();
  }
}

// Errors here never leave the pass: they are recorded, the timer stays off, and the exchange
// ends by its timeout; the record is raised by a later check. While a pass runs no other pass
// starts (a trace handler may pump the loop); the timer keeps its rhythm instead of being
// stopped and restarted around every pass, which would cost two timer changes per chunk.
void SerialLink::SerialReceive() {
  if (receiving_) return;
  receiving_ = true;
  std::optional<AutomationError> failure;
  try {
    SerialPort& port = Control();
    if (port.Available() > 0) {
      std::string chunk = port.TakeReceived();
      core_.DebugBuffWrite(kTraceRead, chunk);
      RaiseRecordedError();
      bool done = framer_.Append(chunk);
      TraceStale(core_, framer_);
      if (done) StopTimer();
    }
    receiving_ = false;
    return;
  } catch (AutomationError& e) {
    failure.emplace(std::move(e));
  } catch (const std::exception& e) {
    failure.emplace(ToAutomationError(e));
  }
  receiving_ = false;
  StopTimer();
  if (failure->Number() == err::Overflow) {
    // A flood without terminator: the receive buffer's bound is reached, and the exchange ends
    // with the line's overflow error.
    core_.DebugBuffWrite(kTraceError, failure->Description());
    comm_error_ = {true, err::CommRxOverflow, "", "", true};
    return;
  }
  comm_error_ = {true, failure->Number(), failure->Description(), failure->Source(),
                 failure->Number() == kSerialLineLost};
}

}  // namespace parley::detail
