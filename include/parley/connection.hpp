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
#include <utility>
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
  // The connection object for the device a serial link opens: `device` is the interface's
  // DevicePath, or else the device port number `port` is mapped to. The library's managers
  // key by the device, so interfaces naming one device by path and by number share it; the
  // default asks for `port`, for managers that know port numbers only.
  virtual std::shared_ptr<PortConnection> GetDeviceConnection(int32_t port,
                                                              const std::string& device) {
    static_cast<void>(device);
    return GetConnection(port);
  }
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
// devices between programs. The service is started on demand (PARLEY_CONND names the program
// by its absolute path; otherwise the installed one is used). Its notifications run on the calling
// thread's event loop: during the library's waits and whenever the program pumps the loop
// (EventLoop::Poll or RunFor). It needs the real event loop of the thread. GetConnection fails with
// err::CommUnavailable when the service cannot be reached or started; a call that finds the service
// gone fails once with the same error, and the next call reconnects (restarting the service).
PARLEY_API std::shared_ptr<ConnectionManager> MakeServiceConnectionManager();

// The service's view of the devices, for tools.
struct ManagedProgram {
  int32_t pid = 0;
  std::string name;
};
struct ManagedDevice {
  std::string device;  // the resolved path, as it is (EscapeDevicePath before printing it)
  std::optional<ManagedProgram> locker;
  std::optional<ManagedProgram> holder;  // the program that has the device open
  std::vector<ManagedProgram> waiting;   // programs waiting for it, in the order they are served
  std::vector<ManagedProgram> users;     // programs with an open connection to it
};
// Asks the running service (it is not started for this); nothing when none runs.
PARLEY_API std::optional<std::vector<ManagedDevice>> ConnectionManagerStatus();
// `path` fit for one line of a listing: backslash, tab, line feed and carriage return as \\,
// \t, \n, \r and every other byte below 0x20 or from 0x7F on as \xNN.
PARLEY_API std::string EscapeDevicePath(const std::string& path);

class SerialDeviceLock;
// Locks `device` (starting the service when needed) until the returned object lets go.
// Throws AutomationError: err::CommPortLocked ("already locked by PID:NAME") when another
// program holds its lock, err::CommUnavailable when the service cannot be reached.
[[nodiscard]] PARLEY_API SerialDeviceLock LockSerialDevice(const std::string& device);

// A lock on a serial device for every other program: their transactions fail with
// err::CommPortLocked while it lives; the locking program's own are not affected. It holds a
// connection of its own to the service and ends with it: on Release(), when the object is
// destroyed, or when the program ends in any way (also when it is killed).
class PARLEY_API SerialDeviceLock {
 public:
  SerialDeviceLock() = default;  // holds no lock
  ~SerialDeviceLock();
  SerialDeviceLock(SerialDeviceLock&& other) noexcept;
  SerialDeviceLock& operator=(SerialDeviceLock&& other) noexcept;
  SerialDeviceLock(const SerialDeviceLock&) = delete;
  SerialDeviceLock& operator=(const SerialDeviceLock&) = delete;

  // Ends the lock; returns once the service has seen it end. Nothing when none is held.
  void Release() noexcept;
  bool held() const { return fd_ >= 0; }
  const std::string& device() const { return device_; }

 private:
  friend SerialDeviceLock LockSerialDevice(const std::string& device);
  SerialDeviceLock(int fd, std::string device) : fd_(fd), device_(std::move(device)) {}

  int fd_ = -1;
  std::string device_;
};
// Ends the lock on `device`, whoever holds it (a person clearing a lock that is in the way).
// Nothing to do when no service runs.
PARLEY_API void UnlockSerialDevice(const std::string& device);
// Tells every program using `device` that it was reset (their KORInterface raises portReset).
PARLEY_API void NotifySerialDeviceReset(const std::string& device);

}  // namespace parley
