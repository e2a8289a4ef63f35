// The serial segment of `parleyctl demo`: mode-2 transactions with parley-sim on a pseudo-terminal.
#include <iostream>

#include "serial_cmd.hpp"
#include "sim_process.hpp"

namespace parley::cli {
namespace {

void Exchange(KORInterface& iface, const std::string& cmd) {
  KORTransaction t;
  t.cmd(cmd);
  t.RespTimeout(korShort);
  try {
    iface.Transact(t);
    std::cout << "  " << Visible(cmd) << " -> \"" << Visible(t.resp()) << "\"\n";
  } catch (const AutomationError& e) {
    std::cout << "  " << Visible(cmd) << " -> ";
    PrintError(std::cout, e);
  }
}

}  // namespace

void SegmentSerial(bool show_trace) {
  std::cout << "\n== serial link (mode 2) against parley-sim on a pseudo-terminal ==\n";
  std::unique_ptr<sim::SimProcess> sim;
  try {
    sim = std::make_unique<sim::SimProcess>(
        sim::DefaultSimProgram(),
        std::vector<std::string>{"--delay", "150", "--answer", "MEAS?=1.23", "--answer",
                                 "LIST?=alpha\\r\\nbeta\\r\\n", "--split", "3"});
  } catch (const std::exception& e) {
    std::cout << "  skipped: " << e.what() << "\n";
    return;
  }
  std::cout << "parley-sim answers on " << sim->first_line()
            << " (150 ms answer delay, everything in 3-byte chunks)\n";
  KORInterface iface;
  MapSerialPort(kCliSerialPort, sim->first_line());
  iface.CommPort(kCliSerialPort);
  iface.DebugBuffSizeSet(64000);
  iface.DebugMonitorOn();
  iface.openPort();
  Exchange(iface, "VER?");
  Exchange(iface, "MEAS?");
  Exchange(iface, "LIST?");
  iface.RemoveExtraChar(true);
  std::cout << "with RemoveExtraChar:\n";
  Exchange(iface, "LIST?");
  iface.closePort();
  MapSerialPort(kCliSerialPort, "");
  if (show_trace) std::cout << "trace:\n" << Visible(iface.DebugBuffGet()) << "\n";
}

}  // namespace parley::cli
