// Reading, writing and applying one-string instrument addresses.
#include "parley/address.hpp"

#include <cctype>
#include <cstdio>
#include <optional>

#include "parley/errors.hpp"

namespace parley {
namespace {

constexpr int32_t kMaxCommPort = 16;       // the CommPort numbers the library validates
constexpr int32_t kMaxGpibAddress = 30;    // primary addresses
constexpr int32_t kMaxSocketPort = 65535;  // a plain instrument's TCP port
constexpr int32_t kUsableBoard = 0;        // the library opens board 0 only

// Shown inside a message: a NUL or a line break must not cut or split it.
std::string Printable(std::string_view text) {
  std::string out;
  for (unsigned char c : text) {
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    }
  }
  return out;
}

// A cursor over the address; every refusal names where it stopped.
class Reader {
 public:
  explicit Reader(std::string_view text) : text_(text) {}

  [[noreturn]] void FailAt(std::size_t at, const std::string& what) const {
    throw AutomationError(err::InvalidCall, "ParseAddress",
                          "Invalid procedure call or argument: address \"" + Printable(text_) +
                              "\", position " + std::to_string(at + 1) + ": " + what);
  }
  [[noreturn]] void Expected(const std::string& what) const { FailAt(pos_, "expected " + what); }

  std::size_t pos() const { return pos_; }
  bool AtEnd() const { return pos_ >= text_.size(); }
  bool AtSeparator() const { return text_.substr(pos_, 2) == "::"; }

  // Consumes `keyword` (upper case) when the text goes on with it in any letter case.
  bool Take(std::string_view keyword) {
    if (text_.size() - pos_ < keyword.size()) return false;
    for (std::size_t i = 0; i < keyword.size(); ++i) {
      if (std::toupper(static_cast<unsigned char>(text_[pos_ + i])) != keyword[i]) return false;
    }
    pos_ += keyword.size();
    return true;
  }
  void Separator(const std::string& after) {
    if (!AtSeparator()) Expected("\"::\" after " + after);
    pos_ += 2;
  }
  void End(const std::string& after) {
    if (AtEnd()) return;
    if (AtSeparator()) FailAt(pos_, "an extra \"::\" field after " + after);
    Expected("the end of the address after " + after);
  }

