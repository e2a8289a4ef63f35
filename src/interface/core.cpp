#include "interface/core.hpp"

#include "catalogue/error_path.hpp"
#include "ether/ether_link.hpp"
#include "forwarding/forwarding_link.hpp"
#include "gpib/gpib_link.hpp"
#include "model/access.hpp"
#include "model/progress_update.hpp"
#include "parley/interface.hpp"
#include "serial/serial_link.hpp"
#include "trace/debug_trace.hpp"

namespace parley::detail {

std::shared_ptr<ConnectionManager> CreateThreadConnectionManager(int32_t comm_mode);

InterfaceCore::InterfaceCore(KORInterface& owner_object)
    : LinkContext(CurrentHost()),
      owner(owner_object),
      progress(std::make_shared<KORProgress>()),
      trace([this] { return host.LocalDateTimeText(); },
            [this] { EventAccess::Raise(owner.debugMonUpdate); }),
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
  // Held for the call: a handler that replaces Progress must not free the object in use.
  auto current = progress;
  return detail::UpdateProgress(*current, status, max, value, halt_enabled);
}

void InterfaceCore::RaisePortReset() { EventAccess::Raise(owner.portReset); }

void InterfaceCore::ClosePortFromLink() { owner.closePort(); }

void InterfaceCore::OpenPort() {
  controls = std::make_unique<LinkControls>(host);
  serial->AttachControls();
  ether->AttachControls();
  ether->PortOpened();
  try {
    conn_man_ = CreateThreadConnectionManager(settings.comm_mode);
    connection = conn_man_->GetConnection(settings.comm_port);
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

InterfaceCore& InterfaceCore::Of(KORInterface& owner) { return *owner.core_; }
InterfaceCore& CoreOf(KORInterface& owner) { return InterfaceCore::Of(owner); }

}  // namespace parley::detail
