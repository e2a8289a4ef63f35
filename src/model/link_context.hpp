// What a transport may see of the interface it serves.
//
// The interface's core implements this; the transports (serial, forwarding, direct GPIB,
// Ethernet) and the port arbiter work through it alone and never include the core, so the
// dependencies run one way: core -> transports -> model, catalogue, host.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "host/host.hpp"
#include "host/link_controls.hpp"
#include "model/settings.hpp"
#include "parley/connection.hpp"
#include "parley/progress.hpp"
#include "parley/transaction.hpp"
#include "trace/debug_trace.hpp"

namespace parley::detail {

// The state the error path keeps per interface: the halt to acknowledge, the trace to write
// and the "Undefined error." retry count.
class ErrorContext {
 public:
  // The Progress object in use now (a handler may have replaced it).
  virtual std::shared_ptr<KORProgress> CurrentProgress() = 0;
  virtual void DebugBuffWrite(int16_t kind, const std::string& text) = 0;

  int16_t undefined_retries = 0;

 protected:
  ~ErrorContext() = default;
};

class LinkContext : public ErrorContext {
 public:
  explicit LinkContext(std::shared_ptr<Host> thread_host)
      : host_share_(std::move(thread_host)), host(*host_share_) {}

 private:
  // Shared with the thread, so the links' facilities are closed on a live loop even when the
  // interface outlives its thread's own reference to it.
  std::shared_ptr<Host> host_share_;

 public:
  Host& host;  // the creating thread's host; every wait runs its loop
  Settings settings;
  bool busy = false;
  bool is_port_open = false;
  // Built by openPort, released by closePort and GPIBClose.
  std::unique_ptr<LinkControls> controls;
  std::shared_ptr<PortConnection> connection;
  // The system's reason for the last failure of the port or connection (LastLinkError).
  std::string last_link_error;

  // Records a link failure's reason for the client and in the trace.
  void LinkFailed(const std::string& reason) {
    last_link_error = reason;
    DebugBuffWrite(kTraceError, "Link error: " + reason);
  }

  // Reports a stage to the current Progress object; true when a halt was requested.
  virtual bool UpdateProgress(std::string_view status, int16_t max = 0, int16_t value = 0,
                              bool halt_enabled = false) = 0;
  virtual void RaisePortReset() = 0;
  // closePort as a client calls it (entry checks and error path included).
  virtual void ClosePortFromLink() = 0;
  // Drops the controls and the manager objects (end of closePort and GPIBClose).
  virtual void ReleaseLinkObjects() = 0;

 protected:
  ~LinkContext() = default;
};

}  // namespace parley::detail
