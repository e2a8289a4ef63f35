// The replies of the remote unit's GPIB forwarding feature, checked before anything in them is
// used. The unit is outside this library: a reply that is cut short, framed otherwise or an
// error report must never pass as an instrument's answer, and nothing it sends is trusted to
// go back onto the link.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace parley::detail {

// The longest remote-enable state taken from a REN reply and sent back to the unit.
inline constexpr std::size_t kMaxRenValueLength = 8;

// The answer of a "/GPIB:TSND=answer/" reply, or nothing when the reply lacks the prefix or
// its closing slash.
std::optional<std::string> TsndAnswer(std::string_view reply);

// The data of a `/GPIB:IN="data"/` reply with "<22>" turned back into double quotes. Raises
// err::GpibDeviceTimeout for E008, err::GpibForwardingUnavailable for E010 and
// err::GpibForwardingUnrecognized for anything else that is not such a reply (a bare quote
// inside the data included: the unit escapes them).
std::string InAnswer(std::string_view reply);

// The status byte of a "/GPIB:SPOLL=xx/" reply (exactly two hexadecimal digits), or nothing.
std::optional<int16_t> SpollStatus(std::string_view reply);

// The state v of a "/GPIB:REN=v/" reply: 1 to kMaxRenValueLength printable characters other
// than "/", or nothing.
std::optional<std::string> RenState(std::string_view reply);

}  // namespace parley::detail
