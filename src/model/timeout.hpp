// KORTimeout and WaitSeconds: intervals and waits on the host's seconds-since-midnight clock.
#pragma once

#include "host/host.hpp"
#include "model/settings.hpp"
#include "parley/transaction.hpp"

namespace parley::detail {

// An interval measured on the host's monotonic clock, so that a step of the wall clock (NTP, a
// change to or from summer time, a manual set) neither ends nor stretches it. No wall-clock time
// is taken at Start: nothing reads it, and the conversion to local time cost more than the rest
// of a start.
class KORTimeout {
 public:
  explicit KORTimeout(Host& host) : host_(host) {}

  // Fails with error 380 (Source "KORTimeout") for a length below 1 second; fields unchanged.
  void Start(float length);
  // The check Start makes, for callers that must refuse a length before any side effect.
  static void CheckLength(float length);
  // Any length above zero: a plain instrument's wait may be as short as a millisecond.
  void StartAnyLength(double seconds);
  bool Expired() const { return TimeRemaining() <= 0.0f; }
  float Length() const { return length_; }
  float TimeRemaining() const;

 private:
  Host& host_;
  double started_ = 0;  // monotonic seconds at Start
  float length_ = 0;
};

// Waits `seconds` on the host's monotonic clock while running the loop (blocking for the next
// event, never spinning). Zero or less returns at once without running the loop.
void WaitSeconds(Host& host, float seconds);

// Blocks on the loop for at most `seconds` (the next event ends the wait earlier). The one
// primitive every waiting loop of the transports uses between its checks.
void WaitAtMost(Host& host, double seconds);

// One pass of a wait that an event ends early: blocks on the loop for `seconds_left`, but at
// least 1 ms (so a wait never spins) and at most a second (a check of the waiting loop's
// conditions once a second costs nothing and bounds any oversight).
void WaitPass(Host& host, double seconds_left);

// Seconds from now until the countdown shown for `t` (its TimeRemaining rounded to a whole
// second) next shows another value, plus a millisecond so that the rounding has surely moved;
// when it shows its last value, the time left until it expires. A wait that shows a countdown
// needs to wake only then.
double UntilCountdownMoves(const KORTimeout& t);

// Bounds the waits of one operation by `ms` milliseconds from now (0: no bound) for its
// lifetime; at that time the next wait calls `reached`, which throws. An operation run from a
// handler inside another keeps the earlier of the two deadlines.
class DeadlineScope {
 public:
  DeadlineScope(Host& host, int32_t ms, std::function<void()> reached);
  ~DeadlineScope() { host_.deadline() = std::move(saved_); }
  DeadlineScope(const DeadlineScope&) = delete;
  DeadlineScope& operator=(const DeadlineScope&) = delete;

 private:
  Host& host_;
  Host::Deadline saved_;
};

// True where `t`'s response timeout is its RespTimeoutMs: a plain instrument's link that gives one.
inline bool ResponseInMilliseconds(const Settings& s, const KORTransaction& t) {
  return PlainLink(s) && t.RespTimeoutMs() > 0;
}

// How long `t` waits for its response: RespTimeoutMs where a plain instrument's link gives one,
// else RespTimeout.
double ResponseSeconds(const Settings& s, const KORTransaction& t);

// Starts `timeout` for the response of `t` (see ResponseSeconds); RespTimeout's own bounds
// apply when it is the one used.
void StartResponseTimeout(KORTimeout& timeout, const Settings& s, const KORTransaction& t);

}  // namespace parley::detail
