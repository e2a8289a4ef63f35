#include "serial_cmd.hpp"

#include <unistd.h>

#include <algorithm>
#include <initializer_list>
#include <iostream>
#include <stdexcept>

#include "decimal.hpp"
#include "plain_link.hpp"
#include "script.hpp"
#include "trace_out.hpp"

namespace parley::cli {

int32_t ParityValue(const std::string& letter) {
  if (letter == "n" || letter == "N") return korParityNone;
  if (letter == "o" || letter == "O") return korParityOdd;
  if (letter == "e" || letter == "E") return korParityEven;
  throw std::invalid_argument("--line parity must be n, o or e, not '" + letter + "'");
}

namespace {

std::vector<std::string> LineFields(const std::string& line) {
  std::vector<std::string> fields(1);
  for (char c : line) {
    if (c == ',') {
      fields.emplace_back();
    } else {
      fields.back() += c;
    }
  }
  return fields;
}

bool OneOfNumbers(const std::string& text, std::initializer_list<int64_t> allowed) {
  auto value = tools::ParseDecimal(text);
  return value && std::find(allowed.begin(), allowed.end(), *value) != allowed.end();
}

std::string EscapeCheck(const std::string& text) { return tools::EscapeProblem(text); }

// Why a --line text is refused, or "": checked with the option, so a profile's line names its
// file and line, and nothing is opened with half a setting.
std::string LineProblem(const std::string& line) {
  auto f = LineFields(line);
  if (f.size() != 4) return "--line expects RATE,PARITY,DATA,STOP, not '" + line + "'";
  if (!OneOfNumbers(f[0], {1200, 2400, 4800, 9600, 19200, 38400, 115200})) {
    return "--line rate " + f[0] + " not in {1200,2400,4800,9600,19200,38400,115200}";
  }
  if (f[1].size() != 1 || std::string("noeNOE").find(f[1]) == std::string::npos) {
    return "--line parity must be n, o or e, not '" + f[1] + "'";
  }
  if (!OneOfNumbers(f[2], {7, 8})) return "--line data bits must be 7 or 8, not '" + f[2] + "'";
  if (!OneOfNumbers(f[3], {1, 2})) return "--line stop bits must be 1 or 2, not '" + f[3] + "'";
  return "";
}

// "9600,o,7,1" into the four line settings, then the single settings given on their own.
void ApplyLine(KORInterface& iface, const Options& options) {
  std::vector<std::string> fields = LineFields(options.Get("line", "9600,o,7,1"));
  if (fields.size() != 4) throw std::invalid_argument("--line expects RATE,PARITY,DATA,STOP");
  Options parts;
  parts.Set("bit-rate", options.Get("bit-rate", fields[0]));
  parts.Set("data-bits", options.Get("data-bits", fields[2]));
  parts.Set("stop-bits", options.Get("stop-bits", fields[3]));
  iface.BitRate(static_cast<int32_t>(parts.GetInt("bit-rate", 0)));
  iface.Parity(ParityValue(options.Get("parity", fields[1])));
  iface.DataBits(static_cast<int32_t>(parts.GetInt("data-bits", 0)));
  iface.StopBits(static_cast<int32_t>(parts.GetInt("stop-bits", 0)));
}

}  // namespace

void DefineOutputOptions(OptionSet& o) {
  DefineTraceOptions(o);
  o.Flag("--quiet,-q", "no progress line on the terminal");
  o.Flag("--raw", "print responses as received, without showing control characters as escapes");
}

void DefineTimeoutOption(OptionSet& o) {
  o.OneOf("--timeout,--RespTimeout", "SECONDS", {10, 30, 60, 120, 480},
          "response timeout of each transaction, seconds", "10");
}

void DefineTerminatorOptions(OptionSet& o) {
  o.Checked("--cmd-term,--CmdTerm", "TEXT",
            "terminator sent after each command; escapes \\r \\n \\t \\\\ \\xNN", EscapeCheck,
            "\\r\\n");
  o.Checked("--resp-term,--RespTerm", "TEXT", "terminator that ends a response; escapes as above",
            EscapeCheck, "\\r\\n>");
  o.Flag("--remove-extra-char,--RemoveExtraChar", "strip CR and LF from the end of each response");
}

void DefinePortMapOption(OptionSet& o) {
  o.Repeated("--port-map", "N=DEVICE",
             "port number N (1 to 16) opens DEVICE in this run instead of /dev/ttyS{N-1}");
}

void DefineSerialLinkOptions(OptionSet& o) {
  o.Text("--device", "PATH",
         "serial device, e.g. /dev/ttyUSB0 (required unless --comm-port or --port-map)");
  o.Whole("--comm-port,--CommPort", "N", kFirstSerialPort, kLastSerialPort,
          "port number to open: /dev/ttyS{N-1}, the --port-map entry, or --device", "1");
  DefinePortMapOption(o);
  DefineLineOptions(o);
}

void DefineLineOptions(OptionSet& o) {
  o.Checked("--line", "RATE,PARITY,DATA,STOP",
            "line settings in one: bit/s, n|o|e, 7|8 data bits, 1|2 stop bits", LineProblem,
            "9600,o,7,1");
  o.OneOf("--bit-rate,--BitRate", "BIT/S", {1200, 2400, 4800, 9600, 19200, 38400, 115200},
          "line speed, bit/s (over --line; modes 1 and 4 up to 19200)", "9600");
  o.Choice("--parity,--Parity", {"n", "o", "e"}, "parity: none, odd, even (over --line)", "o");
  o.OneOf("--data-bits,--DataBits", "BITS", {7, 8}, "data bits (over --line)", "7");
  o.OneOf("--stop-bits,--StopBits", "BITS", {1, 2}, "stop bits (over --line)", "1");
}

void DefineForwardingOptions(OptionSet& o, bool with_address) {
  if (with_address) {
    o.Whole("--gpib-address,--address,--GPIBAddress", "N", 1, 30,
            "GPIB address of the instrument behind the unit (modes 1 and 4)", "1");
  }
  o.Whole("--dto,--DTO", "SECONDS", 0, 32767,
          "device timeout the unit applies to the instrument (modes 1 and 4)", "5");
  o.Choice("--itc,--ITC", {"eoi", "cr", "lf", "crlf"},
           "how the instrument ends its answers (modes 1 and 4)", "eoi");
  o.Whole("--idle-mask,--IdleSPoll", "BITS", 0, 255, "status-byte bits that mean idle (mode 4)",
          "2");
  o.Whole("--mav-mask,--MAVSPoll", "BITS", 0, 255,
          "status-byte bits that mean a message is available (mode 4)", "4");
}

void DefineSerialCommand(OptionSet& o) {
  DefineSerialLinkOptions(o);
  o.OneOf("--mode,--commMode", "MODE", {2, 1, 4},
          "2: the remote unit itself (or with --plain a plain instrument); 1, 4: a GPIB "
          "instrument behind the unit",
          "2");
  DefinePlainLinkOptions(o);
  DefineLinkTimeoutOption(o);
  DefineDeadlineOption(o);
  DefineTerminatorOptions(o);
  DefineForwardingOptions(o, true);
  o.Flag("--no-response", "send only, expect and print no response");
  DefineOutputOptions(o);
  DefineScriptOptions(o);
  o.Words("COMMAND",
          "commands to send, in order ('-': read them from standard input); escapes "
          "\\r \\n \\xNN");
}

void ApplyTerminators(KORInterface& iface, const Options& options) {
  if (options.Has("cmd-term")) iface.CmdTerm(DecodeEscapes(options.Get("cmd-term")));
  if (options.Has("resp-term")) iface.RespTerm(DecodeEscapes(options.Get("resp-term")));
  iface.RemoveExtraChar(options.Has("remove-extra-char"));
}

void ApplyPortMap(const Options& options) {
  for (const auto& entry : options.GetAll("port-map")) {
    auto eq = entry.find('=');
    std::string number = entry.substr(0, eq);
    bool digits = !number.empty() && number.size() <= 2 &&
                  number.find_first_not_of("0123456789") == std::string::npos;
    int port = digits ? std::stoi(number) : 0;
    if (eq == std::string::npos || eq + 1 == entry.size() || port < kFirstSerialPort ||
        port > kLastSerialPort) {
      throw std::invalid_argument("--port-map expects N=DEVICE with N from 1 to 16, not '" + entry +
                                  "'");
    }
    MapSerialPort(port, entry.substr(eq + 1));
  }
}

void ApplyLineSettings(KORInterface& iface, const Options& options) { ApplyLine(iface, options); }

void ConfigureSerialLink(KORInterface& iface, const Options& options) {
  ApplyPortMap(options);
  auto port = static_cast<int32_t>(options.GetInt("comm-port", kCliSerialPort));
  if (options.Has("device")) {
    if (options.Get("device").empty()) throw std::invalid_argument("--device needs a PATH");
    MapSerialPort(port, options.Get("device"));
  } else if (!options.Has("comm-port") && !options.Has("port-map")) {
    throw std::invalid_argument("--device PATH is required (or --comm-port N)");
  }
  std::string device = SerialDevicePath(port);
  // The library would wait 15 s for a port that may yet appear; from a shell a missing device
  // is more likely a typing mistake, so say so at once.
  if (access(device.c_str(), F_OK) != 0) {
    throw LinkMissing(device + ": no such device (unplugged, or a typing mistake?)");
  }
  iface.CommPort(port);
  iface.commMode(static_cast<int32_t>(options.GetInt("mode", korCommModeCRLFDirect)));
  ApplyLine(iface, options);
  ApplyTerminators(iface, options);
  if (iface.commMode() == korCommModeCRLFtoGPIB || iface.commMode() == korCommModeGPIBInOut) {
    ApplyForwardingSettings(iface, options);
  }
  ApplyPlainLink(iface, options);
}

std::string SerialHint(int32_t number) {
  switch (number) {
    case err::NoResponseFromRemoteUnit:
      return "nothing came back: is the unit switched on and cabled to this device, and do the "
             "line settings (--line) match it?";
    case err::ResponseTerminatorTimeout:
      return "the echo came but no response terminator: check --resp-term and --timeout";
    case err::GpibForwardingUnavailable:
      return "the unit answered but has no GPIB forwarding: is --mode right for this unit?";
    case err::CommPortLocked:
      return "the device is locked for every program: `parleyctl ports` shows by whom, "
             "`parleyctl ports unlock N` ends the lock";
    case err::CouldNotGetCommPort:
      return "the device could not be opened: does it exist, may this user open it, or is "
             "another program on the port?";
    default:
      return "";
  }
}

KORTransaction TextTransaction(const std::string& command, int32_t timeout, bool expect) {
  KORTransaction t;
  t.cmd(DecodeEscapes(command));
  t.RespTimeout(timeout);
  t.RespExpect(expect);
  return t;
}

int RunSerial(const Options& options) {
  TransactionTimes times = TimesFor(options);
  KORInterface iface;
  ConfigureSerialLink(iface, options);
  bool expect = !options.Has("no-response");
  TransactionBatch batch;
  batch.make = [times, expect](const std::string& command) {
    KORTransaction t = TextTransaction(command, times.seconds, expect);
    ApplyTimes(t, times);
    return t;
  };
  bool raw = options.Has("raw");
  batch.show = [raw](const KORTransaction& t) { return raw ? t.resp() : Visible(t.resp()); };
  batch.hint = SerialHint;
  return RunTransactions(iface, options, std::move(batch));
}

}  // namespace parley::cli
