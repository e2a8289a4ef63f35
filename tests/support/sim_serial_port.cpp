#include "support/sim_serial_port.hpp"

#include <algorithm>
#include <utility>

#include "host/serial_line.hpp"
#include "parley/errors.hpp"
#include "parley/serial.hpp"

namespace parley::detail {

class SimSerialPort : public SerialPort {
 public:
  explicit SimSerialPort(std::shared_ptr<SimRemoteUnit> unit) : unit_(std::move(unit)) {}
  ~SimSerialPort() override { PortOpen(false); }

  int16_t CommPort() const override { return port_; }
  void CommPort(int16_t port) override { port_ = port; }
  std::string DevicePath() const override { return device_path_; }
  void DevicePath(const std::string& path) override { device_path_ = path; }
  std::string Settings() const override { return settings_; }
  void Settings(const std::string& text) override {
    if (!ParseLineSettings(text)) {
      throw AutomationError(err::InvalidPropertyValue, "SerialPort", "Invalid line settings.");
    }
    settings_ = text;
    unit_->settings_puts.push_back(text);
  }
  bool PortOpen() const override { return open_; }
  void PortOpen(bool open) override;
  std::size_t Available() const override { return rx_.size(); }
  void DiscardInBuffer() override { rx_.clear(); }
  void DiscardOutBuffer() override {}
  std::string TakeReceived() override { return std::exchange(rx_, {}); }
  void Write(std::string_view bytes) override {
    if (!open_) throw AutomationError(8018, "SerialPort", "Port not open.");
    unit_->Received(bytes);
  }

  void Arrive(const std::string& bytes) {
    rx_ += bytes;
    if (OnReadable) OnReadable();
  }
  void Event(int16_t code) {
    if (OnError) OnError(code, "line error");
  }

 private:
  std::shared_ptr<SimRemoteUnit> unit_;
  int16_t port_ = 1;
  std::string device_path_;
  std::string settings_ = "9600,n,8,1";
  bool open_ = false;
  std::string rx_;
};

void SimSerialPort::PortOpen(bool open) {
  if (open == open_) {
    if (open) throw AutomationError(kSerialPortAlreadyOpen, "SerialPort", "Port already open.");
    return;
  }
  if (open && unit_->held_elsewhere && unit_->held_elsewhere()) {
    ++unit_->refused_opens;
    throw AutomationError(kSerialPortInUse, "SerialPort", "Port in use by another program.");
  }
  open_ = open;
  rx_.clear();
  if (open) {
    ++unit_->opens;
    unit_->opened_devices.push_back(device_path_.empty() ? SerialDevicePath(port_) : device_path_);
    unit_->port_ = this;
  } else {
    ++unit_->closes;
    unit_->port_ = nullptr;
  }
}

void SimRemoteUnit::Send(const std::string& bytes, Micros delay) { Schedule(delay, bytes); }

void SimRemoteUnit::LineErrorAfter(Micros delay, int16_t code) {
  auto self = shared_from_this();
  host_.StartTimer(delay, [self, code] {
    if (self->port_) self->port_->Event(code);
  });
}

void SimRemoteUnit::Received(std::string_view bytes) {
  wire.append(bytes);
  pending_.append(bytes);
  std::size_t end;
  while (!cmd_term.empty() && (end = pending_.find(cmd_term)) != std::string::npos) {
    std::string command = pending_.substr(0, end);
    pending_.erase(0, end + cmd_term.size());
    commands.push_back(command);
    React(command);
  }
}

void SimRemoteUnit::React(const std::string& command) {
  SimReaction r = reaction;
  if (!next.empty()) {
    r = next.front();
    next.pop_front();
  }
  if (r.line_error != 0) LineErrorAfter(r.line_error_after, r.line_error);
  if (!r.echo) return;
  std::string echo = r.echo_text ? *r.echo_text : command + (r.echo_terminator ? cmd_term : "");
  auto known = answers.find(command);
  std::optional<std::string> answer = known != answers.end() ? known->second : r.answer;
  Deliver(echo, answer ? *answer + r.resp_term : "", r);
}

// The echo and the answer form one stream, cut into the pieces `r.chunks` names (and always
// between echo and answer); pieces go at least `chunk_gap` apart, the answer's first piece no
// earlier than `answer_delay` after the echo's last.
void SimRemoteUnit::Deliver(const std::string& echo, const std::string& answer,
                            const SimReaction& r) {
  std::string stream = echo + answer;
  std::vector<std::size_t> cuts;
  std::size_t pos = 0;
  for (std::size_t size : r.chunks) cuts.push_back(pos += size);
  cuts.push_back(echo.size());
  cuts.push_back(stream.size());
  std::sort(cuts.begin(), cuts.end());
  Micros at = r.echo_delay;
  std::size_t from = 0;
  bool first = true;
  for (std::size_t cut : cuts) {
    cut = std::min(cut, stream.size());
    if (cut <= from) continue;
    if (!first) at += r.chunk_gap;
    if (from == echo.size() && from != 0) at += r.answer_delay;
    if (from == 0 && echo.empty()) at += r.answer_delay;
    Schedule(at, stream.substr(from, cut - from));
    first = false;
    from = cut;
  }
}

void SimRemoteUnit::Schedule(Micros delay, std::string bytes) {
  auto self = shared_from_this();
  host_.StartTimer(delay, [self, bytes = std::move(bytes)] {
    if (self->port_) self->port_->Arrive(bytes);
  });
}

std::unique_ptr<SerialPort> MakeSimSerialPort(std::shared_ptr<SimRemoteUnit> unit) {
  return std::make_unique<SimSerialPort>(std::move(unit));
}

}  // namespace parley::detail
