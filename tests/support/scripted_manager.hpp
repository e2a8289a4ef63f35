// A connection manager a test can script: locked ports, a port held by another program for a
// while, and NotifySignal / NotifyReset on demand. Times run on the thread's host clock.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/host.hpp"
#include "parley/connection.hpp"

namespace parley::testing {

class ScriptedConnection : public PortConnection {
 public:
  explicit ScriptedConnection(detail::Host& host) : host_(host) {}

  bool PortLocked() override {
    ++locked_calls;
    return locked;
  }
  void RequestPort() override;

  // The port is held by another program that lets go `seconds` after the first request.
  void HeldByOtherFor(double seconds) { held_for_ = seconds; }
  // Whether another program still holds the port (a serial facility double consults this).
  bool HeldByOther() const;

  void Signal() { RaiseNotifySignal(); }
  void Reset() { RaiseNotifyReset(); }

  bool locked = false;
  int locked_calls = 0;
  std::vector<double> request_times;  // host clock at each RequestPort

 private:
  detail::Host& host_;
  double held_for_ = 0;
  double first_request_ = -1;
};

class ScriptedConnectionManager : public ConnectionManager {
 public:
  explicit ScriptedConnectionManager(detail::Host& host) : host_(host) {}
  std::shared_ptr<PortConnection> GetConnection(int32_t port) override;
  std::shared_ptr<PortConnection> GetDeviceConnection(int32_t port,
                                                      const std::string& device) override;
  // The connection of `port`, made on first use.
  std::shared_ptr<ScriptedConnection> Connection(int32_t port);

  bool fail_get_connection = false;
  std::vector<int32_t> requested_ports;
  std::vector<std::string> requested_devices;

 private:
  detail::Host& host_;
  std::map<int32_t, std::shared_ptr<ScriptedConnection>> connections_;
};

// Installs a scripted manager for the calling thread while alive.
class ScopedScriptedManager {
 public:
  explicit ScopedScriptedManager(detail::Host& host);
  ~ScopedScriptedManager();
  ScriptedConnectionManager& manager() { return *manager_; }

 private:
  std::shared_ptr<ScriptedConnectionManager> manager_;
};

}  // namespace parley::testing
