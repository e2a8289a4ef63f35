// The address parser on any text.
//
// Checked: a refusal is error 5 naming a position within the text (or just past it) and holds
// no NUL; an accepted address has its numbers in range, and its written form reads back as
// the same address.
#include "parley/address.hpp"

#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_input.hpp"
#include "parley/errors.hpp"

namespace {

using parley::fuzz::Check;

void CheckRefusal(const std::string& text, const parley::AutomationError& e) {
  Check(e.Number() == parley::err::InvalidCall, "a refusal is error 5");
  const std::string& d = e.Description();
  Check(d.find('\0') == std::string::npos, "a refusal's text holds a NUL");
  std::size_t at = d.rfind(", position ");
  Check(at != std::string::npos, "a refusal names no position");
  std::size_t position = std::stoul(d.substr(at + 11));
  Check(position >= 1 && position <= text.size() + 1, "a refusal's position is outside the text");
}

void CheckAccepted(const parley::Address& a) {
  Check(a.mode >= 1 && a.mode <= 5, "an accepted address has no mode");
  Check(a.device_path.find('\0') == std::string::npos && a.host.find('\0') == std::string::npos,
        "an accepted address holds a NUL");
  if (a.gpib_address != -1) Check(a.gpib_address >= 0 && a.gpib_address <= 30, "GPIB address");
  if (a.mode == 5) Check(a.tcp_port >= 1 && a.tcp_port <= 65535 && !a.host.empty(), "TCP");
  std::string written = parley::FormatAddress(a);
  Check(parley::ParseAddress(written) == a, "the written form reads back as another address");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  try {
    CheckAccepted(parley::ParseAddress(text));
  } catch (const parley::AutomationError& e) {
    CheckRefusal(text, e);
  }
  return 0;
}
