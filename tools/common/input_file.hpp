// Reading a file a user names on a tool's command line (a profile, a scenario, a script, an
// answer table): one regular file of bounded size, refused at once when it is anything else, so
// a FIFO, a directory or a device never hangs or starves the tool.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace parley::tools {

inline constexpr std::size_t kMaxInputFile = 16u << 20;
// Deeper TOML than this is refused before the parser, which recurses once per level.
inline constexpr int kMaxTomlNesting = 64;

// The whole of the regular file `path`. `what` names its role in messages ("profile"). Throws
// std::invalid_argument "cannot read the WHAT PATH: reason" (missing, not a regular file, a
// symbolic link that loops, larger than kMaxInputFile, a read error).
std::string ReadInputFile(const std::string& path, const std::string& what);

// Refuses TOML `text` whose nesting passes `max_depth`: each part of a table header or a dotted
// key, each array and each inline table is a level. Strings and comments are skipped. Throws
// std::invalid_argument "PATH:LINE: ...".
void CheckTomlNesting(std::string_view text, const std::string& path,
                      int max_depth = kMaxTomlNesting);

}  // namespace parley::tools
