// large_answer: how the time to take a long answer grows with its size, on both links.
//
// A peer on a real pseudo-terminal (mode 2) and one on loopback TCP (mode 5) answer "BIG? K"
// with the echo, K KiB of text written 1 KiB at a time, and CR LF ">". The library's
// Transact takes the whole answer; the median over several runs of each size is printed as
// microseconds per KiB. Assembling the answer is linear in its size when the figure stays flat
// from 64 to 1024 KiB (at 1 KiB the fixed cost of one exchange, shown as the 0 KiB row,
// dominates). The kernel may merge the peer's 1 KiB writes into larger reads; that is what a
// client meets on a real link too.
//
// usage: large_answer
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "parley/parley.hpp"
#include "roundtrip_common.hpp"

namespace {

constexpr std::size_t kChunk = 1024;

bool WriteAll(int fd, const char* data, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    ssize_t n = ::write(fd, data + done, size - done);
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// Serves one descriptor until stopped: each CR LF command is echoed; "BIG? K" is answered
// with K KiB of 'x' in 1 KiB writes, then CR LF ">".
class Responder {
 public:
  Responder(int fd, const std::atomic<bool>& stop) : fd_(fd), stop_(stop) {}

  void Run() {
    std::string pending;
    char buffer[4096];
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0) continue;
      ssize_t n = ::read(fd_, buffer, sizeof buffer);
      if (n <= 0) return;
      pending.append(buffer, static_cast<std::size_t>(n));
      std::size_t end;
      while ((end = pending.find("\r\n")) != std::string::npos) {
        std::string cmd = pending.substr(0, end);
        pending.erase(0, end + 2);
        if (!Reply(cmd)) return;
      }
    }
  }

 private:
  bool Reply(const std::string& cmd) {
    std::string echo = cmd + "\r\n";
    if (!WriteAll(fd_, echo.data(), echo.size())) return false;
    long kib = cmd.rfind("BIG? ", 0) == 0 ? std::atol(cmd.c_str() + 5) : 0;
    const std::string chunk(kChunk, 'x');
    for (long i = 0; i < kib; ++i) {
      if (!WriteAll(fd_, chunk.data(), chunk.size())) return false;
    }
    return WriteAll(fd_, "\r\n>", 3);
  }

  int fd_;
  const std::atomic<bool>& stop_;
};

// The remote unit on a pseudo-terminal.
class PtyPeer {
 public:
  PtyPeer() {
    char name[128];
    if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
      std::perror("openpty");
      std::exit(1);
    }
    termios tio{};
    tcgetattr(slave_, &tio);
    cfmakeraw(&tio);
    tcsetattr(slave_, TCSANOW, &tio);
    path_ = name;
    thread_ = std::thread([this] { Responder(master_, stop_).Run(); });
  }
  ~PtyPeer() {
    stop_ = true;
    thread_.join();
    close(slave_);
    close(master_);
  }
  const std::string& path() const { return path_; }

 private:
  int master_ = -1;
  int slave_ = -1;  // kept open so the master stays usable between openings
  std::string path_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// The remote unit's TCP service: one connection, greeted with CR LF "> ".
class TcpPeer {
 public:
  TcpPeer() {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(listener_, reinterpret_cast<sockaddr*>(&a), len) != 0 || listen(listener_, 1) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
      std::perror("listen");
      std::exit(1);
    }
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { Run(); });
  }
  ~TcpPeer() {
    stop_ = true;
    thread_.join();
    if (client_ >= 0) close(client_);
    close(listener_);
  }
  int port() const { return port_; }

 private:
  void Run() {
    pollfd p{listener_, POLLIN, 0};
    while (!stop_ && poll(&p, 1, 50) <= 0) {
    }
    if (stop_) return;
    client_ = accept(listener_, nullptr, nullptr);
    // As a unit's service does: small writes leave at once instead of waiting for an ACK.
    int on = 1;
    if (client_ >= 0) setsockopt(client_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    if (client_ < 0 || !WriteAll(client_, "\r\n> ", 4)) return;
    Responder(client_, stop_).Run();
  }

  int listener_ = -1;
  int client_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Median microseconds of `runs` transactions "BIG? kib", each answer checked for its length.
double MedianMicros(parley::KORInterface& iface, long kib, int runs) {
  parley::KORTransaction t;
  t.cmd("BIG? " + std::to_string(kib));
  t.RespTimeout(parley::korShort);
  std::vector<double> micros;
  for (int i = 0; i < runs; ++i) {
    auto start = bench::Clock::now();
    iface.Transact(t);
    micros.push_back(bench::MicrosSince(start));
    if (t.resp().size() != static_cast<std::size_t>(kib) * kChunk) {
      std::fprintf(stderr, "answer of %zu bytes, expected %ld KiB\n", t.resp().size(), kib);
      std::exit(1);
    }
  }
  return bench::Percentile(micros, 0.5);
}

void Measure(const char* link, parley::KORInterface& iface) {
  struct Size {
    long kib;
    int runs;
  };
  constexpr Size kSizes[] = {{0, 200}, {1, 200}, {64, 40}, {1024, 10}};
  MedianMicros(iface, 1, 5);  // opens the port or connects, not measured
  for (const Size& s : kSizes) {
    double us = MedianMicros(iface, s.kib, s.runs);
    if (s.kib == 0) {
      std::printf("%-4s %5ld KiB  %10.1f us  (the fixed cost of one exchange)\n", link, s.kib, us);
    } else {
      std::printf("%-4s %5ld KiB  %10.1f us  %8.2f us/KiB\n", link, s.kib, us,
                  us / static_cast<double>(s.kib));
    }
  }
}

}  // namespace

int main() {
  std::printf("large_answer: median time of one answer of K KiB sent in 1 KiB writes\n");
  {
    PtyPeer peer;
    parley::UseConnectionManager([] { return parley::MakeInProcessConnectionManager(); });
    parley::MapSerialPort(1, peer.path());
    parley::KORInterface iface;
    iface.commMode(parley::korCommModeCRLFDirect);
    iface.CommPort(1);
    iface.BitRate(115200);
    iface.openPort();
    Measure("pty", iface);
    iface.closePort();
    parley::MapSerialPort(1, "");
  }
  {
    TcpPeer peer;
    parley::KORInterface iface;
    iface.commMode(parley::korCommModeEther);
    iface.RemoteHostIpAddress("127.0.0.1");
    iface.RemotePortNumber(std::to_string(peer.port()));
    iface.openPort();
    Measure("tcp", iface);
    iface.closePort();
  }
  return 0;
}