  // Digits from here; nothing when there are none. A value past `high` stays past it.
  std::optional<int64_t> Digits() {
    if (AtEnd() || !std::isdigit(static_cast<unsigned char>(text_[pos_]))) return std::nullopt;
    int64_t value = 0;
    while (!AtEnd() && std::isdigit(static_cast<unsigned char>(text_[pos_]))) {
      if (value < 1'000'000'000) value = value * 10 + (text_[pos_] - '0');
      ++pos_;
    }
    return value;
  }
  int32_t Number(const std::string& what, int64_t low, int64_t high) {
    std::size_t at = pos_;
    auto value = Digits();
    if (!value) Expected(what);
    if (*value < low || *value > high) {
      FailAt(at, what + " " + std::string(text_.substr(at, pos_ - at)) + " is out of range (" +
                     std::to_string(low) + ".." + std::to_string(high) + ")");
    }
    return static_cast<int32_t>(*value);
  }
  // An optional board number right after a keyword; only the usable board is accepted.
  int32_t Board(const std::string& keyword) {
    std::size_t at = pos_;
    auto board = Digits();
    if (!board) return kUsableBoard;
    if (*board != kUsableBoard) {
      FailAt(at, keyword + " board " + std::string(text_.substr(at, pos_ - at)) +
                     " does not exist (only board 0)");
    }
    return kUsableBoard;
  }
  // The text up to the next "::" or the end.
  std::string_view Field() {
    std::size_t end = text_.find("::", pos_);
    if (end == std::string_view::npos) end = text_.size();
    std::string_view field = text_.substr(pos_, end - pos_);
    pos_ = end;
    return field;
  }
  // A host name, or a bracketed address that may hold "::".
  std::string Host() {
    std::size_t at = pos_;
    std::string_view host;
    if (!AtEnd() && text_[pos_] == '[') {
      std::size_t close = text_.find(']', pos_);
      if (close == std::string_view::npos) FailAt(at, "expected \"]\" to end the host");
      host = text_.substr(pos_ + 1, close - pos_ - 1);
      pos_ = close + 1;
    } else {
      host = Field();
    }
    if (host.empty()) FailAt(at, "expected a host name or address");
    RefuseNul(host, at, "a host");
    return std::string(host);
  }
  void RefuseNul(std::string_view field, std::size_t at, const std::string& what) const {
    std::size_t nul = field.find('\0');
    if (nul != std::string_view::npos) FailAt(at + nul, what + " may not hold a NUL byte");
  }

 private:
  std::string_view text_;
  std::size_t pos_ = 0;
};

// After "ASRL": a port number or a device path.
void SerialDevice(Reader& r, Address& a) {
  std::size_t at = r.pos();
  if (r.AtEnd() || r.AtSeparator()) r.Expected("a port number or a device path after ASRL");
  if (auto peek = r.Digits()) {
    if (*peek < 1 || *peek > kMaxCommPort) {
      r.FailAt(at, "serial port number out of range (1.." + std::to_string(kMaxCommPort) + ")");
    }
    a.comm_port = static_cast<int32_t>(*peek);
    if (!r.AtEnd() && !r.AtSeparator()) r.Expected("\"::\" after the port number");
    return;
  }
  std::string_view path = r.Field();
  if (path.front() != '/') r.FailAt(at, "expected a port number or a device path (\"/dev/...\")");
  r.RefuseNul(path, at, "a device path");
  a.device_path = std::string(path);
}

void TcpEndpoint(Reader& r, Address& a, int32_t highest_port) {
  a.mode = korCommModeEther;
  a.host = r.Host();
  r.Separator("the host");
  a.tcp_port = r.Number("a TCP port number", 1, highest_port);
}

// After "UNIT::".
void UnitAddress(Reader& r, Address& a) {
  if (r.Take("TCPIP")) {
    r.Board("TCPIP");
    r.Separator("TCPIP");
    TcpEndpoint(r, a, WnskMaxRemotePortNumber);  // the unit's protocol takes no more
    r.Separator("the port number");
    if (!r.Take("INSTR")) r.Expected("INSTR");
    r.End("INSTR");
    return;
  }
  if (!r.Take("ASRL")) r.Expected("ASRL or TCPIP after UNIT::");
  SerialDevice(r, a);
  r.Separator("the serial device");
  if (r.Take("INSTR")) {
    a.mode = korCommModeCRLFDirect;
    r.End("INSTR");
    return;
  }
  if (!r.Take("GPIB")) r.Expected("INSTR or GPIB");
  a.gpib_board = r.Board("GPIB");
  r.Separator("GPIB");
  a.gpib_address = r.Number("a GPIB primary address", 0, kMaxGpibAddress);
  r.Separator("the GPIB address");
  if (r.Take("INSTR")) {
    a.mode = korCommModeCRLFtoGPIB;
    r.End("INSTR");
  } else if (r.Take("INOUT")) {
    a.mode = korCommModeGPIBInOut;
    r.End("INOUT");
  } else {
    r.Expected("INSTR or INOUT");
  }
}

std::string SerialText(const Address& a) {
  return "ASRL" + (a.device_path.empty() ? std::to_string(a.comm_port) : a.device_path);
}

std::string HostText(const std::string& host) {
  bool plain = host.find("::") == std::string::npos && host.front() != '[';
  return plain ? host : "[" + host + "]";
}

}  // namespace

Address ParseAddress(std::string_view text) {
  Reader r(text);
  Address a;
  if (r.AtEnd()) r.Expected("an address (ASRL, TCPIP, GPIB or UNIT)");
  if (r.Take("UNIT")) {
    r.Separator("UNIT");
    UnitAddress(r, a);
    return a;
  }
  a.plain_instrument = true;
  if (r.Take("ASRL")) {
    a.mode = korCommModeCRLFDirect;
    SerialDevice(r, a);
    r.Separator("the serial device");
    if (!r.Take("INSTR")) r.Expected("INSTR");
    r.End("INSTR");
  } else if (r.Take("TCPIP")) {
    r.Board("TCPIP");
    r.Separator("TCPIP");
    TcpEndpoint(r, a, kMaxSocketPort);
    r.Separator("the port number");
    if (!r.Take("SOCKET")) r.Expected("SOCKET");
    r.End("SOCKET");
  } else if (r.Take("GPIB")) {
    a.mode = korCommModeGPIBDirect;
    a.plain_instrument = false;  // GPIB has no unit protocol to leave out
    a.gpib_board = r.Board("GPIB");
    r.Separator("GPIB");
    a.gpib_address = r.Number("a GPIB primary address", 0, kMaxGpibAddress);
    r.Separator("the GPIB address");
    if (!r.Take("INSTR")) r.Expected("INSTR");
    r.End("INSTR");
  } else {
    r.Expected("ASRL, TCPIP, GPIB or UNIT");
  }
  return a;
}

std::string FormatAddress(const Address& a) {
  std::string port = std::to_string(a.tcp_port);
  std::string gpib = std::to_string(a.gpib_address);
  if (a.mode == korCommModeGPIBDirect)
    return "GPIB" + std::to_string(a.gpib_board) + "::" + gpib + "::INSTR";
  if (a.mode == korCommModeEther) {
    if (a.plain_instrument) return "TCPIP0::" + HostText(a.host) + "::" + port + "::SOCKET";
    return "UNIT::TCPIP::" + HostText(a.host) + "::" + port + "::INSTR";
  }
  if (a.plain_instrument) return SerialText(a) + "::INSTR";
  if (a.mode == korCommModeCRLFtoGPIB)
    return "UNIT::" + SerialText(a) + "::GPIB::" + gpib + "::INSTR";
  if (a.mode == korCommModeGPIBInOut)
    return "UNIT::" + SerialText(a) + "::GPIB::" + gpib + "::INOUT";
  return "UNIT::" + SerialText(a) + "::INSTR";
}

void ApplyAddress(KORInterface& iface, const Address& a) {
  // Most settings are ignored while open: applying half an address would be worse than none.
  if (iface.IsPortOpen()) {
    throw AutomationError(err::InvalidCall, "ApplyAddress",
                          "Invalid procedure call or argument: close the port before applying "
                          "an address.");
  }
  iface.commMode(a.mode);
  iface.PlainInstrument(a.plain_instrument);
  if (a.plain_instrument) {
    iface.CmdTerm("\n");
    iface.RespTerm("\n");
  }
  iface.DevicePath(a.device_path);
  if (a.comm_port > 0) iface.CommPort(a.comm_port);
  if (a.gpib_address >= 0) iface.GPIBAddress(a.gpib_address);
  if (a.mode == korCommModeEther) {
    iface.RemoteHostIpAddress(a.host);
    iface.RemotePortNumber(std::to_string(a.tcp_port));
  }
}

std::unique_ptr<KORInterface> Open(std::string_view address) {
  Address parsed = ParseAddress(address);
  auto iface = std::make_unique<KORInterface>();
  ApplyAddress(*iface, parsed);
  iface->openPort();
  return iface;
}

}  // namespace parley
