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
// - An exception escaping a client's handler (an event handler of KORInterface or KORProgress,
//   a connection-manager notification, work given to Post or ScheduleAfter) is never turned into
//   an error number or a success: the handlers after it in the same raise do not run, the
//   operation that was waiting ends at once with its marks undone (Busy, the record's InComm),
//   no retry or further attempt is made, and the exception reaches the caller of that
//   operation as it was thrown. Thrown inside Poll or RunFor (outside any operation), it leaves
//   Poll or RunFor the same way. The loop stays usable afterwards.
// - An event of an interface that has no call in progress (an idle portReset, a connection-
//   manager notification, its debugMonUpdate) is raised when it happens, also while another
//   interface's call is running the loop. An exception from such a handler while another
//   interface's call runs belongs to the idle interface, not to that call: the running
//   operation goes on undisturbed, the exception is noted in the idle interface's trace, and
//   that interface's next operation (openPort, Transact, ...; not a property read) throws it,
//   once, before doing anything. Further ones before that call are dropped.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

#include "parley/export.hpp"

namespace parley {

class PARLEY_API EventLoop {
 public:
  static constexpr int kMaxNesting = 16;

  static void Poll();
  static void RunFor(std::chrono::milliseconds duration);
  static void Post(std::function<void()> work);

  // A one-shot timer on this thread's loop. Cancel() before its call has started prevents the
  // call, also when the timer is already due (e.g. cancelled by another handler of the same pass).
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

  // Runs `on_ready` on this thread's loop whenever descriptor `fd` becomes readable, so that a
  // wait is woken by another thread or a signal handler writing to a pipe instead of by a
  // timer. Readiness is reported when data arrives: the handler reads the descriptor empty.
  // Data already there when the watch starts is reported at the next pass. A handler's
  // exception ends the wait that ran it, as for Post. The watch ends when the last copy of the
  // handle is dropped or Cancel()ed, on this thread; the descriptor stays the caller's to close
  // (after the watch ended). Throws AutomationError(err::InvalidCall) on a host without
  // descriptors (the virtual test clock).
  class PARLEY_API ReadWatch {
   public:
    ReadWatch() = default;
    void Cancel() { token_.reset(); }
    bool Active() const { return token_ != nullptr; }

   private:
    friend class EventLoop;
    explicit ReadWatch(std::shared_ptr<void> token) : token_(std::move(token)) {}
    std::shared_ptr<void> token_;
  };
  static ReadWatch WatchReadable(int fd, std::function<void()> on_ready);
};

}  // namespace parley
