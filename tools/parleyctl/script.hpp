// Commands from the command line, a script file or standard input, and the JSON record of each
// transaction for programs that read the tool's output.
#pragma once

#include <cstdint>
#include <iostream>
#include <istream>
#include <optional>
#include <sstream>
#include <string>

#include "cli.hpp"

namespace parley::cli {

// --json, --script, --keep-going.
void DefineScriptOptions(OptionSet& o);

// Longest line a script may hold; a longer one is refused rather than read into memory whole.
inline constexpr std::size_t kMaxScriptLine = 16u << 20;

// One command and where it came from ("argument 2", "cmds.txt:14", "stdin:3").
struct CommandLine {
  std::string text;
  std::string where;
};

// The commands of a run in order: the COMMAND words, then the lines of --script FILE, then
// standard input when a word was "-". Lines are read as they are needed, so a program can feed
// standard input one command at a time; empty lines and lines starting with '#' (after blanks)
// are skipped, and a CR before the line feed is dropped.
class CommandSource {
 public:
  // Throws std::runtime_error when the script file cannot be read (ReadInputFile's reasons).
  // `input` stands for standard input (the shell gives its own reader of descriptor 0).
  explicit CommandSource(const Options& options, std::istream& input = std::cin);
  // The next command, or nothing at the end. Throws std::invalid_argument for a line longer
  // than kMaxScriptLine or a read error.
  std::optional<CommandLine> Next();

 private:
  std::optional<CommandLine> NextLine(std::istream& in, const std::string& name, long& number);

  std::vector<std::string> words_;
  std::size_t next_word_ = 0;
  std::string script_name_;
  std::istringstream script_;  // read whole: a regular file of bounded size
  long script_line_ = 0;
  bool script_done_ = true;
  std::istream& input_;
  bool use_stdin_ = false;
  long stdin_line_ = 0;
};

// What the JSON record of a transaction holds.
struct TransactionRecord {
  std::string command;   // as written
  std::string response;  // the response bytes
  bool has_response = false;
  double elapsed_ms = 0;
  int32_t error = 0;
  std::string message;
  std::string source;
  std::string stage;  // the last stage the transaction reached
  std::string where;
};
// One line of JSON: {"command", "response", "response_hex", "elapsed_ms", "error" ("0x..."),
// "message", "source", "stage", "where"}. Bytes that are not UTF-8 become U+FFFD in the text
// fields; "response_hex" has them all.
std::string JsonRecord(const TransactionRecord& record);

}  // namespace parley::cli
