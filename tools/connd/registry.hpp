// The service's view of who uses which device, and what it tells whom. No I/O: the server
// feeds it messages and sends what it returns, so every rule here is tested without sockets.
//
// Policy. A device is known by its resolved path, so programs that map different port numbers
// to one device share one arbitration. RequestPort sends NotifySignal to every other
// connection of the device, in the order they were opened, and records the requester as the
// device's holder-to-be; the signal to the previous holder-to-be is marked "yield". A holder
// gives the device up when it is idle, or after its running exchange followed by a 1-second
// pause. A waiting program retries its opening every second; a program told to yield asks
// again only 1.5 s after the signal (the library's client waits that long inside RequestPort),
// so the waiting program's next retry comes first and gets the device. Two programs
// alternating transactions therefore take turns, one exchange each; neither starves. With
// more programs each holder still yields after every exchange while anyone waits, so all of
// them progress (who of several waiters opens first is decided by the device's exclusive
// opening).
//
// Locks come from tools and are not tied to a connection: a lock stays until it is unlocked
// (or the service ends, which it does not while a lock exists). Every program's connection of
// a locked device reads PortLocked true, except connections of the client that took the lock
// while it is still connected (a program that locks for itself). Clients are identified by the
// service's own numbers, never by pid, so a reused pid inherits nothing.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "arbiter/manager_protocol.hpp"

namespace parley::connd {

using detail::manager::Message;

struct Outgoing {
  uint64_t client;
  Message message;
};

class Registry {
 public:
  void AddClient(uint64_t client, pid_t pid, std::string name);
  // The replies and notifications that `m` from `client` causes.
  std::vector<Outgoing> Handle(uint64_t client, const Message& m, double now);
  // A client went away: its connections end, it holds and requests nothing any more.
  std::vector<Outgoing> RemoveClient(uint64_t client);

  std::size_t clients() const { return clients_.size(); }
  bool AnyLocks() const;
  // One line per device: path, then tab-separated fields lock=, holder=, waiting=, users=
  // whose values are "pid:name" items separated by ',' ("-" for none).
  std::string StatusText(double now) const;

  // A requester counts as waiting this long after its last request.
  static constexpr double kWaitingSeconds = 2.5;

 private:
  struct Client {
    pid_t pid = 0;
    std::string name;
  };
  using Key = std::pair<uint64_t, uint32_t>;  // client, its connection id
  struct Lock {
    uint64_t owner = 0;  // 0 once the locking client has gone
    pid_t pid = 0;
    std::string name;
  };
  struct Device {
    std::vector<Key> connections;
    std::optional<Lock> lock;
    std::optional<Key> holder;
    std::map<Key, double> requests;  // last request time of each requester
  };

  bool LockedFor(const Device& d, uint64_t client) const;
  std::string Who(uint64_t client) const;
  void Forget(const std::string& path);

  std::map<uint64_t, Client> clients_;
  std::map<Key, std::string> device_of_;
  std::map<std::string, Device> devices_;
};

}  // namespace parley::connd
