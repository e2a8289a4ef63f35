#include "interface/core.hpp"

#include <cxxabi.h>

#include <string>
#include <utility>

#include "catalogue/error_path.hpp"
#include "ether/ether_link.hpp"
#include "forwarding/forwarding_link.hpp"
#include "gpib/gpib_link.hpp"
#include "model/access.hpp"
#include "model/progress_update.hpp"
#include "parley/interface.hpp"
#include "parley/serial.hpp"
#include "serial/serial_link.hpp"
#include "trace/debug_trace.hpp"

namespace parley::detail {

std::shared_ptr<ConnectionManager> CreateThreadConnectionManager(int32_t comm_mode);

InterfaceCore::InterfaceCore(KORInterface& owner_object)
    : LinkContext(CurrentHostShared()),
      owner(&owner_object),
      progress(std::make_shared<KORProgress>()),
      trace([this] { return host.LocalDateTimeText(); }, [this] { RaiseDebugMonUpdate(); }),
      serial(std::make_unique<SerialLink>(*this)),
      forwarding(std::make_unique<ForwardingLink>(*this, *serial)),
      ether(std::make_unique<EtherLink>(*this)),
      gpib(std::make_unique<GpibLink>(*this)) {
  // Another program may change the unit's GPIB settings while it holds the port.
  serial->arbiter().OnPortLost = [this] { forwarding->ForgetSettingsSent(); };
}

InterfaceCore::~InterfaceCore() = default;

bool InterfaceCore::UpdateProgress(std::string_view status, int16_t max, int16_t value,
                                   bool halt_enabled) {
  // Nobody listens: no client code can run, so the guards below have nothing to guard.
  if (progress->Update.handler_count() == 0) {
    return detail::UpdateProgress(*progress, status, max, value, halt_enabled);
  }
  // Held for the call: a handler that replaces Progress must not free the object in use.
  auto current = progress;
  bool halt = false;
  RaiseClientEvent(
      [&] { halt = detail::UpdateProgress(*current, status, max, value, halt_enabled); });
  return halt;
}

void InterfaceCore::RaisePortReset() {
  RaiseClientEvent([&] {
    if (owner) EventAccess::Raise(owner->portReset);
  });
}

void InterfaceCore::RaiseDebugMonUpdate() {
  RaiseClientEvent([&] {
    if (owner) EventAccess::Raise(owner->debugMonUpdate);
  });
}

template <class Raise>
void InterfaceCore::RaiseClientEvent(Raise&& raise) {
  auto self = shared_from_this();  // a handler may drop the owner's reference
  ++raising;
  try {
    try {
      raise();
    } catch (const HandlerFailure& failure) {
      // Another interface's operation is running the loop: ending it would blame it for this
      // interface's handler.
      if (!RaisedDuringAnotherCall()) throw;
      KeepForNextCall(failure.error);
    }
  } catch (...) {
    --raising;
    if (!owner && call_depth == 0) ReleaseLater();
    throw;
  }
  --raising;
  if (owner) return;
  if (call_depth > 0) throw HandlerFailure{std::make_exception_ptr(InterfaceDestroyedError())};
  if (raising == 0) ReleaseLater();
}

namespace {
std::string WhatOf(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "(not a std::exception)";
  }
}
}  // namespace

// The first one is kept; later ones before the next call are dropped (the trace entry of the
// first may itself raise debugMonUpdate, whose failure then ends here).
void InterfaceCore::KeepForNextCall(const std::exception_ptr& error) {
  if (kept_failure) return;
  kept_failure = error;
  DebugBuffWrite(kTraceError,
                 "Event handler exception, kept for this interface's next call: " + WhatOf(error));
}

void InterfaceCore::RethrowKeptFailure() {
  if (!kept_failure) return;
  std::rethrow_exception(std::exchange(kept_failure, nullptr));
}

void InterfaceCore::ReleaseLater() {
  host.Post([self = shared_from_this()] { self->CloseQuietly(); });
}

void InterfaceCore::CloseQuietly() {
  try {
    if (is_port_open && !busy) RunClosePort();
  } catch (abi::__forced_unwind&) {
    throw;  // a thread being ended is never held back here
  } catch (...) {
    // Nobody is left to report to; the machinery goes with the core either way.
  }
}

void InterfaceCore::ClosePortFromLink() { RunClosePort(); }

