// A stand-in for the system GPIB library: a shared library exporting linux-gpib's calls, which
// forwards them to a driver the test installs (the simulated bus), so that the library's
// run-time loading path runs for real.
#pragma once

#include <cstdint>

#include "gpib/driver/gpib_driver.hpp"

struct FakeGpibHooks {
  parley::detail::GpibDriver* driver;  // called through its (pure) interface only
};

extern "C" void parley_fake_gpib_install(const FakeGpibHooks* hooks);
