// Pure pieces of the serial facility: the line-settings text and the line-error counters.
#pragma once

#include <termios.h>

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace parley::detail {

// "9600,o,7,1": bit rate, parity letter (n, o, e), data bits (5 to 8), stop bits (1 or 2).
struct LineSettings {
  int32_t bit_rate = 9600;
  char parity = 'n';
  int data_bits = 8;
  int stop_bits = 1;
};

// The system's speed constant for a bit rate, or nothing for a rate the line cannot be set to.
std::optional<speed_t> LineSpeed(int32_t bits_per_second);

// Parses a settings text; nothing for a malformed text or a rate the system cannot set. Upper
// case parity letters and blanks around the fields are accepted.
std::optional<LineSettings> ParseLineSettings(std::string_view text);

// The device's counts of line errors since it was opened (where the device keeps them).
struct LineCounters {
  uint32_t brk = 0;
  uint32_t frame = 0;
  uint32_t overrun = 0;
  uint32_t buf_overrun = 0;
  uint32_t parity = 0;
};

// The comm event codes of the errors counted between two readings, one code per kind that
// grew: 1001 break, 1004 framing, 1006 overrun, 1008 receive buffer overflow, 1009 parity.
std::vector<int16_t> LineErrorEvents(const LineCounters& before, const LineCounters& after);

// The environment variable that turns the low-latency request off (see LowLatencyWanted).
inline constexpr const char* kLowLatencyVariable = "PARLEY_SERIAL_LOW_LATENCY";

// Whether opening a device asks its driver for low latency, given the variable's value (null
// when unset): yes unless it is "0", "off", "no" or "false" (any case, blanks around ignored).
bool LowLatencyWanted(const char* setting);

}  // namespace parley::detail
