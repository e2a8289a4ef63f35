// The bounded debug trace: entries of what was sent, received and raised.
//
// Entry: "<date> <time>\t<TAG>\t<text>" with no separator between entries; line breaks are
// only those inside the texts. Kind 0 is the bare text. The buffer never exceeds its capacity:
// the oldest characters go first, and the cut may fall inside an entry.
//
// Cost: a write costs O(entry), also when the buffer is full. The entry is appended to a store
// that may run ahead of the buffer by up to its own length; the dropped front is cut off in one
// move only once it outweighs what is kept, so every character is moved a bounded number of
// times. The date and time are read only while recording: with recording off a write does
// nothing at all.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace parley::detail {

class Host;

enum TraceKind : int16_t { kTraceBare = 0, kTraceWrite = 1, kTraceRead = 2, kTraceError = 3 };

class DebugTrace {
 public:
  static constexpr int32_t kMinSize = 100;
  static constexpr int32_t kMaxSize = 64000;
  static constexpr int32_t kDefaultSize = 5000;

  // `on_update` is raised after each write while the monitor is visible.
  DebugTrace(std::function<std::string()> date_time, std::function<void()> on_update)
      : date_time_(std::move(date_time)), on_update_(std::move(on_update)) {}

  void Write(int16_t kind, const std::string& text);

  void MonitorOn() { on_ = true; }
  void MonitorOff() { on_ = false; }
  void Show() { visible_ = true; }
  void Hide() { visible_ = false; }
  bool Visible() const { return visible_; }

  int32_t Size() const { return size_; }
  // Throws DebugBufferTooSmall / DebugBufferTooBig directly; the buffer is cut at the next write.
  void SetSize(int32_t size);
  // The recorded text (at most Size() characters once a write has cut it).
  const std::string& Buffer() const;
  void Clear();

  static std::string Tag(int16_t kind);

 private:
  void NotifyMonitor();
  void Append(std::string_view prefix, std::string_view text);
  void Compact() const;

  std::function<std::string()> date_time_;
  std::function<void()> on_update_;
  bool on_ = false;
  bool visible_ = false;
  bool notifying_ = false;
  int32_t size_ = kDefaultSize;
  // The buffer is store_ from begin_ on; Buffer() drops the front before handing it out.
  mutable std::string store_;
  mutable std::size_t begin_ = 0;
};

}  // namespace parley::detail
