// One-string addresses: what each form means, where a malformed one is refused, and that an
// interface set up from one opens the device it names.
#include "parley/address.hpp"

#include <gtest/gtest.h>

#include <string>

#include "parley/gpib.hpp"
#include "parley/serial.hpp"
#include "serial/serial_fixture.hpp"
#include "support/transactions.hpp"

namespace parley {
namespace {

using namespace std::string_literals;

Address Serial(int32_t mode, bool plain, int32_t port, std::string path, int32_t gpib = -1) {
  Address a;
  a.mode = mode;
  a.plain_instrument = plain;
  a.comm_port = port;
  a.device_path = std::move(path);
  a.gpib_address = gpib;
  return a;
}

Address Tcp(bool plain, std::string host, int32_t port) {
  Address a;
  a.mode = korCommModeEther;
  a.plain_instrument = plain;
  a.host = std::move(host);
  a.tcp_port = port;
  return a;
}

TEST(AddressTest, EveryFormMeansItsLinkAndReadsBackFromItsSpelling) {
  Address gpib;
  gpib.mode = korCommModeGPIBDirect;
  gpib.gpib_address = 22;
  const std::vector<std::pair<std::string, Address>> cases = {
      {"ASRL3::INSTR", Serial(2, true, 3, "")},
      {"asrl/dev/ttyUSB0::instr", Serial(2, true, 0, "/dev/ttyUSB0")},
      {"TCPIP::10.0.0.5::5025::SOCKET", Tcp(true, "10.0.0.5", 5025)},
      {"tcpip0::meter.lab::65535::socket", Tcp(true, "meter.lab", 65535)},
      {"TCPIP::[fe80::1]::1::SOCKET", Tcp(true, "fe80::1", 1)},
      {"GPIB::22::INSTR", gpib},
      {"Gpib0::22::Instr", gpib},
      {"UNIT::ASRL1::INSTR", Serial(2, false, 1, "")},
      {"UNIT::ASRL/dev/ttyUSB0::GPIB::9::INSTR", Serial(1, false, 0, "/dev/ttyUSB0", 9)},
      {"unit::asrl16::gpib::0::inout", Serial(4, false, 16, "", 0)},
      {"UNIT::TCPIP::unit7.lab::6000::INSTR", Tcp(false, "unit7.lab", 6000)},
  };
  for (const auto& [text, expected] : cases) {
    SCOPED_TRACE(text);
    Address parsed = ParseAddress(text);
    EXPECT_EQ(parsed, expected);
    EXPECT_EQ(ParseAddress(FormatAddress(parsed)), parsed) << FormatAddress(parsed);
  }
}

TEST(AddressTest, MalformedAddressesNameThePositionAndWhatWasExpected) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", "position 1: expected an address"},
      {"VXI::1::INSTR", "position 1: expected ASRL, TCPIP, GPIB or UNIT"},
      {"ASRL1:INSTR", "position 6: expected \"::\" after the port number"},
      {"ASRL1", "position 6: expected \"::\" after the serial device"},
      {"ASRL1::INSTR::", "position 13: an extra \"::\" field"},
      {"ASRL::INSTR", "position 5: expected a port number or a device path"},
      {"ASRL17::INSTR", "position 5: serial port number out of range (1..16)"},
      {"ASRL0::INSTR", "position 5: serial port number out of range"},
      {"ASRLdev/tty::INSTR", "position 5: expected a port number or a device path"},
      {"ASRL/dev/tty\0S0::INSTR"s, "position 13: a device path may not hold a NUL byte"},
      {"TCPIP::::5025::SOCKET", "position 8: expected a host name or address"},
      {"TCPIP::h::0::SOCKET", "position 11: a TCP port number 0 is out of range (1..65535)"},
      {"TCPIP::h::65536::SOCKET", "position 11: a TCP port number 65536 is out of range"},
      {"TCPIP::h::5025", "position 15: expected \"::\" after the port number"},
      {"TCPIP::h::5025::INSTR", "position 17: expected SOCKET"},
      {"TCPIP1::h::5025::SOCKET", "position 6: TCPIP board 1 does not exist"},
      {"TCPIP::[fe80::1::5::SOCKET", "position 8: expected \"]\""},
      {"GPIB1::9::INSTR", "position 5: GPIB board 1 does not exist"},
      {"GPIB::31::INSTR", "position 7: a GPIB primary address 31 is out of range (0..30)"},
      {"GPIB::9", "position 8: expected \"::\" after the GPIB address"},
      {"GPIB::9::INSTR::x", "position 15: an extra \"::\" field"},
      {"UNIT::GPIB::9::INSTR", "position 7: expected ASRL or TCPIP after UNIT::"},
      {"UNIT::ASRL1::GPIB::9::READ", "position 23: expected INSTR or INOUT"},
      {"UNIT::TCPIP::h::64001::INSTR", "position 17: a TCP port number 64001 is out of range"},
      {"UNIT::TCPIP::h::6000::SOCKET", "position 23: expected INSTR"},
  };
  for (const auto& one : cases) {
    const std::string& text = one.first;  // a plain reference: the check's lambda captures it
    const std::string& expected = one.second;
    SCOPED_TRACE(::testing::PrintToString(text));
    auto e = PARLEY_EXPECT_ERROR(ParseAddress(text), err::InvalidCall);
    EXPECT_NE(e.Description().find(expected), std::string::npos) << e.Description();
    EXPECT_EQ(e.Description().find('\0'), std::string::npos);
  }
}

