// parleyctl as a user runs it, against parley-sim: option mistakes, exit codes, and the
// progress line and Ctrl-C on a pseudo-terminal.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

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

// A directory of its own for one test's files, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "parleyctl-XXXXXX").string();
    path_ = mkdtemp(pattern.data()) ? pattern : "";
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  std::string Write(const std::string& name, const std::string& content) const {
    std::string file = path_ + "/" + name;
    std::ofstream(file, std::ios::binary) << content;
    return file;
  }
  const std::string& path() const { return path_; }
  std::string Read(const std::string& name) const {
    std::ifstream in(path_ + "/" + name, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
  }

 private:
  std::string path_;
};

// Each output line parsed as JSON; a line that is not JSON fails the test.
std::vector<nlohmann::json> JsonLines(const std::string& output) {
  std::vector<nlohmann::json> records;
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    try {
      records.push_back(nlohmann::json::parse(line));
    } catch (const std::exception& e) {
      ADD_FAILURE() << "not JSON: " << line.substr(0, 200) << " (" << e.what() << ")";
    }
  }
  return records;
}

// Commands from the words, then the script (comments, empty and CRLF lines), then standard
// input, each answered in order in one JSON record a line.
TEST(ParleyctlScript, WordsScriptAndStdinRunInOrderAsJson) {
  TempDir dir;
  sim::SimProcess unit(PARLEY_SIM_PATH, {"--answer", "MEAS?=1.23", "--answer", "BIN?=\\xFFok"});
  std::string script =
      dir.Write("cmds.txt", "# a station check\n\n  \nMEAS?\r\n   # indented\nBIN?\n");
  auto run = testing::RunTool("printf 'PING\\n' | " + kTool + " serial --json --device " +
                              unit.first_line() + " --script " + script + " VER? -");
  EXPECT_EQ(run.exit_code, 0) << run.output;
  auto records = JsonLines(run.output);
  ASSERT_EQ(records.size(), 4u) << run.output;
  EXPECT_EQ(records[0]["command"], "VER?");
  EXPECT_EQ(records[0]["response"], "parley-sim 1.0");
  EXPECT_EQ(records[1]["command"], "MEAS?");
  EXPECT_EQ(records[1]["response_hex"], "31 2E 32 33");
  EXPECT_EQ(records[1]["where"], script + ":4");
  // A byte that is not UTF-8 keeps the record valid JSON; the hex form has it exactly.
  EXPECT_EQ(records[2]["response_hex"], "FF 6F 6B");
  EXPECT_EQ(records[3]["where"], "stdin:1");
  for (const auto& r : records) {
    EXPECT_EQ(r["error"], "0x00000000");
    EXPECT_FALSE(r["stage"].get<std::string>().empty());
    EXPECT_GE(r["elapsed_ms"].get<int>(), 0);
  }
}

// A failed line stops the script; with --keep-going the rest runs, and the exit status is
// still the failure's. A literal "-" after "--" is a command, not standard input.
TEST(ParleyctlScript, FailureStopsUnlessKeepGoing) {
  TempDir dir;
  sim::SimProcess unit(PARLEY_SIM_PATH, {"--tcp-port", "0"});
  std::string port = unit.ReadLine(std::chrono::seconds(5));
  ASSERT_FALSE(port.empty());
  std::string script = dir.Write("bytes.txt", "50 49 4E 47\nzz\n56 45 52 3F\n");
  std::string tcp = kTool + " tcp --bytes --json --port " + port + " --script " + script;
  auto stopped = testing::RunTool(tcp + " 2>/dev/null");
  EXPECT_EQ(stopped.exit_code, 2);
  auto records = JsonLines(stopped.output);
  ASSERT_EQ(records.size(), 2u) << stopped.output;
  EXPECT_EQ(records[1]["stage"], "not sent");
  EXPECT_NE(records[1]["message"].get<std::string>().find("hex digit"), std::string::npos);
  auto kept = testing::RunTool(tcp + " --keep-going 2>/dev/null");
  EXPECT_EQ(kept.exit_code, 2);
  records = JsonLines(kept.output);
  ASSERT_EQ(records.size(), 3u) << kept.output;
  EXPECT_EQ(records[2]["error"], "0x00000000");

  auto dash = testing::RunTool(kTool + " tcp --port " + port + " --json -- - < /dev/null");
  EXPECT_EQ(dash.exit_code, 0) << dash.output;
  records = JsonLines(dash.output);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0]["command"], "-");
}

