// A plain serial instrument (no echo, no prompt) and the whole-call deadline, on the virtual
// clock against the scripted unit.
#include <gtest/gtest.h>

#include <string>

#include "parley/errors.hpp"
#include "parley/loop.hpp"
#include "serial/serial_fixture.hpp"

namespace parley {
namespace {

using detail::Micros;
using detail::SimReaction;

class PlainSerialTest : public testing::SerialLinkTest {
 protected:
  PlainSerialTest() {
    iface.PlainInstrument(true);
    iface.CmdTerm("\n");
    iface.RespTerm("\n");
    unit->cmd_term = "\n";
    unit->reaction.echo_text = "";  // the answer alone comes back
    unit->reaction.resp_term = "\n";
  }
  KORTransaction Query(const std::string& cmd, int32_t timeout_ms = 0) {
    if (!iface.IsPortOpen()) iface.openPort();
    KORTransaction t;
    t.cmd(cmd);
    t.RespTimeoutMs(timeout_ms);
    iface.Transact(t);
    return t;
  }
};

TEST_F(PlainSerialTest, TheAnswerIsWhatFollowsTheCommandWholeAndWithoutAnEchoWait) {
  unit->answers["*IDN?"] = "MM42,1234,1.0";
  unit->reaction.chunks = {1, 1, 1};  // the first bytes alone: none may be taken for an echo
  EXPECT_EQ(Query("*IDN?").resp(), "MM42,1234,1.0");
  EXPECT_EQ(unit->wire, "*IDN?\n");
  EXPECT_EQ(Count("Waiting for echo"), 0);
  EXPECT_LT(host().elapsed_seconds(), 1.0);
}

TEST_F(PlainSerialTest, InputWaitingBeforeTheCommandIsDroppedNotTakenAsItsAnswer) {
  iface.openPort();
  unit->Send("late answer\n");
  EventLoop::RunFor(std::chrono::milliseconds(100));
  unit->answers["V?"] = "fresh";
  EXPECT_EQ(Query("V?").resp(), "fresh");
}

TEST_F(PlainSerialTest, ASilentInstrumentFailsOnceAtItsMillisecondTimeoutAndIsNotAskedAgain) {
  unit->reaction.answer.reset();
  try {
    Query("MEAS?", 250);
    FAIL() << "a silent instrument answered";
  } catch (const AutomationError& e) {
    EXPECT_EQ(e.Number(), err::ResponseTerminatorTimeout);
  }
  EXPECT_NEAR(host().elapsed_seconds(), 0.25, 0.05);
  EXPECT_EQ(unit->wire, "MEAS?\n");  // one command, no retry
}

TEST_F(PlainSerialTest, AFloodWithoutTerminatorIsBoundedAndEndsTheCall) {
  unit->reaction.answer = std::string(300'000, 'x');
  unit->reaction.resp_term = "";
  EXPECT_THROW(Query("DUMP?", 5000), AutomationError);
  EXPECT_FALSE(iface.Busy());
}

TEST_F(PlainSerialTest, TheUnitsModesRefuseAMillisecondTimeout) {
  iface.PlainInstrument(false);
  try {
    Query("V?", 500);
    FAIL();
  } catch (const AutomationError& e) {
    EXPECT_EQ(e.Number(), err::InvalidResponseTimeout);
  }
  EXPECT_EQ(unit->wire, "");
  KORTransaction t;
  EXPECT_THROW(t.RespTimeoutMs(-1), AutomationError);
  EXPECT_THROW(t.DeadlineMs(-5), AutomationError);
}

class DeadlineTest : public testing::SerialLinkTest {};

TEST_F(DeadlineTest, ASilentUnitIsLeftAtTheDeadlineNamingTheWaitInTheErrorAndTheTrace) {
  unit->reaction.echo = false;
  unit->reaction.answer.reset();
  iface.openPort();
  KORTransaction t;
  t.cmd("VER?");
  t.DeadlineMs(2500);
  try {
    iface.Transact(t);
    FAIL();
  } catch (const AutomationError& e) {
    EXPECT_EQ(e.Number(), err::UserCanceled);
  }
  EXPECT_NEAR(host().elapsed_seconds(), 2.5, 0.05);  // not four echo waits of 9 s
  std::string why = "Deadline of 2500 ms reached while \"Waiting for echo\".";
  EXPECT_EQ(iface.LastLinkError(), why);
  EXPECT_NE(iface.DebugBuffGet().find(why), std::string::npos);
  EXPECT_FALSE(t.InComm());
  EXPECT_FALSE(iface.Busy());
  // The next call has no deadline left over.
  unit->reaction = SimReaction{};
  t.DeadlineMs(0);
  iface.Transact(t);
  EXPECT_EQ(t.resp(), "OK");
}

TEST_F(DeadlineTest, ACallThatEndsInTimeIsUntouched) {
  unit->answers["V?"] = "1";
  iface.openPort();
  KORTransaction t;
  t.cmd("V?");
  t.DeadlineMs(60'000);
  iface.Transact(t);
  EXPECT_EQ(t.resp(), "1");
}

}  // namespace
}  // namespace parley
