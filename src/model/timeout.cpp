#include "model/timeout.hpp"

#include <algorithm>
#include <cmath>

#include "parley/errors.hpp"

namespace parley::detail {
void KORTimeout::CheckLength(float length) {
  if (!(length >= 1.0f)) {
    throw AutomationError(err::InvalidPropertyValue, "KORTimeout", "Invalid property value");
  }
}

void KORTimeout::Start(float length) {
  CheckLength(length);
  started_ = host_.MonotonicSeconds();
  length_ = length;
}

float KORTimeout::TimeRemaining() const {
  double elapsed = host_.MonotonicSeconds() - started_;
  double remaining = length_ - elapsed;
  return remaining < 0.0 ? 0.0f : static_cast<float>(remaining);
}

void WaitAtMost(Host& host, double seconds) {
  if (seconds <= 0) {
    host.Yield();
    return;
  }
  host.WaitForEvent(Micros(static_cast<int64_t>(std::ceil(seconds * 1e6))));
}

void WaitPass(Host& host, double seconds_left) {
  constexpr double kShortestPass = 0.001;
  constexpr double kLongestPass = 1.0;
  WaitAtMost(host, std::clamp(seconds_left, kShortestPass, kLongestPass));
}

double UntilCountdownMoves(const KORTimeout& t) {
  constexpr double kPastTheEdge = 0.001;
  double left = t.TimeRemaining();
  if (left <= 0.5) return left;
  // The shown value changes where the time left passes a half second (k + 0.5).
  double edge = std::floor(left - 0.5) + 0.5;
  return left - edge + kPastTheEdge;
}

void WaitSeconds(Host& host, float seconds) {
  if (!(seconds > 0)) return;
  double end = host.MonotonicSeconds() + seconds;
  for (;;) {
    double now = host.MonotonicSeconds();
    if (now >= end) return;
    WaitAtMost(host, end - now);
  }
}

}  // namespace parley::detail
