// The virtual host for logic tests: a simulated clock that the host alone moves.
//
// Time stands still while code runs. When the code under test waits (WaitForEvent, Sleep),
// time jumps to the next due timer or to the end of the wait, whichever comes first, so a
// 480-second wait or a midnight crossing takes no real time. Simulated facilities schedule
// their deliveries as timers on this host.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <utility>

#include "host/host.hpp"

namespace parley::detail {

class VirtualHost : public Host {
 public:
  // The clock starts on 2026-01-01 at `start_seconds` after local midnight.
  explicit VirtualHost(double start_seconds = 12 * 3600.0);

  double SecondsSinceMidnight() override;
  double MonotonicSeconds() override { return now_ / 1e6; }
  std::string LocalDateTimeText() override;

  void Yield() override;
  void WaitForEvent(Micros max) override;
  void Post(std::function<void()> work) override;
  uint64_t StartTimer(Micros delay, std::function<void()> work) override;
  void CancelTimer(uint64_t id) override;
  bool TimerPending(uint64_t id) const override;
  void Sleep(Micros duration) override;

  std::unique_ptr<SerialPort> CreateSerialPort() override;
  std::unique_ptr<TcpClient> CreateTcpClient() override;

  // Virtual microseconds since the start of 2026-01-01.
  int64_t now() const { return now_; }
  double elapsed_seconds() const { return (now_ - start_) / 1e6; }
  // Steps the wall clock (time of day, date) by `d`, as NTP or a manual set does; the
  // monotonic clock and the timers are not moved.
  void StepWallClock(Micros d) { wall_offset_ += d.count(); }
  // Moves time on by `d`, running every timer that falls due on the way.
  void Advance(Micros d);

  std::function<std::unique_ptr<SerialPort>()> serial_factory;
  std::function<std::unique_ptr<TcpClient>()> tcp_factory;

 private:
  bool RunReady();
  int64_t NextDue() const;

  int64_t now_;
  int64_t wall_offset_ = 0;  // wall clock minus monotonic clock
  int64_t start_;
  std::deque<std::function<void()>> posted_;
  // Ordered by due time, then by start order, so equal deadlines fire first-come first-served.
  std::map<std::pair<int64_t, uint64_t>, std::function<void()>> timers_;
  std::map<uint64_t, int64_t> timer_due_;
  uint64_t next_timer_id_ = 1;
};

}  // namespace parley::detail
