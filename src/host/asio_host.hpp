// The real host: Asio's io_context as the loop, the local time of day as the clock.
#pragma once

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>
#include <ctime>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/host.hpp"

namespace parley::detail {

class AsioHost : public Host {
 public:
  AsioHost();
  ~AsioHost() override;

  double SecondsSinceMidnight() override;
  std::string LocalDateTimeText() override;

  void Yield() override;
  void WaitForEvent(Micros max) override;
  void Post(std::function<void()> work) override;
  uint64_t StartTimer(Micros delay, std::function<void()> work) override;
  void CancelTimer(uint64_t id) override;
  bool TimerPending(uint64_t id) const override;
  void Sleep(Micros duration) override;
  std::shared_ptr<void> WatchReadable(int fd, std::function<void()> on_ready) override;

  std::unique_ptr<SerialPort> CreateSerialPort() override;
  std::unique_ptr<TcpClient> CreateTcpClient() override;

  asio::io_context& io() { return io_; }

  // Devices read on readiness without an Asio operation of their own. Asio re-arms a
  // descriptor with a call into the kernel for every operation started on it, which a
  // command/answer exchange would pay once per answer. A watched device instead stays
  // registered for readiness (edge-triggered, as Asio registers every descriptor), and its
  // watcher runs after every pass of the loop and reads what is there; an answer then costs
  // the wait and one read. The watch ends when the returned token is dropped.
  using Watcher = std::function<void()>;
  [[nodiscard]] std::shared_ptr<Watcher> Watch(Watcher watcher);
  // Passes of the loop so far: a watcher that ran client code learns from it whether a nested
  // pass may have taken its device's readiness, and reads once more.
  uint64_t passes() const { return passes_; }

 private:
  // No single-thread concurrency hint: with it, work posted from inside a handler is queued
  // privately for that handler and a wait nested in the handler never sees it.
  asio::io_context io_;
  // Keeps run_one_for blocking for the full bound when nothing is queued.
  asio::executor_work_guard<asio::io_context::executor_type> work_;
  std::map<uint64_t, std::unique_ptr<asio::steady_timer>> timers_;
  uint64_t next_timer_id_ = 1;
  std::vector<std::weak_ptr<Watcher>> watchers_;
  uint64_t passes_ = 0;
  void AfterPass();
  std::time_t stamp_second_ = -1;  // the second LocalDateTimeText last converted
  std::string stamp_text_;
};

// One reading of a watched device, never re-entered from a handler's own pass of the loop.
// `read_once` makes one read and returns the bytes it took (0: nothing more, or reading must
// stop); another read follows a full buffer of `buffer_size`, and one follows a pass of the loop
// run meanwhile by the device's handlers, which may have taken its readiness without reading
// it. A handler's exception goes on to the caller after `resume` has posted the next read, so
// no bytes are left that no readiness will announce again.
template <class ReadOnce, class Resume>
void ReadWatched(AsioHost& host, bool& reading, std::size_t buffer_size, ReadOnce&& read_once,
                 Resume&& resume) {
  if (reading) return;
  reading = true;
  struct Done {
    bool& reading;
    ~Done() { reading = false; }
  } done{reading};
  for (;;) {
    uint64_t passes = host.passes();
    std::size_t n = 0;
    try {
      n = read_once();
    } catch (...) {
      resume();
      throw;
    }
    if (n == 0 || (n < buffer_size && host.passes() == passes)) return;
  }
}

// The facilities of the real host, each in its own source file.
std::unique_ptr<SerialPort> MakePosixSerialPort(AsioHost& host);
std::unique_ptr<TcpClient> MakeAsioTcpClient(AsioHost& host);

}  // namespace parley::detail
