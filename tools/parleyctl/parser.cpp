// The command line on CLI11: one subcommand per command, options checked for spelling, type and
// range before anything is opened, and the exit codes of the tool.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <deque>
#include <fstream>
#include <iostream>
#include <memory>
#include <stdexcept>

#include "cli.hpp"
#include "decimal.hpp"
#include "man_page.hpp"
#include "profile.hpp"
#include "progress.hpp"

#ifndef PARLEY_VERSION
#define PARLEY_VERSION "unknown"
#endif

namespace parley::cli {
namespace {

std::string FirstLongName(const std::string& names) {
  std::string first = names.substr(0, names.find(','));
  return first.rfind("--", 0) == 0 ? first.substr(2) : first;
}

// Rewrites a decimal whole number in its plain form ("010" to "10") before CLI11's own checks,
// which would read a leading zero as octal; anything that is not decimal digits is refused.
CLI::Validator DecimalOnly() {
  return CLI::Validator(
      [](std::string& input) -> std::string {
        auto value = tools::ParseDecimal(input);
        if (!value) return input + " is not a whole number";
        input = std::to_string(*value);
        return "";
      },
      "", "decimal");
}

std::string HelpWithDefault(const std::string& help, const std::string& fallback) {
  return fallback.empty() ? help : help + " (default " + fallback + ")";
}

// Binds a subcommand's options to storage and gathers what was given into Options.
class CliOptionSet final : public OptionSet {
 public:
  explicit CliOptionSet(CLI::App& app) : app_(app) {}

  void Flag(const std::string& names, const std::string& help) override {
    given_.push_back({FirstLongName(names), app_.add_flag(names, help), true});
  }
  void Text(const std::string& names, const std::string& unit, const std::string& help,
            const std::string& fallback) override {
    Add(names, HelpWithDefault(help, fallback))->type_name(unit);
  }
  void Repeated(const std::string& names, const std::string& unit,
                const std::string& help) override {
    auto* option = app_.add_option(names, lists_.emplace_back(), help + " (repeatable)");
    // One value per occurrence, so the words after it stay commands.
    option->type_name(unit)->allow_extra_args(false);
    given_.push_back({FirstLongName(names), option, false, true});
  }
  void Choice(const std::string& names, const std::vector<std::string>& allowed,
              const std::string& help, const std::string& fallback) override {
    Add(names, HelpWithDefault(help, fallback))
        ->type_name("WORD")
        ->check(CLI::IsMember(allowed, CLI::ignore_case));
  }
  void Whole(const std::string& names, const std::string& unit, int64_t low, int64_t high,
             const std::string& help, const std::string& fallback) override {
    std::string range = std::to_string(low) + " to " + std::to_string(high);
    Add(names, HelpWithDefault(help, fallback))
        ->type_name(unit)
        ->transform(DecimalOnly())
        ->check(CLI::Range(low, high, range));
  }
  void OneOf(const std::string& names, const std::string& unit, const std::vector<int64_t>& allowed,
             const std::string& help, const std::string& fallback) override {
    // IsMember alone reports a non-number ("1.5") with no reason.
    CLI::Validator member = CLI::IsMember(allowed);
    CLI::Validator whole(
        [member](std::string& input) mutable {
          int64_t value = 0;
          if (!CLI::detail::lexical_cast(input, value)) return input + " is not a whole number";
          return member(input);
        },
        member.get_description());
    Add(names, HelpWithDefault(help, fallback))
        ->type_name(unit)
        ->transform(DecimalOnly())
        ->check(whole);
  }
  void Real(const std::string& names, const std::string& unit, double low, double high,
            const std::string& help, const std::string& fallback) override {
    Add(names, HelpWithDefault(help, fallback))->type_name(unit)->check(CLI::Range(low, high));
  }
  void Checked(const std::string& names, const std::string& unit, const std::string& help,
               Check check, const std::string& fallback) override {
    CLI::Validator valid([check](std::string& input) { return check(input); }, "");
    Add(names, HelpWithDefault(help, fallback))->type_name(unit)->check(valid);
  }
  void Words(const std::string& name, const std::string& help) override {
    app_.add_option(name, words_, help)->type_name("");
  }

  Options Collect() const {
    Options o;
    for (const auto& g : given_) {
      if (g.option->count() == 0) continue;
      if (g.repeated) {
        for (const auto& value : g.option->results()) o.Add(g.key, value);
        continue;
      }
      o.Set(g.key, g.flag ? "1" : g.option->results().back());
    }
    for (const auto& w : words_) {
      // "-" among the commands reads them from standard input; after "--" it is sent as is.
      if (w == "-") {
        o.Set("stdin", "1");
      } else {
        o.AddPositional(w);
      }
    }
    return o;
  }

