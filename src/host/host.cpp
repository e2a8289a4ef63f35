#include "host/host.hpp"

#include <chrono>
#include <utility>

#include "parley/errors.hpp"
#include "parley/loop.hpp"

namespace parley::detail {
namespace {
// The one piece of per-thread state of the host layer: the thread's loop and clock. Objects
// that use the host share it, so it lives as long as the last of them.
thread_local std::shared_ptr<Host> t_host;
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

std::shared_ptr<Host> CurrentHostShared() {
  if (!t_host) t_host = MakeRealHost();
  return t_host;
}

Host& CurrentHost() {
  if (!t_host) t_host = MakeRealHost();
  return *t_host;
}

ScopedHost::ScopedHost(std::shared_ptr<Host> host) : host_(host.get()) {
  previous_ = std::move(t_host);
  t_host = std::move(host);
}

ScopedHost::~ScopedHost() { t_host = std::move(previous_); }

}  // namespace parley::detail
