// Reporting a stage to a KORProgress, and the rounding the countdowns use.
#pragma once

#include <cmath>
#include <cstdint>
#include <string>
#include <string_view>

#include "parley/progress.hpp"

namespace parley::detail {

// Stores the four visible values, raises Update once if any changed, and returns whether a
// halt was requested (an Update handler's Halt is already seen by this same call).
bool UpdateProgress(KORProgress& progress, std::string_view status, int16_t max, int16_t value,
                    bool halt_enabled);

// Rounds to the nearest integer, halves to the even neighbour, clamped to 16 bits.
inline int16_t RoundToInt16(double v) {
  double r = std::nearbyint(v);
  if (r > 32767) return 32767;
  if (r < -32768) return -32768;
  return static_cast<int16_t>(r);
}

}  // namespace parley::detail
