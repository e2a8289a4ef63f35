// The event loop of the calling thread, shared by every KORInterface created on that thread.
//
// Contracts:
// - Poll() runs every handler that is ready now (I/O completions, due timers, posted work) and
//   never blocks.
// - RunFor(d) runs handlers as they become ready until `d` has passed on the thread's clock.
//   Waiting blocks in the kernel (or, under the virtual test clock, moves time on to the next
//   due event); it never spins a core.
// - The library's own waits (Transact and the other operations) run this loop, so handlers
//   run inside those calls. A handler may call back into a KORInterface; a call that would
//   start an operation while one is running is refused with "Interface is busy.".
// - Waits may nest inside handlers up to kMaxNesting levels; a deeper wait fails with
//   AutomationError(err::InvalidCall) instead of overflowing the stack.
// - Handlers must not throw; an exception escaping one ends the program (std::terminate).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

#include "parley/export.hpp"

namespace parley {

class PARLEY_API EventLoop {
 public:
  static constexpr int kMaxNesting = 16;

  static void Poll();
  static void RunFor(std::chrono::milliseconds duration);
  static void Post(std::function<void()> work);

  // A one-shot timer on this thread's loop; Cancel() before it fires prevents the call.
  class PARLEY_API Timer {
   public:
    Timer() = default;
    void Cancel();
    bool Pending() const;

   private:
    friend class EventLoop;
    explicit Timer(uint64_t id) : id_(id) {}
    uint64_t id_ = 0;
  };
  static Timer ScheduleAfter(std::chrono::milliseconds delay, std::function<void()> work);
};

}  // namespace parley
