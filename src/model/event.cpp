#include "parley/event.hpp"

#include <algorithm>

#include "model/handler_failure.hpp"
#include "parley/thread_owner.hpp"

namespace parley {

namespace detail {
struct EventSlot {
  std::function<void()> handler;
  bool connected = true;
};
}  // namespace detail

void Connection::disconnect() {
  if (auto slot = slot_.lock()) {
    slot->connected = false;
    slot->handler = nullptr;  // what it captured goes now, not at the event's next raise
  }
}

bool Connection::connected() const {
  auto slot = slot_.lock();
  return slot && slot->connected;
}

Event::Event() : alive_(std::make_shared<bool>(true)) {}
Event::Event(const ThreadOwner* owner) : Event() { owner_ = owner; }
Event::~Event() { *alive_ = false; }

Connection Event::connect(std::function<void()> handler) {
  if (owner_) owner_->Check();
  // Connections ended since the last raise go here too: an event that is connected to and
  // disconnected from often, but seldom raised, does not grow.
  std::erase_if(slots_, [](const auto& s) { return !s->connected; });
  auto slot = std::make_shared<detail::EventSlot>();
  slot->handler = std::move(handler);
  slots_.push_back(slot);
  return Connection(slot);
}

std::size_t Event::handler_count() const {
  if (owner_) owner_->Check();
  return static_cast<std::size_t>(
      std::count_if(slots_.begin(), slots_.end(), [](const auto& s) { return s->connected; }));
}

void Event::VisitHandlers(const std::function<void(const std::function<void()>&)>& visit) const {
  if (owner_) owner_->Check();
  for (const auto& slot : slots_) {
    if (slot->connected) visit(slot->handler);
  }
}

void Event::raise() {
  if (slots_.empty()) return;  // the common case: progress updates nobody listens to
  // A snapshot keeps the iteration valid while handlers connect or disconnect; a handler
  // disconnected by an earlier one in this round is skipped. The slots and the liveness token
  // are held by the snapshot, so a handler that destroys the owner frees nothing in use here.
  auto snapshot = slots_;
  auto alive = alive_;
  for (const auto& slot : snapshot) {
    if (!*alive) return;
    if (slot->connected) {
      auto handler = slot->handler;  // the handler may drop its own slot's last reference
      // An exception ends the raise: the handlers after it do not run.
      detail::RunClientHandler(handler);
    }
  }
  if (!*alive) return;
  std::erase_if(slots_, [](const auto& s) { return !s->connected; });
}

}  // namespace parley
