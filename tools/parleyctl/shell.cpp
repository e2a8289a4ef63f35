// The shell sends each line as typed through the same transaction runner, progress line and
// printing as the one-shot commands; lines that start with one of its own words (":set",
// ":spoll", ...) act on the interface instead.
#include "shell.hpp"

#include <unistd.h>

#include <deque>
#include <iostream>
#include <stdexcept>

#include "line_reader.hpp"
#include "links.hpp"
#include "plain_link.hpp"
#include "profile.hpp"
#include "progress.hpp"
#include "serial_cmd.hpp"
#include "shell_settings.hpp"
#include "trace_out.hpp"

namespace parley::cli {
namespace {

// Trace entries kept for :trace; older ones are dropped.
constexpr std::size_t kKeptTraceEntries = 2000;

const char* kHelp =
    "Each line is sent as typed (escapes \\r \\n \\t \\xNN) and its response printed. A line\n"
    "whose first word is one of these is the shell's own:\n"
    "  :set NAME VALUE  change a setting (a link setting closes and reopens the port)\n"
    "  :get [NAME]      show a setting, or all of them\n"
    "  :mode [N]        show or change the mode: 1, 4 GPIB through the unit, 2 the unit over\n"
    "                   serial, 3 direct GPIB, 5 the unit over TCP\n"
    "  :spoll           serial-poll the instrument (modes 3 and 4)\n"
    "  :read            read a pending response without sending (modes 3 and 4)\n"
    "  :ren             pulse the remote-enable line (modes 3 and 4)\n"
    "  :bytes HEX       send bytes (\"42 00 FF\", mode 5); the response prints as hex\n"
    "  :trace           print the debug trace recorded since the last :trace\n"
    "  :help            this text\n"
    "  :quit            leave (as Ctrl-D or the end of the input do)\n"
    "Ctrl-C halts a command that waits; at the prompt it drops the line being typed.\n"
    "Settings (the library's name, the option's in parentheses):\n";

void DefineShellOptions(OptionSet& o) {
  o.OneOf("--mode,--commMode", "MODE", {2, 1, 3, 4, 5},
          "2: the remote unit over serial; 1, 4: a GPIB instrument behind it; 3: direct GPIB; "
          "5: the remote unit over TCP",
          "2");
  DefineSerialLinkOptions(o);
  DefineTcpLinkOptions(o);
  DefineForwardingOptions(o, true);
  DefineGpibDriverOptions(o);
  DefinePlainLinkOptions(o);
  DefineLinkTimeoutOption(o);
  DefineDeadlineOption(o);
  DefineTerminatorOptions(o);
  o.Flag("--no-response", "commands expect no response (:set RespExpect on undoes it)");
  DefineOutputOptions(o);
}

int RunShell(const Options& options);

Command ShellCommand() {
  return {"shell",
          "an interactive session on one open interface: commands as typed, :set, :get, "
          ":spoll, :trace and more (:help)",
          DefineShellOptions, RunShell};
}

// The direct-GPIB set-up reads the spellings of its own commands.
Options DirectView(Options o) {
  if (o.Has("gpib-address")) o.Set("address", o.Get("gpib-address"));
  if (o.Has("remove-extra-char")) o.Set("strip", "1");
  return o;
}

// Every link the options describe is set up, so :mode can change to it; then the mode.
void ConfigureLink(KORInterface& iface, const Options& o) {
  auto mode = static_cast<int32_t>(o.GetInt("mode", korCommModeCRLFDirect));
  bool serial = mode != korCommModeGPIBDirect && mode != korCommModeEther;
  if (serial || o.Has("device") || o.Has("comm-port") || o.Has("port-map")) {
    ConfigureSerialLink(iface, o);
  } else {
    ApplyTerminators(iface, o);
  }
  ApplyForwardingSettings(iface, o);
  ApplyTcpSettings(iface, o);
  if (mode == korCommModeGPIBDirect || o.Has("driver")) SetUpDirectGpib(DirectView(o), iface);
  iface.commMode(mode);
  ApplyPlainLink(iface, o);
}

// "word rest": the first word and what follows it, without the blanks between.
std::pair<std::string, std::string> SplitWord(const std::string& text) {
  std::size_t start = text.find_first_not_of(" \t");
  if (start == std::string::npos) return {"", ""};
  std::size_t end = text.find_first_of(" \t", start);
  if (end == std::string::npos) return {text.substr(start), ""};
  std::size_t rest = text.find_first_not_of(" \t", end);
  return {text.substr(start, end - start), rest == std::string::npos ? "" : text.substr(rest)};
}

class Shell {
 public:
  Shell(KORInterface& iface, const Options& options)
      : iface_(iface),
        options_(options),
        settings_(iface, transaction_,
                  [](const std::string& option, const std::string& value) {
                    return CheckValue(ShellCommand(), option, value);
                  }),
        trace_(iface, options, TraceOutput::Use::kShell) {
    transaction_.times = TimesFor(options);
    transaction_.expect = !options.Has("no-response");
  }

