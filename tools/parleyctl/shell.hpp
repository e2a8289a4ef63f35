// `parleyctl shell`: an interactive session holding one open interface.
#pragma once

#include <vector>

#include "cli.hpp"

namespace parley::cli {

std::vector<Command> ShellCommands();

}  // namespace parley::cli
