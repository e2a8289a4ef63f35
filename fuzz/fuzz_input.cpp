#include "fuzz_input.hpp"

#include <cstdio>
#include <cstdlib>

namespace parley::fuzz {

void Fail(std::string_view what) {
  std::fprintf(stderr, "property failed: %.*s\n", static_cast<int>(what.size()), what.data());
  std::abort();
}

void Note(std::string_view what) {
  static const bool verbose = std::getenv("PARLEY_FUZZ_VERBOSE") != nullptr;
  if (verbose) std::fprintf(stderr, "%.*s\n", static_cast<int>(what.size()), what.data());
}

}  // namespace parley::fuzz