  std::string Prompt() const { return "parleyctl " + std::to_string(iface_.commMode()) + "> "; }

  // Runs the lines until the end of the input or :quit; the exit status is the first failed
  // line's, as with a script and --keep-going.
  int Run(LineReader& reader) {
    int status = kExitOk;
    while (!quit_) {
      ForgetInterrupt();
      std::optional<CommandLine> line;
      try {
        line = reader.Next();
      } catch (const std::invalid_argument& e) {
        std::cerr << "parleyctl shell: " << e.what() << "\n";
        return status == kExitOk ? kExitUsage : status;
      }
      if (!line) {
        if (Interrupted() && status == kExitOk) status = ReportCanceled();
        break;
      }
      int result = Handle(*line);
      KeepTrace();
      if (!std::cout) return status == kExitOk ? kExitFailure : status;  // a closed pipe
      if (result != kExitOk && status == kExitOk) status = result;
    }
    return status;
  }

  void Finish() { trace_.Finish(std::cerr); }

 private:
  int Handle(const CommandLine& line) {
    auto [word, rest] = SplitWord(line.text);
    try {
      if (word == ":set") return Set(rest);
      if (word == ":get") return Print(rest.empty() ? settings_.All() : settings_.Get(rest) + "\n");
      if (word == ":mode") return Mode(rest);
      if (word == ":spoll") return Operate([this] { return Spoll(); });
      if (word == ":read") return Operate([this] { return Read(); });
      if (word == ":ren") return Operate([this] { return RemoteEnable(); });
      if (word == ":bytes") return Send({rest, line.where}, true);
      if (word == ":trace") return PrintTrace();
      if (word == ":help") return Print(Help());
      if (word == ":quit" || word == ":exit") {
        quit_ = true;
        return kExitOk;
      }
    } catch (const std::invalid_argument& e) {
      std::cerr << "parleyctl: " << line.where << ": " << e.what() << "\n";
      return kExitUsage;
    } catch (const AutomationError& e) {
      PrintError(std::cerr, e);
      return ExitCodeFor(e.Number());
    }
    return Send(line, false);  // also ":MEAS:VOLT?" and other words that are not the shell's
  }

  int Print(const std::string& text) {
    std::cout << text << std::flush;
    return kExitOk;
  }

  int Set(const std::string& argument) {
    auto [name, value] = SplitWord(argument);
    if (name.empty() || value.empty()) throw std::invalid_argument(":set takes NAME VALUE");
    settings_.Set(name, value);
    return Print(settings_.Get(name) + "\n");
  }

  int Mode(const std::string& argument) {
    if (!argument.empty()) settings_.Set("commMode", argument);
    static const char* const kNames[] = {"",
                                         "GPIB through the remote unit (TSND)",
                                         "the remote unit over serial",
                                         "direct GPIB",
                                         "GPIB In/Out through the remote unit",
                                         "the remote unit over TCP"};
    int32_t mode = iface_.commMode();
    std::string name = mode >= 1 && mode <= 5 ? kNames[mode] : "not a mode";
    return Print("mode " + std::to_string(mode) + ": " + name + "\n");
  }

