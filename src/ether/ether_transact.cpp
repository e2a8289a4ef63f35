// The Ethernet exchange: the mode-5 branch of Transact, one attempt, and the receive buffers.
#include <algorithm>
#include <string>

#include "catalogue/validation.hpp"
#include "ether/ether_link.hpp"
#include "model/access.hpp"
#include "model/timeout.hpp"

namespace parley::detail {
namespace {
constexpr int kAttempts = 3;

// Errors that abandon an attempt (it answers false) but let its remaining steps run.
bool AbandonsAttempt(int32_t number) {
  return number == err::InvalidCall || number == err::Overflow || number == 8;
}

template <class Step>
void AttemptStep(bool& completed, Step&& step) {
  try {
    step();
  } catch (const AutomationError& e) {
    if (!AbandonsAttempt(e.Number())) throw;
    completed = false;
  } catch (const std::exception& e) {
    AutomationError error = ToAutomationError(e);
    if (!AbandonsAttempt(error.Number())) throw error;
    completed = false;
  }
}

// A command that already holds CR LF is sent as it is.
std::string SentText(const std::string& cmd, const std::string& cmd_term) {
  return cmd.find("\r\n") != std::string::npos ? cmd : cmd + cmd_term;
}

// Where a terminator of `term_size` could first end after `old_size` bytes were searched.
std::size_t ResumeFrom(std::size_t old_size, std::size_t term_size) {
  std::size_t back = term_size == 0 ? 0 : term_size - 1;
  return old_size > back ? old_size - back : 0;
}

void CheckRoom(std::size_t have, std::size_t more) {
  if (have + more > EtherLink::kMaxResponseBytes) {
    throw AutomationError(
        err::Overflow, kLibrarySource,
        "Response longer than " + std::to_string(EtherLink::kMaxResponseBytes) + " bytes.");
  }
}
}  // namespace

void EtherLink::Transact(KORTransaction& t, const StepRunner& step) {
  // Every check comes before the first change: a refused call leaves the link as it was.
  step([&] { EtherValidateTrans(core_.settings, t); });
  step([&] { CheckBeforeSending(t); });
  step([&] { SetReceiveMode(t); });
  if (awaiting_connect_) step([&] { EtherConnect(t); });
  // A plain instrument's command is never sent twice: it may have acted on the first one.
  int attempts = PlainLink(core_.settings) ? 1 : kAttempts;
  for (int attempt = 0; attempt < attempts; ++attempt) {
    bool completed = false;
    step([&] { completed = EtherTransact(t); });
    if (completed) return;
    if (!string_mode_) byte_chunks_ = 0;
  }
  // Three abandoned attempts end without an error; the record holds what the last one stored.
}

void EtherLink::CheckBeforeSending(const KORTransaction& t) const {
  // The connect and response waits would refuse this length only after the send.
  if (!ResponseInMilliseconds(core_.settings, t)) {
    KORTimeout::CheckLength(static_cast<float>(t.RespTimeout()));
  }
  std::size_t wire = 0;
  if (t.IsCmdTypeString()) {
    wire = SentText(t.cmd(), core_.settings.cmd_term).size();
  } else {
    std::vector<uint8_t> command;
    t.GetByteArr(command);
    wire = command.size() + core_.settings.cmd_term.size();
  }
  if (wire > kMaxResponseBytes) {
    throw AutomationError(err::Overflow, kLibrarySource,
                          "Command longer than " + std::to_string(kMaxResponseBytes) +
                              " bytes: its echo could not fit in a response.");
  }
}

void EtherLink::SetReceiveMode(const KORTransaction& t) {
  string_mode_ = t.IsCmdTypeString();
  if (string_mode_) return;
  const std::string& term = core_.settings.resp_term;
  term_bytes_.assign(term.begin(), term.end());
  byte_chunks_ = 0;
}

bool EtherLink::EtherTransact(KORTransaction& t) {
  bool completed = true;
  try {
    completed = RunAttempt(t);
  } catch (...) {
    EndFailedAttempt();
    throw;
  }
  if (!completed) EndFailedAttempt();
  return completed;
}

bool EtherLink::RunAttempt(KORTransaction& t) {
  bool completed = true;
  // On a plain instrument's link nothing abandons the exchange quietly: it fails with its cause.
  bool plain = PlainLink(core_.settings);
  auto attempt = [&](auto&& step) {
    if (plain) {
      step();
    } else {
      AttemptStep(completed, step);
    }
  };
  attempt([&] { core_.UpdateProgress("Starting Ethernet transaction"); });
  attempt([&] {
    DropStaleInput();
    refused_ = false;
    awaiting_response_ = true;
  });
  attempt([&] {
    sent_text_ = SentText(t.cmd(), core_.settings.cmd_term);
    const Settings& s = core_.settings;
    if (plain) {
      text_.Start("", s.resp_term, s.remove_extra_char, kMaxResponseBytes);  // no echo comes
    } else if (s.verify_echo) {
      text_.Start(sent_text_, s.resp_term, s.remove_extra_char, kMaxResponseBytes);
    } else {
      text_.StartLengthOnly(sent_text_.size(), s.resp_term, s.remove_extra_char, kMaxResponseBytes);
    }
  });
  attempt([&] {
    if (Socket().State() != kTcpConnected) Raise(err::InvalidSocketState);
  });
  attempt([&] { core_.UpdateProgress("Transmitting"); });
  attempt([&] { SendCommand(t); });
  attempt([&] {
    bool answered = Waited(awaiting_response_, ResponseSeconds(core_.settings, t));
    if (!answered || refused_) Raise(err::EtherTerminatorNotFound);
  });
  attempt([&] { StoreResponse(t); });
  return completed;
}

void EtherLink::EndFailedAttempt() {
  awaiting_response_ = false;
  TcpClient* tcp = core_.controls ? core_.controls->tcp.get() : nullptr;
  if (!tcp || tcp->State() != kTcpConnected) return;
  std::size_t unsent = tcp->Unsent();
  if (unsent == 0 && !refused_) return;
  tcp->Reset();
  awaiting_connect_ = true;
  awaiting_greeting_ = false;
  core_.DebugBuffWrite(kTraceError,
                       unsent > 0 ? "Connection reset: " + std::to_string(unsent) +
                                        " unsent bytes of the failed command dropped; the next "
                                        "call connects anew."
                                  : std::string("Connection reset after a refused answer; the "
                                                "next call connects anew."));
}

// Whatever arrived since the last response is dropped: taken from the socket at once where it
// can be, otherwise delivered by a pass of the loop while no response is awaited.
void EtherLink::DropStaleInput() {
  awaiting_response_ = false;
  TcpClient* tcp = core_.controls ? core_.controls->tcp.get() : nullptr;
  if (!tcp || awaiting_greeting_ || tcp->DiscardReceived()) core_.host.Yield();
}

void EtherLink::SendCommand(const KORTransaction& t) {
  TcpClient& tcp = Socket();
  if (string_mode_) {
    core_.DebugBuffWrite(kTraceWrite, t.cmd());
    tcp.Write(sent_text_);
    return;
  }
  core_.DebugBuffWrite(kTraceWrite, t.ByteArrToString());
  std::vector<uint8_t> command;
  t.GetByteArr(command);
  std::string wire(command.begin(), command.end());
  wire += core_.settings.cmd_term;  // always, whatever the bytes end with
  tcp.Write(wire);
}

void EtherLink::StoreResponse(KORTransaction& t) {
  if (string_mode_) {
    TransactionAccess::SetResp(t, ReceivedText());
    core_.DebugBuffWrite(kTraceRead, t.resp());
    return;
  }
  TransactionAccess::SetByteArrResp(t, rx_bytes_);
  core_.DebugBuffWrite(kTraceRead, t.ByteArrRespStrVal());
}

bool EtherLink::TakeGreeting(std::string_view data) {
  const std::string& term = core_.settings.resp_term;
  bool matches =
      data.size() == term.size() + 1 && data.substr(0, term.size()) == term && data.back() == ' ';
  if (matches) {
    if (connect_waits_for_greeting_) awaiting_response_ = false;
    awaiting_greeting_ = false;
  }
  return matches;
}

void EtherLink::EtherReceiveText(int32_t, const std::string& text) {
  if (awaiting_greeting_) {
    TakeGreeting(text);  // a greeting split over two arrivals never matches
    return;
  }
  if (!awaiting_response_) return;
  bool done = text_.Append(text);
  TraceStale(core_, text_);
  if (done) awaiting_response_ = false;
}

bool EtherLink::EtherReceiveBytes(int32_t, std::string_view bytes) {
  if (awaiting_greeting_) {
    TakeGreeting(bytes);  // never stored, never counted
    return false;
  }
  if (!awaiting_response_) return false;
  std::size_t old_size = byte_chunks_ == 0 ? 0 : rx_bytes_.size();
  CheckRoom(old_size, bytes.size());
  if (byte_chunks_ == 0) rx_bytes_.clear();
  rx_bytes_.insert(rx_bytes_.end(), bytes.begin(), bytes.end());
  auto from =
      rx_bytes_.begin() + static_cast<std::ptrdiff_t>(ResumeFrom(old_size, term_bytes_.size()));
  bool found = term_bytes_.empty() || std::search(from, rx_bytes_.end(), term_bytes_.begin(),
                                                  term_bytes_.end()) != rx_bytes_.end();
  if (found) {
    // The cut is made at the end of the buffer, not at the match: what followed it stays.
    rx_bytes_.resize(rx_bytes_.size() - term_bytes_.size());
    if (rx_bytes_.empty()) rx_bytes_.assign(1, 0);
    awaiting_response_ = false;
  }
  return true;
}

std::string EtherLink::ReceivedStringBuffer() const {
  if (core_.busy) throw DirectError(err::InterfaceBusy, "KORInterface");
  if (!string_mode_) throw DirectError(err::BufferWrongMode, "KORInterface");
  return ReceivedText();
}

const std::string& EtherLink::ReceivedText() const {
  return text_.complete() ? text_.response() : text_.received();
}

void EtherLink::ReceivedByteArrBuffer(std::vector<uint8_t>& out) const {
  if (core_.busy) throw DirectError(err::InterfaceBusy, "KORInterface");
  if (string_mode_) throw DirectError(err::BufferWrongMode, "KORInterface");
  out = rx_bytes_;
}

void EtherLink::ClearResponseArray() {
  if (core_.busy) throw DirectError(err::InterfaceBusy, "KORInterface");
  if (string_mode_) throw DirectError(err::BufferWrongMode, "KORInterface");
  rx_bytes_.assign(1, 0);
}

}  // namespace parley::detail
