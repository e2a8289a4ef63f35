// The command table of the tool. Each transport's commands live in their own file.
#include "cli.hpp"
#include "serial_cmd.hpp"

namespace parley::cli {

int RunDemo(const Options& options);

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
        "parley demo [--trace]",
        "shows the library at work against its built-in simulators",
        {"trace", "help"},
        RunDemo},
       {"serial",
        "parley serial --device PATH [--timeout S] [--line 9600,o,7,1] [--cmd-term T] "
        "[--resp-term T] [--remove-extra-char] [--raw] [--trace] COMMAND...",
        "runs mode-2 transactions over a serial device (escapes \\r \\n \\xNN in texts)",
        {"remove-extra-char", "raw", "trace", "help"},
        RunSerial}},
      GpibCommands(),
  });
}

}  // namespace parley::cli
