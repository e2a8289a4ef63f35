#include "escapes.hpp"

#include <stdexcept>

namespace parley::tools {
namespace {

constexpr const char* kAllowed = " (the escapes are \\r \\n \\t \\\\ \\xNN)";

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The byte the escape at text[i] (just after its backslash) stands for; `i` ends on its last
// character.
char DecodeOne(std::string_view text, std::size_t& i) {
  switch (text[i]) {
    case 'r':
      return '\r';
    case 'n':
      return '\n';
    case 't':
      return '\t';
    case '\\':
      return '\\';
    case 'x': {
      int high = i + 1 < text.size() ? HexDigit(text[i + 1]) : -1;
      int low = i + 2 < text.size() ? HexDigit(text[i + 2]) : -1;
      if (high < 0 || low < 0) {
        throw std::invalid_argument("\\x needs two hex digits, as in \\x0D, not '\\" +
                                    std::string(text.substr(i, 3)) + "'");
      }
      i += 2;
      return static_cast<char>(high * 16 + low);
    }
    default:
      throw std::invalid_argument("unknown escape \\" + std::string(1, text[i]) + kAllowed);
  }
}

}  // namespace

std::string DecodeEscapes(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      out += text[i];
    } else if (++i == text.size()) {
      throw std::invalid_argument(
          std::string("a lone backslash ends the text (write \\\\ for one)"));
    } else {
      out += DecodeOne(text, i);
    }
  }
  return out;
}

std::string EscapeProblem(std::string_view text) {
  try {
    DecodeEscapes(text);
  } catch (const std::invalid_argument& e) {
    return e.what();
  }
  return "";
}

}  // namespace parley::tools
