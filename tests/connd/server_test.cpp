// The built parley-connd as a process, spoken to in raw frames: what a careless or hostile
// client can do to it (silence, garbage, too many connections, descriptors running out) and a
// socket file removed under it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "arbiter/manager_protocol.hpp"

namespace parley::detail::manager {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

int Connect(const std::string& path) {
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

void SendBytes(int fd, const std::string& bytes) {
  ASSERT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL),
            static_cast<ssize_t>(bytes.size()));
}

// One client's end of the socket: the messages as they come, and whether the service closed.
struct Peer {
  int fd = -1;
  Decoder decoder;
  bool closed = false;

  explicit Peer(int f) : fd(f) {}
  ~Peer() {
    if (fd >= 0) ::close(fd);
  }
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;

  void Send(const Message& m) { SendBytes(fd, Encode(m)); }

  // The next message, or nothing when none came within `within` or the service closed.
  std::optional<Message> Next(milliseconds within = milliseconds(3000)) {
    auto until = Clock::now() + within;
    for (;;) {
      if (auto m = decoder.Next()) return m;
      auto left = std::chrono::duration_cast<milliseconds>(until - Clock::now()).count();
      pollfd p{fd, POLLIN, 0};
      if (closed || left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) return std::nullopt;
      char buffer[4096];
      ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
      if (n <= 0) {
        closed = true;
        return std::nullopt;
      }
      decoder.Feed(buffer, static_cast<std::size_t>(n));
    }
  }
  // The next message of `kind`, skipping others.
  std::optional<Message> Next(Kind kind, milliseconds within = milliseconds(3000)) {
    while (auto m = Next(within)) {
      if (m->kind == kind) return m;
    }
    return std::nullopt;
  }
  // Whether the service ends the connection within `within` (after whatever it still sends).
  bool ClosedWithin(milliseconds within) {
    auto until = Clock::now() + within;
    while (!closed && Clock::now() < until) {
      Next(std::chrono::duration_cast<milliseconds>(until - Clock::now()));
    }
    return closed;
  }
};

class ManagerServiceProcess : public ::testing::Test {
 protected:
  void TearDown() override {
    Stop();
    std::error_code ec;
    if (!base_.empty()) std::filesystem::remove_all(base_, ec);
  }

  // Starts the service in a private runtime folder; `max_files` lowers its descriptor limit.
  void Start(const char* idle_seconds = "30", rlim_t max_files = 0) {
    char name[] = "/tmp/parley-connd-server-XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    base_ = name;
    ASSERT_EQ(chmod(name, 0700), 0);
    socket_ = SocketPath(base_ + "/parley");
    pid_ = fork();
    ASSERT_GE(pid_, 0);
    if (pid_ == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);  // a killed test run leaves no service behind
      setenv("XDG_RUNTIME_DIR", name, 1);
      setenv("PARLEY_CONND_IDLE", idle_seconds, 1);
      if (max_files) {
        rlimit limit{max_files, max_files};
        setrlimit(RLIMIT_NOFILE, &limit);
      }
      execl(PARLEY_CONND_PATH, PARLEY_CONND_PATH, static_cast<char*>(nullptr));
      _exit(127);
    }
    auto until = Clock::now() + milliseconds(5000);
    for (;;) {
      int fd = Connect(socket_);
      if (fd >= 0) {
        ::close(fd);
        break;
      }
      ASSERT_LT(Clock::now(), until) << "the service did not listen on " << socket_;
      std::this_thread::sleep_for(milliseconds(10));
    }
  }

  void Stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    EXPECT_TRUE(Exited(milliseconds(5000)));
  }

  // Whether the service ended within `within`.
  bool Exited(milliseconds within) {
    auto until = Clock::now() + within;
    while (Clock::now() < until) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return true;
      }
      std::this_thread::sleep_for(milliseconds(10));
    }
    return false;
  }

  std::unique_ptr<Peer> Raw() {
    int fd = Connect(socket_);
    EXPECT_GE(fd, 0) << socket_ << ": " << std::strerror(errno);
    return std::make_unique<Peer>(fd);
  }

  // A client that said Hello and was welcomed.
  std::unique_ptr<Peer> Client(const std::string& name = "test") {
    auto peer = Raw();
    peer->Send(Message{Kind::Hello, 0, 0, name});
    auto m = peer->Next();
    EXPECT_TRUE(m && m->kind == Kind::Welcome) << (m ? m->text : "no answer");
    return peer;
  }

  // Whether the service still answers a new client's listing request.
  bool Serves() {
    auto peer = Client();
    peer->Send(Message{Kind::Status, 0, 0, {}});
    return peer->Next(Kind::StatusText).has_value();
  }

  // User and system CPU time of the service so far, in clock ticks.
  long CpuTicks() const {
    std::ifstream in("/proc/" + std::to_string(pid_) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string skip;
    for (int i = 3; i < 14; ++i) fields >> skip;
    long user = 0, system = 0;
    fields >> user >> system;
    return user + system;
  }

  std::string base_;
  std::string socket_;
  pid_t pid_ = -1;
};

