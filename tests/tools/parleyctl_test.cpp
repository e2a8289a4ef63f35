// parleyctl as a user runs it, against parley-sim: option mistakes, exit codes, and the
// progress line and Ctrl-C on a pseudo-terminal.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "sim_process.hpp"
#include "support/run_tool.hpp"

namespace parley {
namespace {

const std::string kTool = PARLEY_CLI_PATH;

struct Case {
  std::string args;
  int exit_code;
  std::string says;
};

// Every mistake on the command line is refused before anything is opened, with exit code 2 and
// a message that names the mistake; a missing device is a link failure (4).
TEST(ParleyctlOptions, MistakesAreRefusedWithTheirExitCode) {
  const Case cases[] = {
      {"serial --device /dev/null --tiemout 30 VER?", 2, "did you mean --timeout?"},
      {"tcp --prot 36747 VER?", 2, "did you mean --port?"},
      {"serial --device /dev/null -x VER?", 2, "unknown option -x"},
      {"serial --device /dev/null --timeout 5 VER?", 2, "5 not in {10,30,60,120,480}"},
      {"serial --device /dev/null --timeout 4294967306 VER?", 2, "not in {10,30,60,120,480}"},
      {"serial --device /dev/null --mode 4294967298 VER?", 2, "not in {2,1,4}"},
      {"tcp --port 4294973296 VER?", 2, "not in range 1 to 64000"},
      {"tcp --port 12x VER?", 2, "--port"},
      {"serial --device /dev/null --parity x VER?", 2, "--parity"},
      {"tcp --BitRate 19200 VER?", 2, "unknown option --BitRate"},
      {"serial --device /dev/null", 2, "give at least one COMMAND"},
      {"frobnicate", 2, "unknown command 'frobnicate'"},
      {"seriel --device /dev/null VER?", 2, "did you mean serial?"},
      {"", 2, "subcommand is required"},
      {"serial --device /nonexistent/tty VER?", 4, "no such device"},
  };
  for (const auto& c : cases) {
    auto run = testing::RunTool(kTool + " " + c.args);
    EXPECT_EQ(run.exit_code, c.exit_code) << c.args << "\n" << run.output;
    EXPECT_NE(run.output.find(c.says), std::string::npos) << c.args << "\n" << run.output;
  }
}

TEST(ParleyctlOptions, HelpListsUnitsDefaultsAllowedValuesAndExitCodes) {
  auto run = testing::RunTool(kTool + " serial --help");
  EXPECT_EQ(run.exit_code, 0);
  for (const char* text :
       {"--timeout,--RespTimeout SECONDS:{10,30,60,120,480}", "(default 10)",
        "--bit-rate,--BitRate", "Exit status: 0 success; 2 usage", "130 canceled by the user"}) {
    EXPECT_NE(run.output.find(text), std::string::npos) << text;
  }
  auto version = testing::RunTool(kTool + " --version");
  EXPECT_EQ(version.exit_code, 0);
  EXPECT_EQ(version.output.rfind("parleyctl ", 0), 0u) << version.output;
}

// Library setting names and the tool's spellings are the same option; "--" ends the options, so
// a command may look like one; --no-response prints nothing at all.
TEST(ParleyctlOptions, AliasesDoubleDashAndNoResponseAgainstTheSimulator) {
  sim::SimProcess unit(PARLEY_SIM_PATH, {"--answer", "-x=dash"});
  std::string serial = kTool + " serial --device " + unit.first_line();
  auto library_name = testing::RunTool(serial + " --BitRate 19200 --DataBits 8 VER?");
  auto tool_name = testing::RunTool(serial + " --bit-rate 19200 --data-bits 8 VER?");
  EXPECT_EQ(library_name.output, "parley-sim 1.0\n");
  EXPECT_EQ(tool_name.output, library_name.output);
  auto dashed = testing::RunTool(serial + " VER? -- -x");
  EXPECT_EQ(dashed.exit_code, 0);
  EXPECT_EQ(dashed.output, "parley-sim 1.0\ndash\n");
  auto quiet = testing::RunTool(serial + " --no-response PING");
  EXPECT_EQ(quiet.exit_code, 0);
  EXPECT_EQ(quiet.output, "");
}

// A reader that goes away after the first line neither crashes nor hangs the tool.
TEST(ParleyctlOutput, ClosedPipeEndsTheRun) {
  sim::SimProcess unit(PARLEY_SIM_PATH, {});
  std::string words;
  for (int i = 0; i < 50; ++i) words += " VER?";
  auto run = testing::RunTool("sh -c '" + kTool + " serial --device " + unit.first_line() + words +
                              " | head -1; echo status=$?'");
  EXPECT_EQ(run.output, "parley-sim 1.0\nstatus=0\n");
}

// The tool on a pseudo-terminal: reads its output until `until` shows or `limit` passes.
class TerminalRun {
 public:
  explicit TerminalRun(const std::string& command_line) {
    pid_ = forkpty(&master_, nullptr, nullptr, nullptr);
    if (pid_ == 0) {
      execl("/bin/sh", "sh", "-c", ("exec " + command_line).c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
  }
  ~TerminalRun() {
    if (pid_ > 0 && !reaped_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (master_ >= 0) close(master_);
  }
  bool started() const { return pid_ > 0; }

  bool ReadUntil(const std::string& until, std::chrono::milliseconds limit) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (output_.find(until) == std::string::npos) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          end - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      pollfd p{master_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      char buffer[512];
      ssize_t n = read(master_, buffer, sizeof buffer);
      if (n <= 0) return output_.find(until) != std::string::npos;  // the tool is gone
      output_.append(buffer, static_cast<std::size_t>(n));
    }
    return true;
  }
  void Type(const std::string& keys) { (void)!write(master_, keys.data(), keys.size()); }
  int ExitCode() {
    int status = 0;
    waitpid(pid_, &status, 0);
    reaped_ = true;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  const std::string& output() const { return output_; }

 private:
  int master_ = -1;
  pid_t pid_ = -1;
  bool reaped_ = false;
  std::string output_;
};

// A 30 s wait counts down on the terminal; Ctrl-C halts it: the message, a clean line, 130.
TEST(ParleyctlTerminal, CountdownDrawnAndCtrlCHalts) {
  sim::SimProcess unit(PARLEY_SIM_PATH, {"--echo-only"});
  TerminalRun run(kTool + " serial --device " + unit.first_line() + " --timeout 30 PING");
  ASSERT_TRUE(run.started());
  ASSERT_TRUE(run.ReadUntil("Waiting for response  2", std::chrono::seconds(10))) << run.output();
  EXPECT_NE(run.output().find(" s left"), std::string::npos);
  run.Type("\x03");
  ASSERT_TRUE(run.ReadUntil("User canceled operation.", std::chrono::seconds(10))) << run.output();
  EXPECT_EQ(run.ExitCode(), 130);
  // The progress line was cleared before the message.
  auto message = run.output().find("error 0x80047F7A");
  ASSERT_NE(message, std::string::npos);
  EXPECT_EQ(run.output().substr(message - 4, 4), "\r\033[K") << run.output();
}

// With --quiet nothing but the result reaches the terminal.
TEST(ParleyctlTerminal, QuietDrawsNoProgress) {
  sim::SimProcess unit(PARLEY_SIM_PATH, {"--delay", "300"});
  TerminalRun run(kTool + " serial --quiet --device " + unit.first_line() + " VER?");
  ASSERT_TRUE(run.started());
  ASSERT_TRUE(run.ReadUntil("parley-sim 1.0", std::chrono::seconds(10))) << run.output();
  EXPECT_EQ(run.ExitCode(), 0);
  EXPECT_EQ(run.output().find("Waiting"), std::string::npos) << run.output();
}

}  // namespace
}  // namespace parley
