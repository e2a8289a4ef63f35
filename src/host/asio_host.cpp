#include "host/asio_host.hpp"

#include <algorithm>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/post.hpp>
#include <chrono>
#include <ctime>
#include <thread>

#include "host/serial_port.hpp"
#include "host/tcp_client.hpp"

namespace parley::detail {

AsioHost::AsioHost() : work_(asio::make_work_guard(io_)) {}

AsioHost::~AsioHost() {
  for (auto& [id, timer] : timers_) timer->cancel();
  work_.reset();
}

double AsioHost::SecondsSinceMidnight() {
  auto now = std::chrono::system_clock::now();
  std::time_t t = std::chrono::system_clock::to_time_t(now);
  std::tm local{};
  localtime_r(&t, &local);
  auto since_second = now - std::chrono::system_clock::from_time_t(t);
  double fraction = std::chrono::duration<double>(since_second).count();
  return local.tm_hour * 3600.0 + local.tm_min * 60.0 + local.tm_sec + fraction;
}

// A trace entry takes the time of day to the second: the text is made once per second, not
// once per entry (the conversion to local time costs more than the rest of a trace write).
std::string AsioHost::LocalDateTimeText() {
  std::time_t t = std::time(nullptr);
  if (t == stamp_second_) return stamp_text_;
  std::tm local{};
  localtime_r(&t, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  stamp_second_ = t;
  stamp_text_ = text;
  return stamp_text_;
}

void AsioHost::Yield() {
  NestingGuard guard(*this);
  if (io_.stopped()) io_.restart();
  io_.poll();
  AfterPass();
}

namespace {
// Asio adds a bound to the clock's present value; a day keeps that sum far from overflow, and a
// longer wait simply makes another pass.
constexpr Micros kLongestBound = std::chrono::hours(24);
// Asio saturates a timer's expiry itself, but a far-away delay also goes through the clock's
// nanoseconds; a century is "never" for any timer of this library.
constexpr Micros kLongestDelay = std::chrono::hours(24 * 365 * 100);
}  // namespace

void AsioHost::WaitForEvent(Micros max) {
  NestingGuard guard(*this);
  max = std::min(max, kLongestBound);
  if (io_.stopped()) io_.restart();
  // One handler per call: a waiting loop checks its conditions after each and calls again,
  // when handlers already queued run without blocking. Polling for the rest at once would cost
  // a call into the kernel per wake-up that almost never finds anything.
  if (max.count() > 0) {
    io_.run_one_for(max);
  } else {
    io_.poll();
  }
  AfterPass();
}

std::shared_ptr<AsioHost::Watcher> AsioHost::Watch(Watcher watcher) {
  auto token = std::make_shared<Watcher>(std::move(watcher));
  std::erase_if(watchers_, [](const auto& w) { return w.expired(); });
  watchers_.push_back(token);
  return token;
}

// A snapshot: a watcher may open or close devices, and so add or drop watches, while it runs.
void AsioHost::AfterPass() {
  ++passes_;
  if (watchers_.empty()) return;
  auto snapshot = watchers_;
  for (const auto& weak : snapshot) {
    if (auto watcher = weak.lock()) (*watcher)();
  }
}

void AsioHost::Post(std::function<void()> work) { asio::post(io_, std::move(work)); }

uint64_t AsioHost::StartTimer(Micros delay, std::function<void()> work) {
  uint64_t id = next_timer_id_++;
  auto timer = std::make_unique<asio::steady_timer>(io_, std::min(delay, kLongestDelay));
  timer->async_wait([this, id, work = std::move(work)](const std::error_code& ec) {
    // A timer that was already due when cancelled has its completion queued with success; only
    // its entry tells that Cancel came first.
    if (ec || timers_.erase(id) == 0) return;
    work();
  });
  timers_.emplace(id, std::move(timer));
  return id;
}

void AsioHost::CancelTimer(uint64_t id) {
  auto it = timers_.find(id);
  if (it == timers_.end()) return;
  it->second->cancel();
  // The cancelled handler still holds nothing of ours but its captured copy of `work`; the
  // timer object may go now because Asio keeps the pending operation alive on its own.
  timers_.erase(it);
}

bool AsioHost::TimerPending(uint64_t id) const { return timers_.count(id) != 0; }

namespace {
struct ReadWatchState {
  ReadWatchState(asio::io_context& io, int fd, std::function<void()> f)
      : descriptor(io, fd), on_ready(std::move(f)) {}
  asio::posix::stream_descriptor descriptor;
  std::function<void()> on_ready;
  bool ended = false;
};

// Armed again before the handler runs: data arriving while it reads then announces itself to
// the new wait instead of falling between the two. Only the token owns the state, so a wait
// left in the loop after the watch ended finds nothing.
void ArmReadWatch(const std::shared_ptr<ReadWatchState>& state) {
  std::weak_ptr<ReadWatchState> weak = state;
  state->descriptor.async_wait(asio::posix::descriptor_base::wait_read,
                               [weak](const std::error_code& ec) {
                                 auto s = weak.lock();
                                 if (ec || !s || s->ended) return;
                                 ArmReadWatch(s);
                                 s->on_ready();
                               });
}
}  // namespace

std::shared_ptr<void> AsioHost::WatchReadable(int fd, std::function<void()> on_ready) {
  auto state = std::make_shared<ReadWatchState>(io_, fd, std::move(on_ready));
  // Registered before the first wait is armed: the kernel reports data already there to it.
  ArmReadWatch(state);
  return std::shared_ptr<void>(state.get(), [state](void*) {
    state->ended = true;
    std::error_code ignored;
    state->descriptor.cancel(ignored);
    static_cast<void>(state->descriptor.release());  // the descriptor stays the caller's
  });
}

void AsioHost::Sleep(Micros duration) { std::this_thread::sleep_for(duration); }

std::unique_ptr<SerialPort> AsioHost::CreateSerialPort() { return MakePosixSerialPort(*this); }
std::unique_ptr<TcpClient> AsioHost::CreateTcpClient() { return MakeAsioTcpClient(*this); }

std::unique_ptr<Host> MakeRealHost() { return std::make_unique<AsioHost>(); }

}  // namespace parley::detail
