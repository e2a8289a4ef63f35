// Finding the response in what the remote unit sends back: skip the echo by its length, then
// take the text up to the first response terminator after it.
//
// Work stays linear in the size of the answer: each chunk is appended once and the terminator
// is searched for only where it could newly end. Positions are sizes, so any command length
// works.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace parley::detail {

class ResponseFramer {
 public:
  // Starts an exchange whose echo is `echo_length` bytes; `strip` removes trailing CR/LF from
  // the response (RemoveExtraChar).
  void Start(std::size_t echo_length, std::string terminator, bool strip);
  // Appends a received chunk; true once the terminator has been found after the echo.
  bool Append(std::string_view chunk);

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
  bool strip_ = false;
  bool complete_ = false;
};

}  // namespace parley::detail
