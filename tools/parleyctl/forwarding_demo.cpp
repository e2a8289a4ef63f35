// The GPIB-forwarding segment of `parleyctl demo`: an instrument behind parley-sim, reached in
// mode 1 (send and read in one message) and mode 4 (poll, write, poll, read).
#include <iostream>

#include "serial_cmd.hpp"
#include "sim_process.hpp"

namespace parley::cli {
namespace {

// Runs `cmd` and shows its answer (or error) and the forwarding messages it put on the wire.
void Forward(KORInterface& iface, const std::string& cmd, bool expect = true) {
  KORTransaction t;
  t.cmd(cmd);
  t.RespTimeout(korShort);
  t.RespExpect(expect);
  iface.DebugBuffClear();
  try {
    iface.Transact(t);
    std::cout << "  " << cmd << " -> \"" << Visible(t.resp()) << "\"\n";
  } catch (const AutomationError& e) {
    std::cout << "  " << cmd << " -> ";
    PrintError(std::cout, e);
  }
  const std::string trace = iface.DebugBuffGet();
  const std::string mark = "\tWRIT\t";
  for (auto pos = trace.find(mark); pos != std::string::npos; pos = trace.find(mark, pos)) {
    pos += mark.size();
    // The next entry starts with its 19-character date and a tab.
    auto next = trace.find('\t', pos);
    std::cout << "      sent "
              << trace.substr(pos, next == std::string::npos ? next : next - 19 - pos) << "\n";
  }
}

}  // namespace

void SegmentForwarding() {
  std::cout << "\n== GPIB forwarding through the remote unit (modes 1 and 4) ==\n";
  std::unique_ptr<sim::SimProcess> sim;
  try {
    sim = std::make_unique<sim::SimProcess>(
        sim::DefaultSimProgram(),
        std::vector<std::string>{"--gpib-stray", "an old answer", "--gpib-ready-after", "1"});
  } catch (const std::exception& e) {
    std::cout << "  skipped: " << e.what() << "\n";
    return;
  }
  std::cout << "instrument at address 9 behind parley-sim on " << sim->first_line()
            << " (an old answer is waiting in it)\n";
  MapSerialPort(kCliSerialPort, sim->first_line());
  KORInterface iface;
  iface.CommPort(kCliSerialPort);
  iface.GPIBAddress(9);
  iface.DebugBuffSizeSet(64000);
  iface.DebugMonitorOn();
  iface.commMode(korCommModeCRLFtoGPIB);
  iface.openPort();
  std::cout << "mode 1: the first poll finds the old answer and drains it\n";
  Forward(iface, "*IDN?");
  Forward(iface, "DISP:TEXT \"hello\"");  // its quotes travel escaped
  iface.closePort();
  iface.commMode(korCommModeGPIBInOut);
  iface.openPort();
  std::cout << "mode 4: write, then poll until the answer is ready, then read\n";
  Forward(iface, "VOLT 2.5", false);
  Forward(iface, "MEAS?");
  int16_t status = 0;
  iface.Spoll(status);
  std::cout << "  Spoll -> " << status << " (idle)\n";
  iface.DebugBuffClear();
  iface.RemoteEnable();
  std::cout << "  RemoteEnable: remote enable line off and back on\n";
  iface.closePort();
  MapSerialPort(kCliSerialPort, "");
}

}  // namespace parley::cli
