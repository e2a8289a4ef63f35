// Where the shell's lines come from: a terminal, with line editing and history (libedit), or
// plain lines from a pipe or a file. Both run the thread's event loop while they wait, so an
// idle shell still gives its port up when another program asks for it.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "script.hpp"

namespace parley::cli {

class LineReader {
 public:
  virtual ~LineReader() = default;
  // The next line that is not empty or a '#' comment, or nothing at the end of the input or
  // when a signal (SIGTERM, SIGINT) came while waiting (Interrupted() then tells). Throws
  // std::invalid_argument for a line longer than kMaxScriptLine.
  virtual std::optional<CommandLine> Next() = 0;
};

// Plain lines of standard input, read as they come.
std::unique_ptr<LineReader> MakePlainReader();
// Line editing on the terminal of standard input, with the prompt `prompt` gives; Ctrl-C typed
// drops the line being typed, Ctrl-D at an empty line ends. History is kept in `history_file` (none
// when empty).
std::unique_ptr<LineReader> MakeEditingReader(std::function<std::string()> prompt,
                                              std::string history_file);

// $XDG_STATE_HOME/parleyctl/history, or ~/.local/state/parleyctl/history; the folder is made
// when missing. Empty when neither can be used.
std::string HistoryFile();

}  // namespace parley::cli
