#include "host/host.hpp"

#include <unistd.h>

#include <chrono>
#include <utility>

#include "parley/errors.hpp"
#include "parley/loop.hpp"

namespace parley::detail {
namespace {
// The one piece of per-thread state of the host layer: the thread's loop and clock. Objects
// that use the host share it, so it lives as long as the last of them.
thread_local std::shared_ptr<Host> t_host;
thread_local pid_t t_host_process = 0;  // the process the slot's host was made in

// After fork() the child's slot still holds the parent's host, whose kernel objects (the epoll
// set above all) the two processes now share: waiting on it would take the parent's events,
// and freeing it would deregister the parent's descriptors. The child leaves it allocated,
// untouched, and gets a host of its own.
Host& SlotHost() {
  if (t_host && t_host_process != getpid()) {
    static_cast<void>(new std::shared_ptr<Host>(std::move(t_host)));
  }
  if (!t_host) {
    t_host = MakeRealHost();
    t_host_process = getpid();
  }
  return *t_host;
}
}  // namespace

Host::NestingGuard::NestingGuard(Host& host) : host_(host) {
  if (host_.nesting_ >= EventLoop::kMaxNesting) {
    throw AutomationError(err::InvalidCall, "EventLoop", "Event loop waits nested too deeply.");
  }
  ++host_.nesting_;
}

double Host::MonotonicSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::shared_ptr<void> Host::WatchReadable(int, std::function<void()>) {
  throw AutomationError(err::InvalidCall, "EventLoop", "This event loop watches no descriptors.");
}

std::shared_ptr<Host> CurrentHostShared() {
  SlotHost();
  return t_host;
}

Host& CurrentHost() { return SlotHost(); }

ScopedHost::ScopedHost(std::shared_ptr<Host> host) : host_(host.get()) {
  previous_ = std::move(t_host);
  t_host = std::move(host);
  t_host_process = getpid();
}

ScopedHost::~ScopedHost() { t_host = std::move(previous_); }

}  // namespace parley::detail
