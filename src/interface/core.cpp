#include "interface/core.hpp"

#include "ether/ether_link.hpp"
#include "gpib/gpib_link.hpp"
#include "interface/catalogue.hpp"
#include "model/access.hpp"
#include "model/progress_update.hpp"
#include "parley/interface.hpp"
#include "serial/serial_link.hpp"

namespace parley::detail {

std::shared_ptr<ConnectionManager> CreateThreadConnectionManager();

InterfaceCore::InterfaceCore(KORInterface& owner_object)
    : owner(owner_object),
      host(CurrentHost()),
      progress(std::make_shared<KORProgress>()),
      trace([this] { return host.LocalDateTimeText(); },
            [this] { EventAccess::Raise(owner.debugMonUpdate); }),
      serial(std::make_unique<SerialLink>(*this)),
      ether(std::make_unique<EtherLink>(*this)),
      gpib(std::make_unique<GpibLink>(*this)) {}

InterfaceCore::~InterfaceCore() = default;

bool InterfaceCore::UpdateProgress(const std::string& status, int16_t max, int16_t value,
                                   bool halt_enabled) {
  // Held for the call: a handler that replaces Progress must not free the object in use.
  auto current = progress;
  return detail::UpdateProgress(*current, status, max, value, halt_enabled);
}

void InterfaceCore::RaisePortReset() { EventAccess::Raise(owner.portReset); }

void InterfaceCore::Raise(int32_t number) { throw AutomationError(number, kLibrarySource, ""); }

void InterfaceCore::OpenPort() {
  controls = std::make_unique<LinkControls>(host);
  serial->AttachControls();
  ether->AttachControls();
  ether_awaiting_connect = true;
  ether_awaiting_greeting = false;
  conn_man = CreateThreadConnectionManager();
  connection = conn_man->GetConnection(settings.comm_port);
  if (connection) {
    signal_link = connection->NotifySignal.connect([this] { serial->OnNotifySignal(); });
    reset_link = connection->NotifyReset.connect([this] { serial->OnNotifyReset(); });
  }
  is_port_open = true;
  sre_sent = false;
  fwd_settings_sent = false;
  gpib_device_open = false;
}

void InterfaceCore::ClosePort() {
  serial->SerialPortClose();
  if (controls && controls->tcp) controls->tcp->Close();
  ReleaseLinkObjects();
  is_port_open = false;
  fwd_settings_sent = false;
  sre_sent = false;
}

void InterfaceCore::ReleaseLinkObjects() {
  if (controls) controls->timer.Enabled(false);
  controls.reset();
  signal_link.disconnect();
  reset_link.disconnect();
  connection.reset();
  conn_man.reset();
}

InterfaceCore& InterfaceCore::Of(KORInterface& owner) { return *owner.core_; }
InterfaceCore& CoreOf(KORInterface& owner) { return InterfaceCore::Of(owner); }

}  // namespace parley::detail
