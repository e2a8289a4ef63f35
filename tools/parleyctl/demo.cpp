// parleyctl demo: a tour of the library, one segment per link, against built-in simulators.
#include <iostream>
#include <string>
#include <vector>

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

// Direct GPIB (mode 3) on the simulated bus: two instruments, one board, a serial poll, a
// reply longer than the read buffer, service request, remote enable and the release.
void PrintCalls(const SimulatedGpibBus& bus) {
  std::vector<std::string> texts;
  for (const auto& call : bus.Calls()) {
    if (call.name.find("GpibGlobals") == std::string::npos) texts.push_back(call.text);
  }
  // Repeated polls of a wait are shown once with their count.
  for (std::size_t i = 0; i < texts.size();) {
    std::size_t n = 1;
    while (i + n < texts.size() && texts[i + n] == texts[i]) ++n;
    std::cout << "  " << texts[i] << (n > 1 ? "  x" + std::to_string(n) : "") << "\n";
    i += n;
  }
}

void SegmentDirectGpib() {
  Heading("direct GPIB on the simulated bus");
  SimulatedGpibBus bus;
  auto dmm = bus.AddInstrument(5);
  dmm.Reply("*IDN?", "Parley,SimulatedMeter,0,1.0");
  dmm.Reply("MEAS?", "+1.234500E+00");
  auto scope = bus.AddInstrument(7);
  scope.Reply("CURVE?", std::string(300, '#'));
  scope.StatusBits(0x02, 0x10);  // the IEEE 488.2 message-available bit, for service request
  UseSimulatedGpibBus(bus);

  KORInterface meter, scope_link;
  meter.commMode(korCommModeGPIBDirect);
  meter.GPIBAddress(5);
  meter.openPort();
  KORTransaction t;
  t.cmd("*IDN?");
  meter.Transact(t);
  std::cout << "address 5, *IDN? -> " << t.resp() << "\n";
  std::cout << "driver calls of the first transaction (board, device, 1 s settle, poll, write, "
               "wait, read):\n";
  PrintCalls(bus);
  bus.ClearCalls();
  dmm.ResponseDelay(0.2);
  t.cmd("MEAS?");
  meter.Transact(t);
  std::cout << "MEAS? (ready after 0.2 s) -> " << t.resp() << "\n";
  PrintCalls(bus);
  int16_t spr = 0;
  meter.Spoll(spr);
  std::cout << "Spoll -> " << spr << " (idle bit 0x02)\n";

  scope_link.commMode(korCommModeGPIBDirect);
  scope_link.GPIBAddress(7);
  scope_link.UseSRQ(true);
  scope_link.MAVSPoll(16);
  scope_link.openPort();
  KORTransaction curve;
  curve.cmd("CURVE?");
  scope_link.Transact(curve);
  std::cout << "address 7 with UseSRQ: sent \"" << curve.cmd() << "\", got " << curve.resp().size()
            << " of 300 bytes; the rest stays in the instrument (" << scope.Unread().size()
            << " bytes)\n";
  KORTransaction rest;
  rest.cmd("(read)");
  scope_link.GetTransact(rest);
  std::cout << "GetTransact -> " << rest.resp().size() << " more bytes\n";

  meter.RemoteEnable();
  std::cout << "RemoteEnable: remote enable asserted again: " << bus.RemoteEnableAsserted() << "\n";
  try {
    scope.Busy(true);
    scope_link.Transact(curve);
  } catch (const AutomationError& e) {
    std::cout << "instrument busy: ";
    PrintError(std::cout, e);
  }
  bus.ClearCalls();
  meter.GPIBClose();
  scope_link.GPIBClose();
  std::cout << "GPIBClose of both objects (the board goes with the last device):\n";
  PrintCalls(bus);
  UseSystemGpibLibrary();
}

}  // namespace

void SegmentSerial(bool show_trace);
void SegmentForwarding();
void SegmentTcp();

int RunDemo(const Options& options) {
  KORInterface iface;
  iface.DebugMonitorOn();
  SegmentLifecycle(iface);
  SegmentValidation(iface);
  SegmentSerial(options.Has("trace"));
  SegmentForwarding();
  SegmentTcp();
  SegmentDirectGpib();
  Heading("debug trace");
  std::cout << Visible(iface.DebugBuffGet()) << "\n";
  (void)options;
  return 0;
}

}  // namespace parley::cli
