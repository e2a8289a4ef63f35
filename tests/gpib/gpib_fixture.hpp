// Direct-GPIB tests: a virtual clock, a simulated bus with an instrument at address 1, and
// helpers to read the driver calls back. The same suite runs with the bus as the driver and
// behind the stand-in system library loaded at run time.
#pragma once

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "gpib/driver/gpib_sim.hpp"
#include "gpib/fake_libgpib.hpp"
#include "parley/parley.hpp"
#include "support/virtual_host.hpp"

namespace parley::testing {

enum class Backend { kSimulated, kLoadedLibrary };

inline std::string BackendName(const ::testing::TestParamInfo<Backend>& info) {
  return info.param == Backend::kSimulated ? "SimulatedBus" : "LoadedLibrary";
}

class GpibTestBase : public ::testing::Test {
 protected:
  explicit GpibTestBase(Backend backend)
      : scoped_(std::make_unique<detail::VirtualHost>()),
        host_(static_cast<detail::VirtualHost&>(scoped_.host())),
        dev_(bus_.AddInstrument(1)),
        backend_(backend) {
    UseBus(bus_);
    dev_.Reply("MEAS?", "1.23");
  }
  ~GpibTestBase() override {
    UseSystemGpibLibrary();  // lets go of the stand-in before its hooks' driver goes
    if (handle_) dlclose(handle_);
  }

  // Makes `bus` the driver: directly, or behind the stand-in library.
  void UseBus(const SimulatedGpibBus& bus) {
    if (backend_ == Backend::kSimulated) return UseSimulatedGpibBus(bus);
    driver_ = detail::SimBusAccess::MakeDriver(bus);
    if (!handle_) handle_ = dlopen(PARLEY_FAKE_GPIB_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle_, nullptr) << dlerror();
    auto install = reinterpret_cast<decltype(&parley_fake_gpib_install)>(
        dlsym(handle_, "parley_fake_gpib_install"));
    FakeGpibHooks hooks{driver_.get()};
    install(&hooks);
    UseGpibLibrary(PARLEY_FAKE_GPIB_PATH);
  }

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
  Backend backend_;
  std::shared_ptr<detail::SimulatedGpibDriver> driver_;
  void* handle_ = nullptr;
};

// The behavioural suite: every case runs on both backends.
class GpibTest : public GpibTestBase, public ::testing::WithParamInterface<Backend> {
 protected:
  GpibTest() : GpibTestBase(GetParam()) {}
};

#define PARLEY_GPIB_BACKENDS(Suite)                                                         \
  INSTANTIATE_TEST_SUITE_P(Backends, Suite,                                                 \
                           ::testing::Values(Backend::kSimulated, Backend::kLoadedLibrary), \
                           BackendName)

// Cases about the simulated driver itself (registration return codes, its call log).
class SimulatedGpibTest : public GpibTestBase {
 protected:
  SimulatedGpibTest() : GpibTestBase(Backend::kSimulated) {}
};

using Calls = std::vector<std::string>;

}  // namespace parley::testing
