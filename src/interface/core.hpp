// The state behind a KORInterface: its settings, its lifecycle and the transports it drives.
//
// The core is the only piece that knows every transport; each transport sees the interface
// through LinkContext (model/link_context.hpp) and keeps its own link state.
#pragma once

#include <unistd.h>

#include <exception>
#include <memory>
#include <string>
#include <thread>
#include <type_traits>

#include "model/handler_failure.hpp"
#include "model/link_context.hpp"
#include "parley/connection.hpp"
#include "parley/enums.hpp"
#include "parley/errors.hpp"
#include "parley/progress.hpp"
#include "parley/transaction.hpp"
#include "trace/debug_trace.hpp"

namespace parley {
class KORInterface;
}

namespace parley::detail {

class SerialLink;
class ForwardingLink;
class EtherLink;
class GpibLink;

class InterfaceCore final : public LinkContext, public std::enable_shared_from_this<InterfaceCore> {
 public:
  explicit InterfaceCore(KORInterface& owner);
  ~InterfaceCore();

  // Null once the KORInterface was destroyed; a call in progress then keeps this core alive
  // until it returns (see Call below).
  KORInterface* owner;
  const std::thread::id thread = std::this_thread::get_id();
  // A child of fork() shares the parent's descriptors: it must leave this core alone.
  const pid_t process = getpid();
  int call_depth = 0;  // public calls in progress on this thread (nested from handlers)
  int raising = 0;     // client handlers running from the core now
  // A handler's exception raised while this interface was idle and another's call ran the loop:
  // it is this interface's, so its next call raises it instead of that call.
  std::exception_ptr kept_failure;
  std::shared_ptr<KORProgress> progress;
  DebugTrace trace;

  // Our handlers on `connection`'s events.
  Connection signal_link;
  Connection reset_link;

  // --- transports ---------------------------------------------------------------------------
  std::unique_ptr<SerialLink> serial;
  std::unique_ptr<ForwardingLink> forwarding;
  std::unique_ptr<EtherLink> ether;
  std::unique_ptr<GpibLink> gpib;

  // --- LinkContext ----------------------------------------------------------------------------
  std::shared_ptr<KORProgress> CurrentProgress() override { return progress; }
  void DebugBuffWrite(int16_t kind, const std::string& text) override { trace.Write(kind, text); }
  bool UpdateProgress(std::string_view status, int16_t max = 0, int16_t value = 0,
                      bool halt_enabled = false) override;
  void RaisePortReset() override;
  void RaiseDebugMonUpdate();
  void ClosePortFromLink() override;
  void ReleaseLinkObjects() override;

  // Lifecycle steps of openPort and closePort.
  void OpenPort();
  void ClosePort();
  // openPort and closePort as a client calls them: entry checks and error path included.
  void RunOpenPort();
  void RunClosePort();

  // Error 5 for a call from a thread other than the creating one, or from a child of fork(),
  // before anything is touched.
  void CheckThread() const;
  bool MadeInOtherProcess() const { return process != getpid(); }
  // Called by ~KORInterface. True while a call or a handler raised by the core is running:
  // that finishes the work, and the core lives until it has.
  bool OwnerDestroyed();

 private:
  // Runs client handlers through `raise`. When one of them destroyed the KORInterface, the
  // operation in progress stops with InterfaceDestroyedError; outside any call the core stays
  // alive until the loop handler that raised the event has returned, then closes the port.
  template <class Raise>
  void RaiseClientEvent(Raise&& raise);
  bool RaisedDuringAnotherCall() const { return call_depth == 0 && host.calls_running() > 0; }
  void KeepForNextCall(const std::exception_ptr& error);
  void ReleaseLater();
  void CloseQuietly();
  friend class CallScope;

 public:
  // At the start of a call: the exception kept by KeepForNextCall, once.
  void RethrowKeptFailure();

 public:
  static InterfaceCore& Of(KORInterface& owner);

 private:
  std::shared_ptr<ConnectionManager> conn_man_;
};

// A KORInterface's core, for the library's own components.
InterfaceCore& CoreOf(KORInterface& owner);

// The error a call ends with when its interface was destroyed during it (by a handler).
AutomationError InterfaceDestroyedError();

// One public call in progress: refuses another thread, holds the core so that a handler that
// destroys the KORInterface frees nothing in use, and releases the link of a destroyed
// interface when its outermost call ends.
class CallScope {
 public:
  explicit CallScope(std::shared_ptr<InterfaceCore> core);
  ~CallScope();
  CallScope(const CallScope&) = delete;
  CallScope& operator=(const CallScope&) = delete;
  InterfaceCore& core() { return *core_; }

 private:
  std::shared_ptr<InterfaceCore> core_;
  ActivityScope activity_;
};

// Runs a public member's body on its core. A client handler's exception reaches the caller as
// it was thrown; once the interface was destroyed meanwhile, the call ends with
// InterfaceDestroyedError instead of its result or its own library error.
template <class Body>
decltype(auto) Call(const std::shared_ptr<InterfaceCore>& core, Body&& body) {
  CallScope scope(core);
  InterfaceCore& c = scope.core();
  c.RethrowKeptFailure();
  try {
    if constexpr (std::is_void_v<std::invoke_result_t<Body, InterfaceCore&>>) {
      RethrowHandlerFailure([&] { body(c); });
      if (!c.owner) throw InterfaceDestroyedError();
    } else {
      auto result = RethrowHandlerFailure([&] { return body(c); });
      if (!c.owner) throw InterfaceDestroyedError();
      return result;
    }
  } catch (const AutomationError&) {
    if (!c.owner) throw InterfaceDestroyedError();
    throw;
  }
}

}  // namespace parley::detail
