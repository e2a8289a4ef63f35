// Direct-GPIB tests: a virtual clock, a simulated bus with an instrument at address 1, and
// helpers to read the driver calls back.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "host/virtual_host.hpp"
#include "parley/parley.hpp"

namespace parley::testing {

class GpibTest : public ::testing::Test {
 protected:
  GpibTest()
      : scoped_(std::make_unique<detail::VirtualHost>()),
        host_(static_cast<detail::VirtualHost&>(scoped_.host())),
        dev_(bus_.AddInstrument(1)) {
    UseSimulatedGpibBus(bus_);
    dev_.Reply("MEAS?", "1.23");
  }
  ~GpibTest() override { UseSystemGpibLibrary(); }

  // Mode 3 at address 1, port open.
  static void Open(KORInterface& i, int address = 1) {
    i.commMode(korCommModeGPIBDirect);
    i.GPIBAddress(address);
    i.openPort();
  }
  static KORTransaction Tx(const std::string& cmd, bool expect = true, int timeout = korShort) {
    KORTransaction t;
    t.cmd(cmd);
    t.RespExpect(expect);
    t.RespTimeout(timeout);
    return t;
  }
  // The error a call raises (fails the test when it raises none).
  template <class F>
  static AutomationError ErrorOf(F&& f) {
    try {
      f();
    } catch (const AutomationError& e) {
      return e;
    }
    ADD_FAILURE() << "no error raised";
    return AutomationError(0, "", "");
  }

  std::vector<std::string> Names() const { return bus_.CallNames(); }
  std::vector<std::string> Texts() const {
    std::vector<std::string> texts;
    for (const auto& c : bus_.Calls()) {
      if (c.name.find("GpibGlobals") == std::string::npos) texts.push_back(c.text);
    }
    return texts;
  }
  int Count(const std::string& name) const {
    auto names = bus_.CallNames(true);
    return static_cast<int>(std::count(names.begin(), names.end(), name));
  }
  // Clock reading of the n-th call named `name` (0-based).
  double TimeOf(const std::string& name, int n = 0) const {
    for (const auto& c : bus_.Calls()) {
      if (c.name == name && n-- == 0) return c.at;
    }
    ADD_FAILURE() << "no call " << name;
    return 0;
  }

  detail::ScopedHost scoped_;
  detail::VirtualHost& host_;
  SimulatedGpibBus bus_;
  SimulatedInstrument dev_;
};

using Calls = std::vector<std::string>;

}  // namespace parley::testing
