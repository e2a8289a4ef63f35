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

void KORTimeout::StartAnyLength(double seconds) {
  started_ = host_.MonotonicSeconds();
  length_ = static_cast<float>(seconds);
}

float KORTimeout::TimeRemaining() const {
  double elapsed = host_.MonotonicSeconds() - started_;
  double remaining = length_ - elapsed;
  return remaining < 0.0 ? 0.0f : static_cast<float>(remaining);
}

namespace {
// The wait cut to the operation's deadline; past it, the deadline's handler throws.
double BoundByDeadline(Host& host, double seconds) {
  const Host::Deadline& deadline = host.deadline();
  if (!deadline.reached) return seconds;
  double left = deadline.at - host.MonotonicSeconds();
  if (left <= 0) deadline.reached();
  return std::min(seconds, left);
}
}  // namespace

DeadlineScope::DeadlineScope(Host& host, int32_t ms, std::function<void()> reached)
    : host_(host), saved_(host.deadline()) {
  if (ms <= 0) return;
  double at = host.MonotonicSeconds() + ms / 1000.0;
  if (saved_.reached && saved_.at <= at) return;
  host.deadline() = {at, std::move(reached)};
}

void WaitAtMost(Host& host, double seconds) {
  seconds = BoundByDeadline(host, seconds);
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

double ResponseSeconds(const Settings& s, const KORTransaction& t) {
  if (ResponseInMilliseconds(s, t)) return t.RespTimeoutMs() / 1000.0;
  return t.RespTimeout();
}

void StartResponseTimeout(KORTimeout& timeout, const Settings& s, const KORTransaction& t) {
  if (ResponseInMilliseconds(s, t)) {
    timeout.StartAnyLength(ResponseSeconds(s, t));
  } else {
    timeout.Start(static_cast<float>(t.RespTimeout()));
  }
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
