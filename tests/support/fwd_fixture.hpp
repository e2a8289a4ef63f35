// A fixture for the forwarding dialogue: an interface on the virtual clock whose serial
// exchanges go to a scripted remote unit.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "catalogue/error_path.hpp"
#include "interface/core.hpp"
#include "parley/interface.hpp"
#include "support/scripted_fwd_channel.hpp"
#include "support/virtual_host.hpp"

namespace parley::testing {

class FwdFixture : public ::testing::Test {
 protected:
  FwdFixture()
      : scoped_(std::make_unique<detail::VirtualHost>()),
        host_(static_cast<detail::VirtualHost&>(scoped_.host())),
        iface_(std::make_unique<KORInterface>()),
        core_(detail::CoreOf(*iface_)),
        channel_(host_) {
    core_.settings.gpib_address = 5;
  }

  // Transact's level of the error path around a mode branch.
  detail::StepRunner Steps() {
    return [this](const std::function<void()>& f) { detail::RunStep(core_, f); };
  }

  // The error a call fails with (number 0 when it does not fail).
  template <class F>
  AutomationError FailureOf(F&& f) {
    try {
      f();
    } catch (const AutomationError& e) {
      return e;
    }
    return AutomationError(0, "", "");
  }

  KORTransaction Command(const std::string& cmd, int32_t timeout = korShort) {
    KORTransaction t;
    t.cmd(cmd);
    t.RespTimeout(timeout);
    return t;
  }

  detail::ScopedHost scoped_;
  detail::VirtualHost& host_;
  std::unique_ptr<KORInterface> iface_;
  detail::InterfaceCore& core_;
  bool settings_sent_ = false;  // the forwarding link's header mark
  ScriptedFwdChannel channel_;
};

}  // namespace parley::testing
