// The state behind a KORInterface: its settings, its lifecycle and the transports it drives.
//
// The core is the only piece that knows every transport; each transport sees the interface
// through LinkContext (model/link_context.hpp) and keeps its own link state.
#pragma once

#include <memory>
#include <string>

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

class InterfaceCore final : public LinkContext {
 public:
  explicit InterfaceCore(KORInterface& owner);
  ~InterfaceCore();

  KORInterface& owner;
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
  void ClosePortFromLink() override;
  void ReleaseLinkObjects() override;

  // Lifecycle steps of openPort and closePort.
  void OpenPort();
  void ClosePort();

  static InterfaceCore& Of(KORInterface& owner);

 private:
  std::shared_ptr<ConnectionManager> conn_man_;
};

// A KORInterface's core, for the library's own components.
InterfaceCore& CoreOf(KORInterface& owner);

}  // namespace parley::detail
