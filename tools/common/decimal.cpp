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

std::optional<int64_t> ParseDecimalMillis(std::string_view seconds) {
  if (!seconds.empty() && seconds.front() == '+') seconds.remove_prefix(1);
  std::size_t point = seconds.find('.');
  std::string_view whole = seconds.substr(0, point);
  std::string_view fraction = point == std::string_view::npos ? "" : seconds.substr(point + 1);
  auto digits = [](std::string_view text) {
    return text.find_first_not_of("0123456789") == std::string_view::npos;
  };
  if ((whole.empty() && fraction.empty()) || !digits(whole) || !digits(fraction)) {
    return std::nullopt;
  }
  // Zeros past the milliseconds are harmless; any other digit there is a finer time.
  while (fraction.size() > 3 && fraction.back() == '0') fraction.remove_suffix(1);
  if (fraction.size() > 3) return std::nullopt;
  int64_t ms = 0;
  if (!whole.empty()) {
    auto value = ParseDecimal(whole);
    if (!value || *value > (INT64_MAX - 999) / 1000) return std::nullopt;
    ms = *value * 1000;
  }
  int64_t scale = 100;
  for (char c : fraction) {
    ms += (c - '0') * scale;
    scale /= 10;
  }
  return ms;
}

}  // namespace parley::tools
