// The per-thread host: clock, event loop, timers and the factories of the link facilities.
//
// Everything the library does with time, waiting and devices goes through the Host of the
// calling thread. The real host runs on Asio and the local time of day; the virtual host
// (tests/support/virtual_host.hpp, in the test-support library) owns a simulated clock that jumps
// to the next due event whenever the code under test waits, so that 15-second or midnight cases run
// in microseconds.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <string>

namespace parley::detail {

class SerialPort;
class TcpClient;

using Micros = std::chrono::microseconds;

// Delays far beyond any real wait saturate instead of overflowing: a timer that far away never
// fires in practice, and an overflowed one would fire at once.
inline Micros ToMicrosSaturated(std::chrono::milliseconds d) {
  constexpr int64_t kLimit = std::numeric_limits<int64_t>::max() / 1000;
  if (d.count() > kLimit) return Micros::max();
  if (d.count() < -kLimit) return Micros::min();
  return Micros(d.count() * 1000);
}
// `base + delay` on a microsecond count, clamped to the representable range.
inline int64_t AddSaturated(int64_t base, int64_t delay) {
  if (delay > 0 && base > std::numeric_limits<int64_t>::max() - delay) {
    return std::numeric_limits<int64_t>::max();
  }
  if (delay < 0 && base < std::numeric_limits<int64_t>::min() - delay) {
    return std::numeric_limits<int64_t>::min();
  }
  return base + delay;
}

class Host {
 public:
  virtual ~Host() = default;

  // --- clock -------------------------------------------------------------------------------
  // Seconds since local midnight, 0 to just under 86400.
  virtual double SecondsSinceMidnight() = 0;
  // Seconds on a clock that only moves forward at a steady rate (no wall-clock steps): what
  // every timeout and wait measures elapsed time with.
  virtual double MonotonicSeconds();
  // Local date and time as the trace writes it: "YYYY-MM-DD HH:MM:SS".
  virtual std::string LocalDateTimeText() = 0;

  // --- loop --------------------------------------------------------------------------------
  // Runs the handlers that are ready now; never blocks.
  virtual void Yield() = 0;
  // Blocks until one handler has run or `max` has passed (a `max` of zero or less runs what is
  // ready and returns). Waiting loops call it again after their checks; handlers already queued
  // then run at once.
  virtual void WaitForEvent(Micros max) = 0;
  virtual void Post(std::function<void()> work) = 0;
  // One-shot timer; returns an id for CancelTimer (never 0).
  virtual uint64_t StartTimer(Micros delay, std::function<void()> work) = 0;
  virtual void CancelTimer(uint64_t id) = 0;
  virtual bool TimerPending(uint64_t id) const = 0;
  // Sleeps without running handlers.
  virtual void Sleep(Micros duration) = 0;
  // Runs `on_ready` whenever `fd` becomes readable, until the returned token is dropped (on
  // this thread, while the host lives). The descriptor is left open. A host without
  // descriptors refuses with AutomationError(err::InvalidCall).
  virtual std::shared_ptr<void> WatchReadable(int fd, std::function<void()> on_ready);

  // --- facilities --------------------------------------------------------------------------
  virtual std::unique_ptr<SerialPort> CreateSerialPort() = 0;
  virtual std::unique_ptr<TcpClient> CreateTcpClient() = 0;

  // Depth of waits nested inside handlers; guarded so runaway recursion fails cleanly.
  int nesting() const { return nesting_; }

  // --- activity ----------------------------------------------------------------------------
  // Held by the owning thread for as long as it runs any library call or its loop
  // (ActivityScope). Another thread that takes it (try_lock only) knows that the owner is
  // outside every call and may act on the owner's objects in its place: the connection
  // manager's watcher closes an idle port this way when another program asks for it.
  std::recursive_mutex& activity() { return activity_; }

  // --- the running call's deadline --------------------------------------------------------
  // Monotonic seconds at which the current operation must end, and what ends it (throws);
  // `reached` empty: no deadline. Every wait of the transports is cut short there.
  struct Deadline {
    double at = 0;
    std::function<void()> reached;
  };
  Deadline& deadline() { return deadline_; }

  // Public calls of interfaces running on this thread (nested ones counted), so an idle
  // interface's event can tell whether another's operation is running the loop.
  int calls_running() const { return calls_running_; }
  void CallStarted() { ++calls_running_; }
  void CallEnded() { --calls_running_; }

 protected:
  // Every Yield/WaitForEvent body runs inside one of these.
  class NestingGuard {
   public:
    explicit NestingGuard(Host& host);
    ~NestingGuard() { --host_.nesting_; }
    NestingGuard(const NestingGuard&) = delete;
    NestingGuard& operator=(const NestingGuard&) = delete;

   private:
    Host& host_;
  };

 private:
  int nesting_ = 0;
  int calls_running_ = 0;
  Deadline deadline_;
  std::recursive_mutex activity_;
};

// Marks the calling thread busy in the library for its lifetime (see Host::activity).
class ActivityScope {
 public:
  explicit ActivityScope(Host& host) : lock_(host.activity()) {}

 private:
  std::unique_lock<std::recursive_mutex> lock_;
};

// The host of the calling thread; a real host is made on first use.
Host& CurrentHost();
// The same host, shared: an object that waits on it or owns a facility made by it holds this,
// so the host outlives it even when the thread's own reference is gone first (thread exit,
// a static object destroyed after the main thread's state).
std::shared_ptr<Host> CurrentHostShared();

// Installs `host` as the calling thread's host for the guard's lifetime (tests, tools).
class ScopedHost {
 public:
  explicit ScopedHost(std::shared_ptr<Host> host);
  ~ScopedHost();
  ScopedHost(const ScopedHost&) = delete;
  ScopedHost& operator=(const ScopedHost&) = delete;
  Host& host() { return *host_; }

 private:
  Host* host_;  // kept alive by the thread slot while the guard lives
  std::shared_ptr<Host> previous_;
};

std::unique_ptr<Host> MakeRealHost();

}  // namespace parley::detail
