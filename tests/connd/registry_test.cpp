// The service's rules: who is signalled, locks, departures and the listing.
#include "registry.hpp"

#include <gtest/gtest.h>

namespace parley::connd {
namespace {

using detail::manager::Kind;

class RegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    r.AddClient(1, 101, "alpha");
    r.AddClient(2, 102, "beta");
    r.AddClient(3, 103, "gamma");
  }
  std::vector<Outgoing> Send(uint64_t client, Kind kind, uint32_t id, std::string text = {},
                             uint8_t flag = 0) {
    return r.Handle(client, Message{kind, id, flag, std::move(text)}, now);
  }
  // The (client, id) pairs of the messages of `kind` in `out`.
  static std::vector<std::pair<uint64_t, uint32_t>> To(const std::vector<Outgoing>& out,
                                                       Kind kind) {
    std::vector<std::pair<uint64_t, uint32_t>> to;
    for (const auto& o : out) {
      if (o.message.kind == kind) to.emplace_back(o.client, o.message.id);
    }
    return to;
  }
  Registry r;
  double now = 100;
};

TEST_F(RegistryTest, ARequestSignalsEveryOtherConnectionOfThatDeviceOnly) {
  Send(1, Kind::Open, 1, "/dev/pts/5");
  Send(2, Kind::Open, 9, "/dev/pts/5");
  Send(2, Kind::Open, 10, "/dev/pts/5");  // a second interface of the same program
  Send(3, Kind::Open, 1, "/dev/pts/6");
  auto out = Send(1, Kind::Request, 1);
  using P = std::pair<uint64_t, uint32_t>;
  EXPECT_EQ(To(out, Kind::Signal), (std::vector<P>{{2, 9}, {2, 10}}));
  out = Send(2, Kind::Request, 9);
  EXPECT_EQ(To(out, Kind::Signal), (std::vector<P>{{1, 1}, {2, 10}}));
  // Unopened connections arbitrate nothing.
  EXPECT_TRUE(Send(3, Kind::Request, 77).empty());
}

TEST_F(RegistryTest, ALockHoldsForEveryProgramUntilUnlockedAndOutlivesItsTool) {
  Send(1, Kind::Open, 1, "/dev/pts/5");
  auto out = Send(3, Kind::Lock, 0, "/dev/pts/5", 1);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].client, 1u);
  EXPECT_EQ(out[0].message.kind, Kind::LockState);
  EXPECT_EQ(out[0].message.flag, 1);
  EXPECT_EQ(out[1].message.kind, Kind::LockResult);
  EXPECT_EQ(out[1].message.flag, 1);
  r.RemoveClient(3);
  EXPECT_TRUE(r.AnyLocks());
  // Opened later: locked from the start. Another locker is refused.
  out = Send(2, Kind::Open, 4, "/dev/pts/5");
  EXPECT_EQ(out[0].message.kind, Kind::Opened);
  EXPECT_EQ(out[0].message.flag, 1);
  out = Send(2, Kind::Lock, 0, "/dev/pts/5", 1);
  EXPECT_EQ(out.back().message.flag, 0);
  EXPECT_NE(out.back().message.text.find("103:gamma"), std::string::npos);
  // A new client that got the departed locker's pid inherits nothing: only unlocking helps.
  r.AddClient(4, 103, "gamma");
  out = Send(4, Kind::Open, 1, "/dev/pts/5");
  EXPECT_EQ(out[0].message.flag, 1);
  out = Send(2, Kind::Lock, 0, "/dev/pts/5", 0);
  EXPECT_EQ(To(out, Kind::LockState).size(), 3u);
  for (const auto& o : out) {
    if (o.message.kind == Kind::LockState) {
      EXPECT_EQ(o.message.flag, 0);
    }
  }
  EXPECT_FALSE(r.AnyLocks());
}

TEST_F(RegistryTest, AProgramThatLocksForItselfIsNotLockedOut) {
  Send(1, Kind::Open, 1, "/dev/pts/5");
  Send(2, Kind::Open, 1, "/dev/pts/5");
  auto out = Send(1, Kind::Lock, 0, "/dev/pts/5", 1);
  for (const auto& o : out) {
    if (o.message.kind == Kind::LockState) {
      EXPECT_EQ(o.message.flag, o.client == 1 ? 0 : 1);
    }
  }
}

TEST_F(RegistryTest, ResetReachesTheOthersAndADepartedClientLeavesNothingBehind) {
  Send(1, Kind::Open, 1, "/dev/pts/5");
  Send(2, Kind::Open, 2, "/dev/pts/5");
  auto out = Send(1, Kind::Reset, 0, "/dev/pts/5");
  using P = std::pair<uint64_t, uint32_t>;
  EXPECT_EQ(To(out, Kind::NotifyReset), (std::vector<P>{{2, 2}}));
  Send(2, Kind::Request, 2);
  r.RemoveClient(2);
  EXPECT_TRUE(Send(1, Kind::Request, 1).empty());  // nobody left to signal
  r.RemoveClient(1);
  EXPECT_EQ(r.clients(), 1u);
  EXPECT_EQ(r.StatusText(now), "");
}

TEST_F(RegistryTest, TheListingNamesHolderWaitersAndUsers) {
  r.AddClient(5, 105, "bad,name:\twith spaces");
  Send(1, Kind::Open, 1, "/dev/pts/5");
  Send(2, Kind::Open, 1, "/dev/pts/5");
  Send(5, Kind::Open, 1, "/dev/pts/5");
  Send(2, Kind::Request, 1);
  now += 0.5;
  Send(1, Kind::Request, 1);  // alpha now holds, beta still waits
  auto out = Send(3, Kind::Status, 0);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].message.text,
            "/dev/pts/5\tlock=-\tholder=101:alpha\twaiting=102:beta\t"
            "users=101:alpha,102:beta,105:bad_name__with_spaces\n");
  now += Registry::kWaitingSeconds + 1;  // beta's request is old: no longer waiting
  EXPECT_NE(r.StatusText(now).find("waiting=-"), std::string::npos);
}

}  // namespace
}  // namespace parley::connd
