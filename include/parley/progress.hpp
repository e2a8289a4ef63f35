// KORProgress: the stage, countdown and halt request of a running operation.
#pragma once

#include <cstdint>
#include <string>

#include "parley/event.hpp"
#include "parley/export.hpp"

namespace parley {

namespace detail {
struct ProgressAccess;
}

// A user interface reads the stage text (status), a value on a scale of 0..max, whether the
// stage may be halted, listens to Update and HaltAck, and calls Halt. The library writes it.
class PARLEY_API KORProgress {
 public:
  int16_t max() const { return max_; }
  int16_t Value() const { return value_; }
  const std::string& status() const { return status_; }
  bool HaltEnabled() const { return halt_enabled_; }

  // Asks the running stage to stop. Ignored (and not remembered) while HaltEnabled is false.
  void Halt() {
    if (halt_enabled_) halt_requested_ = true;
  }

  Event Update;   // after a progress update changed at least one visible value
  Event HaltAck;  // after the library acted on a halt request

 private:
  friend struct detail::ProgressAccess;

  int16_t max_ = 0;
  int16_t value_ = 0;
  std::string status_;
  bool halt_enabled_ = false;
  bool halt_requested_ = false;
};

}  // namespace parley
