#include "decimal.hpp"

#include <gtest/gtest.h>

#include <optional>

namespace parley::tools {
namespace {

TEST(ParseDecimalTest, LeadingZerosAreDecimalAndNothingButDigitsIsTaken) {
  const struct {
    const char* text;
    std::optional<int64_t> value;
  } cases[] = {
      {"010", 10},
      {"09", 9},
      {"0", 0},
      {"000", 0},
      {"+08", 8},
      {"-010", -10},
      {"9223372036854775807", INT64_MAX},
      {"9223372036854775808", std::nullopt},
      {"0x10", std::nullopt},
      {"0o7", std::nullopt},
      {"", std::nullopt},
      {"+", std::nullopt},
      {"+-1", std::nullopt},
      {" 5", std::nullopt},
      {"5 ", std::nullopt},
      {"1.5", std::nullopt},
      {"1e3", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseDecimal(c.text), c.value) << '"' << c.text << '"';
}

}  // namespace
}  // namespace parley::tools
