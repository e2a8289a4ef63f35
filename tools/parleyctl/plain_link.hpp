// Plain instruments on the serial and TCP links (a meter on a USB adapter, a supply on a LAN
// socket): --plain and --verify-echo, the --timeout those links take (decimal seconds on a
// plain instrument, the unit's five values otherwise) and the --deadline of every command.
#pragma once

#include <cstdint>
#include <string>

#include "cli.hpp"

namespace parley::cli {

// The longest timeout or deadline the tool takes: a day.
inline constexpr int64_t kMaxTimeMs = 86'400'000;

void DefinePlainLinkOptions(OptionSet& o);   // --plain, --verify-echo
void DefineLinkTimeoutOption(OptionSet& o);  // --timeout for links that may be plain
void DefineDeadlineOption(OptionSet& o);     // --deadline

// Why `text` is no --timeout for the link ("" when it is one): the unit's modes take 10, 30,
// 60, 120 or 480 seconds, a plain instrument 0.001 to 86400 in whole milliseconds. The words
// list what the link takes.
std::string TimeoutProblem(const std::string& text, bool plain);

// A transaction's times: RespTimeout in seconds, or on a plain link RespTimeoutMs; DeadlineMs.
struct TransactionTimes {
  int32_t seconds = korShort;
  int32_t ms = 0;  // 0: `seconds` applies
  int32_t deadline_ms = 0;
};
// --timeout `text` for the link into `times`; throws std::invalid_argument (a usage mistake)
// with what the link takes.
void SetTimeout(TransactionTimes& times, const std::string& text, bool plain);
// --timeout and --deadline of the run, checked for the link (--plain or not).
TransactionTimes TimesFor(const Options& options);
void ApplyTimes(KORTransaction& t, const TransactionTimes& times);
// The timeout as the user gives it: "30", "0.25".
std::string TimeoutText(const TransactionTimes& times);
// Milliseconds as decimal seconds, without trailing zeros: 250 as "0.25".
std::string SecondsText(int64_t ms);

// What the manual page says of plain instruments.
std::string PlainLinkHelp();

// Applies --plain (whose terminators default to "\n" where --cmd-term and --resp-term are not
// given) and --verify-echo, after the mode and terminators are set. Throws
// std::invalid_argument for --plain in a mode other than 2 or 5.
void ApplyPlainLink(KORInterface& iface, const Options& options);

}  // namespace parley::cli
