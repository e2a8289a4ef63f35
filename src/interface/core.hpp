// The state behind a KORInterface, shared by the interface object and its transports.
#pragma once

#include <memory>
#include <string>

#include "host/host.hpp"
#include "host/link_controls.hpp"
#include "interface/settings.hpp"
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
class EtherLink;
class GpibLink;

class InterfaceCore {
 public:
  explicit InterfaceCore(KORInterface& owner);
  ~InterfaceCore();

  KORInterface& owner;
  Host& host;  // the creating thread's host; every wait runs its loop
  Settings settings;

  // --- run-time state ----------------------------------------------------------------------
  bool busy = false;
  bool is_port_open = false;
  std::shared_ptr<KORProgress> progress;
  bool sre_sent = false;
  int16_t undefined_retries = 0;
  bool fwd_settings_sent = false;
  bool gpib_device_open = false;
  bool ether_awaiting_connect = true;
  bool ether_awaiting_greeting = false;

  // --- machinery built by openPort ----------------------------------------------------------
  std::unique_ptr<LinkControls> controls;
  std::shared_ptr<ConnectionManager> conn_man;
  std::shared_ptr<PortConnection> connection;
  Connection signal_link;  // our handlers on `connection`'s events
  Connection reset_link;

  DebugTrace trace;

  // --- transports ---------------------------------------------------------------------------
  std::unique_ptr<SerialLink> serial;
  std::unique_ptr<EtherLink> ether;
  std::unique_ptr<GpibLink> gpib;

  // Reports a stage to the current Progress object; true when a halt was requested.
  bool UpdateProgress(const std::string& status, int16_t max = 0, int16_t value = 0,
                      bool halt_enabled = false);
  void DebugBuffWrite(int16_t kind, const std::string& text) { trace.Write(kind, text); }
  void RaisePortReset();

  // Lifecycle steps shared by closePort and the transports.
  void OpenPort();
  void ClosePort();
  // Drops the controls and the manager objects (end of closePort and GPIBClose).
  void ReleaseLinkObjects();

  // Raises `number` from inside the library (the catalogue adds the message later).
  [[noreturn]] static void Raise(int32_t number);

  static InterfaceCore& Of(KORInterface& owner);
};

// A KORInterface's core, for the library's own components.
InterfaceCore& CoreOf(KORInterface& owner);

}  // namespace parley::detail
