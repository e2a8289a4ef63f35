// The pieces of each link's one-shot commands that the interactive shell uses as well.
#pragma once

#include <cstdint>
#include <string>

#include "cli.hpp"

namespace parley::cli {

// --host and --port of the unit's TCP service, and their settings on `iface`.
void DefineTcpLinkOptions(OptionSet& o);
void ApplyTcpSettings(KORInterface& iface, const Options& options);
// A byte transaction from hex ("42 00 FF"); throws std::invalid_argument when malformed.
KORTransaction ByteTransaction(const std::string& hex, int32_t timeout);
// What to check for an error number of the TCP link, or "".
std::string TcpHint(int32_t number);

// --driver, --srq, --eabo, --max-length and the simulated instrument's --sim-* options.
void DefineGpibDriverOptions(OptionSet& o);
// What to check for an error number of direct GPIB, or "" (several lines for a board that
// cannot be initialised).
std::string GpibHint(int32_t number);
// A status byte as printed: "68 (0x44)".
std::string StatusByteText(int16_t value);

}  // namespace parley::cli
