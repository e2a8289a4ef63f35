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

namespace {

using Clock = std::chrono::steady_clock;

double ThreadCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

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

struct Result {
  std::vector<double> micros;
  double cpu_seconds = 0;
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

void Point(parley::KORInterface& iface, int port) {
  iface.commMode(parley::korCommModeEther);
  iface.RemoteHostIpAddress("127.0.0.1");
  iface.RemotePortNumber(std::to_string(port));
  iface.openPort();
}

void MeasureSlowAnswer(int port) {
  parley::KORInterface iface;
  Point(iface, port);
  parley::KORTransaction slow;
  slow.cmd("SLOW?");
  slow.RespTimeout(parley::korShort);
  Result ignored;
  LibraryBlock(iface, 1, ignored);  // connects and greets: not measured
  double cpu = ThreadCpuSeconds();
  auto start = Clock::now();
  iface.Transact(slow);
  double wall = std::chrono::duration<double>(Clock::now() - start).count();
  double used = ThreadCpuSeconds() - cpu;
  std::printf("waiting %.2f s for a slow answer: cpu %.4f s = %.3f%% of a core\n", wall, used,
              100.0 * used / wall);
  iface.closePort();
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
  Result raw;
  Result lib;
  LibraryBlock(lib_iface, 1, lib);  // connects and greets: not measured
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
  MeasureSlowAnswer(peer.port());
  return 0;
}
