// Mode-2 transactions on the virtual clock against a line that sends whatever the input says:
// any CmdTerm and RespTerm, with or without the echo check, the bytes cut into any chunks at
// any times, line errors between them, up to four transactions on one opening.
//
// Input: a flags byte (bit 0: VerifyEcho off, bit 1: RemoveExtraChar, bit 2: a 30 s instead
// of a 10 s RespTimeout), the CmdTerm and RespTerm texts, the first command, then pieces: a
// header byte and a text each. The header's low six bits are the gap before the piece in
// 100 ms; its top two bits say what the piece is: 0 bytes sent in the current attempt, 1 bytes
// that begin the next attempt (what the line sends after the next write of the command), 2 a
// line error (its first byte chooses which), 3 the command of the next transaction.
//
// Checked: a transaction that succeeds returns exactly what a plain search of the bytes taken
// since its command was written finds (after the exact echo, or after as many bytes as the
// echo has, up to the first RespTerm), so it never returns bytes from before its own echo; one
// that fails raises a timeout, a line error or the empty-command refusal; no transaction takes
// longer on the virtual clock than its retries and timeout allow, and none leaves the
// interface busy.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "fuzz_input.hpp"
#include "host/serial_line.hpp"
#include "host/serial_port.hpp"
#include "model/strip_crlf.hpp"
#include "parley/connection.hpp"
#include "parley/errors.hpp"
#include "parley/interface.hpp"
#include "support/virtual_host.hpp"

namespace {

using parley::detail::Host;
using parley::detail::Micros;
using parley::fuzz::Check;

struct Piece {
  Micros gap{0};
  std::string bytes;
  int16_t line_error = 0;
};
using Attempt = std::vector<Piece>;
struct Exchange {
  std::string cmd;
  std::vector<Attempt> attempts;  // what the line sends after each write of the command
};

class ScriptedPort;

// The far end of the line: plays the current exchange's attempts, one per write, and keeps
// what the engine took since the last write.
class Line : public std::enable_shared_from_this<Line> {
 public:
  explicit Line(Host& host) : host_(host) {}

  void Begin(const Exchange& exchange) {
    exchange_ = &exchange;
    next_attempt_ = 0;
  }
  void Written() {
    taken.clear();
    if (!exchange_ || next_attempt_ >= exchange_->attempts.size()) return;
    Micros at{0};
    for (const Piece& piece : exchange_->attempts[next_attempt_]) {
      at += piece.gap;
      host_.StartTimer(at, [self = shared_from_this(), piece] { self->Deliver(piece); });
    }
    ++next_attempt_;
  }
  void Deliver(const Piece& piece);

  std::string taken;
  ScriptedPort* port = nullptr;  // the open port, if any

 private:
  Host& host_;
  const Exchange* exchange_ = nullptr;
  std::size_t next_attempt_ = 0;
};

class ScriptedPort : public parley::detail::SerialPort {
 public:
  explicit ScriptedPort(std::shared_ptr<Line> line) : line_(std::move(line)) {}
  ~ScriptedPort() override {
    if (line_->port == this) line_->port = nullptr;
  }

  int16_t CommPort() const override { return comm_port_; }
  void CommPort(int16_t port) override { comm_port_ = port; }
  std::string DevicePath() const override { return device_path_; }
  void DevicePath(const std::string& path) override { device_path_ = path; }
  std::string Settings() const override { return settings_; }
  void Settings(const std::string& text) override {
    if (!parley::detail::ParseLineSettings(text)) {
      throw parley::AutomationError(parley::err::InvalidPropertyValue, "SerialPort", "settings");
    }
    settings_ = text;
  }
  bool PortOpen() const override { return open_; }
  void PortOpen(bool open) override {
    if (open && open_) {
      throw parley::AutomationError(parley::detail::kSerialPortAlreadyOpen, "SerialPort", "open");
    }
    open_ = open;
    rx_.clear();
    line_->port = open ? this : nullptr;
  }
  std::size_t Available() const override { return rx_.size(); }
  void DiscardInBuffer() override { rx_.clear(); }
  void DiscardOutBuffer() override {}
  std::string TakeReceived() override {
    line_->taken += rx_;
    return std::exchange(rx_, {});
  }
  void Write(std::string_view) override {
    if (!open_) throw parley::AutomationError(8018, "SerialPort", "Port not open.");
    line_->Written();
  }

  void Arrive(const Piece& piece) {
    rx_ += piece.bytes;
    if (piece.line_error != 0) {
      if (auto handler = OnError) handler(piece.line_error, "line error");
    } else if (auto handler = OnReadable) {
      handler();
    }
  }

