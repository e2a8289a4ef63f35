// Choosing the connection manager per thread, and the in-process manager.
#include <cstdlib>
#include <map>
#include <string>

#include "arbiter/service_manager.hpp"
#include "model/access.hpp"
#include "parley/connection.hpp"
#include "parley/enums.hpp"

namespace parley {

void PortConnection::RaiseNotifySignal() { detail::EventAccess::Raise(NotifySignal); }
void PortConnection::RaiseNotifyReset() { detail::EventAccess::Raise(NotifyReset); }

namespace {

// A program alone on its ports: every port is free and granted on request.
class InProcessConnection : public PortConnection {
 public:
  bool PortLocked() override { return false; }
  void RequestPort() override {}
};

class InProcessConnectionManager : public ConnectionManager {
 public:
  std::shared_ptr<PortConnection> GetConnection(int32_t port) override {
    auto& slot = connections_[port];
    if (!slot) slot = std::make_shared<InProcessConnection>();
    return slot;
  }
  std::shared_ptr<PortConnection> GetDeviceConnection(int32_t, const std::string& device) override {
    auto& slot = by_device_[device];
    if (!slot) slot = std::make_shared<InProcessConnection>();
    return slot;
  }

 private:
  std::map<int32_t, std::shared_ptr<PortConnection>> connections_;
  std::map<std::string, std::shared_ptr<PortConnection>> by_device_;
};

// Without a choice of the program (UseConnectionManager, or the environment variable
// PARLEY_CONNECTION_MANAGER=service|in-process), serial modes share their ports through
// parley-connd; the other modes need no manager and get the in-process one.
constexpr bool kServiceManagerByDefault = true;

// Chosen per thread, like the thread's event loop that the manager's events run on.
thread_local ConnectionManagerFactory t_manager_factory;

}  // namespace

void UseConnectionManager(ConnectionManagerFactory factory) {
  t_manager_factory = std::move(factory);
}

std::shared_ptr<ConnectionManager> MakeInProcessConnectionManager() {
  return std::make_shared<InProcessConnectionManager>();
}

namespace detail {

namespace {
bool SerialMode(int32_t mode) {
  return mode == korCommModeCRLFtoGPIB || mode == korCommModeCRLFDirect ||
         mode == korCommModeGPIBInOut;
}
}  // namespace

bool ServiceManagerIsDefault() {
  const char* choice = std::getenv("PARLEY_CONNECTION_MANAGER");
  if (choice && std::string(choice) == "service") return true;
  if (choice && std::string(choice) == "in-process") return false;
  return kServiceManagerByDefault;
}

std::shared_ptr<ConnectionManager> CreateThreadConnectionManager(int32_t comm_mode) {
  std::shared_ptr<ConnectionManager> manager;
  if (t_manager_factory) {
    manager = t_manager_factory();
  } else if (SerialMode(comm_mode) && ServiceManagerIsDefault() && ThreadHasRealLoop()) {
    // (Under the virtual test clock there are no other programs to share with.)
    manager = MakeServiceConnectionManager();
  } else {
    manager = MakeInProcessConnectionManager();
  }
  if (!manager)
    throw AutomationError(err::InvalidCall, kLibrarySource,
                          "The connection manager could not be created.");
  return manager;
}
}  // namespace detail

}  // namespace parley
