// The tool's manual page, written from the same declarations as its --help.
#pragma once

#include <string>

namespace CLI {
class App;
}

namespace parley::cli {

// The page in roff (man(7)): name, synopsis, each command with its options (type, allowed
// values, default) and the exit status.
std::string ManPage(const CLI::App& tool, const std::string& version);

}  // namespace parley::cli
