// The command table of the tool. Each transport's commands live in their own file.
#include "cli.hpp"
#include "serial_cmd.hpp"
#include "shell.hpp"

namespace parley::cli {

int RunDemo(const Options& options);
int RunTcp(const Options& options);
void DefineTcpCommand(OptionSet& o);
int RunPorts(const Options& options);
std::vector<Command> AddressCommands();
void DefinePortsCommand(OptionSet& o);

namespace {
std::vector<Command> Join(std::initializer_list<std::vector<Command>> groups) {
  std::vector<Command> all;
  for (const auto& group : groups) all.insert(all.end(), group.begin(), group.end());
  return all;
}
}  // namespace

std::vector<Command> AllCommands() {
  return Join({
      {{"demo", "shows the library at work against its built-in simulators",
        [](OptionSet& o) { o.Flag("--trace", "print the serial segment's debug trace"); }, RunDemo},
       {"serial",
        "transactions over a serial device: mode 2 with the remote unit, modes 1 and 4 with a "
        "GPIB instrument behind it",
        DefineSerialCommand, RunSerial},
       {"tcp", "transactions with the remote unit over TCP (text, or hex bytes with --bytes)",
        DefineTcpCommand, RunTcp},
       {"ports",
        "lists the serial devices, their port numbers and who uses them; 'ports lock N' and "
        "'ports unlock N' lock a device for every other program",
        DefinePortsCommand, RunPorts}},
      GpibCommands(),
      AddressCommands(),
      ShellCommands(),
  });
}

}  // namespace parley::cli
