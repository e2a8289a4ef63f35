// The timer facility: while Enabled, calls OnTick every Interval on the thread's loop.
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

  std::function<void()> OnTick;

 private:
  void Arm();
  void Stop();

  Host& host_;
  bool enabled_ = false;
  std::chrono::milliseconds interval_{20};
  uint64_t pending_ = 0;
};

}  // namespace parley::detail
