// parley-sim --scenario FILE: the unit's answers, delays, faults and status-byte sequences
// from one TOML file, onto the same configuration the command-line options fill.
//
//   [unit]     plain (a plain instrument), delay (ms), unknown, cmd-term, resp-term
//   [answers]  "COMMAND" = "TEXT"  or  "COMMAND" = { text = "TEXT", delay = MS }
//   [faults]   silent, echo-only, split (bytes), chunk-gap (ms), close-mid-answer
//   [tcp]      port (0: any free one), greeting, split-greeting; the table serves TCP
//   [gpib]     enabled, absent (addresses), busy, stray, ready-after (polls), answer-time (ms)
//   [gpib.status]  ADDRESS = [status bytes its next serial polls return, in order]
//
// Texts take the escapes \r \n \t \\ \xNN, as on the command line (write them in single-quoted
// TOML strings, which leave backslashes alone).
#pragma once

#include <optional>
#include <string>

#include "gpib_forwarding.hpp"
#include "remote_unit.hpp"
#include "tcp_front.hpp"

namespace parley::sim {

// Applies the scenario `path` over what `unit`, `gpib` and `tcp` hold. Throws
// std::invalid_argument "FILE:LINE: ..." for a file that cannot be read, a syntax error, an
// unknown key (with the allowed ones) or a bad value (with what is allowed). `given` records the
// settings the file gave (see CompleteConfig).
void ApplyScenario(const std::string& path, UnitConfig& unit, GivenSettings& given,
                   ForwardingConfig& gpib, std::optional<TcpOptions>& tcp);

}  // namespace parley::sim
