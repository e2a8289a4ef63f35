// An interface opened from an address reaches parley-sim on its own pseudo-terminal, by the
// device path alone: the port map is not consulted nor changed.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "parley/parley.hpp"
#include "sim_process.hpp"

namespace parley {
namespace {

TEST(AddressPtyTest, TheUnitAtADevicePathAnswersAndThePortMapStaysAsItWas) {
  sim::SimProcess sim(PARLEY_SIM_PATH, {});
  const std::string pty = sim.first_line();
  auto unit = Open("unit::asrl" + pty + "::instr");
  KORTransaction t;
  t.cmd("PING");
  t.RespTimeout(korShort);
  unit->Transact(t);
  EXPECT_EQ(t.resp(), "PONG");
  EXPECT_EQ(unit->DevicePath(), pty);
  EXPECT_EQ(SerialDevicePath(unit->CommPort()), "/dev/ttyS0");
  unit->closePort();

  // A second interface on the same device once the first let go.
  auto again = Open("UNIT::ASRL" + pty + "::INSTR");
  again->Transact(t);
  EXPECT_EQ(t.resp(), "PONG");
}

TEST(AddressPtyTest, AMissingDeviceFailsTheFirstTransactionAsNotFound) {
  auto unit = Open("UNIT::ASRL/dev/parley-no-such-device::INSTR");
  KORTransaction t;
  t.cmd("PING");
  t.RespTimeout(korShort);
  try {
    unit->Transact(t);
    ADD_FAILURE() << "no error";
  } catch (const AutomationError& e) {
    EXPECT_EQ(e.Number(), err::SerialPortNotFound) << e.Description();
  }
  EXPECT_NE(unit->LastLinkError().find("/dev/parley-no-such-device"), std::string::npos)
      << unit->LastLinkError();
}

}  // namespace
}  // namespace parley