  int Send(const CommandLine& line, bool bytes) {
    TransactionBatch batch;
    TransactionSettings settings = transaction_;
    batch.make = [settings, bytes](const std::string& text) {
      KORTransaction t = bytes ? ByteTransaction(text, settings.times.seconds)
                               : TextTransaction(text, settings.times.seconds, settings.expect);
      t.RespExpect(settings.expect);
      ApplyTimes(t, settings.times);
      return t;
    };
    batch.show = [this](const KORTransaction& t) { return Shown(t); };
    batch.hint = [this](int32_t number) { return Hint(number); };
    ProgressWatch watch(iface_, std::cerr, ShowsProgress(options_));
    return RunOneTransaction(iface_, watch, batch, line, false);
  }

  // An operation other than a transaction, under the progress line; prints what it returns.
  int Operate(const std::function<std::string()>& operation) {
    ProgressWatch watch(iface_, std::cerr, ShowsProgress(options_));
    watch.Begin(transaction_.times.seconds);
    try {
      std::string result = operation();
      watch.Clear();
      return Print(result + "\n");
    } catch (const AutomationError& e) {
      watch.Clear();
      PrintError(std::cerr, e);
      if (auto hint = Hint(e.Number()); !hint.empty()) std::cerr << "hint: " << hint << "\n";
      return ExitCodeFor(e.Number());
    }
  }

  std::string Spoll() {
    int16_t value = 0;
    iface_.Spoll(value);
    return StatusByteText(value);
  }
  std::string Read() {
    KORTransaction t;
    t.cmd("(read)");  // validated though never sent
    t.RespTimeout(transaction_.times.seconds);
    t.DeadlineMs(transaction_.times.deadline_ms);
    iface_.GetTransact(t);
    return Shown(t);
  }
  std::string RemoteEnable() {
    iface_.RemoteEnable();
    return "remote enable pulsed";
  }

  std::string Shown(const KORTransaction& t) const {
    if (!t.IsCmdTypeString()) return HexBytes(t.ByteArrRespStrVal());
    return options_.Has("raw") ? t.resp() : Visible(t.resp());
  }

  std::string Hint(int32_t number) const {
    switch (iface_.commMode()) {
      case korCommModeEther:
        return TcpHint(number);
      case korCommModeGPIBDirect:
        return GpibHint(number);
      default:
        return SerialHint(number);
    }
  }

  std::string Help() const {
    std::string text = kHelp;
    for (const auto& name : settings_.Names()) text += "  " + name + "\n";
    return text;
  }

  // With --trace each line's entries follow it on standard error; otherwise the latest are
  // kept for :trace.
  void KeepTrace() {
    for (auto& entry : trace_.TakeLines()) {
      if (options_.Has("trace")) {
        std::cerr << entry << '\n';
        continue;
      }
      kept_trace_.push_back(std::move(entry));
      if (kept_trace_.size() > kKeptTraceEntries) kept_trace_.pop_front();
    }
  }

  int PrintTrace() {
    KeepTrace();
    std::string text;
    for (const auto& entry : kept_trace_) text += entry + '\n';
    kept_trace_.clear();
    return Print(text);
  }

  KORInterface& iface_;
  const Options& options_;
  TransactionSettings transaction_;
  SettingTable settings_;
  TraceOutput trace_;
  std::deque<std::string> kept_trace_;
  bool quit_ = false;
};

int RunShell(const Options& options) {
  TimesFor(options);  // a mistaken --timeout is told before the device is looked for
  KORInterface iface;
  ConfigureLink(iface, options);
  Shell shell(iface, options);
  iface.openPort();
  std::unique_ptr<LineReader> reader =
      isatty(STDIN_FILENO) ? MakeEditingReader([&shell] { return shell.Prompt(); }, HistoryFile())
                           : MakePlainReader();
  int status = shell.Run(*reader);
  reader.reset();  // the terminal as it was before the messages of closing
  iface.closePort();
  shell.Finish();
  return status;
}

}  // namespace

std::vector<Command> ShellCommands() { return {ShellCommand()}; }

}  // namespace parley::cli
