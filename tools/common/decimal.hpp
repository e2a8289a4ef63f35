// Whole numbers as the tools take them from users: always decimal. A leading zero is only a
// zero ("010" is ten), never the octal or hexadecimal prefix of C's parsers.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace parley::tools {

// `text` as an optional sign and decimal digits only (no blanks, no prefix); nothing when it is
// anything else or beyond int64_t.
std::optional<int64_t> ParseDecimal(std::string_view text);

// A decimal number of seconds ("30", "0.25", "010.5", "+1.") in whole milliseconds; nothing for
// a sign other than '+', an exponent, blanks, a time finer than a millisecond ("0.0005") or one
// beyond int64_t.
std::optional<int64_t> ParseDecimalMillis(std::string_view seconds);

}  // namespace parley::tools
