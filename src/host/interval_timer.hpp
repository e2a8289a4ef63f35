// The timer facility: while Enabled, calls OnTick every Interval on the thread's loop.
//
// A timer given an Idle test skips the ticks that would find nothing to do without waking the
// thread: while Idle() answers true no tick is scheduled at all, and Resume() (called by the
// owner when work may have appeared) schedules the next one on the interval. A waiting program
// then sleeps until a real event instead of waking every Interval to find nothing.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

#include "host/host.hpp"

namespace parley::detail {

class IntervalTimer {
 public:
  explicit IntervalTimer(Host& host) : host_(host) {}
  ~IntervalTimer() { Stop(); }
  IntervalTimer(const IntervalTimer&) = delete;
  IntervalTimer& operator=(const IntervalTimer&) = delete;

  bool Enabled() const { return enabled_; }
  // Enabling (re)starts the interval; disabling cancels the pending tick.
  void Enabled(bool on);
  std::chrono::milliseconds Interval() const { return interval_; }
  void Interval(std::chrono::milliseconds interval) { interval_ = interval; }
  // Schedules the next tick if the timer is enabled, none is pending and it is not idle.
  void Resume() { Arm(); }
  // Whether a tick is scheduled now.
  bool TickPending() const { return pending_ != 0; }

  std::function<void()> OnTick;
  // Optional: true while a tick would have nothing to do.
  std::function<bool()> Idle;

 private:
  void Arm();
  void Stop();

  Host& host_;
  bool enabled_ = false;
  std::chrono::milliseconds interval_{20};
  uint64_t pending_ = 0;
};

}  // namespace parley::detail
