// Board and device set-up and release, Spoll, GetTransact and RemoteEnable in mode 3, and the
// driver binding's registration and status words.
#include <thread>

#include "gpib/driver/gpib_binding.hpp"
#include "gpib/gpib_fixture.hpp"
#include "support/virtual_fixture.hpp"

namespace parley::testing {
namespace {

class GpibDeviceTest : public GpibTest {
 protected:
  std::string IbdevFor(int16_t dto, bool eabo);
};

std::string GpibDeviceTest::IbdevFor(int16_t dto, bool eabo) {
  SimulatedGpibBus bus;
  bus.AddInstrument(1);
  UseBus(bus);
  KORInterface i;
  i.DTO(dto);
  i.EABOExpected(eabo);
  i.commMode(korCommModeGPIBDirect);
  i.openPort();
  int16_t spr = 0;
  i.Spoll(spr);
  for (const auto& c : bus.Calls()) {
    if (c.name == "ibdev") return c.text;
  }
  return "";
}

TEST_P(GpibDeviceTest,
       DeviceTimeoutCodeFollowsDtoAndNeverDropsBelowTenSecondsUnlessEaboIsExpected) {
  EXPECT_EQ(IbdevFor(5, false), "ibdev(0, 1, 0, 13, 1, 0)");
  EXPECT_EQ(IbdevFor(3, false), "ibdev(0, 1, 0, 13, 1, 0)");
  EXPECT_EQ(IbdevFor(3, true), "ibdev(0, 1, 0, 12, 1, 0)");
  EXPECT_EQ(IbdevFor(1, true), "ibdev(0, 1, 0, 11, 1, 0)");
  EXPECT_EQ(IbdevFor(10, false), "ibdev(0, 1, 0, 13, 1, 0)");
  EXPECT_EQ(IbdevFor(11, false), "ibdev(0, 1, 0, 14, 1, 0)");
  EXPECT_EQ(IbdevFor(100, false), "ibdev(0, 1, 0, 15, 1, 0)");
  EXPECT_EQ(IbdevFor(300, false), "ibdev(0, 1, 0, 16, 1, 0)");
  EXPECT_EQ(IbdevFor(301, false), "ibdev(0, 1, 0, 17, 1, 0)");
  EXPECT_EQ(IbdevFor(1000, true), "ibdev(0, 1, 0, 17, 1, 0)");
}

TEST_P(GpibDeviceTest, SkipIbClrStillWaitsOneSecond) {
  KORInterface i;
  i.SkipIBClr(true);
  Open(i);
  int16_t spr = 0;
  i.Spoll(spr);
  EXPECT_EQ(Names(), (Calls{"ibfind", "ibconfig", "ibdev", "ibrsp"}));
  EXPECT_NEAR(TimeOf("ibrsp") - TimeOf("ibdev"), 1.0, 1e-3);
}

TEST_P(GpibDeviceTest, FailedSetUpStepsLeaveTheBoardAndDeviceToBeOpenedAgain) {
  KORInterface i;
  Open(i);
  int16_t spr = 0;
  bus_.InjectError("ibconfig", 5);
  EXPECT_EQ(ErrorOf([&] { i.Spoll(spr); }).Number(), err::GpibNotSystemController);
  bus_.InjectError("ibclr", 2);
  EXPECT_EQ(ErrorOf([&] { i.Spoll(spr); }).Number(), err::GpibWriteHandshake);
  EXPECT_EQ(bus_.OnlineDevices(), 0);  // the half-opened descriptor is not left behind
  i.Spoll(spr);
  EXPECT_EQ(Names(), (Calls{"ibfind", "ibconfig", "ibfind", "ibconfig", "ibdev", "ibclr", "ibonl",
                            "ibdev", "ibclr", "ibrsp"}));
  EXPECT_EQ(bus_.OnlineDevices(), 1);
}

TEST_P(GpibDeviceTest, UnknownBoardAndFailedRegistrationRaiseBoardInitialisationError) {
  KORInterface i;
  Open(i);
  int16_t spr = 0;
  bus_.InjectError("ibfind", 7);
  auto e = ErrorOf([&] { i.Spoll(spr); });
  EXPECT_EQ(e.Number(), static_cast<int32_t>(0x80047F76));
  EXPECT_EQ(e.Description(), "Error initializing GPIB board.");
  EXPECT_FALSE(i.Busy());
}

TEST_F(SimulatedGpibTest, RegistrationIsLazyOncePerThreadAndHonoursItsReturnCodes) {
  auto spoll = [&](KORInterface& i) {
    int16_t spr = 0;
    return ErrorOf([&] {
      i.Spoll(spr);
      throw AutomationError(0, "", "");
    });
  };
  KORInterface i;
  Open(i);
  bus_.QueueRegistrationResult(2);
  bus_.QueueRegistrationResult(3);
  bus_.QueueRegistrationResult(-1);
  bus_.QueueRegistrationResult(7);
  bus_.QueueRegistrationResult(1);
  for (int k = 0; k < 4; ++k) EXPECT_EQ(spoll(i).Number(), err::GpibBoardInitFailed);
  EXPECT_EQ(spoll(i).Number(), 0);  // 1: unregistered, registered again, used
  EXPECT_EQ(spoll(i).Number(), 0);
  EXPECT_EQ(bus_.CallNames(true),
            (Calls{"RegisterGpibGlobalsForThread", "UnregisterGpibGlobalsForThread",
                   "RegisterGpibGlobalsForThread", "UnregisterGpibGlobalsForThread",
                   "RegisterGpibGlobalsForThread", "RegisterGpibGlobalsForThread",
                   "RegisterGpibGlobalsForThread", "UnregisterGpibGlobalsForThread",
                   "RegisterGpibGlobalsForThread", "ibfind", "ibconfig", "ibdev", "ibclr", "ibrsp",
                   "ibrsp"}));
}

TEST_P(GpibDeviceTest, StatusWordsAndCountsAreSixteenBitCopies) {
  using detail::gpib::ConvertLongToInt;
  EXPECT_EQ(ConvertLongToInt(0x8000), -32768);
  EXPECT_EQ(ConvertLongToInt(0xC100), -16128);
  EXPECT_EQ(ConvertLongToInt(0x0100), 256);
  EXPECT_EQ(ConvertLongToInt(-1), -1);
  EXPECT_EQ(ConvertLongToInt(-32769), 32767);
  EXPECT_EQ(ConvertLongToInt(98303), 32767);
  EXPECT_EQ(ErrorOf([] { ConvertLongToInt(98304); }).Number(), err::Overflow);

  detail::gpib::Status st;
  int16_t board = detail::gpib::ibfind("GPIB0", st);
  EXPECT_EQ(board, 0);
  int16_t ud = detail::gpib::ibdev(0, 1, 0, 13, 1, 0, st);
  dev_.StatusBits(0x50, 0x00);
  int16_t spr = 0;
  EXPECT_GE(detail::gpib::ibrsp(ud, spr, st), 0);
  EXPECT_EQ(spr, 80);
  dev_.QueueReply(std::string(20000, 'r'));
  std::string buffer(20000, '\0');
  EXPECT_GE(detail::gpib::ibrd(ud, buffer, 20000, st), 0);
  EXPECT_EQ(st.ibcnt, 20000);
  EXPECT_EQ(detail::gpib::ibrd(ud, buffer, 20000, st) & 0x8000, 0x8000);  // nothing left: EABO
  EXPECT_EQ(st.iberr, 6);
  EXPECT_EQ(ErrorOf([&] { detail::gpib::ibfind("GPIB7", st); }).Number(), err::GpibBoardInitFailed);
  detail::gpib::ibonl(ud, st);
  EXPECT_EQ(Texts().back(), "ibonl(16, 0)");
}

TEST_P(GpibDeviceTest, DriverErrorCodeOutsideSixteenBitsIsAnOverflow) {
  KORInterface i;
  Open(i);
  int16_t spr = 0;
  i.Spoll(spr);
  bus_.InjectError("ibrsp", 70000);
  auto e = ErrorOf([&] { i.Spoll(spr); });
  EXPECT_EQ(e.Number(), err::Overflow);
  EXPECT_FALSE(i.Busy());
}

TEST_P(GpibDeviceTest, SpollOpensTheDeviceAndReturnsTheStatusByte) {
  KORInterface i;
  Open(i);
  int16_t spr = 0;
  i.Spoll(spr);
  EXPECT_EQ(spr, 0x02);
  EXPECT_NEAR(host_.elapsed_seconds(), 1.0, 1e-3);
  dev_.QueueReply("x");
  i.Spoll(spr);
  EXPECT_EQ(spr, 0x06);
  EXPECT_EQ(Names(), (Calls{"ibfind", "ibconfig", "ibdev", "ibclr", "ibrsp", "ibrsp"}));
  EXPECT_FALSE(i.Busy());
}

TEST_P(GpibDeviceTest, SpollAndGetTransactRefuseOtherModesAndAClosedPort) {
  KORInterface i;
  int16_t spr = 0;
  auto t = Tx("MEAS?");
  EXPECT_EQ(ErrorOf([&] { i.Spoll(spr); }).Number(), err::PortNotOpen);
  EXPECT_EQ(ErrorOf([&] { i.GetTransact(t); }).Number(), err::PortNotOpen);
  i.openPort();  // mode 2
  EXPECT_EQ(ErrorOf([&] { i.Spoll(spr); }).Number(), err::InvalidCommMode);
  EXPECT_EQ(ErrorOf([&] { i.GetTransact(t); }).Number(), err::InvalidCommMode);
  EXPECT_FALSE(i.Busy());
  EXPECT_TRUE(bus_.Calls().empty());
}

TEST_P(GpibDeviceTest, GetTransactReadsWithoutSendingPollingOrStripping) {
  dev_.Reply("DUMP?", std::string(300, 'a') + "\r\n");
  KORInterface i;
  i.RemoveExtraChar(true);
  Open(i);
  auto send = Tx("DUMP?", false);
  i.Transact(send);
  bus_.ClearCalls();
  auto empty = Tx("");
  EXPECT_EQ(ErrorOf([&] { i.GetTransact(empty); }).Number(), err::InvalidCommand);
  auto t = Tx("anything");
  i.GetTransact(t);
  EXPECT_EQ(t.resp(), std::string(256, 'a'));
  i.GetTransact(t);
  EXPECT_EQ(t.resp(), std::string(44, 'a') + "\r\n");
  EXPECT_EQ(Names(), (Calls{"ibconfig", "ibrd", "ibconfig", "ibrd"}));

  auto e = ErrorOf([&] { i.GetTransact(t); });  // nothing to read: the device timeout ends it
  EXPECT_EQ(e.Number(), err::GpibAborted);
  EXPECT_FALSE(i.Busy());
}

TEST_P(GpibDeviceTest, RemoteEnableMakesTwoCallsAndRaisesDirectly) {
  KORInterface i;
  i.RemoteEnable();  // mode 2, port closed: nothing
  EXPECT_TRUE(bus_.Calls().empty());
  i.commMode(korCommModeGPIBDirect);
  i.RemoteEnable();  // needs no open port or device
  EXPECT_EQ(Texts(), (Calls{"ibsre(0, 0)", "ibsre(0, 1)"}));
  EXPECT_TRUE(bus_.RemoteEnableAsserted());

  bus_.ClearCalls();
  bus_.InjectError("ibsre", 4);
  auto e = ErrorOf([&] { i.RemoteEnable(); });
  EXPECT_EQ(e.Number(), err::UndefinedError);
  EXPECT_EQ(e.Source().find("RediDU"), std::string::npos);
  EXPECT_NE(e.Description(), "Undefined error.");
  EXPECT_EQ(Names(), (Calls{"ibsre"}));
}

// --- GPIBClose and the board shared by a thread ---------------------------------------------

TEST_P(GpibDeviceTest, TwoObjectsOnOneThreadShareTheBoard) {
  bus_.AddInstrument(2).Reply("MEAS?", "2.0");
  KORInterface a, b;
  Open(a, 1);
  Open(b, 2);
  auto t = Tx("MEAS?");
  a.Transact(t);
  b.Transact(t);
  EXPECT_EQ(t.resp(), "2.0");
  EXPECT_EQ(Count("ibfind"), 1);
  EXPECT_EQ(Count("ibdev"), 2);
  bus_.ClearCalls();
  a.GPIBClose();
  EXPECT_EQ(Texts(), (Calls{"ibonl(16, 0)"}));
  EXPECT_TRUE(bus_.BoardOnline());
  EXPECT_FALSE(a.IsPortOpen());
  bus_.ClearCalls();
  b.GPIBClose();
  EXPECT_EQ(Texts(), (Calls{"ibonl(17, 0)", "ibonl(0, 0)"}));
  EXPECT_FALSE(bus_.BoardOnline());
  EXPECT_EQ(bus_.OnlineDevices(), 0);

  bus_.ClearCalls();
  a.openPort();
  a.Transact(t);  // the board is found again for the next device
  EXPECT_EQ(Names().front(), "ibfind");
}

TEST_P(GpibDeviceTest, CloseOfANeverOpenedDeviceTakesNothingOffline) {
  KORInterface a, b;
  Open(a);
  Open(b);
  auto t = Tx("MEAS?");
  a.Transact(t);
  bus_.ClearCalls();
  b.GPIBClose();  // port open, device never opened
  EXPECT_TRUE(bus_.Calls().empty());
  EXPECT_FALSE(b.IsPortOpen());
  b.GPIBClose();  // port closed: nothing
  a.GPIBClose();  // the board still goes offline with the last device
  EXPECT_EQ(Texts(), (Calls{"ibonl(16, 0)", "ibonl(0, 0)"}));
}

TEST_P(GpibDeviceTest, ReopeningAfterClosePortReplacesTheDeviceWithoutCountingItTwice) {
  KORInterface i;
  Open(i);
  auto t = Tx("MEAS?");
  i.Transact(t);
  i.closePort();  // leaves the device online
  EXPECT_EQ(bus_.OnlineDevices(), 1);
  i.openPort();
  i.Transact(t);  // a fresh device; the old one goes offline
  EXPECT_EQ(bus_.OnlineDevices(), 1);
  bus_.ClearCalls();
  i.GPIBClose();
  EXPECT_EQ(Texts(), (Calls{"ibonl(17, 0)", "ibonl(0, 0)"}));
  EXPECT_FALSE(bus_.BoardOnline());
}

TEST_P(GpibDeviceTest, DestroyingAnObjectReleasesItsDevice) {
  KORInterface keeper;
  Open(keeper);
  auto t = Tx("MEAS?");
  keeper.Transact(t);
  {
    KORInterface gone;
    Open(gone);
    gone.Transact(t);
  }
  EXPECT_EQ(bus_.OnlineDevices(), 1);
  bus_.ClearCalls();
  keeper.GPIBClose();
  EXPECT_EQ(Texts(), (Calls{"ibonl(16, 0)", "ibonl(0, 0)"}));
}

TEST_P(GpibDeviceTest, CloseWhileBusyIsRefusedAndAFailedCloseDoesNotStayBusy) {
  KORInterface i;
  Open(i);
  auto t = Tx("MEAS?");
  i.Transact(t);
  bus_.InjectError("ibonl", 70000);  // a status the binding cannot narrow
  auto e = ErrorOf([&] { i.GPIBClose(); });
  EXPECT_EQ(e.Number(), err::Overflow);
  EXPECT_FALSE(i.Busy());
  EXPECT_TRUE(i.IsPortOpen());
  bus_.ClearCalls();
  i.GPIBClose();  // the device is still online: it goes offline now, once
  EXPECT_EQ(Texts(), (Calls{"ibonl(16, 0)", "ibonl(0, 0)"}));
}

TEST_P(GpibDeviceTest, ObjectsOnTwoThreadsEachOpenTheirOwnBoard) {
  auto& bus = bus_;
  bus.AddInstrument(1).Reply("A?", "a");
  bus.AddInstrument(2).Reply("B?", "b");
  auto run = [](int address, std::string cmd, std::string& resp) {
    detail::ScopedHost host(std::make_unique<detail::VirtualHost>());
    KORInterface i;
    i.commMode(korCommModeGPIBDirect);
    i.GPIBAddress(address);
    i.openPort();
    KORTransaction t;
    t.cmd(cmd);
    for (int k = 0; k < 20; ++k) i.Transact(t);
    resp = t.resp();
    i.GPIBClose();
  };
  std::string a, b;
  auto ta = ThreadFailingOnError([&] { run(1, "A?", a); });
  auto tb = ThreadFailingOnError([&] { run(2, "B?", b); });
  auto ida = ta.get_id(), idb = tb.get_id();
  ta.join();
  tb.join();
  EXPECT_EQ(a, "a");
  EXPECT_EQ(b, "b");
  int finds_a = 0, finds_b = 0, board_off = 0;
  for (const auto& c : bus.Calls()) {
    if (c.name == "ibfind") (c.thread == ida ? finds_a : finds_b)++;
    if (c.text == "ibonl(0, 0)") ++board_off;
  }
  EXPECT_EQ(finds_a, 1);
  EXPECT_EQ(finds_b, 1);
  EXPECT_EQ(board_off, 2);
  EXPECT_EQ(bus.OnlineDevices(), 0);
  (void)idb;
}

PARLEY_GPIB_BACKENDS(GpibDeviceTest);

}  // namespace
}  // namespace parley::testing

namespace parley::testing {
namespace {

// A program left running on the simulated bus keeps only the latest calls in its log.
TEST(SimulatedGpibBusLog, KeepsOnlyTheMostRecentCalls) {
  SimulatedGpibBus bus;
  auto driver = detail::SimBusAccess::MakeDriver(bus);
  for (std::size_t i = 0; i < SimulatedGpibBus::kMaxLoggedCalls + 50; ++i) driver->ibclr(0);
  driver->ibonl(0, 1);
  auto calls = bus.Calls();
  ASSERT_EQ(calls.size(), SimulatedGpibBus::kMaxLoggedCalls);
  EXPECT_EQ(calls.back().name, "ibonl");
}

}  // namespace
}  // namespace parley::testing
