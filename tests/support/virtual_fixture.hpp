// A test fixture that runs the test on a virtual host with a scripted connection manager.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <utility>

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

// Starts `body` on a thread of its own. An AutomationError it raises fails the test; escaping
// the thread it would end the whole test program, and every case after it with it.
template <class Body>
std::thread ThreadFailingOnError(Body body) {
  return std::thread([body = std::move(body)]() mutable {
    try {
      body();
    } catch (const AutomationError& e) {
      ADD_FAILURE() << "on another thread: " << e.what();
    }
  });
}

}  // namespace parley::testing
