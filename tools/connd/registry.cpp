#include "registry.hpp"

#include <algorithm>

namespace parley::connd {

using detail::manager::Kind;

void Registry::AddClient(uint64_t client, pid_t pid, std::string name) {
  // Names go into the tab- and comma-separated listing; keep them to one safe word.
  for (auto& ch : name) {
    if (ch <= ' ' || ch == ',' || ch == ':' || ch == 127) ch = '_';
  }
  if (name.size() > 64) name.resize(64);
  clients_[client] = Client{pid, std::move(name)};
}

bool Registry::AnyLocks() const {
  return std::any_of(devices_.begin(), devices_.end(),
                     [](const auto& d) { return d.second.lock.has_value(); });
}

bool Registry::LockedFor(const Device& d, uint64_t client) const {
  return d.lock && d.lock->owner != client;
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
  std::vector<Outgoing> out;
  auto reply = [&](Kind kind, uint32_t id, uint8_t flag, std::string text = {}) {
    out.push_back({client, Message{kind, id, flag, std::move(text)}});
  };
  switch (m.kind) {
    case Kind::Open: {
      Key key{client, m.id};
      if (auto old = device_of_.find(key); old != device_of_.end()) {
        // A reused id replaces its connection.
        auto& conns = devices_[old->second].connections;
        conns.erase(std::remove(conns.begin(), conns.end(), key), conns.end());
        Forget(old->second);
      }
      device_of_[key] = m.text;
      auto& d = devices_[m.text];
      d.connections.push_back(key);
      reply(Kind::Opened, m.id, LockedFor(d, client) ? 1 : 0);
      break;
    }
    case Kind::Close: {
      Key key{client, m.id};
      auto it = device_of_.find(key);
      if (it == device_of_.end()) break;
      auto& d = devices_[it->second];
      d.connections.erase(std::remove(d.connections.begin(), d.connections.end(), key),
                          d.connections.end());
      d.requests.erase(key);
      if (d.holder == key) d.holder.reset();
      std::string path = it->second;
      device_of_.erase(it);
      Forget(path);
      break;
    }
    case Kind::Request: {
      Key key{client, m.id};
      auto it = device_of_.find(key);
      if (it == device_of_.end()) break;  // not opened: nothing to arbitrate
      auto& d = devices_[it->second];
      d.requests[key] = now;
      // The flag tells the likely holder that it is asked to yield (it then lets the
      // requester in before asking again).
      auto previous = d.holder;
      d.holder = key;
      for (const auto& other : d.connections) {
        if (other == key) continue;
        uint8_t yield = previous == other ? 1 : 0;
        out.push_back({other.first, Message{Kind::Signal, other.second, yield, {}}});
      }
      break;
    }
    case Kind::Lock: {
      auto& d = devices_[m.text];
      if (m.flag) {
        if (d.lock && d.lock->owner != client) {
          reply(Kind::LockResult, 0, 0,
                "already locked by " + std::to_string(d.lock->pid) + ":" + d.lock->name);
          break;
        }
        const auto& c = clients_[client];
        d.lock = Lock{client, c.pid, c.name};
      } else {
        d.lock.reset();
      }
      for (const auto& k : d.connections) {
        out.push_back(
            {k.first,
             Message{Kind::LockState, k.second, static_cast<uint8_t>(LockedFor(d, k.first)), {}}});
      }
      reply(Kind::LockResult, 0, 1);
      Forget(m.text);
      break;
    }
    case Kind::Reset: {
      auto it = devices_.find(m.text);
      if (it == devices_.end()) break;
      for (const auto& k : it->second.connections) {
        if (k.first != client)
          out.push_back({k.first, Message{Kind::NotifyReset, k.second, 0, {}}});
      }
      break;
    }
    case Kind::Status:
      reply(Kind::StatusText, 0, 0, StatusText(now));
      break;
    default:
      break;  // Hello is the server's business; replies are not for us
  }
  return out;
}

std::vector<Outgoing> Registry::RemoveClient(uint64_t client) {
  std::vector<std::string> touched;
  for (auto it = device_of_.begin(); it != device_of_.end();) {
    if (it->first.first != client) {
      ++it;
      continue;
    }
    auto& d = devices_[it->second];
    d.connections.erase(std::remove(d.connections.begin(), d.connections.end(), it->first),
                        d.connections.end());
    d.requests.erase(it->first);
    if (d.holder == it->first) d.holder.reset();
    touched.push_back(it->second);
    it = device_of_.erase(it);
  }
  // A lock outlives its tool; from now on it holds for every program.
  for (auto& [path, d] : devices_) {
    if (d.lock && d.lock->owner == client) d.lock->owner = 0;
  }
  clients_.erase(client);
  for (const auto& path : touched) Forget(path);
  return {};
}

std::string Registry::StatusText(double now) const {
  std::string text;
  for (const auto& [path, d] : devices_) {
    auto list = [&](const std::vector<uint64_t>& who) {
      if (who.empty()) return std::string("-");
      std::string s;
      for (auto c : who) s += (s.empty() ? "" : ",") + Who(c);
      return s;
    };
    std::string lock = "-";
    if (d.lock) lock = std::to_string(d.lock->pid) + ":" + d.lock->name;
    std::vector<uint64_t> holder, waiting, users;
    if (d.holder) holder.push_back(d.holder->first);
    for (const auto& [k, t] : d.requests) {
      if (k != d.holder && now - t <= kWaitingSeconds) waiting.push_back(k.first);
    }
    for (const auto& k : d.connections) {
      if (std::find(users.begin(), users.end(), k.first) == users.end()) users.push_back(k.first);
    }
    text += path + "\tlock=" + lock + "\tholder=" + list(holder) + "\twaiting=" + list(waiting) +
            "\tusers=" + list(users) + "\n";
  }
  return text;
}

}  // namespace parley::connd
