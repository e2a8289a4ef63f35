#include "plain_link.hpp"

#include <algorithm>
#include <cctype>
#include <stdexcept>

#include "decimal.hpp"

namespace parley::cli {
namespace {

const char* kUnitTimeouts = "{10,30,60,120,480}";
const char* kPlainTimeouts = "0.001 to 86400";

bool IsUnitTimeout(const std::string& text) {
  auto value = tools::ParseDecimal(text);
  return value && (*value == 10 || *value == 30 || *value == 60 || *value == 120 || *value == 480);
}

std::optional<int64_t> PlainTimeoutMs(const std::string& text) {
  auto ms = tools::ParseDecimalMillis(text);
  if (!ms || *ms < 1 || *ms > kMaxTimeMs) return std::nullopt;
  return ms;
}

// The option's own check knows no link yet: a value either kind of link takes passes.
std::string TimeoutSyntaxProblem(const std::string& text) {
  if (IsUnitTimeout(text) || PlainTimeoutMs(text)) return "";
  return text + " not in " + kUnitTimeouts + " (the remote unit's modes) nor " + kPlainTimeouts +
         " (a plain instrument, --plain; seconds in whole milliseconds)";
}

std::string DeadlineProblem(const std::string& text) {
  auto ms = tools::ParseDecimalMillis(text);
  if (ms && *ms <= kMaxTimeMs) return "";
  return text + " is not a time from 0 to 86400 seconds in whole milliseconds (0: none)";
}

int32_t Millis(const std::string& text) {
  return static_cast<int32_t>(tools::ParseDecimalMillis(text).value_or(0));
}

}  // namespace

void DefinePlainLinkOptions(OptionSet& o) {
  o.Flag("--plain,--PlainInstrument",
         "a plain instrument, not the remote unit: no echo, prompt or greeting (modes 2 and 5); "
         "--cmd-term and --resp-term then default to \\n");
  o.Choice("--verify-echo,--VerifyEcho", {"on", "off", "true", "false"},
           "off: skip the unit's echo by its length instead of comparing it", "on");
}

void DefineLinkTimeoutOption(OptionSet& o) {
  o.Checked("--timeout,--RespTimeout", "SECONDS",
            "response timeout of each transaction: 10, 30, 60, 120 or 480 seconds; with --plain "
            "any time from 0.001 to 86400 (0.25: a quarter of a second)",
            TimeoutSyntaxProblem, "10");
}

void DefineDeadlineOption(OptionSet& o) {
  o.Checked("--deadline", "SECONDS",
            "bound on each whole transaction, every stage included (0.5, 30; 0: none); past it "
            "the transaction ends with \"User canceled operation.\" and exit status 5",
            DeadlineProblem, "0");
}

std::string TimeoutProblem(const std::string& text, bool plain) {
  if (plain && !PlainTimeoutMs(text)) {
    return text + " not in " + kPlainTimeouts +
           ", the seconds a plain instrument takes (in whole milliseconds)";
  }
  if (!plain && !IsUnitTimeout(text)) {
    return text + " not in " + kUnitTimeouts +
           ", the seconds the remote unit's modes take (a plain instrument, --plain, takes " +
           kPlainTimeouts + ")";
  }
  return "";
}

void SetTimeout(TransactionTimes& times, const std::string& text, bool plain) {
  if (std::string why = TimeoutProblem(text, plain); !why.empty()) {
    throw std::invalid_argument("--timeout: " + why);
  }
  times.seconds = plain ? korShort : static_cast<int32_t>(*tools::ParseDecimal(text));
  times.ms = plain ? Millis(text) : 0;
}

TransactionTimes TimesFor(const Options& options) {
  TransactionTimes times;
  if (options.Has("timeout")) SetTimeout(times, options.Get("timeout"), options.Has("plain"));
  if (options.Has("deadline")) times.deadline_ms = Millis(options.Get("deadline"));
  return times;
}

void ApplyTimes(KORTransaction& t, const TransactionTimes& times) {
  t.RespTimeout(times.seconds);
  t.RespTimeoutMs(times.ms);
  t.DeadlineMs(times.deadline_ms);
}

std::string SecondsText(int64_t ms) {
  std::string text = std::to_string(ms / 1000);
  if (ms % 1000 == 0) return text;
  std::string fraction = std::to_string(1000 + ms % 1000).substr(1);
  while (fraction.back() == '0') fraction.pop_back();
  return text + "." + fraction;
}

std::string TimeoutText(const TransactionTimes& times) {
  return times.ms != 0 ? SecondsText(times.ms) : std::to_string(times.seconds);
}

std::string PlainLinkHelp() {
  return "A plain instrument is a serial or TCP device that is not the remote unit (a meter on a "
         "USB-serial adapter, a supply on a LAN socket such as port 5025): it sends no echo, no "
         "prompt and no greeting. --plain (profile key plain, shell :set PlainInstrument on) "
         "talks to one in mode 2 (serial) or 5 (tcp); the response is what arrives after the "
         "command up to --resp-term, and both terminators default to \\n. --timeout then takes "
         "decimal seconds from 0.001 to 86400 (0.25); the unit's modes keep 10, 30, 60, 120 or "
         "480. --deadline SECONDS bounds each whole transaction in every mode; past it the "
         "transaction fails with \"User canceled operation.\" naming its stage, and the tool "
         "exits with 5. --verify-echo off (profile key verify-echo or verify_echo) skips the "
         "unit's echo by its length. parley-sim --plain plays such an instrument.";
}

void ApplyPlainLink(KORInterface& iface, const Options& options) {
  if (options.Has("verify-echo")) {
    std::string word = options.Get("verify-echo");
    std::transform(word.begin(), word.end(), word.begin(), ::tolower);
    iface.VerifyEcho(word == "on" || word == "true");
  }
  if (!options.Has("plain")) return;
  int32_t mode = iface.commMode();
  if (mode != korCommModeCRLFDirect && mode != korCommModeEther) {
    throw std::invalid_argument(
        "--plain: a plain instrument is reached in mode 2 (serial) or 5 "
        "(TCP), not in mode " +
        std::to_string(mode));
  }
  iface.PlainInstrument(true);
  // Plain instruments end their lines with a line feed far more often than with the unit's
  // prompt, which they never send.
  if (!options.Has("cmd-term")) iface.CmdTerm("\n");
  if (!options.Has("resp-term")) iface.RespTerm("\n");
}

}  // namespace parley::cli
