#include "support/virtual_host.hpp"

#include <gtest/gtest.h>

#include <vector>

#include "host/interval_timer.hpp"
#include "parley/loop.hpp"
#include "support/virtual_fixture.hpp"

namespace parley {
namespace {

using detail::Micros;

class VirtualHostBehaviour : public testing::VirtualHostTest {};

TEST_F(VirtualHostBehaviour, TimersFireInDueOrderThenStartOrder) {
  std::vector<int> order;
  host().StartTimer(Micros(300), [&] { order.push_back(3); });
  host().StartTimer(Micros(100), [&] { order.push_back(1); });
  host().StartTimer(Micros(100), [&] { order.push_back(2); });
  host().Yield();
  EXPECT_TRUE(order.empty());  // not due yet: a yield never moves time
  host().Advance(Micros(1000));
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST_F(VirtualHostBehaviour, WaitJumpsToTheNextDueEventOrTheBound) {
  bool fired = false;
  host().StartTimer(Micros(4'000'000), [&] { fired = true; });
  host().WaitForEvent(Micros(1'000'000));
  EXPECT_FALSE(fired);
  EXPECT_DOUBLE_EQ(host().elapsed_seconds(), 1.0);
  host().WaitForEvent(Micros(60'000'000));
  EXPECT_TRUE(fired);
  EXPECT_DOUBLE_EQ(host().elapsed_seconds(), 4.0);
}

TEST_F(VirtualHostBehaviour, HugeDelaysAndWaitsSaturate) {
  bool fired = false;
  auto never = EventLoop::ScheduleAfter(std::chrono::milliseconds::max(), [&] { fired = true; });
  host().StartTimer(Micros::max(), [&] { fired = true; });
  EventLoop::RunFor(std::chrono::hours(1));
  EXPECT_FALSE(fired);
  EXPECT_TRUE(never.Pending());
  EXPECT_NEAR(host().elapsed_seconds(), 3600.0, 1e-3);
  // A wait bounded only by "for ever" jumps to the far timer and keeps the clock ordered.
  host().WaitForEvent(Micros::max());
  host().Sleep(Micros::max());
  EXPECT_GT(host().now(), 0);
}

TEST_F(VirtualHostBehaviour, CancelledTimerNeverRuns) {
  bool fired = false;
  auto id = host().StartTimer(Micros(10), [&] { fired = true; });
  EXPECT_TRUE(host().TimerPending(id));
  host().CancelTimer(id);
  EXPECT_FALSE(host().TimerPending(id));
  host().Advance(Micros(100));
  EXPECT_FALSE(fired);
}

TEST_F(VirtualHostBehaviour, PublicLoopRunsOnTheThreadsHost) {
  int posted = 0;
  EventLoop::Post([&] { ++posted; });
  auto timer = EventLoop::ScheduleAfter(std::chrono::milliseconds(480'000), [&] { ++posted; });
  EXPECT_TRUE(timer.Pending());
  EventLoop::Poll();
  EXPECT_EQ(posted, 1);
  EventLoop::RunFor(std::chrono::milliseconds(480'001));
  EXPECT_EQ(posted, 2);
  EXPECT_FALSE(timer.Pending());
  EXPECT_NEAR(host().elapsed_seconds(), 480.001, 1e-3);
}

TEST_F(VirtualHostBehaviour, IntervalTimerTicksWhileEnabled) {
  detail::IntervalTimer timer(host());
  int ticks = 0;
  timer.OnTick = [&] {
    if (++ticks == 5) timer.Enabled(false);  // a tick may stop its own timer
  };
  timer.Enabled(true);
  host().Advance(Micros(1'000'000));
  EXPECT_EQ(ticks, 5);
  EXPECT_NEAR(host().elapsed_seconds(), 1.0, 1e-9);
  timer.Enabled(true);
  host().Advance(Micros(19'000));
  EXPECT_EQ(ticks, 5);  // a fresh enable waits a whole interval
  host().Advance(Micros(1'000));
  EXPECT_EQ(ticks, 6);
}

// An idle timer schedules nothing (a waiting thread is not woken); Resume after work appeared
// ticks on the interval until the work is done, and then the timer falls silent again.
TEST_F(VirtualHostBehaviour, IdleIntervalTimerSleepsUntilResumed) {
  detail::IntervalTimer timer(host());
  int work = 0;
  int ticks = 0;
  timer.Idle = [&] { return work == 0; };
  timer.OnTick = [&] {
    ++ticks;
    if (work > 0) --work;
  };
  timer.Enabled(true);
  EXPECT_FALSE(timer.TickPending());
  host().Advance(Micros(1'000'000));
  EXPECT_EQ(ticks, 0);
  work = 2;
  timer.Resume();
  timer.Resume();  // a second call schedules no second tick
  host().Advance(Micros(19'000));
  EXPECT_EQ(ticks, 0);  // the first tick still comes a whole interval after the resume
  host().Advance(Micros(1'000));
  EXPECT_EQ(ticks, 1);
  host().Advance(Micros(20'000));
  EXPECT_EQ(ticks, 2);
  EXPECT_EQ(work, 0);
  host().Advance(Micros(1'000'000));
  EXPECT_LE(ticks, 3);  // at most the one tick that was due when the last work was taken
  EXPECT_FALSE(timer.TickPending());
  work = 1;
  timer.Enabled(false);
  timer.Resume();  // a disabled timer stays silent
  EXPECT_FALSE(timer.TickPending());
}

TEST_F(VirtualHostBehaviour, RunawayNestedWaitsFailInsteadOfOverflowing) {
  int depth = 0;
  bool refused = false;
  std::function<void()> nest = [&] {
    ++depth;
    host().Post(nest);
    try {
      host().WaitForEvent(Micros(1));
    } catch (const AutomationError& e) {
      EXPECT_EQ(e.Number(), err::InvalidCall);
      refused = true;
    }
  };
  host().Post(nest);
  host().Yield();
  EXPECT_TRUE(refused);
  EXPECT_EQ(depth, EventLoop::kMaxNesting);
  EXPECT_EQ(host().nesting(), 0);
}

}  // namespace
}  // namespace parley