 private:
  struct Given {
    std::string key;
    CLI::Option* option;
    bool flag;
    bool repeated = false;
  };

  CLI::Option* Add(const std::string& names, const std::string& help) {
    auto& storage = storage_.emplace_back();
    auto* option = app_.add_option(names, storage, help);
    given_.push_back({FirstLongName(names), option, false});
    return option;
  }

  CLI::App& app_;
  std::deque<std::string> storage_;  // stable addresses for CLI11's bindings
  std::deque<std::vector<std::string>> lists_;
  std::vector<Given> given_;
  std::vector<std::string> words_;
};

std::size_t EditDistance(const std::string& a, const std::string& b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      std::size_t up = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = up;
    }
  }
  return row[b.size()];
}

bool Spells(const CLI::Option& option, const std::string& word) {
  for (const auto& name : option.get_lnames()) {
    if (word == "--" + name) return true;
  }
  for (const auto& name : option.get_snames()) {
    if (word == "-" + name) return true;
  }
  return false;
}

// The known option of `app` closest to `word`, or "" when none is near.
std::string Suggestion(const CLI::App& app, const std::string& word) {
  std::string best;
  std::size_t best_distance = std::max<std::size_t>(2, word.size() / 3) + 1;
  for (const CLI::Option* opt : app.get_options()) {
    for (const auto& name : opt->get_lnames()) {
      std::size_t d = EditDistance(word, "--" + name);
      if (d < best_distance) best_distance = d, best = "--" + name;
    }
  }
  return best;
}

// Names the unknown options of the chosen command, each with the nearest known one; false when
// none of the extra words is an option.
bool ReportUnknownOptions(const CLI::App& app, int argc, char** argv) {
  bool reported = false;
  for (int i = 2; i < argc; ++i) {
    std::string word = argv[i];
    if (word.size() < 2 || word[0] != '-') continue;
    std::string name = word.substr(0, word.find('='));
    const auto options = app.get_options();
    bool known = std::any_of(options.begin(), options.end(),
                             [&](const CLI::Option* o) { return Spells(*o, name); });
    if (known) continue;
    std::cerr << "parleyctl " << app.get_name() << ": unknown option " << name;
    if (auto near = Suggestion(app, name); !near.empty())
      std::cerr << " (did you mean " << near << "?)";
    std::cerr << "\n";
    reported = true;
  }
  return reported;
}

}  // namespace

std::string ExitCodeHelp() {
  return "Exit status: 0 success; 2 usage mistake (option, value, missing argument); 3 the "
         "library refused the settings or transaction (validation); 4 device, port, board or "
         "host not found or not available; 5 timeout, no response; 6 error reported by the "
         "unit, instrument or its driver; 130 canceled by the user (Ctrl-C, SIGTERM); 1 any "
         "other failure.";
}

int ExitCodeFor(int32_t number) {
  switch (number) {
    case err::UserCanceled:
      return kExitCanceled;
    case err::NonNumericValue:
    case err::ValueOutOfRange:
    case err::InvalidCommMode:
    case err::InvalidCommPort:
    case err::InvalidBitRate:
    case err::InvalidParity:
    case err::InvalidDataBits:
    case err::InvalidStopBits:
    case err::InvalidGpibAddress:
    case err::InvalidGpibTermination:
    case err::InvalidCommand:
    case err::InvalidResponseTimeout:
    case err::DebugBufferTooSmall:
    case err::DebugBufferTooBig:
    case err::BadSerialPortIndex:
    case err::TcpPortOutOfRange:
    case err::InvalidPropertyValue:
      return kExitValidation;
    case err::SerialPortNotFound:
    case err::CouldNotGetCommPort:
    case err::ErrorInitializingCommPort:
    case err::CommUnavailable:
    case err::CommPortLocked:
    case err::GpibBoardInitFailed:
    case err::GpibDeviceInitFailed:
    case err::GpibNoBoard:
    case err::PortNotOpen:
    case err::TcpConnectFailed:
    case err::InvalidSocketState:
    case err::RemoteServerClosed:
    case err::ForcedLocalMode:
      return kExitLink;
    case err::ResponseTerminatorTimeout:
    case err::NoResponseFromRemoteUnit:
    case err::GpibDeviceTimeout:
    case err::GpibNoSerialPollResponse:
    case err::GpibAborted:
    case err::EtherTerminatorNotFound:
      return kExitTimeout;
    default:
      return kExitUnit;
  }
}

