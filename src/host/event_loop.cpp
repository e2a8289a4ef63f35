// The public face of the thread's loop.
#include <utility>

#include "host/host.hpp"
#include "parley/loop.hpp"

namespace parley {

void EventLoop::Poll() { detail::CurrentHost().Yield(); }

void EventLoop::RunFor(std::chrono::milliseconds duration) {
  auto& host = detail::CurrentHost();
  // Measured on the host's monotonic clock, which the virtual clock stands in for in tests.
  double start = host.MonotonicSeconds();
  double wanted = std::chrono::duration<double>(duration).count();
  for (;;) {
    double now = host.MonotonicSeconds();
    double left = wanted - (now - start);
    if (left <= 0) break;
    host.WaitForEvent(detail::Micros(static_cast<int64_t>(left * 1e6) + 1));
  }
}

void EventLoop::Post(std::function<void()> work) { detail::CurrentHost().Post(std::move(work)); }

EventLoop::Timer EventLoop::ScheduleAfter(std::chrono::milliseconds delay,
                                          std::function<void()> work) {
  return Timer(detail::CurrentHost().StartTimer(delay, std::move(work)));
}

void EventLoop::Timer::Cancel() {
  if (id_ != 0) detail::CurrentHost().CancelTimer(id_);
  id_ = 0;
}

bool EventLoop::Timer::Pending() const {
  return id_ != 0 && detail::CurrentHost().TimerPending(id_);
}

}  // namespace parley
