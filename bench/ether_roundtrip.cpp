// ether_roundtrip: mode-5 transactions over loopback TCP against a minimal greet-echo-and-
// answer peer, beside a raw blocking-socket client doing the same exchange in the same run.
//
// Prints the median and 90th percentile round trip and the CPU time per transaction of each
// client with their ratios, then the CPU the library uses while it waits 5 s for a slow answer.
// CPU is the client thread's own (the peers run on other threads). The two clients take turns
// in blocks against the same peer, so that a busy machine weighs on both.
//
// usage: ether_roundtrip [transactions]   (default 1000)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
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

void NoDelay(int fd) {
  int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

bool SendAll(int fd, const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// The remote unit's TCP service at its simplest: greet, then echo each CR LF command and
// answer at once ("SLOW?" after 5 s, holding up the peer meanwhile). One thread serves every
// connection, so both clients meet the same peer.
class Peer {
 public:
  Peer() {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(listener_, reinterpret_cast<sockaddr*>(&a), len) != 0 || listen(listener_, 4) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
      std::perror("listen");
      std::exit(1);
    }
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { Run(); });
  }
  ~Peer() {
    stop_ = true;
    thread_.join();
    for (auto& c : clients_) close(c.fd);
    close(listener_);
  }
  int port() const { return port_; }

 private:
  struct Client {
    int fd;
    std::string pending;
  };

  void Run() {
    while (!stop_) {
      std::vector<pollfd> fds{{listener_, POLLIN, 0}};
      for (auto& c : clients_) fds.push_back({c.fd, POLLIN, 0});
      if (poll(fds.data(), fds.size(), 50) <= 0) continue;
      if (fds[0].revents & POLLIN) Accept();
      for (std::size_t i = 1; i < fds.size(); ++i) {
        if (fds[i].revents != 0 && !Serve(clients_[i - 1])) {
          close(clients_[i - 1].fd);
          clients_[i - 1].fd = -1;
        }
      }
      std::erase_if(clients_, [](const Client& c) { return c.fd < 0; });
    }
  }
  void Accept() {
    int fd = accept(listener_, nullptr, nullptr);
    if (fd < 0) return;
    NoDelay(fd);
    if (SendAll(fd, "\r\n> ")) {
      clients_.push_back({fd, ""});
    } else {
      close(fd);
    }
  }
  bool Serve(Client& c) {
    char buffer[4096];
    ssize_t n = recv(c.fd, buffer, sizeof buffer, 0);
    if (n <= 0) return false;
    c.pending.append(buffer, static_cast<std::size_t>(n));
    std::size_t end;
    while ((end = c.pending.find("\r\n")) != std::string::npos) {
      std::string cmd = c.pending.substr(0, end);
      c.pending.erase(0, end + 2);
      if (!Reply(c.fd, cmd)) return false;
    }
    return true;
  }
  bool Reply(int fd, const std::string& cmd) {
    std::string echo = cmd + "\r\n";
    if (cmd != "SLOW?") return SendAll(fd, echo + "1.2345\r\n>");
    if (!SendAll(fd, echo)) return false;
    for (int i = 0; i < 100 && !stop_; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return SendAll(fd, "slow answer\r\n>");
  }

  int listener_ = -1;
  int port_ = 0;
  std::vector<Client> clients_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Reads until `term` appears at or after `from`.
std::string ReceiveUntil(int fd, const std::string& term, std::size_t from) {
  std::string got;
  char buffer[4096];
  while (got.find(term, from) == std::string::npos) {
    ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) std::exit(1);
    got.append(buffer, static_cast<std::size_t>(n));
  }
  return got;
}

int RawConnect(int port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    std::perror("connect");
    std::exit(1);
  }
  NoDelay(fd);
  ReceiveUntil(fd, "> ", 0);  // the greeting
  return fd;
}

// The raw client: send, then block in recv until the terminator after the echo.
void RawBlock(int fd, int count, Result& r) {
  double cpu = ThreadCpuSeconds();
  const std::string cmd = "MEAS?\r\n";
  for (int i = 0; i < count; ++i) {
    auto start = Clock::now();
    if (!SendAll(fd, cmd)) std::exit(1);
    ReceiveUntil(fd, "\r\n>", cmd.size());
    r.micros.push_back(bench::MicrosSince(start));
  }
  r.cpu_seconds += ThreadCpuSeconds() - cpu;
}

void Point(parley::KORInterface& iface, int port) {
  iface.commMode(parley::korCommModeEther);
  iface.RemoteHostIpAddress("127.0.0.1");
  iface.RemotePortNumber(std::to_string(port));
  iface.openPort();
}

}  // namespace

int main(int argc, char** argv) {
  int count = argc > 1 ? std::atoi(argv[1]) : 1000;
  if (count < 1) count = 1000;
  Peer peer;
  std::printf("ether_roundtrip: %d transactions each, raw and parley, with 127.0.0.1:%d\n", count,
              peer.port());
  int raw_fd = RawConnect(peer.port());
  parley::KORInterface lib_iface;
  Point(lib_iface, peer.port());
  bench::CompareWithRaw(count, lib_iface, [&](int n, Result& r) { RawBlock(raw_fd, n, r); });
  close(raw_fd);
  bench::ReportSlowAnswer(lib_iface);
  lib_iface.closePort();
  return 0;
}
