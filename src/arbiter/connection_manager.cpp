// Choosing the connection manager per thread, and the in-process manager.
#include <map>

#include "model/access.hpp"
#include "parley/connection.hpp"

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

 private:
  std::map<int32_t, std::shared_ptr<PortConnection>> connections_;
};

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
std::shared_ptr<ConnectionManager> CreateThreadConnectionManager() {
  auto manager = t_manager_factory ? t_manager_factory() : MakeInProcessConnectionManager();
  if (!manager)
    throw AutomationError(err::InvalidCall, kLibrarySource,
                          "The connection manager could not be created.");
  return manager;
}
}  // namespace detail

}  // namespace parley
