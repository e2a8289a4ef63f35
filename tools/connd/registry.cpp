#include "registry.hpp"

#include <algorithm>

namespace parley::connd {

using detail::manager::Kind;
using detail::manager::kMaxBody;
using detail::manager::kMaxDevicePath;
using detail::manager::kOpenHolding;
using detail::manager::kOpenWaiting;

namespace {

void Push(std::vector<Outgoing>& out, uint64_t client, Kind kind, uint32_t id, uint8_t flag = 0,
          std::string text = {}) {
  out.push_back({client, Message{kind, id, flag, std::move(text)}});
}

template <typename C, typename V>
void EraseValue(C& c, const V& v) {
  c.erase(std::remove(c.begin(), c.end(), v), c.end());
}

bool PathTooLong(const Message& m) { return m.text.size() > kMaxDevicePath; }

std::string PathRefusal() {
  return "device path longer than " + std::to_string(kMaxDevicePath) + " bytes";
}

}  // namespace

bool Registry::AddClient(uint64_t client, pid_t pid, std::string name) {
  if (clients_.size() >= kMaxClients) return false;
  // Names go into the tab- and comma-separated listing; keep them to one safe word.
  for (auto& ch : name) {
    if (ch <= ' ' || ch == ',' || ch == ':' || ch == 127) ch = '_';
  }
  if (name.size() > 64) name.resize(64);
  clients_[client] = Client{pid, std::move(name)};
  return true;
}

Registry::Device* Registry::DeviceOf(const Key& key) {
  auto it = device_of_.find(key);
  return it == device_of_.end() ? nullptr : &devices_[it->second];
}

bool Registry::LockedFor(const Device& d, uint64_t client) const {
  if (!d.lock) return false;
  auto it = clients_.find(client);
  return it == clients_.end() || it->second.pid != d.lock->pid;
}

std::string Registry::Who(uint64_t client) const {
  auto it = clients_.find(client);
  if (it == clients_.end()) return "?";
  return std::to_string(it->second.pid) + ":" + it->second.name;
}

void Registry::Forget(const std::string& path) {
  auto it = devices_.find(path);
  if (it != devices_.end() && it->second.connections.empty() && !it->second.lock) {
    devices_.erase(it);
  }
}

std::vector<Outgoing> Registry::Handle(uint64_t client, const Message& m, double now) {
  Out out;
  Key key{client, m.id};
  switch (m.kind) {
    case Kind::Open:
      Open(client, m, now, out);
      break;
    case Kind::Close:
      Close(key, now, out);
      break;
    case Kind::Request:
      Request(key, now, out);
      break;
    case Kind::Acquired:
      Acquired(key, now, out);
      break;
    case Kind::Released:
      Released(key, now, out);
      break;
    case Kind::Lock:
      LockOrUnlock(client, m, out);
      break;
    case Kind::Reset: {
      if (PathTooLong(m)) {
        Push(out, client, Kind::Refused, 0, 0, PathRefusal());
        break;
      }
      auto it = devices_.find(m.text);
      if (it == devices_.end()) break;
      for (const auto& k : it->second.connections) {
        if (k.first != client) Push(out, k.first, Kind::NotifyReset, k.second);
      }
      break;
    }
    case Kind::Status:
      Status(client, out);
      break;
    default:
      break;  // Hello is the server's business; replies are not for us
  }
  return out;
}

void Registry::Open(uint64_t client, const Message& m, double now, Out& out) {
  if (PathTooLong(m)) {
    Push(out, client, Kind::Refused, 0, 0, PathRefusal());
    return;
  }
  Key key{client, m.id};
  auto& c = clients_[client];
  if (device_of_.count(key)) {
    Close(key, now, out);  // a reused id replaces its connection
  } else if (c.connections >= kMaxConnections) {
    Push(out, client, Kind::Refused, 0, 0,
         "more than " + std::to_string(kMaxConnections) + " open connections");
    return;
  }
  ++c.connections;
  device_of_[key] = m.text;
  auto& d = devices_[m.text];
  d.connections.push_back(key);
  Push(out, client, Kind::Opened, m.id, LockedFor(d, client) ? 1 : 0);
  // A client registering again after a restart of the service says where it stood.
  if (m.flag & kOpenHolding) {
    MakeHolder(d, key, now, out);
  } else if (m.flag & kOpenWaiting) {
    d.queue.push_back(key);
  }
}

void Registry::Close(const Key& key, double now, Out& out) {
  auto it = device_of_.find(key);
  if (it == device_of_.end()) return;
  std::string path = it->second;
  auto& d = devices_[path];
  EraseValue(d.connections, key);
  Leave(d, key, now, out);
  device_of_.erase(it);
  if (auto c = clients_.find(key.first); c != clients_.end() && c->second.connections > 0) {
    --c->second.connections;
  }
  Forget(path);
}

// Whatever `key` held or waited for on `d` passes on.
void Registry::Leave(Device& d, const Key& key, double now, Out& out) {
  EraseValue(d.queue, key);
  if (d.grant && d.grant->to == key) d.grant.reset();
  if (d.holder == key) {
    d.holder.reset();
    d.signalled.reset();
  }
  Advance(d, now, out);
}

void Registry::Request(const Key& key, double now, Out& out) {
  Device* d = DeviceOf(key);
  if (!d) return;  // not opened: nothing to arbitrate
  if (d->holder != key && std::find(d->queue.begin(), d->queue.end(), key) == d->queue.end()) {
    d->queue.push_back(key);
  }
  Push(out, key.first, Kind::Holder, key.second, 0, d->holder ? Who(d->holder->first) : "");
  Advance(*d, now, out);
}

void Registry::Acquired(const Key& key, double now, Out& out) {
  if (Device* d = DeviceOf(key)) MakeHolder(*d, key, now, out);
}

void Registry::Released(const Key& key, double now, Out& out) {
  Device* d = DeviceOf(key);
  if (!d || d->holder != key) return;
  d->holder.reset();
  d->signalled.reset();
  Advance(*d, now, out);
}

// `key` has the device open. It leaves the queue; a grant to someone else is void (that
// waiter keeps its place at the front and is granted when this holder is done).
void Registry::MakeHolder(Device& d, const Key& key, double now, Out& out) {
  EraseValue(d.queue, key);
  d.grant.reset();
  if (d.holder != key) d.signalled.reset();
  d.holder = key;
  Advance(d, now, out);
}

void Registry::Advance(Device& d, double now, Out& out) {
  if (d.queue.empty()) return;
  if (d.holder) {
    SignalHolder(d, now, out);
  } else if (!d.grant) {
    const Key& first = d.queue.front();
    d.grant = Grant{first, now + kGrantSeconds};
    Push(out, first.first, Kind::Grant, first.second);
  }
}

// Waiters ask about once a second each; the holder needs to hear it only once in a while.
void Registry::SignalHolder(Device& d, double now, Out& out) {
  if (d.signalled && now - *d.signalled < kSignalSeconds) return;
  d.signalled = now;
  Push(out, d.holder->first, Kind::Signal, d.holder->second);
}

std::vector<Outgoing> Registry::Tick(double now) {
  Out out;
  for (auto& [path, d] : devices_) {
    if (!d.grant || d.grant->until > now) continue;
    Key lapsed = d.grant->to;
    d.grant.reset();
    EraseValue(d.queue, lapsed);
    Advance(d, now, out);
  }
  return out;
}

std::optional<double> Registry::NextDeadline() const {
  std::optional<double> next;
  for (const auto& [path, d] : devices_) {
    if (d.grant && (!next || d.grant->until < *next)) next = d.grant->until;
  }
  return next;
}

void Registry::LockOrUnlock(uint64_t client, const Message& m, Out& out) {
  if (PathTooLong(m)) {
    Push(out, client, Kind::Refused, 0, 0, PathRefusal());
    return;
  }
  auto& d = devices_[m.text];
  if (!m.flag) {
    // Anyone of the user may end a lock: a person clearing one that is in the way.
    Unlock(d, out);
    Push(out, client, Kind::LockResult, 0, 1);
    Forget(m.text);
    return;
  }
  if (d.lock) {
    if (d.lock->owner == client) {
      Push(out, client, Kind::LockResult, 0, 1);
    } else {
      Push(out, client, Kind::LockResult, 0, 0, "already locked by " + Who(d.lock->owner));
    }
    return;
  }
  auto& c = clients_[client];
  if (c.locks >= kMaxLocks) {
    Push(out, client, Kind::Refused, 0, 0, "more than " + std::to_string(kMaxLocks) + " locks");
    Forget(m.text);
    return;
  }
  ++c.locks;
  d.lock = Lock{client, c.pid};
  TellLockState(d, out);
  Push(out, client, Kind::LockResult, 0, 1);
}

void Registry::Unlock(Device& d, Out& out) {
  if (!d.lock) return;
  if (auto c = clients_.find(d.lock->owner); c != clients_.end() && c->second.locks > 0) {
    --c->second.locks;
  }
  d.lock.reset();
  TellLockState(d, out);
}

void Registry::TellLockState(const Device& d, Out& out) const {
  for (const auto& k : d.connections) {
    Push(out, k.first, Kind::LockState, k.second, LockedFor(d, k.first) ? 1 : 0);
  }
}

std::vector<Outgoing> Registry::RemoveClient(uint64_t client, double now) {
  Out out;
  std::vector<Key> keys;
  for (const auto& [key, path] : device_of_) {
    if (key.first == client) keys.push_back(key);
  }
  for (const auto& key : keys) Close(key, now, out);
  for (auto it = devices_.begin(); it != devices_.end();) {
    auto& d = it->second;
    if (d.lock && d.lock->owner == client) Unlock(d, out);
    if (d.connections.empty() && !d.lock) {
      it = devices_.erase(it);
    } else {
      ++it;
    }
  }
  clients_.erase(client);
  // Nothing is sent to the client that left.
  out.erase(
      std::remove_if(out.begin(), out.end(), [&](const Outgoing& o) { return o.client == client; }),
      out.end());
  return out;
}

std::string Registry::StatusText() const {
  auto list = [&](const auto& keys) {
    std::string s;
    for (const auto& k : keys) s += (s.empty() ? "" : ",") + Who(k.first);
    return s.empty() ? std::string("-") : s;
  };
  std::string text;
  for (const auto& [path, d] : devices_) {
    std::string lock = d.lock ? Who(d.lock->owner) : "-";
    std::vector<Key> holder;
    if (d.holder) holder.push_back(*d.holder);
    std::vector<Key> users;
    for (const auto& k : d.connections) {
      bool listed =
          std::any_of(users.begin(), users.end(), [&](const Key& u) { return u.first == k.first; });
      if (!listed) users.push_back(k);
    }
    text += detail::manager::EscapePath(path) + "\tlock=" + lock + "\tholder=" + list(holder) +
            "\twaiting=" + list(d.queue) + "\tusers=" + list(users) + "\n";
  }
  return text;
}

// As many frames as the listing needs: every part but the last says more follow.
void Registry::Status(uint64_t client, Out& out) const {
  constexpr std::size_t kPart = kMaxBody - detail::manager::kFixedBody;
  std::string text = StatusText();
  std::size_t at = 0;
  do {
    std::string part = text.substr(at, kPart);
    at += part.size();
    Push(out, client, Kind::StatusText, 0, at < text.size() ? 1 : 0, std::move(part));
  } while (at < text.size());
}

}  // namespace parley::connd
