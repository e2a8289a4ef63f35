// The real host: waits block in the kernel and wake for the next event.
#include "host/asio_host.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <ctime>
#include <stdexcept>
#include <thread>
#include <vector>

#include "parley/loop.hpp"

namespace parley {
namespace {

using detail::Micros;
using Clock = std::chrono::steady_clock;

double CpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

TEST(AsioHostTest, WaitEndsAtTheBoundWithoutBurningCpu) {
  detail::AsioHost host;
  auto start = Clock::now();
  double cpu = CpuSeconds();
  host.WaitForEvent(Micros(200'000));
  auto waited = Clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(190));
  // A spinning wait would use about 0.2 s of CPU; a blocking one almost none.
  EXPECT_LT(CpuSeconds() - cpu, 0.05);
}

TEST(AsioHostTest, TimerWakesAWaitEarly) {
  detail::AsioHost host;
  bool fired = false;
  host.StartTimer(Micros(20'000), [&] { fired = true; });
  auto start = Clock::now();
  host.WaitForEvent(Micros(5'000'000));
  EXPECT_TRUE(fired);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
}

TEST(AsioHostTest, CancelledTimerNeverRunsAndWaitsMayNestInHandlers) {
  detail::AsioHost host;
  bool cancelled_ran = false;
  auto id = host.StartTimer(Micros(1'000), [&] { cancelled_ran = true; });
  host.CancelTimer(id);
  bool inner = false;
  host.Post([&] {
    host.StartTimer(Micros(1'000), [&] { inner = true; });
    host.WaitForEvent(Micros(1'000'000));  // a nested wait inside a handler
  });
  // One handler a pass: the cancelled timer's completion may take the first.
  for (int pass = 0; pass < 3 && !inner; ++pass) host.WaitForEvent(Micros(1'000'000));
  EXPECT_TRUE(inner);
  host.WaitForEvent(Micros(10'000));
  EXPECT_FALSE(cancelled_ran);
}

TEST(AsioHostTest, WorkPostedFromAHandlerRunsInAWaitNestedThere) {
  detail::ScopedHost scoped(detail::MakeRealHost());
  bool inner_ran = false;
  bool seen_by_run_for = false;
  bool seen_by_poll = false;
  EventLoop::Post([&] {
    EventLoop::Post([&] { inner_ran = true; });
    EventLoop::RunFor(std::chrono::milliseconds(20));
    seen_by_run_for = inner_ran;
    inner_ran = false;
    EventLoop::Post([&] { inner_ran = true; });
    EventLoop::Poll();
    seen_by_poll = inner_ran;
  });
  EventLoop::RunFor(std::chrono::milliseconds(50));
  EXPECT_TRUE(seen_by_run_for);
  EXPECT_TRUE(seen_by_poll);
}

TEST(AsioHostTest, HugeDelaysSaturateInsteadOfFiringAtOnce) {
  detail::ScopedHost scoped(detail::MakeRealHost());
  bool fired = false;
  auto never = EventLoop::ScheduleAfter(std::chrono::milliseconds::max(), [&] { fired = true; });
  auto far = EventLoop::ScheduleAfter(std::chrono::hours(24 * 365 * 1000), [&] { fired = true; });
  EventLoop::RunFor(std::chrono::milliseconds(30));
  EXPECT_FALSE(fired);
  EXPECT_TRUE(never.Pending());
  EXPECT_TRUE(far.Pending());
  never.Cancel();
  far.Cancel();
  EventLoop::Poll();  // the cancellations' own completions
  // A bound far beyond a day still waits (here until the timer), not at once nor for ever.
  auto& host = scoped.host();
  bool soon = false;
  host.StartTimer(Micros(10'000), [&] { soon = true; });
  host.WaitForEvent(Micros::max());
  EXPECT_TRUE(soon);
}

TEST(AsioHostTest, ClockIsTheLocalTimeOfDay) {
  detail::AsioHost host;
  std::time_t t = std::time(nullptr);
  std::tm local{};
  localtime_r(&t, &local);
  double expected = local.tm_hour * 3600.0 + local.tm_min * 60.0 + local.tm_sec;
  double got = host.SecondsSinceMidnight();
  // Tolerates the second ticking over (and midnight) between the two readings.
  EXPECT_TRUE(std::abs(got - expected) < 2.0 || std::abs(got - expected) > 86398.0);
  EXPECT_EQ(host.LocalDateTimeText().size(), 19u);
}

// A pipe for the watch tests, closed at the end.
struct Pipe {
  int fds[2] = {-1, -1};
  Pipe() { EXPECT_EQ(pipe(fds), 0); }
  ~Pipe() {
    close(fds[0]);
    close(fds[1]);
  }
  void Put(char c) const { EXPECT_EQ(write(fds[1], &c, 1), 1); }
  std::string TakeAll() const {  // the read end is drained by the handler, as required
    char buf[64];
    ssize_t n = read(fds[0], buf, sizeof buf);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
  }
};

TEST(ReadWatchTest, AnotherThreadsWriteWakesTheWaitOnTheWatchingThread) {
  Pipe p;
  p.Put('a');  // before the watch: reported once when the loop next runs
  std::vector<std::string> seen;
  std::vector<std::thread::id> threads;
  auto watch = EventLoop::WatchReadable(p.fds[0], [&] {
    seen.push_back(p.TakeAll());
    threads.push_back(std::this_thread::get_id());
  });
  EventLoop::Poll();
  ASSERT_EQ(seen, std::vector<std::string>{"a"});

  std::thread writer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    p.Put('b');
  });
  auto start = Clock::now();
  while (seen.size() < 2 && Clock::now() - start < std::chrono::seconds(5)) {
    detail::CurrentHost().WaitForEvent(Micros(5'000'000));  // ends after one handler
  }
  writer.join();
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));  // woken, not the bound
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[1], "b");
  EXPECT_EQ(threads[1], std::this_thread::get_id());

  watch.Cancel();
  p.Put('c');
  EventLoop::RunFor(std::chrono::milliseconds(20));
  EXPECT_EQ(seen.size(), 2u);   // an ended watch runs nothing
  EXPECT_EQ(p.TakeAll(), "c");  // and leaves the descriptor open
}

TEST(ReadWatchTest, AHandlersExceptionLeavesTheWaitAndTheWatchGoesOn) {
  Pipe p;
  int calls = 0;
  auto watch = EventLoop::WatchReadable(p.fds[0], [&] {
    p.TakeAll();
    if (++calls == 1) throw std::runtime_error("from the watch");
  });
  EventLoop::Poll();  // nothing there: nothing runs
  EXPECT_EQ(calls, 0);
  p.Put('x');
  EXPECT_THROW(EventLoop::RunFor(std::chrono::seconds(5)), std::runtime_error);
  p.Put('y');
  EventLoop::RunFor(std::chrono::milliseconds(50));
  EXPECT_EQ(calls, 2);
}

}  // namespace
}  // namespace parley
