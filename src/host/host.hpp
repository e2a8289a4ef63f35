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
#include <memory>
#include <string>

namespace parley::detail {

class SerialPort;
class TcpClient;

using Micros = std::chrono::microseconds;

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
  // Blocks until a handler has run or `max` has passed, then runs what else is ready.
  virtual void WaitForEvent(Micros max) = 0;
  virtual void Post(std::function<void()> work) = 0;
  // One-shot timer; returns an id for CancelTimer (never 0).
  virtual uint64_t StartTimer(Micros delay, std::function<void()> work) = 0;
  virtual void CancelTimer(uint64_t id) = 0;
  virtual bool TimerPending(uint64_t id) const = 0;
  // Sleeps without running handlers.
  virtual void Sleep(Micros duration) = 0;

  // --- facilities --------------------------------------------------------------------------
  virtual std::unique_ptr<SerialPort> CreateSerialPort() = 0;
  virtual std::unique_ptr<TcpClient> CreateTcpClient() = 0;

  // Depth of waits nested inside handlers; guarded so runaway recursion fails cleanly.
  int nesting() const { return nesting_; }

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
};

// The host of the calling thread; a real host is made on first use.
Host& CurrentHost();

// Installs `host` as the calling thread's host for the guard's lifetime (tests, tools).
class ScopedHost {
 public:
  explicit ScopedHost(std::unique_ptr<Host> host);
  ~ScopedHost();
  ScopedHost(const ScopedHost&) = delete;
  ScopedHost& operator=(const ScopedHost&) = delete;
  Host& host() { return *host_; }

 private:
  Host* host_;  // owned by the thread slot while the guard lives
  std::unique_ptr<Host> previous_;
};

std::unique_ptr<Host> MakeRealHost();

}  // namespace parley::detail
