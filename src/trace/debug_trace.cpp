#include "trace/debug_trace.hpp"

#include "model/access.hpp"

namespace parley::detail {

std::string DebugTrace::Tag(int16_t kind) {
  switch (kind) {
    case kTraceWrite:
      return "WRIT";
    case kTraceRead:
      return "READ";
    case kTraceError:
      return "ERRR";
    default:
      return "UNKN";
  }
}

void DebugTrace::Write(int16_t kind, const std::string& text) {
  if (!on_) return;  // nothing recorded, nothing raised: no need for the date either
  if (kind == kTraceBare) {
    Append({}, text);
  } else {
    std::string prefix = date_time_();
    prefix += '\t';
    prefix += Tag(kind);
    prefix += '\t';
    Append(prefix, text);
  }
  NotifyMonitor();
}

// Appends prefix + text and keeps the last Size() characters of the result; only what can be
// kept is copied, so an entry longer than the whole buffer costs the buffer's size, not its own.
void DebugTrace::Append(std::string_view prefix, std::string_view text) {
  auto capacity = static_cast<std::size_t>(size_);
  std::size_t entry = prefix.size() + text.size();
  if (entry >= capacity) {
    std::size_t skip = entry - capacity;
    store_.clear();
    begin_ = 0;
    if (skip < prefix.size()) store_.append(prefix.substr(skip));
    store_.append(text.substr(skip > prefix.size() ? skip - prefix.size() : 0));
    return;
  }
  store_.append(prefix);
  store_.append(text);
  std::size_t kept = store_.size() - begin_;
  if (kept > capacity) begin_ += kept - capacity;
  // The dropped front is cut off once it is longer than what is kept: each character is moved
  // at most once per capacity's worth of writes.
  if (begin_ > store_.size() - begin_) Compact();
}

void DebugTrace::Compact() const {
  store_.erase(0, begin_);
  begin_ = 0;
}

const std::string& DebugTrace::Buffer() const {
  if (begin_ != 0) Compact();
  return store_;
}

void DebugTrace::NotifyMonitor() {
  // Entries written by the handler itself (a refused call's error, say) are recorded but not
  // announced again: each would re-enter the handler, without bound.
  if (!visible_ || !on_update_ || notifying_) return;
  notifying_ = true;
  struct Reset {
    bool& flag;
    ~Reset() { flag = false; }
  } reset{notifying_};
  on_update_();
}

void DebugTrace::SetSize(int32_t size) {
  if (size < kMinSize) throw DirectError(err::DebugBufferTooSmall, "KORInterface");
  if (size > kMaxSize) throw DirectError(err::DebugBufferTooBig, "KORInterface");
  size_ = size;
}

void DebugTrace::Clear() {
  store_.clear();
  begin_ = 0;
  Write(kTraceBare, "");
}

}  // namespace parley::detail
