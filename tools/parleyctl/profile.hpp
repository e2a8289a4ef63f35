// --profile FILE: a station's link settings from a TOML file, under the command line's options.
#pragma once

#include <string>

#include "cli.hpp"

namespace CLI {
class App;
class Option;
}  // namespace CLI

namespace parley::cli {

// Reads the profile `path` and adds to `options` each setting that `command` takes and the
// command line did not give (a --line given there also overrides the profile's four line
// settings). A key the profile may hold but `command` does not take is checked and left
// alone, so one station file serves every command. Throws std::invalid_argument with
// "FILE:LINE: ..." for a missing file, a syntax error, an unknown key (listing the allowed
// ones) or a value no option takes (with its allowed values); `tool` holds every command.
void ApplyProfile(const std::string& path, CLI::App& tool, CLI::App& command, Options& options);

// What the option's own checks say of `value` (for example "5 not in {10,30,60,120,480}"), or
// "" when it passes.
std::string CheckValue(CLI::Option& option, const std::string& value);
// The same for the option spelt `name` (a long name without "--") among `command`'s options;
// "" as well when it has none of that name.
std::string CheckValue(const Command& command, const std::string& name, const std::string& value);

}  // namespace parley::cli
