// Obtaining, waiting for and giving up the shared serial port.
#include <gtest/gtest.h>

#include "serial/serial_fixture.hpp"

namespace parley {
namespace {

using detail::Micros;

class PortArbiterTest : public testing::SerialLinkTest {
 protected:
  void HeldByOtherFor(double seconds) {
    auto c = connection();
    c->HeldByOtherFor(seconds);
    unit->held_elsewhere = [c] { return c->HeldByOther(); };
  }
};

TEST_F(PortArbiterTest, FreePortIsOpenedAtOnceWithoutWaiting) {
  Run("A");
  EXPECT_EQ(Count("Requesting port"), 1);
  EXPECT_EQ(Count("Waiting for port"), 0);
  EXPECT_EQ(connection()->request_times.size(), 1u);
  Run("B");  // held: no second request
  EXPECT_EQ(connection()->request_times.size(), 1u);
}

TEST_F(PortArbiterTest, PortGivenUpAfterSomeSecondsIsAwaitedWithARequestEachSecond) {
  HeldByOtherFor(3.5);
  EXPECT_EQ(Run("A").resp(), "OK");
  auto& times = connection()->request_times;
  ASSERT_EQ(times.size(), 5u);  // the first request, then one after each failed opening
  for (std::size_t i = 1; i < times.size(); ++i) EXPECT_NEAR(times[i] - times[i - 1], 1.0, 0.01);
  EXPECT_EQ(unit->refused_opens, 4);
  EXPECT_EQ(Count("Waiting for port"), 1);  // one stage, counting down
}

TEST_F(PortArbiterTest, PortNeverGivenUpFailsAfterFifteenSeconds) {
  HeldByOtherFor(1e9);
  auto e = PARLEY_EXPECT_ERROR(Run("A"), err::CouldNotGetCommPort);
  EXPECT_EQ(e.Description(), "Couldn't get COMM port.");
  EXPECT_NEAR(host().elapsed_seconds(), 15.0, 1.01);
  EXPECT_FALSE(unit->port_open());
  EXPECT_TRUE(unit->wire.empty());
  // Not held: the next transaction asks again.
  connection()->HeldByOtherFor(0);
  Run("B");
  EXPECT_EQ(Count("Requesting port"), 2);
}

TEST_F(PortArbiterTest, HaltWhileWaitingForThePort) {
  HeldByOtherFor(1e9);
  auto halt = progress->Update.connect([&] {
    if (progress->status() == "Waiting for port") progress->Halt();
  });
  PARLEY_EXPECT_ERROR(Run("A"), err::UserCanceled);
  halt.disconnect();
  EXPECT_LT(host().elapsed_seconds(), 2.0);
}

TEST_F(PortArbiterTest, NotifySignalWhileIdleClosesThePortAtOnce) {
  Run("A");
  ASSERT_TRUE(unit->port_open());
  connection()->Signal();
  EXPECT_FALSE(unit->port_open());
  Run("B");
  EXPECT_EQ(Count("Requesting port"), 2);
}

TEST_F(PortArbiterTest, NotifySignalDuringAnExchangeReleasesAfterItWithAPause) {
  unit->reaction.answer_delay = Micros(2'000'000);
  bool signalled = false;
  auto signal = progress->Update.connect([&] {
    if (!signalled && progress->status() == "Waiting for response") {
      signalled = true;
      connection()->Signal();
      EXPECT_TRUE(unit->port_open());  // not under the running exchange
    }
  });
  EXPECT_EQ(Run("A").resp(), "OK");
  signal.disconnect();
  EXPECT_FALSE(unit->port_open());
  EXPECT_NEAR(host().elapsed_seconds(), 2.0 + 1.0, 0.1);
}

TEST_F(PortArbiterTest, NotifySignalWithoutThePortAndNotifyResetChangeNothing) {
  iface.openPort();
  connection()->Signal();  // not held
  int resets = 0;
  auto link = iface.portReset.connect([&] { ++resets; });
  Run("A");
  connection()->Reset();
  EXPECT_EQ(resets, 1);
  EXPECT_TRUE(unit->port_open());
  link.disconnect();
}

}  // namespace
}  // namespace parley
