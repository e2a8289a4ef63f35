// Programs sharing one pseudo-terminal through parley-connd, against parley-sim: each program
// is a real process (port_user), the service is started on demand by the first of them.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "arbiter/service_fixture.hpp"
#include "parley/parley.hpp"
#include "support/run_tool.hpp"

namespace parley {
namespace {

using std::chrono::seconds;

class SharedPortTest : public testing::ServiceTest {
 protected:
  // Every answer of `out` is the simulator's PONG; their number.
  static int Answers(const testing::ProgramOutput& out) {
    int n = 0;
    for (const auto& l : out.lines) {
      if (l.rfind("ok ", 0) == 0) {
        EXPECT_EQ(l, "ok PONG");
        ++n;
      }
    }
    return n;
  }
};

TEST_F(SharedPortTest, TwoProgramsTakeTurnsHandingThePortOverOnRequest) {
  StartSim();
  // Enough transactions that the port changes hands more than once however the two processes
  // are scheduled on a loaded machine.
  StartProgram({"8", "--pause", "400"});
  Collect("ok", seconds(10));  // the first holds the port when the second starts
  StartProgram({"8", "--pause", "400"});
  Collect("done", seconds(50));
  int requests = 0;
  int waits = 0;
  for (const auto& out : outputs) {
    EXPECT_EQ(Answers(out), 8);
    EXPECT_EQ(out.Count("err"), 0);
    requests += out.Count("stage Requesting port");
    waits += out.Count("stage Waiting for port");
  }
  // Taken by the first, requested by the second, asked back by the first: handed both ways.
  EXPECT_GE(requests, 3);
  EXPECT_GE(waits, 1);
}

// The service coordinates by the device opened: a program naming it by a link of its own and
// one naming it by a mapped port number take turns as two programs on one number do.
TEST_F(SharedPortTest, APathAndAMappedNumberOfOneDeviceTakeTurns) {
  StartSim();
  std::string link = Folder() + "-link";
  std::filesystem::create_symlink(sim->first_line(), link);
  StartProgram({"6", "--pause", "400"});
  Collect("ok", seconds(10));
  programs.push_back(std::make_unique<sim::SimProcess>(
      PARLEY_PORT_USER_PATH,
      std::vector<std::string>{link, "6", "--pause", "400", "--by-path", "1"}));
  outputs.emplace_back();
  Collect("done", seconds(50));
  int waits = 0;
  for (const auto& out : outputs) {
    EXPECT_EQ(Answers(out), 6);
    EXPECT_EQ(out.Count("err"), 0);
    waits += out.Count("stage Waiting for port");
  }
  EXPECT_GE(waits, 1);
  std::filesystem::remove(link);
}

TEST_F(SharedPortTest, ThreeProgramsAllProgress) {
  StartSim();
  for (int i = 0; i < 3; ++i) StartProgram({"2", "--pause", "100"});
  Collect("done", seconds(50));
  for (const auto& out : outputs) {
    EXPECT_EQ(Answers(out), 2);
    EXPECT_EQ(out.Count("err"), 0);
  }
}

// The longest transaction of `out` ("took" lines), in milliseconds.
int LongestTook(const testing::ProgramOutput& out) {
  int longest = 0;
  for (const auto& l : out.lines) {
    if (l.rfind("took ", 0) == 0) longest = std::max(longest, std::atoi(l.c_str() + 5));
  }
  return longest;
}

// Eight programs on one port, back to back, looping their loop, or sleeping without it: the
// waiters queue and each is granted the port in turn, so none fails and no wait exceeds what
// the programs ahead of it hold the line for (an exchange and the 1-second pause after a
// deferred release each) plus a second.
TEST_F(SharedPortTest, EightProgramsOnOnePortAllSucceedInTurn) {
  for (const char* pattern : {"--pause", "--sleep"}) {
    for (const char* pause : {"0", "100"}) {
      SCOPED_TRACE(std::string(pattern) + " " + pause);
      StartSim();
      programs.clear();
      outputs.clear();
      for (int i = 0; i < 8; ++i) StartProgram({"3", pattern, pause});
      Collect("done", seconds(90));
      for (const auto& out : outputs) {
        EXPECT_EQ(Answers(out), 3);
        EXPECT_EQ(out.Count("err"), 0);
        EXPECT_LE(LongestTook(out), 7 * 1100 + 1000);
      }
      programs.clear();
      sim.reset();
    }
  }
}

// A holder that sleeps (or computes) without running its loop gives the port up all the same:
// its manager connection is watched while it is outside every call.
TEST_F(SharedPortTest, AHolderThatSleepsYieldsAtOnce) {
  StartSim();
  StartProgram({"2", "--hold", "6"});
  Collect("holding", seconds(10));
  ASSERT_EQ(outputs[0].Count("ok PONG"), 1);
  StartProgram({"1"});
  Collect("done", seconds(10), 1);
  EXPECT_EQ(Answers(outputs[1]), 1);
  EXPECT_EQ(outputs[1].Count("err"), 0);
  EXPECT_LT(LongestTook(outputs[1]), 1000);
  // The sleeper asks for the port again when it wakes, and gets it.
  Collect("done", seconds(15), 0);
  EXPECT_EQ(Answers(outputs[0]), 2);
}

// The same inside this process (ThreadSanitizer watches it): the owning thread sleeps while the
// manager's watcher thread closes its idle port for a program that asks, and then transacts
// again; a second thread with an interface of its own keeps calling meanwhile.
TEST_F(SharedPortTest, TheWatcherThreadGivesAnIdlePortUpWhileItsOwnerSleeps) {
  StartSim();
  UseConnectionManager([] { return MakeServiceConnectionManager(); });
  MapSerialPort(1, sim->first_line());
  KORInterface iface;
  iface.openPort();
  KORTransaction t;
  t.cmd("PING");
  iface.Transact(t);
  std::atomic<bool> stop{false};
  std::thread other([&] {
    KORInterface mine;  // Ethernet: no port to share, its own loop and activity lock
    mine.commMode(korCommModeEther);
    while (!stop) {
      mine.DebugBuffClear();
      EventLoop::RunFor(std::chrono::milliseconds(5));
    }
  });
  StartProgram({"1"});
  Collect("done", seconds(10));
  EXPECT_EQ(Answers(outputs[0]), 1);
  EXPECT_LT(LongestTook(outputs[0]), 1000);
  stop = true;
  other.join();
  iface.Transact(t);  // asks for the port back
  EXPECT_EQ(t.resp(), "PONG");
  iface.closePort();
  UseConnectionManager({});
  MapSerialPort(1, "");
}

// Killed with SIGKILL, a holder leaves nothing behind: its socket closes, the service grants
// the port to the next program, and the terminal is not left exclusive.
TEST_F(SharedPortTest, AKilledHolderFreesThePortAtOnce) {
  StartSim();
  StartProgram({"1", "--hold", "60"});
  Collect("holding", seconds(10));
  StartProgram({"1", "--hold", "60"});  // a waiter that is killed too
  Collect("stage Requesting port", seconds(10), 1);
  kill(programs[0]->pid(), SIGKILL);
  kill(programs[1]->pid(), SIGKILL);
  StartProgram({"1"});
  Collect("done", seconds(10), 2);
  EXPECT_EQ(Answers(outputs[2]), 1);
  EXPECT_LT(LongestTook(outputs[2]), 3000);
}

// The manager killed under an idle holder: the holder's watcher connects to the new service
// and says it holds the port, so a newcomer's request reaches it and it yields.
TEST_F(SharedPortTest, AfterTheManagerRestartsAnIdleHolderIsStillAskedToYield) {
  StartSim();
  StartProgram({"2", "--hold", "8"});
  Collect("holding", seconds(10));
  pid_t pid = ServicePid();
  ASSERT_GT(pid, 0);
  kill(pid, SIGKILL);
  // The watcher notices and registers again (starting the service) within a moment.
  auto until = std::chrono::steady_clock::now() + seconds(5);
  while ((ServicePid() <= 0 || ServicePid() == pid) && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  StartProgram({"1"});
  Collect("done", seconds(10), 1);
  EXPECT_EQ(Answers(outputs[1]), 1);
  EXPECT_LT(LongestTook(outputs[1]), 3000);
}

// A port held by a program that never gives it up: the waiter's failure says who holds it.
TEST_F(SharedPortTest, CouldNotGetCommPortNamesTheHolder) {
  StartSim();
  int fd = ::open(sim->first_line().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(flock(fd, LOCK_EX), 0);  // a program outside the manager: nobody can ask it
  StartProgram({"1"});
  Collect("done", seconds(25));
  EXPECT_EQ(outputs[0].Count("err 80047F5C Couldn't get COMM port."), 1);
  EXPECT_EQ(outputs[0].Count("why "), 1);
  EXPECT_GE(outputs[0].Count("stage Waiting for port"), 1);
  ::close(fd);
}

TEST_F(SharedPortTest, ALockedDeviceIsRefusedUntilReleased) {
  StartSim();
  auto lock = LockSerialDevice(sim->first_line());
  auto status = ConnectionManagerStatus();
  ASSERT_TRUE(status);
  ASSERT_EQ(status->size(), 1u);
  EXPECT_TRUE((*status)[0].locker);
  // A second locker is refused; the lock is not its to take.
  EXPECT_THROW((void)LockSerialDevice(sim->first_line()), AutomationError);

  StartProgram({"1"});
  Collect("done", seconds(15));
  EXPECT_EQ(outputs[0].Count("err 80047F60 COMM port is locked by another KORSET program."), 1);

  // Ending the lock reaches the running program at once: its next transaction goes through.
  lock.Release();
  StartProgram({"1"});
  Collect("done", seconds(15), 1);
  EXPECT_EQ(outputs[1].Count("ok PONG"), 1);
}

// `parleyctl ports lock` refuses other processes' transactions while it runs; `ports unlock`
// from anywhere ends the lock, and so does the locking tool's end, SIGKILL included.
TEST_F(SharedPortTest, ParleyctlPortsLockHoldsAsLongAsTheTool) {
  StartSim();
  const std::string device = sim->first_line();
  const std::string tool = std::string("PARLEY_CONNECTION_MANAGER=service ") + PARLEY_CLI_PATH;
  const std::string map = " --port-map 3=" + device;
  const std::string query = tool + " serial --device " + device + " VER?";
  auto locker = std::make_unique<sim::SimProcess>(
      PARLEY_CLI_PATH, std::vector<std::string>{"ports", "lock", "3", "--port-map", "3=" + device});
  EXPECT_NE(locker->first_line().find("until Ctrl-C"), std::string::npos) << locker->first_line();
  auto listed = testing::RunTool(tool + " ports" + map);
  EXPECT_NE(listed.output.find(device + " (port 3)\n"), std::string::npos) << listed.output;
  EXPECT_NE(listed.output.find(" parleyctl\n  holder:"), std::string::npos) << listed.output;
  auto refused = testing::RunTool(query);
  EXPECT_EQ(refused.exit_code, 4) << refused.output;
  EXPECT_NE(refused.output.find("COMM port is locked by another KORSET program."),
            std::string::npos)
      << refused.output;
  EXPECT_NE(refused.output.find("hint: the device is locked"), std::string::npos);
  auto again = testing::RunTool(tool + " ports lock 3 --hold 1" + map);
  EXPECT_EQ(again.exit_code, 4);
  EXPECT_NE(again.output.find("already locked by"), std::string::npos) << again.output;
  ASSERT_EQ(testing::RunTool(tool + " ports unlock 3" + map).exit_code, 0);
  EXPECT_EQ(testing::RunTool(query).output, "parley-sim 1.0\n");
  kill(locker->pid(), SIGINT);
  EXPECT_EQ(locker->ReadLine(seconds(5)), "unlocked " + device);

  for (int signal : {SIGINT, SIGKILL}) {
    SCOPED_TRACE(signal);
    sim::SimProcess holder(PARLEY_CLI_PATH, {"ports", "lock", device, "--hold", "600"});
    EXPECT_NE(holder.first_line().find("until Ctrl-C"), std::string::npos);
    EXPECT_EQ(testing::RunTool(query).exit_code, 4);
    kill(holder.pid(), signal);
    // The lock ends with the tool's connection, however the tool ended.
    auto until = std::chrono::steady_clock::now() + seconds(3);
    std::string answer;
    while (answer != "parley-sim 1.0\n" && std::chrono::steady_clock::now() < until)
      answer = testing::RunTool(query).output;
    EXPECT_EQ(answer, "parley-sim 1.0\n");
  }
}

TEST_F(SharedPortTest, KillingTheServiceCostsAtMostOneFailedCallEach) {
  StartSim();
  StartProgram({"8", "--pause", "100"});
  StartProgram({"8", "--pause", "100"});
  // Wait for the first answers, then kill the service under them.
  Collect("ok", seconds(20));
  pid_t pid = ServicePid();
  ASSERT_GT(pid, 0);
  kill(pid, SIGKILL);
  Collect("done", seconds(50));
  for (const auto& out : outputs) {
    EXPECT_LE(out.Count("err"), 1);
    EXPECT_GE(Answers(out), 7);
  }
  // A new service took over (started by a program's next call).
  EXPECT_GT(ServicePid(), 0);
  EXPECT_NE(ServicePid(), pid);
}

// A raw client of the service's socket.
int ConnectRaw(const std::string& path) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  timeval limit{5, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  return fd;
}

// Reads until the service closes the connection; the Refused message's text, if any came.
std::string ReadUntilClosed(int fd) {
  detail::manager::Decoder decoder;
  std::string refused;
  char buffer[1024];
  for (;;) {
    ssize_t n = recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    decoder.Feed(buffer, static_cast<std::size_t>(n));
    while (auto m = decoder.Next()) {
      if (m->kind == detail::manager::Kind::Refused) refused = m->text;
    }
  }
  return refused;
}

TEST_F(SharedPortTest, MalformedMessagesCloseOnlyTheirOwnConnection) {
  StartSim();
  UseConnectionManager([] { return MakeServiceConnectionManager(); });
  MapSerialPort(1, sim->first_line());
  KORInterface iface;
  iface.openPort();
  std::string socket_path = detail::manager::SocketPath(Folder());

  using detail::manager::Encode;
  using detail::manager::Kind;
  using detail::manager::Message;
  struct Case {
    const char* what;
    std::string bytes;
  };
  std::string huge = "\x00\x00\x00\x40";  // 1 GiB
  huge.resize(4);
  std::string hello = Encode(Message{Kind::Hello, 0, 0, "raw"});
  std::string bad_version = Encode(Message{Kind::Status, 0, 0, {}});
  bad_version[4] = 99;
  for (const Case& c :
       {Case{"a 1 GiB length", hello + huge}, Case{"another version", hello + bad_version},
        Case{"no Hello first", Encode(Message{Kind::Status, 0, 0, {}})},
        Case{"garbage", hello + std::string("\x09\x00\x00\x00garbage!!", 13)}}) {
    SCOPED_TRACE(c.what);
    int fd = ConnectRaw(socket_path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(send(fd, c.bytes.data(), c.bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(c.bytes.size()));
    EXPECT_FALSE(ReadUntilClosed(fd).empty());
    close(fd);
    // The program beside it is served as before.
    KORTransaction t;
    t.cmd("PING");
    iface.Transact(t);
    EXPECT_EQ(t.resp(), "PONG");
  }
  iface.closePort();
  UseConnectionManager({});
  MapSerialPort(1, "");
}

TEST_F(SharedPortTest, AProcessOfAnotherUserIsRefused) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  auto lock = LockSerialDevice("/dev/null");  // starts the service
  std::string folder = Folder();
  std::string socket_path = detail::manager::SocketPath(folder);
  struct stat st {};
  ASSERT_EQ(stat(folder.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  // The folder keeps others out; opened up here so the service's own check is what answers.
  std::string base = std::filesystem::path(folder).parent_path();
  chmod(base.c_str(), 0711);
  chmod(folder.c_str(), 0711);
  chmod(socket_path.c_str(), 0777);
  pid_t child = fork();
  if (child == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(3);
    int fd = ConnectRaw(socket_path);
    if (fd < 0) _exit(4);
    std::string hello = detail::manager::Encode({detail::manager::Kind::Hello, 0, 0, "intruder"});
    send(fd, hello.data(), hello.size(), MSG_NOSIGNAL);
    _exit(ReadUntilClosed(fd) == "this manager serves only its own user" ? 0 : 5);
  }
  int status = 0;
  waitpid(child, &status, 0);
  chmod(folder.c_str(), 0700);
  chmod(base.c_str(), 0700);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(SharedPortTest, TheServiceEndsByItselfWhenIdle) {
  auto lock = LockSerialDevice("/dev/null");
  ASSERT_TRUE(ServiceRunning());
  // The lock's own connection keeps it alive.
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_TRUE(ServiceRunning());
  lock.Release();
  EXPECT_TRUE(WaitServiceGone(seconds(4)));
  EXPECT_FALSE(std::filesystem::exists(detail::manager::SocketPath(Folder())));
}

TEST_F(SharedPortTest, AServiceThatCannotBeStartedFailsOpenPortAndSaysWhy) {
  setenv("PARLEY_CONND", "/nonexistent/parley-connd", 1);
  UseConnectionManager([] { return MakeServiceConnectionManager(); });
  KORInterface iface;
  iface.DebugBuffSizeSet(8000);
  iface.DebugMonitorOn();
  try {
    iface.openPort();
    ADD_FAILURE() << "openPort succeeded";
  } catch (const AutomationError& e) {
    EXPECT_EQ(e.Number(), err::CommUnavailable);
  }
  EXPECT_FALSE(iface.IsPortOpen());
  EXPECT_NE(iface.DebugBuffGet().find("cannot run /nonexistent/parley-connd"), std::string::npos)
      << iface.DebugBuffGet();
  UseConnectionManager({});
}

TEST_F(SharedPortTest, SerialModesShareThroughTheServiceByDefaultOtherModesDoNot) {
  const char* pinned = std::getenv("PARLEY_CONNECTION_MANAGER");
  std::string saved = pinned ? pinned : "";
  unsetenv("PARLEY_CONNECTION_MANAGER");
  {
    KORInterface ether;
    ether.commMode(korCommModeEther);
    ether.openPort();
    EXPECT_FALSE(ServiceRunning());
  }
  StartSim();
  MapSerialPort(1, sim->first_line());
  {
    KORInterface serial;
    serial.openPort();
    EXPECT_TRUE(ServiceRunning());
    KORTransaction t;
    t.cmd("PING");
    serial.Transact(t);
    EXPECT_EQ(t.resp(), "PONG");
    auto status = ConnectionManagerStatus();
    ASSERT_TRUE(status);
    ASSERT_EQ(status->size(), 1u);
    ASSERT_EQ((*status)[0].users.size(), 1u);
    EXPECT_EQ((*status)[0].users[0].pid, getpid());
    ASSERT_TRUE((*status)[0].holder);
  }
  MapSerialPort(1, "");
  if (!saved.empty()) setenv("PARLEY_CONNECTION_MANAGER", saved.c_str(), 1);
}

}  // namespace
}  // namespace parley
