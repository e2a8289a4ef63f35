#include <gtest/gtest.h>

#include <cmath>

#include "interface/core.hpp"
#include "parley/interface.hpp"
#include "support/virtual_fixture.hpp"

namespace parley {
namespace {

class SettingsTest : public testing::VirtualHostTest {
 protected:
  // The settings that an open port freezes, at their defaults.
  void ExpectDefaultLinkSettings() {
    EXPECT_EQ(iface.commMode(), 2);
    EXPECT_EQ(iface.CommPort(), 1);
    EXPECT_EQ(iface.BitRate(), 9600);
    EXPECT_EQ(iface.Parity(), 2);
    EXPECT_EQ(iface.DataBits(), 7);
    EXPECT_EQ(iface.StopBits(), 1);
    EXPECT_EQ(iface.GPIBAddress(), 1);
    EXPECT_EQ(iface.ITC(), 1);
    EXPECT_EQ(iface.DTO(), 5);
    EXPECT_EQ(iface.IdleSPoll(), 2);
    EXPECT_EQ(iface.MAVSPoll(), 4);
    EXPECT_EQ(iface.CmdTerm(), "\r\n");
    EXPECT_EQ(iface.RespTerm(), "\r\n>");
  }

  KORInterface iface;
};

TEST_F(SettingsTest, NewObjectHoldsTheDefaults) {
  ExpectDefaultLinkSettings();
  EXPECT_EQ(iface.GPIBDirectMaxRespLength(), 256);
  EXPECT_TRUE(iface.DelayGPIBTrans());
  EXPECT_EQ(iface.RemoteHostIpAddress(), "000.000.000.000");
  EXPECT_EQ(iface.RemotePortNumber(), "6000");
  for (bool b : {iface.UseSRQ(), iface.EABOExpected(), iface.SkipIBClr(), iface.RemoveExtraChar(),
                 iface.WaitForMAVbitClear(), iface.RaiseEtherPortResetErr(), iface.Busy(),
                 iface.IsPortOpen(), iface.DebugMonitorVisible()}) {
    EXPECT_FALSE(b);
  }
  EXPECT_EQ(iface.DebugBuffSizeGet(), 5000);
  auto p = iface.Progress();
  ASSERT_TRUE(p);
  EXPECT_EQ(p->max(), 0);
  EXPECT_EQ(p->Value(), 0);
  EXPECT_EQ(p->status(), "");
  EXPECT_FALSE(p->HaltEnabled());
}

TEST_F(SettingsTest, LinkSettingsAreFrozenWhileOpen) {
  iface.openPort();
  iface.commMode(5);
  iface.CommPort(3);
  iface.BitRate(19200);
  iface.Parity(1);
  iface.DataBits(8);
  iface.StopBits(2);
  iface.GPIBAddress(7);
  iface.ITC(2);
  iface.DTO(9);
  iface.IdleSPoll(0);
  iface.MAVSPoll(16);
  iface.CmdTerm("\r");
  iface.RespTerm(">");
  ExpectDefaultLinkSettings();
  // Unguarded settings still take effect while open.
  iface.RemoveExtraChar(true);
  iface.DelayGPIBTrans(false);
  iface.RemoteHostIpAddress("10.0.0.9");
  iface.RemotePortNumber("7000");
  iface.UseSRQ(true);
  EXPECT_TRUE(iface.RemoveExtraChar());
  EXPECT_FALSE(iface.DelayGPIBTrans());
  EXPECT_EQ(iface.RemoteHostIpAddress(), "10.0.0.9");
  EXPECT_EQ(iface.RemotePortNumber(), "7000");
  EXPECT_TRUE(iface.UseSRQ());
  iface.closePort();
  iface.BitRate(19200);
  EXPECT_EQ(iface.BitRate(), 19200);
}

TEST_F(SettingsTest, ValuesOutsideTheirSetsAreStoredUnchecked) {
  iface.commMode(0);
  iface.BitRate(12345);
  iface.CommPort(-4);
  iface.CmdTerm(std::string("\0\xFF", 2));
  EXPECT_EQ(iface.commMode(), 0);
  EXPECT_EQ(iface.BitRate(), 12345);
  EXPECT_EQ(iface.CommPort(), -4);
  EXPECT_EQ(iface.CmdTerm(), std::string("\0\xFF", 2));
}

TEST_F(SettingsTest, GpibAddressIsNarrowedTo16Bits) {
  iface.GPIBAddress(-32768);
  EXPECT_EQ(iface.GPIBAddress(), -32768);
  PARLEY_EXPECT_ERROR(iface.GPIBAddress(32768), err::Overflow);
  iface.openPort();
  PARLEY_EXPECT_ERROR(iface.GPIBAddress(-40000), err::Overflow);
  iface.GPIBAddress(3);
  EXPECT_EQ(iface.GPIBAddress(), -32768);
}

TEST_F(SettingsTest, MaxResponseLengthAndMavDelayPutRules) {
  iface.GPIBDirectMaxRespLength(0);
  iface.GPIBDirectMaxRespLength(20001);
  iface.GPIBDirectMaxRespLength(-5);
  EXPECT_EQ(iface.GPIBDirectMaxRespLength(), 256);
  iface.openPort();  // no open guard on this one
  iface.GPIBDirectMaxRespLength(20000);
  EXPECT_EQ(iface.GPIBDirectMaxRespLength(), 20000);

  auto& settings = detail::CoreOf(iface).settings;
  iface.TimeDelayForMAVbit(3.0);
  EXPECT_EQ(settings.time_delay_for_mav_bit, 3.0);
  iface.TimeDelayForMAVbit(3.5);
  EXPECT_EQ(settings.time_delay_for_mav_bit, 1.0);
  iface.TimeDelayForMAVbit(0.25);
  EXPECT_EQ(settings.time_delay_for_mav_bit, 0.25);
  iface.TimeDelayForMAVbit(std::nan(""));
  EXPECT_EQ(settings.time_delay_for_mav_bit, 1.0);
}

TEST_F(SettingsTest, RemotePortNumberReadsNumericTextOnly) {
  for (const char* bad : {"abc", "", " ", "12abc", "1,000", "0x10", "--1", "."}) {
    auto e = PARLEY_EXPECT_ERROR(iface.RemotePortNumber(bad), err::TcpPortOutOfRange);
    EXPECT_EQ(iface.RemotePortNumber(), "6000") << bad;
  }
  iface.RemotePortNumber("80.6");
  EXPECT_EQ(iface.RemotePortNumber(), "81");
  iface.RemotePortNumber("80.5");
  EXPECT_EQ(iface.RemotePortNumber(), "80");  // halves to the even neighbour
  iface.RemotePortNumber(" -3 ");
  EXPECT_EQ(iface.RemotePortNumber(), "-3");  // no range check at put time
  iface.RemotePortNumber("6.4e4");
  EXPECT_EQ(iface.RemotePortNumber(), "64000");
  PARLEY_EXPECT_ERROR(iface.RemotePortNumber("3000000000"), err::Overflow);
  PARLEY_EXPECT_ERROR(iface.RemotePortNumber("1e400"), err::Overflow);
  EXPECT_EQ(iface.RemotePortNumber(), "64000");
}

TEST_F(SettingsTest, OpeningTwiceKeepsOneConnectionAndClosingClosedDoesNothing) {
  iface.closePort();
  iface.openPort();
  iface.openPort();
  EXPECT_EQ(manager().requested_ports, std::vector<int32_t>{1});
  EXPECT_TRUE(iface.IsPortOpen());
  iface.closePort();
  iface.closePort();
  EXPECT_FALSE(iface.IsPortOpen());
  EXPECT_FALSE(iface.Busy());
}

TEST_F(SettingsTest, BusyGuardsHoldDuringAnOperation) {
  // The manager is asked for the connection while openPort runs, so a manager that calls back
  // into the interface sees it busy.
  bool checked = false;
  UseConnectionManager([&] {
    EXPECT_TRUE(iface.Busy());
    iface.UseSRQ(true);
    iface.EABOExpected(true);
    iface.SkipIBClr(true);
    iface.RemoveExtraChar(true);
    PARLEY_EXPECT_ERROR(iface.openPort(), err::InterfaceBusy);
    PARLEY_EXPECT_ERROR(iface.closePort(), err::InterfaceBusy);
    EXPECT_TRUE(iface.Busy());  // a refused call leaves the running operation's mark
    checked = true;
    return MakeInProcessConnectionManager();
  });
  iface.openPort();
  EXPECT_TRUE(checked);
  EXPECT_FALSE(iface.UseSRQ());
  EXPECT_FALSE(iface.EABOExpected());
  EXPECT_FALSE(iface.SkipIBClr());
  EXPECT_TRUE(iface.RemoveExtraChar());
  EXPECT_FALSE(iface.Busy());
  EXPECT_TRUE(iface.IsPortOpen());
}

TEST_F(SettingsTest, ManagerFailureInOpenPortPassesTheCatalogueAndClearsBusy) {
  manager().fail_get_connection = true;
  iface.DebugMonitorOn();
  auto e = PARLEY_EXPECT_ERROR(iface.openPort(), static_cast<int32_t>(0x800401F3));
  EXPECT_EQ(e.Source(), "RediDU.KORConnMan");
  EXPECT_EQ(e.Description(), "Invalid class string");
  EXPECT_FALSE(iface.Busy());
  EXPECT_FALSE(iface.IsPortOpen());
  EXPECT_NE(iface.DebugBuffGet().find("ERRR\t-2147221005, Invalid class string"),
            std::string::npos);
  manager().fail_get_connection = false;
  iface.openPort();
  EXPECT_TRUE(iface.IsPortOpen());
}

TEST_F(SettingsTest, ProgressCanBeReplacedAndNullIsIgnored) {
  auto mine = std::make_shared<KORProgress>();
  iface.Progress(mine);
  EXPECT_EQ(iface.Progress(), mine);
  iface.Progress(nullptr);
  EXPECT_EQ(iface.Progress(), mine);
}

TEST_F(SettingsTest, ManagerNotificationsReachTheClient) {
  iface.openPort();
  auto connection = manager().Connection(1);
  int resets = 0;
  Connection handle;
  handle = iface.portReset.connect([&] {
    ++resets;
    EXPECT_TRUE(iface.IsPortOpen());
    handle.disconnect();  // a handler may end its own connection
  });
  connection->Reset();
  connection->Reset();
  EXPECT_EQ(resets, 1);
  EXPECT_TRUE(iface.IsPortOpen());
  iface.closePort();
  int after_close = 0;
  iface.portReset.connect([&] { ++after_close; });
  connection->Reset();  // released by closePort: no longer ours
  EXPECT_EQ(after_close, 0);
}

TEST_F(SettingsTest, DestroyingAnOpenInterfaceReleasesItsConnection) {
  std::weak_ptr<PortConnection> weak;
  {
    KORInterface temporary;
    temporary.CommPort(4);
    temporary.openPort();
    weak = detail::CoreOf(temporary).connection;
    EXPECT_FALSE(weak.expired());
  }
  EXPECT_EQ(manager().requested_ports.back(), 4);
  // The scripted manager keeps its own reference; the interface's is gone with its core.
  EXPECT_EQ(weak.use_count(), 1);
}

}  // namespace
}  // namespace parley
