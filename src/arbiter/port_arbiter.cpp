#include "arbiter/port_arbiter.hpp"

#include "catalogue/error_path.hpp"
#include "model/progress_update.hpp"
#include "model/timeout.hpp"
#include "trace/debug_trace.hpp"

namespace parley::detail {

SerialPort& PortArbiter::Control() {
  if (!core_.controls || !core_.controls->serial) Raise(err::CommUnavailable);
  return *core_.controls->serial;
}

namespace {
// A manager's failure keeps its reason in the trace; the catalogue then gives its number the
// fixed message.
template <class F>
auto AskManager(LinkContext& core, F&& f) {
  try {
    return f();
  } catch (const AutomationError& e) {
    if (e.Description() != CatalogueMessage(e.Number())) {
      core.DebugBuffWrite(kTraceError, std::to_string(e.Number()) + ", " + e.Description());
    }
    throw;
  }
}
}  // namespace

bool PortArbiter::PortLocked() {
  return core_.connection && AskManager(core_, [&] { return core_.connection->PortLocked(); });
}

void PortArbiter::RequestPort() {
  if (core_.connection) AskManager(core_, [&] { core_.connection->RequestPort(); });
}

void PortArbiter::AcquirePort() {
  if (port_held_) return;
  RunStep(core_, [&] { core_.UpdateProgress("Requesting port"); });
  RunStep(core_, [&] { RequestPort(); });
  RunStep(core_, [&] { WaitForPort(); });
}

// A port that is in use or temporarily unavailable is not an error here: the wait goes on. Any
// other refusal is final and fails the wait at once, its reason recorded.
void PortArbiter::TryOpen() {
  try {
    Control().PortOpen(true);
  } catch (const AutomationError& e) {
    if (!IsPortBusyRefusal(e.Number())) {
      core_.LinkFailed(e.Description());
      throw;
    }
    busy_reason_ = e.Description();
  }
}

bool PortArbiter::Granted() {
  return core_.connection && AskManager(core_, [&] { return core_.connection->PortGranted(); });
}

void PortArbiter::PauseUntilGranted() {
  double end = core_.host.MonotonicSeconds() + kReopenPauseSeconds;
  for (;;) {
    if (Granted()) return;
    double now = core_.host.MonotonicSeconds();
    if (now >= end) return;
    WaitAtMost(core_.host, end - now);
  }
}

void PortArbiter::PortTaken() {
  port_held_ = true;
  busy_reason_.clear();
  if (core_.connection) AskManager(core_, [&] { core_.connection->PortAcquired(); });
}

void PortArbiter::PortGivenUp() {
  if (!port_held_) return;
  port_held_ = false;
  // Runs where nothing may be thrown (the manager's notification, an exchange's end): a
  // manager that cannot be told learns it from the port's next request or our departure.
  if (!core_.connection) return;
  try {
    core_.connection->PortReleased();
  } catch (const std::exception&) {
  }
}

void PortArbiter::ExplainNoPort() {
  std::string why = busy_reason_.empty() ? "the port stayed closed" : busy_reason_;
  std::string holder;
  if (core_.connection) {
    try {
      holder = core_.connection->PortHolder();
    } catch (const std::exception&) {
    }
  }
  if (!holder.empty()) why += "; held by " + holder;
  core_.LinkFailed(why);
}

void PortArbiter::WaitForPort() {
  KORTimeout timeout(core_.host);
  RunStep(core_, [&] { timeout.Start(kPortWaitSeconds); });
  for (;;) {
    RunStep(core_, [&] { TryOpen(); });
    bool open = false;
    RunStep(core_, [&] { open = Control().PortOpen(); });
    if (open) {
      core_.UpdateProgress("");
      RunStep(core_, [&] { PortTaken(); });
      return;
    }
    RunStep(core_, [&] { PauseUntilGranted(); });
    RunStep(core_, [&] { RequestPort(); });
    RunStep(core_, [&] {
      if (core_.UpdateProgress("Waiting for port", RoundToInt16(timeout.Length()),
                               RoundToInt16(timeout.TimeRemaining()), true)) {
        Raise(err::UserCanceled);
      }
    });
    if (timeout.Expired()) break;
  }
  core_.UpdateProgress("");
  // Another program had the port all this time and may have changed the unit's settings.
  if (OnPortLost) OnPortLost();
  ExplainNoPort();
  RunStep(core_, [] { Raise(err::CouldNotGetCommPort); });
}

void PortArbiter::pcwConnection_NotifySignal() {
  if (!port_held_) return;
  // The next holder may change the remote unit's GPIB settings.
  if (OnPortLost) OnPortLost();
  if (serial_active) {
    release_pending = true;
    return;
  }
  try {
    if (core_.controls && core_.controls->serial && core_.controls->serial->PortOpen()) {
      core_.controls->serial->PortOpen(false);
    }
  } catch (const std::exception&) {
    // Closing cannot be refused in a way that keeps the port; it is given up either way.
  }
  PortGivenUp();
}

void PortArbiter::pcwConnection_NotifyReset() { core_.RaisePortReset(); }

}  // namespace parley::detail
