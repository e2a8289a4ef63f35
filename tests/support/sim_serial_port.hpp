// A simulated serial port with a scripted remote unit behind it, for logic tests on the
// virtual host: every delivery is a timer on the host, so 9-second echo waits, 15-second port
// waits and retries run in no real time.
//
// The unit frames what the port sends by `cmd_term` and reacts to each command as its next
// scripted reaction says (echo, answer, silence, echo without terminator, chunks cut at chosen
// sizes, a line error at a chosen moment). Bytes that arrive while the port is closed are lost,
// as on a real line.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/host.hpp"
#include "host/serial_port.hpp"

namespace parley::detail {

struct SimReaction {
  bool echo = true;
  bool echo_terminator = true;               // the echo ends with the terminator received
  std::optional<std::string> echo_text;      // echoed instead of the command and terminator
  std::optional<std::string> answer = "OK";  // nothing: no answer at all
  std::string resp_term = "\r\n>";
  Micros echo_delay{2000};     // after the command's terminator arrived
  Micros answer_delay{10000};  // after the echo
  // Sizes of the first pieces everything (echo and answer) is cut into; the rest goes whole.
  std::vector<std::size_t> chunks;
  Micros chunk_gap{25000};
  int16_t line_error = 0;         // a comm event code raised for this command
  Micros line_error_after{1000};  // after the command's terminator arrived
};

class SimSerialPort;

class SimRemoteUnit : public std::enable_shared_from_this<SimRemoteUnit> {
 public:
  explicit SimRemoteUnit(Host& host) : host_(host) {}

  // The reaction to every command, unless `next` holds one (taken in order).
  SimReaction reaction;
  std::deque<SimReaction> next;
  // Answers by command; they replace the reaction's answer text.
  std::map<std::string, std::string> answers;
  std::string cmd_term = "\r\n";
  // Consulted at each opening; true refuses it as "in use" (another program holds the port).
  std::function<bool()> held_elsewhere;

  // Sends `bytes` unasked after `delay`.
  void Send(const std::string& bytes, Micros delay = Micros(0));
  // Raises comm event `code` on the open port after `delay`.
  void LineErrorAfter(Micros delay, int16_t code);

  // --- what a test observes ----------------------------------------------------------------
  std::string wire;                   // every byte the port sent, in order
  std::vector<std::string> commands;  // the framed commands
  int opens = 0;
  std::vector<std::string> opened_devices;  // the device of each opening, as the port named it
  int closes = 0;
  int refused_opens = 0;
  std::vector<std::string> settings_puts;
  bool port_open() const { return port_ != nullptr; }

 private:
  friend class SimSerialPort;
  void Received(std::string_view bytes);
  void React(const std::string& command);
  void Schedule(Micros delay, std::string bytes);
  void Deliver(const std::string& echo, const std::string& answer, const SimReaction& r);

  Host& host_;
  SimSerialPort* port_ = nullptr;  // the open port, if any
  std::string pending_;
};

std::unique_ptr<SerialPort> MakeSimSerialPort(std::shared_ptr<SimRemoteUnit> unit);

}  // namespace parley::detail
