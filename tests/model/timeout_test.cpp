#include "model/timeout.hpp"

#include <gtest/gtest.h>

#include "support/virtual_fixture.hpp"

namespace parley {
namespace {

using detail::KORTimeout;
using detail::Micros;
using detail::WaitSeconds;

class TimeoutTest : public testing::VirtualHostTest {
 protected:
  TimeoutTest() : VirtualHostTest(86400.0 - 5.0) {}  // five seconds before midnight
};

TEST_F(TimeoutTest, StartRefusesLengthsBelowOneSecond) {
  KORTimeout t(host());
  t.Start(2.0f);
  auto e = PARLEY_EXPECT_ERROR(t.Start(0.5f), err::InvalidPropertyValue);
  EXPECT_EQ(e.Source(), "KORTimeout");
  EXPECT_FLOAT_EQ(t.Length(), 2.0f);  // fields keep their old values
  t.Start(1.0f);
  EXPECT_FLOAT_EQ(t.Length(), 1.0f);
}

TEST_F(TimeoutTest, SurvivesMidnight) {
  KORTimeout t(host());
  t.Start(10.0f);
  host().Advance(Micros(5'000'000));
  EXPECT_NEAR(host().SecondsSinceMidnight(), 0.0, 1e-6);
  EXPECT_NEAR(t.TimeRemaining(), 5.0f, 0.02f);
  EXPECT_FALSE(t.Expired());
  host().Advance(Micros(4'900'000));
  EXPECT_FALSE(t.Expired());
  host().Advance(Micros(200'000));
  EXPECT_TRUE(t.Expired());
  host().Advance(Micros(60'000'000));
  EXPECT_EQ(t.TimeRemaining(), 0.0f);  // never negative
}

TEST_F(TimeoutTest, WaitSecondsOfZeroReturnsWithoutRunningTheLoop) {
  bool ran = false;
  host().Post([&] { ran = true; });
  WaitSeconds(host(), 0.0f);
  WaitSeconds(host(), -3.0f);
  EXPECT_FALSE(ran);
  EXPECT_EQ(host().elapsed_seconds(), 0.0);
}

TEST_F(TimeoutTest, WaitSecondsServicesTheLoopAndEndsOnTimeAcrossMidnight) {
  int ticks = 0;
  std::function<void()> tick = [&] {
    ++ticks;
    host().StartTimer(Micros(100'000), tick);
  };
  host().StartTimer(Micros(100'000), tick);
  WaitSeconds(host(), 7.0f);
  // Float seconds near midnight resolve to about 8 ms: the wait ends within that of 7 s.
  EXPECT_GE(host().elapsed_seconds(), 7.0 - 0.01);
  EXPECT_LE(host().elapsed_seconds(), 7.0 + 0.11);
  EXPECT_GE(ticks, 69);
}

// NTP, a change of summer time or a manual set moves the time of day; a running timeout and a
// running wait go on by elapsed time alone.
TEST_F(TimeoutTest, WallClockStepsNeitherEndNorStretchAWait) {
  KORTimeout t(host());
  t.Start(10.0f);
  host().StepWallClock(Micros(-3'600'000'000LL));  // back an hour
  EXPECT_NEAR(t.TimeRemaining(), 10.0f, 0.01f);
  host().StepWallClock(Micros(7'200'000'000LL));  // forward two
  EXPECT_NEAR(t.TimeRemaining(), 10.0f, 0.01f);

  host().StartTimer(Micros(1'000'000), [&] { host().StepWallClock(Micros(-3'600'000'000LL)); });
  host().StartTimer(Micros(2'000'000), [&] { host().StepWallClock(Micros(86'000'000'000LL)); });
  WaitSeconds(host(), 7.0f);
  EXPECT_NEAR(host().elapsed_seconds(), 7.0, 0.01);
  EXPECT_NEAR(t.TimeRemaining(), 3.0f, 0.01f);
}

}  // namespace
}  // namespace parley
