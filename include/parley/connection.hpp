// The connection manager through which programs share serial ports.
//
// Before each serial exchange the library asks the manager's connection object for its port
// whether the port is locked and, when it does not hold the port, requests it. The manager
// raises NotifySignal when another program wants the port (the library then closes it) and
// NotifyReset to tell the client that the port was reset (raised on as KORInterface::portReset).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "parley/event.hpp"
#include "parley/export.hpp"

namespace parley {

class PARLEY_API PortConnection {
 public:
  virtual ~PortConnection() = default;
  virtual bool PortLocked() = 0;
  virtual void RequestPort() = 0;

  Event NotifySignal;
  Event NotifyReset;

 protected:
  // Managers raise the events through these.
  void RaiseNotifySignal();
  void RaiseNotifyReset();
};

class PARLEY_API ConnectionManager {
 public:
  virtual ~ConnectionManager() = default;
  // The connection object for serial port number `port`. May throw AutomationError.
  virtual std::shared_ptr<PortConnection> GetConnection(int32_t port) = 0;
};

using ConnectionManagerFactory = std::function<std::shared_ptr<ConnectionManager>()>;

// Chooses the manager that KORInterface::openPort creates on the calling thread. The default
// is an in-process manager for a program alone on its ports: every port is granted at once and
// never locked. Passing an empty function restores the default.
PARLEY_API void UseConnectionManager(ConnectionManagerFactory factory);

// The in-process manager.
PARLEY_API std::shared_ptr<ConnectionManager> MakeInProcessConnectionManager();

}  // namespace parley
