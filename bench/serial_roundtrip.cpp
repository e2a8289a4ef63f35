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
#include "roundtrip_common.hpp"

namespace {

using bench::Clock;
using bench::Result;
using bench::ThreadCpuSeconds;

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
    r.micros.push_back(bench::MicrosSince(start));
  }
  r.cpu_seconds += ThreadCpuSeconds() - cpu;
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
  bench::CompareWithRaw(count, lib_iface, [&](int n, Result& r) { RawBlock(raw_fd, n, r); });
  close(raw_fd);
  bench::ReportSlowAnswer(lib_iface);  // on the port already open, so only the wait counts
  lib_iface.closePort();
  parley::MapSerialPort(1, "");
  return 0;
}
