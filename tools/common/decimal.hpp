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

}  // namespace parley::tools
