// Transact and the other operations a client starts: entry checks, mode dispatch, error path.
#include <functional>
#include <string>

#include "catalogue/error_path.hpp"
#include "catalogue/validation.hpp"
#include "ether/ether_link.hpp"
#include "forwarding/forwarding_link.hpp"
#include "gpib/gpib_link.hpp"
#include "interface/core.hpp"
#include "model/access.hpp"
#include "model/timeout.hpp"
#include "parley/interface.hpp"
#include "serial/serial_link.hpp"

namespace parley {

using detail::InterfaceCore;
using detail::RunStep;
using detail::StepRunner;
using detail::TransactionAccess;

namespace {

// Entry checks of an operation. A refused call passes the catalogue for its message but
// changes no state, so an operation already in progress keeps its marks.
void AdmitOperation(InterfaceCore& c) {
  RunStep(c, [&] {
    if (!c.is_port_open) detail::Raise(err::PortNotOpen);
    if (c.busy) detail::Raise(err::InterfaceBusy);
  });
}

// Runs `body`; a client handler's exception undoes the operation's marks on its way out, also
// where it passed between the steps of the error path.
template <class Body, class Undo>
void MarksUndoneOnHandlerFailure(Body&& body, Undo&& undo) {
  try {
    body();
  } catch (const detail::HandlerFailure&) {
    undo();
    throw;
  }
}

// The record joins the calling thread and this one operation: a record owned by another
// thread, or already in an operation (a handler handing on the transaction in flight), is
// refused before anything is touched.
void AdmitRecord(KORTransaction& t) {
  TransactionAccess::Claim(t);
  if (t.InComm()) {
    throw AutomationError(err::InvalidCall, "KORInterface",
                          "Invalid procedure call or argument: the KORTransaction is in an "
                          "operation already (InComm is true); use another record.");
  }
}

// A StepRunner for one operation level whose failure undoes with `undo`.
StepRunner StepsOf(InterfaceCore& c, std::function<void()> undo) {
  return
      [&c, undo = std::move(undo)](const std::function<void()>& step) { RunStep(c, step, undo); };
}

// Modes 1 to 4 validate here, before their transport runs; the Ethernet branch sets its
// receive mode first and validates itself.
void DispatchTransact(InterfaceCore& c, KORTransaction& t, const StepRunner& step) {
  const auto& s = c.settings;
  switch (s.comm_mode) {
    case korCommModeCRLFtoGPIB:
      step([&] { detail::CRLFtoGPIBValidateTrans(s, t); });
      return c.forwarding->TransactCRLFtoGPIB(t, step);
    case korCommModeCRLFDirect:
      step([&] { detail::CRLFDirectValidateTrans(s, t); });
      return c.serial->TransactCRLFDirect(t, step);
    case korCommModeGPIBDirect:
      step([&] { detail::GPIBDirectValidateTrans(s, t); });
      return c.gpib->TransactDirect(t, step);
    case korCommModeGPIBInOut:
      step([&] { detail::GPIBInOutValidateTrans(s, t); });
      return c.forwarding->TransactInOut(t, step);
    case korCommModeEther:
      return c.ether->Transact(t, step);
    default:
      step([] { detail::Raise(err::InvalidCommMode); });
  }
}

// Ends the operation at its deadline, naming the wait it was in (the progress stage), also in
// the trace.
std::function<void()> DeadlineReached(InterfaceCore& c, int32_t ms) {
  return [&c, ms] {
    std::string stage = c.progress->status();
    std::string text = "Deadline of " + std::to_string(ms) + " ms reached while \"" +
                       (stage.empty() ? std::string("Starting") : stage) + "\".";
    c.LinkFailed(text);
    throw AutomationError(err::UserCanceled, detail::kLibrarySource, text);
  };
}

// Spoll and GetTransact: the entry checks, then the direct or the In/Out branch; other
// modes have no instrument to ask.
template <typename Direct, typename InOut>
void RunGpibOperation(const std::shared_ptr<InterfaceCore>& core, Direct direct, InOut in_out,
                      int32_t deadline_ms = 0) {
  detail::Call(core, [&](InterfaceCore& c) {
    AdmitOperation(c);
    c.busy = true;
    detail::DeadlineScope deadline(c.host, deadline_ms, DeadlineReached(c, deadline_ms));
    MarksUndoneOnHandlerFailure(
        [&] {
          auto step = StepsOf(c, [&] { c.busy = false; });
          switch (c.settings.comm_mode) {
            case korCommModeGPIBDirect:
              direct(*c.gpib, step);
              break;
            case korCommModeGPIBInOut:
              in_out(*c.forwarding, step);
              break;
            default:
              step([] { detail::Raise(err::InvalidCommMode); });
          }
        },
        [&] { c.busy = false; });
    c.busy = false;
  });
}

}  // namespace

void KORInterface::Transact(KORTransaction& transaction) {
  detail::Call(core_, [&](InterfaceCore& c) {
    AdmitRecord(transaction);
    AdmitOperation(c);
    c.busy = true;
    TransactionAccess::SetInComm(transaction, true);
    TransactionAccess::SetResp(transaction, "");
    detail::DeadlineScope deadline(c.host, transaction.DeadlineMs(),
                                   DeadlineReached(c, transaction.DeadlineMs()));
    auto undo = [&] {
      TransactionAccess::SetInComm(transaction, false);
      c.busy = false;
    };
    MarksUndoneOnHandlerFailure([&] { DispatchTransact(c, transaction, StepsOf(c, undo)); }, undo);
    undo();
  });
}

void KORInterface::Spoll(int16_t& spollval) {
  RunGpibOperation(
      core_, [&](detail::GpibLink& g, const StepRunner& step) { g.SpollDirect(spollval, step); },
      [&](detail::ForwardingLink& f, const StepRunner& step) { f.SpollInOut(spollval, step); });
}

void KORInterface::GetTransact(KORTransaction& transaction) {
  detail::Call(core_, [&](InterfaceCore&) { AdmitRecord(transaction); });
  RunGpibOperation(
      core_,
      [&](detail::GpibLink& g, const StepRunner& step) { g.GetTransactDirect(transaction, step); },
      [&](detail::ForwardingLink& f, const StepRunner& step) {
        f.GetTransactInOut(transaction, step);
      },
      transaction.DeadlineMs());
}

// No entry checks and no error path: its errors reach the client with the number only.
void KORInterface::RemoteEnable() {
  detail::Call(core_, [](InterfaceCore& c) {
    if (c.settings.comm_mode == korCommModeGPIBDirect) c.gpib->RemoteEnableDirect();
    if (c.settings.comm_mode == korCommModeGPIBInOut) c.forwarding->RemoteEnableInOut();
  });
}

void KORInterface::GPIBClose() {
  detail::Call(core_, [](InterfaceCore& c) { c.gpib->GPIBClose(); });
}

// Called by a client there is no error path: the number comes with the default text.
void KORInterface::GPIBInOutValidateTrans(KORTransaction& transaction) {
  const auto& settings = Own().settings;
  AdmitRecord(transaction);
  try {
    detail::GPIBInOutValidateTrans(settings, transaction);
  } catch (const AutomationError& e) {
    throw detail::DirectError(e.Number(), "KORInterface");
  }
}

std::string KORInterface::ReceivedStringBuffer() const {
  return Own().ether->ReceivedStringBuffer();
}
void KORInterface::ReceivedByteArrBuffer(std::vector<uint8_t>& aByteBuffer) const {
  Own().ether->ReceivedByteArrBuffer(aByteBuffer);
}
void KORInterface::ClearResponseArray() { Own().ether->ClearResponseArray(); }

}  // namespace parley
