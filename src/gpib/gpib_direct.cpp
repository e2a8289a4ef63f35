// Mode 3: a transaction, serial poll, read and remote enable on the local GPIB board.
#include <algorithm>
#include <cstdio>
#include <string>

#include "catalogue/validation.hpp"
#include "gpib/driver/gpib_binding.hpp"
#include "gpib/gpib_link.hpp"
#include "model/access.hpp"
#include "model/progress_update.hpp"
#include "model/strip_crlf.hpp"
#include "model/timeout.hpp"
#include "parley/gpib.hpp"

namespace parley::detail {
namespace {
constexpr int16_t kSrqMavMask = 16;  // the IEEE 488.2 message-available bit
constexpr float kMavSettleSeconds = 2.0f;
constexpr double kPassSeconds = 0.001;

// The longest the driver may block in one wait for service request: a halt asked for meanwhile
// is acted on when the wait ends.
constexpr int16_t kLongestSrqSliceCode = 10;  // T300ms
constexpr int16_t kShortestSrqSliceCode = 5;  // T1ms

double SliceSeconds(int16_t code) {
  static constexpr double kSeconds[] = {1e-3, 3e-3, 10e-3, 30e-3, 0.1, 0.3};
  return kSeconds[code - kShortestSrqSliceCode];
}

// The driver timeout code for the next wait for service request: long enough to reach the
// moment the shown countdown moves (so a wait wakes a few times a second, not a thousand), at
// most the longest slice, and never past the response timeout.
int16_t SrqSliceCode(const KORTimeout& timeout) {
  double until = UntilCountdownMoves(timeout);
  double left = timeout.TimeRemaining();
  int16_t code = kShortestSrqSliceCode;
  while (code < kLongestSrqSliceCode && SliceSeconds(code) < until) ++code;
  while (code > kShortestSrqSliceCode && SliceSeconds(code) > left) --code;
  return code;
}

// Checked before the device is opened or polled: the driver would take the whole command and
// only its count, too large to report, would fail afterwards.
void RefuseOverlongCommand(const KORTransaction& t) {
  if (t.cmd().size() <= kMaxGpibDirectCommandLength) return;
  throw AutomationError(err::Overflow, kLibrarySource,
                        "Command too long for direct GPIB: " + std::to_string(t.cmd().size()) +
                            " bytes, at most " + std::to_string(kMaxGpibDirectCommandLength) +
                            "; nothing was sent.");
}

[[noreturn]] void RaiseNotIdle(int16_t spr, int16_t idle_mask) {
  char text[160];
  std::snprintf(text, sizeof text,
                "GPIB instrument not ready: its status byte 0x%02X lacks the idle bits 0x%02X "
                "(IdleSPoll); nothing was sent.",
                spr & 0xFF, idle_mask & 0xFFFF);
  throw AutomationError(err::GpibDirectFailure, kLibrarySource, text);
}

// The first `count` bytes of a read buffer, as text. A count the read cannot have produced
// (negative, or more than was asked for) is the driver's own fault: it is raised as the
// driver error EDVR (0x80047F80), which the catalogue does not retry, rather than returning
// bytes the driver never delivered.
std::string Received(const std::string& buffer, int16_t count) {
  if (count < 0 || static_cast<std::size_t>(count) > buffer.size()) {
    Raise(err::GpibDosError);
  }
  return buffer.substr(0, static_cast<std::size_t>(count));
}

// A read starts from a zeroed buffer, so that nothing of an earlier read can pass as this
// one's data.
int16_t ReadInto(int16_t device, std::string& buffer, gpib::Status& st) {
  std::fill(buffer.begin(), buffer.end(), '\0');
  return gpib::ibrd(device, buffer, static_cast<int32_t>(buffer.size()), st);
}

// The driver's own timeout for the coming read: never longer than the transaction's, so that
// a board ends the read in time (a blocking driver call cannot be interrupted from here). A
// driver that refuses the option keeps the timeout the device was opened with.
void LimitReadTimeout(const Settings& s, int16_t device, int32_t resp_timeout) {
  int32_t seconds = std::min<int32_t>(DeviceTimeoutSeconds(s), resp_timeout);
  gpib::Status st;
  gpib::ibconfig(device, gpib::kIbcTmo, GpibTimeoutCode(static_cast<int16_t>(seconds)), st);
}

// One mode-3 exchange: poll, drain a stray response, check idle, write, wait, read. Each
// statement runs under the exchange's own error path, whose failure clears the progress
// display before the error goes on to Transact.
class DirectExchange {
 public:
  DirectExchange(LinkContext& core, int16_t device, KORTransaction& t)
      : c_(core), s_(core.settings), device_(device), t_(t), timeout_(core.host) {}

