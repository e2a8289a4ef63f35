#include "parley/progress.hpp"

#include <gtest/gtest.h>

#include "model/access.hpp"
#include "model/progress_update.hpp"

namespace parley {
namespace {

using detail::ProgressAccess;
using detail::UpdateProgress;

TEST(ProgressTest, HaltIsOnlyRememberedDuringAHaltableStage) {
  KORProgress p;
  p.Halt();
  EXPECT_FALSE(UpdateProgress(p, "Waiting for echo", 9, 9, true));
  p.Halt();
  EXPECT_TRUE(UpdateProgress(p, "Waiting for echo", 9, 8, true));
  // Stays requested across stages until acknowledged.
  EXPECT_TRUE(UpdateProgress(p, "", 0, 0, false));
}

TEST(ProgressTest, UpdateIsRaisedOnceOnlyWhenSomethingChanged) {
  KORProgress p;
  int updates = 0;
  p.Update.connect([&] { ++updates; });
  UpdateProgress(p, "", 0, 0, false);
  EXPECT_EQ(updates, 0);
  UpdateProgress(p, "Transmitting", 0, 0, false);
  EXPECT_EQ(updates, 1);
  UpdateProgress(p, "Waiting for response", 10, 9, true);
  EXPECT_EQ(updates, 2);
  EXPECT_EQ(p.status(), "Waiting for response");
  EXPECT_EQ(p.max(), 10);
  EXPECT_EQ(p.Value(), 9);
  EXPECT_TRUE(p.HaltEnabled());
  UpdateProgress(p, "waiting for response", 10, 9, true);  // case counts
  EXPECT_EQ(updates, 3);
}

TEST(ProgressTest, HaltFromUpdateHandlerIsReportedBySameCall) {
  KORProgress p;
  int seen_value = -1;
  p.Update.connect([&] {
    seen_value = p.Value();  // all four fields hold their new values already
    p.Halt();
  });
  EXPECT_TRUE(UpdateProgress(p, "Waiting for port", 15, 14, true));
  EXPECT_EQ(seen_value, 14);
}

TEST(ProgressTest, AckHaltClearsBeforeHaltAckRuns) {
  KORProgress p;
  UpdateProgress(p, "Waiting for echo", 9, 9, true);
  p.Halt();
  bool requested_in_handler = true;
  int acks = 0;
  p.HaltAck.connect([&] {
    ++acks;
    requested_in_handler = ProgressAccess::HaltRequested(p);
  });
  ProgressAccess::AckHalt(p);
  EXPECT_EQ(acks, 1);
  EXPECT_FALSE(requested_in_handler);
}

TEST(ProgressTest, HandlersMayDisconnectThemselvesAndOthers) {
  KORProgress p;
  std::vector<int> calls;
  Connection first, second;
  first = p.Update.connect([&] {
    calls.push_back(1);
    first.disconnect();
    second.disconnect();
  });
  second = p.Update.connect([&] { calls.push_back(2); });
  p.Update.connect([&] {
    calls.push_back(3);
    p.Update.connect([&] { calls.push_back(4); });  // joins from the next round
  });
  ProgressAccess::RaiseUpdate(p);
  EXPECT_EQ(calls, (std::vector<int>{1, 3}));
  calls.clear();
  ProgressAccess::RaiseUpdate(p);
  EXPECT_EQ(calls, (std::vector<int>{3, 4}));
  EXPECT_FALSE(first.connected());
}

TEST(ProgressTest, CountdownRoundsHalvesToEven) {
  EXPECT_EQ(detail::RoundToInt16(8.5), 8);
  EXPECT_EQ(detail::RoundToInt16(9.5), 10);
  EXPECT_EQ(detail::RoundToInt16(8.51), 9);
  EXPECT_EQ(detail::RoundToInt16(1e9), 32767);
}

}  // namespace
}  // namespace parley
