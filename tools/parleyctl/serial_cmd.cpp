#include "serial_cmd.hpp"

#include <unistd.h>

#include <iostream>
#include <stdexcept>

namespace parley::cli {
namespace {

int32_t ParityValue(const std::string& letter) {
  if (letter == "n" || letter == "N") return korParityNone;
  if (letter == "o" || letter == "O") return korParityOdd;
  if (letter == "e" || letter == "E") return korParityEven;
  throw std::invalid_argument("--line parity must be n, o or e, not '" + letter + "'");
}

long Whole(const std::string& text, const std::string& what) {
  std::size_t used = 0;
  long value = 0;
  try {
    value = std::stol(text, &used);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used == 0 || used != text.size()) {
    throw std::invalid_argument(what + " expects a whole number, not '" + text + "'");
  }
  return value;
}

// "9600,o,7,1" into the four line settings; the library checks the values themselves.
void ApplyLine(KORInterface& iface, const std::string& line) {
  std::vector<std::string> fields(1);
  for (char c : line) {
    if (c == ',') {
      fields.emplace_back();
    } else {
      fields.back() += c;
    }
  }
  if (fields.size() != 4) throw std::invalid_argument("--line expects RATE,PARITY,DATA,STOP");
  iface.BitRate(static_cast<int32_t>(Whole(fields[0], "--line rate")));
  iface.Parity(ParityValue(fields[1]));
  iface.DataBits(static_cast<int32_t>(Whole(fields[2], "--line data bits")));
  iface.StopBits(static_cast<int32_t>(Whole(fields[3], "--line stop bits")));
}

}  // namespace

std::string DecodeEscapes(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out += text[i];
      continue;
    }
    char c = text[++i];
    if (c == 'r') {
      out += '\r';
    } else if (c == 'n') {
      out += '\n';
    } else if (c == 't') {
      out += '\t';
    } else if (c == 'x' && i + 2 < text.size() && HexDigit(text[i + 1]) >= 0 &&
               HexDigit(text[i + 2]) >= 0) {
      out += static_cast<char>(HexDigit(text[i + 1]) * 16 + HexDigit(text[i + 2]));
      i += 2;
    } else {
      out += c;  // "\\" and any other escaped character stand for themselves
    }
  }
  return out;
}

void ApplyTerminators(KORInterface& iface, const Options& options) {
  if (options.Has("cmd-term")) iface.CmdTerm(DecodeEscapes(options.Get("cmd-term")));
  if (options.Has("resp-term")) iface.RespTerm(DecodeEscapes(options.Get("resp-term")));
  iface.RemoveExtraChar(options.Has("remove-extra-char"));
}

void ConfigureSerialLink(KORInterface& iface, const Options& options) {
  std::string device = options.Get("device");
  if (device.empty()) throw std::invalid_argument("--device PATH is required");
  // The library would wait 15 s for a port that may yet appear; from a shell a missing device
  // is more likely a typing mistake, so say so at once.
  if (access(device.c_str(), F_OK) != 0) {
    throw std::runtime_error(device + ": no such device (unplugged, or a typing mistake?)");
  }
  MapSerialPort(kCliSerialPort, device);
  iface.CommPort(kCliSerialPort);
  iface.commMode(static_cast<int32_t>(options.GetInt("mode", korCommModeCRLFDirect)));
  ApplyLine(iface, options.Get("line", "9600,o,7,1"));
  ApplyTerminators(iface, options);
  if (iface.commMode() == korCommModeCRLFtoGPIB || iface.commMode() == korCommModeGPIBInOut) {
    ApplyForwardingSettings(iface, options);
  }
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
    case err::CouldNotGetCommPort:
      return "the device could not be opened: does it exist, may this user open it, or is "
             "another program on the port?";
    default:
      return "";
  }
}

int RunSerial(const Options& options) {
  KORInterface iface;
  ConfigureSerialLink(iface, options);
  auto timeout = static_cast<int32_t>(options.GetInt("timeout", korShort));
  if (options.Positional().empty()) throw std::invalid_argument("give at least one COMMAND");
  TransactionBatch batch;
  for (const auto& command : options.Positional()) {
    KORTransaction t;
    t.cmd(DecodeEscapes(command));
    t.RespTimeout(timeout);
    t.RespExpect(!options.Has("no-response"));
    batch.transactions.push_back(t);
  }
  bool raw = options.Has("raw");
  batch.show = [raw](const KORTransaction& t) { return raw ? t.resp() : Visible(t.resp()); };
  batch.hint = SerialHint;
  return RunTransactions(iface, options, std::move(batch));
}

}  // namespace parley::cli
