// soak: many transactions over TCP and over a pseudo-terminal against parley-sim, with faults
// mixed in every few hundred (a timeout, a cancelled wait, the port closed and opened again).
//
// Prints resident memory, open descriptors and threads at the start, every 10 000 transactions
// and at the end, and checks that each answer belongs to its own command. Exits 1 on a wrong
// answer, an unexpected error, or when descriptors, threads or memory grew between the first
// report after warm-up and the last.
//
// usage: soak [transactions per link]   (default 100000)
#include <dirent.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <random>
#include <string>

#include "parley/parley.hpp"
#include "roundtrip_common.hpp"
#include "sim_process.hpp"

namespace {

constexpr int kCommands = 100;

struct Usage {
  long rss_kb = 0;
  int fds = 0;
  int threads = 0;
};

Usage Measure() {
  Usage u;
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) u.rss_kb = std::atol(line.c_str() + 6);
    if (line.rfind("Threads:", 0) == 0) u.threads = std::atoi(line.c_str() + 8);
  }
  if (DIR* d = opendir("/proc/self/fd")) {
    while (readdir(d)) ++u.fds;
    closedir(d);
    u.fds -= 3;  // ".", ".." and the directory's own descriptor
  }
  return u;
}

void Report(const char* link, int done, const Usage& u) {
  std::printf("%-4s %7d  rss %6ld KiB  fds %3d  threads %2d\n", link, done, u.rss_kb, u.fds,
              u.threads);
  std::fflush(stdout);
}

// One link's run: the interface, the good unit and a silent one to fail against.
class Soak {
 public:
  Soak(const char* link, bool tcp, const std::string& good, const std::string& silent)
      : link_(link), tcp_(tcp), good_(good), silent_(silent) {
    Point(good_);
    iface_.openPort();
    progress_ = iface_.Progress();
    // A cancel fault halts the first haltable stage of its transaction.
    progress_->Update.connect([this] {
      if (cancel_ && progress_->HaltEnabled()) progress_->Halt();
    });
  }

  // Runs `count` transactions; false when something went wrong.
  bool Run(int count) {
    std::mt19937 random(12345);
    std::uniform_int_distribution<int> gap(200, 600);
    int next_fault = gap(random);
    int kind = 0;
    Usage baseline{};
    for (int i = 1; i <= count; ++i) {
      if (i == next_fault) {
        if (!Fault(kind++ % 3)) return false;
        next_fault = i + gap(random);
      }
      if (!Good(i)) return false;
      if (i % 10000 == 0 || i == count) {
        Usage u = Measure();
        Report(link_, i, u);
        if (baseline.rss_kb == 0) baseline = u;
        grew_ = u.fds > baseline.fds || u.threads > baseline.threads ||
                u.rss_kb > baseline.rss_kb + 4096;
      }
    }
    if (grew_) std::fprintf(stderr, "soak %s: descriptors, threads or memory grew\n", link_);
    return !grew_;
  }

 private:
  void Point(const std::string& where) {
    if (tcp_) {
      iface_.commMode(parley::korCommModeEther);
      iface_.RemoteHostIpAddress("127.0.0.1");
      iface_.RemotePortNumber(where);
    } else {
      parley::MapSerialPort(1, where);
      iface_.commMode(parley::korCommModeCRLFDirect);
    }
  }
  void Reopen(const std::string& where) {
    iface_.closePort();
    Point(where);
    iface_.openPort();
  }

  bool Good(int i) {
    parley::KORTransaction t;
    std::string n = std::to_string(i % kCommands);
    std::string cmd = "Q" + n + "?";
    t.cmd(cmd);
    t.RespTimeout(parley::korShort);
    try {
      iface_.Transact(t);
    } catch (const parley::AutomationError& e) {
      std::fprintf(stderr, "soak %s: %s failed: %s\n", link_, cmd.c_str(), e.what());
      return false;
    }
    std::string want = "A" + n;
    if (t.resp() == want) return true;
    std::fprintf(stderr, "soak %s: %s answered \"%s\"\n", link_, cmd.c_str(), t.resp().c_str());
    return false;
  }

  // 0: a timeout (TCP) or a cancel (serial) against the silent unit, 1: a cancel there,
  // 2: the port closed and opened again. Each ends back on the good unit.
  bool Fault(int kind) {
    if (kind == 2) {
      Reopen(good_);
      return true;
    }
    Reopen(silent_);
    parley::KORTransaction t;
    t.cmd("NOTHING?");
    t.RespTimeout(1);  // the shortest wait the TCP link takes; the serial link refuses it
    if (!tcp_) t.RespTimeout(parley::korShort);
    cancel_ = kind == 1 || !tcp_;
    int32_t got = 0;
    try {
      iface_.Transact(t);
    } catch (const parley::AutomationError& e) {
      got = e.Number();
    }
    cancel_ = false;
    Reopen(good_);
    if (got != 0) return true;
    std::fprintf(stderr, "soak %s: a fault transaction succeeded\n", link_);
    return false;
  }

  const char* link_;
  bool tcp_;
  std::string good_, silent_;
  parley::KORInterface iface_;
  std::shared_ptr<parley::KORProgress> progress_;
  bool cancel_ = false;
  bool grew_ = false;
};

}  // namespace

int main(int argc, char** argv) {
  int count = argc > 1 ? std::atoi(argv[1]) : 100000;
  if (count < 1) {
    std::fprintf(stderr, "usage: soak [transactions per link]\n");
    return 2;
  }
  parley::UseConnectionManager([] { return parley::MakeInProcessConnectionManager(); });
  std::string sim = bench::Beside("PARLEY_SIM", "parley-sim");
  try {
    // Answers "A<n>" to "Q<n>?", n cycling through 0..99: an answer taken for the wrong
    // command shows at once.
    std::vector<std::string> answering = {"--tcp-port", "0"};
    for (int n = 0; n < kCommands; ++n) {
      answering.push_back("--answer");
      answering.push_back("Q" + std::to_string(n) + "?=A" + std::to_string(n));
    }
    parley::sim::SimProcess good(sim, answering);
    parley::sim::SimProcess silent(sim, {"--tcp-port", "0", "--silent"});
    std::string good_tcp = good.ReadLine(std::chrono::seconds(5));
    std::string silent_tcp = silent.ReadLine(std::chrono::seconds(5));
    Report("all", 0, Measure());
    bool ok = Soak("pty", false, good.first_line(), silent.first_line()).Run(count);
    ok = Soak("tcp", true, good_tcp, silent_tcp).Run(count) && ok;
    Report("all", 2 * count, Measure());
    return ok ? 0 : 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "soak: %s\n", e.what());
    return 1;
  }
}
