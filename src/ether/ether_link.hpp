// The Ethernet transport: TCP connection with greeting, text and byte exchanges.
//
// Receiving: each DataArrival chunk is appended once and the terminator search resumes where a
// terminator could newly end, so the work stays linear in the size of the response. One
// response (with its echo, in text mode) may hold at most kMaxResponseBytes; a chunk that would
// pass that is refused in the receive step (recorded in the trace) and ends the attempt at once
// with 0x80047F94: nothing received after the refused chunk is taken, so no answer with a gap
// is ever stored. A command whose own bytes could not fit in a response is refused before it is
// sent.
//
// An attempt that fails while part of its command is still unsent, or after refusing data,
// resets the connection (the rest of the command is dropped, not delivered later, and the rest
// of an over-long answer cannot be taken for the next echo); the trace says so, and the next
// call connects anew. Data that arrive while no response is awaited (after one was found, between
// transactions) are dropped, so they can neither change a finished transaction nor pile up;
// data already waiting when an attempt starts are dropped before its command goes out, so a
// late byte is not taken for the start of the next echo.
//
// A socket that fails (refused, a name that does not resolve, a reset) or that the peer closes
// ends the wait in progress at once, with the number its timeout would have given (0x80047F93
// for the connect, 0x80047F94 for the greeting and the answer); the system's reason goes to
// the trace and to LastLinkError. The failed socket stays as it is, so the next transaction
// fails its state check with 0x80047F92 until the port is reopened.
//
// A greeting that comes only after the connect gave up on it is still taken (the connection is
// then ready), but it ends no transaction's wait: it is never stored or returned as an answer.
//
// A byte response made only of the terminator is stored as one zero byte, as every empty byte
// buffer of the library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "catalogue/error_path.hpp"
#include "framing/response_framer.hpp"
#include "model/link_context.hpp"

namespace parley::detail {

class EtherLink {
 public:
  static constexpr std::size_t kMaxResponseBytes = 16 * 1024 * 1024;

  explicit EtherLink(LinkContext& core) : core_(core) {}

  // A fresh link after openPort: the next transaction connects and awaits the greeting.
  void PortOpened() {
    awaiting_connect_ = true;
    awaiting_greeting_ = false;
  }

  // Wires the TCP facility's events to the handlers below; openPort calls it.
  void AttachControls();
  // The mode-5 branch of Transact, run as steps of Transact's error path.
  void Transact(KORTransaction& t, const StepRunner& step);

  // The public buffer accessors (raised straight to the caller, without the catalogue).
  std::string ReceivedStringBuffer() const;
  void ReceivedByteArrBuffer(std::vector<uint8_t>& out) const;
  void ClearResponseArray();

 private:
  void SetReceiveMode(const KORTransaction& t);
  void EtherConnect(const KORTransaction& t);
  bool EtherTransact(KORTransaction& t);  // false: the attempt was abandoned
  // The checks a later step would make on the transaction, made before anything goes out.
  void CheckBeforeSending(const KORTransaction& t) const;
  bool RunAttempt(KORTransaction& t);
  void EndFailedAttempt();

  // Socket events.
  void pwiWscClient_Connect();
  void pwiWscClient_DataArrival(int32_t bytes_total);
  void pwiWscClient_Error(const std::string& reason);
  void PeerClosed();
  void RefuseArrival(const AutomationError& e);
  void ReportArrivalError(const AutomationError& e);

  void EtherReceiveText(int32_t bytes_total, const std::string& text);
  // True when the chunk was taken into the response (and so counts as a byte chunk).
  bool EtherReceiveBytes(int32_t bytes_total, std::string_view bytes);
  bool TakeGreeting(std::string_view data);

  TcpClient& Socket();  // the facility; InvalidSocketState on a host that offers none
  // Runs the loop until `flag` is false, `seconds` pass or the socket fails or is closed;
  // true when the flag cleared.
  bool Waited(const bool& flag, double seconds);
  bool SocketGone() const;
  void DropStaleInput();
  void SendCommand(const KORTransaction& t);
  void StoreResponse(KORTransaction& t);
  // What the text mode has received for the current response, or the response once found.
  const std::string& ReceivedText() const;

  LinkContext& core_;
  bool awaiting_connect_ = true;    // no connection made since the port was opened
  bool awaiting_greeting_ = false;  // connected, the greeting not yet matched
  bool awaiting_response_ = true;
  // The connect is waiting for the greeting: only then does a matching greeting end a wait. One
  // that comes later (after the connect gave up) ends no transaction's wait for its answer.
  bool connect_waits_for_greeting_ = false;
  bool refused_ = false;  // this attempt refused received data
  bool string_mode_ = true;
  std::string peer_;       // "host:port" of the last connect, for the failure reasons
  std::string sent_text_;  // exactly what the last text-mode send transmitted
  ResponseFramer text_;    // the text received for the current response, then the response
  std::vector<uint8_t> term_bytes_{0};
  std::vector<uint8_t> rx_bytes_{0};
  uint64_t byte_chunks_ = 0;  // 0: the next chunk starts a new byte response
};

}  // namespace parley::detail
