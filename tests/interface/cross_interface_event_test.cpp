// Two interfaces on one thread share its loop: an event of one that arrives while the other's
// operation waits is the first one's business. It is raised there, and its handler's exception
// never ends the other's operation.
#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>

#include "parley/interface.hpp"
#include "parley/loop.hpp"
#include "support/sim_tcp_client.hpp"
#include "support/transactions.hpp"
#include "support/virtual_fixture.hpp"

namespace parley {
namespace {

using detail::Micros;

// Interfaces A and B, each connected to a unit of its own; B's unit answers after 50 ms.
class CrossInterfaceEventTest : public testing::VirtualHostTest {
 protected:
  CrossInterfaceEventTest()
      : unit_a(std::make_shared<detail::SimTcpUnit>(host())),
        unit_b(std::make_shared<detail::SimTcpUnit>(host())) {
    unit_b->address = "192.0.2.11";
    host().tcp_factory = [this] { return detail::MakeSimTcpClient(next_unit); };
    Connect(a, unit_a);
    Connect(b, unit_b);
    unit_b->reaction.answer_delay = Micros(50'000);
  }
  void Connect(KORInterface& i, const std::shared_ptr<detail::SimTcpUnit>& unit) {
    unit->answers["PING"] = "PONG";
    next_unit = unit;
    i.commMode(korCommModeEther);
    i.RemoteHostIpAddress(unit->address);
    i.openPort();
    auto t = testing::Text("PING");
    i.Transact(t);
  }
  // B's query, during which A's connection is reset by its unit.
  std::string QueryBWhileAIsReset() {
    unit_a->ResetConnection(Micros(10'000));
    auto t = testing::Text("PING");
    b.Transact(t);
    return t.resp();
  }

  std::shared_ptr<detail::SimTcpUnit> unit_a, unit_b, next_unit;
  KORInterface a, b;
};

TEST_F(CrossInterfaceEventTest, IdleResetOfOneIsRaisedWhileTheOthersWaitRunsTheLoop) {
  int resets_a = 0, resets_b = 0;
  auto ra = a.portReset.connect([&] { ++resets_a; });
  auto rb = b.portReset.connect([&] { ++resets_b; });
  EXPECT_EQ(QueryBWhileAIsReset(), "PONG");
  EXPECT_EQ(resets_a, 1);
  EXPECT_EQ(resets_b, 0);
  EXPECT_FALSE(a.IsPortOpen());
  EXPECT_TRUE(b.IsPortOpen());
}

TEST_F(CrossInterfaceEventTest, ThrowingHandlerOfOneNeverEndsTheOthersQuery) {
  a.DebugMonitorOn();
  auto ra = a.portReset.connect([] { throw std::logic_error("A's handler"); });
  std::string answer;
  EXPECT_NO_THROW(answer = QueryBWhileAIsReset());
  EXPECT_EQ(answer, "PONG");
  EXPECT_FALSE(b.Busy());
  // A's exception is A's: its next call raises it, once, and A is usable afterwards.
  EXPECT_THROW(a.openPort(), std::logic_error);
  EXPECT_FALSE(a.IsPortOpen());
  a.openPort();
  EXPECT_TRUE(a.IsPortOpen());
  EXPECT_NE(a.DebugBuffGet().find("A's handler"), std::string::npos);
}

}  // namespace
}  // namespace parley
