#include "forwarding/inout.hpp"

#include <algorithm>
#include <string>

#include "catalogue/validation.hpp"
#include "forwarding/fwd_replies.hpp"
#include "model/access.hpp"
#include "model/progress_update.hpp"
#include "model/timeout.hpp"

namespace parley::detail {
namespace {
// The status byte of a poll reply; any other reply raises what it stands for.
int16_t CheckedStatus(std::string_view reply) {
  auto status = SpollStatus(reply);
  if (!status) RaisePollFailure(reply);
  return *status;
}
}  // namespace

bool GpibInOut::MessageAvailable(int16_t status) const {
  return (status & core_.settings.mav_spoll) != 0;
}

bool GpibInOut::Idle(int16_t status) const {
  int16_t mask = core_.settings.idle_spoll;
  return mask == 0 || (status & mask) != 0;
}

bool GpibInOut::AnswerReady(int16_t status) const {
  int16_t mask = core_.settings.mav_spoll;
  return (status & mask) == mask;
}

void GpibInOut::InOutPollBeforeSend() {
  core_.UpdateProgress("Performing serial poll");
  KORTransaction poll;
  std::string message = fwd_.GPIBFwdHeader() + "SPOLL/";
  fwd_.ForceRespTerm();
  for (int attempt = 0; attempt < kPollAttempts; ++attempt) {
    fwd_.Send(poll, message, DeviceSeconds());
    auto status = SpollStatus(poll.resp());
    if (!status) {
      ReportIdle();
      RaisePollFailure(poll.resp());
    }
    if (MessageAvailable(*status)) {
      core_.UpdateProgress("Getting stray response out of buffer");
      KORTransaction stray;
      fwd_.Send(stray, fwd_.GPIBFwdHeader() + "IN/", DeviceSeconds());
    } else if (Idle(*status)) {
      ReportIdle();
      return;
    }
    WaitSeconds(core_.host, kPollIntervalSeconds);
  }
  ReportIdle();
  Raise(err::GpibNoSerialPollResponse);
}

void GpibInOut::InOutComplete(KORTransaction& working) {
  const int32_t seconds = working.RespTimeout();
  core_.UpdateProgress("Completing transaction", RoundToInt16(seconds), 0, false);
  KORTimeout timeout(core_.host);
  timeout.Start(static_cast<float>(seconds));
  KORTransaction poll;
  for (;;) {
    fwd_.Send(poll, fwd_.GPIBFwdHeader() + "SPOLL/", kPollTimeoutSeconds);
    auto status = SpollStatus(poll.resp());
    if (!status) {
      ReportIdle();
      RaisePollFailure(poll.resp());
    }
    // Ready is tested before the timeout, so an answer found at the last poll is still read.
    if (AnswerReady(*status)) break;
    WaitSeconds(core_.host, kPollIntervalSeconds);
    if (core_.UpdateProgress("Getting response", RoundToInt16(timeout.Length()),
                             RoundToInt16(timeout.TimeRemaining()), true)) {
      Raise(err::UserCanceled);
    }
    if (timeout.Expired()) {
      ReportIdle();
      Raise(err::ResponseTerminatorTimeout);
    }
  }
  KORTransaction read;
  fwd_.Send(read, fwd_.GPIBFwdHeader() + "IN/", DeviceSeconds());
  TransactionAccess::SetResp(working, read.resp());
}

void GpibInOut::InOutSerialPoll(int16_t& value) {
  KORTransaction poll;
  std::string message = fwd_.GPIBFwdHeader() + "SPOLL/";
  fwd_.ForceRespTerm();
  fwd_.Send(poll, std::move(message), kPollTimeoutSeconds);
  value = CheckedStatus(poll.resp());
}

void GpibInOut::Transact(KORTransaction& t, const StepRunner& step) {
  step([&] { InOutPollBeforeSend(); });
  KORTransaction working;
  step([&] {
    working.RespExpect(t.RespExpect());
    std::string message = fwd_.GPIBFwdHeader() + "DTO=" + std::to_string(core_.settings.dto) +
                          ",MSG=\"" + EscapeQuotes(t.cmd()) + "\",OUT/";
    fwd_.Send(working, std::move(message), std::max(t.RespTimeout(), DeviceSeconds()));
  });
  step([&] {
    if (!StartsWith(working.resp(), "/C/")) Raise(err::GpibForwardingUnrecognized);
  });
  if (!t.RespExpect()) return;
  step([&] { InOutComplete(working); });
  std::string answer;
  step([&] { answer = InAnswer(working.resp()); });
  TransactionAccess::SetResp(t, answer);
}

void GpibInOut::GetTransact(KORTransaction& t, const StepRunner& step) {
  step([&] { GPIBInOutValidateTrans(core_.settings, t); });
  KORTransaction read;
  step([&] { fwd_.Send(read, fwd_.GPIBFwdHeader() + "IN/", t.RespTimeout()); });
  std::string answer;
  step([&] { answer = InAnswer(read.resp()); });
  TransactionAccess::SetResp(t, answer);
}

void GpibInOut::RemoteEnable() {
  KORTransaction ren;
  fwd_.Send(ren, fwd_.GPIBFwdHeader() + "REN/", kPollTimeoutSeconds);
  // The state goes back to the unit in the restoring message: only a well-formed short value
  // may, so that nothing else the unit sent travels back onto the link.
  auto checked = RenState(ren.resp());
  if (!checked) Raise(err::GpibForwardingUnrecognized);
  const std::string state = *checked;
  fwd_.Send(ren, fwd_.GPIBFwdHeader() + (state == "1" ? "REN=0/" : "REN=1/"), kPollTimeoutSeconds);
  fwd_.Send(ren, fwd_.GPIBFwdHeader() + "REN=" + state + "/", kPollTimeoutSeconds);
}

}  // namespace parley::detail
