#include "forwarding/fwd_replies.hpp"

#include "forwarding/gpib_forwarding.hpp"
#include "interface/core.hpp"

namespace parley::detail {
namespace {
constexpr std::string_view kInOpen = "/GPIB:IN=\"";
constexpr std::string_view kInClose = "\"/";
constexpr std::string_view kRenPrefix = "/GPIB:REN=";
constexpr std::string_view kQuoteEscape = "<22>";

bool EndsWith(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}
}  // namespace

std::optional<std::string> TsndAnswer(std::string_view reply) {
  if (!StartsWith(reply, kTsndPrefix) || reply.size() < kTsndPrefix.size() + 1 ||
      reply.back() != '/') {
    return std::nullopt;
  }
  return std::string(reply.substr(kTsndPrefix.size(), reply.size() - kTsndPrefix.size() - 1));
}

std::string InAnswer(std::string_view reply) {
  if (reply == kDeviceTimeoutReply) Raise(err::GpibDeviceTimeout);
  if (reply == kForwardingOffReply) Raise(err::GpibForwardingUnavailable);
  if (!StartsWith(reply, kInOpen) || reply.size() < kInOpen.size() + kInClose.size() ||
      !EndsWith(reply, kInClose)) {
    Raise(err::GpibForwardingUnrecognized);
  }
  std::string_view data =
      reply.substr(kInOpen.size(), reply.size() - kInOpen.size() - kInClose.size());
  std::string out;
  out.reserve(data.size());
  for (std::size_t i = 0; i < data.size();) {
    if (data[i] == '"') Raise(err::GpibForwardingUnrecognized);
    if (data.substr(i, kQuoteEscape.size()) == kQuoteEscape) {
      out += '"';
      i += kQuoteEscape.size();
    } else {
      out += data[i++];
    }
  }
  return out;
}

std::optional<int16_t> SpollStatus(std::string_view reply) {
  if (reply.size() != kSpollPrefix.size() + 3 || !StartsWith(reply, kSpollPrefix) ||
      reply.back() != '/') {
    return std::nullopt;
  }
  int high = HexValue(reply[kSpollPrefix.size()]);
  int low = HexValue(reply[kSpollPrefix.size() + 1]);
  if (high < 0 || low < 0) return std::nullopt;
  return static_cast<int16_t>(high * 16 + low);
}

std::optional<std::string> RenState(std::string_view reply) {
  if (!StartsWith(reply, kRenPrefix) || reply.size() < kRenPrefix.size() + 2 ||
      reply.back() != '/') {
    return std::nullopt;
  }
  std::string_view value = reply.substr(kRenPrefix.size(), reply.size() - kRenPrefix.size() - 1);
  if (value.size() > kMaxRenValueLength) return std::nullopt;
  // Printable only: the value goes back into a message, so no line end, slash or control
  // character of the unit's may reach the link.
  for (char c : value) {
    if (c < 0x21 || c > 0x7E || c == '/') return std::nullopt;
  }
  return std::string(value);
}

}  // namespace parley::detail
