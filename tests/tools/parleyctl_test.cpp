// parleyctl as a user runs it, against parley-sim: option mistakes, exit codes, and the
// progress line and Ctrl-C on a pseudo-terminal.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "parley/address.hpp"
#include "parley/gpib.hpp"
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
      {"tcp --port 12x VER?", 2, "--port"},
      {"serial --device /dev/null --parity x VER?", 2, "--parity"},
      {"tcp --BitRate 19200 VER?", 2, "unknown option --BitRate"},
      {"serial --device /dev/null", 2, "give at least one COMMAND"},
      {"serial VER?", 2, "--device PATH is required"},
      {"ports frob", 2, "expected nothing, 'lock N' or 'unlock N'"},
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
  const std::string& path() const { return path_; }
  std::string Write(const std::string& name, const std::string& content) const {
    std::string file = path_ + "/" + name;
    std::filesystem::create_directories(std::filesystem::path(file).parent_path());
    std::ofstream(file, std::ios::binary) << content;
    return file;
  }
  std::string Read(const std::string& name) const {
    std::ifstream in(path_ + "/" + name, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
  }
  void Link(const std::string& name, const std::string& target) const {
    std::filesystem::path link = path_ + "/" + name;
    std::filesystem::create_directories(link.parent_path());
    std::filesystem::create_directory_symlink(target, link);
  }

 private:
  std::string path_;
};

// Numbers past every range (ones that would wrap round when narrowed, or overflow the
// simulator's clock) and files that are no answer table or script are refused by both tools,
// with the option named, instead of running with some other value, reading nothing or hanging.
TEST(Tools, HostileValuesAndFilesAreRefused) {
  TempDir dir;
  std::string huge = dir.Write("huge.txt", "");
  std::filesystem::resize_file(huge, (16u << 20) + 1);  // sparse: costs no disk
  std::string bad_line = dir.Write("answers.txt", "A?=1\n# note\nB?=x\\q\n");
  std::string fifo = dir.path() + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::string deep = dir.Write(
      "deep.toml", "# 50 000 levels in 100 KB\n" + [] {
        std::string key;
        for (int i = 0; i < 50000; ++i) key += "a.";
        return key;
      }() + "a = 1\n");
  std::string loop = dir.path() + "/loop";
  std::filesystem::create_symlink(loop, loop);
  const std::string sim = "timeout 10 " + std::string(PARLEY_SIM_PATH);
  const std::string serial = kTool + " serial --device /dev/null ";
  const Case cases[] = {
      {serial + "--timeout 4294967306 VER?", 2, "not in {10,30,60,120,480}"},
      {serial + "--timeout 1.5 VER?", 2, "1.5 not in {10,30,60,120,480}"},
      {serial + "--mode 4294967298 VER?", 2, "not in {2,1,4}"},
      {serial + "--gpib-address 4294967297 VER?", 2, "not in range 1 to 30"},
      {serial + "--dto 99999999999999999999 VER?", 2, "--dto"},
      {serial + "--comm-port 4294967297 VER?", 2, "not in range 1 to 16"},
      {serial + "--port-map 4294967297=/dev/null VER?", 2, "N from 1 to 16"},
      {serial + "--port-map 3 VER?", 2, "--port-map expects N=DEVICE"},
      {serial + "--script " + dir.path() + " VER?", 1, "it is a directory"},
      {kTool + " tcp --port 4294973296 VER?", 2, "not in range 1 to 64000"},
      {kTool + " ports lock 4294967298", 2, "port number from 1 to 16"},
      {kTool + " ports --hold 5", 2, "--hold goes with 'lock N'"},
      {sim + " --delay 9223372036854775807", 2,
       "--delay expects a whole number from 0 to 86400000"},
      {sim + " --chunk-gap 9223372036854775807", 2, "--chunk-gap expects"},
      {sim + " --delay 99999999999999999999", 2, "--delay expects"},
      {sim + " --delay ' 5'", 2, "--delay expects"},
      {sim + " --gpib-answer-time -1", 2, "--gpib-answer-time expects"},
      {sim + " --gpib-absent 4294967297", 2, "from 0 to 30"},
      {sim + " --gpib-ready-after 4294967296", 2, "--gpib-ready-after expects"},
      {sim + " --split 4294967297", 2, "--split expects"},
      {sim + " --tcp-port 65536", 2, "from 0 to 65535"},
      {sim + " --answers " + dir.path(), 2, "it is a directory"},
      {sim + " --answers /dev/zero", 2, "not a regular file"},
      {sim + " --answers " + huge, 2, "is larger than 16 MiB"},
      {sim + " --answers " + dir.path() + "/absent", 2, "cannot read the answer table"},
      {sim + " --answers " + bad_line, 2, bad_line + ":3: unknown escape \\q"},
      // Every file the tools take goes through one reader: a FIFO without a writer, a link
      // that loops and a nesting that would overflow the parser are refused at once.
      {sim + " --answers " + fifo, 2, "cannot read the answer table " + fifo + ": it is a FIFO"},
      {sim + " --scenario " + fifo, 2, "cannot read the scenario " + fifo + ": it is a FIFO"},
      {sim + " --scenario " + deep, 2, deep + ":2: nested deeper than 64 levels"},
      {"timeout 10 " + serial + "--script " + fifo + " VER?", 1, "it is a FIFO"},
      {"timeout 10 " + serial + "--profile " + fifo + " VER?", 2,
       "cannot read the profile " + fifo + ": it is a FIFO"},
      {serial + "--profile " + deep + " VER?", 2, deep + ":2: nested deeper than 64 levels"},
      {serial + "--profile " + loop + " VER?", 2, "symbolic link that loops"},
  };
  for (const auto& c : cases) {
    auto run = testing::RunTool(c.args);
    EXPECT_EQ(run.exit_code, c.exit_code) << c.args << "\n" << run.output;
    EXPECT_NE(run.output.find(c.says), std::string::npos) << c.args << "\n" << run.output;
  }
}