 private:
  std::shared_ptr<Line> line_;
  int16_t comm_port_ = 1;
  std::string device_path_;
  std::string settings_ = "9600,n,8,1";
  bool open_ = false;
  std::string rx_;
};

void Line::Deliver(const Piece& piece) {
  if (port) port->Arrive(piece);
}

struct Options {
  bool verify_echo = true;
  bool strip = false;
  int32_t timeout = parley::korShort;
  std::string cmd_term;
  std::string resp_term;
};

std::vector<Exchange> ReadExchanges(parley::fuzz::FuzzInput& in) {
  constexpr int16_t kLineErrors[] = {1001, 1004, 1006, 1008, 1009, 1007};
  constexpr std::size_t kMaxExchanges = 4;
  std::vector<Exchange> exchanges(1);
  exchanges[0].cmd = in.Text(256);
  exchanges[0].attempts.emplace_back();
  while (!in.empty()) {
    uint8_t header = in.Byte();
    Piece piece;
    piece.gap = Micros((header & 0x3F) * 100'000);
    piece.bytes = in.Text();
    switch (header >> 6) {
      case 1:
        exchanges.back().attempts.emplace_back();
        break;
      case 2:
        piece.line_error = kLineErrors[(piece.bytes.empty() ? 0 : piece.bytes[0] & 0xFF) % 6];
        piece.bytes.clear();
        break;
      case 3:
        if (exchanges.size() == kMaxExchanges) break;
        exchanges.push_back({piece.bytes.substr(0, 256), {Attempt()}});
        continue;
    }
    exchanges.back().attempts.back().push_back(std::move(piece));
  }
  return exchanges;
}

// What the engine must have answered, given the bytes it took since the command went out.
std::optional<std::string> Expected(const Options& o, const std::string& cmd,
                                    const std::string& taken) {
  std::string echo = cmd + o.cmd_term;
  std::size_t start = echo.size();
  if (o.verify_echo) {
    std::size_t at = taken.find(echo);
    if (at == std::string::npos) return std::nullopt;
    start += at;
  } else if (taken.empty() || start > taken.size()) {
    return std::nullopt;
  }
  std::size_t end = taken.find(o.resp_term, start);
  if (end == std::string::npos) return std::nullopt;
  std::string response = taken.substr(start, end - start);
  if (o.strip) parley::detail::StripCRLF(response);
  return response;
}

bool AllowedFailure(int32_t number) {
  namespace err = parley::err;
  return number == err::NoResponseFromRemoteUnit || number == err::ResponseTerminatorTimeout ||
         number == err::InvalidCommand || (number >= 1001 && number <= 1011);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  parley::fuzz::FuzzInput in(data, size);
  Options o;
  uint8_t flags = in.Byte();
  o.verify_echo = (flags & 1) == 0;
  o.strip = (flags & 2) != 0;
  o.timeout = (flags & 4) ? parley::korMedium : parley::korShort;
  o.cmd_term = in.Text(16);
  o.resp_term = in.Text(16);
  std::vector<Exchange> exchanges = ReadExchanges(in);

  auto owned = std::make_shared<parley::detail::VirtualHost>();
  parley::detail::VirtualHost& host = *owned;
  parley::detail::ScopedHost scoped(owned);
  parley::UseConnectionManager(parley::MakeInProcessConnectionManager);
  auto line = std::make_shared<Line>(host);
  host.serial_factory = [line] { return std::make_unique<ScriptedPort>(line); };
  {
    parley::KORInterface iface;
    iface.CmdTerm(o.cmd_term);
    iface.RespTerm(o.resp_term);
    iface.VerifyEcho(o.verify_echo);
    iface.RemoveExtraChar(o.strip);
    iface.openPort();
    for (const Exchange& exchange : exchanges) {
      line->Begin(exchange);
      parley::KORTransaction t;
      t.cmd(exchange.cmd);
      t.RespTimeout(o.timeout);
      double start = host.elapsed_seconds();
      try {
        iface.Transact(t);
        auto expected = Expected(o, exchange.cmd, line->taken);
        Check(expected.has_value(), "a response without its echo and terminator");
        Check(t.resp() == *expected, "the response is not the answer to this command");
        parley::fuzz::Note("answered: " + t.resp() + " / " + t.ByteArrRespStrVal());
      } catch (const parley::AutomationError& e) {
        parley::fuzz::Note("failed: " + std::to_string(e.Number()) + " " + e.Description());
        Check(AllowedFailure(e.Number()), "an unexpected error number");
      }
      // Three retries after nine-second echo waits, then the response timeout.
      Check(host.elapsed_seconds() - start <= 3 * 9.0 + o.timeout + 2.0, "a transaction overran");
      Check(!iface.Busy(), "the interface stayed busy");
    }
    iface.closePort();
  }
  parley::UseConnectionManager({});
  return 0;
}
