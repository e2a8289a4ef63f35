// The TCP segment of `parleyctl demo`: text and byte transactions with parley-sim's TCP service.
#include <functional>
#include <iostream>
#include <memory>

#include "cli.hpp"
#include "sim_process.hpp"

namespace parley::cli {
namespace {

// Starts parley-sim serving TCP on a free port; null (and a note) when it cannot.
std::unique_ptr<sim::SimProcess> StartTcpSim(std::vector<std::string> args, std::string& port) {
  args.insert(args.end(), {"--tcp-port", "0"});
  try {
    auto sim = std::make_unique<sim::SimProcess>(sim::DefaultSimProgram(), args);
    port = sim->ReadLine(std::chrono::seconds(5));
    if (!port.empty()) return sim;
    std::cout << "  skipped: parley-sim printed no TCP port\n";
  } catch (const std::exception& e) {
    std::cout << "  skipped: " << e.what() << "\n";
  }
  return nullptr;
}

void Show(const std::string& what, const std::function<std::string()>& step) {
  std::cout << "  " << what << " -> ";
  try {
    std::cout << step() << "\n";
  } catch (const AutomationError& e) {
    PrintError(std::cout, e);
  }
}

void OpenTcpLink(KORInterface& iface, const std::string& port) {
  iface.commMode(korCommModeEther);
  iface.RemoteHostIpAddress("127.0.0.1");
  iface.RemotePortNumber(port);
  iface.openPort();
}

KORTransaction TextTransaction(const std::string& cmd) {
  KORTransaction t;
  t.cmd(cmd);
  t.RespTimeout(2);
  return t;
}

void TextAndBytes(KORInterface& iface) {
  Show("MEAS?", [&] {
    auto t = TextTransaction("MEAS?");
    iface.Transact(t);
    return "\"" + Visible(t.resp()) + "\"";
  });
  Show("ReceivedStringBuffer", [&] { return "\"" + Visible(iface.ReceivedStringBuffer()) + "\""; });
  Show("bytes 42 00 FF", [&] {
    KORTransaction t;
    t.IsCmdTypeString(false);
    t.ByteCmd({0x42, 0x00, 0xFF});
    t.RespTimeout(2);
    iface.Transact(t);
    return HexBytes(t.ByteArrRespStrVal()) + " (echo included, terminator cut)";
  });
  Show("ReceivedStringBuffer after bytes", [&] { return iface.ReceivedStringBuffer(); });
}

void PeerCloses() {
  std::string port;
  auto sim = StartTcpSim({"--close-mid-answer"}, port);
  if (!sim) return;
  std::cout << "a unit that closes the connection halfway through its first answer:\n";
  KORInterface iface;
  OpenTcpLink(iface, port);
  for (const char* cmd : {"VER?", "VER?"}) {
    Show(cmd, [&] {
      auto t = TextTransaction(cmd);
      iface.Transact(t);
      return t.resp();
    });
  }
  iface.closePort();
}

}  // namespace

void SegmentTcp() {
  std::cout << "\n== TCP link (mode 5) against parley-sim on loopback ==\n";
  std::string port;
  auto sim = StartTcpSim({"--split", "4", "--answer", "MEAS?=1.23"}, port);
  if (!sim) return;
  std::cout << "parley-sim serves 127.0.0.1:" << port
            << " (greets with \"\\r\\n> \", everything in 4-byte chunks)\n";
  KORInterface iface;
  OpenTcpLink(iface, port);
  TextAndBytes(iface);
  iface.closePort();
  PeerCloses();
}

}  // namespace parley::cli
