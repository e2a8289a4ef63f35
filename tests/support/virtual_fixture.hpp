// A test fixture that runs the test on a virtual host with a scripted connection manager.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "parley/errors.hpp"
#include "support/scripted_manager.hpp"
#include "support/virtual_host.hpp"

namespace parley::testing {

class VirtualHostTest : public ::testing::Test {
 protected:
  explicit VirtualHostTest(double start_seconds = 12 * 3600.0)
      : scoped_(std::make_unique<detail::VirtualHost>(start_seconds)), manager_(scoped_.host()) {}

  detail::VirtualHost& host() { return static_cast<detail::VirtualHost&>(scoped_.host()); }
  ScriptedConnectionManager& manager() { return manager_.manager(); }

 private:
  detail::ScopedHost scoped_;
  ScopedScriptedManager manager_;
};

// Expects `statement` to throw an AutomationError with `number`; yields the error for more checks.
#define PARLEY_EXPECT_ERROR(statement, number)                                \
  [&]() -> ::parley::AutomationError {                                        \
    try {                                                                     \
      statement;                                                              \
    } catch (const ::parley::AutomationError& e) {                            \
      EXPECT_EQ(e.Number(), static_cast<int32_t>(number)) << e.Description(); \
      return e;                                                               \
    }                                                                         \
    ADD_FAILURE() << #statement " did not throw";                             \
    return ::parley::AutomationError(0, "", "");                              \
  }()

}  // namespace parley::testing
