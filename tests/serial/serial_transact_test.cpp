// The serial exchange engine in mode 2 against a scripted remote unit, under the virtual clock.
#include <gtest/gtest.h>

#include <algorithm>

#include "model/access.hpp"
#include "serial/serial_fixture.hpp"

namespace parley {
namespace {

using detail::Micros;
using detail::SimReaction;

class SerialTransactTest : public testing::SerialLinkTest {};

TEST_F(SerialTransactTest, PlainExchangeReturnsTheAnswerAndTracesIt) {
  unit->answers["VER?"] = "1.0";
  unit->reaction.echo_delay = Micros(300'000);
  auto t = Run("VER?");
  EXPECT_EQ(t.resp(), "1.0");
  EXPECT_FALSE(t.InComm());
  EXPECT_FALSE(iface.Busy());
  EXPECT_EQ(unit->wire, "VER?\r\n");
  EXPECT_EQ(unit->settings_puts, (std::vector<std::string>{"9600,o,7,1"}));
  std::string trace = iface.DebugBuffGet();
  EXPECT_NE(trace.find("\tWRIT\tVER?"), std::string::npos);
  EXPECT_NE(trace.find("\tREAD\tVER?\r\n"), std::string::npos);
  EXPECT_NE(trace.find("\tREAD\t1.0\r\n>"), std::string::npos);
  EXPECT_EQ(Entries("ERRR"), 0);
  std::vector<std::string> expected = {"Starting serial transaction",
                                       "Initializing Serial Port",
                                       "",
                                       "Requesting port",
                                       "",
                                       "Clearing receive buffer",
                                       "Clearing transmit buffer",
                                       "Transmitting",
                                       "Preparing for response",
                                       "Waiting for echo",
                                       "Waiting for response",
                                       ""};
  EXPECT_EQ(stages, expected);
}

TEST_F(SerialTransactTest, AnswerSplitAnywhereGivesTheSameResponse) {
  // Every cut of echo, answer and terminator, one byte at a time.
  SimReaction r;
  r.answer = "a\r\nb";
  r.chunks = std::vector<std::size_t>(40, 1);
  unit->reaction = r;
  EXPECT_EQ(Run("MEAS?").resp(), "a\r\nb");
  EXPECT_EQ(Entries("READ"), static_cast<int>(std::string("MEAS?\r\na\r\nb\r\n>").size()));
}

TEST_F(SerialTransactTest, RemoveExtraCharStripsOnlyTrailingLineBreaks) {
  unit->answers["A?"] = "x\r\ny\r\n";
  EXPECT_EQ(Run("A?").resp(), "x\r\ny\r\n");
  iface.RemoveExtraChar(true);
  EXPECT_EQ(Run("A?").resp(), "x\r\ny");
  unit->answers["B?"] = "\r\n\n\r";
  EXPECT_EQ(Run("B?").resp(), "");
}

TEST_F(SerialTransactTest, TerminatorInsideTheEchoRegionIsNotSeen) {
  // The command itself holds the response terminator; only the text after the echo counts.
  iface.RespTerm(">");
  unit->answers["A>B"] = "ok";
  EXPECT_EQ(Run("A>B").resp(), "ok\r\n");
}

TEST_F(SerialTransactTest, CommandsLongerThanSixteenBitPositionsWork) {
  std::string cmd(40000, 'c');
  unit->answers[cmd] = "long";
  EXPECT_EQ(Run(cmd).resp(), "long");
}

TEST_F(SerialTransactTest, SilentUnitIsRetriedThreeTimesWithFreshPortRequests) {
  unit->reaction.echo = false;
  std::vector<int16_t> countdown;
  auto watch_echo = progress->Update.connect([&] {
    if (progress->status() != "Waiting for echo") return;
    EXPECT_EQ(progress->max(), 9);
    EXPECT_TRUE(progress->HaltEnabled());
    if (countdown.empty() || countdown.back() != progress->Value())
      countdown.push_back(progress->Value());
  });
  iface.openPort();
  KORTransaction t;
  t.cmd("VER?");
  detail::TransactionAccess::SetResp(t, "");
  auto e = PARLEY_EXPECT_ERROR(iface.Transact(t), err::NoResponseFromRemoteUnit);
  EXPECT_EQ(e.Description(), "No response received from remote unit in timeout period.");
  EXPECT_EQ(unit->commands.size(), 4u);
  EXPECT_EQ(connection()->request_times.size(), 4u);
  EXPECT_EQ(unit->opens, 4);
  EXPECT_EQ(Count("Retrying transaction"), 3);
  EXPECT_EQ(Entries("WRIT"), 4);
  EXPECT_NEAR(host().elapsed_seconds(), 36.0, 0.5);
  watch_echo.disconnect();
  // 9 down to 0 in each of the four attempts.
  EXPECT_EQ(std::count(countdown.begin(), countdown.end(), 9), 4);
  EXPECT_EQ(std::count(countdown.begin(), countdown.end(), 0), 4);
  EXPECT_FALSE(iface.Busy());
  EXPECT_FALSE(progress->HaltEnabled());
  EXPECT_EQ(progress->status(), "");
}

TEST_F(SerialTransactTest, EchoWithoutTerminatorTimesOutOnceWithoutRetry) {
  unit->reaction.answer.reset();
  auto e = PARLEY_EXPECT_ERROR(Run("VER?"), err::ResponseTerminatorTimeout);
  EXPECT_EQ(e.Description(), "Response terminator not received in timeout period.");
  EXPECT_EQ(unit->commands.size(), 1u);
  EXPECT_NEAR(host().elapsed_seconds(), 10.0, 0.1);
  // Counted from the start of the attempt, with the countdown of the response timeout.
  EXPECT_EQ(progress->max(), 0);
}

TEST_F(SerialTransactTest, HaltWhileWaitingForResponseCancelsWithHaltAck) {
  unit->reaction.answer_delay = Micros(5'000'000);
  int acks = 0;
  auto ack = progress->HaltAck.connect([&] { ++acks; });
  auto halt = progress->Update.connect([&] {
    if (progress->status() == "Waiting for response" && progress->HaltEnabled()) progress->Halt();
  });
  auto e = PARLEY_EXPECT_ERROR(Run("VER?"), err::UserCanceled);
  EXPECT_EQ(e.Description(), "User canceled operation.");
  EXPECT_GE(acks, 1);
  EXPECT_LT(host().elapsed_seconds(), 1.0);
  ack.disconnect();
  halt.disconnect();
  // The timer is stopped: nothing runs on the loop any more except the unit's late answer.
  host().Advance(Micros(10'000'000));
  EXPECT_EQ(Entries("READ"), 1);  // the echo only: the late answer is never read
}

TEST_F(SerialTransactTest, BreakBetweenTransactionsFailsTheNextOneBeforeItTransmits) {
  Run("A");
  unit->LineErrorAfter(Micros(1000), 1001);
  host().Advance(Micros(2000));
  auto e = PARLEY_EXPECT_ERROR(Run("B"), 1001);
  EXPECT_EQ(e.Description(), "Serial COMM port error: Break Detected.");
  EXPECT_EQ(unit->wire, "A\r\n");
  EXPECT_EQ(Run("C").resp(), "OK");  // reported once, not on every transaction after it
}

TEST_F(SerialTransactTest, DataReceivedEventsAreNotErrors) {
  Run("A");
  unit->LineErrorAfter(Micros(1000), 2);
  host().Advance(Micros(2000));
  EXPECT_EQ(Run("B").resp(), "OK");
}

TEST_F(SerialTransactTest, LineErrorDuringReceiveDropsTheChunkAndSurfacesLater) {
  SimReaction r;
  r.answer_delay = Micros(500'000);
  r.line_error = 1004;
  r.line_error_after = Micros(100'000);  // after the echo, before the answer
  unit->next.push_back(r);
  PARLEY_EXPECT_ERROR(Run("A"), err::ResponseTerminatorTimeout);
  auto e = PARLEY_EXPECT_ERROR(Run("B"), 1004);
  EXPECT_EQ(e.Description(), "Serial COMM port error: Framing Error.");
  EXPECT_EQ(Run("C").resp(), "OK");
}

// A unit that floods without a terminator cannot grow memory: at the exchange's bound the
// exchange ends with the receive overflow error, long before its timeout.
TEST_F(SerialTransactTest, FloodWithoutTerminatorEndsAtTheBoundWithTheOverflowError) {
  unit->reaction.answer.reset();
  const std::string mebibyte(1 << 20, 'x');
  for (int i = 1; i <= 20; ++i) unit->Send(mebibyte, Micros(i * 100'000));
  auto e = PARLEY_EXPECT_ERROR(Run("A"), err::CommRxOverflow);
  EXPECT_EQ(e.Description(), "Serial COMM port error: Receive Buffer Overflow.");
  EXPECT_LT(host().elapsed_seconds(), 2.0);
  unit->reaction.answer = "OK";
  host().Advance(Micros(5'000'000));
  EXPECT_EQ(Run("B").resp(), "OK");
}

TEST_F(SerialTransactTest, UnchangedSettingsLeaveThePortAloneAndChangedOnesReopenIt) {
  Run("A");
  Run("B");
  EXPECT_EQ(unit->opens, 1);
  EXPECT_EQ(unit->settings_puts.size(), 1u);
  iface.closePort();
  iface.BitRate(19200);
  iface.Parity(korParityNone);
  iface.DataBits(8);
  iface.StopBits(2);
  Run("C");
  // The port was held: the settings are written and the port is reopened at once, without
  // asking the manager again.
  EXPECT_EQ(unit->settings_puts.back(), "19200,n,8,2");
  EXPECT_EQ(unit->opens, 2);
  EXPECT_EQ(connection()->request_times.size(), 1u);
}

TEST_F(SerialTransactTest, LockedPortIsRefused) {
  iface.openPort();
  connection()->locked = true;
  auto e = PARLEY_EXPECT_ERROR(Run("A"), err::CommPortLocked);
  EXPECT_EQ(e.Description(), "COMM port is locked by another KORSET program.");
  EXPECT_TRUE(unit->wire.empty());
}

TEST_F(SerialTransactTest, AFailedExchangeKeepsNoStaleResponseAndTheUnitRecovers) {
  unit->next.push_back([] {
    SimReaction r;
    r.echo = false;
    return r;
  }());
  // The first attempt gets no echo, the retry does.
  EXPECT_EQ(Run("A").resp(), "OK");
  EXPECT_EQ(Count("Retrying transaction"), 1);
  EXPECT_EQ(unit->commands, (std::vector<std::string>{"A", "A"}));
}

// A host that offers no serial facility (set up for another transport) refuses clearly.
class NoSerialFacilityTest : public testing::VirtualHostTest {};

TEST_F(NoSerialFacilityTest, TransactReportsTheMissingPort) {
  KORInterface iface;
  iface.openPort();
  KORTransaction t;
  t.cmd("VER?");
  auto e = PARLEY_EXPECT_ERROR(iface.Transact(t), err::CommUnavailable);
  EXPECT_EQ(e.Description(), "COMM is unavailable.");
  EXPECT_FALSE(iface.Busy());
}

}  // namespace
}  // namespace parley
