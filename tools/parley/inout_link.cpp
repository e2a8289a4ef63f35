// Mode 4 (GPIB In/Out over the serial link) for spoll, read and ren: the set-up of the
// forwarding link belongs with the mode-4 commands; until they are built, mode 4 says so.
#include <stdexcept>

#include "cli.hpp"

namespace parley::cli {

void SetUpInOutGpib(const Options&, KORInterface&) {
  throw std::runtime_error("--mode 4 (GPIB In/Out over the serial link) is not built yet");
}

}  // namespace parley::cli
