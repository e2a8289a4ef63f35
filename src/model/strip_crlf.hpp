// StripCRLF: the trailing line breaks that RemoveExtraChar removes from a response.
#pragma once

#include <string>

namespace parley::detail {

// Removes every carriage return and line feed at the end of `text`, in any order and number.
inline void StripCRLF(std::string& text) {
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.pop_back();
}

}  // namespace parley::detail
