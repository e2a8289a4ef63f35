// The Ethernet link against the simulated TCP unit on the virtual clock.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "parley/interface.hpp"
#include "parley/loop.hpp"
#include "support/sim_tcp_client.hpp"
#include "support/transactions.hpp"
#include "support/virtual_fixture.hpp"

namespace parley {
namespace {

using testing::Bytes;
using testing::Text;

class EtherSimTest : public testing::VirtualHostTest {
 protected:
  EtherSimTest() : unit(std::make_shared<detail::SimTcpUnit>(host())) {
    host().tcp_factory = [u = unit] { return detail::MakeSimTcpClient(u); };
    iface.commMode(korCommModeEther);
    iface.RemoteHostIpAddress(unit->address);
  }
  std::shared_ptr<detail::SimTcpUnit> unit;
  KORInterface iface;
};

TEST_F(EtherSimTest, TextTransactionSkipsEchoAndCutsAtTerminatorOnEveryCut) {
  unit->answers["VER?"] = "V1.2";
  std::string reply = "VER?\r\nV1.2\r\n>";
  for (std::size_t cut = 1; cut < reply.size(); ++cut) {
    unit->reaction.cuts = {cut};
    iface.openPort();
    auto t = Text("VER?");
    iface.Transact(t);
    EXPECT_EQ(t.resp(), "V1.2") << "cut at " << cut;
    EXPECT_EQ(iface.ReceivedStringBuffer(), "V1.2");
    iface.closePort();
  }
  EXPECT_EQ(unit->sends.back(), "VER?\r\n");
}

TEST_F(EtherSimTest, SecondTransactionReusesConnectionAndStripsWhenAsked) {
  iface.RemoveExtraChar(true);
  unit->reaction.answer = "\r\nDONE\n\r";
  unit->reaction.chunk_size = 1;
  iface.openPort();
  auto t = Text("A\r\nB");  // already holds CR LF: sent as it is
  iface.Transact(t);
  EXPECT_EQ(t.resp(), "\r\nDONE");
  iface.Transact(t);
  EXPECT_EQ(unit->connects.size(), 1u);
  EXPECT_EQ(unit->wire, "A\r\nBA\r\nB");
}

TEST_F(EtherSimTest, ByteModeKeepsEchoAndCutsTheEndOfTheBuffer) {
  unit->reaction.trailer = "XY";
  unit->reaction.cuts = {2, 7};
  iface.openPort();
  auto t = Bytes(std::string("\x01\r\n", 3));
  iface.Transact(t);
  EXPECT_EQ(unit->sends.back(), std::string("\x01\r\n\r\n", 5));  // CmdTerm always appended
  std::string expected("\x01\r\n\r\nOK\r\n", 9);                  // echo kept, last 3 bytes cut
  EXPECT_EQ(t.ByteArrRespStrVal(), expected);
  std::vector<uint8_t> buffer;
  iface.ReceivedByteArrBuffer(buffer);
  EXPECT_EQ(std::string(buffer.begin(), buffer.end()), expected);
  PARLEY_EXPECT_ERROR(iface.ReceivedStringBuffer(), err::BufferWrongMode);
  iface.ClearResponseArray();
  iface.ReceivedByteArrBuffer(buffer);
  EXPECT_EQ(buffer, std::vector<uint8_t>(1, 0));
  auto text = Text("X");
  iface.Transact(text);
  PARLEY_EXPECT_ERROR(iface.ReceivedByteArrBuffer(buffer), err::BufferWrongMode);
  PARLEY_EXPECT_ERROR(iface.ClearResponseArray(), err::BufferWrongMode);
}

TEST_F(EtherSimTest, ResponsesBeyond32767BytesArriveWholeInBothModes) {
  std::string big(100000, 'a');
  unit->reaction.answer = big;
  unit->reaction.chunk_size = 1000;
  iface.openPort();
  auto t = Text("BIG");
  iface.Transact(t);
  EXPECT_EQ(t.resp(), big);
  auto b = Bytes("BIG");
  iface.Transact(b);
  EXPECT_EQ(b.ByteArrRespStrVal().size(), 5 + big.size());
}

TEST_F(EtherSimTest, WrongMissingOrSplitGreetingEndsWithTerminatorNotFound) {
  for (int variant = 0; variant < 3; ++variant) {
    unit->greeting = variant == 0 ? std::optional<std::string>("\r\n>") : std::nullopt;
    if (variant == 2) {
      unit->greeting = "\r\n> ";
      unit->greeting_cuts = {2};
    }
    iface.openPort();
    auto t = Text("VER?");
    double start = host().elapsed_seconds();
    auto e = PARLEY_EXPECT_ERROR(iface.Transact(t), err::EtherTerminatorNotFound);
    EXPECT_EQ(e.Description(), "Response terminator was not found in Ethernet transaction.");
    EXPECT_GE(host().elapsed_seconds() - start, 9.9);
    iface.closePort();
  }
}

// A greeting that comes only after the connect gave up is still taken as the greeting, but it
// is no answer: the transaction it arrives in goes on to take its own, in either mode.
TEST_F(EtherSimTest, AGreetingTooLateForTheConnectNeverPassesForAnAnswer) {
  for (bool text : {true, false}) {
    SCOPED_TRACE(text ? "text" : "bytes");
    unit->greeting_delay = std::chrono::seconds(12);  // the connect waits 10 s
    iface.openPort();
    auto first = text ? Text("VER?") : Bytes("VER?");
    PARLEY_EXPECT_ERROR(iface.Transact(first), err::EtherTerminatorNotFound);
    // The greeting arrives during this one's wait, ahead of the echo and the answer.
    auto second = text ? Text("VER?") : Bytes("VER?");
    iface.Transact(second);
    EXPECT_EQ(text ? second.resp() : second.ByteArrRespStrVal(), text ? "OK" : "VER?\r\nOK");
    EXPECT_EQ(unit->connects.size(), text ? 1u : 2u);
    iface.closePort();
  }
}

// The socket's failure ends the connect at once; the wait would have lasted 30 s.
TEST_F(EtherSimTest, RefusedUnresolvedOrUnreachableConnectsFailAtOnceWithTheReason) {
  struct Case {
    std::string host;
    int32_t number;
    std::string reason;
  };
  iface.DebugMonitorOn();
  for (const Case& c : {Case{unit->address, 111, "Connection refused"},
                        Case{"no-such-host.invalid", 0, "Host not found"},
                        Case{unit->address, 101, "Network is unreachable"}}) {
    SCOPED_TRACE(c.reason);
    unit->refuse = c.number != 0;
    unit->refuse_number = c.number;
    unit->refuse_reason = c.reason;
    iface.RemoteHostIpAddress(c.host);
    iface.openPort();
    auto t = Text("VER?", korLong);
    double start = host().elapsed_seconds();
    auto e = PARLEY_EXPECT_ERROR(iface.Transact(t), err::TcpConnectFailed);
    EXPECT_LT(host().elapsed_seconds() - start, 1.0);
    EXPECT_EQ(e.Description(), "TCP/IP connection could not be established.");
    EXPECT_EQ(iface.LastLinkError(), "connect to " + c.host + ":6000: " +
                                         (c.number ? c.reason : "Host not found (authoritative)"));
    EXPECT_NE(iface.DebugBuffGet().find("Link error: " + iface.LastLinkError()), std::string::npos);
    // The failed socket is not closed: the next attempt meets it until the port is reopened.
    PARLEY_EXPECT_ERROR(iface.Transact(t), err::InvalidSocketState);
    EXPECT_TRUE(iface.IsPortOpen());
    iface.closePort();
  }
  unit->refuse = false;
  iface.RemoteHostIpAddress("000.000.000.000");
  iface.openPort();
  auto t = Text("VER?");
  PARLEY_EXPECT_ERROR(iface.Transact(t), err::TcpConnectFailed);
  EXPECT_FALSE(unit->connected());
}

TEST_F(EtherSimTest, PeerCloseFailsTheNextTransactionWithInvalidSocketState) {
  iface.openPort();
  auto t = Text("VER?");
  iface.Transact(t);
  unit->CloseFromPeer();
  auto e = PARLEY_EXPECT_ERROR(iface.Transact(t), err::InvalidSocketState);
  EXPECT_EQ(e.Description(), "Invalid socket state.");
  EXPECT_EQ(unit->sends.size(), 1u);  // nothing sent
}

// A peer that closes or resets the connection ends the wait for the greeting or the answer at
// once; the port stays open and the next transaction meets the dead socket.
TEST_F(EtherSimTest, CloseOrResetBeforeTheAnswerEndsTheWaitAtOnceWithTheReason) {
  enum Fault { kCloseMidAnswer, kResetMidAnswer, kCloseBeforeGreeting };
  iface.DebugMonitorOn();
  int resets = 0;
  auto link = iface.portReset.connect([&] { ++resets; });
  for (Fault fault : {kCloseMidAnswer, kResetMidAnswer, kCloseBeforeGreeting}) {
    SCOPED_TRACE(fault);
    unit->greeting = "\r\n> ";
    detail::SimTcpReaction reaction;
    if (fault == kCloseMidAnswer) reaction.close_after = 8;  // in the answer, after the echo
    if (fault == kResetMidAnswer) reaction.answer = std::nullopt;
    if (fault == kCloseBeforeGreeting)
      unit->greeting = std::nullopt;
    else
      unit->next.push_back(reaction);
    iface.openPort();
    // Due once the connection is up (at 2 ms), before the greeting or after the echo.
    EventLoop::Timer due =
        EventLoop::ScheduleAfter(std::chrono::milliseconds(fault == kResetMidAnswer ? 20 : 3), [&] {
          if (fault == kResetMidAnswer) unit->ResetConnection();
          if (fault == kCloseBeforeGreeting) unit->CloseFromPeer();
        });
    auto t = Text("VER?", korLong);
    double start = host().elapsed_seconds();
    PARLEY_EXPECT_ERROR(iface.Transact(t), err::EtherTerminatorNotFound);
    EXPECT_LT(host().elapsed_seconds() - start, 1.0);
    EXPECT_FALSE(due.Pending());
    EXPECT_EQ(iface.LastLinkError(), "connection to " + unit->address + ":6000: " +
                                         (fault == kResetMidAnswer ? "Connection reset by peer"
                                                                   : "closed by the remote end"));
    EXPECT_NE(iface.DebugBuffGet().find("Link error: " + iface.LastLinkError()), std::string::npos);
    PARLEY_EXPECT_ERROR(iface.Transact(t), err::InvalidSocketState);
    EXPECT_TRUE(iface.IsPortOpen());
    iface.closePort();
  }
  EXPECT_EQ(resets, 0);
  link.disconnect();
}

TEST_F(EtherSimTest, ErrorWhileIdleClosesThePortOnceAndDuringTransactionChangesNothing) {
  iface.openPort();
  auto t = Text("VER?");
  iface.Transact(t);
  int resets = 0;
  auto link = iface.portReset.connect([&] { ++resets; });
  unit->Fail(10054, "Connection reset", std::chrono::milliseconds(1));
  EventLoop::Poll();
  EXPECT_EQ(resets, 0);  // not yet: the error is due on the next pass
  EventLoop::RunFor(std::chrono::milliseconds(10));
  EXPECT_EQ(resets, 1);
  EXPECT_FALSE(iface.IsPortOpen());
  iface.openPort();
  auto progress = iface.Progress();
  auto fail = progress->Update.connect([&] {
    if (progress->status() == "Transmitting") unit->Fail(10054, "Connection reset");
  });
  PARLEY_EXPECT_ERROR(iface.Transact(t), err::EtherTerminatorNotFound);
  fail.disconnect();
  EXPECT_TRUE(iface.IsPortOpen());
  EXPECT_EQ(resets, 1);
  link.disconnect();
}

TEST_F(EtherSimTest, DataAfterTheResponseChangeNothingAndDoNotShiftTheNextEcho) {
  unit->reaction.trailer = " ";
  unit->reaction.cuts = {11};  // the prompt's space arrives on its own
  iface.openPort();
  auto t = Text("VER?");
  iface.Transact(t);
  unit->Send("junk junk junk");
  EventLoop::RunFor(std::chrono::milliseconds(10));
  EXPECT_EQ(t.resp(), "OK");
  EXPECT_EQ(iface.ReceivedStringBuffer(), "OK");
  iface.Transact(t);
  EXPECT_EQ(t.resp(), "OK");
}

TEST_F(EtherSimTest, AHandlerThrowingAnAbandoningNumberIsNotTakenForAnAbandonedAttempt) {
  iface.openPort();
  auto t = Text("VER?");
  iface.Transact(t);  // connected
  auto progress = iface.Progress();
  auto link = progress->Update.connect([&] {
    if (progress->status() == "Transmitting") throw AutomationError(err::Overflow, "x", "y");
  });
  unit->sends.clear();
  // The client's own error comes back as it was thrown, before anything was sent again.
  auto e = PARLEY_EXPECT_ERROR(iface.Transact(t), err::Overflow);
  EXPECT_EQ(e.Source(), "x");
  EXPECT_EQ(e.Description(), "y");
  EXPECT_TRUE(unit->sends.empty());
  EXPECT_FALSE(iface.Busy());
  link.disconnect();
}

}  // namespace
}  // namespace parley
