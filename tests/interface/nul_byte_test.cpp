// A NUL byte in a device path, a host name or a library path would cut the text short for the
// system call, which then opens something else (the part before the NUL). Each is refused with
// the link's own "cannot open" error before anything is opened.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "parley/gpib.hpp"
#include "parley/interface.hpp"
#include "parley/serial.hpp"
#include "support/sim_tcp_client.hpp"
#include "support/transactions.hpp"
#include "support/virtual_fixture.hpp"

namespace parley {
namespace {

using namespace std::string_literals;

class NulByteTest : public testing::VirtualHostTest {};

TEST_F(NulByteTest, SerialDevicePathIsRefusedAndTheMapStaysAsItWas) {
  MapSerialPort(7, "/dev/pts/9");
  for (const std::string& path : {"/dev/ptmx\0/dev/pts/4"s, "\0"s, "/dev/ttyS0\0"s}) {
    auto e = PARLEY_EXPECT_ERROR(MapSerialPort(7, path), err::ErrorInitializingCommPort);
    EXPECT_NE(e.Description().find("NUL byte"), std::string::npos) << e.Description();
    EXPECT_EQ(SerialDevicePath(7), "/dev/pts/9");
  }
  MapSerialPort(7, "");
}

TEST_F(NulByteTest, HostNameIsRefusedAtConnectWithoutAConnectAttempt) {
  auto unit = std::make_shared<detail::SimTcpUnit>(host());
  host().tcp_factory = [unit] { return detail::MakeSimTcpClient(unit); };
  KORInterface iface;
  iface.commMode(korCommModeEther);
  for (const std::string& name : {unit->address + "\0.evil"s, "\0"s + unit->address}) {
    iface.RemoteHostIpAddress(name);
    iface.openPort();
    auto t = testing::Text("VER?");
    PARLEY_EXPECT_ERROR(iface.Transact(t), err::TcpConnectFailed);
    EXPECT_EQ(iface.LastLinkError(),
              "connect: the host name (RemoteHostIpAddress) holds a NUL byte");
    EXPECT_TRUE(unit->connects.empty());
    EXPECT_FALSE(iface.Busy());
    iface.closePort();
  }
  iface.RemoteHostIpAddress(unit->address);  // the link is usable afterwards
  iface.openPort();
  auto t = testing::Text("VER?");
  iface.Transact(t);
  EXPECT_EQ(unit->connects.size(), 1u);
}

TEST_F(NulByteTest, GpibLibraryPathIsRefusedAndTheDriverStaysAsItWas) {
  SimulatedGpibBus bus;
  bus.AddInstrument(1).Reply("MEAS?", "1.23");
  UseSimulatedGpibBus(bus);
  auto e = PARLEY_EXPECT_ERROR(UseGpibLibrary("libc.so.6\0/opt/gpib/libgpib.so"s),
                               err::GpibBoardInitFailed);
  EXPECT_NE(e.Description().find("NUL byte"), std::string::npos) << e.Description();
  KORInterface iface;
  iface.commMode(korCommModeGPIBDirect);
  iface.GPIBAddress(1);
  iface.openPort();
  auto t = testing::Text("MEAS?");
  iface.Transact(t);  // still on the simulated bus
  EXPECT_EQ(t.resp(), "1.23");
  iface.GPIBClose();
  UseSystemGpibLibrary();
}

}  // namespace
}  // namespace parley
