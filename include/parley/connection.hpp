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
#include <optional>
#include <string>
#include <vector>

#include "parley/event.hpp"
#include "parley/export.hpp"

namespace parley {

class PARLEY_API PortConnection {
 public:
  virtual ~PortConnection() = default;
  virtual bool PortLocked() = 0;
  virtual void RequestPort() = 0;

  // The library opened the port for this program, or gave it up: a manager that queues the
  // programs waiting for a port hands it on at once. The defaults do nothing.
  virtual void PortAcquired() {}
  virtual void PortReleased() {}
  // True once the manager has handed the port to this program since its last RequestPort:
  // the port wait then tries the opening at once instead of at its next once-a-second try.
  virtual bool PortGranted() { return false; }
  // The program holding the port as the manager last said ("pid 1234 (name)"), for messages;
  // empty when unknown.
  virtual std::string PortHolder() { return {}; }

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

// Chooses the manager that KORInterface::openPort creates on the calling thread. Without a
// choice, serial modes use the cross-process manager (MakeServiceConnectionManager) and the
// other modes the in-process one; the environment variable PARLEY_CONNECTION_MANAGER
// (in-process or service) changes that default. Passing an empty function restores it.
PARLEY_API void UseConnectionManager(ConnectionManagerFactory factory);

// The in-process manager.
PARLEY_API std::shared_ptr<ConnectionManager> MakeInProcessConnectionManager();

// The cross-process manager: a client of parley-connd, the per-user service that arbitrates
// devices between programs. The service is started on demand (PARLEY_CONND names the program;
// otherwise it is looked for beside the running program, in the installed tools, then on
// PATH). Its notifications run on the calling thread's event loop: during the library's waits
// and whenever the program pumps the loop (EventLoop::Poll or RunFor). It needs the real
// event loop of the thread. GetConnection fails with err::CommUnavailable when the service
// cannot be reached or started; a call that finds the service gone fails once with the same
// error, and the next call reconnects (restarting the service).
PARLEY_API std::shared_ptr<ConnectionManager> MakeServiceConnectionManager();

// The service's view of the devices, for tools.
struct ManagedProgram {
  int32_t pid = 0;
  std::string name;
};
struct ManagedDevice {
  std::string device;  // the resolved path
  std::optional<ManagedProgram> locker;
  std::optional<ManagedProgram> holder;  // the program that last asked for it
  std::vector<ManagedProgram> waiting;   // programs asking for it now
  std::vector<ManagedProgram> users;     // programs with an open connection to it
};
// Asks the running service (it is not started for this); nothing when none runs.
PARLEY_API std::optional<std::vector<ManagedDevice>> ConnectionManagerStatus();
// Locks (or unlocks) `device` for every program: their transactions fail with
// err::CommPortLocked until it is unlocked. Starts the service when needed; a lock stays
// until it is unlocked, also after the calling program ended. Throws AutomationError when the
// device is already locked by another client or the service cannot be reached.
PARLEY_API void LockSerialDevice(const std::string& device, bool lock);
// Tells every program using `device` that it was reset (their KORInterface raises portReset).
PARLEY_API void NotifySerialDeviceReset(const std::string& device);

}  // namespace parley
