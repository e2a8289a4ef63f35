// serial_roundtrip: mode-2 transactions over a pseudo-terminal against a minimal echo-and-
// answer peer, beside a raw termios client doing the same exchange in the same run.
//
// Prints the median and 90th percentile round trip and the CPU time per transaction of each
// client with their ratios, then the CPU the library uses while it waits 5 s for a slow answer.
// CPU is the client thread's own (the peers run on other threads). The two clients take turns
// in blocks, each on its own pseudo-terminal and peer, so that a busy machine weighs on both.
//
// usage: serial_roundtrip [transactions]   (default 300)
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "parley/parley.hpp"

namespace {

using Clock = std::chrono::steady_clock;

double ThreadCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

void MakeRaw(int fd) {
  termios tio{};
  tcgetattr(fd, &tio);
  cfmakeraw(&tio);
  tcsetattr(fd, TCSANOW, &tio);
}

// The remote unit at its simplest: echo each CR LF command, answer at once ("SLOW?" after 5 s).
class Peer {
 public:
  Peer() {
    char name[128];
    int slave = -1;
    if (openpty(&master_, &slave, name, nullptr, nullptr) != 0) {
      std::perror("openpty");
      std::exit(1);
    }
    MakeRaw(slave);
    keepalive_ = slave;  // keeps the master readable between clients
    path_ = name;
    thread_ = std::thread([this] { Run(); });
  }
  ~Peer() {
    stop_ = true;
    thread_.join();
    close(keepalive_);
    close(master_);
  }
  const std::string& path() const { return path_; }

 private:
  void Run() {
    std::string pending;
    char buffer[4096];
    while (!stop_) {
      pollfd p{master_, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      ssize_t n = read(master_, buffer, sizeof buffer);
      if (n <= 0) continue;
      pending.append(buffer, static_cast<std::size_t>(n));
      std::size_t end;
      while ((end = pending.find("\r\n")) != std::string::npos) {
        std::string cmd = pending.substr(0, end);
        pending.erase(0, end + 2);
        Reply(cmd);
      }
    }
  }
  void Reply(const std::string& cmd) {
    std::string echo = cmd + "\r\n";
    if (cmd == "SLOW?") {
      WriteAll(echo);
      for (int i = 0; i < 100 && !stop_; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      WriteAll("slow answer\r\n>");
      return;
    }
    WriteAll(echo + "1.2345\r\n>");
  }
  void WriteAll(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
      if (n > 0) done += static_cast<std::size_t>(n);
    }
  }

  int master_ = -1;
  int keepalive_ = -1;
  std::string path_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

struct Result {
  std::vector<double> micros;
  double cpu_seconds = 0;
};

// The raw client: write, then poll and read until the terminator after the echo.
void RawBlock(int fd, int count, Result& r) {
  double cpu = ThreadCpuSeconds();
  const std::string cmd = "MEAS?\r\n";
  char buffer[4096];
  for (int i = 0; i < count; ++i) {
    auto start = Clock::now();
    if (write(fd, cmd.data(), cmd.size()) != static_cast<ssize_t>(cmd.size())) std::exit(1);
    std::string got;
    while (got.find("\r\n>", cmd.size()) == std::string::npos) {
      pollfd p{fd, POLLIN, 0};
      poll(&p, 1, 1000);
      ssize_t n = read(fd, buffer, sizeof buffer);
      if (n > 0) got.append(buffer, static_cast<std::size_t>(n));
    }
    r.micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  r.cpu_seconds += ThreadCpuSeconds() - cpu;
}

void LibraryBlock(parley::KORInterface& iface, int count, Result& r) {
  parley::KORTransaction t;
  t.cmd("MEAS?");
  t.RespTimeout(parley::korShort);
  double cpu = ThreadCpuSeconds();
  for (int i = 0; i < count; ++i) {
    auto start = Clock::now();
    iface.Transact(t);
    r.micros.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    if (t.resp() != "1.2345") {
      std::fprintf(stderr, "wrong response \"%s\"\n", t.resp().c_str());
      std::exit(1);
    }
  }
  r.cpu_seconds += ThreadCpuSeconds() - cpu;
}

double Percentile(std::vector<double> v, double q) {
  std::sort(v.begin(), v.end());
  std::size_t i = static_cast<std::size_t>(q * static_cast<double>(v.size() - 1) + 0.5);
  return v[i];
}

void Report(const char* name, const Result& r) {
  std::printf("%-8s median %8.1f us   p90 %8.1f us   cpu %8.1f us/transaction\n", name,
              Percentile(r.micros, 0.5), Percentile(r.micros, 0.9),
              r.cpu_seconds * 1e6 / static_cast<double>(r.micros.size()));
}

}  // namespace

int main(int argc, char** argv) {
  int count = argc > 1 ? std::atoi(argv[1]) : 300;
  if (count < 1) count = 300;
  Peer raw_peer;
  Peer peer;
  parley::MapSerialPort(1, peer.path());
  std::printf("serial_roundtrip: %d transactions each over %s (raw) and %s (parley)\n", count,
              raw_peer.path().c_str(), peer.path().c_str());
  int raw_fd = ::open(raw_peer.path().c_str(), O_RDWR | O_NOCTTY);
  MakeRaw(raw_fd);
  parley::KORInterface lib_iface;
  lib_iface.openPort();
  Result raw;
  Result lib;
  LibraryBlock(lib_iface, 1, lib);  // opens the port: not measured
  lib = Result();
  constexpr int kBlocks = 10;
  for (int b = 0; b < kBlocks; ++b) {
    int n = count / kBlocks + (b < count % kBlocks ? 1 : 0);
    RawBlock(raw_fd, n, raw);
    LibraryBlock(lib_iface, n, lib);
  }
  close(raw_fd);
  lib_iface.closePort();
  Report("raw", raw);
  Report("parley", lib);
  std::printf("ratio parley/raw: median %.2f, p90 %.2f, cpu %.2f\n",
              Percentile(lib.micros, 0.5) / Percentile(raw.micros, 0.5),
              Percentile(lib.micros, 0.9) / Percentile(raw.micros, 0.9),
              lib.cpu_seconds / raw.cpu_seconds);

  parley::KORInterface iface;
  iface.openPort();
  parley::KORTransaction slow;
  slow.cmd("SLOW?");
  slow.RespTimeout(parley::korShort);
  double cpu = ThreadCpuSeconds();
  auto start = Clock::now();
  iface.Transact(slow);
  double wall = std::chrono::duration<double>(Clock::now() - start).count();
  double used = ThreadCpuSeconds() - cpu;
  std::printf("waiting %.2f s for a slow answer: cpu %.4f s = %.3f%% of a core\n", wall, used,
              100.0 * used / wall);
  iface.closePort();
  parley::MapSerialPort(1, "");
  return 0;
}
