// Finding the response in what the remote unit sends back: skip the echo by its length, then
// take the text up to the first response terminator after it. The serial engine and the
// Ethernet text mode both frame their responses with it.
//
// Work stays linear in the size of the answer: each chunk is appended once and the terminator
// is searched for only where it could newly end. Positions are sizes, so any command length
// works. A bound on what one exchange may receive keeps a peer that never sends the
// terminator from growing memory without limit.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace parley::detail {

class ResponseFramer {
 public:
  // Starts an exchange whose echo is `echo_length` bytes; `strip` removes trailing CR/LF from
  // the response (RemoveExtraChar).
  // `max_bytes` bounds everything received in this exchange, echo included.
  void Start(std::size_t echo_length, std::string terminator, bool strip,
             std::size_t max_bytes = kUnbounded);
  // Appends a received chunk; true once the terminator has been found after the echo. A chunk
  // that would pass the bound is refused whole with AutomationError(err::Overflow).
  bool Append(std::string_view chunk);
  // Forgets everything received (a fresh connection).
  void Clear() { Start(0, terminator_, strip_, max_bytes_); }

  static constexpr std::size_t kUnbounded = static_cast<std::size_t>(-1);

  bool nothing_received() const { return received_.empty(); }
  bool complete() const { return complete_; }
  const std::string& received() const { return received_; }
  // The response once complete().
  const std::string& response() const { return response_; }

 private:
  std::string received_;
  std::string terminator_;
  std::string response_;
  std::size_t start_ = 0;
  std::size_t max_bytes_ = kUnbounded;
  bool strip_ = false;
  bool complete_ = false;
};

}  // namespace parley::detail
