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

void ForwardingLink::RemoteEnableInOut() {
  GpibInOut(context_, channel_, settings_sent_).RemoteEnable();
}

}  // namespace parley::detail
