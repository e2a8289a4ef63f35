#include "interface/number_text.hpp"

#include <cstdlib>
#include <string>

namespace parley::detail {
namespace {
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Consumes digits; returns how many.
std::size_t Digits(std::string_view s, std::size_t& i) {
  std::size_t start = i;
  while (i < s.size() && IsDigit(s[i])) ++i;
  return i - start;
}
}  // namespace

std::optional<double> ParseNumericText(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && IsBlank(text[i])) ++i;
  std::size_t begin = i;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  std::size_t mantissa = Digits(text, i);
  if (i < text.size() && text[i] == '.') {
    ++i;
    mantissa += Digits(text, i);
  }
  if (mantissa == 0) return std::nullopt;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    if (Digits(text, i) == 0) return std::nullopt;
  }
  std::size_t end = i;
  while (i < text.size() && IsBlank(text[i])) ++i;
  if (i != text.size()) return std::nullopt;
  std::string number(text.substr(begin, end - begin));
  // Too large for a double gives infinity, which the caller refuses as an overflow.
  return std::strtod(number.c_str(), nullptr);
}

}  // namespace parley::detail
