#include "support/scripted_manager.hpp"

#include "parley/errors.hpp"

namespace parley::testing {

void ScriptedConnection::RequestPort() {
  double now = host_.SecondsSinceMidnight();
  request_times.push_back(now);
  if (first_request_ < 0) first_request_ = now;
}

bool ScriptedConnection::HeldByOther() const {
  if (held_for_ <= 0) return false;
  if (first_request_ < 0) return true;
  double now = host_.SecondsSinceMidnight();
  if (now < first_request_) now += 86400.0;
  return now - first_request_ < held_for_;
}

std::shared_ptr<PortConnection> ScriptedConnectionManager::GetConnection(int32_t port) {
  requested_ports.push_back(port);
  if (fail_get_connection) {
    throw AutomationError(static_cast<int32_t>(0x800401F3), "KORConnMan", "Invalid class string");
  }
  return Connection(port);
}

std::shared_ptr<PortConnection> ScriptedConnectionManager::GetDeviceConnection(
    int32_t port, const std::string& device) {
  requested_devices.push_back(device);
  return GetConnection(port);
}

std::shared_ptr<ScriptedConnection> ScriptedConnectionManager::Connection(int32_t port) {
  auto& slot = connections_[port];
  if (!slot) slot = std::make_shared<ScriptedConnection>(host_);
  return slot;
}

ScopedScriptedManager::ScopedScriptedManager(detail::Host& host)
    : manager_(std::make_shared<ScriptedConnectionManager>(host)) {
  auto manager = manager_;
  UseConnectionManager([manager] { return manager; });
}

ScopedScriptedManager::~ScopedScriptedManager() { UseConnectionManager({}); }

}  // namespace parley::testing
