// Cancel() is final on every host: a timer cancelled before its call runs never runs, even when
// it was already due and its completion waits in the loop's queue.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <ostream>
#include <thread>

#include "host/host.hpp"
#include "parley/loop.hpp"
#include "support/virtual_host.hpp"

namespace parley {
namespace {

using std::chrono::milliseconds;

struct HostKind {
  const char* name;
  std::function<std::shared_ptr<detail::Host>()> make;
  friend void PrintTo(const HostKind& kind, std::ostream* os) { *os << kind.name; }
};

class TimerCancelTest : public ::testing::TestWithParam<HostKind> {};

TEST_P(TimerCancelTest, TimerCancelledByAnotherDueAtTheSameMomentNeverRuns) {
  detail::ScopedHost scoped(GetParam().make());
  for (int trial = 0; trial < 50; ++trial) {
    int first_ran = 0;
    int second_ran = 0;
    EventLoop::Timer second;
    EventLoop::ScheduleAfter(milliseconds(1), [&] {
      ++first_ran;
      second.Cancel();
    });
    second = EventLoop::ScheduleAfter(milliseconds(1), [&] { ++second_ran; });
    // On the real clock both are overdue before the loop looks: their completions queue together.
    std::this_thread::sleep_for(milliseconds(3));
    EventLoop::RunFor(milliseconds(10));
    ASSERT_EQ(first_ran, 1) << "trial " << trial;
    ASSERT_EQ(second_ran, 0) << "trial " << trial;
    EXPECT_FALSE(second.Pending());
  }
}

TEST_P(TimerCancelTest, TimerCancelledBeforeItIsDueNeverRunsAndOthersStillDo) {
  detail::ScopedHost scoped(GetParam().make());
  bool cancelled_ran = false;
  bool kept_ran = false;
  auto cancelled = EventLoop::ScheduleAfter(milliseconds(5), [&] { cancelled_ran = true; });
  auto kept = EventLoop::ScheduleAfter(milliseconds(5), [&] { kept_ran = true; });
  cancelled.Cancel();
  cancelled.Cancel();  // a second cancel is harmless
  EventLoop::RunFor(milliseconds(20));
  EXPECT_FALSE(cancelled_ran);
  EXPECT_TRUE(kept_ran);
  EXPECT_FALSE(kept.Pending());
}

INSTANTIATE_TEST_SUITE_P(
    Hosts, TimerCancelTest,
    ::testing::Values(
        HostKind{"Real", [] { return std::shared_ptr<detail::Host>(detail::MakeRealHost()); }},
        HostKind{
            "Virtual",
            [] { return std::shared_ptr<detail::Host>(std::make_shared<detail::VirtualHost>()); }}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace parley