class AddressLinkTest : public testing::SerialLinkTest {};

TEST_F(AddressLinkTest, ApplyingSetsTheLinkAndLeavesLineSettingsAlone) {
  iface.BitRate(korBitRate19200bps);
  iface.CmdTerm("\n");
  ApplyAddress(iface, ParseAddress("UNIT::ASRL/dev/ttyUSB3::GPIB::9::INOUT"));
  EXPECT_EQ(iface.commMode(), korCommModeGPIBInOut);
  EXPECT_EQ(iface.DevicePath(), "/dev/ttyUSB3");
  EXPECT_EQ(iface.GPIBAddress(), 9);
  EXPECT_FALSE(iface.PlainInstrument());
  EXPECT_EQ(iface.BitRate(), korBitRate19200bps);
  EXPECT_EQ(iface.CmdTerm(), "\n");
  // A number after a path: the path is dropped, so the number's device opens.
  ApplyAddress(iface, ParseAddress("ASRL4::INSTR"));
  EXPECT_EQ(iface.DevicePath(), "");
  EXPECT_EQ(iface.CommPort(), 4);
  EXPECT_TRUE(iface.PlainInstrument());
  EXPECT_EQ(iface.RespTerm(), "\n");  // a plain instrument's, not the unit's prompt
  ApplyAddress(iface, ParseAddress("TCPIP::10.1.2.3::5025::SOCKET"));
  EXPECT_EQ(iface.RemoteHostIpAddress(), "10.1.2.3");
  EXPECT_EQ(iface.RemotePortNumber(), "5025");

  iface.openPort();
  PARLEY_EXPECT_ERROR(ApplyAddress(iface, ParseAddress("GPIB::3::INSTR")), err::InvalidCall);
  EXPECT_EQ(iface.commMode(), korCommModeEther);
}

TEST_F(AddressLinkTest, ThePathOpensForThisInterfaceAloneAndTheMapIsUnchanged) {
  MapSerialPort(1, "/dev/pts/41");
  ApplyAddress(iface, ParseAddress("UNIT::ASRL/dev/ttyUSB9::INSTR"));
  EXPECT_EQ(Run("VER?").resp(), "OK");
  EXPECT_EQ(unit->opened_devices, std::vector<std::string>{"/dev/ttyUSB9"});
  EXPECT_EQ(manager().requested_devices, std::vector<std::string>{"/dev/ttyUSB9"});
  EXPECT_EQ(SerialDevicePath(1), "/dev/pts/41");
  iface.closePort();

  // Without a path the interface is back on the map.
  iface.DevicePath("");
  Run("VER?");
  EXPECT_EQ(unit->opened_devices.back(), "/dev/pts/41");
  EXPECT_EQ(manager().requested_devices.back(), "/dev/pts/41");
  MapSerialPort(1, "");
}

TEST_F(AddressLinkTest, APathAndANumberMappedToItAskTheManagerForOneDevice) {
  MapSerialPort(5, "/dev/ttyUSB2");
  KORInterface by_number;
  ApplyAddress(by_number, ParseAddress("UNIT::ASRL5::INSTR"));
  ApplyAddress(iface, ParseAddress("UNIT::ASRL/dev/ttyUSB2::INSTR"));
  by_number.openPort();
  iface.openPort();
  EXPECT_EQ(manager().requested_devices,
            (std::vector<std::string>{"/dev/ttyUSB2", "/dev/ttyUSB2"}));
  MapSerialPort(5, "");
}

TEST_F(AddressLinkTest, ANulInTheDevicePathIsRefusedAndChangesNothing) {
  iface.DevicePath("/dev/pts/3");
  auto e = PARLEY_EXPECT_ERROR(iface.DevicePath("/dev/pts/3\0/x"s), err::ErrorInitializingCommPort);
  EXPECT_NE(e.Description().find("NUL byte"), std::string::npos);
  EXPECT_EQ(iface.DevicePath(), "/dev/pts/3");
}

TEST(AddressListTest, TheSimulatedBusListsItsInstrumentsAsGpibAddresses) {
  SimulatedGpibBus bus;
  bus.AddInstrument(9);
  bus.AddInstrument(22);
  UseSimulatedGpibBus(bus);
  auto all = ListResources();
  UseSystemGpibLibrary();
  std::vector<std::string> gpib;
  for (const auto& a : all) {
    if (a.rfind("GPIB", 0) == 0) gpib.push_back(a);
    EXPECT_NO_THROW(ParseAddress(a)) << a;  // every listed address opens as written
  }
  EXPECT_EQ(gpib, (std::vector<std::string>{"GPIB0::9::INSTR", "GPIB0::22::INSTR"}));
}

}  // namespace
}  // namespace parley
