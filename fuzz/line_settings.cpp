// The line-settings text: the parser on any text, and the text the serial engine builds from
// settings that passed validation.
//
// Input: a rate selector byte (below 32: a rate from the table of candidates, otherwise the
// next four bytes), parity, data-bit and stop-bit bytes, then the text to parse.
//
// Checked: what the parser takes has a settable rate, a known parity, 5 to 8 data bits and 1 or
// 2 stop bits, and its canonical text parses to the same; every combination the validation
// lets through builds a text the parser takes, with the same values.
#include <cstddef>
#include <cstdint>
#include <string>

#include "catalogue/validation.hpp"
#include "fuzz_input.hpp"
#include "host/serial_line.hpp"
#include "parley/transaction.hpp"
#include "serial/serial_link.hpp"

namespace {

using parley::detail::LineSettings;
using parley::detail::ParseLineSettings;
using parley::fuzz::Check;

std::string Canonical(const LineSettings& s) {
  return std::to_string(s.bit_rate) + "," + s.parity + "," + std::to_string(s.data_bits) + "," +
         std::to_string(s.stop_bits);
}

bool Same(const LineSettings& a, const LineSettings& b) {
  return a.bit_rate == b.bit_rate && a.parity == b.parity && a.data_bits == b.data_bits &&
         a.stop_bits == b.stop_bits;
}

void CheckParsed(const std::string& text) {
  auto s = ParseLineSettings(text);
  if (!s) return;
  Check(parley::detail::LineSpeed(s->bit_rate).has_value(), "a rate the line cannot be set to");
  Check(s->parity == 'n' || s->parity == 'o' || s->parity == 'e', "an unknown parity");
  Check(s->data_bits >= 5 && s->data_bits <= 8, "data bits out of range");
  Check(s->stop_bits == 1 || s->stop_bits == 2, "stop bits out of range");
  auto again = ParseLineSettings(Canonical(*s));
  Check(again && Same(*again, *s), "the canonical text parses otherwise");
}

int32_t Rate(parley::fuzz::FuzzInput& in) {
  constexpr int32_t kCandidates[] = {110,   300,   600,   1200,   2400,   4800, 9600,  14400,
                                     19200, 38400, 57600, 115200, 230400, 0,    -9600, 75};
  uint8_t selector = in.Byte();
  if (selector < 32) return kCandidates[selector % 16];
  uint32_t raw = 0;
  for (int i = 0; i < 4; ++i) raw = raw << 8 | in.Byte();
  return static_cast<int32_t>(raw);
}

void CheckBuilt(parley::fuzz::FuzzInput& in) {
  parley::detail::Settings s;
  s.bit_rate = Rate(in);
  s.parity = static_cast<int8_t>(in.Byte());
  s.data_bits = static_cast<int8_t>(in.Byte());
  s.stop_bits = static_cast<int8_t>(in.Byte());
  parley::KORTransaction t;
  t.cmd("X");
  t.RespTimeout(parley::korShort);
  try {
    parley::detail::CRLFDirectValidateTrans(s, t);
  } catch (const parley::AutomationError&) {
    return;
  }
  auto parsed = ParseLineSettings(parley::detail::SerialSettingsText(s));
  Check(parsed.has_value(), "validated settings build a text the line refuses");
  char parity = s.parity == parley::korParityOdd    ? 'o'
                : s.parity == parley::korParityEven ? 'e'
                                                    : 'n';
  Check(parsed->bit_rate == s.bit_rate && parsed->parity == parity &&
            parsed->data_bits == s.data_bits && parsed->stop_bits == s.stop_bits,
        "validated settings build another line");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  parley::fuzz::FuzzInput in(data, size);
  CheckBuilt(in);
  CheckParsed(in.Rest());
  return 0;
}
