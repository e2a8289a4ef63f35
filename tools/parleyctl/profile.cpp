#include "profile.hpp"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>

#include "plain_link.hpp"
#include "toml_file.hpp"

namespace parley::cli {
namespace {

using tools::TomlFile;

// The settings of a station: which device, line, terminators, timeout, instrument and host.
// What belongs to one run (output, scripts, the simulated instrument) stays on the command line.
const std::vector<std::string> kLinkSettings = {"device",
                                                "comm-port",
                                                "port-map",
                                                "line",
                                                "bit-rate",
                                                "parity",
                                                "data-bits",
                                                "stop-bits",
                                                "mode",
                                                "timeout",
                                                "cmd-term",
                                                "resp-term",
                                                "remove-extra-char",
                                                "strip",
                                                "gpib-address",
                                                "address",
                                                "dto",
                                                "itc",
                                                "idle-mask",
                                                "mav-mask",
                                                "host",
                                                "port",
                                                "driver",
                                                "srq",
                                                "eabo",
                                                "max-length",
                                                "plain",
                                                "verify-echo"};
const std::vector<std::string> kLineParts = {"bit-rate", "parity", "data-bits", "stop-bits"};

bool Spells(const CLI::Option& option, const std::string& key) {
  const auto& names = option.get_lnames();
  return std::find(names.begin(), names.end(), key) != names.end();
}

// A key may spell the option's hyphens as underscores (verify_echo), as TOML files often do.
CLI::Option* FindOption(CLI::App& command, std::string key) {
  std::replace(key.begin(), key.end(), '_', '-');
  for (CLI::Option* option : command.get_options()) {
    if (Spells(*option, key)) return option;
  }
  return nullptr;
}

bool IsFlag(const CLI::Option& option) { return option.get_items_expected_max() == 0; }

bool IsRepeated(const CLI::Option& option) { return option.get_expected_max() > 1; }

// One TOML value as option text.
std::optional<std::string> Scalar(const toml::node& node) {
  if (node.is_string()) return *node.value<std::string>();
  if (node.is_integer()) return std::to_string(*node.value<int64_t>());
  if (node.is_floating_point()) {
    std::ostringstream text;
    text << *node.value<double>();
    return text.str();
  }
  return std::nullopt;
}

// A profile value as the option's texts: one, several for a repeatable option (a list), "1"
// for a switch that is on, none when off.
std::vector<std::string> ValueTexts(const TomlFile& file, const toml::key& key,
                                    const toml::node& node, CLI::Option& option) {
  const std::string name(key.str());
  if (IsFlag(option)) {
    if (!node.is_boolean()) file.Fail(node.source(), name + " is a switch: true or false");
    return *node.value<bool>() ? std::vector<std::string>{"1"} : std::vector<std::string>{};
  }
  if (auto text = Scalar(node)) return {*text};
  // An option that takes the words true and false (verify-echo) takes a TOML switch too.
  if (node.is_boolean() && CheckValue(option, "true").empty()) {
    return {*node.value<bool>() ? "true" : "false"};
  }
  if (node.is_array() && IsRepeated(option)) {
    std::vector<std::string> texts;
    for (const toml::node& item : *node.as_array()) {
      auto text = Scalar(item);
      if (!text) file.Fail(item.source(), name + " takes a list of " + option.get_type_name());
      texts.push_back(*text);
    }
    return texts;
  }
  file.Fail(node.source(), name + " takes " +
                               (IsRepeated(option) ? "one value or a list" : "one value") + " (" +
                               option.get_type_name() + "), not a " +
                               (node.is_boolean() ? "switch" : "list or table"));
}

// What the option's checks say of the first value they refuse, or "".
std::string CheckAll(CLI::Option& option, const std::vector<std::string>& texts) {
  for (const auto& text : texts) {
    if (std::string why = CheckValue(option, text); !why.empty()) return why;
  }
  return "";
}

std::vector<CLI::App*> Commands(CLI::App& tool, CLI::App& command) {
  std::vector<CLI::App*> all{&command};
  for (CLI::App* other : tool.get_subcommands([](CLI::App*) { return true; })) {
    if (other != &command) all.push_back(other);
  }
  return all;
}

// The link setting `key` names, by its first long name, or "" when it names none.
std::string SettingName(const std::vector<CLI::App*>& commands, const std::string& key) {
  for (CLI::App* command : commands) {
    if (CLI::Option* option = FindOption(*command, key)) {
      const std::string& first = option->get_lnames().front();
      bool link =
          std::find(kLinkSettings.begin(), kLinkSettings.end(), first) != kLinkSettings.end();
      return link ? first : "";
    }
  }
  return "";
}

// Checks a value against the first command that takes it; the chosen command comes first.
void CheckProfileValue(const TomlFile& file, const toml::key& key, const toml::node& node,
                       const std::vector<CLI::App*>& commands) {
  std::vector<std::string> whys;  // each distinct refusal, as commands differ in what they take
  for (CLI::App* command : commands) {
    CLI::Option* option = FindOption(*command, std::string(key.str()));
    if (!option) continue;
    std::string why = CheckAll(*option, ValueTexts(file, key, node, *option));
    if (why.empty()) return;
    if (std::find(whys.begin(), whys.end(), why) == whys.end()) whys.push_back(why);
  }
  std::string all;
  for (const auto& why : whys) all += (all.empty() ? "" : "; ") + why;
  file.Fail(node.source(), "bad value for " + std::string(key.str()) + ": " + all);
}

// Which timeouts a link takes depends on --plain, from the command line or the profile, so the
// profile's timeout is checked once both are known.
void RefuseTimeoutForTheLink(const TomlFile& file, CLI::App& command, const Options& options,
                             const toml::node* timeout) {
  if (!timeout || !FindOption(command, "plain")) return;
  if (std::string why = TimeoutProblem(options.Get("timeout"), options.Has("plain"));
      !why.empty()) {
    file.Fail(timeout->source(), "bad value for timeout: " + why);
  }
}

// `address = "GPIB::9::INSTR"` names the instrument for the address commands (query, write,
// read ADDRESS); elsewhere `address` is the GPIB number, and such a text is left to them.
bool NamesInstrument(const std::string& key, const toml::node& node) {
  return key == "address" && node.is_string() &&
         node.value<std::string>()->find("::") != std::string::npos;
}

}  // namespace

std::string CheckValue(CLI::Option& option, const std::string& value) {
  std::string copy = value;  // a transform ("010" to "10") feeds the checks after it
  for (int i = 0;; ++i) {
    CLI::Validator* validator = nullptr;
    try {
      validator = option.get_validator(i);
    } catch (const CLI::OptionNotFound&) {
      return "";
    }
    if (std::string why = (*validator)(copy); !why.empty()) return why;
  }
}

void ApplyProfile(const std::string& path, CLI::App& tool, CLI::App& command, Options& options) {
  TomlFile file(path, "profile");
  auto commands = Commands(tool, command);
  std::map<std::string, const toml::key*> seen;  // setting name -> the key that set it
  const bool line_given = options.Has("line");
  const toml::node* timeout = nullptr;  // the profile's timeout, when it is the one used
  for (const auto& [key, node] : TomlFile::InFileOrder(file.root())) {
    const std::string name(key->str());
    const bool instrument = NamesInstrument(name, *node);
    std::string setting = instrument ? "address" : SettingName(commands, name);
    if (setting.empty()) {
      file.Fail(key->source(), "unknown key '" + name + "'; a profile holds link settings: " +
                                   tools::JoinWords(kLinkSettings));
    }
    if (auto [it, fresh] = seen.emplace(setting, key); !fresh) {
      file.Fail(key->source(), name + " sets the same setting as " +
                                   std::string(it->second->str()) + " on line " +
                                   std::to_string(it->second->source().begin.line));
    }
    CLI::Option* option = FindOption(command, name);
    if (option && instrument && option->get_lnames().front() != "address") option = nullptr;
    bool under_line =
        line_given && std::find(kLineParts.begin(), kLineParts.end(), setting) != kLineParts.end();
    if (!option || option->count() > 0 || under_line) {
      CheckProfileValue(file, *key, *node, commands);  // not used here, still refused when wrong
      continue;
    }
    auto texts = ValueTexts(file, *key, *node, *option);
    if (std::string why = CheckAll(*option, texts); !why.empty()) {
      file.Fail(node->source(), "bad value for " + name + ": " + why);
    }
    const std::string& to = option->get_lnames().front();
    for (const auto& text : texts)
      IsRepeated(*option) ? options.Add(to, text) : options.Set(to, text);
    if (to == "timeout") timeout = node;
  }
  RefuseTimeoutForTheLink(file, command, options, timeout);
}

}  // namespace parley::cli
