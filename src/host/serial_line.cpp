#include "host/serial_line.hpp"

#include <termios.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <string>

namespace parley::detail {
namespace {

// The one table of the rates a line can be set to, with the system's constant for each.
struct Rate {
  int32_t bits_per_second;
  speed_t speed;
};
constexpr Rate kRates[] = {
    {110, B110},       {300, B300},       {600, B600},       {1200, B1200},    {2400, B2400},
    {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},  {57600, B57600},
    {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600}};

std::string_view Trimmed(std::string_view s) {
  while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
  while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
  return s;
}

std::optional<int32_t> Whole(std::string_view s) {
  s = Trimmed(s);
  int32_t value = 0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
  if (s.empty() || ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
  return value;
}

std::vector<std::string_view> Fields(std::string_view text) {
  std::vector<std::string_view> fields;
  for (;;) {
    std::size_t comma = text.find(',');
    fields.push_back(text.substr(0, comma));
    if (comma == std::string_view::npos) return fields;
    text.remove_prefix(comma + 1);
  }
}

}  // namespace

std::optional<speed_t> LineSpeed(int32_t bits_per_second) {
  for (const Rate& r : kRates) {
    if (r.bits_per_second == bits_per_second) return r.speed;
  }
  return std::nullopt;
}

std::optional<LineSettings> ParseLineSettings(std::string_view text) {
  auto fields = Fields(text);
  if (fields.size() != 4) return std::nullopt;
  auto rate = Whole(fields[0]);
  auto data = Whole(fields[2]);
  auto stop = Whole(fields[3]);
  std::string_view parity = Trimmed(fields[1]);
  if (!rate || !data || !stop || parity.size() != 1) return std::nullopt;
  LineSettings s;
  s.bit_rate = *rate;
  s.parity = static_cast<char>(parity[0] | 0x20);  // lower case
  s.data_bits = *data;
  s.stop_bits = *stop;
  if (!LineSpeed(s.bit_rate)) {
    return std::nullopt;
  }
  if (s.parity != 'n' && s.parity != 'o' && s.parity != 'e') return std::nullopt;
  if (s.data_bits < 5 || s.data_bits > 8) return std::nullopt;
  if (s.stop_bits != 1 && s.stop_bits != 2) return std::nullopt;
  return s;
}

std::vector<int16_t> LineErrorEvents(const LineCounters& before, const LineCounters& after) {
  std::vector<int16_t> events;
  // Unsigned differences stay right when a counter wraps.
  if (after.brk - before.brk != 0) events.push_back(1001);
  if (after.frame - before.frame != 0) events.push_back(1004);
  if (after.overrun - before.overrun != 0) events.push_back(1006);
  if (after.buf_overrun - before.buf_overrun != 0) events.push_back(1008);
  if (after.parity - before.parity != 0) events.push_back(1009);
  return events;
}

bool LowLatencyWanted(const char* setting) {
  if (setting == nullptr) return true;
  std::string word(Trimmed(setting));
  for (char& c : word) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return word != "0" && word != "off" && word != "no" && word != "false";
}

}  // namespace parley::detail
