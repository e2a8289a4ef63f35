// The command table of the tool. Each transport's commands live in their own file.
#include "cli.hpp"
#include "serial_cmd.hpp"

namespace parley::cli {

int RunDemo(const Options& options);
int RunTcp(const Options& options);

namespace {
std::vector<Command> Join(std::initializer_list<std::vector<Command>> groups) {
  std::vector<Command> all;
  for (const auto& group : groups) all.insert(all.end(), group.begin(), group.end());
  return all;
}
}  // namespace

std::vector<Command> AllCommands() {
  return Join({
      {{"demo",
        "parleyctl demo [--trace]",
        "shows the library at work against its built-in simulators",
        {"trace", "help"},
        RunDemo},
       {"serial",
        "parleyctl serial --device PATH [--mode 2|1|4] [--timeout S] [--line 9600,o,7,1] "
        "[--cmd-term T] [--resp-term T] [--remove-extra-char] [--raw] [--trace] "
        "[--gpib-address N] [--dto S] [--itc eoi|cr|lf|crlf] [--no-response] COMMAND...",
        "runs transactions over a serial device: mode 2 to the remote unit, modes 1 and 4 to "
        "a GPIB instrument behind it (escapes \\r \\n \\xNN in texts)",
        {"remove-extra-char", "raw", "trace", "help", "no-response"},
        RunSerial},
       {"tcp",
        "parleyctl tcp [--host H] [--port P] [--bytes] [--timeout S] [--cmd-term T] "
        "[--resp-term T] [--remove-extra-char] [--raw] [--trace] COMMAND...",
        "runs transactions with the remote unit over TCP (default 127.0.0.1:6000); with "
        "--bytes each COMMAND is hex bytes (\"42 00 FF\") and responses print as hex",
        {"bytes", "remove-extra-char", "raw", "trace", "help"},
        RunTcp}},
      GpibCommands(),
  });
}

}  // namespace parley::cli
