// Events of the public objects: connect a handler, get a handle that can end the connection.
#pragma once

#include <functional>
#include <memory>
#include <utility>
#include <vector>

namespace parley {

namespace detail {
struct EventAccess;
}

// A connection made by Event::connect. Copies share the connection; destroying a handle does
// not disconnect (call disconnect()).
class Connection {
 public:
  Connection() = default;
  void disconnect() {
    if (auto slot = slot_.lock()) slot->connected = false;
  }
  bool connected() const {
    auto slot = slot_.lock();
    return slot && slot->connected;
  }

  struct Slot {
    std::function<void()> handler;
    bool connected = true;
  };

 private:
  template <class>
  friend class EventBase;
  explicit Connection(std::weak_ptr<Slot> slot) : slot_(std::move(slot)) {}
  std::weak_ptr<Slot> slot_;
};

template <class Tag>
class EventBase {
 public:
  // Handlers run synchronously on the raising thread, in connection order. A handler may call
  // back into the object, connect or disconnect handlers, or end its own connection.
  Connection connect(std::function<void()> handler) {
    auto slot = std::make_shared<Connection::Slot>();
    slot->handler = std::move(handler);
    slots_.push_back(slot);
    return Connection(slot);
  }

  std::size_t handler_count() const {
    std::size_t n = 0;
    for (const auto& s : slots_) n += s->connected ? 1 : 0;
    return n;
  }

 private:
  friend struct detail::EventAccess;

  void raise() {
    // A snapshot keeps the iteration valid while handlers connect or disconnect; a handler
    // disconnected by an earlier one in this round is skipped.
    auto snapshot = slots_;
    for (const auto& slot : snapshot) {
      if (slot->connected) slot->handler();
    }
    std::erase_if(slots_, [](const auto& s) { return !s->connected; });
  }

  std::vector<std::shared_ptr<Connection::Slot>> slots_;
};

struct EventTag {};
using Event = EventBase<EventTag>;

}  // namespace parley
