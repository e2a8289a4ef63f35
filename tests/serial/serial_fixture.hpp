// A KORInterface in mode 2 on the virtual host, with a scripted remote unit on its serial port.
#pragma once

#include <string>
#include <vector>

#include "parley/interface.hpp"
#include "support/sim_serial_port.hpp"
#include "support/virtual_fixture.hpp"

namespace parley::testing {

class SerialLinkTest : public VirtualHostTest {
 protected:
  SerialLinkTest() : unit(std::make_shared<detail::SimRemoteUnit>(host())) {
    host().serial_factory = [this] { return detail::MakeSimSerialPort(unit); };
    progress = iface.Progress();
    watch = progress->Update.connect([this] {
      if (stages.empty() || stages.back() != progress->status())
        stages.push_back(progress->status());
    });
    iface.DebugMonitorOn();
    iface.DebugBuffSizeSet(64000);
  }
  ~SerialLinkTest() override { watch.disconnect(); }

  // Runs one transaction (RespTimeout 10 s) and returns its record.
  KORTransaction Run(const std::string& cmd) {
    if (!iface.IsPortOpen()) iface.openPort();
    KORTransaction t;
    t.cmd(cmd);
    t.RespTimeout(korShort);
    iface.Transact(t);
    return t;
  }
  int Count(const std::string& stage) const {
    int n = 0;
    for (const auto& s : stages) n += s == stage;
    return n;
  }
  // Number of trace entries of a kind ("WRIT", "READ", "ERRR").
  int Entries(const std::string& tag) const {
    std::string trace = iface.DebugBuffGet();
    int n = 0;
    for (std::size_t p = 0; (p = trace.find("\t" + tag + "\t", p)) != std::string::npos; ++p) ++n;
    return n;
  }
  std::shared_ptr<ScriptedConnection> connection() { return manager().Connection(1); }

  std::shared_ptr<detail::SimRemoteUnit> unit;
  KORInterface iface;
  std::shared_ptr<KORProgress> progress;
  Connection watch;
  std::vector<std::string> stages;
};

}  // namespace parley::testing
