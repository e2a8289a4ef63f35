// parleyctl, the command-line tool: options, commands and output helpers shared by its parts.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "parley/parley.hpp"

namespace parley::cli {

// The options given on one command line, by their first long name ("timeout" for --timeout
// or its alias --RespTimeout), after the parser checked their spelling, type and range.
class Options {
 public:
  bool Has(const std::string& name) const { return values_.count(name) != 0; }
  std::string Get(const std::string& name, const std::string& fallback = "") const;
  // A whole number; a malformed value throws std::invalid_argument naming the option.
  long GetInt(const std::string& name, long fallback) const;
  const std::vector<std::string>& Positional() const { return positional_; }
  // Every value of an option that may be given more than once, in order.
  std::vector<std::string> GetAll(const std::string& name) const {
    auto it = lists_.find(name);
    return it == lists_.end() ? std::vector<std::string>{} : it->second;
  }

  void Set(const std::string& name, const std::string& value) { values_[name] = value; }
  // One more value of a repeatable option (Get gives the last).
  void Add(const std::string& name, const std::string& value) {
    values_[name] = value;
    lists_[name].push_back(value);
  }
  void AddPositional(const std::string& word) { positional_.push_back(word); }
  // The first word was not a command (an address): the rest are.
  void DropFirstPositional() { positional_.erase(positional_.begin()); }

 private:
  std::map<std::string, std::string> values_;
  std::map<std::string, std::vector<std::string>> lists_;
  std::vector<std::string> positional_;
};

// The options a command declares, handed to the parser. `names` lists the spellings,
// "--timeout,--RespTimeout": the first names the value in Options, the others are aliases (the
// library's own setting names). `unit` is what the help shows as the value's type; `fallback`
// the default it shows.
class OptionSet {
 public:
  virtual ~OptionSet() = default;
  virtual void Flag(const std::string& names, const std::string& help) = 0;
  virtual void Text(const std::string& names, const std::string& unit, const std::string& help,
                    const std::string& fallback = "") = 0;
  // A text that may be given several times (Options::GetAll).
  virtual void Repeated(const std::string& names, const std::string& unit,
                        const std::string& help) = 0;
  // One of `allowed` (compared without regard to case).
  virtual void Choice(const std::string& names, const std::vector<std::string>& allowed,
                      const std::string& help, const std::string& fallback = "") = 0;
  // A whole number from `low` to `high`.
  virtual void Whole(const std::string& names, const std::string& unit, int64_t low, int64_t high,
                     const std::string& help, const std::string& fallback = "") = 0;
  // A whole number out of `allowed`.
  virtual void OneOf(const std::string& names, const std::string& unit,
                     const std::vector<int64_t>& allowed, const std::string& help,
                     const std::string& fallback = "") = 0;
  // A number (with a fraction) from `low` to `high`.
  virtual void Real(const std::string& names, const std::string& unit, double low, double high,
                    const std::string& help, const std::string& fallback = "") = 0;
  // A text that `check` accepts: it returns "" or why the text is refused, which the parser
  // and a profile then report.
  using Check = std::function<std::string(const std::string&)>;
  virtual void Checked(const std::string& names, const std::string& unit, const std::string& help,
                       Check check, const std::string& fallback = "") = 0;
  // The words after the options (COMMAND...): the transactions' commands.
  virtual void Words(const std::string& name, const std::string& help) = 0;
};

// A device, port or host that is not there: the run fails before the library is asked.
struct LinkMissing : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct Command {
  std::string name;
  std::string summary;  // one line for --help
  std::function<void(OptionSet&)> define;
  std::function<int(const Options&)> run;
};

// The exit status of the tool, one per family of failure, so a script can tell them apart.
enum ExitCode : int {
  kExitOk = 0,
  kExitFailure = 1,     // anything else (a file that cannot be written, ...)
  kExitUsage = 2,       // a mistake on the command line: option, value, missing argument
  kExitValidation = 3,  // the library refused the settings or the transaction
  kExitLink = 4,        // the device, port, board or host is not there or cannot be opened
  kExitTimeout = 5,     // nothing or not all came back in time
  kExitUnit = 6,        // the remote unit or instrument reported a failure
  kExitCanceled = 130,  // stopped by the user (Ctrl-C, SIGTERM)
};
// The exit status for an automation error number.
int ExitCodeFor(int32_t number);
// The text of the exit codes for --help and the man page.
std::string ExitCodeHelp();

// Parses argv and runs the command; returns the exit status.
int RunCommandLine(int argc, char** argv);

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
// How Visible shows what is not printable ASCII. Results escape every such byte; a trace line
// keeps its tabs (the entry's field separators) and high bytes (text in UTF-8) as they are.
enum class Escapes { kAll, kTraceLine };
// Shows bytes readably: printable ASCII as is, others as \r, \n, \t or \xNN.
std::string Visible(const std::string& bytes, Escapes escapes = Escapes::kAll);

// The transactions of one command line and how to show their outcome.
struct TransactionBatch {
  // The transaction for one command as written; throws std::invalid_argument when malformed.
  std::function<KORTransaction(const std::string&)> make;
  std::function<std::string(const KORTransaction&)> show;  // the response as printed
  std::function<std::string(int32_t)> hint;                // for an error number, or ""
};
// Opens `iface` (set up but not open), runs the commands of the run (COMMAND words, --script,
// standard input) in order printing each response (or its JSON record with --json), stops at
// the first error (printed with its hint) unless --keep-going, closes, and shows the trace.
// Returns the exit status: 0, or the first failure's (ExitCodeFor the error, 2 for a malformed
// command). Nothing is opened when there is no command at all.
int RunTransactions(KORInterface& iface, const Options& options, TransactionBatch batch);
class ProgressWatch;
struct CommandLine;
// One command of a run (or of the shell): its transaction under `watch`, then the response, or
// the error with its hint, or its JSON record. Returns its exit status (2: malformed, not sent).
int RunOneTransaction(KORInterface& iface, ProgressWatch& watch, const TransactionBatch& batch,
                      const CommandLine& line, bool json);

// The value of a hexadecimal digit, or -1.
int HexDigit(char c);
// "42 00 ff" (or "4200FF", "42:00:ff") into bytes; throws std::invalid_argument when malformed.
std::vector<uint8_t> ParseHexBytes(const std::string& text);
// Bytes as "42 00 FF".
std::string HexBytes(const std::string& bytes);

// Whether the progress line is drawn: standard error is a terminal and no --quiet.
bool ShowsProgress(const Options& options);
// Says "User canceled operation." and returns the exit status for it.
int ReportCanceled();

}  // namespace parley::cli
