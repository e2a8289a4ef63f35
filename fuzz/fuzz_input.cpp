#include "fuzz_input.hpp"

#include <cstdio>
#include <cstdlib>

namespace parley::fuzz {

void Fail(std::string_view what) {
  std::fprintf(stderr, "property failed: %.*s\n", static_cast<int>(what.size()), what.data());
  std::abort();
}

}  // namespace parley::fuzz
