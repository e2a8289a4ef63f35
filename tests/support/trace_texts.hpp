// Reading a debug trace back in tests: the texts of its entries of one kind.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace parley::testing {

// The texts of the entries of `kind` ("WRIT", "READ", ...) in `trace`, in order. An entry's
// text runs up to the next entry, which begins with its date ("2026-12-06 23:46:32") and a tab.
inline std::vector<std::string> TraceTexts(const std::string& trace, const std::string& kind) {
  constexpr std::size_t kDateLength = 19;
  const std::string mark = "\t" + kind + "\t";
  std::vector<std::string> out;
  for (auto pos = trace.find(mark); pos != std::string::npos; pos = trace.find(mark, pos)) {
    pos += mark.size();
    auto next = trace.find('\t', pos);
    out.push_back(trace.substr(pos, next == std::string::npos ? next : next - kDateLength - pos));
  }
  return out;
}

}  // namespace parley::testing