TEST_F(ManagerServiceProcess, AConnectionThatNeverGreetsIsRefusedAndKeepsNothingAlive) {
  Start();
  auto silent = Raw();
  auto half = Raw();
  std::string hello = Encode(Message{Kind::Hello, 0, 0, "half"});
  SendBytes(half->fd, hello.substr(0, 5));  // a frame that never ends
  for (Peer* p : {silent.get(), half.get()}) {
    auto m = p->Next(milliseconds(4000));
    ASSERT_TRUE(m);
    EXPECT_EQ(m->kind, Kind::Refused);
    EXPECT_EQ(m->text, "no greeting within 2 s");
    EXPECT_TRUE(p->ClosedWithin(milliseconds(1000)));
  }
}

TEST_F(ManagerServiceProcess, TheServiceEndsWhenIdleThoughSilentConnectionsRemain) {
  Start("0.3");
  auto silent = Raw();
  EXPECT_TRUE(Exited(milliseconds(1500)));  // well before the silent one would be refused
}

TEST_F(ManagerServiceProcess, GarbageOrHugeFramesEndThatConnectionOnly) {
  Start();
  auto bystander = Client("bystander");
  std::string other_version = Encode(Message{Kind::Status, 0, 0, {}});
  other_version[4] = static_cast<char>(kVersion + 1);
  struct Case {
    const char* what;
    bool greet;
    std::string bytes;
    std::string refusal;
  };
  for (const Case& c : {
           Case{"text before greeting", false, "GET / HTTP/1.0\r\n\r\n", "malformed message"},
           Case{"not a greeting", false, Encode(Message{Kind::Status, 0, 0, {}}),
                "the first message must be Hello"},
           Case{"a huge frame", true, std::string("\xff\xff\xff\x7f", 4), "over the limit"},
           Case{"another version", true, other_version, "version"},
           Case{"a path over the bound", true,
                Encode(Message{Kind::Open, 1, 0, std::string(kMaxDevicePath + 1, 'p')}),
                "device path longer than"},
       }) {
    SCOPED_TRACE(c.what);
    auto peer = c.greet ? Client() : Raw();
    SendBytes(peer->fd, c.bytes);
    auto m = peer->Next(Kind::Refused);
    ASSERT_TRUE(m);
    EXPECT_NE(m->text.find(c.refusal), std::string::npos) << m->text;
    EXPECT_TRUE(peer->ClosedWithin(milliseconds(1000)));
  }
  bystander->Send(Message{Kind::Status, 0, 0, {}});
  EXPECT_TRUE(bystander->Next(Kind::StatusText));
}

