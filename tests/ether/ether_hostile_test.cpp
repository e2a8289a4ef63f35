// The Ethernet link against hostile simulated units on the virtual clock: over-long answers,
// units that stop reading, answers nobody asked for, refused settings.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "ether/ether_link.hpp"
#include "parley/interface.hpp"
#include "parley/loop.hpp"
#include "support/sim_tcp_client.hpp"
#include "support/trace_texts.hpp"
#include "support/transactions.hpp"
#include "support/virtual_fixture.hpp"

namespace parley {
namespace {

using testing::Bytes;
using testing::Text;

using detail::EtherLink;

class EtherHostileTest : public testing::VirtualHostTest {
 protected:
  EtherHostileTest() : unit(std::make_shared<detail::SimTcpUnit>(host())) {
    host().tcp_factory = [u = unit] { return detail::MakeSimTcpClient(u); };
    iface.commMode(korCommModeEther);
    iface.RemoteHostIpAddress(unit->address);
    iface.DebugMonitorOn();
    iface.DebugBuffSizeSet(64000);
  }
  std::vector<std::string> Errors() { return testing::TraceTexts(iface.DebugBuffGet(), "ERRR"); }

  std::shared_ptr<detail::SimTcpUnit> unit;
  KORInterface iface;
};

TEST_F(EtherHostileTest, AnAnswerPastTheBoundFailsAtOnceInBothModesAndNeverLeavesAGap) {
  for (bool text : {true, false}) {
    SCOPED_TRACE(text ? "text" : "bytes");
    iface.openPort();
    auto t = text ? Text("BIG") : Bytes("BIG");
    unit->next.push_back(detail::AnswerPastBound(5, EtherLink::kMaxResponseBytes));
    double start = host().elapsed_seconds();
    PARLEY_EXPECT_ERROR(iface.Transact(t), err::EtherTerminatorNotFound);
    EXPECT_LT(host().elapsed_seconds() - start, 1.0);  // not by the 10 s timeout
    EXPECT_TRUE(t.resp().empty());
    EXPECT_LE(t.ByteArrRespStrVal().size(), 1u);
    EXPECT_EQ(unit->resets, text ? 1 : 2);  // the rest of that answer cannot reach the next call
    // The next call connects anew and is answered in step.
    auto again = text ? Text("VER?") : Bytes("VER?");
    iface.Transact(again);
    EXPECT_EQ(text ? again.resp() : again.ByteArrRespStrVal(), text ? "OK" : "VER?\r\nOK");
    iface.closePort();
  }
  EXPECT_EQ(unit->connects.size(), 4u);
}

TEST_F(EtherHostileTest, ATimedOutCommandIsNeverDeliveredLaterAndTheNextCallReconnects) {
  iface.openPort();
  auto warm = Text("VER?");
  iface.Transact(warm);
  unit->reading = false;
  unit->ResumeReading(std::chrono::seconds(15));  // after the call has failed
  auto t = Text(std::string(1024 * 1024, 'x'));
  PARLEY_EXPECT_ERROR(iface.Transact(t), err::EtherTerminatorNotFound);
  EXPECT_EQ(unit->resets, 1);
  EXPECT_EQ(unit->unsent, 0u);
  auto errors = Errors();
  EXPECT_TRUE(std::any_of(errors.begin(), errors.end(), [](const std::string& e) {
    return e.find("1048578 unsent bytes of the failed command dropped") != std::string::npos;
  }));
  EventLoop::RunFor(std::chrono::seconds(10));
  EXPECT_EQ(unit->sends.size(), 1u);  // only the first command ever reached the unit
  iface.Transact(warm);
  EXPECT_EQ(warm.resp(), "OK");
  EXPECT_EQ(unit->connects.size(), 2u);
  EXPECT_EQ(unit->sends.back(), "VER?\r\n");
}

TEST_F(EtherHostileTest, AUnitThatNeverReadsHoldsAtMostOneCommandQueued) {
  iface.openPort();
  auto warm = Text("VER?");
  iface.Transact(warm);
  unit->reading = false;
  const std::size_t size = 4 * 1024 * 1024;
  for (int i = 0; i < 12; ++i) {
    auto t = Text(std::string(size, 'x'), 10);
    // The first call times out with its command queued; each later one connects anew and
    // meets a unit that no longer greets.
    if (i == 1) unit->greeting = std::nullopt;
    PARLEY_EXPECT_ERROR(iface.Transact(t), err::EtherTerminatorNotFound);
    EXPECT_EQ(unit->unsent, 0u);
  }
  EXPECT_EQ(unit->most_unsent, size + 2);
}

TEST_F(EtherHostileTest, ACommandWhoseEchoCannotFitIsRefusedBeforeAnythingGoesOut) {
  iface.openPort();
  auto t = Text(std::string(EtherLink::kMaxResponseBytes - 1, 'x'));
  PARLEY_EXPECT_ERROR(iface.Transact(t), err::Overflow);
  auto b = Bytes(std::string(EtherLink::kMaxResponseBytes - 1, 'x'));
  PARLEY_EXPECT_ERROR(iface.Transact(b), err::Overflow);
  EXPECT_TRUE(unit->connects.empty());
}

TEST_F(EtherHostileTest, ARefusedTimeoutSendsNothingAndLeavesTheInterfaceUsable) {
  iface.openPort();
  auto bad = Text("VER?", 0);
  auto e = PARLEY_EXPECT_ERROR(iface.Transact(bad), err::InvalidPropertyValue);
  EXPECT_NE(e.Source().find("KORTimeout"), std::string::npos);
  EXPECT_TRUE(unit->connects.empty());  // no connect started
  auto good = Text("VER?");
  iface.Transact(good);  // connected now
  PARLEY_EXPECT_ERROR(iface.Transact(bad), err::InvalidPropertyValue);
  EXPECT_EQ(unit->sends.size(), 1u);  // nothing sent by the refused call
  iface.Transact(good);
  EXPECT_EQ(good.resp(), "OK");
  // A refused byte call does not switch the buffers to byte mode.
  auto bytes = Bytes("X");
  bytes.RespTimeout(0);
  PARLEY_EXPECT_ERROR(iface.Transact(bytes), err::InvalidPropertyValue);
  EXPECT_EQ(iface.ReceivedStringBuffer(), "OK");
}

TEST_F(EtherHostileTest, ASecondAnswerOrAnIdleResetIsNeverTakenForTheNextCall) {
  iface.openPort();
  unit->next.push_back(detail::AnswerTwice("FIRST", "SECOND"));
  auto t = Text("A?");
  iface.Transact(t);
  EXPECT_EQ(t.resp(), "FIRST");
  auto u = Text("B?");
  iface.Transact(u);
  EXPECT_EQ(u.resp(), "OK");
  int resets = 0;
  auto link = iface.portReset.connect([&] { ++resets; });
  unit->ResetConnection(std::chrono::seconds(5));
  EventLoop::RunFor(std::chrono::seconds(6));
  EXPECT_EQ(resets, 1);
  PARLEY_EXPECT_ERROR(iface.Transact(u), err::PortNotOpen);
  link.disconnect();
}

}  // namespace
}  // namespace parley
