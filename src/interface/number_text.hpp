// Reading a number from text as a client would type it.
#pragma once

#include <optional>
#include <string_view>

namespace parley::detail {

// Decimal text with optional surrounding blanks, sign, fraction and exponent ("80.6",
// " -12 ", "1e3"). Anything else (empty, letters, "1,000", "inf") gives no value.
std::optional<double> ParseNumericText(std::string_view text);

}  // namespace parley::detail
