// The listeners on board 0, for the resource listing.
#include <vector>

#include "gpib/driver/gpib_selection.hpp"

namespace parley::detail {

// Asks the driver directly, outside the thread's board state: the listing must neither open
// nor take offline a board that the thread's interfaces share. No driver: no listeners.
std::vector<int32_t> GpibListeners() {
  std::vector<int32_t> found;
  auto driver = CurrentGpibDriver().driver;
  if (!driver) return found;
  int32_t registered = driver->RegisterGpibGlobalsForThread();
  if (registered != 0 && registered != 1) return found;
  DriverCall board = driver->ibfind("GPIB0");
  for (int32_t pad = 0; board.result >= 0 && pad <= 30; ++pad) {
    int16_t listener = 0;
    if (driver->ibln(board.result, pad, &listener).result & kIbstaErr) break;
    if (listener) found.push_back(pad);
  }
  // Registered here: undone here; a registration of the thread's own stays.
  if (registered == 0) driver->UnregisterGpibGlobalsForThread();
  return found;
}

}  // namespace parley::detail