// Input a script should never choke on: a 1 MiB line, every byte value, an empty standard
// input, a reader that goes away after one record.
TEST(ParleyctlScript, BadInputGivesAClearOutcome) {
  TempDir dir;
  sim::SimProcess unit(PARLEY_SIM_PATH, {});
  std::string all_bytes;
  for (int c = 0; c < 256; ++c) all_bytes += static_cast<char>(c);  // the LF splits it in two
  std::string script =
      dir.Write("odd.txt", std::string(1 << 20, 'A') + "\n" + all_bytes + "\nVER?\n");
  std::string serial = kTool + " serial --device " + unit.first_line();
  auto odd = testing::RunTool(serial + " --json --keep-going --script " + script);
  auto records = JsonLines(odd.output);
  ASSERT_EQ(records.size(), 4u);
  EXPECT_EQ(records[0]["command"].get<std::string>().size(), 1u << 20);
  EXPECT_EQ(records[1]["command"].get<std::string>(), all_bytes.substr(0, 10));
  EXPECT_EQ(records[3]["response"], "parley-sim 1.0");
  EXPECT_EQ(odd.exit_code, 0) << odd.output.substr(0, 500);

  auto empty = testing::RunTool(serial + " - < /dev/null");
  EXPECT_EQ(empty.exit_code, 2);
  EXPECT_NE(empty.output.find("the script had none"), std::string::npos) << empty.output;
  auto missing = testing::RunTool(serial + " --script " + dir.Write("x", "") + ".absent");
  EXPECT_EQ(missing.exit_code, 1);
  EXPECT_NE(missing.output.find("cannot read the script"), std::string::npos) << missing.output;

  std::string many;
  for (int i = 0; i < 200; ++i) many += "VER?\n";
  auto piped = testing::RunTool("sh -c '" + serial + " --json --script " +
                                dir.Write("many.txt", many) + " | head -1; echo status=$?'");
  ASSERT_EQ(JsonLines(piped.output.substr(0, piped.output.find('\n') + 1)).size(), 1u);
  EXPECT_NE(piped.output.find("\nstatus=0\n"), std::string::npos) << piped.output;
}

