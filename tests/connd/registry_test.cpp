// The service's rules: the grant queue, the holder's signals, locks, bounds and the listing.
#include "registry.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "arbiter/service_manager.hpp"

namespace parley::connd {
namespace {

using detail::manager::Kind;
using P = std::pair<uint64_t, uint32_t>;
const std::string kDev = "/dev/pts/5";

class RegistryTest : public ::testing::Test {
 public:  // the cases' tables reach in too
  void SetUp() override {
    r.AddClient(1, 101, "alpha");
    r.AddClient(2, 102, "beta");
    r.AddClient(3, 103, "gamma");
  }
  std::vector<Outgoing> Send(uint64_t client, Kind kind, uint32_t id, std::string text = {},
                             uint8_t flag = 0) {
    return r.Handle(client, Message{kind, id, flag, std::move(text)}, now);
  }
  // Each of the three clients opens connection 1 of kDev.
  void OpenAll() {
    for (uint64_t c : {1, 2, 3}) Send(c, Kind::Open, 1, kDev);
  }
  // `client` asks, is granted and acquires, so that it holds the device.
  void Hold(uint64_t client, uint32_t id = 1) {
    Send(client, Kind::Request, id);
    Send(client, Kind::Acquired, id);
  }
  // The (client, id) pairs of the messages of `kind` in `out`.
  static std::vector<P> To(const std::vector<Outgoing>& out, Kind kind) {
    std::vector<P> to;
    for (const auto& o : out) {
      if (o.message.kind == kind) to.emplace_back(o.client, o.message.id);
    }
    return to;
  }
  static const Message* Find(const std::vector<Outgoing>& out, Kind kind) {
    for (const auto& o : out) {
      if (o.message.kind == kind) return &o.message;
    }
    return nullptr;
  }
  std::string Field(const std::string& name) const {
    std::string text = r.StatusText();
    auto at = text.find("\t" + name + "=");
    if (at == std::string::npos) return "";
    at += name.size() + 2;
    return text.substr(at, text.find_first_of("\t\n", at) - at);
  }
  Registry r;
  double now = 100;
};

TEST_F(RegistryTest, AFreeDeviceIsGrantedAtOnceAndThenGoesRoundTheQueueInOrder) {
  OpenAll();
  auto out = Send(1, Kind::Request, 1);
  EXPECT_EQ(Find(out, Kind::Holder)->text, "");
  EXPECT_EQ(To(out, Kind::Grant), (std::vector<P>{{1, 1}}));
  out = Send(1, Kind::Acquired, 1);
  EXPECT_TRUE(To(out, Kind::Signal).empty());  // nobody waits

  out = Send(3, Kind::Request, 1);
  EXPECT_EQ(Find(out, Kind::Holder)->text, "101:alpha");
  EXPECT_EQ(To(out, Kind::Signal), (std::vector<P>{{1, 1}}));
  now += 0.6;
  Send(2, Kind::Request, 1);
  Send(3, Kind::Request, 1);  // asking again keeps gamma's place before beta
  EXPECT_EQ(Field("holder"), "101:alpha");
  EXPECT_EQ(Field("waiting"), "103:gamma,102:beta");

  out = Send(1, Kind::Released, 1);
  EXPECT_EQ(To(out, Kind::Grant), (std::vector<P>{{3, 1}}));
  EXPECT_EQ(Field("holder"), "-");
  // A new holder while others wait is told at once, so it yields after its exchange.
  out = Send(3, Kind::Acquired, 1);
  EXPECT_EQ(To(out, Kind::Signal), (std::vector<P>{{3, 1}}));
  EXPECT_EQ(Field("waiting"), "102:beta");
  out = Send(3, Kind::Released, 1);
  EXPECT_EQ(To(out, Kind::Grant), (std::vector<P>{{2, 1}}));
  // Unopened connections arbitrate nothing.
  EXPECT_TRUE(Send(3, Kind::Request, 77).empty());
}

TEST_F(RegistryTest, AGrantNotTakenWithinItsTimePassesOnAndTheLateOneQueuesAgainAtTheEnd) {
  OpenAll();
  Hold(1);
  Send(2, Kind::Request, 1);
  Send(3, Kind::Request, 1);
  EXPECT_FALSE(r.NextDeadline());  // no timer while nothing is granted
  auto out = Send(1, Kind::Released, 1);
  EXPECT_EQ(To(out, Kind::Grant), (std::vector<P>{{2, 1}}));
  ASSERT_TRUE(r.NextDeadline());
  EXPECT_DOUBLE_EQ(*r.NextDeadline(), now + Registry::kGrantSeconds);

  EXPECT_TRUE(r.Tick(now + Registry::kGrantSeconds - 0.01).empty());
  now += Registry::kGrantSeconds;
  out = r.Tick(now);
  EXPECT_EQ(To(out, Kind::Grant), (std::vector<P>{{3, 1}}));
  EXPECT_EQ(Field("waiting"), "103:gamma");
  Send(2, Kind::Request, 1);
  EXPECT_EQ(Field("waiting"), "103:gamma,102:beta");
  Send(3, Kind::Acquired, 1);
  EXPECT_FALSE(r.NextDeadline());
  // The last one lapsing leaves the device free and nobody granted.
  Send(3, Kind::Released, 1);
  now += Registry::kGrantSeconds;
  EXPECT_TRUE(r.Tick(now).empty());
  EXPECT_EQ(Field("waiting"), "-");
  EXPECT_FALSE(r.NextDeadline());
}

TEST_F(RegistryTest, EveryWayTheHolderLeavesGrantsTheFirstWaiterAtOnce) {
  struct Case {
    const char* how;
    std::function<std::vector<Outgoing>(RegistryTest&)> leave;
  };
  const Case cases[] = {
      {"released", [](RegistryTest& t) { return t.Send(1, Kind::Released, 1); }},
      {"closed", [](RegistryTest& t) { return t.Send(1, Kind::Close, 1); }},
      {"gone", [](RegistryTest& t) { return t.r.RemoveClient(1, t.now); }},
      {"id reused", [](RegistryTest& t) { return t.Send(1, Kind::Open, 1, "/dev/pts/9"); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.how);
    r = Registry();
    SetUp();
    OpenAll();
    Hold(1);
    Send(2, Kind::Request, 1);
    Send(3, Kind::Request, 1);
    EXPECT_EQ(To(c.leave(*this), Kind::Grant), (std::vector<P>{{2, 1}}));
  }
}

TEST_F(RegistryTest, AWaiterThatLeavesLosesItsGrantToTheNext) {
  OpenAll();
  Hold(1);
  Send(2, Kind::Request, 1);
  Send(3, Kind::Request, 1);
  Send(1, Kind::Released, 1);  // granted to beta
  auto out = r.RemoveClient(2, now);
  EXPECT_EQ(To(out, Kind::Grant), (std::vector<P>{{3, 1}}));
}

TEST_F(RegistryTest, ARequestStormSignalsTheHolderAtMostTwiceASecond) {
  OpenAll();
  Hold(1);
  int signals = 0;
  for (int i = 0; i < 100; ++i) {  // two waiters asking every 10 ms for a second
    for (uint64_t c : {2, 3})
      signals += static_cast<int>(To(Send(c, Kind::Request, 1), Kind::Signal).size());
    now += 0.01;
  }
  EXPECT_GE(signals, 1);
  EXPECT_LE(signals, 3);
  now += Registry::kSignalSeconds;
  EXPECT_EQ(To(Send(2, Kind::Request, 1), Kind::Signal), (std::vector<P>{{1, 1}}));
}

TEST_F(RegistryTest, AcquiringAFreeDeviceWithoutAGrantMakesTheHolderAndVoidsTheGrant) {
  OpenAll();
  Hold(1);
  Send(2, Kind::Request, 1);
  Send(1, Kind::Released, 1);             // granted to beta, which has not opened yet
  auto out = Send(3, Kind::Acquired, 1);  // gamma found the device free first
  EXPECT_EQ(Field("holder"), "103:gamma");
  EXPECT_EQ(To(out, Kind::Signal), (std::vector<P>{{3, 1}}));  // beta still waits
  EXPECT_FALSE(r.NextDeadline());
  // Beta keeps its place and is granted when gamma is done.
  EXPECT_EQ(To(Send(3, Kind::Released, 1), Kind::Grant), (std::vector<P>{{2, 1}}));
}

TEST_F(RegistryTest, ClientsRegisteringAgainAfterARestartResumeWhereTheyStood) {
  Send(2, Kind::Open, 1, kDev, detail::manager::kOpenWaiting);
  auto out = Send(1, Kind::Open, 1, kDev, detail::manager::kOpenHolding);
  EXPECT_EQ(To(out, Kind::Signal), (std::vector<P>{{1, 1}}));  // beta already waits
  out = Send(2, Kind::Request, 1);
  EXPECT_EQ(Find(out, Kind::Holder)->text, "101:alpha");
  EXPECT_TRUE(To(out, Kind::Grant).empty());
  EXPECT_EQ(Field("waiting"), "102:beta");
}

TEST_F(RegistryTest, ALockKeepsOtherProgramsOutAndEndsWithItsClient) {
  r.AddClient(4, 104, "lock-tool");
  Send(1, Kind::Open, 1, kDev);
  auto out = Send(4, Kind::Lock, 0, kDev, 1);
  EXPECT_EQ(To(out, Kind::LockState), (std::vector<P>{{1, 1}}));
  EXPECT_EQ(Find(out, Kind::LockState)->flag, 1);
  EXPECT_EQ(Find(out, Kind::LockResult)->flag, 1);
  out = Send(2, Kind::Open, 1, kDev);  // opened while locked: locked from the start
  EXPECT_EQ(Find(out, Kind::Opened)->flag, 1);
  out = Send(3, Kind::Lock, 0, kDev, 1);
  EXPECT_EQ(Find(out, Kind::LockResult)->flag, 0);
  EXPECT_EQ(Find(out, Kind::LockResult)->text, "already locked by 104:lock-tool");
  EXPECT_EQ(Field("lock"), "104:lock-tool");

  out = r.RemoveClient(4, now);  // the tool ended (or was killed)
  EXPECT_EQ(To(out, Kind::LockState), (std::vector<P>{{1, 1}, {2, 1}}));
  for (const auto& o : out) EXPECT_EQ(o.message.flag, 0);
  EXPECT_EQ(Field("lock"), "-");
  // A lock on a device nobody uses ends with its tool too, leaving nothing listed.
  r.AddClient(5, 105, "other");
  Send(5, Kind::Lock, 0, "/dev/ttyS0", 1);
  r.RemoveClient(5, now);
  EXPECT_EQ(r.StatusText().find("ttyS0"), std::string::npos);
}

TEST_F(RegistryTest, TheLockOwnersProgramIsNotLockedOutAndAnyoneMayUnlock) {
  r.AddClient(4, 101, "alpha");  // alpha's own lock connection: same pid
  Send(1, Kind::Open, 1, kDev);
  Send(2, Kind::Open, 1, kDev);
  auto out = Send(4, Kind::Lock, 0, kDev, 1);
  for (const auto& o : out) {
    if (o.message.kind == Kind::LockState) {
      EXPECT_EQ(o.message.flag, o.client == 1 ? 0 : 1);
    }
  }
  EXPECT_EQ(Find(Send(1, Kind::Open, 2, kDev), Kind::Opened)->flag, 0);
  out = Send(3, Kind::Lock, 0, kDev, 0);  // a person clearing the lock from elsewhere
  EXPECT_EQ(Find(out, Kind::LockResult)->flag, 1);
  EXPECT_EQ(To(out, Kind::LockState).size(), 3u);
  for (const auto& o : out) {
    if (o.message.kind == Kind::LockState) {
      EXPECT_EQ(o.message.flag, 0);
    }
  }
}

TEST_F(RegistryTest, BeyondItsBoundsAClientIsRefused) {
  const std::string longest(detail::manager::kMaxDevicePath, 'p');
  struct Case {
    const char* what;
    Kind kind;
    std::string text;
    uint8_t flag;
  };
  for (const Case& c :
       {Case{"open", Kind::Open, longest + "p", 0}, Case{"lock", Kind::Lock, longest + "p", 1},
        Case{"reset", Kind::Reset, longest + "p", 0}}) {
    SCOPED_TRACE(c.what);
    auto out = Send(1, c.kind, 1, c.text, c.flag);
    ASSERT_TRUE(Find(out, Kind::Refused));
    EXPECT_NE(Find(out, Kind::Refused)->text.find("device path longer than 4096"),
              std::string::npos);
  }
  EXPECT_FALSE(Find(Send(1, Kind::Open, 1, longest), Kind::Refused));

  for (uint32_t id = 1; id <= Registry::kMaxConnections; ++id) Send(2, Kind::Open, id, kDev);
  EXPECT_FALSE(Find(Send(2, Kind::Open, 7, "/dev/pts/6"), Kind::Refused));  // a reused id
  auto out = Send(2, Kind::Open, 9999, kDev);
  ASSERT_TRUE(Find(out, Kind::Refused));
  EXPECT_EQ(Find(out, Kind::Refused)->text, "more than 256 open connections");
  EXPECT_FALSE(Find(out, Kind::Opened));

  for (std::size_t i = 0; i < Registry::kMaxLocks; ++i) {
    Send(3, Kind::Lock, 0, "/dev/lock" + std::to_string(i), 1);
  }
  out = Send(3, Kind::Lock, 0, "/dev/one-more", 1);
  ASSERT_TRUE(Find(out, Kind::Refused));
  EXPECT_EQ(Find(out, Kind::Refused)->text, "more than 64 locks");
  Send(3, Kind::Lock, 0, "/dev/lock0", 0);  // an unlock makes room
  EXPECT_EQ(Find(Send(3, Kind::Lock, 0, "/dev/one-more", 1), Kind::LockResult)->flag, 1);

  for (uint64_t c = 4; c <= Registry::kMaxClients; ++c) {
    EXPECT_TRUE(r.AddClient(c, static_cast<pid_t>(c), "p"));
  }
  EXPECT_FALSE(r.AddClient(Registry::kMaxClients + 1, 1, "one too many"));
  r.RemoveClient(4, now);
  EXPECT_TRUE(r.AddClient(Registry::kMaxClients + 1, 1, "room again"));
}

TEST_F(RegistryTest, ResetReachesTheOthersAndADepartedClientLeavesNothingBehind) {
  Send(1, Kind::Open, 1, kDev);
  Send(2, Kind::Open, 2, kDev);
  auto out = Send(1, Kind::Reset, 0, kDev);
  EXPECT_EQ(To(out, Kind::NotifyReset), (std::vector<P>{{2, 2}}));
  Hold(2, 2);
  Send(1, Kind::Request, 1);
  out = r.RemoveClient(2, now);
  EXPECT_EQ(To(out, Kind::Grant), (std::vector<P>{{1, 1}}));
  r.RemoveClient(1, now);
  EXPECT_EQ(r.clients(), 1u);
  EXPECT_EQ(r.StatusText(), "");
}

TEST_F(RegistryTest, TheListingEscapesPathsAndComesInAsManyPartsAsItNeeds) {
  r.AddClient(5, 105, "bad,name:\twith spaces");
  const std::string odd = "/dev/odd\\name\twith\nbreaks\r\x01\x7f\xc3\xa9";
  Send(1, Kind::Open, 1, odd);
  Send(5, Kind::Open, 1, odd);
  Hold(1);
  Send(5, Kind::Request, 1);
  EXPECT_EQ(r.StatusText(),
            "/dev/odd\\\\name\\twith\\nbreaks\\r\\x01\\x7F\\xC3\\xA9\tlock=-\tholder=101:alpha"
            "\twaiting=105:bad_name__with_spaces\tusers=101:alpha,105:bad_name__with_spaces\n");

  // Enough devices for several frames; the parts joined are the whole listing.
  for (int i = 0; i < 200; ++i) {
    Send(2, Kind::Open, 100 + i, "/dev/long/" + std::string(120, 'x') + std::to_string(i));
  }
  auto out = Send(3, Kind::Status, 0);
  ASSERT_GE(out.size(), 3u);
  std::string joined;
  for (std::size_t i = 0; i < out.size(); ++i) {
    EXPECT_EQ(out[i].message.kind, Kind::StatusText);
    EXPECT_LE(out[i].message.text.size(), detail::manager::kMaxBody - detail::manager::kFixedBody);
    EXPECT_EQ(out[i].message.flag, i + 1 < out.size() ? 1 : 0);
    joined += out[i].message.text;
  }
  EXPECT_EQ(joined, r.StatusText());
  auto devices = detail::ParseStatus(joined);
  ASSERT_EQ(devices.size(), 201u);
  auto it = std::find_if(devices.begin(), devices.end(),
                         [&](const ManagedDevice& d) { return d.device == odd; });
  ASSERT_NE(it, devices.end());
  ASSERT_TRUE(it->holder);
  EXPECT_EQ(it->holder->pid, 101);
  ASSERT_EQ(it->waiting.size(), 1u);
  EXPECT_EQ(it->waiting[0].name, "bad_name__with_spaces");
  EXPECT_EQ(it->users.size(), 2u);
  // An empty listing is still one answer.
  Registry empty;
  empty.AddClient(1, 1, "a");
  out = empty.Handle(1, Message{Kind::Status, 0, 0, {}}, now);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].message.flag, 0);
}

}  // namespace
}  // namespace parley::connd
