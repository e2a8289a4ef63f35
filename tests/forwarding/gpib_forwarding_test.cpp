// The forwarding messages and the mode-1 dialogue (poll before send, TSND) on the virtual clock.
#include "forwarding/gpib_forwarding.hpp"

#include <gtest/gtest.h>

#include "model/access.hpp"
#include "serial/serial_fixture.hpp"
#include "support/fwd_fixture.hpp"
#include "support/trace_texts.hpp"

namespace parley::testing {
namespace {

using detail::EscapeQuotes;
using detail::GpibForwarding;

TEST(ForwardingTexts, EscapeQuotesReplacesOnlyDoubleQuotes) {
  EXPECT_EQ(EscapeQuotes(""), "");
  EXPECT_EQ(EscapeQuotes("SYST:ERR?"), "SYST:ERR?");
  EXPECT_EQ(EscapeQuotes("DISP \"HI\""), "DISP <22>HI<22>");
  EXPECT_EQ(EscapeQuotes("\"\"'"), "<22><22>'");
  EXPECT_EQ(EscapeQuotes(std::string("a\0b\"", 4)), std::string("a\0b<22>", 7));
}

class ForwardingHeader : public FwdFixture {};

TEST_F(ForwardingHeader, FullUntilSentWhileThePortIsHeld) {
  GpibForwarding fwd(core_, channel_, settings_sent_);
  core_.settings.itc = korITC_CRLF;
  core_.settings.dto = 12;
  EXPECT_EQ(fwd.GPIBFwdHeader(), "/GPIB:ADDR=5,DTO=12,ITC=CRLF,REN=1,");
  channel_.held = true;
  // Built but not yet sent: still the full form.
  EXPECT_EQ(fwd.GPIBFwdHeader(), "/GPIB:ADDR=5,DTO=12,ITC=CRLF,REN=1,");
  KORTransaction t;
  fwd.Send(t, fwd.GPIBFwdHeader() + "SPOLL/", 10);
  EXPECT_EQ(fwd.GPIBFwdHeader(), "/GPIB:");
  // Not held: the full form again, however often it was sent.
  channel_.held = false;
  EXPECT_EQ(fwd.GPIBFwdHeader(), "/GPIB:ADDR=5,DTO=12,ITC=CRLF,REN=1,");
}

TEST_F(ForwardingHeader, MarkedSentOnlyOnceItWasTransmitted) {
  channel_.held = true;
  channel_.ByKind({{"SPOLL", {"/GPIB:SPOLL=02/"}}, {"TSND", {"/GPIB:TSND=1/"}}});
  auto run = [&] {
    KORTransaction t = Command("MEAS?");
    return FailureOf(
        [&] { GpibForwarding(core_, channel_, settings_sent_).TransactCRLFtoGPIB(t, Steps()); });
  };
  // The poll never went out (port locked): the next transaction carries the settings again.
  channel_.fail_before_transmit = 1;
  EXPECT_EQ(run().Number(), err::CommPortLocked);
  EXPECT_FALSE(settings_sent_);
  EXPECT_EQ(run().Number(), 0);
  EXPECT_EQ(channel_.Commands(),
            (std::vector<std::string>{"/GPIB:ADDR=5,DTO=5,ITC=EOI,REN=1,SPOLL/",
                                      "/GPIB:WTIM=10,MSG=\"MEAS?\",TSND/"}));
  // Sent, then the exchange failed on the answer: the unit has the settings.
  channel_.sent.clear();
  settings_sent_ = false;
  channel_.ByKind({{"SPOLL", {""}}});
  EXPECT_EQ(run().Number(), err::GpibNoSerialPollResponse);
  EXPECT_TRUE(settings_sent_);
  // A full header built while the port was not held, never transmitted, clears the mark.
  channel_.held = false;
  channel_.fail_before_transmit = 1;
  EXPECT_EQ(run().Number(), err::CommPortLocked);
  EXPECT_FALSE(settings_sent_);
}

TEST_F(ForwardingHeader, NamesEveryTerminationAndRefusesOthers) {
  GpibForwarding fwd(core_, channel_, settings_sent_);
  const char* names[] = {"EOI", "CR", "LF", "CRLF"};
  for (int itc = 1; itc <= 4; ++itc) {
    core_.settings.itc = itc;
    EXPECT_EQ(fwd.GPIBFwdHeader(),
              std::string("/GPIB:ADDR=5,DTO=5,ITC=") + names[itc - 1] + ",REN=1,");
  }
  settings_sent_ = false;
  core_.settings.itc = 5;
  EXPECT_EQ(FailureOf([&] { fwd.GPIBFwdHeader(); }).Number(), err::InvalidGpibTermination);
  EXPECT_FALSE(settings_sent_);
}

class CRLFtoGPIB : public FwdFixture {
 protected:
  // Runs the mode-1 branch under Transact's level of the error path.
  AutomationError Run(KORTransaction& t) {
    return FailureOf(
        [&] { GpibForwarding(core_, channel_, settings_sent_).TransactCRLFtoGPIB(t, Steps()); });
  }
  static std::string Tsnd(const std::string&) { return "/GPIB:TSND=1.23/"; }
};

TEST_F(CRLFtoGPIB, IdleInstrumentGetsFullHeaderPollThenShortTsnd) {
  channel_.PollThen({"/GPIB:SPOLL=02/"}, Tsnd);
  KORTransaction t = Command("MEAS?", korMedium);
  EXPECT_EQ(Run(t).Number(), 0);
  EXPECT_EQ(channel_.Commands(),
            (std::vector<std::string>{"/GPIB:ADDR=5,DTO=5,ITC=EOI,REN=1,SPOLL/",
                                      "/GPIB:WTIM=30,MSG=\"MEAS?\",TSND/"}));
  EXPECT_EQ(channel_.sent[0].timeout, 10);
  EXPECT_EQ(channel_.sent[1].timeout, 30);
  EXPECT_EQ(t.resp(), "1.23");

  // Later transactions keep the short header for the poll too.
  KORTransaction next = Command("*RST");
  EXPECT_EQ(Run(next).Number(), 0);
  EXPECT_EQ(channel_.sent[2].cmd, "/GPIB:SPOLL/");
  EXPECT_EQ(channel_.sent[3].cmd, "/GPIB:WTIM=10,MSG=\"*RST\",TSND/");
}

TEST_F(CRLFtoGPIB, BusyThreeTimesFailsAfterThreePollsASecondApart) {
  channel_.PollThen({"/GPIB:SPOLL=01/"}, Tsnd);
  KORTransaction t = Command("MEAS?");
  AutomationError e = Run(t);
  EXPECT_EQ(e.Number(), err::GpibNoSerialPollResponse);
  EXPECT_EQ(e.Description(), "GPIB device did not respond to serial poll.");
  ASSERT_EQ(channel_.sent.size(), 3u);  // no TSND
  EXPECT_NEAR(channel_.sent[1].at - channel_.sent[0].at, 1.1, 1e-3);
  EXPECT_NEAR(channel_.sent[2].at - channel_.sent[1].at, 1.1, 1e-3);
  EXPECT_EQ(core_.progress->status(), "");
  EXPECT_EQ(t.resp(), "");
}

TEST_F(CRLFtoGPIB, StrayAnswerIsDrainedBeforeTheNextPoll) {
  for (const char* stray : {"/GPIB:SPOLL=04/", "/GPIB:SPOLL=44/"}) {
    channel_.sent.clear();
    channel_.poll_count = 0;
    channel_.PollThen({stray, "/GPIB:SPOLL=02/"}, [](const std::string& c) {
      return c.find("IN/") != std::string::npos ? "/GPIB:IN=\"old\"/" : "/GPIB:TSND=new/";
    });
    KORTransaction t = Command("MEAS?");
    EXPECT_EQ(Run(t).Number(), 0);
    ASSERT_EQ(channel_.sent.size(), 4u);
    EXPECT_NE(channel_.sent[0].cmd.find("SPOLL/"), std::string::npos);
    EXPECT_EQ(channel_.sent[1].cmd, "/GPIB:IN/");
    // The poll message is built once per poll sequence, so the repeat keeps its header.
    EXPECT_EQ(channel_.sent[2].cmd, channel_.sent[0].cmd);
    EXPECT_EQ(channel_.sent[3].cmd, "/GPIB:WTIM=10,MSG=\"MEAS?\",TSND/");
    EXPECT_EQ(t.resp(), "new");
  }
}

TEST_F(CRLFtoGPIB, ErrorRepliesEndThePollAtOnce) {
  struct Case {
    const char* reply;
    int32_t number;
  } cases[] = {{"/GPIB:E010/", err::GpibForwardingUnavailable},
               {"/GPIB:E008/", err::GpibDeviceTimeout},
               {"/GPIB:SPOLL=03/", err::GpibNoSerialPollResponse},
               {"", err::GpibNoSerialPollResponse}};
  for (const auto& c : cases) {
    channel_.sent.clear();
    channel_.poll_count = 0;
    channel_.PollThen({c.reply}, Tsnd);
    double start = host_.elapsed_seconds();
    KORTransaction t = Command("MEAS?");
    EXPECT_EQ(Run(t).Number(), c.number) << c.reply;
    EXPECT_EQ(channel_.sent.size(), 1u) << c.reply;
    EXPECT_NEAR(host_.elapsed_seconds() - start, 0.1, 1e-3) << "no wait after " << c.reply;
  }
}

TEST_F(CRLFtoGPIB, PollOverwritesTheClientsResponseTerminator) {
  core_.settings.resp_term = "#";
  channel_.PollThen({"/GPIB:SPOLL=02/"}, Tsnd);
  KORTransaction t = Command("MEAS?");
  EXPECT_EQ(Run(t).Number(), 0);
  EXPECT_EQ(core_.settings.resp_term, "\r\n>");
}

TEST_F(CRLFtoGPIB, QuotesTravelEscaped) {
  channel_.PollThen({"/GPIB:SPOLL=02/"}, Tsnd);
  KORTransaction t = Command("DISP:TEXT \"A,B\"");
  EXPECT_EQ(Run(t).Number(), 0);
  EXPECT_EQ(channel_.sent[1].cmd, "/GPIB:WTIM=10,MSG=\"DISP:TEXT <22>A,B<22>\",TSND/");
}

TEST_F(CRLFtoGPIB, TsndRepliesAreCheckedAndCut) {
  struct Case {
    std::string reply;
    int32_t number;
    std::string resp;
  } cases[] = {{"/GPIB:TSND=/", 0, ""},
               {"/GPIB:TSND=a/b/", 0, "a/b"},
               {"/GPIB:TSND=1.5\r\n/", 0, "1.5\r\n"},
               // Cut short: the closing slash is lost or the answer never came.
               {"/GPIB:TSND=1.23", err::GpibForwardingUnrecognized, ""},
               {"/GPIB:TSND=x", err::GpibForwardingUnrecognized, ""},
               {"/GPIB:TSND=", err::GpibForwardingUnrecognized, ""},
               {"/GPIB:E008/", err::GpibForwardingUnrecognized, ""},
               {"/gpib:TSND=1/", err::GpibForwardingUnrecognized, ""}};
  for (const auto& c : cases) {
    channel_.PollThen({"/GPIB:SPOLL=02/"}, [&](const std::string&) { return c.reply; });
    KORTransaction t = Command("MEAS?");
    AutomationError e = Run(t);
    EXPECT_EQ(e.Number(), c.number) << c.reply;
    EXPECT_EQ(t.resp(), c.resp) << c.reply;
    if (c.number) {
      EXPECT_EQ(e.Description(), "GPIB forwarding failure: unrecognized response to TSND.");
    }
  }
}

// The serial engine's own level of the error path, as SerialTransact runs it.
class UndefinedFaultChannel : public ScriptedFwdChannel {
 public:
  UndefinedFaultChannel(detail::VirtualHost& host, detail::InterfaceCore& core)
      : ScriptedFwdChannel(host), core_(core) {}
  void Exchange(KORTransaction& t) override {
    detail::RunStep(core_, [&] {
      ++attempts;
      throw AutomationError(err::UndefinedError, "Parley", "driver fault");
    });
    ScriptedFwdChannel::Exchange(t);
  }
  int attempts = 0;

