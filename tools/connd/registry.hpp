// The service's view of who uses which device, and what it tells whom. No I/O: the server
// feeds it messages and the time, and sends what it returns, so every rule here is tested
// without sockets or real time.
//
// Policy. A device is known by its resolved path, so programs that map different port numbers
// to one device share one arbitration. Each device has a holder (the connection that said
// Acquired, or registered with kOpenHolding, and has not released, closed or gone) and a queue
// of waiting connections in the order they first asked. A Request joins the queue once (asking
// again keeps the place) and is answered with the holder's name. When nobody holds the device
// and no grant is outstanding, the first waiter is granted it at once; a grant is a
// reservation of kGrantSeconds: a waiter that has not acquired by then loses its turn and its
// place (its next request puts it at the end) and the next waiter is granted. While someone
// waits, the holder is signalled, at most once per kSignalSeconds however often the waiters
// ask, and a new holder is signalled as soon as it acquires, so every holder gives the device
// up after its exchange while anyone waits and the device goes round the queue in order.
// Giving it up (at once when idle, otherwise after the running exchange and the library's
// 1-second pause) is the client's business. A connection that acquires without a grant (it
// found the device free) becomes the holder and leaves the queue.
//
// Locks come from tools. A lock belongs to the client that took it and ends when that client
// goes (also when it is killed: its socket closes) or when any client of the user unlocks it.
// It keeps other programs out, not its owner's: a connection reads PortLocked true when its
// program's pid differs from the lock owner's (while the lock lives its owner is alive, so an
// equal pid is the same program).
//
// Bounds: kMaxClients clients; per client kMaxConnections open connections and kMaxLocks
// locks; device paths of at most kMaxDevicePath bytes. Going beyond is answered with Refused,
// after which the server closes that client.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <deque>
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
  static constexpr double kGrantSeconds = 2.0;
  static constexpr double kSignalSeconds = 0.5;
  static constexpr std::size_t kMaxClients = 256;
  static constexpr std::size_t kMaxConnections = 256;  // per client
  static constexpr std::size_t kMaxLocks = 64;         // per client

  // False when kMaxClients are already served.
  bool AddClient(uint64_t client, pid_t pid, std::string name);
  // The replies and notifications that `m` from `client` causes.
  std::vector<Outgoing> Handle(uint64_t client, const Message& m, double now);
  // A client went away: its connections end, its locks end, it holds and waits for nothing.
  std::vector<Outgoing> RemoveClient(uint64_t client, double now);
  // Grants that lapsed by `now` pass to the next waiter.
  std::vector<Outgoing> Tick(double now);
  // When the next grant lapses, while any is outstanding.
  std::optional<double> NextDeadline() const;

  std::size_t clients() const { return clients_.size(); }
  // One line per device: the escaped path, then tab-separated fields lock=, holder=, waiting=
  // (in queue order), users= whose values are "pid:name" items separated by ',' ("-" for none).
  std::string StatusText() const;

 private:
  struct Client {
    pid_t pid = 0;
    std::string name;
    std::size_t connections = 0;
    std::size_t locks = 0;
  };
  using Key = std::pair<uint64_t, uint32_t>;  // client, its connection id
  struct Lock {
    uint64_t owner = 0;
    pid_t pid = 0;
  };
  struct Grant {
    Key to;
    double until = 0;
  };
  struct Device {
    std::vector<Key> connections;
    std::optional<Lock> lock;
    std::optional<Key> holder;
    std::deque<Key> queue;
    std::optional<Grant> grant;
    std::optional<double> signalled;  // when the present holder was last signalled
  };
  using Out = std::vector<Outgoing>;

  Device* DeviceOf(const Key& key);
  bool LockedFor(const Device& d, uint64_t client) const;
  std::string Who(uint64_t client) const;
  void Forget(const std::string& path);

  void Open(uint64_t client, const Message& m, double now, Out& out);
  void Close(const Key& key, double now, Out& out);
  void Request(const Key& key, double now, Out& out);
  void Acquired(const Key& key, double now, Out& out);
  void Released(const Key& key, double now, Out& out);
  void LockOrUnlock(uint64_t client, const Message& m, Out& out);
  void Status(uint64_t client, Out& out) const;

  // The device's turn moves on: a grant to the first waiter when it is free, or a signal to
  // the holder when someone waits.
  void Advance(Device& d, double now, Out& out);
  void SignalHolder(Device& d, double now, Out& out);
  void MakeHolder(Device& d, const Key& key, double now, Out& out);
  void Leave(Device& d, const Key& key, double now, Out& out);
  void Unlock(Device& d, Out& out);
  void TellLockState(const Device& d, Out& out) const;

  std::map<uint64_t, Client> clients_;
  std::map<Key, std::string> device_of_;
  std::map<std::string, Device> devices_;
};

}  // namespace parley::connd
