// port_handover: two programs alternating mode-2 transactions on one pseudo-terminal against
// parley-sim, sharing it through parley-connd.
//
// Prints the hand-overs per second while both programs want the port all the time, and the
// cost of a transaction that needs no hand-over: one program alone on the port, with the
// in-process manager and with the cross-process one (which answers PortLocked locally, so
// the two should match).
//
// usage: port_handover [seconds of contention] [transactions alone] [pause ms]
//        (defaults 20, 300, 0; the pause is each program's idle time between transactions)
// It runs parley-sim and parley-connd from the build tree (or PARLEY_SIM / PARLEY_CONND), in
// a private runtime folder.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "parley/parley.hpp"
#include "roundtrip_common.hpp"
#include "sim_process.hpp"

namespace {

using Clock = std::chrono::steady_clock;

// A worker: transactions for `seconds`, one line per transaction: "tx <micros> <handover>".
int Worker(const std::string& device, double seconds, int pause_ms) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  std::printf("ready\n");
  parley::UseConnectionManager([] { return parley::MakeServiceConnectionManager(); });
  parley::MapSerialPort(1, device);
  parley::KORInterface iface;
  bool requested = false;
  auto stage = iface.Progress()->Update.connect([&] {
    if (iface.Progress()->status() == "Requesting port") requested = true;
  });
  iface.openPort();
  auto end = Clock::now() + std::chrono::duration<double>(seconds);
  parley::KORTransaction t;
  t.cmd("PING");
  t.RespTimeout(parley::korShort);
  // Reported at the end: a program blocked on a full stdout pipe would stop pumping its loop
  // and keep the port from the other.
  std::string report;
  char line[128];
  while (Clock::now() < end) {
    requested = false;
    auto start = Clock::now();
    try {
      iface.Transact(t);
    } catch (const parley::AutomationError& e) {
      report += "err " + e.Description() + "\n";
      continue;
    }
    if (t.resp() != "PONG") {
      report += "err wrong answer\n";
      continue;
    }
    double us = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
    std::snprintf(line, sizeof line, "tx %.0f %d\n", us, requested ? 1 : 0);
    report += line;
    // An idle moment between transactions, pumping the loop as an idle program should.
    if (pause_ms > 0) parley::EventLoop::RunFor(std::chrono::milliseconds(pause_ms));
  }
  std::fputs(report.c_str(), stdout);
  std::printf("done\n");
  for (;;) parley::EventLoop::RunFor(std::chrono::milliseconds(1000));
}

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// One program alone: the median microseconds of `count` transactions.
double Alone(const std::string& device, int count, bool service) {
  if (service) {
    parley::UseConnectionManager([] { return parley::MakeServiceConnectionManager(); });
  } else {
    parley::UseConnectionManager([] { return parley::MakeInProcessConnectionManager(); });
  }
  parley::MapSerialPort(1, device);
  std::vector<double> us;
  {
    parley::KORInterface iface;
    iface.openPort();
    parley::KORTransaction t;
    t.cmd("PING");
    t.RespTimeout(parley::korShort);
    iface.Transact(t);  // takes the port
    for (int i = 0; i < count; ++i) {
      auto start = Clock::now();
      iface.Transact(t);
      us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
  }
  parley::UseConnectionManager({});
  return Median(us);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 5 && std::string(argv[1]) == "--worker") {
    return Worker(argv[2], std::atof(argv[3]), std::atoi(argv[4]));
  }
  double seconds = argc > 1 ? std::atof(argv[1]) : 20;
  int alone = argc > 2 ? std::atoi(argv[2]) : 300;
  std::string pause = argc > 3 ? argv[3] : "0";

  char folder[] = "/tmp/parley-handover-XXXXXX";
  if (!mkdtemp(folder)) return 1;
  setenv("XDG_RUNTIME_DIR", folder, 1);
  setenv("PARLEY_CONND", bench::Beside("PARLEY_CONND", "parley-connd").c_str(), 1);
  setenv("PARLEY_CONND_IDLE", "1", 1);
  int rc = 0;
  try {
    parley::sim::SimProcess sim(bench::Beside("PARLEY_SIM", "parley-sim"), {});
    std::string device = sim.first_line();
    std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    std::string secs = std::to_string(seconds);

    double in_process = Alone(device, alone, false);
    double through_service = Alone(device, alone, true);

    std::vector<std::unique_ptr<parley::sim::SimProcess>> workers;
    for (int i = 0; i < 2; ++i) {
      workers.push_back(std::make_unique<parley::sim::SimProcess>(
          self, std::vector<std::string>{"--worker", device, secs, pause}));
    }
    int handovers = 0, transactions = 0, errors = 0;
    std::vector<double> held;
    std::vector<int> each;
    for (auto& w : workers) {
      each.push_back(transactions);
      for (;;) {
        std::string line =
            w->ReadLine(std::chrono::milliseconds(static_cast<int>(seconds * 1000) + 30000));
        if (line.empty() || line == "done") break;
        if (line.rfind("err", 0) == 0) {
          std::fprintf(stderr, "%s\n", line.c_str());
          ++errors;
          continue;
        }
        double us = 0;
        int handover = 0;
        if (std::sscanf(line.c_str(), "tx %lf %d", &us, &handover) != 2) continue;
        ++transactions;
        handovers += handover;
        if (!handover) held.push_back(us);
      }
    }
    each[1] = transactions - each[1];
    each[0] = transactions - each[1];
    std::printf(
        "contention: %d transactions in %.0f s by two programs (%d and %d), %d hand-overs "
        "(%.2f/s), %d failed or wrong answers\n",
        transactions, seconds, each[0], each[1], handovers, handovers / seconds, errors);
    std::printf(
        "transaction without hand-over, median: in-process manager %.0f us, "
        "cross-process manager alone %.0f us, under contention %.0f us\n",
        in_process, through_service, Median(held));
  } catch (const std::exception& e) {
    std::fprintf(stderr, "port_handover: %s\n", e.what());
    rc = 1;
  }
  std::filesystem::remove_all(folder);
  return rc;
}
