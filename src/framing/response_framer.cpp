#include "framing/response_framer.hpp"

#include <algorithm>

#include "model/access.hpp"
#include "model/strip_crlf.hpp"
#include "parley/errors.hpp"

namespace parley::detail {

void ResponseFramer::Start(std::size_t echo_length, std::string terminator, bool strip,
                           std::size_t max_bytes) {
  max_bytes_ = max_bytes;
  received_.clear();
  response_.clear();
  terminator_ = std::move(terminator);
  start_ = echo_length;
  strip_ = strip;
  complete_ = false;
}

bool ResponseFramer::Append(std::string_view chunk) {
  if (complete_) return true;
  std::size_t before = received_.size();
  if (chunk.size() > max_bytes_ - std::min(before, max_bytes_)) {
    throw AutomationError(err::Overflow, kLibrarySource,
                          "Response longer than " + std::to_string(max_bytes_) + " bytes.");
  }
  received_.append(chunk);
  // A terminator found now must end inside the new chunk: it starts at most
  // (terminator length - 1) bytes before it, and never inside the echo.
  std::size_t overlap = terminator_.empty() ? 0 : terminator_.size() - 1;
  std::size_t from = std::max(start_, before > overlap ? before - overlap : 0);
  if (from > received_.size()) return false;
  std::size_t found = received_.find(terminator_, from);
  if (found == std::string::npos) return false;
  response_ = received_.substr(start_, found - start_);
  if (strip_) StripCRLF(response_);
  complete_ = true;
  return true;
}

}  // namespace parley::detail
