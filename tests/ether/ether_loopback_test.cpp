// The Ethernet link over loopback TCP against a minimal peer of the test's own.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "host/asio_host.hpp"
#include "host/tcp_client.hpp"
#include "parley/interface.hpp"
#include "parley/loop.hpp"
#include "parley/serial.hpp"
#include "support/virtual_fixture.hpp"

namespace parley {
namespace {

// Greets, then answers every CR LF-ended command with its echo and "A:<command>\r\n> ",
// sent in two writes so the answer arrives split. A hostile peer sends `late` right after
// each answer, or closes the connection after its first answer. A slow one answers after
// `answer_delay`; one with `reset_after` resets the connection (RST) that long after its
// first answer.
struct PeerHabits {
  std::string late;
  bool close_after_first = false;
  std::chrono::milliseconds answer_delay{0};
  std::chrono::milliseconds reset_after{0};
};

class LoopbackPeer {
 public:
  explicit LoopbackPeer(PeerHabits habits = {}) : habits_(std::move(habits)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(listener_, 1);
    socklen_t len = sizeof a;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  ~LoopbackPeer() {
    Finish();
    ::close(listener_);
  }
  // What the client sent, once it has closed the connection.
  const std::string& Wire() {
    Finish();
    return wire_;
  }
  int port = 0;

 private:
  void Finish() {
    if (!thread_.joinable()) return;
    ::shutdown(listener_, SHUT_RDWR);
    thread_.join();
  }
  void Serve() {
    int fd = ::accept(listener_, nullptr, nullptr);
    if (fd < 0) return;
    ::send(fd, "\r\n> ", 4, 0);
    std::string pending;
    char buf[4096];
    for (;;) {
      ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      if (n <= 0) break;
      wire_.append(buf, n);
      pending.append(buf, n);
      for (auto end = pending.find("\r\n"); end != std::string::npos; end = pending.find("\r\n")) {
        std::string command = pending.substr(0, end);
        pending.erase(0, end + 2);
        std::string first = command + "\r\nA:" + command.substr(0, 1);
        std::string rest = command.substr(command.empty() ? 0 : 1) + "\r\n> ";
        std::this_thread::sleep_for(habits_.answer_delay);
        ::send(fd, first.data(), first.size(), 0);
        ::send(fd, rest.data(), rest.size(), 0);
        if (!habits_.late.empty()) ::send(fd, habits_.late.data(), habits_.late.size(), 0);
      }
      if (habits_.close_after_first && !wire_.empty()) break;
      if (habits_.reset_after.count() > 0 && !wire_.empty()) return Reset(fd);
    }
    ::close(fd);
  }
  void Reset(int fd) {
    std::this_thread::sleep_for(habits_.reset_after);
    linger abort{1, 0};  // closing with a zero linger sends RST instead of FIN
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    ::close(fd);
  }
  PeerHabits habits_;
  int listener_ = -1;
  std::string wire_;
  std::thread thread_;
};

TEST(EtherLoopbackTest, TextAndByteTransactionsOverARealSocket) {
  detail::ScopedHost scoped(detail::MakeRealHost());
  LoopbackPeer peer;
  {
    KORInterface iface;
    iface.commMode(korCommModeEther);
    iface.RemoteHostIpAddress("localhost");  // a name, resolved
    iface.RemotePortNumber(std::to_string(peer.port));
    iface.openPort();
    KORTransaction t;
    t.cmd("MEAS?");
    iface.Transact(t);
    EXPECT_EQ(t.resp(), "A:MEAS?");
    iface.Transact(t);
    EXPECT_EQ(iface.ReceivedStringBuffer(), "A:MEAS?");
    KORTransaction b;
    b.IsCmdTypeString(false);
    b.ByteCmd({'X', 0xFF});
    iface.Transact(b);
    // No echo is skipped in byte mode; the buffer's last 3 bytes are cut, not the match.
    EXPECT_EQ(b.ByteArrRespStrVal(), std::string("X\xFF\r\nA:X\xFF\r", 9));
    iface.closePort();
  }
  // Text commands with their CR LF, the byte command with CR LF appended.
  EXPECT_EQ(peer.Wire(), std::string("MEAS?\r\nMEAS?\r\nX\xFF\r\n", 18));
}

TEST(EtherLoopbackTest, ConnectsAndAnswersFromInsideATimerHandler) {
  detail::ScopedHost scoped(detail::MakeRealHost());
  LoopbackPeer peer;
  std::string resp;
  bool done = false;
  {
    KORInterface iface;
    iface.commMode(korCommModeEther);
    iface.RemoteHostIpAddress("127.0.0.1");
    iface.RemotePortNumber(std::to_string(peer.port));
    iface.openPort();
    // The connect and the answer are posted while this handler runs; the nested waits of
    // Transact must see them.
    EventLoop::ScheduleAfter(std::chrono::milliseconds(1), [&] {
      KORTransaction t;
      t.cmd("PING");
      t.RespTimeout(korShort);
      iface.Transact(t);
      resp = t.resp();
      done = true;
    });
    for (int i = 0; i < 100 && !done; ++i) EventLoop::RunFor(std::chrono::milliseconds(50));
    iface.closePort();
  }
  EXPECT_TRUE(done);
  EXPECT_EQ(resp, "A:PING");
}

void OpenOn(KORInterface& iface, const LoopbackPeer& peer) {
  iface.commMode(korCommModeEther);
  iface.RemoteHostIpAddress("127.0.0.1");
  iface.RemotePortNumber(std::to_string(peer.port));
  iface.openPort();
}

// What arrives between two calls waits in the system's buffer, read by nobody, until the next
// call drops it before sending; the end of the connection found there is the next call's error.
TEST(EtherLoopbackTest, WhatArrivesBetweenCallsIsDroppedAndAClosedPeerFailsTheNextCall) {
  detail::ScopedHost scoped(detail::MakeRealHost());
  {
    LoopbackPeer peer({.late = "LATE\r\n> "});
    KORInterface iface;
    iface.VerifyEcho(false);  // the echo is skipped by its length: a stale line would shift it
    OpenOn(iface, peer);
    for (const char* cmd : {"ONE", "TWO", "THREE"}) {
      KORTransaction t;
      t.cmd(cmd);
      iface.Transact(t);
      EXPECT_EQ(t.resp(), std::string("A:") + cmd);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the late line is in
    }
  }
  LoopbackPeer peer({.late = "", .close_after_first = true});
  KORInterface iface;
  OpenOn(iface, peer);
  KORTransaction t;
  t.cmd("ONE");
  iface.Transact(t);
  EXPECT_EQ(t.resp(), "A:ONE");
  std::this_thread::sleep_for(std::chrono::milliseconds(20));  // the close is in
  t.RespTimeout(korShort);
  PARLEY_EXPECT_ERROR(iface.Transact(t), err::InvalidSocketState);
}

// The same for the socket facility: a data handler that waits on the loop itself takes the
// readiness of what arrives meanwhile, and those bytes are read as soon as it returns.
TEST(EtherLoopbackTest, BytesArrivingWhileTheDataHandlerWaitsAreStillRead) {
  detail::ScopedHost scoped(detail::MakeRealHost());
  auto& host = detail::CurrentHost();
  int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ::listen(listener, 1);
  socklen_t len = sizeof a;
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
  auto tcp = host.CreateTcpClient();
  tcp->RemoteHost("127.0.0.1");
  tcp->RemotePort(ntohs(a.sin_port));
  tcp->Connect();
  for (int i = 0; i < 100 && tcp->State() != detail::kTcpConnected; ++i) {
    host.WaitForEvent(detail::Micros(10'000));
  }
  int peer = ::accept(listener, nullptr, nullptr);  // the connection waits in the backlog
  host.Yield();  // the first read, of nothing: from now on the passes read
  bool nested = false;
  tcp->OnReadable = [&] {
    if (nested) return;
    nested = true;
    ::send(peer, "B", 1, 0);
    host.WaitForEvent(detail::Micros(200'000));
  };
  ::send(peer, "A", 1, 0);
  for (int i = 0; i < 100 && !nested; ++i) host.WaitForEvent(detail::Micros(10'000));
  EXPECT_EQ(tcp->TakeReceived(), "AB");  // read within the pass that ran the handler
  tcp.reset();
  ::close(peer);
  ::close(listener);
}

constexpr int kThreadTurns = 100;

// One thread's share: its own loop, peer and interface; counts the answers that are its own.
void TransactOnItsOwn(int id, int& right) {
  detail::ScopedHost scoped(detail::MakeRealHost());
  LoopbackPeer peer;
  KORInterface iface;
  iface.commMode(korCommModeEther);
  iface.RemoteHostIpAddress("127.0.0.1");
  iface.RemotePortNumber(std::to_string(peer.port));
  iface.openPort();
  for (int k = 0; k < kThreadTurns; ++k) {
    KORTransaction t;
    t.cmd("T" + std::to_string(id) + "-" + std::to_string(k));
    iface.Transact(t);
    right += t.resp() == "A:" + t.cmd();
  }
  iface.closePort();
}

// Two threads, each with its own interface, loop and connection, transact at once while a third
// changes the process-wide serial port map: every answer is its own thread's, and (under the
// thread sanitizer) no state is shared unguarded.
TEST(EtherLoopbackTest, ThreadsWithTheirOwnInterfacesRunAtOnce) {
  std::atomic<bool> running{true};
  std::thread mapper([&] {
    for (int n = 0; running; n = (n + 1) % 16) {
      MapSerialPort(40 + n, "/dev/ttyUSB" + std::to_string(n));
      (void)SerialDevicePath(40 + (n + 8) % 16);
      std::this_thread::yield();  // valgrind runs one thread at a time: a spinning mapper starves
    }
  });
  std::vector<int> right(2, 0);
  auto a = testing::ThreadFailingOnError([&] { TransactOnItsOwn(0, right[0]); });
  auto b = testing::ThreadFailingOnError([&] { TransactOnItsOwn(1, right[1]); });
  a.join();
  b.join();
  running = false;
  mapper.join();
  EXPECT_EQ(right, std::vector<int>(2, kThreadTurns));
}

// A's peer resets A's idle connection while B's query waits for its slow peer: A hears of it
// then (portReset, port closed), and an exception of A's handler is kept for A's next call
// instead of ending B's query.
TEST(EtherLoopbackTest, IdleResetOfOneInterfaceIsItsOwnWhileAnothersQueryWaits) {
  detail::ScopedHost scoped(detail::MakeRealHost());
  for (bool throwing : {false, true}) {
    SCOPED_TRACE(throwing ? "throwing handler" : "quiet handler");
    PeerHabits resets_soon;
    resets_soon.reset_after = std::chrono::milliseconds(200);
    PeerHabits slow;
    slow.answer_delay = std::chrono::milliseconds(600);
    LoopbackPeer peer_a(resets_soon);
    LoopbackPeer peer_b(slow);
    KORInterface a, b;
    OpenOn(a, peer_a);
    OpenOn(b, peer_b);
    int resets = 0;
    auto handler = a.portReset.connect([&] {
      ++resets;
      if (throwing) throw std::logic_error("A's handler");
    });
    KORTransaction ta;
    ta.cmd("ONE");
    a.Transact(ta);
    KORTransaction tb;
    tb.cmd("TWO");
    EXPECT_NO_THROW(b.Transact(tb));
    EXPECT_EQ(tb.resp(), "A:TWO");
    EXPECT_EQ(resets, 1);
    EXPECT_FALSE(a.IsPortOpen());
    if (throwing) {
      EXPECT_THROW(a.openPort(), std::logic_error);
    }
    b.closePort();
  }
}

}  // namespace
}  // namespace parley
