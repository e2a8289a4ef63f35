// The debug trace as the tool shows it: one entry a line, on the screen after the run and
// appended to a file as the entries come.
#pragma once

#include <fstream>
#include <ostream>
#include <string>
#include <vector>

#include "cli.hpp"

namespace parley::cli {

// --trace and --trace-file.
void DefineTraceOptions(OptionSet& o);

class TraceOutput {
 public:
  // kRun: the entries are printed by Finish (with --trace). kShell: always taken, for the
  // shell to print with TakeLines; Finish prints none.
  enum class Use { kRun, kShell };
  // Takes the entries of `iface` while alive when --trace or --trace-file was given (always
  // for kShell). Throws std::runtime_error when the file cannot be opened for appending.
  TraceOutput(KORInterface& iface, const Options& options, Use use = Use::kRun);
  ~TraceOutput();
  TraceOutput(const TraceOutput&) = delete;
  TraceOutput& operator=(const TraceOutput&) = delete;

  // Takes what the buffer still holds and, with --trace, prints the run's entries to `out`.
  void Finish(std::ostream& out);
  const std::vector<std::string>& Lines() const { return lines_; }
  // The entries taken since the last call (the buffer's pending ones too).
  std::vector<std::string> TakeLines();

  // One entry on one line: tabs stay tabs, line breaks and other control bytes show as escapes.
  static std::string EntryLine(const std::string& entry);

 private:
  void Take();

  KORInterface& iface_;
  bool screen_ = false;
  bool active_ = false;
  bool finished_ = false;
  std::ofstream file_;
  std::string file_name_;
  Connection update_;
  std::vector<std::string> lines_;
};

}  // namespace parley::cli
