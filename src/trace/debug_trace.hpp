// The bounded debug trace: entries of what was sent, received and raised.
//
// Entry: "<date> <time>\t<TAG>\t<text>" with no separator between entries; line breaks are
// only those inside the texts. Kind 0 is the bare text. The buffer never exceeds its capacity:
// the oldest characters go first, and the cut may fall inside an entry.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

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
  const std::string& Buffer() const { return buffer_; }
  void Clear();

  static std::string Tag(int16_t kind);

 private:
  void NotifyMonitor();

  std::function<std::string()> date_time_;
  std::function<void()> on_update_;
  bool on_ = false;
  bool visible_ = false;
  bool notifying_ = false;
  int32_t size_ = kDefaultSize;
  std::string buffer_;
};

}  // namespace parley::detail
