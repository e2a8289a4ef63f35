// A client interface on serial port 1, mapped to a parley-sim started by the test on its own
// pseudo-terminal, with the trace on.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "parley/parley.hpp"
#include "sim_process.hpp"

namespace parley::testing {

class SimPtyTest : public ::testing::Test {
 protected:
  // Starts the simulator with `args`, lets `configure` set the interface up, then opens it.
  void StartSim(std::vector<std::string> args,
                const std::function<void(KORInterface&)>& configure = {}) {
    sim = std::make_unique<sim::SimProcess>(PARLEY_SIM_PATH, args);
    MapSerialPort(1, sim->first_line());
    if (configure) configure(iface);
    iface.DebugBuffSizeSet(64000);
    iface.DebugMonitorOn();
    iface.openPort();
  }
  void TearDown() override {
    if (iface.IsPortOpen()) iface.closePort();
    MapSerialPort(1, "");
  }
  // One text transaction with the short timeout; its response.
  std::string Run(const std::string& cmd, bool expect = true) {
    KORTransaction t;
    t.cmd(cmd);
    t.RespTimeout(korShort);
    t.RespExpect(expect);
    iface.Transact(t);
    return t.resp();
  }

  std::unique_ptr<sim::SimProcess> sim;
  KORInterface iface;
};

}  // namespace parley::testing
