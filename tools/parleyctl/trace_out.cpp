#include "trace_out.hpp"

#include <stdexcept>
#include <utility>

#include "cli.hpp"

namespace parley::cli {

void DefineTraceOptions(OptionSet& o) {
  o.Flag("--trace", "print the debug trace after the run, one entry a line");
  o.Text("--trace-file", "FILE", "append the run's debug trace to FILE, one entry a line");
}

TraceOutput::TraceOutput(KORInterface& iface, const Options& options, Use use)
    : iface_(iface), screen_(use == Use::kRun && options.Has("trace")) {
  if (options.Has("trace-file")) {
    file_name_ = options.Get("trace-file");
    file_.open(file_name_, std::ios::app | std::ios::binary);
    if (!file_) throw std::runtime_error("cannot append the trace to " + file_name_);
  }
  active_ = screen_ || file_.is_open() || use == Use::kShell;
  if (!active_) return;
  iface_.DebugBuffSizeSet(64000);
  iface_.DebugMonitorOn();
  // Each entry is announced as it is written; emptying the buffer after taking it keeps the
  // entries apart, whatever their texts hold, and nothing is lost to the buffer's bound.
  iface_.DebugMonitorShow();
  update_ = iface_.debugMonUpdate.connect([this] { Take(); });
}

TraceOutput::~TraceOutput() { update_.disconnect(); }

void TraceOutput::Take() {
  std::string entry = iface_.DebugBuffGet();
  if (entry.empty()) return;
  iface_.DebugBuffClear();
  lines_.push_back(EntryLine(entry));
  if (file_.is_open()) file_ << lines_.back() << '\n' << std::flush;
}

std::vector<std::string> TraceOutput::TakeLines() {
  if (active_ && !finished_) Take();
  return std::exchange(lines_, {});
}

void TraceOutput::Finish(std::ostream& out) {
  if (!active_ || finished_) return;
  finished_ = true;
  Take();
  update_.disconnect();
  if (file_.is_open() && !file_) {
    std::fprintf(stderr, "parleyctl: writing the trace to %s failed\n", file_name_.c_str());
  }
  if (!screen_) return;
  out << "--- debug trace ---\n";
  for (const auto& line : lines_) out << line << '\n';
  out << std::flush;
}

std::string TraceOutput::EntryLine(const std::string& entry) {
  return Visible(entry, Escapes::kTraceLine);
}

}  // namespace parley::cli
