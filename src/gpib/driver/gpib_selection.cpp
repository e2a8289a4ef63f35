#include "gpib/driver/gpib_selection.hpp"

#include <mutex>

#include "gpib/driver/gpib_library.hpp"
#include "gpib/driver/gpib_sim.hpp"
#include "parley/errors.hpp"
#include "parley/gpib.hpp"

namespace parley::detail {
namespace {
struct Selection {
  std::mutex mutex;
  GpibDriverChoice choice;
  std::shared_ptr<LibraryGpibDriver> library;  // set while a library is chosen
};

Selection& TheSelection() {
  static Selection selection;
  return selection;
}

void Choose(std::shared_ptr<GpibDriver> driver, std::shared_ptr<LibraryGpibDriver> library) {
  auto& s = TheSelection();
  std::lock_guard lock(s.mutex);
  s.choice.driver = std::move(driver);
  ++s.choice.generation;
  s.library = std::move(library);
}

void ChooseLibrary(const std::string& path) {
  auto library = std::make_shared<LibraryGpibDriver>(path);
  Choose(library, library);
}
}  // namespace

GpibDriverChoice CurrentGpibDriver() {
  auto& s = TheSelection();
  std::lock_guard lock(s.mutex);
  if (!s.choice.driver) {
    s.library = std::make_shared<LibraryGpibDriver>(kSystemGpibLibrary);
    s.choice.driver = s.library;
    ++s.choice.generation;
  }
  return s.choice;
}

void SelectGpibDriver(std::shared_ptr<GpibDriver> driver) { Choose(std::move(driver), nullptr); }

}  // namespace parley::detail

namespace parley {

void UseSystemGpibLibrary() { detail::ChooseLibrary(kSystemGpibLibrary); }
void UseGpibLibrary(const std::string& path) {
  // The loader would stop reading at the NUL and could open another library.
  if (path.find('\0') != std::string::npos) {
    throw AutomationError(err::GpibBoardInitFailed, "UseGpibLibrary",
                          "Error initializing GPIB board: the library path holds a NUL byte; "
                          "the driver was not changed.");
  }
  detail::ChooseLibrary(path);
}
void UseSimulatedGpibBus(const SimulatedGpibBus& bus) {
  detail::SelectGpibDriver(detail::SimBusAccess::MakeDriver(bus));
}

std::string GpibLibraryLoadError() {
  auto& s = detail::TheSelection();
  std::shared_ptr<detail::LibraryGpibDriver> library;
  {
    std::lock_guard lock(s.mutex);
    library = s.library;
  }
  return library ? library->LoadError() : "";
}

}  // namespace parley
