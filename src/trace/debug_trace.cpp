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
  // The date is read for every kind, as the entry is always built before it is filtered.
  std::string stamp = date_time_();
  if (!on_) return;
  std::string entry = kind == kTraceBare ? text : stamp + "\t" + Tag(kind) + "\t" + text;
  auto capacity = static_cast<std::size_t>(size_);
  if (entry.size() + buffer_.size() <= capacity) {
    buffer_ += entry;
  } else if (entry.size() >= capacity) {
    // An entry longer than the whole buffer keeps its newest characters, filling it exactly.
    buffer_.assign(entry, entry.size() - capacity, capacity);
  } else {
    std::size_t keep = capacity - entry.size();
    buffer_ = buffer_.substr(buffer_.size() - keep) + entry;
  }
  NotifyMonitor();
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
  buffer_.clear();
  Write(kTraceBare, "");
}

}  // namespace parley::detail
