// The command table of the tool. Each transport's commands live in their own file.
#include "cli.hpp"

namespace parley::cli {

int RunDemo(const Options& options);

std::vector<Command> AllCommands() {
  return {
      {"demo",
       "parley demo [--trace]",
       "shows the library at work against its built-in simulators",
       {"trace", "help"},
       RunDemo},
  };
}

}  // namespace parley::cli
