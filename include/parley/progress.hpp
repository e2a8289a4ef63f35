// KORProgress: the stage, countdown and halt request of a running operation.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "parley/event.hpp"
#include "parley/export.hpp"
#include "parley/thread_owner.hpp"

namespace parley {

namespace detail {
struct ProgressAccess;
}

// A user interface reads the stage text (status), a value on a scale of 0..max, whether the
// stage may be halted, listens to Update and HaltAck, and calls Halt. The library writes it.
//
// It belongs to the thread of the interface that uses it (from its creation by the interface,
// or from KORInterface::Progress(p)); elsewhere every member fails with error 5 (Source
// "KORProgress") and touches nothing, except HaltEnabled and Halt, which any thread may call.
class PARLEY_API KORProgress {
  // First, so that it is built before the events that refer to it.
  ThreadOwner owner_{"KORProgress"};

 public:
  int16_t max() const {
    owner_.Check();
    return max_;
  }
  int16_t Value() const {
    owner_.Check();
    return value_;
  }
  const std::string& status() const {
    owner_.Check();
    return status_;
  }
  bool HaltEnabled() const { return halt_enabled_.load(); }

  // Asks the running stage to stop. Ignored (and not remembered) while HaltEnabled is false.
  void Halt() {
    if (halt_enabled_.load()) halt_requested_.store(true);
  }

  Event Update{&owner_};   // after a progress update changed at least one visible value
  Event HaltAck{&owner_};  // after the library acted on a halt request

 private:
  friend struct detail::ProgressAccess;

  int16_t max_ = 0;
  int16_t value_ = 0;
  std::string status_;
  std::atomic<bool> halt_enabled_{false};
  std::atomic<bool> halt_requested_{false};
};

}  // namespace parley
