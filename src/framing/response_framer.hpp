// Finding the response in what the remote unit sends back: find the echo of the command, then
// take the text up to the first response terminator after it. The serial engine and the
// Ethernet text mode both frame their responses with it.
//
// The echo is matched exactly (command plus the terminator that was sent): whatever arrives
// before it is stale (a late answer to an earlier command, line noise) and is dropped, so it can
// never be taken for this command's answer. A unit whose echo legitimately differs can have the
// echo skipped by its length instead (StartLengthOnly).
//
// Work stays linear in the size of the answer: each chunk is appended once, and the echo and the
// terminator are searched for only where they could newly end. Positions are sizes, so any
// command length works. A bound on what one exchange may keep keeps a peer that never sends the
// terminator from growing memory without limit.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

#include "trace/debug_trace.hpp"

namespace parley::detail {

class ResponseFramer {
 public:
  static constexpr std::size_t kUnbounded = static_cast<std::size_t>(-1);

  // Starts an exchange whose response follows the exact `echo`; `strip` removes trailing CR/LF
  // from the response (RemoveExtraChar). `max_bytes` bounds what this exchange keeps, echo
  // included (stale bytes are dropped as they are found and do not count).
  // The texts are copied into buffers kept from one exchange to the next.
  void Start(std::string_view echo, std::string_view terminator, bool strip,
             std::size_t max_bytes = kUnbounded);
  // As Start, but the echo is the first `echo_length` bytes received, whatever they are.
  void StartLengthOnly(std::size_t echo_length, std::string_view terminator, bool strip,
                       std::size_t max_bytes = kUnbounded);
  // Appends a received chunk; true once the terminator has been found after the echo. A chunk
  // that would pass the bound is refused whole with AutomationError(err::Overflow).
  bool Append(std::string_view chunk);
  // Forgets everything received (a fresh connection).
  void Clear() { StartLengthOnly(0, terminator_, strip_, max_bytes_); }

  // The echo is in (length-only: anything has arrived).
  bool echo_received() const { return echo_found_; }
  bool nothing_received() const { return received_.empty(); }
  bool complete() const { return complete_; }
  // What is kept of this exchange: the echo and what followed it (before the echo is found,
  // the bytes that may still begin it).
  const std::string& received() const { return received_; }
  // The response once complete().
  const std::string& response() const { return response_; }
  // Bytes dropped as stale since the last call.
  std::string TakeStale() { return std::exchange(stale_, {}); }

 private:
  void Reset(std::string_view terminator, bool strip, std::size_t max_bytes);
  void FindEcho(std::size_t before);

  std::string received_;
  std::string terminator_;
  std::string response_;
  std::string echo_;
  std::string stale_;
  std::size_t start_ = 0;
  std::size_t max_bytes_ = kUnbounded;
  bool exact_ = false;
  bool echo_found_ = false;
  bool strip_ = false;
  bool complete_ = false;
};

// Writes the stale bytes `framer` dropped, if any, to the trace of `context`.
template <class Context>
void TraceStale(Context& context, ResponseFramer& framer) {
  std::string stale = framer.TakeStale();
  if (!stale.empty())
    context.DebugBuffWrite(kTraceError, "Stale data before the echo dropped: " + stale);
}

}  // namespace parley::detail
