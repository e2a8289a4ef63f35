// parley demo: a tour of the library, one segment per link, against built-in simulators.
#include <iostream>

#include "cli.hpp"

namespace parley::cli {
namespace {

void Heading(const std::string& title) { std::cout << "\n== " << title << " ==\n"; }

void ShowSettings(const KORInterface& i) {
  std::cout << "commMode " << i.commMode() << ", CommPort " << i.CommPort() << ", BitRate "
            << i.BitRate() << ", Parity " << i.Parity() << ", DataBits " << i.DataBits()
            << ", StopBits " << i.StopBits() << "\n"
            << "CmdTerm \"" << Visible(i.CmdTerm()) << "\", RespTerm \"" << Visible(i.RespTerm())
            << "\"\n"
            << "GPIBAddress " << i.GPIBAddress() << ", ITC " << i.ITC() << ", DTO " << i.DTO()
            << ", IdleSPoll " << i.IdleSPoll() << ", MAVSPoll " << i.MAVSPoll()
            << ", GPIBDirectMaxRespLength " << i.GPIBDirectMaxRespLength() << "\n"
            << "RemoteHostIpAddress " << i.RemoteHostIpAddress() << ", RemotePortNumber "
            << i.RemotePortNumber() << "\n"
            << "Busy " << i.Busy() << ", IsPortOpen " << i.IsPortOpen() << "\n";
}

void SegmentLifecycle(KORInterface& iface) {
  Heading("a new interface");
  ShowSettings(iface);

  Heading("open and close");
  iface.openPort();
  std::cout << "after openPort: IsPortOpen " << iface.IsPortOpen() << "\n";
  iface.BitRate(19200);
  std::cout << "BitRate put 19200 while open -> " << iface.BitRate() << " (ignored while open)\n";
  iface.closePort();
  iface.BitRate(19200);
  std::cout << "after closePort: IsPortOpen " << iface.IsPortOpen() << ", BitRate put 19200 -> "
            << iface.BitRate() << "\n";
}

void SegmentValidation(KORInterface& iface) {
  Heading("a transaction that fails validation");
  iface.BitRate(38400);
  iface.commMode(korCommModeCRLFtoGPIB);
  iface.openPort();
  KORTransaction t;
  t.cmd("MEAS?");
  try {
    iface.Transact(t);
  } catch (const AutomationError& e) {
    std::cout << "mode 1 at 38400 bit/s: ";
    PrintError(std::cout, e);
  }
  iface.closePort();
  iface.commMode(korCommModeCRLFDirect);
  iface.BitRate(9600);
}

}  // namespace

void SegmentSerial(bool show_trace);

int RunDemo(const Options& options) {
  KORInterface iface;
  iface.DebugMonitorOn();
  SegmentLifecycle(iface);
  SegmentValidation(iface);
  SegmentSerial(options.Has("trace"));
  Heading("debug trace");
  std::cout << Visible(iface.DebugBuffGet()) << "\n";
  (void)options;
  return 0;
}

}  // namespace parley::cli
