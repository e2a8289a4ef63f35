#include "framing/response_framer.hpp"

#include <algorithm>
#include <utility>

#include "model/access.hpp"
#include "model/strip_crlf.hpp"
#include "parley/errors.hpp"

namespace parley::detail {

void ResponseFramer::Reset(std::string_view terminator, bool strip, std::size_t max_bytes) {
  max_bytes_ = max_bytes;
  received_.clear();
  response_.clear();
  stale_.clear();
  terminator_.assign(terminator);
  strip_ = strip;
  complete_ = false;
}

void ResponseFramer::Start(std::string_view echo, std::string_view terminator, bool strip,
                           std::size_t max_bytes) {
  Reset(terminator, strip, max_bytes);
  echo_.assign(echo);
  exact_ = true;
  start_ = echo_.size();
  echo_found_ = echo_.empty();
}

void ResponseFramer::StartLengthOnly(std::size_t echo_length, std::string_view terminator,
                                     bool strip, std::size_t max_bytes) {
  Reset(terminator, strip, max_bytes);
  echo_.clear();
  exact_ = false;
  start_ = echo_length;
  echo_found_ = false;
}

// Everything before the echo is stale. Until the echo is complete only its possible beginning
// (fewer bytes than the echo) is kept, so stale data cost no memory.
void ResponseFramer::FindEcho(std::size_t before) {
  std::size_t from = before >= echo_.size() ? before - (echo_.size() - 1) : 0;
  std::size_t at = received_.find(echo_, from);
  if (at == std::string::npos) {
    std::size_t keep = std::min(received_.size(), echo_.size() - 1);
    std::size_t drop = received_.size() - keep;
    // Only a suffix that could still start the echo is worth keeping.
    while (keep > 0 && received_.compare(drop, keep, echo_, 0, keep) != 0) {
      ++drop;
      --keep;
    }
    stale_.append(received_, 0, drop);
    received_.erase(0, drop);
    return;
  }
  stale_.append(received_, 0, at);
  received_.erase(0, at);
  echo_found_ = true;
}

bool ResponseFramer::Append(std::string_view chunk) {
  if (complete_) return true;
  std::size_t before = received_.size();
  if (chunk.size() > max_bytes_ - std::min(before, max_bytes_)) {
    throw AutomationError(err::Overflow, kLibrarySource,
                          "Response longer than " + std::to_string(max_bytes_) + " bytes.");
  }
  received_.append(chunk);
  if (!exact_) {
    echo_found_ = true;
  } else if (!echo_found_) {
    FindEcho(before);
    if (!echo_found_) return false;
    before = 0;  // the echo has just been found: search all that follows it
  }
  // A terminator found now must end inside the new chunk: it starts at most
  // (terminator length - 1) bytes before it, and never inside the echo.
  std::size_t overlap = terminator_.empty() ? 0 : terminator_.size() - 1;
  std::size_t from = std::max(start_, before > overlap ? before - overlap : 0);
  if (from > received_.size()) return false;
  std::size_t found = received_.find(terminator_, from);
  if (found == std::string::npos) return false;
  response_.assign(received_, start_, found - start_);
  if (strip_) StripCRLF(response_);
  complete_ = true;
  return true;
}

}  // namespace parley::detail
