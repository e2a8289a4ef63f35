// parleyctl: run transactions with a remote unit or a GPIB instrument from a shell.
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "cli.hpp"

namespace {

void PrintHelp(std::ostream& out) {
  out << "parleyctl - command/response transactions with a remote test unit or GPIB instrument\n\n"
         "usage: parleyctl <command> [options]\n\ncommands:\n";
  for (const auto& c : parley::cli::AllCommands()) {
    out << "  " << c.usage << "\n      " << c.summary << "\n";
  }
  out << "\nErrors are printed as their number, message and source; the exit status is then 1\n"
         "(2 for a usage mistake).\n";
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty() || args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
    PrintHelp(std::cout);
    return args.empty() ? 2 : 0;
  }
  for (const auto& command : parley::cli::AllCommands()) {
    if (command.name != args[0]) continue;
    try {
      auto options = parley::cli::Options::Parse({args.begin() + 1, args.end()}, command.flags);
      if (options.Has("help")) {
        std::cout << "usage: " << command.usage << "\n" << command.summary << "\n";
        return 0;
      }
      return command.run(options);
    } catch (const parley::AutomationError& e) {
      parley::cli::PrintError(std::cerr, e);
      return 1;
    } catch (const std::invalid_argument& e) {
      std::cerr << "parleyctl " << command.name << ": " << e.what() << "\n";
      return 2;
    } catch (const std::exception& e) {
      std::cerr << "parleyctl " << command.name << ": " << e.what() << "\n";
      return 1;
    }
  }
  std::cerr << "parleyctl: unknown command '" << args[0] << "' (see parleyctl --help)\n";
  return 2;
}
