// Mode-3 transactions on the simulated bus, as a client sees them.
#include "gpib/gpib_fixture.hpp"

namespace parley::testing {
namespace {

class DirectTransactTest : public GpibTest {};

TEST_P(DirectTransactTest, FirstTransactionOpensThenPollsWritesWaitsAndReads) {
  KORInterface i;
  Open(i);
  auto t = Tx("MEAS?");
  i.Transact(t);
  EXPECT_EQ(t.resp(), "1.23");
  EXPECT_FALSE(t.InComm());
  EXPECT_FALSE(i.Busy());
  EXPECT_EQ(Texts(), (Calls{"ibfind(\"GPIB0\")", "ibconfig(0, 7, 0)", "ibdev(0, 1, 0, 13, 1, 0)",
                            "ibclr(16)", "ibrsp(16)", "ibwrt(16, \"MEAS?\", 5)", "ibrsp(16)",
                            "ibconfig(16, 3, 13)", "ibrd(16, 256)"}));
  // The device settles for a second after its clear before anything is sent.
  EXPECT_NEAR(TimeOf("ibrsp") - TimeOf("ibclr"), 1.0, 1e-3);
  EXPECT_EQ(i.Progress()->status(), "");

  bus_.ClearCalls();
  i.Transact(t);  // the board and the device stay open
  EXPECT_EQ(Names(), (Calls{"ibrsp", "ibwrt", "ibrsp", "ibconfig", "ibrd"}));
}

TEST_P(DirectTransactTest, TraceRecordsCommandAndResponse) {
  KORInterface i;
  i.DebugMonitorOn();
  Open(i);
  auto t = Tx("MEAS?");
  i.Transact(t);
  auto trace = i.DebugBuffGet();
  EXPECT_NE(trace.find("WRIT\tMEAS?"), std::string::npos) << trace;
  EXPECT_NE(trace.find("READ\t1.23"), std::string::npos) << trace;
}

TEST_P(DirectTransactTest, NoResponseExpectedEndsAfterTheWrite) {
  KORInterface i;
  i.DebugMonitorOn();
  Open(i);
  auto t = Tx("CONF", false);
  i.Transact(t);
  EXPECT_EQ(Names().back(), "ibwrt");
  EXPECT_EQ(t.resp(), "");
  EXPECT_EQ(i.DebugBuffGet().find("READ"), std::string::npos);
}

TEST_P(DirectTransactTest, StrayResponseIsDrainedOnceAndIdleCheckUsesTheNewPoll) {
  KORInterface i;
  Open(i);
  std::vector<std::string> stages;
  auto progress = i.Progress();
  auto link = progress->Update.connect([&] { stages.push_back(progress->status()); });
  auto t = Tx("MEAS?");
  i.Transact(t);  // opens the device (its clear would drop a reply queued before)
  dev_.QueueReply("old reading");
  bus_.ClearCalls();
  i.Transact(t);
  EXPECT_EQ(t.resp(), "1.23");
  EXPECT_EQ(Names(), (Calls{"ibrsp", "ibrd", "ibrsp", "ibwrt", "ibrsp", "ibconfig", "ibrd"}));
  EXPECT_NE(std::find(stages.begin(), stages.end(), "Getting stray response out of buffer"),
            stages.end());
  link.disconnect();
}

TEST_P(DirectTransactTest, WaitForMavBitClearPollsAgainBeforeDraining) {
  KORInterface i;
  Open(i);
  i.WaitForMAVbitClear(true);
  i.TimeDelayForMAVbit(1.5);
  auto t = Tx("MEAS?");
  i.Transact(t);  // opens the device
  dev_.QueueReply("stray");
  bus_.ClearCalls();
  i.Transact(t);
  // Still set after the wait: one drain, then the usual exchange.
  EXPECT_EQ(Names(),
            (Calls{"ibrsp", "ibrsp", "ibrd", "ibrsp", "ibwrt", "ibrsp", "ibconfig", "ibrd"}));
  EXPECT_NEAR(TimeOf("ibrsp", 1) - TimeOf("ibrsp", 0), 1.5, 1e-3);

  // The instrument drops its stray output during the wait: nothing is drained.
  dev_.QueueReply("stray");
  EventLoop::ScheduleAfter(std::chrono::milliseconds(500), [&] { dev_.DiscardOutput(); });
  bus_.ClearCalls();
  i.Transact(t);
  EXPECT_EQ(Names(), (Calls{"ibrsp", "ibrsp", "ibwrt", "ibrsp", "ibconfig", "ibrd"}));
  EXPECT_EQ(t.resp(), "1.23");
}

TEST_P(DirectTransactTest, InstrumentNotIdleSendsNothing) {
  KORInterface i;
  Open(i);
  dev_.Busy(true);
  auto t = Tx("MEAS?");
  auto e = ErrorOf([&] { i.Transact(t); });
  EXPECT_EQ(e.Number(), err::GpibDirectFailure);
  EXPECT_NE(e.Description().find("0x00"), std::string::npos) << e.Description();
  EXPECT_EQ(Count("ibwrt"), 0);
  EXPECT_EQ(i.Progress()->status(), "");
  EXPECT_FALSE(i.Busy());

  i.IdleSPoll(0);  // ignored while open
  i.closePort();
  i.IdleSPoll(0);
  i.openPort();
  i.Transact(t);  // mask 0: always idle
  EXPECT_EQ(t.resp(), "1.23");
}

TEST_P(DirectTransactTest, MavMaskZeroSkipsStrayCheckAndReadsAfterOnePass) {
  KORInterface i;
  i.MAVSPoll(0);
  Open(i);
  auto t = Tx("MEAS?");
  i.Transact(t);
  dev_.QueueReply("stray");
  bus_.ClearCalls();
  i.Transact(t);
  EXPECT_EQ(Names(), (Calls{"ibrsp", "ibwrt", "ibrsp", "ibconfig", "ibrd"}));
  EXPECT_EQ(t.resp(), "stray");  // whatever the instrument had first
}

TEST_P(DirectTransactTest, MessageBit16PausesTwoSecondsBeforeTheReadUnlessSwitchedOff) {
  dev_.StatusBits(0x02, 0x10);
  KORInterface i;
  i.MAVSPoll(16);
  Open(i);
  auto t = Tx("MEAS?");
  i.Transact(t);
  EXPECT_NEAR(TimeOf("ibrd") - TimeOf("ibrsp", 1), 2.0, 1e-3);

  bus_.ClearCalls();
  i.DelayGPIBTrans(false);
  i.Transact(t);
  EXPECT_LT(TimeOf("ibrd") - TimeOf("ibrsp", 1), 0.01);
}

TEST_P(DirectTransactTest, WaitsForTheMessageBitUntilTheResponseTimeout) {
  dev_.ResponseDelay(4.0);
  KORInterface i;
  Open(i);
  auto t = Tx("MEAS?");
  i.Transact(t);
  EXPECT_EQ(t.resp(), "1.23");
  EXPECT_NEAR(TimeOf("ibrd") - TimeOf("ibwrt"), 4.0, 0.01);

  dev_.ResponseDelay(30.0);
  auto e = ErrorOf([&] { i.Transact(t); });
  EXPECT_EQ(e.Number(), err::ResponseTerminatorTimeout);
  EXPECT_EQ(e.Description(), "Response terminator not received in timeout period.");
}

TEST_P(DirectTransactTest, ServiceRequestWaitPollsOnlyWhenTheLineIsAsserted) {
  dev_.StatusBits(0x02, 0x10);
  dev_.ResponseDelay(2.0);
  KORInterface i;
  i.MAVSPoll(16);
  i.UseSRQ(true);
  Open(i);
  std::vector<int16_t> countdown;
  auto progress = i.Progress();
  auto link = progress->Update.connect([&] {
    if (progress->status() == "Waiting for response") countdown.push_back(progress->Value());
  });
  auto t = Tx("MEAS?");
  i.Transact(t);
  link.disconnect();
  EXPECT_EQ(t.cmd(), "*SRE 16;MEAS?");
  EXPECT_EQ(t.resp(), "1.23");
  EXPECT_EQ(dev_.ServiceRequestEnable(), 16);
  auto names = Names();
  auto write = std::find(names.begin(), names.end(), "ibwrt");
  // After the write: the board waits in the driver (a few times a second, not every
  // millisecond) until SRQ, one poll, then the read with no extra pause.
  EXPECT_EQ(std::count(write, names.end(), "ibrsp"), 1);
  auto waits = std::count(write, names.end(), "ibwait");
  EXPECT_GE(waits, 2);
  EXPECT_LE(waits, 10);
  EXPECT_EQ(names.back(), "ibrd");
  EXPECT_NEAR(TimeOf("ibrd") - TimeOf("ibwrt"), 2.0, 0.01);
  // The countdown still shows every whole second it passes through.
  EXPECT_EQ(countdown.front(), 10);
  EXPECT_NE(std::find(countdown.begin(), countdown.end(), 9), countdown.end());
  EXPECT_NE(std::find(countdown.begin(), countdown.end(), 8), countdown.end());
}

TEST_P(DirectTransactTest, ServiceRequestWaitSamplesWhenTheBoardRefusesATimeout) {
  dev_.StatusBits(0x02, 0x10);
  KORInterface i;
  i.MAVSPoll(16);
  i.UseSRQ(true);
  Open(i);
  auto t = Tx("MEAS?");
  i.Transact(t);  // opens the device and sends the SRE prefix
  dev_.ResponseDelay(0.5);
  bus_.ClearCalls();
  bus_.InjectError("ibconfig", 4);  // the board's timeout, refused
  t = Tx("MEAS?");
  i.Transact(t);
  EXPECT_EQ(t.resp(), "1.23");
  auto names = Names();
  // Sampled once per millisecond pass, as a driver without board timeouts needs.
  EXPECT_GT(std::count(names.begin(), names.end(), "ibwait"), 100);
  EXPECT_NEAR(TimeOf("ibrd") - TimeOf("ibwrt"), 0.5, 0.01);
}

TEST_P(DirectTransactTest, ServiceRequestNeverAssertedTimesOut) {
  dev_.StatusBits(0x02, 0x10);
  KORInterface i;
  i.MAVSPoll(16);
  i.UseSRQ(true);
  Open(i);
  auto t = Tx("*RST;MEAS?");  // not prefixed: the instrument never requests service
  auto e = ErrorOf([&] { i.Transact(t); });
  EXPECT_EQ(e.Number(), err::ResponseTerminatorTimeout);
  EXPECT_NEAR(host_.elapsed_seconds(), 1.0 + 10.0, 0.01);
}

TEST_P(DirectTransactTest, SreIsPrefixedOnceAfterEachOpenAndNeverOnAReset) {
  KORInterface i;
  i.UseSRQ(true);
  i.MAVSPoll(0);
  Open(i);
  auto reset = Tx("*RST", false);
  i.Transact(reset);
  EXPECT_EQ(reset.cmd(), "*RST");
  auto first = Tx("MEAS?");
  i.Transact(first);
  EXPECT_EQ(first.cmd(), "*SRE 16;MEAS?");
  auto second = Tx("MEAS?");
  i.Transact(second);
  EXPECT_EQ(second.cmd(), "MEAS?");
  i.GPIBClose();
  i.openPort();
  auto third = Tx("MEAS?");
  i.Transact(third);
  EXPECT_EQ(third.cmd(), "*SRE 16;MEAS?");
  EXPECT_EQ(dev_.Received().back(), "*SRE 16;MEAS?");
}

TEST_P(DirectTransactTest, ExpectedEaboIsRetriedUntilTheResponseTimeout) {
  KORInterface i;
  i.EABOExpected(true);
  i.DTO(3);
  i.MAVSPoll(0);
  Open(i);
  auto t = Tx("ARM");  // no reply: every read ends in EABO after the 3-second device timeout
  auto e = ErrorOf([&] { i.Transact(t); });
  EXPECT_EQ(e.Number(), err::ResponseTerminatorTimeout);
  EXPECT_EQ(Count("ibrd"), 4);  // ends at 3, 6, 9 and 12 s of a 10-second timeout
}

TEST_P(DirectTransactTest, UnexpectedEaboFailsAtOnce) {
  KORInterface i;
  i.MAVSPoll(0);
  Open(i);
  auto t = Tx("ARM");
  auto e = ErrorOf([&] { i.Transact(t); });
  EXPECT_EQ(e.Number(), err::GpibAborted);
  EXPECT_EQ(e.Description(), "I/O operation aborted(timeout).");
  EXPECT_EQ(Count("ibrd"), 1);
}

TEST_P(DirectTransactTest, LateReplyIsStillATimeout) {
  dev_.StatusBits(0x02, 0x10);
  dev_.ResponseDelay(9);  // ready at 9 s; the pause before the read ends past the 10 s
  KORInterface i;
  i.MAVSPoll(16);
  Open(i);
  auto t = Tx("MEAS?");
  auto e = ErrorOf([&] { i.Transact(t); });
  EXPECT_EQ(e.Number(), err::ResponseTerminatorTimeout);
  EXPECT_EQ(dev_.Unread(), "");  // it was read, and still refused
}

TEST_P(DirectTransactTest, LongResponsesAreCutAtTheBufferAndTheRestStays) {
  dev_.Reply("DUMP?", std::string(300, 'x'));
  KORInterface i;
  Open(i);
  auto t = Tx("DUMP?");
  i.Transact(t);
  EXPECT_EQ(t.resp().size(), 256u);
  EXPECT_EQ(dev_.Unread().size(), 44u);

  i.GPIBDirectMaxRespLength(20000);
  dev_.Reply("DUMP?", std::string(20000, 'y'));
  auto clear = Tx("*CLS", false);
  i.Transact(clear);  // the rest of the old reply is drained as a stray response first
  i.Transact(t);
  EXPECT_EQ(t.resp(), std::string(20000, 'y'));
}

TEST_P(DirectTransactTest, RemoveExtraCharStripsTrailingLineEnds) {
  dev_.Reply("MEAS?", "1234\r\n\r");
  dev_.Reply("NL?", "\r\n");
  KORInterface i;
  i.RemoveExtraChar(true);
  Open(i);
  auto t = Tx("MEAS?");
  i.Transact(t);
  EXPECT_EQ(t.resp(), "1234");
  auto nl = Tx("NL?");
  i.Transact(nl);
  EXPECT_EQ(nl.resp(), "");
}

TEST_P(DirectTransactTest, HaltDuringTheWaitCancelsAndClearsTheDisplay) {
  dev_.ResponseDelay(8);
  KORInterface i;
  Open(i);
  auto progress = i.Progress();
  int acks = 0;
  auto halt = progress->Update.connect([&] {
    if (progress->status() == "Waiting for response" && progress->Value() <= 5) progress->Halt();
  });
  auto ack = progress->HaltAck.connect([&] { ++acks; });
  auto t = Tx("MEAS?");
  auto e = ErrorOf([&] { i.Transact(t); });
  EXPECT_EQ(e.Number(), err::UserCanceled);
  EXPECT_EQ(progress->status(), "");
  EXPECT_EQ(acks, 2);  // once per level: the exchange and Transact
  EXPECT_FALSE(i.Busy());
  EXPECT_EQ(Count("ibrd"), 0);
  halt.disconnect();
  ack.disconnect();
}

TEST_P(DirectTransactTest, ReentrantCallDuringTheWaitIsRefused) {
  dev_.ResponseDelay(3);
  KORInterface i;
  Open(i);
  auto progress = i.Progress();
  int32_t refused = 0;
  auto link = progress->Update.connect([&] {
    if (refused || progress->status() != "Waiting for response") return;
    int16_t spr = 0;
    refused = ErrorOf([&] { i.Spoll(spr); }).Number();
    auto other = Tx("MEAS?");
    ErrorOf([&] { i.Transact(other); });
    ErrorOf([&] { i.GPIBClose(); });
  });
  auto t = Tx("MEAS?");
  i.Transact(t);
  EXPECT_EQ(refused, err::InterfaceBusy);
  EXPECT_EQ(t.resp(), "1.23");
  EXPECT_TRUE(i.IsPortOpen());
  EXPECT_EQ(Count("ibwrt"), 1);
  link.disconnect();
}

TEST_P(DirectTransactTest, EveryDriverErrorCodeBecomesItsLibraryError) {
  const std::vector<std::pair<int32_t, uint32_t>> known = {
      {0, 0x80047F80},  {1, 0x80047F81},  {2, 0x80047F82},  {3, 0x80047F83},  {4, 0x80047F84},
      {5, 0x80047F85},  {6, 0x80047F86},  {7, 0x80047F87},  {10, 0x80047F88}, {11, 0x80047F89},
      {12, 0x80047F8A}, {14, 0x80047F8B}, {15, 0x80047F8C}, {16, 0x80047F8D}, {20, 0x80047F8E}};
  KORInterface i;
  Open(i);
  auto t = Tx("MEAS?");
  i.Transact(t);
  for (auto [code, number] : known) {
    bus_.InjectError("ibwrt", code);
    auto e = ErrorOf([&] { i.Transact(t); });
    EXPECT_EQ(e.Number(), static_cast<int32_t>(number)) << "driver code " << code;
    EXPECT_EQ(e.Description(), CatalogueMessage(e.Number()));
    EXPECT_EQ(e.Source().rfind("RediDU", 0), 0u) << e.Source();
  }
  for (int32_t code : {8, 9, 13, 17, 18, 19, 21, 255, -1}) {
    bus_.InjectError("ibwrt", code, -1);
    auto e = ErrorOf([&] { i.Transact(t); });
    EXPECT_EQ(e.Number(), err::UndefinedError) << "driver code " << code;
    EXPECT_EQ(e.Description(), "Undefined error.");
  }
}

TEST_P(DirectTransactTest, PersistentUndefinedErrorEndsAfterThreeAttempts) {
  KORInterface i;
  Open(i);
  auto t = Tx("MEAS?");
  i.Transact(t);
  bus_.ClearCalls();
  bus_.InjectError("ibrsp", 8, -1);
  auto e = ErrorOf([&] { i.Transact(t); });
  EXPECT_EQ(e.Number(), err::UndefinedError);
  EXPECT_EQ(e.Description(), "Undefined error.");
  EXPECT_EQ(Count("ibrsp"), 3);
  EXPECT_FALSE(i.Busy());

  // A fault that clears within the retries is not reported at all.
  bus_.ClearCalls();
  bus_.InjectError("ibrsp", 8, 2);
  i.Transact(t);
  EXPECT_EQ(t.resp(), "1.23");

  // The same bound holds inside the device set-up, one level deeper.
  i.GPIBClose();
  bus_.ClearCalls();
  bus_.InjectError("ibconfig", 19, -1);
  i.openPort();
  e = ErrorOf([&] { i.Transact(t); });
  EXPECT_EQ(e.Number(), err::UndefinedError);
  EXPECT_EQ(Count("ibconfig"), 3);
}

TEST_P(DirectTransactTest, ValidationRunsBeforeAnyDriverCall) {
  KORInterface i;
  Open(i);
  auto t = Tx("MEAS?", true, 15);
  EXPECT_EQ(ErrorOf([&] { i.Transact(t); }).Number(), err::InvalidResponseTimeout);
  EXPECT_TRUE(bus_.Calls().empty());
}

// A command past the limit is refused before the device is opened, polled or written to,
// also once the device is open; one at the limit goes out whole.
TEST_P(DirectTransactTest, OverlongCommandIsAnOverflowBeforeAnythingReachesTheBus) {
  dev_.OnCommand([](const std::string& command) {
    return std::optional<std::string>(std::to_string(command.size()));
  });
  const struct {
    bool opened_first;
    std::size_t size;
    bool refused;
  } cases[] = {
      {false, kMaxGpibDirectCommandLength + 1, true},
      {true, kMaxGpibDirectCommandLength + 1, true},
      {true, 1u << 20, true},
      {true, kMaxGpibDirectCommandLength, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.size << (c.opened_first ? " after a transaction" : ""));
    KORInterface i;
    Open(i);
    if (c.opened_first) {
      auto first = Tx("MEAS?");
      i.Transact(first);
    }
    bus_.ClearCalls();
    auto received = dev_.Received().size();
    auto t = Tx(std::string(c.size, 'A'));
    if (!c.refused) {
      i.Transact(t);
      EXPECT_EQ(t.resp(), std::to_string(c.size));
      continue;
    }
    auto e = ErrorOf([&] { i.Transact(t); });
    EXPECT_EQ(e.Number(), err::Overflow);
    EXPECT_NE(e.Description().find("nothing was sent"), std::string::npos) << e.Description();
    EXPECT_TRUE(Names().empty());
    EXPECT_EQ(dev_.Received().size(), received);
    EXPECT_FALSE(i.Busy());
    EXPECT_FALSE(t.InComm());
  }
}

PARLEY_GPIB_BACKENDS(DirectTransactTest);

}  // namespace
}  // namespace parley::testing
