// A plain TCP instrument (no greeting, no echo, any port) on the virtual clock.
#include <gtest/gtest.h>

#include <string>

#include "parley/errors.hpp"
#include "parley/interface.hpp"
#include "parley/loop.hpp"
#include "support/sim_tcp_client.hpp"
#include "support/transactions.hpp"
#include "support/virtual_fixture.hpp"

namespace parley {
namespace {

using detail::Micros;

class PlainTcpTest : public testing::VirtualHostTest {
 protected:
  PlainTcpTest() : unit(std::make_shared<detail::SimTcpUnit>(host())) {
    host().tcp_factory = [u = unit] { return detail::MakeSimTcpClient(u); };
    unit->port = 5025;
    unit->greeting.reset();
    unit->cmd_term = "\n";
    unit->reaction.echo = false;
    unit->reaction.resp_term = "\n";
    iface.commMode(korCommModeEther);
    iface.PlainInstrument(true);
    iface.RemoteHostIpAddress(unit->address);
    iface.RemotePortNumber("5025");
    iface.CmdTerm("\n");
    iface.RespTerm("\n");
  }
  KORTransaction Query(const std::string& cmd, int32_t timeout_ms = 1000) {
    if (!iface.IsPortOpen()) iface.openPort();
    auto t = testing::Text(cmd);
    t.RespTimeoutMs(timeout_ms);
    iface.Transact(t);
    return t;
  }
  std::shared_ptr<detail::SimTcpUnit> unit;
  KORInterface iface;
};

TEST_F(PlainTcpTest, AnswersWithoutGreetingOrEchoOnAnyPortCutAnywhere) {
  unit->answers["*IDN?"] = "PSU,7,2.1";
  std::string reply = "PSU,7,2.1\n";
  for (std::size_t cut = 1; cut < reply.size(); ++cut) {
    unit->reaction.cuts = {cut};
    EXPECT_EQ(Query("*IDN?").resp(), "PSU,7,2.1") << "cut at " << cut;
  }
  EXPECT_EQ(unit->connects.size(), 1u);
  EXPECT_EQ(unit->sends.back(), "*IDN?\n");
  EXPECT_LT(host().elapsed_seconds(), 1.0);
}

TEST_F(PlainTcpTest, ALateAnswerIsNeverTakenForTheNextCommand) {
  unit->next.push_back(unit->reaction);
  unit->next.back().answer_delay = Micros(600'000);  // after the 200 ms timeout below
  unit->answers["A?"] = "a";
  EXPECT_THROW(Query("A?", 200), AutomationError);
  EventLoop::RunFor(std::chrono::milliseconds(1000));  // the late answer arrives while idle
  unit->answers["B?"] = "b";
  EXPECT_EQ(Query("B?").resp(), "b");
  EXPECT_EQ(unit->wire, "A?\nB?\n");  // nothing sent twice
}

TEST_F(PlainTcpTest, AnInstrumentClosingMidAnswerFailsAtOnceWithTheReason) {
  unit->reaction.answer = std::string(100, 'v');
  unit->reaction.close_after = 40;
  EXPECT_THROW(Query("DATA?", 10'000), AutomationError);
  EXPECT_LT(host().elapsed_seconds(), 1.0);
  EXPECT_NE(iface.LastLinkError().find("closed"), std::string::npos) << iface.LastLinkError();
}

TEST_F(PlainTcpTest, PortsPastTheUnitsRangeAreForPlainInstrumentsOnly) {
  unit->port = 65000;
  iface.RemotePortNumber("65000");
  unit->answers["V?"] = "1";
  EXPECT_EQ(Query("V?").resp(), "1");
  iface.closePort();
  iface.PlainInstrument(false);
  iface.openPort();
  auto t = testing::Text("V?");
  try {
    iface.Transact(t);
    FAIL();
  } catch (const AutomationError& e) {
    EXPECT_EQ(e.Number(), err::TcpPortOutOfRange);
  }
}

}  // namespace
}  // namespace parley