  void Run() {
    buffer_.assign(static_cast<std::size_t>(s_.gpib_direct_max_resp_length), '\0');
    c_.undefined_retries = 0;
    Step([&] { c_.UpdateProgress("Performing serial poll before transmission"); });
    Step([&] { SerialPoll(); });
    c_.host.Yield();
    if (MavSet()) DrainStray();
    Step([&] { CheckIdle(); });
    Step([&] {
      if (c_.UpdateProgress("Transmitting")) Raise(err::UserCanceled);
    });
    Step([&] { c_.DebugBuffWrite(kTraceWrite, t_.cmd()); });
    Step([&] { Write(); });
    c_.host.Yield();
    if (t_.RespExpect()) {
      WaitForMessage();
      Step([&] { PauseBeforeRead(); });
      ReadResponse();
      StoreResponse();
    }
    c_.undefined_retries = 0;
    c_.UpdateProgress("");
  }

 private:
  template <class F>
  void Step(F&& f) {
    RunStep(c_, std::forward<F>(f), [&] { c_.UpdateProgress(""); });
  }

  void SerialPoll() {
    gpib::Status st;
    if (gpib::ibrsp(device_, spr_, st) < 0) RaiseDriverError(st);
  }
  bool MavSet() const { return s_.mav_spoll != 0 && (spr_ & s_.mav_spoll) == s_.mav_spoll; }

  // Only one drain is tried; what it reads is thrown away and its status not examined.
  void DrainStray() {
    if (s_.wait_for_mav_bit_clear) {
      Step([&] { WaitSeconds(c_.host, static_cast<float>(s_.time_delay_for_mav_bit)); });
      Step([&] { SerialPoll(); });
    }
    if (!MavSet()) return;
    Step([&] { c_.UpdateProgress("Getting stray response out of buffer"); });
    Step([&] {
      gpib::Status st;
      ReadInto(device_, buffer_, st);
    });
    c_.host.Yield();
    Step([&] { SerialPoll(); });
    c_.host.Yield();
  }

  void CheckIdle() {
    if ((spr_ & s_.idle_spoll) == s_.idle_spoll) return;
    c_.UpdateProgress("");
    RaiseNotIdle(spr_, s_.idle_spoll);
  }

  // The command goes out exactly as stored: the driver marks its last byte with EOI.
  void Write() {
    gpib::Status st;
    const std::string& cmd = t_.cmd();
    if (gpib::ibwrt(device_, cmd, static_cast<int32_t>(cmd.size()), st) < 0) {
      RaiseDriverError(st);
    }
  }

  void WaitForMessage() {
    Step([&] { timeout_.Start(static_cast<float>(t_.RespTimeout())); });
    for (;;) {
      c_.host.Yield();
      if (!s_.use_srq) WaitAtMost(c_.host, kPassSeconds);
      Step([&] { PollForMessage(); });
      Step([&] { ReportWait(); });
      if (s_.mav_spoll == 0 || (spr_ & s_.mav_spoll) == s_.mav_spoll) return;
    }
  }

  // With SRQ the device is polled only once the board's service-request line is asserted.
  void PollForMessage() {
    if (!s_.use_srq) return SerialPoll();
    if (AwaitServiceRequest() & gpib::kSrqi) {
      SerialPoll();
    } else {
      spr_ = 0;
    }
  }

  // Blocks in the driver until a device requests service or a slice ends, instead of sampling
  // the line every millisecond. A driver that takes no board timeout, or that answers without
  // waiting (neither SRQI nor TIMO), is sampled once per 1 ms pass as before, so this loop can
  // never spin.
  int16_t AwaitServiceRequest() {
    gpib::Status st;
    int16_t board = gpib::ThreadBoard().descriptor;
    int16_t code = SrqSliceCode(timeout_);
    if (code != board_timeout_code_ && slices_usable_) {
      slices_usable_ = gpib::ibconfig(board, gpib::kIbcTmo, code, st) >= 0;
      board_timeout_code_ = code;
    }
    int16_t mask = slices_usable_ ? static_cast<int16_t>(gpib::kSrqi | gpib::kTimo) : 0;
    int16_t status = gpib::ibwait(board, mask, st);
    if ((status & (gpib::kSrqi | gpib::kTimo)) == 0) WaitAtMost(c_.host, kPassSeconds);
    return status;
  }

