// parleyctl, the command-line tool: options, commands and output helpers shared by its parts.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "parley/parley.hpp"

namespace parley::cli {

// "--name value" and "--flag" options plus positional words, in the order given.
class Options {
 public:
  // `flags` are the options that take no value.
  static Options Parse(const std::vector<std::string>& args, const std::vector<std::string>& flags);

  bool Has(const std::string& name) const { return values_.count(name) != 0; }
  std::string Get(const std::string& name, const std::string& fallback = "") const;
  // A whole number; a malformed value throws std::invalid_argument naming the option.
  long GetInt(const std::string& name, long fallback) const;
  const std::vector<std::string>& Positional() const { return positional_; }

 private:
  std::map<std::string, std::string> values_;
  std::vector<std::string> positional_;
};

struct Command {
  std::string name;
  std::string usage;    // e.g. "parleyctl demo [--trace]"
  std::string summary;  // one line for --help
  std::vector<std::string> flags;
  std::function<int(const Options&)> run;
};

// Every command of the tool, in the order --help lists them.
std::vector<Command> AllCommands();

// The GPIB commands: gpib (mode 3 transactions), and spoll, read and ren in mode 3 or 4.
std::vector<Command> GpibCommands();
// Set `iface` up for a GPIB command from its options, one per mode: mode 3 chooses the driver
// (--driver) and the board settings; mode 4 sets up the forwarding link over the serial port.
// Neither opens the port.
void SetUpDirectGpib(const Options& options, KORInterface& iface);
void SetUpInOutGpib(const Options& options, KORInterface& iface);

// Prints an automation error as "error 0x80047F79: Interface is busy. (source: RediDU)".
void PrintError(std::ostream& out, const AutomationError& e);
// Hexadecimal form of an error number as the catalogue writes it.
std::string HexNumber(int32_t number);
// Shows bytes readably: printable ASCII as is, others as \r, \n, \t or \xNN.
std::string Visible(const std::string& bytes);

// The transactions of one command line and how to show their outcome.
struct TransactionBatch {
  std::vector<KORTransaction> transactions;
  std::function<std::string(const KORTransaction&)> show;  // the response as printed
  std::function<std::string(int32_t)> hint;                // for an error number, or ""
};
// Opens `iface` (set up but not open), runs the batch in order printing each response, stops at
// the first error (printed with its hint), closes, and prints the trace when --trace was given.
// Returns the exit status: 0, or 1 after an error.
int RunTransactions(KORInterface& iface, const Options& options, TransactionBatch batch);

// The value of a hexadecimal digit, or -1.
int HexDigit(char c);
// "42 00 ff" (or "4200FF", "42:00:ff") into bytes; throws std::invalid_argument when malformed.
std::vector<uint8_t> ParseHexBytes(const std::string& text);
// Bytes as "42 00 FF".
std::string HexBytes(const std::string& bytes);

// Prints the progress stage and countdown while `iface` works (on a terminal: one updating
// line; otherwise nothing). Lives as long as the returned connection is not disconnected.
Connection ShowProgress(KORInterface& iface, std::ostream& out, bool terminal);
// Removes the progress line before a result is printed (nothing when not on a terminal).
void ClearProgressLine(bool terminal);

}  // namespace parley::cli
