// RemotePortNumber's text rules: the number reader on any text, and the property put.
//
// Checked: the reader accepts exactly decimal text with optional blanks, sign, fraction and
// exponent (compared with a regular expression on shorter inputs), and its value is the
// correctly rounded one; the put raises TcpPortOutOfRange for what the reader refuses and
// Overflow for what does not fit in 32 bits, and otherwise keeps the nearest whole number
// (exact halves to the even one), which reads back as text that puts the same value again.
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <regex>
#include <string>

#include "fuzz_input.hpp"
#include "interface/number_text.hpp"
#include "parley/errors.hpp"
#include "parley/interface.hpp"
#include "support/virtual_host.hpp"

namespace {

using parley::fuzz::Check;

// Short enough for std::regex's recursive matcher.
constexpr std::size_t kRegexLimit = 200;

void CheckReader(const std::string& text, const std::optional<double>& number) {
  if (text.size() <= kRegexLimit) {
    static const std::regex kNumber(
        "[ \\t]*[+-]?([0-9]+\\.?[0-9]*|\\.[0-9]+)([eE][+-]?[0-9]+)?[ \\t]*");
    Check(std::regex_match(text, kNumber) == number.has_value(), "the reader's text rules");
  }
  if (!number) return;
  std::size_t begin = text.find_first_not_of(" \t");
  std::size_t end = text.find_last_not_of(" \t") + 1;
  if (text[begin] == '+') ++begin;
  double reference = 0;
  auto [ptr, ec] = std::from_chars(text.data() + begin, text.data() + end, reference);
  if (ec == std::errc::result_out_of_range) {
    // Too large is infinity, too small rounds to zero (or the smallest subnormal).
    Check(std::isinf(*number) || std::fabs(*number) < 1e-300, "an out-of-range value");
    return;
  }
  Check(ec == std::errc() && ptr == text.data() + end, "the reference did not read it");
  Check(*number == reference, "the value is not the correctly rounded one");
}

void CheckPut(parley::KORInterface& iface, const std::string& text,
              const std::optional<double>& number) {
  int32_t number_raised = 0;
  try {
    iface.RemotePortNumber(text);
  } catch (const parley::AutomationError& e) {
    number_raised = e.Number();
  }
  if (!number) {
    Check(number_raised == parley::err::TcpPortOutOfRange, "refused text not TcpPortOutOfRange");
    return;
  }
  double v = *number;
  double nearest = std::nearbyint(v);
  bool fits = nearest >= -2147483648.0 && nearest <= 2147483647.0;
  if (number_raised != 0) {
    Check(number_raised == parley::err::Overflow, "a number refused with another error");
    Check(!fits, "a number that fits was refused");
    return;
  }
  Check(fits, "a number too large was taken");
  std::string back = iface.RemotePortNumber();
  long long value = std::stoll(back);
  Check(std::fabs(static_cast<double>(value) - v) <= 0.5, "not the nearest whole number");
  if (std::fabs(static_cast<double>(value) - v) == 0.5) Check(value % 2 == 0, "a half not to even");
  iface.RemotePortNumber(back);
  Check(iface.RemotePortNumber() == back, "the read-back text puts another value");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  std::optional<double> number = parley::detail::ParseNumericText(text);
  CheckReader(text, number);
  parley::detail::ScopedHost scoped(std::make_shared<parley::detail::VirtualHost>());
  parley::KORInterface iface;
  CheckPut(iface, text, number);
  return 0;
}
