// Plain instruments end to end: parley-sim --plain on its pseudo-terminal and TCP as a raw
// client sees it, and parleyctl's options for plain links. The cases marked "library" need the
// library's plain-instrument exchange (PlainInstrument, RespTimeoutMs, DeadlineMs).
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "sim_process.hpp"
#include "support/run_tool.hpp"

namespace parley {
namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

const std::string kTool = PARLEY_CLI_PATH;
const std::string kSim = PARLEY_SIM_PATH;

// Everything `fd` delivers within `wait`, or up to the first `until` seen.
std::string ReadFor(int fd, milliseconds wait, const std::string& until = "") {
  std::string got;
  auto end = Clock::now() + wait;
  while (Clock::now() < end && (until.empty() || got.find(until) == std::string::npos)) {
    pollfd p{fd, POLLIN, 0};
    auto left = std::chrono::duration_cast<milliseconds>(end - Clock::now()).count();
    if (poll(&p, 1, static_cast<int>(std::max<long>(left, 0))) <= 0) break;
    char buffer[512];
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    got.append(buffer, static_cast<std::size_t>(n));
  }
  return got;
}

void Send(int fd, const std::string& bytes) {
  ASSERT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

int ConnectLoopback(const std::string& port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(std::stoi(port)));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

std::string WriteFile(const std::string& name, const std::string& content) {
  std::string path = (std::filesystem::temp_directory_path() /
                      ("parley-plain-" + std::to_string(getpid()) + "-" + name))
                         .string();
  std::ofstream(path, std::ios::binary) << content;
  return path;
}

// One instrument scenario for the cases below: a reading that takes 300 ms.
std::string MeterScenario() {
  return WriteFile("meter.toml",
                   "[unit]\nplain = true\n"
                   "[answers]\n\"MEAS?\" = { text = \"+1.5E+00\", delay = 300 }\n"
                   "[tcp]\nport = 0\n");
}

// What a raw client sees on both links: no greeting, no echo, the answer alone with "\n"
// (after its own delay), nothing for an unknown query, which SYST:ERR? then names.
TEST(ParleySimPlain, AnswersWithoutEchoOnThePtyAndTcp) {
  sim::SimProcess meter(kSim, {"--scenario", MeterScenario()});
  std::string port = meter.ReadLine(std::chrono::seconds(5));
  ASSERT_FALSE(port.empty());
  int pty = open(meter.first_line().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(pty, 0);
  int tcp = ConnectLoopback(port);
  ASSERT_GE(tcp, 0);
  EXPECT_EQ(ReadFor(tcp, milliseconds(200)), "");  // no greeting

  for (int fd : {pty, tcp}) {
    Send(fd, "*IDN?\r\n");
    EXPECT_EQ(ReadFor(fd, milliseconds(2000), "\n"), "PARLEY,SIM-PLAIN,0,1.0\n");
    auto asked = Clock::now();
    Send(fd, "MEAS?\n");
    EXPECT_EQ(ReadFor(fd, milliseconds(2000), "\n"), "+1.5E+00\n");
    EXPECT_GE(Clock::now() - asked, milliseconds(280));
    Send(fd, "FOO?\nVOLT 2.5\n");
    EXPECT_EQ(ReadFor(fd, milliseconds(300)), "");
    Send(fd, "SYST:ERR?\nSYST:ERR?\n");
    EXPECT_EQ(ReadFor(fd, milliseconds(2000), "error\"\n"),
              "-113,\"Undefined header\"\n0,\"No error\"\n");
  }
  close(pty);
  close(tcp);
}

// The instrument's terminator and an error answer for unknown commands are the user's choice;
// the unit's own behaviour stays the default.
TEST(ParleySimPlain, TerminatorAndUnknownAnswerAsGivenAndTheUnitUnchanged) {
  sim::SimProcess meter(kSim, {"--resp-term", "\\r\\n", "--plain", "--unknown", "ERR"});
  int pty = open(meter.first_line().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(pty, 0);
  Send(pty, "*IDN?\nFOO\n");
  EXPECT_EQ(ReadFor(pty, milliseconds(2000), "ERR\r\n"), "PARLEY,SIM-PLAIN,0,1.0\r\nERR\r\n");
  close(pty);

  sim::SimProcess unit(kSim, {});
  pty = open(unit.first_line().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(pty, 0);
  Send(pty, "*IDN?\r\n");
  EXPECT_EQ(ReadFor(pty, milliseconds(2000), ">"),
            "*IDN?\r\nParley,RemoteUnitSimulator,0,1.0\r\n>");
  close(pty);

  auto bad =
      testing::RunTool(kSim + " --scenario " + WriteFile("bad.toml", "[unit]\nplain = \"yes\"\n"));
  EXPECT_EQ(bad.exit_code, 2);
  EXPECT_NE(bad.output.find(":2: plain takes true or false"), std::string::npos) << bad.output;
}

struct Case {
  std::string args;
  int exit_code;
  std::string says;
};

// What the options refuse before anything is opened (exit 2), each refusal listing what the
// link takes; and what they accept reaches the link (here a port nobody listens on: exit 4).
TEST(ParleyctlPlain, TimeoutsAndSwitchesCheckedForTheLink) {
  const std::string serial = kTool + " serial --device /dev/null ";
  const std::string tcp = kTool + " tcp --port 1 ";
  const std::string plain_profile =
      WriteFile("plain.toml", "plain = true\ntimeout = 0.25\nverify_echo = false\n");
  const std::string unit_profile = WriteFile("unit.toml", "\ntimeout = 0.25\n");
  const Case cases[] = {
      {serial + "--timeout 0.25 VER?", 2, "0.25 not in {10,30,60,120,480}, the seconds the remote"},
      {serial + "--plain --timeout 0.0001 VER?", 2, "nor 0.001 to 86400"},
      {serial + "--plain --timeout 86400.001 VER?", 2, "nor 0.001 to 86400"},
      {serial + "--plain --timeout 30 --mode 1 VER?", 2,
       "mode 2 (serial) or 5 (TCP), not in mode 1"},
      {serial + "--deadline -1 VER?", 2, "-1 is not a time from 0 to 86400 seconds"},
      {serial + "--verify-echo maybe VER?", 2, "--verify-echo"},
      {tcp + "--profile " + unit_profile + " VER?", 2,
       unit_profile + ":2: bad value for timeout: 0.25 not in {10,30,60,120,480}"},
      {tcp + "--profile " + plain_profile + " VER?", 4, ""},
      {tcp + "--plain --timeout 010.5 --deadline 0.5 --verify-echo off VER?", 4, ""},
      {tcp + "--timeout 030 VER?", 4, ""},
  };
  for (const auto& c : cases) {
    auto run = testing::RunTool(c.args);
    EXPECT_EQ(run.exit_code, c.exit_code) << c.args << "\n" << run.output;
    EXPECT_NE(run.output.find(c.says), std::string::npos) << c.args << "\n" << run.output;
  }
}

// The shell: --verify-echo and :set PlainInstrument reach the interface; a decimal timeout is
// taken once the link is plain and refused before.
TEST(ParleyctlPlain, ShellSettings) {
  sim::SimProcess unit(kSim, {});
  auto run = testing::RunTool(
      "printf ':get VerifyEcho\\n:set timeout 0.25\\n:set PlainInstrument on\\n"
      ":set timeout 0.25\\n:get RespTimeout\\n:get plain\\n:set deadline 1.5\\n:get Deadline\\n'"
      " | " +
      kTool + " shell --verify-echo off --device " + unit.first_line());
  EXPECT_EQ(run.exit_code, 2) << run.output;  // the first refused line's status
  for (const char* text : {"VerifyEcho = false\n", "stdin:2: --timeout: 0.25 not in {10,",
                           "RespTimeout = 0.25\nPlainInstrument = true\n", "Deadline = 1.5\n"}) {
    EXPECT_NE(run.output.find(text), std::string::npos) << text << "\n" << run.output;
  }
}

// library: queries answered by a plain instrument over the pty and over TCP, a sub-second
// timeout for an unknown query (which the instrument leaves unanswered), and the shell.
TEST(ParleyctlPlain, QueriesAPlainInstrumentOverPtyAndTcp) {
  sim::SimProcess meter(kSim, {"--scenario", MeterScenario()});
  std::string port = meter.ReadLine(std::chrono::seconds(5));
  ASSERT_FALSE(port.empty());
  const std::string serial = kTool + " serial --plain --device " + meter.first_line();
  const std::string tcp = kTool + " tcp --plain --port " + port;
  for (const std::string& link : {serial, tcp}) {
    auto run = testing::RunTool(link + " --timeout 2 '*IDN?' MEAS?");
    EXPECT_EQ(run.exit_code, 0) << link << "\n" << run.output;
    EXPECT_EQ(run.output, "PARLEY,SIM-PLAIN,0,1.0\n+1.5E+00\n") << link;
    auto started = Clock::now();
    auto unknown = testing::RunTool(link + " --timeout 0.25 FOO?");
    EXPECT_EQ(unknown.exit_code, 5) << link << "\n" << unknown.output;
    EXPECT_LT(Clock::now() - started, std::chrono::seconds(3)) << link;
  }
  auto shell = testing::RunTool("printf '*IDN?\\nSYST:ERR?\\n' | " + kTool +
                                " shell --plain --device " + meter.first_line());
  // The unanswered FOO? above left its error in the instrument's queue.
  EXPECT_EQ(shell.output, "PARLEY,SIM-PLAIN,0,1.0\n-113,\"Undefined header\"\n") << shell.output;
}

// library: --deadline bounds the whole transaction in the unit's modes too; the run says what
// the library said and exits as a timeout (5), not as a user's Ctrl-C (130).
TEST(ParleyctlPlain, DeadlineEndsASlowTransactionInTheUnitsMode) {
  sim::SimProcess unit(kSim, {"--delay", "3000"});
  auto started = Clock::now();
  auto run =
      testing::RunTool(kTool + " serial --deadline 0.4 --device " + unit.first_line() + " VER?");
  EXPECT_EQ(run.exit_code, 5) << run.output;
  EXPECT_NE(run.output.find("User canceled operation."), std::string::npos) << run.output;
  EXPECT_LT(Clock::now() - started, std::chrono::milliseconds(2500));
}

}  // namespace
}  // namespace parley