// The trace: one entry a line, tabs as tabs, appended to --trace-file run after run.
TEST(ParleyctlTrace, EntriesOneALineAndAppendedToTheFile) {
  TempDir dir;
  sim::SimProcess unit(PARLEY_SIM_PATH, {});
  std::string serial = kTool + " serial --device " + unit.first_line() + " --trace-file " +
                       dir.Write("trace.log", "earlier\n");
  ASSERT_EQ(testing::RunTool(serial + " VER?").exit_code, 0);
  auto shown = testing::RunTool(serial + " --trace PING 2>&1");
  EXPECT_EQ(shown.exit_code, 0);
  EXPECT_NE(shown.output.find("\tWRIT\tPING\n"), std::string::npos) << shown.output;
  EXPECT_NE(shown.output.find("\tREAD\tPING\\r\\n"), std::string::npos) << shown.output;
  std::istringstream file(dir.Read("trace.log"));
  std::vector<std::string> lines;
  for (std::string line; std::getline(file, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 5u) << dir.Read("trace.log");
  EXPECT_EQ(lines[0], "earlier");
  for (std::size_t i = 1; i < lines.size(); ++i) {
    EXPECT_EQ(lines[i][4], '-') << lines[i];  // each starts with its date
    EXPECT_NE(lines[i].find('\t'), std::string::npos) << lines[i];
  }
  EXPECT_NE(lines[1].find("WRIT\tVER?"), std::string::npos);
  EXPECT_NE(lines[3].find("WRIT\tPING"), std::string::npos);
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

  // `from`: where in the output to look for it (output().size() before typing: only what follows).
  bool ReadUntil(const std::string& until, std::chrono::milliseconds limit, std::size_t from = 0) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (output_.find(until, from) == std::string::npos) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          end - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      pollfd p{master_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      char buffer[512];
      ssize_t n = read(master_, buffer, sizeof buffer);
      if (n <= 0) return output_.find(until, from) != std::string::npos;  // the tool is gone
      output_.append(buffer, static_cast<std::size_t>(n));
    }
    return true;
  }
  void Type(const std::string& keys) { (void)!write(master_, keys.data(), keys.size()); }
  void Signal(int number) { kill(pid_, number); }
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

// The shell driven through a pipe: commands as typed (also one that starts with ':' but is not
// the shell's), :set refusing what the command line would, :get, :trace, and the exit status
// of the first failed line.
TEST(ParleyctlShell, PipedCommandsSettingsAndTrace) {
  sim::SimProcess unit(PARLEY_SIM_PATH, {"--answer", ":MEAS:VOLT?=2.5"});
  std::string lines =
      "VER?\n"
      ":set bit-rate 1234\n"
      ":set timeout 30\n"
      ":get RespTimeout\n"
      ":set CmdTerm \\\\n\n"
      ":get cmd-term\n"
      ":set CmdTerm \\\\r\\\\n\n"
      "\n"
      "# a comment\n"
      ":MEAS:VOLT?\n"
      ":trace\n"
      ":get NoSuch\n"
      ":mode\n";
  auto run = testing::RunTool("printf '" + lines + "' | " + kTool + " shell --device " +
                              unit.first_line());
  EXPECT_EQ(run.exit_code, 2) << run.output;
  for (const char* text : {"parley-sim 1.0\n", "stdin:2: BitRate: 1234 not in {1200,",
                           "RespTimeout = 30\nRespTimeout = 30\n", "CmdTerm = \\n\n",
                           "CmdTerm = \\r\\n\n2.5\n", "\tWRIT\tVER?\n", "\tREAD\t:MEAS:VOLT?",
                           "no setting 'NoSuch'", "mode 2: the remote unit over serial\n"}) {
    EXPECT_NE(run.output.find(text), std::string::npos) << text << "\n" << run.output;
  }
  // :trace shows what was recorded since the previous :trace only.
  auto twice = testing::RunTool("printf 'PING\\n:trace\\n:trace\\n' | " + kTool +
                                " shell --device " + unit.first_line());
  EXPECT_EQ(twice.exit_code, 0) << twice.output;
  auto first = twice.output.find("\tWRIT\tPING\n");
  ASSERT_NE(first, std::string::npos) << twice.output;
  EXPECT_EQ(twice.output.find("\tWRIT\tPING\n", first + 1), std::string::npos) << twice.output;
}

// Standard input closed at once ends the shell quietly; a reader that goes away after one line
// ends it without a hang; a missing device is refused before the first prompt.
TEST(ParleyctlShell, ClosedInputAndOutput) {
  sim::SimProcess unit(PARLEY_SIM_PATH, {});
  std::string shell = kTool + " shell --device " + unit.first_line();
  auto closed = testing::RunTool(shell + " < /dev/null");
  EXPECT_EQ(closed.exit_code, 0);
  EXPECT_EQ(closed.output, "");
  std::string many;
  for (int i = 0; i < 200; ++i) many += "VER?\\n";
  auto piped = testing::RunTool("sh -c \"printf '" + many + "' | " + shell +
                                " | head -1; echo status=\\$?\"");
  EXPECT_EQ(piped.output, "parley-sim 1.0\nstatus=0\n");
  auto missing = testing::RunTool(kTool + " shell --device /nonexistent/tty < /dev/null");
  EXPECT_EQ(missing.exit_code, 4);
  EXPECT_NE(missing.output.find("no such device"), std::string::npos) << missing.output;
}

// On a terminal: the prompt, Ctrl-C halts the waiting command and the shell goes on, Ctrl-C at
// the prompt drops the line being typed, and the history is kept under $XDG_STATE_HOME.
TEST(ParleyctlShell, TerminalHaltsACommandAndKeepsHistory) {
  TempDir dir;
  std::string scenario =
      dir.Write("slow.toml", "[answers]\n\"SLOW?\" = { text = \"late\", delay = 3000 }\n");
  sim::SimProcess unit(PARLEY_SIM_PATH, {"--scenario", scenario});
  TerminalRun run("env XDG_STATE_HOME=" + dir.path() + " " + kTool + " shell --timeout 120" +
                  " --device " + unit.first_line());
  ASSERT_TRUE(run.started());
  const std::string prompt = "parleyctl 2> ";
  // Types `keys` at the next prompt, then reads until `until` follows them.
  std::size_t seen = 0;  // the output up to here was looked at
  auto after = [&](const std::string& text) {
    if (!run.ReadUntil(text, std::chrono::seconds(10), seen)) return false;
    seen = run.output().find(text, seen) + text.size();
    return true;
  };
  auto at_prompt = [&](const std::string& keys, const std::string& until) {
    if (!after(prompt)) return false;
    run.Type(keys);
    return after(until);
  };
  ASSERT_TRUE(at_prompt("VER?\r", "parley-sim 1.0")) << run.output();
  ASSERT_TRUE(at_prompt("SLOW?\r", "Waiting for response")) << run.output();
  run.Type("\x03");
  ASSERT_TRUE(after("User canceled operation.")) << run.output();
  ASSERT_TRUE(at_prompt("PI", "PI")) << run.output();
  run.Type("\x03");  // drops "PI"
  ASSERT_TRUE(at_prompt("PING\r", "PONG")) << run.output();
  EXPECT_EQ(run.output().find("PIPING"), std::string::npos) << run.output();
  ASSERT_TRUE(at_prompt(":quit\r", "\n")) << run.output();
  EXPECT_EQ(run.ExitCode(), 130);  // the first failed line's status
  EXPECT_NE(dir.Read("parleyctl/history").find("VER?\nSLOW?\nPING\n:quit\n"), std::string::npos)
      << dir.Read("parleyctl/history");

  // SIGTERM at the prompt ends the shell.
  TerminalRun stopped("env XDG_STATE_HOME=" + dir.path() + " " + kTool + " shell --device " +
                      unit.first_line());
  ASSERT_TRUE(stopped.ReadUntil(prompt, std::chrono::seconds(10))) << stopped.output();
  stopped.Signal(SIGTERM);
  EXPECT_EQ(stopped.ExitCode(), 130) << stopped.output();
}

// A profile gives the link settings; the command line overrides them; every mistake names the
// file and line, and what is allowed.
TEST(ParleyctlProfile, SettingsFromTheFileAndItsMistakes) {
  TempDir dir;
  sim::SimProcess unit(PARLEY_SIM_PATH, {"--resp-term", "\\r\\n]"});
  std::string station = dir.Write("station.toml",
                                  "# bench 3\ndevice = \"/nonexistent/tty\"\n"
                                  "BitRate = 19200\ntimeout = 30\n"
                                  "resp-term = '\\r\\n]'\nhost = \"127.0.0.1\"\n");
  auto good = testing::RunTool(kTool + " serial --profile " + station + " --device " +
                               unit.first_line() + " --json VER?");
  EXPECT_EQ(good.exit_code, 0) << good.output;
  EXPECT_NE(good.output.find("\"response\":\"parley-sim 1.0\""), std::string::npos) << good.output;
  auto overridden = testing::RunTool(kTool + " serial --profile " + station + " VER?");
  EXPECT_EQ(overridden.exit_code, 4) << overridden.output;  // the profile's device is used

  const Case cases[] = {
      {"absent.toml", 2, "cannot read "},
      {"x = \n", 2, ":1:5: syntax error"},
      {"device = \"d\"\ntiemout = 30\n", 2,
       ":2: unknown key 'tiemout'; a profile holds link settings: device, line, bit-rate"},
      {"timeout = 5\n", 2, ":1: bad value for timeout: 5 not in {10,30,60,120,480}"},
      {"\n\nparity = \"x\"\n", 2, ":3: bad value for parity: x not in {n,o,e}"},
      {"srq = 1\n", 2, ":1: srq is a switch: true or false"},
      {"bit-rate = true\n", 2, ":1: bit-rate takes one value"},
      {"json = true\n", 2, "unknown key 'json'"},
      {"[serial]\ndevice = \"d\"\n", 2, ":1: unknown key 'serial'"},
      {"gpib-address = 9\naddress = 3\n", 2, ":2: address sets the same setting as gpib-address"},
  };
  for (const auto& c : cases) {
    std::string file =
        c.args == "absent.toml" ? dir.path() + "/absent.toml" : dir.Write("bad.toml", c.args);
    auto run = testing::RunTool(kTool + " tcp --profile " + file + " VER?");
    EXPECT_EQ(run.exit_code, c.exit_code) << c.args << "\n" << run.output;
    EXPECT_NE(run.output.find(c.says), std::string::npos) << c.args << "\n" << run.output;
  }
}

// One scenario file drives the unit: its answers, a delayed answer, the unknown answer, and an
// instrument's status-byte sequence read through the shell; its mistakes name file and line.
TEST(ParleyctlScenario, AnswersDelaysAndStatusBytesFromOneFile) {
  TempDir dir;
  std::string scenario = dir.Write("rehearsal.toml",
                                   "[unit]\nunknown = \"ERR\"\n"
                                   "[answers]\n\"VER?\" = \"bench 2.1\"\n"
                                   "\"MEAS?\" = { text = '+1.2\\x21', delay = 600 }\n"
                                   "[gpib.status]\n9 = [0x01, 0x44]\n");
  sim::SimProcess unit(PARLEY_SIM_PATH, {"--scenario", scenario});
  auto run = testing::RunTool(kTool + " serial --json --device " + unit.first_line() +
                              " VER? MEAS? OTHER");
  EXPECT_EQ(run.exit_code, 0) << run.output;
  auto records = JsonLines(run.output);
  ASSERT_EQ(records.size(), 3u) << run.output;
  EXPECT_EQ(records[0]["response"], "bench 2.1");
  EXPECT_EQ(records[1]["response"], "+1.2!");
  EXPECT_GE(records[1]["elapsed_ms"].get<int>(), 550);  // the answer's own delay applies
  EXPECT_EQ(records[2]["response"], "ERR");
  auto polls = testing::RunTool("printf ':spoll\\n:spoll\\n:spoll\\n' | " + kTool +
                                " shell --mode 4 --gpib-address 9 --device " + unit.first_line());
  EXPECT_EQ(polls.output, "1 (0x01)\n68 (0x44)\n2 (0x02)\n") << polls.output;

  const Case bad[] = {
      {"delay = 3\n", 2, ":1: 'delay' stands outside a table; the tables are unit, answers"},
      {"[unit]\ndelya = 3\n", 2, ":2: unknown key 'delya' in [unit]; allowed: delay, unknown"},
      {"[answers]\n\"A\" = { text = \"x\", dealy = 3 }\n", 2, ":2: unknown key 'dealy'"},
      {"[faults]\nsplit = -1\n", 2, ":2: split takes a whole number from 0 to 65536"},
      {"[gpib]\nabsent = [31]\n", 2, ":2: an address takes a whole number from 0 to 30"},
      {"[gpib.status]\n9 = [256]\n", 2, ":2: a status byte takes a whole number from 0 to 255"},
      {"[unit]\nunknown = 'a\\q'\n", 2, ":2: unknown: unknown escape \\q"},
      {"[unit\n", 2, ":1:6: syntax error"},
  };
  for (const auto& c : bad) {
    auto sim = testing::RunTool(std::string(PARLEY_SIM_PATH) + " --scenario " +
                                dir.Write("bad.toml", c.args));
    EXPECT_EQ(sim.exit_code, c.exit_code) << c.args << "\n" << sim.output;
    EXPECT_NE(sim.output.find(c.says), std::string::npos) << c.args << "\n" << sim.output;
  }
}

}  // namespace
}  // namespace parley