 private:
  detail::InterfaceCore& core_;
};

TEST_F(CRLFtoGPIB, PersistentUndefinedErrorEndsTheTransaction) {
  UndefinedFaultChannel faulty(host_, core_);
  KORTransaction t = Command("MEAS?");
  AutomationError e = FailureOf(
      [&] { GpibForwarding(core_, faulty, settings_sent_).TransactCRLFtoGPIB(t, Steps()); });
  EXPECT_EQ(e.Number(), err::UndefinedError);
  EXPECT_EQ(e.Description(), "Undefined error.");
  EXPECT_EQ(faulty.attempts, 3);  // retried twice inside, raised at once by the outer level
  EXPECT_EQ(core_.undefined_retries, 0);
}

}  // namespace
}  // namespace parley::testing

// Mode 1 through the real serial engine on the simulated port: another program taking the
// port over (NotifySignal) makes the next message carry the full header again.
namespace parley::testing {
namespace {

class ForwardingOverSerial : public SerialLinkTest {
 protected:
  ForwardingOverSerial() {
    iface.commMode(korCommModeCRLFtoGPIB);
    unit->answers[kFullPoll] = "/GPIB:SPOLL=02/";
    unit->answers["/GPIB:SPOLL/"] = "/GPIB:SPOLL=02/";
    unit->answers["/GPIB:WTIM=10,MSG=\"MEAS?\",TSND/"] = "/GPIB:TSND=1.5/";
  }
  static constexpr const char* kFullPoll = "/GPIB:ADDR=1,DTO=5,ITC=EOI,REN=1,SPOLL/";
  std::string FirstWritten() {
    std::vector<std::string> written = TraceTexts(iface.DebugBuffGet(), "WRIT");
    iface.DebugBuffClear();
    return written.empty() ? "" : written.front();
  }
};

// Reopened with a new address, the first exchange never reaches the unit: the one after it
// must still carry the new settings.
TEST_F(ForwardingOverSerial, SettingsTravelAgainAfterAnExchangeThatNeverWentOut) {
  unit->answers["/GPIB:ADDR=9,DTO=5,ITC=EOI,REN=1,SPOLL/"] = "/GPIB:SPOLL=02/";
  const std::string full9 = "/GPIB:ADDR=9,DTO=5,ITC=EOI,REN=1,SPOLL/";
  Run("MEAS?");
  iface.closePort();
  iface.GPIBAddress(9);
  iface.openPort();
  connection()->locked = true;
  EXPECT_THROW(Run("MEAS?"), AutomationError);
  connection()->locked = false;
  iface.DebugBuffClear();
  Run("MEAS?");
  EXPECT_EQ(FirstWritten(), full9);

  // Another holder keeps the port through the whole wait.
  iface.closePort();
  iface.openPort();
  Run("MEAS?");
  iface.closePort();
  iface.DTO(7);
  iface.openPort();
  auto c = connection();
  c->HeldByOtherFor(1e9);
  unit->held_elsewhere = [c] { return c->HeldByOther(); };
  try {
    Run("MEAS?");
    ADD_FAILURE() << "the port wait did not fail";
  } catch (const AutomationError& e) {
    EXPECT_EQ(e.Number(), err::CouldNotGetCommPort);
  }
  c->HeldByOtherFor(0);
  unit->held_elsewhere = nullptr;
  unit->answers["/GPIB:ADDR=9,DTO=7,ITC=EOI,REN=1,SPOLL/"] = "/GPIB:SPOLL=02/";
  iface.DebugBuffClear();
  Run("MEAS?");
  EXPECT_EQ(FirstWritten(), "/GPIB:ADDR=9,DTO=7,ITC=EOI,REN=1,SPOLL/");
}

TEST_F(ForwardingOverSerial, FullHeaderAfterOpeningAndAfterNotifySignal) {
  EXPECT_EQ(Run("MEAS?").resp(), "1.5");
  EXPECT_EQ(FirstWritten(), kFullPoll);
  Run("MEAS?");
  EXPECT_EQ(FirstWritten(), "/GPIB:SPOLL/");
  connection()->Signal();
  EXPECT_EQ(Run("MEAS?").resp(), "1.5");
  EXPECT_EQ(FirstWritten(), kFullPoll);
}

}  // namespace
}  // namespace parley::testing
