// The command table of the tool. Each transport's commands live in their own file.
#include "cli.hpp"
#include "serial_cmd.hpp"

namespace parley::cli {

int RunDemo(const Options& options);

std::vector<Command> AllCommands() {
  return {
      {"demo",
       "parley demo [--trace]",
       "shows the library at work against its built-in simulators",
       {"trace", "help"},
       RunDemo},
      {"serial",
       "parley serial --device PATH [--timeout S] [--line 9600,o,7,1] [--cmd-term T] "
       "[--resp-term T] [--remove-extra-char] [--raw] [--trace] COMMAND...",
       "runs mode-2 transactions over a serial device (escapes \\r \\n \\xNN in texts)",
       {"remove-extra-char", "raw", "trace", "help"},
       RunSerial},
  };
}

}  // namespace parley::cli
