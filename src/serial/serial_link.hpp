// The serial transport: port setup, the echo-and-terminator engine and GPIB forwarding.
//
// Every serial message (mode 2 commands, and the forwarding messages of modes 1 and 4) goes
// through SerialTransact: it brings the port in line with the settings, obtains the port from
// the connection manager, sends the command with CmdTerm, skips the echo by its length and
// takes the text up to RespTerm as the response. Received data are collected by a receive pass
// as soon as the port reports them; the 20 ms receive tick runs only while data wait that no
// pass has taken, so an idle wait sleeps until data, a line event or its countdown moves.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "arbiter/port_arbiter.hpp"
#include "catalogue/error_path.hpp"
#include "framing/response_framer.hpp"
#include "model/link_context.hpp"
#include "model/timeout.hpp"

namespace parley::detail {

class SerialLink {
 public:
  static constexpr float kEchoSeconds = 9;
  static constexpr int16_t kMaxRetries = 3;  // after the first attempt
  // What one exchange may keep (echo and response); more fails the exchange with err::Overflow.
  static constexpr std::size_t kMaxResponseBytes = 16 * 1024 * 1024;
  // Received data are collected as soon as the port reports them; the receive tick (this
  // interval) only picks up what arrived while no pass could run, and never wakes an idle wait.
  static constexpr std::chrono::milliseconds kReceiveTick{20};
  static constexpr double kFirstPassSeconds = 0.020;

  explicit SerialLink(LinkContext& core) : core_(core), arbiter_(core) {}

  // Wires the controls' events (line events, data, timer ticks) to this link; openPort calls it.
  void AttachControls();
  // Closes the serial control if it is open (closePort, retries, releases).
  void SerialPortClose();
  // The manager's notifications.
  void OnNotifySignal() { arbiter_.pcwConnection_NotifySignal(); }
  void OnNotifyReset() { arbiter_.pcwConnection_NotifyReset(); }

  // Mode branches of Transact, run as steps of Transact's error path.
  void TransactCRLFDirect(KORTransaction& t, const StepRunner& step);

  // One command/response exchange over the serial link (every serial message uses it). On
  // success the record's response holds the text between echo and RespTerm; a failure leaves
  // the response as it was and raises the error as the catalogue left it.
  void SerialTransact(KORTransaction& t);

  PortArbiter& arbiter() { return arbiter_; }

  // Called after each transmission of a command (forwarding marks its settings header sent).
  std::function<void()> on_transmit;

 private:
  // A line error, or an error caught by a receive pass, waiting to be raised by the next
  // transaction's checks.
  struct CommErrorRecord {
    bool set = false;
    int32_t number = 0;
    std::string description;
    std::string source;
    // The line is lost or the exchange overflowed: waiting on cannot help, so the waiting
    // exchange ends with the error at once. Other line errors wait for the next check.
    bool ends_exchange = false;
  };

  SerialPort& Control();
  // Runs one statement of SerialTransact's level: a failure stops the timer, then passes the
  // catalogue (ActionResume runs it again).
  template <class F>
  void Step(F&& f);

  void SerialPortInit();
  // A line event of the port: codes of 1000 and above are errors, recorded for the next check.
  void pmscComm_OnComm(int32_t event);
  void ptwTrans_Timer();
  void SerialReceive();

  void RunExchange(KORTransaction& t);
  // One attempt; false when nothing came back within the echo timeout and a retry is left.
  bool Attempt(KORTransaction& t);
  void Transmit(const std::string& command);
  bool WaitForResponse(KORTransaction& t, const KORTimeout& response, const KORTimeout& echo);
  // One blocking pass of the wait (see WaitForResponse).
  void WaitOnce(const KORTimeout& response, const KORTimeout& echo, bool first);
  double SecondsLeft(const KORTimeout& response, const KORTimeout& echo) const;
  void PrepareRetry();
  void Finish();
  void RaiseRecordedError();
  void StopTimer();

  LinkContext& core_;
  PortArbiter arbiter_;
  CommErrorRecord comm_error_;
  std::string sent_cmd_;
  std::string wire_;  // the command with its terminator, as sent (kept to reuse its room)
  ResponseFramer framer_;
  int16_t retries_ = 0;
  bool receiving_ = false;
};

// The line-settings text the serial control takes: "9600,o,7,1".
std::string SerialSettingsText(const Settings& s);

}  // namespace parley::detail