TEST_F(ManagerServiceProcess, BeyondTheClientBoundANewClientIsRefusedUntilOneLeaves) {
  Start();
  std::vector<std::unique_ptr<Peer>> clients;
  for (int i = 0; i < 256; ++i) clients.push_back(Client());
  auto extra = Raw();
  extra->Send(Message{Kind::Hello, 0, 0, "extra"});
  auto m = extra->Next();
  ASSERT_TRUE(m);
  EXPECT_EQ(m->kind, Kind::Refused);
  EXPECT_EQ(m->text, "too many clients");
  EXPECT_TRUE(extra->ClosedWithin(milliseconds(1000)));
  clients.pop_back();
  auto until = Clock::now() + milliseconds(2000);  // the departure is noticed asynchronously
  std::optional<Message> welcome;
  while (!welcome && Clock::now() < until) {
    auto again = Raw();
    again->Send(Message{Kind::Hello, 0, 0, "again"});
    auto answer = again->Next();
    if (answer && answer->kind == Kind::Welcome) welcome = answer;
  }
  EXPECT_TRUE(welcome);
}

TEST_F(ManagerServiceProcess, OutOfDescriptorsItWaitsBeforeAcceptingAgainInsteadOfSpinning) {
  Start("30", 24);
  std::vector<std::unique_ptr<Peer>> flood;
  for (int i = 0; i < 40; ++i) flood.push_back(Raw());  // more than it can take
  std::this_thread::sleep_for(milliseconds(300));
  long before = CpuTicks();
  std::this_thread::sleep_for(milliseconds(1000));
  long spent = CpuTicks() - before;
  EXPECT_LT(spent, sysconf(_SC_CLK_TCK) / 5) << "ticks in one second";  // under 20 % of a core
  flood.clear();
  auto until = Clock::now() + milliseconds(3000);
  bool served = false;
  while (!served && Clock::now() < until) served = Serves();
  EXPECT_TRUE(served);
}

TEST_F(ManagerServiceProcess, ARemovedSocketFileIsBoundAgainAndOldClientsKeepTheirConnection) {
  Start();
  auto old = Client("old");
  ASSERT_EQ(::unlink(socket_.c_str()), 0);
  auto until = Clock::now() + milliseconds(4000);
  struct stat st {};
  while (::stat(socket_.c_str(), &st) != 0 && Clock::now() < until) {
    std::this_thread::sleep_for(milliseconds(20));
  }
  ASSERT_EQ(::stat(socket_.c_str(), &st), 0) << "not bound again";
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_TRUE(Serves());
  old->Send(Message{Kind::Status, 0, 0, {}});
  auto listing = old->Next(Kind::StatusText);
  ASSERT_TRUE(listing);
}

TEST_F(ManagerServiceProcess, ALockEndsWhenTheConnectionThatTookItCloses) {
  Start();
  auto user = Client("user");
  {
    auto locker = Client("locker");
    locker->Send(Message{Kind::Lock, 0, 1, "/dev/pts/77"});
    auto done = locker->Next(Kind::LockResult);
    ASSERT_TRUE(done);
    EXPECT_EQ(done->flag, 1);
    user->Send(Message{Kind::Open, 1, 0, "/dev/pts/77"});
    auto opened = user->Next(Kind::Opened);
    ASSERT_TRUE(opened);
    // Same pid as the locker (both are this test): not locked out.
    EXPECT_EQ(opened->flag, 0);
  }
  // Closing the locker's socket (as its end, even by SIGKILL, does) ends the lock.
  auto state = user->Next(Kind::LockState);
  ASSERT_TRUE(state);
  EXPECT_EQ(state->flag, 0);
  user->Send(Message{Kind::Status, 0, 0, {}});
  auto listing = user->Next(Kind::StatusText);
  ASSERT_TRUE(listing);
  EXPECT_NE(listing->text.find("lock=-"), std::string::npos) << listing->text;
}

}  // namespace
}  // namespace parley::detail::manager
