// Events of the public objects: connect a handler, get a handle that can end the connection.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <vector>

#include "parley/export.hpp"

namespace parley {

namespace detail {
struct EventAccess;
struct EventSlot;
}  // namespace detail

class ThreadOwner;

// A connection made by Event::connect. Copies share the connection; destroying a handle does
// not disconnect (call disconnect()). Disconnecting releases the handler (a raise running it
// keeps its own copy until it returns).
class PARLEY_API Connection {
 public:
  Connection() = default;
  void disconnect();
  bool connected() const;

 private:
  friend class Event;
  explicit Connection(std::weak_ptr<detail::EventSlot> slot) : slot_(std::move(slot)) {}
  std::weak_ptr<detail::EventSlot> slot_;
};

// Handlers run synchronously on the raising thread, in connection order. A handler may call
// back into the object, connect or disconnect handlers, end its own connection, or destroy the
// object that owns the event: the raise then stops and touches nothing of it any more.
class PARLEY_API Event {
 public:
  Event();
  // The event of an object that belongs to one thread: connecting from another fails with
  // error 5 and connects nothing.
  explicit Event(const ThreadOwner* owner);
  ~Event();
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  Connection connect(std::function<void()> handler);
  std::size_t handler_count() const;
  // Calls `visit` with each connected handler, for a language binding whose garbage collector
  // must see what the handlers hold. Refused like connect on another thread.
  void VisitHandlers(const std::function<void(const std::function<void()>&)>& visit) const;

 private:
  friend struct detail::EventAccess;
  void raise();

  std::vector<std::shared_ptr<detail::EventSlot>> slots_;
  std::shared_ptr<bool> alive_;  // false once the event is gone; a raise in progress checks it
  const ThreadOwner* owner_ = nullptr;
};

}  // namespace parley