namespace {
// openPort and closePort: refused while busy, nothing to do in the state asked for.
template <class Step>
void RunLifecycleStep(InterfaceCore& c, bool done_when_open, Step&& step) {
  RunStep(c, [&] {
    if (c.busy) Raise(err::InterfaceBusy);
  });
  if (c.is_port_open == done_when_open) return;
  c.busy = true;
  RunStep(c, step, [&] { c.busy = false; });
  c.busy = false;
}
}  // namespace

void InterfaceCore::RunOpenPort() {
  RunLifecycleStep(*this, true, [&] { OpenPort(); });
}
void InterfaceCore::RunClosePort() {
  RunLifecycleStep(*this, false, [&] { ClosePort(); });
}

void InterfaceCore::CheckThread() const {
  if (MadeInOtherProcess()) {
    throw AutomationError(err::InvalidCall, "KORInterface",
                          "Invalid procedure call or argument: the KORInterface was created "
                          "before fork() in the parent process; make a new one in this process.");
  }
  if (std::this_thread::get_id() == thread) return;
  throw AutomationError(err::InvalidCall, "KORInterface",
                        "Invalid procedure call or argument: a KORInterface belongs to the "
                        "thread that created it and is called only there.");
}

bool InterfaceCore::OwnerDestroyed() {
  owner = nullptr;
  return call_depth > 0 || raising > 0;
}

AutomationError InterfaceDestroyedError() {
  return AutomationError(err::InvalidCall, "KORInterface",
                         "Invalid procedure call or argument: the KORInterface was destroyed "
                         "during the call.");
}

namespace {
// The device the serial link will open, which the connection manager coordinates by.
std::string SerialDevice(const Settings& s) {
  return s.device_path.empty() ? SerialDevicePath(s.comm_port) : s.device_path;
}

// The thread check comes before the activity lock is taken: a call from a foreign thread
// must fail at once, not wait for the owner to be idle.
Host& CheckedHost(InterfaceCore& core) {
  core.CheckThread();
  return core.host;
}
}  // namespace

CallScope::CallScope(std::shared_ptr<InterfaceCore> core)
    : core_(std::move(core)), activity_(CheckedHost(*core_)) {
  ++core_->call_depth;
  core_->host.CallStarted();
}

CallScope::~CallScope() {
  core_->host.CallEnded();
  if (--core_->call_depth > 0 || core_->owner || core_->raising > 0) return;
  // The outermost call of an interface destroyed during it: close what the destructor could not.
  core_->CloseQuietly();
}

void InterfaceCore::OpenPort() {
  controls = std::make_unique<LinkControls>(host);
  serial->AttachControls();
  ether->AttachControls();
  ether->PortOpened();
  try {
    conn_man_ = CreateThreadConnectionManager(settings.comm_mode);
    connection = conn_man_->GetDeviceConnection(settings.comm_port, SerialDevice(settings));
  } catch (const AutomationError& e) {
    // The catalogue gives the number its fixed message; why the manager failed stays here.
    if (e.Description() != CatalogueMessage(e.Number())) {
      DebugBuffWrite(kTraceError, std::to_string(e.Number()) + ", " + e.Description());
    }
    ReleaseLinkObjects();
    throw;
  }
  if (connection) {
    signal_link = connection->NotifySignal.connect([this] { serial->OnNotifySignal(); });
    reset_link = connection->NotifyReset.connect([this] { serial->OnNotifyReset(); });
  }
  is_port_open = true;
  gpib->PortOpened();
  forwarding->ForgetSettingsSent();
}

void InterfaceCore::ClosePort() {
  serial->SerialPortClose();
  if (controls && controls->tcp) controls->tcp->Close();
  ReleaseLinkObjects();
  is_port_open = false;
  gpib->PortClosed();
  forwarding->ForgetSettingsSent();
}

void InterfaceCore::ReleaseLinkObjects() {
  if (controls) controls->timer.Enabled(false);
  controls.reset();
  signal_link.disconnect();
  reset_link.disconnect();
  connection.reset();
  conn_man_.reset();
}

InterfaceCore& InterfaceCore::Of(KORInterface& owner_object) { return *owner_object.core_; }
InterfaceCore& CoreOf(KORInterface& owner) { return InterfaceCore::Of(owner); }

}  // namespace parley::detail
