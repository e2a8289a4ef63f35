// The one escape parser of parleyctl and parley-sim.
#include "escapes.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace parley::tools {
namespace {

TEST(EscapesTest, KnownEscapesDecodeAndAnyOtherIsRefusedWithTheReason) {
  const struct {
    std::string text;
    std::optional<std::string> decoded;  // nothing: refused
    const char* says = "";
  } cases[] = {
      {"plain", "plain"},
      {"", ""},
      {"\\r\\n>", "\r\n>"},
      {"a\\tb\\\\c", "a\tb\\c"},
      {"\\x00\\xfF\\x41", std::string("\0\xff"
                                      "A",
                                      3)},
      {"\\\\q", "\\q"},  // an escaped backslash, then a plain q
      {"\\q", std::nullopt, "unknown escape \\q"},
      {"ab\\", std::nullopt, "a lone backslash ends the text"},
      {"\\x4", std::nullopt, "\\x needs two hex digits"},
      {"\\x", std::nullopt, "\\x needs two hex digits"},
      {"\\xg0", std::nullopt, "\\x needs two hex digits"},
      {"\\X41", std::nullopt, "unknown escape \\X"},
      {"\\0", std::nullopt, "unknown escape \\0"},
  };
  for (const auto& c : cases) {
    std::string why = EscapeProblem(c.text);
    if (c.decoded) {
      EXPECT_EQ(why, "") << c.text;
      EXPECT_EQ(DecodeEscapes(c.text), *c.decoded) << c.text;
    } else {
      EXPECT_NE(why.find(c.says), std::string::npos) << c.text << ": " << why;
      EXPECT_THROW(DecodeEscapes(c.text), std::invalid_argument) << c.text;
    }
  }
}

}  // namespace
}  // namespace parley::tools
