// Transport entry points whose transports are not built yet. Each fails with a clear error
// instead of pretending to work; a transport's own source replaces its entries here.
#include <string>

#include "gpib/gpib_link.hpp"
#include "interface/validation.hpp"
#include "model/access.hpp"
#include "serial/serial_link.hpp"

namespace parley::detail {
namespace {
[[noreturn]] void NotBuilt(const std::string& what) {
  throw AutomationError(err::InvalidCall, kLibrarySource, what + " is not built yet.");
}
}  // namespace

void SerialLink::TransactCRLFtoGPIB(KORTransaction&, const StepRunner& step) {
  step([] { NotBuilt("Communication mode 1 (GPIB forwarding)"); });
}

void GpibLink::TransactInOut(KORTransaction&, const StepRunner& step) {
  step([] { NotBuilt("Communication mode 4 (GPIB In/Out)"); });
}
void GpibLink::SpollInOut(int16_t&, const StepRunner& step) {
  step([] { NotBuilt("Serial poll in mode 4"); });
}
void GpibLink::GetTransactInOut(KORTransaction&, const StepRunner& step) {
  step([] { NotBuilt("GetTransact in mode 4"); });
}
void GpibLink::RemoteEnableInOut() { NotBuilt("RemoteEnable in mode 4"); }

}  // namespace parley::detail