std::string CheckValue(const Command& command, const std::string& name, const std::string& value) {
  CLI::App app;
  CliOptionSet set(app);
  command.define(set);
  for (CLI::Option* option : app.get_options()) {
    if (Spells(*option, "--" + name)) return CheckValue(*option, value);
  }
  return "";
}

int RunCommandLine(int argc, char** argv) {
  CLI::App app{
      "parleyctl - command/response transactions with a remote test unit (serial, TCP) "
      "or a GPIB instrument",
      "parleyctl"};
  app.set_version_flag("--version", std::string("parleyctl ") + PARLEY_VERSION);
  app.set_help_all_flag("--help-all", "Print this help and every command's");  // the man page
  app.require_subcommand(1);
  app.footer(ExitCodeHelp());
  std::vector<Command> commands = AllCommands();
  std::vector<std::unique_ptr<CliOptionSet>> sets;
  for (const auto& command : commands) {
    CLI::App* sub = app.add_subcommand(command.name, command.summary);
    sub->footer(ExitCodeHelp());
    auto set = std::make_unique<CliOptionSet>(*sub);
    command.define(*set);
    if (command.name != "demo") {  // the demo brings its own simulators
      set->Text("--profile", "FILE",
                "a station's link settings from a TOML file; the options given here override it",
                "");
    }
    sets.push_back(std::move(set));
  }
  if (argc == 3 && std::string(argv[1]) == "--man-page") {  // the build writes the manual page
    std::ofstream page(argv[2]);
    page << ManPage(app, PARLEY_VERSION);
    return page ? kExitOk : kExitFailure;
  }
  auto known = [&](const std::string& w) {
    return std::any_of(commands.begin(), commands.end(),
                       [&](const Command& c) { return c.name == w; });
  };
  if (argc > 1 && argv[1][0] != '-' && !known(argv[1])) {
    std::string word = argv[1], near;
    std::size_t best = std::max<std::size_t>(2, word.size() / 3) + 1;
    for (const auto& c : commands) {
      if (auto d = EditDistance(word, c.name); d < best) best = d, near = c.name;
    }
    std::cerr << "parleyctl: unknown command '" << word << "'";
    if (!near.empty()) std::cerr << " (did you mean " << near << "?)";
    std::cerr << "\nRun parleyctl --help for the commands.\n";
    return kExitUsage;
  }
  InstallSignalHandlers();
  // Everything after "--" is a command to send, whatever it looks like; CLI11 would still refuse
  // words there once positionals came before it, so it never sees them.
  int parsed = 0;
  while (parsed < argc && std::string(argv[parsed]) != "--") ++parsed;
  std::vector<std::string> after(argv + std::min(parsed + 1, argc), argv + argc);
  try {
    app.parse(parsed, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ExtrasError& e) {
    auto chosen = app.get_subcommands();
    if (chosen.empty() || !ReportUnknownOptions(*chosen.front(), parsed, argv)) {
      std::cerr << "parleyctl: " << e.what() << "\n";
    }
    std::cerr << "Run with --help for the options.\n";
    return kExitUsage;
  } catch (const CLI::ParseError& e) {
    std::cerr << "parleyctl: " << e.what() << "\nRun with --help for the options.\n";
    return kExitUsage;
  }
  for (std::size_t i = 0; i < commands.size(); ++i) {
    const Command& command = commands[i];
    if (!app.got_subcommand(command.name)) continue;
    try {
      Options options = sets[i]->Collect();
      if (options.Has("profile")) {
        ApplyProfile(options.Get("profile"), app, *app.get_subcommand(command.name), options);
      }
      for (const auto& word : after) options.AddPositional(word);
      return command.run(options);
    } catch (const AutomationError& e) {
      PrintError(std::cerr, e);
      return ExitCodeFor(e.Number());
    } catch (const std::invalid_argument& e) {
      std::cerr << "parleyctl " << command.name << ": " << e.what() << "\n";
      return kExitUsage;
    } catch (const LinkMissing& e) {
      std::cerr << "parleyctl " << command.name << ": " << e.what() << "\n";
      return kExitLink;
    } catch (const std::exception& e) {
      std::cerr << "parleyctl " << command.name << ": " << e.what() << "\n";
      return kExitFailure;
    }
  }
  return kExitUsage;
}

}  // namespace parley::cli