TEST(ParleyctlOptions, HelpListsUnitsDefaultsAllowedValuesAndExitCodes) {
  auto run = testing::RunTool(kTool + " serial --help");
  EXPECT_EQ(run.exit_code, 0);
  for (const char* text :
       {"--timeout,--RespTimeout SECONDS", "10, 30, 60, 120 or 480 seconds; with --plain",
        "--plain,--PlainInstrument", "--verify-echo,--VerifyEcho", "--deadline SECONDS",
        "(default 10)", "--bit-rate,--BitRate", "--comm-port,--CommPort N:1 to 16",
        "--port-map N=DEVICE", "Exit status: 0 success; 2 usage", "130 canceled by the user"}) {
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

// Each client of the simulator starts afresh: an unterminated command that a client left when it
// closed the pseudo-terminal or its connection is not glued to the next client's first command
// (whose answer would otherwise be the unknown command's "OK", passed as a success).
TEST(ParleySim, ClientsStartAfresh) {
  sim::SimProcess unit(PARLEY_SIM_PATH, {"--tcp-port", "0"});
  std::string port = unit.ReadLine(std::chrono::seconds(5));
  ASSERT_FALSE(port.empty());
  const std::string leftover = "R?VER?VER?VER?";
  int pty = open(unit.first_line().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(pty, 0);
  ASSERT_EQ(write(pty, leftover.data(), leftover.size()), static_cast<ssize_t>(leftover.size()));
  close(pty);
  auto serial = testing::RunTool(kTool + " serial --device " + unit.first_line() + " VER?");
  EXPECT_EQ(serial.output, "parley-sim 1.0\n");

  int tcp = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(std::stoi(port)));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(connect(tcp, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
  ASSERT_EQ(send(tcp, leftover.data(), leftover.size(), 0), static_cast<ssize_t>(leftover.size()));
  close(tcp);
  auto ether = testing::RunTool(kTool + " tcp --port " + port + " VER?");
  EXPECT_EQ(ether.output, "parley-sim 1.0\n");
}

// `ports` on a tree laid out as sysfs and udev lay it out: a UART, a port without one, a USB
// adapter with its stable name, a USB modem, and names that are no serial device.
TEST(ParleyctlPorts, ListsDevicesWithSysfsDetailsAndPortNumbers) {
  TempDir root;
  const std::string uart = "sys/devices/pnp0/00:01";
  root.Link(uart + "/driver", "../../../bus/pnp/drivers/serial");
  root.Link(uart + "/00:01:0/00:01:0.0/subsystem", "../../../../../bus/serial-base");
  root.Link(uart + "/00:01:0/00:01:0.0/driver", "../../../../../bus/serial-base/drivers/port");
  root.Write(uart + "/00:01:0/00:01:0.0/tty/ttyS0/type", "4\n");
  root.Link(uart + "/00:01:0/00:01:0.0/tty/ttyS0/device", "../../../00:01:0.0");
  root.Link("sys/class/tty/ttyS0", "../../devices/pnp0/00:01/00:01:0/00:01:0.0/tty/ttyS0");
  root.Write("sys/devices/platform/serial8250/tty/ttyS1/type", "0\n");
  root.Link("sys/class/tty/ttyS1", "../../devices/platform/serial8250/tty/ttyS1");
  const std::string usb = "sys/devices/pci0000:00/usb1/";
  for (auto [file, text] : {std::pair{"idVendor", "0403"},
                            {"idProduct", "6001"},
                            {"manufacturer", "FTDI"},
                            {"product", "FT232R USB UART"},
                            {"serial", "A50285BI"}}) {
    root.Write(usb + "1-1/" + file, std::string(text) + "\n");
  }
  root.Link(usb + "1-1/1-1:1.0/ttyUSB0/driver", "../../../../../bus/usb-serial/drivers/ftdi_sio");
  root.Link(usb + "1-1/1-1:1.0/ttyUSB0/tty/ttyUSB0/device", "../../../ttyUSB0");
  root.Link("sys/class/tty/ttyUSB0",
            "../../devices/pci0000:00/usb1/1-1/1-1:1.0/ttyUSB0/tty/ttyUSB0");
  root.Write(usb + "1-2/idVendor", "2341\n");
  root.Write(usb + "1-2/idProduct", "0043\n");
  root.Write(usb + "1-2/product", "Uno\n");
  root.Link(usb + "1-2/1-2:1.0/driver", "../../../../../bus/usb/drivers/cdc_acm");
  root.Link(usb + "1-2/1-2:1.0/tty/ttyACM0/device", "../../../1-2:1.0");
  root.Link("sys/class/tty/ttyACM0", "../../devices/pci0000:00/usb1/1-2/1-2:1.0/tty/ttyACM0");
  root.Write("sys/class/tty/tty0/dev", "4:0\n");
  root.Write("sys/class/tty/ttyUSB1/dev", "188:1\n");  // no /dev node: not present
  for (const char* node : {"ttyS0", "ttyS1", "ttyUSB0", "ttyACM0", "tty0"}) {
    root.Write(std::string("dev/") + node, "");
  }
  const std::string by_id = "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0";
  std::filesystem::create_directories(root.path() + "/dev/serial/by-id");
  std::filesystem::create_symlink("../../ttyUSB0", root.path() + by_id);

  auto text = testing::RunTool(kTool + " ports --root " + root.path() + " --port-map 3=" + by_id +
                               " --port-map 1=/dev/ttyACM0");
  EXPECT_EQ(text.exit_code, 0);
  EXPECT_EQ(text.output,
            "/dev/ttyACM0 (port 1)\n"
            "  driver:    cdc_acm\n"
            "  usb:       2341:0043 Uno\n"
            "/dev/ttyS0 (no port number)\n"
            "  driver:    serial\n"
            "/dev/ttyUSB0 (port 3)\n"
            "  driver:    ftdi_sio\n"
            "  usb:       0403:6001 FTDI FT232R USB UART\n"
            "  serial:    A50285BI\n"
            "  by-id:     " +
                by_id +
                "\n"
                "connection manager: not asked (--root)\n");

  auto json = testing::RunTool(kTool + " ports --json --root " + root.path());
  ASSERT_EQ(json.exit_code, 0) << json.output;
  auto listing = nlohmann::json::parse(json.output);
  ASSERT_EQ(listing["devices"].size(), 3u) << json.output;
  const auto& usb0 = listing["devices"][2];
  EXPECT_EQ(usb0["device"], "/dev/ttyUSB0");
  EXPECT_EQ(usb0["vendor_id"], "0403");
  EXPECT_EQ(usb0["serial"], "A50285BI");
  EXPECT_TRUE(usb0["ports"].empty());
  EXPECT_EQ(usb0["by_id"][0], by_id);
  EXPECT_TRUE(usb0["locked_by"].is_null());
  EXPECT_EQ(listing["devices"][1]["ports"], nlohmann::json::array({1}));  // ttyS0 by default
  EXPECT_TRUE(listing["devices"][0]["serial"].is_null());
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
  // The bytes after the LF hold "\\]", no escape: that line alone is refused, unsent.
  EXPECT_EQ(records[2]["stage"], "not sent");
  EXPECT_NE(records[2]["message"].get<std::string>().find("unknown escape \\]"), std::string::npos);
  EXPECT_EQ(records[3]["response"], "parley-sim 1.0");
  EXPECT_EQ(odd.exit_code, 2) << odd.output.substr(0, 500);

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
  std::string mapped = dir.Write(
      "mapped.toml",
      "comm-port = 5\nresp-term = '\\r\\n]'\nport-map = [\"5=" + unit.first_line() + "\"]\n");
  auto by_number = testing::RunTool(kTool + " serial --profile " + mapped + " PING");
  EXPECT_EQ(by_number.exit_code, 0) << by_number.output;
  EXPECT_EQ(by_number.output, "PONG\n");

  const Case cases[] = {
      {"absent.toml", 2, "cannot read "},
      {"x = \n", 2, ":1:5: syntax error"},
      {"device = \"d\"\ntiemout = 30\n", 2,
       ":2: unknown key 'tiemout'; a profile holds link settings: device, comm-port"},
      {"timeout = 5\n", 2, ":1: bad value for timeout: 5 not in {10,30,60,120,480}"},
      {"\n\nparity = \"x\"\n", 2, ":3: bad value for parity: x not in {n,o,e}"},
      {"srq = 1\n", 2, ":1: srq is a switch: true or false"},
      {"bit-rate = true\n", 2, ":1: bit-rate takes one value"},
      {"json = true\n", 2, "unknown key 'json'"},
      {"[serial]\ndevice = \"d\"\n", 2, ":1: unknown key 'serial'"},
      {"gpib-address = 9\naddress = 3\n", 2, ":2: address sets the same setting as gpib-address"},
      {"\nline = \"19200,x,8,1\"\n", 2, ":2: bad value for line: --line parity must be n, o or e"},
      {"line = \"19200,n,8\"\n", 2, ":1: bad value for line: --line expects RATE,PARITY,DATA,STOP"},
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
      {"[faults]\nsplit = -1\n", 2, ":2: split takes a whole number from 0 to 16777216"},
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

namespace parley {
namespace {

// A zero-padded number means its decimal value in every way a number reaches the tools: never
// octal ("010" is ten, "09" nine), on the command line, in a profile, in the shell's :set and in
// the simulator's options. The simulated meter names its address in its *IDN? answer.
TEST(ToolNumbers, ZeroPaddedValuesAreDecimalInEveryPath) {
  TempDir dir;
  sim::SimProcess unit(PARLEY_SIM_PATH, {"--tcp-port", "0", "--gpib-absent", "010"});
  std::string port = unit.ReadLine(std::chrono::seconds(5));
  ASSERT_FALSE(port.empty());
  const std::string link = " --mode 1 --device " + unit.first_line();
  const std::string serial = kTool + " serial" + link;
  const std::string shell = kTool + " shell" + link;
  const std::string profile =
      dir.Write("station.toml", "gpib-address = \"012\"\ntimeout = \"010\"\n");
  const Case cases[] = {
      {serial + " --gpib-address 012 *IDN?", 0, "SimulatedMeter,12,"},
      {serial + " --gpib-address 09 *IDN?", 0, "SimulatedMeter,9,"},
      {serial + " --gpib-address 0008 --timeout 010 *IDN?", 0, "SimulatedMeter,8,"},
      {serial + " --profile " + profile + " *IDN?", 0, "SimulatedMeter,12,"},
      {"printf ':set gpib-address 011\\n*IDN?\\n' | " + shell, 0, "SimulatedMeter,11,"},
      {"printf ':set DTO 010\\n:get DTO\\n' | " + shell, 0, "DTO = 10\n"},
      // --gpib-absent 010 took address 10 away, not 8.
      {serial + " --gpib-address 10 *IDN?", 5, "GPIB device did not response"},
      {kTool + " tcp --port 0" + port + " VER?", 0, "parley-sim 1.0"},
      {serial + " --gpib-address 0x0A *IDN?", 2, "0x0A is not a whole number"},
      {"printf ':set gpib-address 0x0A\\n' | " + shell, 2, "0x0A is not a whole number"},
  };
  for (const auto& c : cases) {
    auto run = testing::RunTool(c.args);
    EXPECT_EQ(run.exit_code, c.exit_code) << c.args << "\n" << run.output;
    EXPECT_NE(run.output.find(c.says), std::string::npos) << c.args << "\n" << run.output;
  }
}

// A malformed escape is refused the same way wherever a text reaches a tool, before anything
// is sent: on the command line, in a profile (with its line), in the shell and in the simulator.
TEST(ToolEscapes, RefusedAlikeInEveryPath) {
  TempDir dir;
  sim::SimProcess unit(PARLEY_SIM_PATH, {});
  const std::string serial = kTool + " serial --device " + unit.first_line();
  const std::string profile = dir.Write("station.toml", "\nresp-term = '\\r\\n\\q'\n");
  const Case cases[] = {
      {serial + " --cmd-term '\\q' VER?", 2, "--cmd-term: unknown escape \\q"},
      {serial + " --resp-term '\\x4' VER?", 2, "--resp-term: \\x needs two hex digits"},
      {serial + " --cmd-term 'a\\' VER?", 2, "a lone backslash"},
      {serial + " --profile " + profile + " VER?", 2,
       profile + ":2: bad value for resp-term: unknown escape \\q"},
      {serial + " 'VER\\q'", 2, "argument 1: unknown escape \\q"},
      {"printf ':set cmd-term \\\\q\\nVER?\\n' | " + kTool + " shell --device " + unit.first_line(),
       2, "CmdTerm: unknown escape \\q"},
      {std::string(PARLEY_SIM_PATH) + " --cmd-term '\\q'", 2, "unknown escape \\q"},
      {std::string(PARLEY_SIM_PATH) + " --answer 'A=\\x4'", 2, "\\x needs two hex digits"},
  };
  for (const auto& c : cases) {
    auto run = testing::RunTool(c.args);
    EXPECT_EQ(run.exit_code, c.exit_code) << c.args << "\n" << run.output;
    EXPECT_NE(run.output.find(c.says), std::string::npos) << c.args << "\n" << run.output;
  }
}

// A mode-3 command past the direct-GPIB limit is the user's mistake, refused before the port
// opens (exit 2), not an error the instrument reported (6); one at the limit is sent.
TEST(ParleyctlGpib, OverlongCommandIsRefusedAsAUsageMistake) {
  const std::string gpib = kTool + " gpib --driver sim --no-response ";
  const Case cases[] = {
      {gpib + std::string(kMaxGpibDirectCommandLength + 1, 'A'), 2,
       "argument 1: a command of 98304 bytes; direct GPIB takes at most 98303 (nothing sent)"},
      {gpib + "*RST " + std::string(kMaxGpibDirectCommandLength + 1, 'A'), 2, "argument 2:"},
      {gpib + std::string(kMaxGpibDirectCommandLength, 'A'), 0, ""},
  };
  for (const auto& c : cases) {
    auto run = testing::RunTool(c.args);
    EXPECT_EQ(run.exit_code, c.exit_code) << run.output;
    EXPECT_NE(run.output.find(c.says), std::string::npos) << run.output;
  }
}

// An instrument named by one address: the unit on a terminal, a GPIB instrument on the
// simulated bus, and each kind of mistake with its exit code.
TEST(ParleyctlAddress, QueryWriteAndReadByAddress) {
  sim::SimProcess unit(PARLEY_SIM_PATH, {"--resp-term", "\\r\\n]"});
  auto query = testing::RunTool(kTool + " query unit::asrl" + unit.first_line() +
                                "::instr --resp-term '\\r\\n]' --line 19200,n,8,1 VER? PING");
  EXPECT_EQ(query.exit_code, 0) << query.output;
  EXPECT_EQ(query.output, "parley-sim 1.0\nPONG\n");

  auto run = [&](const std::string& verb, const std::string& rest) {
    return testing::RunTool(kTool + " " + verb + " GPIB0::4::INSTR --driver sim " + rest);
  };
  EXPECT_EQ(run("query", "'*IDN?'").output, "Parley,SimulatedInstrument,0,1.0\n");
  auto write = run("write", "'VOLT 2.5'");
  EXPECT_EQ(write.exit_code, 0) << write.output;
  EXPECT_EQ(write.output, "");
  EXPECT_EQ(run("read", "--sim-pending left").output, "left\n");
}

TEST(ParleyctlAddress, MistakesAndMissingLinksHaveTheirExitCodes) {
  const Case cases[] = {
      {"query 'GPIB::31::INSTR' '*IDN?'", 2, "position 7: a GPIB primary address 31"},
      {"query 'ASRL1:INSTR' X", 2, "position 6: expected \"::\" after the port number"},
      {"query 'FOO::1' X", 2, "position 1: expected ASRL, TCPIP, GPIB or UNIT"},
      {"query ASRL1::INSTR", 2, "give at least one command"},
      {"query", 2, "give the instrument's ADDRESS"},
      {"read GPIB::4::INSTR X --driver sim", 2, "read takes no command"},
      {"query ASRL/dev/parley-none::INSTR X", 4, "/dev/parley-none: no such device"},
      // The link's own reason comes before the hint.
      {"query TCPIP::127.0.0.1::1::SOCKET X", 4, "connect to 127.0.0.1:1: Connection refused"},
  };
  for (const auto& c : cases) {
    auto run = testing::RunTool(kTool + " " + c.args);
    EXPECT_EQ(run.exit_code, c.exit_code) << c.args << "\n" << run.output;
    EXPECT_NE(run.output.find(c.says), std::string::npos) << c.args << "\n" << run.output;
  }
}

TEST(ParleyctlAddress, ListGivesAddressesThatOpenAsWritten) {
  auto json = testing::RunTool(kTool + " list --json --driver sim");
  ASSERT_EQ(json.exit_code, 0) << json.output;
  auto listed = nlohmann::json::parse(json.output).get<std::vector<std::string>>();
  // --driver sim puts one instrument on the bus, at address 1.
  EXPECT_NE(std::find(listed.begin(), listed.end(), "GPIB0::1::INSTR"), listed.end());
  auto plain = testing::RunTool(kTool + " list --driver sim");
  std::string lines;
  for (const auto& a : listed) {
    lines += a + "\n";
    EXPECT_EQ(ParseAddress(a).mode == korCommModeGPIBDirect, a.rfind("GPIB", 0) == 0) << a;
  }
  EXPECT_EQ(plain.output, lines);
}

TEST(ParleyctlAddress, AProfileNamesTheInstrumentAndOtherCommandsLeaveItAlone) {
  TempDir dir;
  std::string bench = dir.Write("bench.toml", "address = \"GPIB::4::INSTR\"\ndriver = \"sim\"\n");
  auto query = testing::RunTool(kTool + " query --profile " + bench + " '*IDN?'");
  EXPECT_EQ(query.output, "Parley,SimulatedInstrument,0,1.0\n");
  // For gpib, address is the GPIB number: the instrument's text is not refused there.
  auto gpib = testing::RunTool(kTool + " gpib --profile " + bench + " --address 4 '*IDN?'");
  EXPECT_EQ(gpib.exit_code, 0) << gpib.output;
  std::string wrong = dir.Write("wrong.toml", "address = \"GPIB::44::INSTR\"\n");
  auto refused = testing::RunTool(kTool + " query --profile " + wrong + " X");
  EXPECT_EQ(refused.exit_code, 2);
  EXPECT_NE(refused.output.find("wrong.toml:1:"), std::string::npos) << refused.output;
}

}  // namespace
}  // namespace parley
