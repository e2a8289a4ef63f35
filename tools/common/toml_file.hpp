// A TOML file as the tools read one (parleyctl's profiles, parley-sim's scenarios): read whole,
// with every mistake reported as "FILE:LINE: what", so a user finds it in an editor.
#pragma once

#include <toml++/toml.h>

#include <string>
#include <utility>
#include <vector>

namespace parley::tools {

class TomlFile {
 public:
  // Reads (ReadInputFile, CheckTomlNesting) and parses `path`; `what` names its role in
  // messages. Throws std::invalid_argument: "cannot read the WHAT FILE: reason",
  // "FILE:LINE: nested deeper than ..." or "FILE:LINE:COLUMN: syntax error: ...".
  TomlFile(std::string path, const std::string& what);

  const toml::table& root() const { return root_; }
  const std::string& path() const { return path_; }

  // "FILE:LINE" of a key or a value.
  std::string Where(const toml::source_region& at) const;
  // Throws std::invalid_argument "FILE:LINE: what".
  [[noreturn]] void Fail(const toml::source_region& at, const std::string& what) const;

  // The entries of `table` in the order they stand in the file (toml++ keeps them sorted).
  using Entry = std::pair<const toml::key*, const toml::node*>;
  static std::vector<Entry> InFileOrder(const toml::table& table);

  // Refuses the first key of `table` that is not in `allowed`, listing the allowed ones;
  // `where` names the table in the message ("the profile", "[unit]").
  void RefuseUnknownKeys(const toml::table& table, const std::vector<std::string>& allowed,
                         const std::string& where) const;

 private:
  std::string path_;
  toml::table root_;
};

// "a, b, c".
std::string JoinWords(const std::vector<std::string>& words);

}  // namespace parley::tools