  void ReportWait() {
    if (c_.UpdateProgress("Waiting for response", RoundToInt16(timeout_.Length()),
                          RoundToInt16(timeout_.TimeRemaining()), true)) {
      Raise(err::UserCanceled);
    }
    if (timeout_.Expired()) Raise(err::ResponseTerminatorTimeout);
  }

  // Instruments that raise MAV before the reply is complete need a moment when polled.
  void PauseBeforeRead() {
    if (s_.mav_spoll == kSrqMavMask && !s_.use_srq && s_.delay_gpib_trans) {
      WaitSeconds(c_.host, kMavSettleSeconds);
    }
  }

  void ReadResponse() {
    Step([&] { LimitReadTimeout(s_, device_, t_.RespTimeout()); });
    bool retry = false;
    do {
      Step([&] { retry = ReadOnce(); });
      if (retry) {
        c_.host.Yield();
        WaitAtMost(c_.host, kPassSeconds);
      }
      // Checked after every read, a successful one included: a late reply is a timeout.
      Step([&] {
        if (timeout_.Expired()) Raise(err::ResponseTerminatorTimeout);
      });
    } while (s_.eabo_expected && retry);
  }

  // True when the read ended in an expected EABO and is to be tried again.
  bool ReadOnce() {
    gpib::Status st;
    if (ReadInto(device_, buffer_, st) >= 0) {
      count_ = st.ibcnt;
      return false;
    }
    count_ = st.ibcnt;
    if (s_.eabo_expected && st.iberr == kEabo) return true;
    RaiseDriverError(st);
  }

  void StoreResponse() {
    std::string resp;
    Step([&] { resp = Received(buffer_, count_); });
    if (s_.remove_extra_char) StripCRLF(resp);
    TransactionAccess::SetResp(t_, resp);
    c_.DebugBuffWrite(kTraceRead, t_.resp());
  }

  LinkContext& c_;
  const Settings& s_;
  int16_t device_;
  KORTransaction& t_;
  KORTimeout timeout_;
  std::string buffer_;
  int16_t spr_ = 0;
  int16_t count_ = 0;
  int16_t board_timeout_code_ = -1;  // what this exchange last gave the board
  bool slices_usable_ = true;        // the board took a timeout for its waits
};
}  // namespace

void GpibLink::GPIBDirectTransact(KORTransaction& t) { DirectExchange(core_, device_, t).Run(); }

void GpibLink::TransactDirect(KORTransaction& t, const StepRunner& step) {
  step([&] { RefuseOverlongCommand(t); });
  step([&] { OpenGpibDevice(); });
  step([&] {
    if (core_.settings.use_srq && !sre_sent_ && TransactionAccess::PrefixSRE(t)) {
      sre_sent_ = true;
    }
  });
  step([&] { GPIBDirectTransact(t); });
}

void GpibLink::SpollDirect(int16_t& value, const StepRunner& step) {
  step([&] { OpenGpibDevice(); });
  step([&] {
    gpib::Status st;
    if (gpib::ibrsp(device_, value, st) < 0) RaiseDriverError(st);
  });
}

// Reads what the instrument has to send: no poll, no wait, no stripping. The device is opened
// first as for a transaction, so a read before any transaction reads the instrument and never
// the board's descriptor; the transaction's timeout bounds the driver's read.
void GpibLink::GetTransactDirect(KORTransaction& t, const StepRunner& step) {
  std::string buffer(static_cast<std::size_t>(core_.settings.gpib_direct_max_resp_length), '\0');
  step([&] { GPIBDirectValidateTrans(core_.settings, t); });
  step([&] { OpenGpibDevice(); });
  step([&] { LimitReadTimeout(core_.settings, device_, t.RespTimeout()); });
  int16_t count = 0;
  step([&] {
    gpib::Status st;
    if (ReadInto(device_, buffer, st) < 0) RaiseDriverError(st);
    count = st.ibcnt;
  });
  std::string resp;
  step([&] { resp = Received(buffer, count); });
  TransactionAccess::SetResp(t, resp);
  core_.DebugBuffWrite(kTraceRead, t.resp());
}

// No error path: failures reach the client with their number and a text of their own.
void GpibLink::RemoteEnableDirect() {
  try {
    if (gpib::ibsre(0, 0) < 0) Raise(err::UndefinedError);
    if (gpib::ibsre(0, 1) < 0) Raise(err::UndefinedError);
  } catch (const AutomationError& e) {
    std::string text = e.Number() == err::UndefinedError
                           ? "GPIB remote enable failed: the board refused ibsre."
                           : "GPIB remote enable failed: the driver could not be used.";
    throw AutomationError(e.Number(), "KORInterface", text);
  }
}

}  // namespace parley::detail
