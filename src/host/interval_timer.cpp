#include "host/interval_timer.hpp"

namespace parley::detail {

void IntervalTimer::Enabled(bool on) {
  if (on == enabled_) return;
  enabled_ = on;
  if (on) {
    Arm();
  } else {
    Stop();
  }
}

void IntervalTimer::Arm() {
  if (!enabled_ || pending_ != 0 || (Idle && Idle())) return;
  pending_ = host_.StartTimer(interval_, [this] {
    pending_ = 0;
    if (!enabled_) return;
    Arm();  // re-arm first so a handler that disables the timer cancels the next tick
    if (OnTick) OnTick();
  });
}

void IntervalTimer::Stop() {
  if (pending_ != 0) host_.CancelTimer(pending_);
  pending_ = 0;
}

}  // namespace parley::detail
