#include "forwarding/forwarding_link.hpp"

#include "forwarding/inout.hpp"

namespace parley::detail {

void ForwardingLink::TransactCRLFtoGPIB(KORTransaction& t, const StepRunner& step) {
  GpibForwarding(context_, channel_, settings_sent_).TransactCRLFtoGPIB(t, step);
}

void ForwardingLink::TransactInOut(KORTransaction& t, const StepRunner& step) {
  GpibInOut(context_, channel_, settings_sent_).Transact(t, step);
}

void ForwardingLink::SpollInOut(int16_t& value, const StepRunner& step) {
  GpibInOut inout(context_, channel_, settings_sent_);
  step([&] { inout.InOutSerialPoll(value); });
}

void ForwardingLink::GetTransactInOut(KORTransaction& t, const StepRunner& step) {
  GpibInOut(context_, channel_, settings_sent_).GetTransact(t, step);
}

// No error path of its own, but its errors still carry their catalogue text: a bare number
// tells the client nothing.
void ForwardingLink::RemoteEnableInOut() {
  try {
    GpibInOut(context_, channel_, settings_sent_).RemoteEnable();
  } catch (const AutomationError& e) {
    if (!e.Description().empty()) throw;
    throw AutomationError(e.Number(), e.Source().empty() ? "KORInterface" : e.Source(),
                          std::string(CatalogueMessage(e.Number())));
  }
}

}  // namespace parley::detail
