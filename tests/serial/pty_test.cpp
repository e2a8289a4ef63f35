// The serial link over real pseudo-terminals: the termios facility itself against a raw peer
// written here, and mode-2 transactions end to end against parley-sim.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <string>

#include "host/asio_host.hpp"
#include "host/serial_port.hpp"
#include "parley/parley.hpp"
#include "serial/sim_pty_fixture.hpp"
#include "sim_process.hpp"
#include "support/run_tool.hpp"
#include "support/virtual_fixture.hpp"

namespace parley {
namespace {

using std::chrono::milliseconds;

// A pseudo-terminal whose master side the test drives by hand.
class RawPeer {
 public:
  RawPeer() {
    char name[128];
    int slave = -1;
    EXPECT_EQ(openpty(&master_, &slave, name, nullptr, nullptr), 0);
    path_ = name;
    termios tio{};
    tcgetattr(slave, &tio);
    cfmakeraw(&tio);
    tcsetattr(slave, TCSANOW, &tio);
    keepalive_ = slave;  // as a simulator does, so the master never sees a hang-up
  }
  ~RawPeer() {
    if (keepalive_ >= 0) close(keepalive_);
    if (master_ >= 0) close(master_);
  }
  const std::string& path() const { return path_; }
  // The other side goes away, as when a USB adapter is unplugged: reads of the device fail.
  void HangUp() {
    close(keepalive_);
    close(master_);
    keepalive_ = master_ = -1;
  }
  void Write(const std::string& bytes) {
    ASSERT_EQ(write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  // Reads until `count` bytes came (pumping the thread's loop so the library can write).
  std::string Read(std::size_t count) {
    std::string got;
    fcntl(master_, F_SETFL, O_NONBLOCK);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (got.size() < count && std::chrono::steady_clock::now() < deadline) {
      EventLoop::RunFor(milliseconds(5));
      char buffer[512];
      ssize_t n = read(master_, buffer, sizeof buffer);
      if (n > 0) got.append(buffer, static_cast<std::size_t>(n));
    }
    return got;
  }

 private:
  int master_ = -1;
  int keepalive_ = -1;
  std::string path_;
};

class PosixSerialPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    MapSerialPort(9, peer.path());
    port = detail::CurrentHost().CreateSerialPort();
    ASSERT_TRUE(port);
    port->CommPort(9);
  }
  void TearDown() override {
    port.reset();
    MapSerialPort(9, "");
  }
  std::string ReceiveAll(std::size_t count) {
    std::string got;
    for (int i = 0; i < 500 && got.size() < count; ++i) {
      detail::CurrentHost().WaitForEvent(detail::Micros(10'000));
      got += port->TakeReceived();
    }
    return got;
  }
  RawPeer peer;
  std::unique_ptr<detail::SerialPort> port;
};

TEST_F(PosixSerialPortTest, EveryByteValuePassesUnchangedBothWays) {
  port->Settings("115200,n,8,1");
  port->PortOpen(true);
  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  port->Write(all);
  EXPECT_EQ(peer.Read(all.size()), all);
  int ready = 0;
  port->OnReadable = [&] { ++ready; };
  peer.Write(all);
  EXPECT_EQ(ReceiveAll(all.size()), all);
  EXPECT_GE(ready, 1);
}

// A data handler that waits on the loop itself takes the readiness of what arrives meanwhile;
// those bytes are read as soon as it returns, not a pass of the loop later.
TEST_F(PosixSerialPortTest, BytesArrivingWhileTheDataHandlerWaitsAreStillRead) {
  port->PortOpen(true);
  detail::CurrentHost().Yield();  // the first read, of nothing: from now on the passes read
  bool nested = false;
  port->OnReadable = [&] {
    if (nested) return;
    nested = true;
    peer.Write("B");
    detail::CurrentHost().WaitForEvent(detail::Micros(200'000));
  };
  peer.Write("A");
  for (int i = 0; i < 100 && !nested; ++i)
    detail::CurrentHost().WaitForEvent(detail::Micros(10'000));
  EXPECT_EQ(port->TakeReceived(), "AB");  // read within the pass that ran the handler
}

TEST_F(PosixSerialPortTest, OpeningIsExclusiveAndClosedPortsAcceptDiscards) {
  port->DiscardInBuffer();  // accepted while closed
  port->DiscardOutBuffer();
  EXPECT_EQ(port->Available(), 0u);
  EXPECT_THROW(port->Write("x"), AutomationError);
  port->PortOpen(true);
  auto e = PARLEY_EXPECT_ERROR(port->PortOpen(true), detail::kSerialPortAlreadyOpen);
  auto second = detail::CurrentHost().CreateSerialPort();
  second->CommPort(9);
  e = PARLEY_EXPECT_ERROR(second->PortOpen(true), detail::kSerialPortInUse);
  EXPECT_TRUE(detail::IsPortBusyRefusal(e.Number()));
  port->PortOpen(false);
  EXPECT_NO_THROW(second->PortOpen(true));  // free again once closed
}

// The exclusive flag belongs to the terminal, and a pseudo-terminal outlives every descriptor
// of a program killed while it held the flag: left set, every later opening by an unprivileged
// user is refused. A pseudo-terminal is kept by the advisory lock alone (root passes the flag,
// so it is read back here).
TEST_F(PosixSerialPortTest, APseudoTerminalIsNeverLeftExclusive) {
  auto exclusive = [&] {
    int fd = ::open(peer.path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 && errno == EBUSY) return 1;  // an unprivileged user is kept out
    EXPECT_GE(fd, 0);
    int set = -1;
    EXPECT_EQ(ioctl(fd, TIOCGEXCL, &set), 0);
    ::close(fd);
    return set;
  };
  port->PortOpen(true);
  EXPECT_EQ(exclusive(), 0);
  auto second = detail::CurrentHost().CreateSerialPort();
  second->CommPort(9);
  PARLEY_EXPECT_ERROR(second->PortOpen(true), detail::kSerialPortInUse);  // the lock
  port->PortOpen(false);
  EXPECT_EQ(exclusive(), 0);
}

// A pseudo-terminal keeps 8 bits without parity whatever is asked; that is no failure.
TEST_F(PosixSerialPortTest, SevenBitsWithParityOpenOnAPseudoTerminal) {
  port->Settings("9600,o,7,1");
  EXPECT_NO_THROW(port->PortOpen(true));
  port->Settings("19200,e,7,2");  // applied to the open port
  port->Write("z");
  EXPECT_EQ(peer.Read(1), "z");
}

TEST_F(PosixSerialPortTest, MissingDevicesAndBadSettingsAreRefused) {
  MapSerialPort(9, "/dev/parley-no-such-device");
  auto e = PARLEY_EXPECT_ERROR(port->PortOpen(true), err::SerialPortNotFound);
  EXPECT_FALSE(detail::IsPortBusyRefusal(e.Number()));
  PARLEY_EXPECT_ERROR(port->Settings("9600,q,7,1"), err::InvalidPropertyValue);
  EXPECT_EQ(port->Settings(), "9600,n,8,1");
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Runs one mode-2 transaction on port 1 mapped to `path`; the error it fails with.
AutomationError TransactOn(KORInterface& iface, const std::string& path) {
  MapSerialPort(1, path);
  iface.DebugBuffSizeSet(64000);
  iface.DebugMonitorOn();
  try {
    iface.openPort();
    KORTransaction t;
    t.cmd("VER?");
    t.RespTimeout(korShort);
    iface.Transact(t);
  } catch (const AutomationError& e) {
    MapSerialPort(1, "");
    if (iface.IsPortOpen()) iface.closePort();
    return e;
  }
  MapSerialPort(1, "");
  ADD_FAILURE() << path << " did not fail";
  return AutomationError(0, "", "");
}

// Waiting for a port is for one that another program holds; a device that can never open fails
// on the first attempt (the wait lasts 15 s), and the system's reason is kept.
TEST(SerialOpenFailures, DevicesThatCanNeverOpenFailAtOnceWithTheReason) {
  char dir_template[] = "/tmp/parley-open-XXXXXX";
  ASSERT_NE(mkdtemp(dir_template), nullptr);
  std::string dir = dir_template;
  std::string file = dir + "/plain";
  std::string locked = dir + "/locked";
  for (const auto& path : {file, locked}) close(open(path.c_str(), O_CREAT | O_WRONLY, 0600));
  chmod(locked.c_str(), 0);
  struct Case {
    std::string path;
    int32_t number;
    std::string reason;
  };
  // Root may open the unreadable file; it then fails as "not a terminal".
  std::string locked_reason = geteuid() == 0 ? "" : "Permission denied";
  for (const Case& c : {Case{"/dev/null", err::ErrorInitializingCommPort, "/dev/null: "},
                        Case{file, err::ErrorInitializingCommPort, "terminal"},
                        Case{dir, err::ErrorInitializingCommPort, "directory"},
                        Case{locked, err::ErrorInitializingCommPort, locked_reason},
                        Case{dir + "/missing", err::SerialPortNotFound, "No such file"}}) {
    KORInterface iface;
    auto start = std::chrono::steady_clock::now();
    AutomationError e = TransactOn(iface, c.path);
    EXPECT_LT(SecondsSince(start), 5.0) << c.path;
    EXPECT_EQ(e.Number(), c.number) << c.path << ": " << e.Description();
    EXPECT_NE(iface.LastLinkError().find(c.path), std::string::npos) << iface.LastLinkError();
    EXPECT_NE(iface.LastLinkError().find(c.reason), std::string::npos) << iface.LastLinkError();
    EXPECT_NE(iface.DebugBuffGet().find(iface.LastLinkError()), std::string::npos);
  }
  unlink(file.c_str());
  unlink(locked.c_str());
  rmdir(dir.c_str());
}

// The other side of the line goes away during a wait: the exchange ends at once with the
// lost-line error instead of waiting out its timeouts and retries.
TEST(SerialLineLost, HangUpDuringAWaitEndsTheExchangeAtOnce) {
  RawPeer peer;
  KORInterface iface;
  EventLoop::Timer hang_up = EventLoop::ScheduleAfter(milliseconds(200), [&] { peer.HangUp(); });
  auto start = std::chrono::steady_clock::now();
  AutomationError e = TransactOn(iface, peer.path());
  EXPECT_LT(SecondsSince(start), 5.0);
  EXPECT_FALSE(hang_up.Pending());
  EXPECT_EQ(e.Number(), detail::kSerialLineLost);
  EXPECT_EQ(e.Description(), "Serial COMM port error: Carrier Detect Timeout.");
  EXPECT_NE(iface.LastLinkError().find(peer.path() + ": read: "), std::string::npos)
      << iface.LastLinkError();
}

// A launch that fails leaves neither a child process nor a descriptor behind.
TEST(SimLaunch, AFailedStartLeavesNothingBehind) {
  auto descriptors = [] {
    int n = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/self/fd")) {
      ++n;
    }
    return n;
  };
  int before = descriptors();
  EXPECT_THROW(sim::SimProcess("/bin/sh", {"-c", "sleep 30"}, milliseconds(200)),
               std::runtime_error);
  EXPECT_THROW(sim::SimProcess("/parley/no/such/program", {}, milliseconds(2000)),
               std::runtime_error);
  EXPECT_EQ(descriptors(), before);
  int status = 0;
  EXPECT_EQ(waitpid(-1, &status, WNOHANG), -1);  // no child at all, running or unreaped
  EXPECT_EQ(errno, ECHILD);
}

TEST(SerialDeviceMap, DefaultsToTtySAndMapsPerPort) {
  EXPECT_EQ(SerialDevicePath(1), "/dev/ttyS0");
  EXPECT_EQ(SerialDevicePath(16), "/dev/ttyS15");
  MapSerialPort(3, "/dev/ttyUSB0");
  EXPECT_EQ(SerialDevicePath(3), "/dev/ttyUSB0");
  MapSerialPort(3, "");
  EXPECT_EQ(SerialDevicePath(3), "/dev/ttyS2");
  EXPECT_EQ(SerialDevicePath(0), "");
}

// Mode 2 as a client uses it, over a real pseudo-terminal.
class PtyTransactTest : public testing::SimPtyTest {
 protected:
  void Start(std::vector<std::string> args) { StartSim(std::move(args)); }
};

TEST_F(PtyTransactTest, PlainExchangeAndTrace) {
  Start({"--answer", "MEAS?=1.23"});
  EXPECT_EQ(Run("MEAS?"), "1.23");
  std::string trace = iface.DebugBuffGet();
  EXPECT_NE(trace.find("\tWRIT\tMEAS?"), std::string::npos);
  EXPECT_NE(trace.find("\tREAD\t"), std::string::npos);
  EXPECT_EQ(trace.find("\tERRR\t"), std::string::npos);
}

TEST_F(PtyTransactTest, AnswerSplitOverManyChunksWithLineBreaksInside) {
  Start({"--split", "1", "--chunk-gap", "3", "--answer", "LIST?=a\\r\\nb\\r\\n"});
  EXPECT_EQ(Run("LIST?"), "a\r\nb\r\n");
  iface.RemoveExtraChar(true);
  EXPECT_EQ(Run("LIST?"), "a\r\nb");
}

// A progress handler that runs the loop itself takes the device's readiness in its own passes,
// also while the port is delivering what it read: the bytes are still read at once.
TEST_F(PtyTransactTest, AnAnswerInManyPiecesArrivesWhileHandlersRunLoopsOfTheirOwn) {
  Start({"--split", "1", "--chunk-gap", "3", "--answer", "LIST?=a\\r\\nb\\r\\n"});
  auto progress = iface.Progress();
  int nested = 0;
  auto pump = progress->Update.connect([&] {
    ++nested;
    EventLoop::RunFor(milliseconds(2));
  });
  auto started = std::chrono::steady_clock::now();
  for (int k = 0; k < 3; ++k) EXPECT_EQ(Run("LIST?"), "a\r\nb\r\n");
  pump.disconnect();
  EXPECT_GT(nested, 0);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(3));
}

TEST_F(PtyTransactTest, SettingsChangeBetweenTransactionsReopensThePort) {
  Start({});
  EXPECT_EQ(Run("PING"), "PONG");
  iface.closePort();
  iface.BitRate(115200);
  iface.Parity(korParityNone);
  iface.DataBits(8);
  iface.openPort();
  EXPECT_EQ(Run("PING"), "PONG");
}

TEST_F(PtyTransactTest, HaltWhileASilentUnitIsAwaited) {
  Start({"--silent"});
  auto progress = iface.Progress();
  int acks = 0;
  auto ack = progress->HaltAck.connect([&] { ++acks; });
  auto started = std::chrono::steady_clock::now();
  auto halt = progress->Update.connect([&] {
    if (progress->status() == "Waiting for echo" &&
        std::chrono::steady_clock::now() - started > milliseconds(300)) {
      progress->Halt();
    }
  });
  try {
    Run("VER?");
    ADD_FAILURE() << "a silent unit answered";
  } catch (const AutomationError& e) {
    EXPECT_EQ(e.Number(), err::UserCanceled);
    EXPECT_EQ(e.Description(), "User canceled operation.");
  }
  halt.disconnect();
  ack.disconnect();
  EXPECT_GE(acks, 1);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(3));
}

// The wire carries exactly the command and CmdTerm; the answer comes back unchanged.
TEST(PtyWire, BytesOnTheWireAndBackAgainstARawPeer) {
  RawPeer peer;
  MapSerialPort(1, peer.path());
  KORInterface iface;
  iface.CmdTerm("\r");
  iface.openPort();
  KORTransaction t;
  t.cmd("SET 1");
  t.RespTimeout(korShort);
  bool answered = false;
  auto progress = iface.Progress();
  // The peer plays the unit from inside the library's wait.
  auto link = progress->Update.connect([&] {
    if (answered || progress->status() != "Waiting for echo") return;
    answered = true;
    EXPECT_EQ(peer.Read(6), "SET 1\r");
    peer.Write(std::string("SET 1\r\xFF\x00z\r\n>", 12));
  });
  iface.Transact(t);
  link.disconnect();
  EXPECT_EQ(t.resp(), std::string("\xFF\x00z", 3));
  iface.closePort();
  MapSerialPort(1, "");
}

// The tool as a user runs it: an error prints number, message and source and exits with the
// code of its family (5: nothing complete came back in time).
// (Real time: the unit echoes but never answers, so this waits out the 10 s timeout.)
TEST(ParleyTool, EchoWithoutAnswerPrintsTheTerminatorError) {
  sim::SimProcess unit(PARLEY_SIM_PATH, {"--echo-only"});
  auto run = testing::RunTool(std::string(PARLEY_CLI_PATH) + " serial --device " +
                              unit.first_line() + " --timeout 10 PING");
  EXPECT_EQ(run.exit_code, 5);
  EXPECT_NE(run.output.find("error 0x80047F61: Response terminator not received in timeout period. "
                            "(source: RediDU"),
            std::string::npos)
      << run.output;
}

}  // namespace
}  // namespace parley
