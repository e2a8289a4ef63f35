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

// Seconds as the tools take them for times: decimal with a fraction, in whole milliseconds.
TEST(ParseDecimalTest, SecondsWithAFractionInWholeMilliseconds) {
  const struct {
    const char* text;
    std::optional<int64_t> ms;
  } cases[] = {
      {"0.25", 250},
      {"010.5", 10500},
      {"30", 30000},
      {".5", 500},
      {"2.", 2000},
      {"+1.001", 1001},
      {"0.2500000", 250},
      {"0.001", 1},
      {"0", 0},
      {"0.0005", std::nullopt},
      {"-1", std::nullopt},
      {"1e3", std::nullopt},
      {".", std::nullopt},
      {"", std::nullopt},
      {"1.2.3", std::nullopt},
      {" 1", std::nullopt},
      {"0x10", std::nullopt},
      {"9223372036854775", std::nullopt},
      {"9223372036854774", 9223372036854774000},
  };
  for (const auto& c : cases) EXPECT_EQ(ParseDecimalMillis(c.text), c.ms) << '"' << c.text << '"';
}

}  // namespace
}  // namespace parley::tools
