// The public face of the thread's loop.
#include <algorithm>
#include <utility>

#include "host/host.hpp"
#include "model/handler_failure.hpp"
#include "parley/loop.hpp"

namespace parley {

namespace {
// Client work runs as a client handler: its exception leaves the wait that ran it unchanged.
std::function<void()> AsClientHandler(std::function<void()> work) {
  return [work = std::move(work)] { detail::RunClientHandler(work); };
}

void RunLoopFor(std::chrono::milliseconds duration) {
  auto& host = detail::CurrentHost();
  // Measured on the host's monotonic clock, which the virtual clock stands in for in tests.
  double start = host.MonotonicSeconds();
  double wanted = std::chrono::duration<double>(duration).count();
  for (;;) {
    double now = host.MonotonicSeconds();
    double left = wanted - (now - start);
    if (left <= 0) break;
    // One pass waits at most a day, so a huge duration neither overflows nor ends at once.
    double micros = std::min(left, 86400.0) * 1e6;
    host.WaitForEvent(detail::Micros(static_cast<int64_t>(micros) + 1));
  }
}
}  // namespace

void EventLoop::Poll() {
  detail::ActivityScope activity(detail::CurrentHost());
  detail::RethrowHandlerFailure([] { detail::CurrentHost().Yield(); });
}

void EventLoop::RunFor(std::chrono::milliseconds duration) {
  detail::ActivityScope activity(detail::CurrentHost());
  detail::RethrowHandlerFailure([&] { RunLoopFor(duration); });
}

void EventLoop::Post(std::function<void()> work) {
  detail::CurrentHost().Post(AsClientHandler(std::move(work)));
}

EventLoop::Timer EventLoop::ScheduleAfter(std::chrono::milliseconds delay,
                                          std::function<void()> work) {
  return Timer(detail::CurrentHost().StartTimer(detail::ToMicrosSaturated(delay),
                                                AsClientHandler(std::move(work))));
}

void EventLoop::Timer::Cancel() {
  if (id_ != 0) detail::CurrentHost().CancelTimer(id_);
  id_ = 0;
}

// The watch keeps the host alive: it must be ended before the loop it is registered with goes.
EventLoop::ReadWatch EventLoop::WatchReadable(int fd, std::function<void()> on_ready) {
  struct Held {
    std::shared_ptr<detail::Host> host;
    std::shared_ptr<void> watch;  // declared last: ended first
  };
  auto host = detail::CurrentHostShared();
  auto watch = host->WatchReadable(fd, AsClientHandler(std::move(on_ready)));
  return ReadWatch(std::make_shared<Held>(Held{std::move(host), std::move(watch)}));
}

bool EventLoop::Timer::Pending() const {
  return id_ != 0 && detail::CurrentHost().TimerPending(id_);
}

}  // namespace parley
