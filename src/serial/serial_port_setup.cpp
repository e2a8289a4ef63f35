// Bringing the serial control in line with the settings, closing it, and its line events.
#include <charconv>
#include <utility>

#include "model/access.hpp"
#include "serial/serial_link.hpp"

namespace parley::detail {

// Built without temporaries: it is compared with the port's settings before every command.
std::string SerialSettingsText(const Settings& s) {
  std::string text;
  auto number = [&](int32_t value) {
    char digits[16];  // an int32_t takes at most 11
    text.append(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
  };
  number(s.bit_rate);
  text += s.parity == korParityOdd ? ",o," : s.parity == korParityEven ? ",e," : ",n,";
  number(s.data_bits);
  text += ',';
  number(s.stop_bits);
  return text;
}

SerialPort& SerialLink::Control() {
  if (!core_.controls || !core_.controls->serial) Raise(err::CommUnavailable);
  return *core_.controls->serial;
}

void SerialLink::AttachControls() {
  auto& controls = *core_.controls;
  controls.timer.Interval(kReceiveTick);
  controls.timer.OnTick = [this] { ptwTrans_Timer(); };
  // A tick with nothing received has nothing to do: it is not scheduled, so a wait for a slow
  // answer is not woken every interval.
  controls.timer.Idle = [this] {
    return !core_.controls || !core_.controls->serial || core_.controls->serial->Available() == 0;
  };
  if (!controls.serial) return;
  controls.serial->OnError = [this](int32_t code, const std::string& reason) {
    if (code == kSerialLineLost) core_.LinkFailed(reason);
    pmscComm_OnComm(code);
  };
  // Data that arrive while the engine waits are collected at once. What a pass could not take
  // (it arrived while a pass was running) is left to the receive tick.
  controls.serial->OnReadable = [this] {
    if (!core_.controls || !core_.controls->timer.Enabled()) return;
    ptwTrans_Timer();
    if (core_.controls) core_.controls->timer.Resume();
  };
}

void SerialLink::SerialPortInit() {
  auto step = [&](auto&& f) { RunStep(core_, f, [&] { core_.UpdateProgress(""); }); };
  step([&] { core_.UpdateProgress("Initializing Serial Port"); });
  const Settings& s = core_.settings;
  std::string text = SerialSettingsText(s);
  SerialPort* port = nullptr;
  step([&] { port = &Control(); });
  // Unchanged settings leave the open port alone, a recorded line error included.
  if (port->PortOpen() && port->CommPort() == s.comm_port && port->DevicePath() == s.device_path &&
      port->Settings() == text) {
    return;
  }
  if (port->PortOpen()) step([&] { port->PortOpen(false); });
  step([&] { port->CommPort(static_cast<int16_t>(s.comm_port)); });
  step([&] { port->DevicePath(s.device_path); });
  step([&] { port->DiscardInBuffer(); });
  step([&] { port->DiscardOutBuffer(); });
  step([&] { port->Settings(text); });
  if (arbiter_.port_held()) step([&] { arbiter_.WaitForPort(); });
  comm_error_.set = false;
  core_.UpdateProgress("");
}

void SerialLink::SerialPortClose() {
  RunStep(core_, [&] {
    if (core_.controls && core_.controls->serial && core_.controls->serial->PortOpen()) {
      core_.controls->serial->PortOpen(false);
    }
  });
}

// Codes below 1000 (data, modem lines) need nothing; errors wait for the next check.
void SerialLink::pmscComm_OnComm(int32_t event) {
  if (event < 1000) return;
  comm_error_ = {};
  comm_error_.set = true;
  comm_error_.number = event;
  comm_error_.ends_exchange = event == kSerialLineLost;
}

// A recorded error is reported once: left set, one line error would fail every transaction
// after it for as long as the settings stay the same.
void SerialLink::RaiseRecordedError() {
  if (!comm_error_.set) return;
  CommErrorRecord recorded = std::exchange(comm_error_, {});
  throw AutomationError(recorded.number, recorded.source, recorded.description);
}

void SerialLink::TransactCRLFDirect(KORTransaction& t, const StepRunner& step) {
  step([&] { SerialTransact(t); });
}

}  // namespace parley::detail
