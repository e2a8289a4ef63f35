// The escapes both tools accept in terminators, commands and answers: \r \n \t \\ and \xNN.
// Anything else after a backslash is a mistake, refused rather than sent as something the
// user did not mean (a wrong terminator costs every retry's timeout before anyone notices).
#pragma once

#include <string>
#include <string_view>

namespace parley::tools {

// `text` with its escapes decoded. Throws std::invalid_argument naming the faulty escape.
std::string DecodeEscapes(std::string_view text);

// Why `text` is refused by DecodeEscapes, or "" when it is well formed.
std::string EscapeProblem(std::string_view text);

}  // namespace parley::tools
