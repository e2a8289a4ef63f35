// Records that belong to a thread: refused elsewhere once claimed, free before.
#include <gtest/gtest.h>

#include <functional>
#include <thread>
#include <vector>

#include "model/access.hpp"
#include "model/progress_update.hpp"
#include "parley/progress.hpp"
#include "parley/transaction.hpp"

namespace parley {
namespace {

// Runs each call on a thread of its own; true for each that failed with error 5.
std::vector<bool> RefusedElsewhere(const std::vector<std::function<void()>>& calls) {
  std::vector<bool> refused;
  for (const auto& call : calls) {
    bool failed = false;
    std::thread([&] {
      try {
        call();
      } catch (const AutomationError& e) {
        failed = e.Number() == err::InvalidCall;
      }
    }).join();
    refused.push_back(failed);
  }
  return refused;
}

TEST(ThreadOwnerTest, AClaimedRecordIsRefusedElsewhereAndKeepsItsValues) {
  KORTransaction t;
  t.cmd("VER?");
  EXPECT_EQ(RefusedElsewhere({[&] { t.RespTimeout(30); }}), std::vector<bool>{false});
  detail::TransactionAccess::Claim(t);
  std::vector<uint8_t> out;
  auto refused = RefusedElsewhere({
      [&] { t.cmd("X"); },
      [&] { (void)t.resp(); },
      [&] { t.RespExpect(false); },
      [&] {
        t.ByteCmd({1, 2});
      },
      [&] { t.GetByteArrResp(out); },
      [&] { t.IsCmdTypeString(false); },
      [&] { t = KORTransaction(); },
      [&] { detail::TransactionAccess::Claim(t); },
  });
  EXPECT_EQ(refused, std::vector<bool>(8, true));
  EXPECT_EQ(t.cmd(), "VER?");
  EXPECT_EQ(t.RespTimeout(), 30);
  EXPECT_TRUE(t.RespExpect() && t.IsCmdTypeString());
  KORTransaction copy = t;  // a new record: no thread yet
  EXPECT_EQ(RefusedElsewhere({[&] { copy.cmd("Y"); }}), std::vector<bool>{false});
}

TEST(ThreadOwnerTest, AClaimedProgressTakesHaltsFromAnyThreadAndNothingElse) {
  KORProgress p;
  detail::ProgressAccess::Claim(p);
  detail::UpdateProgress(p, "Waiting for echo", 5, 5, true);
  auto refused = RefusedElsewhere({
      [&] { (void)p.status(); },
      [&] { (void)p.Value(); },
      [&] { p.Update.connect([] {}); },
      [&] { p.HaltAck.connect([] {}); },
      [&] {
        if (p.HaltEnabled()) p.Halt();
      },
  });
  EXPECT_EQ(refused, (std::vector<bool>{true, true, true, true, false}));
  EXPECT_EQ(p.Update.handler_count(), 0u);
  EXPECT_TRUE(detail::ProgressAccess::HaltRequested(p));
}

}  // namespace
}  // namespace parley
