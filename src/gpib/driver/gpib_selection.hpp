// The process-wide choice of GPIB driver. Each thread's binding asks for it on every call and
// starts afresh (registration, board) when the generation has changed.
#pragma once

#include <cstdint>
#include <memory>

#include "gpib/driver/gpib_driver.hpp"

namespace parley::detail {

struct GpibDriverChoice {
  std::shared_ptr<GpibDriver> driver;
  uint64_t generation = 0;  // changes with every choice
};

// The current driver; the system library until a program chooses another.
GpibDriverChoice CurrentGpibDriver();
void SelectGpibDriver(std::shared_ptr<GpibDriver> driver);

}  // namespace parley::detail
