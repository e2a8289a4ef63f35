// port_handover: programs alternating mode-2 transactions on one pseudo-terminal against
// parley-sim, sharing it through parley-connd.
//
// Prints the hand-overs per second while the programs want the port, the median time a
// hand-over adds to a transaction (the holder idle: pumping its loop, or asleep), the longest
// wait of any transaction, and the cost of a transaction that needs no hand-over: one program
// alone on the port, with the in-process manager and with the cross-process one.
//
// usage: port_handover [seconds] [transactions alone] [pause ms] [programs] [loop|sleep]
//        (defaults 20, 300, 0, 2, loop; the pause is each program's idle time between
//        transactions, spent running its loop or sleeping without it)
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
#include <thread>
#include <vector>

#include "parley/parley.hpp"
#include "roundtrip_common.hpp"
#include "sim_process.hpp"

namespace {

using Clock = std::chrono::steady_clock;

// A worker: transactions for `seconds`, one line per transaction: "tx <micros> <handover>".
int Worker(const std::string& device, double seconds, int pause_ms, bool sleep) {
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
    // An idle moment between transactions.
    if (pause_ms > 0 && sleep) std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms));
    if (pause_ms > 0 && !sleep) parley::EventLoop::RunFor(std::chrono::milliseconds(pause_ms));
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
  if (argc >= 6 && std::string(argv[1]) == "--worker") {
    return Worker(argv[2], std::atof(argv[3]), std::atoi(argv[4]), std::string(argv[5]) == "sleep");
  }
  double seconds = argc > 1 ? std::atof(argv[1]) : 20;
  int alone = argc > 2 ? std::atoi(argv[2]) : 300;
  std::string pause = argc > 3 ? argv[3] : "0";
  int count = argc > 4 ? std::max(1, std::atoi(argv[4])) : 2;
  std::string idle = argc > 5 ? argv[5] : "loop";

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
    for (int i = 0; i < count; ++i) {
      workers.push_back(std::make_unique<parley::sim::SimProcess>(
          self, std::vector<std::string>{"--worker", device, secs, pause, idle}));
    }
    int handovers = 0, transactions = 0, errors = 0;
    std::vector<double> held, handed;
    std::vector<int> each;
    double longest = 0;
    for (auto& w : workers) {
      int before = transactions;
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
        longest = std::max(longest, us);
        (handover ? handed : held).push_back(us);
      }
      each.push_back(transactions - before);
    }
    std::string per;
    for (int n : each) per += (per.empty() ? "" : ", ") + std::to_string(n);
    std::printf(
        "contention: %d transactions in %.0f s by %d programs (%s; pause %s ms, %s), %d "
        "hand-overs (%.2f/s), %d failed or wrong answers, longest wait %.0f ms\n",
        transactions, seconds, count, per.c_str(), pause.c_str(), idle.c_str(), handovers,
        handovers / seconds, errors, longest / 1000);
    std::printf("hand-over, median time added to a transaction: %.1f ms\n",
                handed.empty() ? 0.0 : (Median(handed) - Median(held)) / 1000);
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
