// The GPIB In/Out dialogue (mode 4) on the virtual clock against a scripted remote unit.
#include "forwarding/inout.hpp"

#include <gtest/gtest.h>

#include "parley/errors.hpp"
#include "support/fwd_fixture.hpp"

namespace parley::testing {
namespace {

using detail::GpibInOut;

std::string Spoll(int status) {
  char text[32];
  std::snprintf(text, sizeof text, "/GPIB:SPOLL=%02X/", status);
  return text;
}

// Answers OUT with "/C/", IN with `answer` framed, REN with `ren`.
std::string Unit(const std::string& cmd, const std::string& answer = "1.5",
                 const std::string& ren = "1") {
  if (cmd.find(",OUT/") != std::string::npos) return "/C/";
  if (cmd.find("IN/") != std::string::npos) return "/GPIB:IN=\"" + answer + "\"/";
  if (cmd.find("REN/") != std::string::npos) return "/GPIB:REN=" + ren + "/";
  return "/C/";
}

class InOut : public FwdFixture {
 protected:
  InOut() { core_.settings.comm_mode = korCommModeGPIBInOut; }
  AutomationError Run(KORTransaction& t) {
    return FailureOf([&] { GpibInOut(core_, channel_, settings_sent_).Transact(t, Steps()); });
  }
  std::size_t CountOf(const std::string& part) const {
    std::size_t n = 0;
    for (const auto& e : channel_.sent) n += e.cmd.find(part) != std::string::npos;
    return n;
  }
};

TEST_F(InOut, IdleThenOutThenReadyThenIn) {
  channel_.PollThen({Spoll(0x02), Spoll(0x01), Spoll(0x04)},
                    [](const std::string& c) { return Unit(c); });
  KORTransaction t = Command("MEAS? \"V\"", korMedium);
  EXPECT_EQ(Run(t).Number(), 0);
  EXPECT_EQ(channel_.Commands(),
            (std::vector<std::string>{"/GPIB:ADDR=5,DTO=5,ITC=EOI,REN=1,SPOLL/",
                                      "/GPIB:DTO=5,MSG=\"MEAS? <22>V<22>\",OUT/", "/GPIB:SPOLL/",
                                      "/GPIB:SPOLL/", "/GPIB:IN/"}));
  EXPECT_EQ(channel_.sent[0].timeout, 10);  // DTO + 5
  EXPECT_EQ(channel_.sent[1].timeout, 30);  // the client's, being larger
  EXPECT_EQ(channel_.sent[2].timeout, 10);
  EXPECT_EQ(channel_.sent[4].timeout, 10);
  EXPECT_NEAR(channel_.sent[3].at - channel_.sent[2].at, 1.1, 1e-3);
  EXPECT_EQ(t.resp(), "1.5");
  EXPECT_EQ(core_.settings.resp_term, "\r\n>");
}

TEST_F(InOut, WorkingTimeoutIsAtLeastDtoPlusFive) {
  channel_.PollThen({Spoll(0x02), Spoll(0x04)}, [](const std::string& c) { return Unit(c); });
  core_.settings.dto = 10;
  KORTransaction t = Command("MEAS?");
  EXPECT_EQ(Run(t).Number(), 0);
  EXPECT_EQ(channel_.sent[1].cmd.substr(0, 12), "/GPIB:DTO=10");
  EXPECT_EQ(channel_.sent[1].timeout, 15);
  EXPECT_EQ(channel_.sent.back().timeout, 15);  // IN
}

TEST_F(InOut, BusyThreeTimesWritesNothing) {
  channel_.PollThen({Spoll(0x01)}, [](const std::string& c) { return Unit(c); });
  KORTransaction t = Command("MEAS?");
  EXPECT_EQ(Run(t).Number(), err::GpibNoSerialPollResponse);
  EXPECT_EQ(channel_.sent.size(), 3u);
  EXPECT_EQ(CountOf("OUT/"), 0u);
  EXPECT_EQ(core_.progress->status(), "");
}

TEST_F(InOut, StrayAnswerUsesUpItsAttempt) {
  // 0x06: message available and idle; the stray read comes first, the write waits.
  channel_.PollThen({Spoll(0x06), Spoll(0x02), Spoll(0x04)},
                    [](const std::string& c) { return Unit(c); });
  KORTransaction t = Command("MEAS?");
  EXPECT_EQ(Run(t).Number(), 0);
  EXPECT_EQ(channel_.sent[1].cmd, "/GPIB:IN/");
  EXPECT_NE(channel_.sent[2].cmd.find("SPOLL/"), std::string::npos);
  EXPECT_NE(channel_.sent[3].cmd.find(",OUT/"), std::string::npos);

  // Three strays in a row leave no attempt for the write.
  channel_.sent.clear();
  channel_.poll_count = 0;
  channel_.PollThen({Spoll(0x04)}, [](const std::string& c) { return Unit(c); });
  EXPECT_EQ(Run(t).Number(), err::GpibNoSerialPollResponse);
  EXPECT_EQ(CountOf("IN/"), 3u);
  EXPECT_EQ(CountOf("OUT/"), 0u);
}

TEST_F(InOut, MasksDecideIdleAndReady) {
  // IdleSPoll 0: the first poll without a message lets the write go ahead.
  core_.settings.idle_spoll = 0;
  channel_.PollThen({Spoll(0x01), Spoll(0x05)}, [](const std::string& c) { return Unit(c); });
  KORTransaction t = Command("MEAS?");
  EXPECT_EQ(Run(t).Number(), 0);
  EXPECT_EQ(CountOf("SPOLL/"), 2u);  // 0x05 has every bit of the default MAVSPoll
  EXPECT_EQ(t.resp(), "1.5");

  // MAVSPoll 0x14 needs both bits before the answer is read.
  core_.settings.idle_spoll = 2;
  core_.settings.mav_spoll = 0x14;
  channel_.sent.clear();
  channel_.poll_count = 0;
  channel_.PollThen({Spoll(0x02), Spoll(0x04), Spoll(0x14)},
                    [](const std::string& c) { return Unit(c); });
  EXPECT_EQ(Run(t).Number(), 0);
  EXPECT_EQ(CountOf("SPOLL/"), 3u);
}

TEST_F(InOut, AnswerNeverReadyEndsWithTerminatorTimeout) {
  channel_.PollThen({Spoll(0x02), Spoll(0x01)}, [](const std::string& c) { return Unit(c); });
  KORTransaction t = Command("MEAS?");
  double start = host_.elapsed_seconds();
  AutomationError e = Run(t);
  EXPECT_EQ(e.Number(), err::ResponseTerminatorTimeout);
  EXPECT_EQ(CountOf("IN/"), 0u);
  double waited = host_.elapsed_seconds() - start;
  EXPECT_GE(waited, 10.0);
  EXPECT_LT(waited, 12.5);
  // About one poll per second plus one exchange.
  EXPECT_GE(CountOf("SPOLL/"), 1u + 8u);
  EXPECT_LE(CountOf("SPOLL/"), 1u + 10u);
  EXPECT_EQ(core_.progress->status(), "");
}

TEST_F(InOut, NoResponseExpectedSkipsTheAnswer) {
  channel_.PollThen({Spoll(0x02)}, [](const std::string& c) { return Unit(c); });
  KORTransaction t = Command("*RST");
  t.RespExpect(false);
  EXPECT_EQ(Run(t).Number(), 0);
  EXPECT_EQ(channel_.sent.size(), 2u);
  EXPECT_EQ(t.resp(), "");
}

TEST_F(InOut, OutMustBeAcknowledged) {
  channel_.PollThen({Spoll(0x02)}, [](const std::string&) { return std::string("/GPIB:E008/"); });
  KORTransaction t = Command("*RST");
  EXPECT_EQ(Run(t).Number(), err::GpibForwardingUnrecognized);
}

TEST_F(InOut, PollErrorsAfterTheWrite) {
  channel_.PollThen({Spoll(0x02), "/GPIB:E008/"}, [](const std::string& c) { return Unit(c); });
  KORTransaction t = Command("MEAS?");
  EXPECT_EQ(Run(t).Number(), err::GpibDeviceTimeout);
  channel_.poll_count = 0;
  channel_.PollThen({Spoll(0x02), "/GPIB:E010/"}, [](const std::string& c) { return Unit(c); });
  EXPECT_EQ(Run(t).Number(), err::GpibForwardingUnavailable);
  channel_.poll_count = 0;
  channel_.PollThen({"junk"}, [](const std::string& c) { return Unit(c); });
  EXPECT_EQ(Run(t).Number(), err::GpibNoSerialPollResponse);
}

TEST_F(InOut, HaltWhileWaitingForTheAnswer) {
  channel_.PollThen({Spoll(0x02), Spoll(0x01)}, [](const std::string& c) { return Unit(c); });
  int acks = 0;
  auto ack = core_.progress->HaltAck.connect([&] { ++acks; });
  auto upd = core_.progress->Update.connect([&] {
    if (core_.progress->status() == "Getting response") core_.progress->Halt();
  });
  KORTransaction t = Command("MEAS?", korLong);
  double start = host_.elapsed_seconds();
  EXPECT_EQ(Run(t).Number(), err::UserCanceled);
  EXPECT_LT(host_.elapsed_seconds() - start, 3.0);
  EXPECT_EQ(acks, 1);
}

TEST_F(InOut, InRepliesAreParsedNotCut) {
  struct Case {
    std::string reply;
    int32_t number;
    std::string resp;
  } cases[] = {
      {"/GPIB:IN=\"\"/", 0, ""},
      {"/GPIB:IN=\"say <22>hi<22>\"/", 0, "say \"hi\""},
      {std::string("/GPIB:IN=\"\0\xFF\"/", 14), 0, std::string("\0\xFF", 2)},
      {"/GPIB:E008/", err::GpibDeviceTimeout, ""},
      {"/GPIB:E010/", err::GpibForwardingUnavailable, ""},
      {"/GPIB:IN=4.56/", err::GpibForwardingUnrecognized, ""},
      {"/GPIB:IN=\"4.56", err::GpibForwardingUnrecognized, ""},
      {"/GPIB:IN=\"/", err::GpibForwardingUnrecognized, ""},
      {"/GPIB:IN=\"a\"b\"/", err::GpibForwardingUnrecognized, ""},
      {"/GPIB:ERR=DEVICE TIMEOUT/", err::GpibForwardingUnrecognized, ""},
      {"/GPIB:IN", err::GpibForwardingUnrecognized, ""},
      {"", err::GpibForwardingUnrecognized, ""},
  };
  for (const auto& c : cases) {
    channel_.poll_count = 0;
    channel_.PollThen({Spoll(0x02), Spoll(0x04)}, [&](const std::string& cmd) {
      return cmd.find("IN/") != std::string::npos ? c.reply : Unit(cmd);
    });
    KORTransaction t = Command("MEAS?");
    AutomationError e = Run(t);
    EXPECT_EQ(e.Number(), c.number) << c.reply;
    EXPECT_EQ(t.resp(), c.resp) << c.reply;
    if (c.number) {
      EXPECT_EQ(e.Description(), CatalogueMessage(c.number)) << c.reply;
    }

    channel_.respond = [&](const std::string&) { return c.reply; };
    KORTransaction read = Command("X");
    e = FailureOf([&] { GpibInOut(core_, channel_, settings_sent_).GetTransact(read, Steps()); });
    EXPECT_EQ(e.Number(), c.number) << "GetTransact " << c.reply;
    EXPECT_EQ(read.resp(), c.resp) << "GetTransact " << c.reply;
  }
}

TEST_F(InOut, MalformedStatusBytesAreNoStatus) {
  for (const char* reply :
       {"/GPIB:SPOLL=zz/", "/GPIB:SPOLL=/", "/GPIB:SPOLL=-1/", "/GPIB:SPOLL=123/", "/GPIB:SPOLL=4/",
        "/GPIB:SPOLL=02", "/GPIB:SPOLL=02/x"}) {
    channel_.poll_count = 0;
    channel_.PollThen({reply}, [](const std::string& c) { return Unit(c); });
    int16_t value = -1;
    AutomationError e =
        FailureOf([&] { GpibInOut(core_, channel_, settings_sent_).InOutSerialPoll(value); });
    EXPECT_EQ(e.Number(), err::GpibNoSerialPollResponse) << reply;
    EXPECT_EQ(value, -1) << reply;
    // Before the command: nothing is sent; after it: the answer is never read.
    channel_.sent.clear();
    KORTransaction t = Command("MEAS?");
    EXPECT_EQ(Run(t).Number(), err::GpibNoSerialPollResponse) << reply;
    EXPECT_EQ(CountOf(",OUT/"), 0u) << reply;
    channel_.sent.clear();
    channel_.poll_count = 0;
    channel_.PollThen({Spoll(0x02), reply}, [](const std::string& c) { return Unit(c); });
    EXPECT_EQ(Run(t).Number(), err::GpibNoSerialPollResponse) << reply;
    EXPECT_EQ(CountOf("IN/"), 0u) << reply;
  }
}

TEST_F(InOut, SerialPollReturnsTheStatusByte) {
  GpibInOut inout(core_, channel_, settings_sent_);
  core_.settings.resp_term = "X";
  channel_.PollThen({Spoll(0x44), "/GPIB:E010/", "/GPIB:E008/"},
                    [](const std::string& c) { return Unit(c); });
  int16_t value = -1;
  inout.InOutSerialPoll(value);
  EXPECT_EQ(value, 0x44);
  EXPECT_EQ(core_.settings.resp_term, "\r\n>");
  EXPECT_EQ(channel_.sent[0].timeout, 10);
  EXPECT_EQ(FailureOf([&] { inout.InOutSerialPoll(value); }).Number(),
            err::GpibForwardingUnavailable);
  EXPECT_EQ(FailureOf([&] { inout.InOutSerialPoll(value); }).Number(), err::GpibDeviceTimeout);
  EXPECT_EQ(value, 0x44);
}

TEST_F(InOut, GetTransactReadsWithoutPolling) {
  channel_.respond = [](const std::string& c) { return Unit(c, "late answer"); };
  KORTransaction t = Command("X", korLong);
  GpibInOut(core_, channel_, settings_sent_).GetTransact(t, Steps());
  EXPECT_EQ(channel_.Commands(),
            (std::vector<std::string>{"/GPIB:ADDR=5,DTO=5,ITC=EOI,REN=1,IN/"}));
  EXPECT_EQ(channel_.sent[0].timeout, 60);
  EXPECT_EQ(t.resp(), "late answer");

  // Validated although nothing of the command is sent.
  KORTransaction empty = Command("");
  EXPECT_EQ(FailureOf([&] {
              GpibInOut(core_, channel_, settings_sent_).GetTransact(empty, Steps());
            }).Number(),
            err::InvalidCommand);
  EXPECT_EQ(channel_.sent.size(), 1u);
}

TEST_F(InOut, RemoteEnableTogglesAndRestores) {
  struct Case {
    std::string reply;
    std::vector<std::string> expected;
  } cases[] = {
      {"/GPIB:REN=1/", {"REN/", "REN=0/", "REN=1/"}},
      {"/GPIB:REN=0/", {"REN/", "REN=1/", "REN=0/"}},
      {"/GPIB:REN=7/", {"REN/", "REN=1/", "REN=7/"}},
  };
  for (const auto& c : cases) {
    channel_.sent.clear();
    channel_.respond = [&](const std::string&) { return c.reply; };
    GpibInOut(core_, channel_, settings_sent_).RemoteEnable();
    ASSERT_EQ(channel_.sent.size(), 3u);
    for (int i = 0; i < 3; ++i) {
      const std::string& cmd = channel_.sent[i].cmd;
      EXPECT_EQ(cmd.substr(cmd.size() - c.expected[i].size()), c.expected[i]) << c.reply;
      EXPECT_EQ(channel_.sent[i].timeout, 10);
    }
  }
  EXPECT_EQ(channel_.sent[1].cmd, "/GPIB:REN=1/");
}

TEST_F(InOut, RemoteEnableSendsNothingOfAMalformedState) {
  for (const std::string reply : {"/GPIB:REN=1\r\nXYZ/", "/GPIB:REN=0/SPOLL/", "/GPIB:REN=/",
                                  "/GPIB:E010/", "/GPIB", "/GPIB:REN=123456789/", "/GPIB:REN=1"}) {
    channel_.sent.clear();
    channel_.respond = [&](const std::string&) { return reply; };
    AutomationError e =
        FailureOf([&] { GpibInOut(core_, channel_, settings_sent_).RemoteEnable(); });
    EXPECT_EQ(e.Number(), err::GpibForwardingUnrecognized) << reply;
    EXPECT_EQ(channel_.sent.size(), 1u) << reply;
  }
}

TEST_F(InOut, RemoteEnableErrorsCarryTheirCatalogueText) {
  iface_->commMode(korCommModeGPIBInOut);
  core_.settings.itc = 5;  // refused by the header before anything is sent
  AutomationError e = FailureOf([&] { iface_->RemoteEnable(); });
  EXPECT_EQ(e.Number(), err::InvalidGpibTermination);
  EXPECT_EQ(e.Description(), CatalogueMessage(err::InvalidGpibTermination));
}

}  // namespace
}  // namespace parley::testing
