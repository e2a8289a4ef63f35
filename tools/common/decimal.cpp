#include "decimal.hpp"

#include <charconv>

namespace parley::tools {

std::optional<int64_t> ParseDecimal(std::string_view text) {
  // from_chars takes '-' but not '+'; a '+' followed by another sign is still refused.
  if (!text.empty() && text.front() == '+') {
    text.remove_prefix(1);
    if (!text.empty() && text.front() == '-') return std::nullopt;
  }
  int64_t value = 0;
  const char* end = text.data() + text.size();
  auto [stop, ec] = std::from_chars(text.data(), end, value, 10);
  if (text.empty() || ec != std::errc() || stop != end) return std::nullopt;
  return value;
}

}  // namespace parley::tools
