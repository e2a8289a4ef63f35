// A program of the suite for the shared-port tests: it shares serial port 1 (mapped to the
// device given) through parley-connd and reports on stdout, one line each:
//   ready                 at start
//   stage <text>          each progress stage as it begins
//   ok <response>         a transaction answered
//   err <number> <text>   a transaction failed (number in hexadecimal)
//   took <ms>             after each transaction: how long it took
//   holding               the first answer came and the program now stops pumping (--hold)
//   done                  all transactions ran; it then pumps its loop until it is ended
//
//   port_user DEVICE COUNT [--pause MS] [--sleep MS] [--hold SECONDS] [--cmd TEXT] [--by-path 1]
// --by-path opens DEVICE as the interface's own DevicePath instead of through the port map.
// --pause runs the loop between transactions, --sleep sleeps without running it.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "parley/parley.hpp"

using namespace parley;

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  std::string device = argv[1];
  int count = std::atoi(argv[2]);
  int pause_ms = 0;
  int hold_s = 0;
  int sleep_ms = 0;
  std::string cmd = "PING";
  bool by_path = false;
  for (int i = 3; i + 1 < argc; i += 2) {
    std::string opt = argv[i];
    if (opt == "--pause") pause_ms = std::atoi(argv[i + 1]);
    if (opt == "--hold") hold_s = std::atoi(argv[i + 1]);
    if (opt == "--sleep") sleep_ms = std::atoi(argv[i + 1]);
    if (opt == "--cmd") cmd = argv[i + 1];
    if (opt == "--by-path") by_path = std::atoi(argv[i + 1]) != 0;
  }
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  std::printf("ready\n");
  UseConnectionManager([] { return MakeServiceConnectionManager(); });
  KORInterface iface;
  if (by_path) {
    iface.DevicePath(device);
  } else {
    MapSerialPort(1, device);
  }
  iface.DebugMonitorOn();
  std::string last;
  auto stages = iface.Progress()->Update.connect([&] {
    const auto& s = iface.Progress()->status();
    if (s != last && !s.empty()) std::printf("stage %s\n", s.c_str());
    last = s;
  });
  try {
    iface.openPort();
  } catch (const AutomationError& e) {
    std::printf("err %X %s\n", static_cast<unsigned>(e.Number()), e.Description().c_str());
    std::printf("trace %s\n", iface.DebugBuffGet().c_str());
    return 1;
  }
  for (int i = 0; i < count; ++i) {
    KORTransaction t;
    t.cmd(cmd);
    t.RespTimeout(korShort);
    auto start = std::chrono::steady_clock::now();
    try {
      iface.Transact(t);
      std::printf("ok %s\n", t.resp().c_str());
    } catch (const AutomationError& e) {
      std::printf("err %X %s\n", static_cast<unsigned>(e.Number()), e.Description().c_str());
      if (!iface.LastLinkError().empty()) std::printf("why %s\n", iface.LastLinkError().c_str());
    }
    auto took = std::chrono::steady_clock::now() - start;
    std::printf("took %lld\n",
                static_cast<long long>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
    if (i == 0 && hold_s > 0) {
      std::printf("holding\n");
      // A program busy elsewhere: its loop does not run meanwhile.
      std::this_thread::sleep_for(std::chrono::seconds(hold_s));
    }
    // Idle either way: the port is given up when asked, whether the loop runs or not.
    if (sleep_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(sleep_ms));
    EventLoop::RunFor(std::chrono::milliseconds(pause_ms));
  }
  std::printf("done\n");
  for (;;) EventLoop::RunFor(std::chrono::milliseconds(1000));
}
