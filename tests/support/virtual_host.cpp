#include "support/virtual_host.hpp"

#include <cmath>
#include <cstdio>
#include <limits>

#include "host/serial_port.hpp"
#include "host/tcp_client.hpp"

namespace parley::detail {
namespace {
constexpr int64_t kMicrosPerDay = 86400LL * 1000000LL;
}

VirtualHost::VirtualHost(double start_seconds)
    : now_(static_cast<int64_t>(std::llround(start_seconds * 1e6))), start_(now_) {}

double VirtualHost::SecondsSinceMidnight() {
  int64_t wall = now_ + wall_offset_;
  return (((wall % kMicrosPerDay) + kMicrosPerDay) % kMicrosPerDay) / 1e6;
}

std::string VirtualHost::LocalDateTimeText() {
  int64_t wall = now_ + wall_offset_;
  int64_t day = wall / kMicrosPerDay;  // days after 2026-01-01; January is enough for tests
  int64_t secs = (wall % kMicrosPerDay) / 1000000;
  char text[32];
  std::snprintf(text, sizeof text, "2026-01-%02d %02d:%02d:%02d", static_cast<int>(1 + day % 31),
                static_cast<int>(secs / 3600), static_cast<int>(secs / 60 % 60),
                static_cast<int>(secs % 60));
  return text;
}

bool VirtualHost::RunReady() {
  bool ran = false;
  // Work posted by these handlers waits for the next pass, as on a real loop.
  std::size_t count = posted_.size();
  for (std::size_t i = 0; i < count && !posted_.empty(); ++i) {
    auto work = std::move(posted_.front());
    posted_.pop_front();
    work();
    ran = true;
  }
  while (!timers_.empty() && timers_.begin()->first.first <= now_) {
    auto node = timers_.extract(timers_.begin());
    timer_due_.erase(node.key().second);
    node.mapped()();
    ran = true;
  }
  return ran;
}

int64_t VirtualHost::NextDue() const {
  if (!posted_.empty()) return now_;
  if (timers_.empty()) return std::numeric_limits<int64_t>::max();
  return timers_.begin()->first.first;
}

void VirtualHost::Yield() {
  NestingGuard guard(*this);
  RunReady();
}

void VirtualHost::WaitForEvent(Micros max) {
  NestingGuard guard(*this);
  if (RunReady()) return;
  int64_t end = AddSaturated(now_, max.count());
  int64_t due = NextDue();
  now_ = due < end ? due : end;
  RunReady();
}

void VirtualHost::Advance(Micros d) {
  int64_t end = AddSaturated(now_, d.count());
  for (;;) {
    int64_t due = NextDue();
    if (due > end) break;
    now_ = due > now_ ? due : now_;
    RunReady();
  }
  now_ = end;
}

void VirtualHost::Post(std::function<void()> work) { posted_.push_back(std::move(work)); }

uint64_t VirtualHost::StartTimer(Micros delay, std::function<void()> work) {
  uint64_t id = next_timer_id_++;
  int64_t due = AddSaturated(now_, delay.count() > 0 ? delay.count() : 0);
  timers_.emplace(std::make_pair(due, id), std::move(work));
  timer_due_.emplace(id, due);
  return id;
}

void VirtualHost::CancelTimer(uint64_t id) {
  auto it = timer_due_.find(id);
  if (it == timer_due_.end()) return;
  timers_.erase({it->second, id});
  timer_due_.erase(it);
}

bool VirtualHost::TimerPending(uint64_t id) const { return timer_due_.count(id) != 0; }

void VirtualHost::Sleep(Micros duration) { now_ = AddSaturated(now_, duration.count()); }

std::unique_ptr<SerialPort> VirtualHost::CreateSerialPort() {
  return serial_factory ? serial_factory() : nullptr;
}

std::unique_ptr<TcpClient> VirtualHost::CreateTcpClient() {
  return tcp_factory ? tcp_factory() : nullptr;
}

}  // namespace parley::detail
