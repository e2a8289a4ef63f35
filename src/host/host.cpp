#include "host/host.hpp"

#include <chrono>
#include <utility>

#include "parley/errors.hpp"
#include "parley/loop.hpp"

namespace parley::detail {
namespace {
// The one piece of per-thread state of the host layer: the thread's loop and clock.
thread_local std::unique_ptr<Host> t_host;
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

Host& CurrentHost() {
  if (!t_host) t_host = MakeRealHost();
  return *t_host;
}

ScopedHost::ScopedHost(std::unique_ptr<Host> host) : host_(host.get()) {
  previous_ = std::move(t_host);
  t_host = std::move(host);
}

ScopedHost::~ScopedHost() { t_host = std::move(previous_); }

}  // namespace parley::detail
