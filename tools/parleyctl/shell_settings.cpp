#include "shell_settings.hpp"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <limits>
#include <stdexcept>

#include "decimal.hpp"
#include "serial_cmd.hpp"

namespace parley::cli {
namespace {

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

int64_t Whole(const std::string& name, const std::string& text, int64_t low, int64_t high) {
  auto parsed = tools::ParseDecimal(text);
  if (!parsed) throw std::invalid_argument(name + " expects a whole number, not '" + text + "'");
  int64_t value = *parsed;
  if (value < low || value > high) {
    throw std::invalid_argument(name + " expects " + std::to_string(low) + " to " +
                                std::to_string(high) + ", not " + text);
  }
  return value;
}

int32_t Whole32(const std::string& name, const std::string& text) {
  return static_cast<int32_t>(
      Whole(name, text, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()));
}

int16_t Whole16(const std::string& name, const std::string& text) {
  return static_cast<int16_t>(
      Whole(name, text, std::numeric_limits<int16_t>::min(), std::numeric_limits<int16_t>::max()));
}

bool Switch(const std::string& name, const std::string& text) {
  const std::string word = Lower(text);
  if (word == "1" || word == "true" || word == "on" || word == "yes") return true;
  if (word == "0" || word == "false" || word == "off" || word == "no") return false;
  throw std::invalid_argument(name + " expects on or off (true/false, 1/0), not '" + text + "'");
}

std::string SwitchText(bool on) { return on ? "true" : "false"; }

// A value the library names with a letter or word, or its number.
int32_t Named(const std::string& name, const std::string& text,
              int32_t (*from_word)(const std::string&)) {
  if (!text.empty() && std::isdigit(static_cast<unsigned char>(text[0])))
    return Whole32(name, text);
  return from_word(text);
}

std::string ParityText(int32_t value) {
  switch (value) {
    case korParityNone:
      return "n";
    case korParityOdd:
      return "o";
    case korParityEven:
      return "e";
    default:
      return std::to_string(value);
  }
}

std::string TerminationText(int32_t value) {
  switch (value) {
    case korITC_EOI:
      return "eoi";
    case korITC_CR:
      return "cr";
    case korITC_LF:
      return "lf";
    case korITC_CRLF:
      return "crlf";
    default:
      return std::to_string(value);
  }
}

}  // namespace

SettingTable::SettingTable(KORInterface& iface, TransactionSettings& transaction, Check check)
    : iface_(iface), transaction_(transaction), check_(std::move(check)) {
  Define();
}

void SettingTable::Add(std::string name, std::string alias, bool reopen,
                       std::function<std::string()> get,
                       std::function<void(const std::string&)> set) {
  settings_.push_back({std::move(name), std::move(alias), reopen, std::move(get), std::move(set)});
}

// The interface's settings in the order of its header, then the shell's own.
void SettingTable::Define() {
  KORInterface& i = iface_;
  auto whole32 = [this](const char* name, const char* alias, bool reopen,
                        int32_t (KORInterface::*get)() const, void (KORInterface::*set)(int32_t)) {
    Add(
        name, alias, reopen, [this, get] { return std::to_string((iface_.*get)()); },
        [this, name, set](const std::string& v) { (iface_.*set)(Whole32(name, v)); });
  };
  auto whole16 = [this](const char* name, const char* alias, bool reopen,
                        int16_t (KORInterface::*get)() const, void (KORInterface::*set)(int16_t)) {
    Add(
        name, alias, reopen, [this, get] { return std::to_string((iface_.*get)()); },
        [this, name, set](const std::string& v) { (iface_.*set)(Whole16(name, v)); });
  };
  auto text = [this](const char* name, const char* alias, bool reopen,
                     std::string (KORInterface::*get)() const,
                     void (KORInterface::*set)(std::string)) {
    Add(
        name, alias, reopen, [this, get] { return Visible((iface_.*get)()); },
        [this, set](const std::string& v) { (iface_.*set)(DecodeEscapes(v)); });
  };
  auto on_off = [this](const char* name, const char* alias, bool (KORInterface::*get)() const,
                       void (KORInterface::*set)(bool)) {
    Add(
        name, alias, false, [this, get] { return SwitchText((iface_.*get)()); },
        [this, name, set](const std::string& v) { (iface_.*set)(Switch(name, v)); });
  };
  whole32("commMode", "mode", true, &KORInterface::commMode, &KORInterface::commMode);
  whole32("CommPort", "comm-port", true, &KORInterface::CommPort, &KORInterface::CommPort);
  Add(
      "device", "device", true, [&i] { return SerialDevicePath(i.CommPort()); },
      [&i](const std::string& path) {
        if (access(path.c_str(), F_OK) != 0) throw std::invalid_argument(path + ": no such device");
        MapSerialPort(i.CommPort(), path);  // the port number the interface opens
      });
  whole32("BitRate", "bit-rate", true, &KORInterface::BitRate, &KORInterface::BitRate);
  Add(
      "Parity", "", true, [&i] { return ParityText(i.Parity()); },
      [&i](const std::string& v) { i.Parity(Named("Parity", v, ParityValue)); });
  whole32("DataBits", "data-bits", true, &KORInterface::DataBits, &KORInterface::DataBits);
  whole32("StopBits", "stop-bits", true, &KORInterface::StopBits, &KORInterface::StopBits);
  Add(
      "GPIBAddress", "gpib-address", true, [&i] { return std::to_string(i.GPIBAddress()); },
      [&i](const std::string& v) { i.GPIBAddress(Whole32("GPIBAddress", v)); });
  Add(
      "ITC", "", true, [&i] { return TerminationText(i.ITC()); },
      [&i](const std::string& v) { i.ITC(Named("ITC", v, TerminationValue)); });
  whole16("DTO", "dto", true, &KORInterface::DTO, &KORInterface::DTO);
  whole16("IdleSPoll", "idle-mask", true, &KORInterface::IdleSPoll, &KORInterface::IdleSPoll);
  whole16("MAVSPoll", "mav-mask", true, &KORInterface::MAVSPoll, &KORInterface::MAVSPoll);
  text("CmdTerm", "cmd-term", true, &KORInterface::CmdTerm, &KORInterface::CmdTerm);
  text("RespTerm", "resp-term", true, &KORInterface::RespTerm, &KORInterface::RespTerm);
  on_off("UseSRQ", "srq", &KORInterface::UseSRQ, &KORInterface::UseSRQ);
  on_off("EABOExpected", "eabo", &KORInterface::EABOExpected, &KORInterface::EABOExpected);
  on_off("SkipIBClr", "", &KORInterface::SkipIBClr, &KORInterface::SkipIBClr);
  whole16("GPIBDirectMaxRespLength", "max-length", false, &KORInterface::GPIBDirectMaxRespLength,
          &KORInterface::GPIBDirectMaxRespLength);
  on_off("RemoveExtraChar", "remove-extra-char", &KORInterface::RemoveExtraChar,
         &KORInterface::RemoveExtraChar);
  on_off("VerifyEcho", "", &KORInterface::VerifyEcho, &KORInterface::VerifyEcho);
  // Taken only while the port is closed, as the other settings of the link.
  Add(
      "PlainInstrument", "plain", true, [&i] { return SwitchText(i.PlainInstrument()); },
      [&i](const std::string& v) { i.PlainInstrument(Switch("PlainInstrument", v)); });
  on_off("DelayGPIBTrans", "", &KORInterface::DelayGPIBTrans, &KORInterface::DelayGPIBTrans);
  on_off("WaitForMAVbitClear", "", &KORInterface::WaitForMAVbitClear,
         &KORInterface::WaitForMAVbitClear);
  Add(
      "TimeDelayForMAVbit", "", false, [] { return std::string("(not readable)"); },
      [&i](const std::string& v) {
        std::size_t used = 0;
        double seconds = 0;
        try {
          seconds = std::stod(v, &used);
        } catch (const std::exception&) {
          used = 0;
        }
        if (used == 0 || used != v.size()) {
          throw std::invalid_argument("TimeDelayForMAVbit expects seconds, not '" + v + "'");
        }
        i.TimeDelayForMAVbit(seconds);
      });
  // The next transaction connects anew, so a changed host or port takes effect at once.
  text("RemoteHostIpAddress", "host", true, &KORInterface::RemoteHostIpAddress,
       &KORInterface::RemoteHostIpAddress);
  Add(
      "RemotePortNumber", "port", true, [&i] { return i.RemotePortNumber(); },
      [&i](const std::string& v) { i.RemotePortNumber(v); });
  on_off("RaiseEtherPortResetErr", "", &KORInterface::RaiseEtherPortResetErr,
         &KORInterface::RaiseEtherPortResetErr);
  Add(
      "DebugBuffSize", "", false, [&i] { return std::to_string(i.DebugBuffSizeGet()); },
      [&i](const std::string& v) { i.DebugBuffSizeSet(Whole32("DebugBuffSize", v)); });
  // Checked for the link as it is now: decimal seconds once PlainInstrument is on.
  Add(
      "RespTimeout", "timeout", false, [this] { return TimeoutText(transaction_.times); },
      [this](const std::string& v) {
        SetTimeout(transaction_.times, v, iface_.PlainInstrument());
      });
  Add(
      "Deadline", "deadline", false, [this] { return SecondsText(transaction_.times.deadline_ms); },
      [this](const std::string& v) {
        transaction_.times.deadline_ms = static_cast<int32_t>(*tools::ParseDecimalMillis(v));
      });
  Add(
      "RespExpect", "", false, [this] { return SwitchText(transaction_.expect); },
      [this](const std::string& v) { transaction_.expect = Switch("RespExpect", v); });
}

const SettingTable::Setting& SettingTable::Find(const std::string& name) const {
  const std::string wanted = Lower(name);
  for (const auto& s : settings_) {
    if (Lower(s.name) == wanted || (!s.alias.empty() && s.alias == wanted)) return s;
  }
  throw std::invalid_argument("no setting '" + name + "' (:help lists them)");
}

void SettingTable::Set(const std::string& name, const std::string& value) {
  const Setting& s = Find(name);
  if (!s.alias.empty()) {
    if (std::string why = check_(s.alias, value); !why.empty()) {
      throw std::invalid_argument(s.name + ": " + why);
    }
  }
  const bool reopen = s.reopen && iface_.IsPortOpen();
  if (reopen) iface_.closePort();
  try {
    s.set(value);
  } catch (...) {
    if (reopen) iface_.openPort();
    throw;
  }
  if (reopen) iface_.openPort();
}

std::string SettingTable::Get(const std::string& name) const {
  const Setting& s = Find(name);
  return s.name + " = " + s.get();
}

std::string SettingTable::All() const {
  std::string out;
  for (const auto& s : settings_) out += s.name + " = " + s.get() + "\n";
  return out;
}

std::vector<std::string> SettingTable::Names() const {
  std::vector<std::string> names;
  for (const auto& s : settings_) {
    names.push_back(s.alias.empty() ? s.name : s.name + " (" + s.alias + ")");
  }
  return names;
}

}  // namespace parley::cli
